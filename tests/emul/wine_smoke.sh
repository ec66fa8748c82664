#!/bin/bash
# Runs the Windows MIDI layer under wine against the stand-in winmm.dll and
# checks what it printed and what the emulated system reported.
#   wine_smoke.sh <the Windows build's emul folder> <scratch folder>
set -u
build=$1
work=$2
for f in emul_smoke.exe winmm.dll update.exe; do
    if [ ! -f "$build/$f" ]; then
        echo "FAIL: $build/$f is missing: build the mingw preset first (cmake --preset mingw && cmake --build --preset mingw)"
        exit 1
    fi
done
status=0
fail() { echo "FAIL: $*"; status=1; }

# update.exe and the smoke program import winmm.dll by name, like any program.
for exe in update.exe emul_smoke.exe; do
    x86_64-w64-mingw32-objdump -p "$build/$exe" | grep -qi 'DLL Name: winmm.dll' || fail "$exe does not import winmm.dll"
done
# The stand-in needs nothing but system DLLs.
deps=$(x86_64-w64-mingw32-objdump -p "$build/winmm.dll" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
for d in $deps; do
    case $d in kernel32.dll|msvcrt.dll|api-ms-win-*) ;; *) fail "winmm.dll depends on $d" ;; esac
done

rm -rf "$work" && mkdir -p "$work"
cat > "$work/scenario.txt" <<'SCENARIO'
input Loopback In
input Q25 MIDI In
output Loopback Out
output Q25 MIDI Out
target 1 1
reply_delay 5
SCENARIO
(
    cd "$work" &&
    UPDATE_EMUL_SCENARIO="$work/scenario.txt" UPDATE_EMUL_REPORT="$work/report.txt" \
    WINEDLLOVERRIDES="winmm=n" WINEDEBUG=-all timeout 120 wine "$build/emul_smoke.exe" </dev/null >"$work/out.txt" 2>"$work/err.txt"
) || fail "emul_smoke.exe ended with status $?"

expected=$(printf '%s\r\n' "input 0: Loopback In" "input 1: Q25 MIDI In" "output 0: Loopback Out" \
    "output 1: Q25 MIDI Out" "open in 0 out 0" "names 'Q25 MIDI In' 'Q25 MIDI Out'" "send 0" \
    "handshake reply 3B" "send 0" "record reply 1A" "close 1 1, again 0 0")
actual=$(cat "$work/out.txt")
[ "$actual" == "$expected" ] || fail "output differs:
--- expected
$expected
--- actual
$actual"

report="$work/report.txt"
if [ ! -f "$report" ]; then
    fail "no report written"
else
    grep -qx 'image 0005010203FAFF' "$report" || fail "the target did not record the record"
    grep -qx 'input_left_open 0' "$report" || fail "input left open"
    grep -qx 'output_left_open 0' "$report" || fail "output left open"
    grep -qx 'handshake_output 1 1' "$report" || fail "handshake not counted for output 1"
    grep -qx 'callback_violations 0' "$report" || fail "MIDI calls from inside a callback"
    # The input is stopped, reset and closed before the output is closed.
    order=$(sed -n 's/^event \(in_stop\|in_reset\|in_close\|out_close\) \([0-9-]*\) \([0-9]*\).*/\1 \2 \3/p' "$report" | tr '\n' ',')
    [ "$order" == "in_stop 1 0,in_reset 1 0,in_close 1 0,out_close 1 0," ] || fail "close order: $order"
fi
if [ $status -ne 0 ]; then
    echo "--- stderr"; cat "$work/err.txt"; echo "--- report"; cat "$report" 2>/dev/null
else
    echo "PASS"
fi
exit $status
