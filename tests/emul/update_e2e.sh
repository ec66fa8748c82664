#!/bin/bash
# Runs the real updater end to end against the emulated MIDI system and target:
#   update_e2e.sh native <update_emulated>  <scratch folder>
#   update_e2e.sh wine   <the Windows build's emul folder> <scratch folder>
# A valid file must arrive at the target byte for byte, with both sides closed
# (input first); a file that fails validation must make no MIDI call at all.
set -u
mode=$1
program=$2
work=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

if [ "$mode" == wine ]; then
    for f in update.exe winmm.dll; do
        if [ ! -f "$program/$f" ]; then
            echo "FAIL: $program/$f is missing: build the mingw preset first (cmake --preset mingw && cmake --build --preset mingw)"
            exit 1
        fi
    done
elif [ ! -x "$program" ]; then
    echo "FAIL: $program is missing"
    exit 1
fi

# run <folder>: runs the updater there with the scenario and report of that folder.
run() {
    (
        cd "$1" &&
        export UPDATE_EMUL_SCENARIO="$1/scenario.txt" UPDATE_EMUL_REPORT="$1/report.txt" &&
        if [ "$mode" == wine ]; then
            WINEDLLOVERRIDES="winmm=n" WINEDEBUG=-all timeout 300 wine "$program/update.exe" </dev/null >"$1/out.txt" 2>"$1/err.txt"
        else
            timeout 300 "$program" </dev/null >"$1/out.txt" 2>"$1/err.txt"
        fi
    ) || fail "$1: the updater ended with status $?"
}

show() {
    echo "--- $1/out.txt"; cat -A "$1/out.txt"; echo "--- $1/err.txt"; cat "$1/err.txt"
    echo "--- $1/report.txt"; grep -v '^event send' "$1/report.txt" 2>/dev/null
}

rm -rf "$work" && mkdir -p "$work/valid" "$work/invalid"
scenario='input Loopback In
input Q25 MIDI In
input Spare In
output Loopback Out
output Q25 MIDI Out
loopback 0 0
target 1 1
reply_delay 2
record 1 1 code 20
record 2 1 silent'
echo "$scenario" > "$work/valid/scenario.txt"
echo "$scenario" > "$work/invalid/scenario.txt"
# Three records: 7 bytes (one message), 4 bytes, 12 bytes (a full chunk and a short one).
printf '00 05 01 02 03 FA FF\r\n00 02 00 00\r\n000A0102030405060708DCFF\r\n' > "$work/valid/Q25test.led"
printf '00 05 01 02 03 FA FE\r\n' > "$work/invalid/Q25test.led"

run "$work/valid"
report="$work/valid/report.txt"
grep -q 'Target update successfully!' "$work/valid/out.txt" || fail "valid: no success message"
grep -q 'The CRC of the download file is error!' "$work/valid/out.txt" || fail "valid: the scripted 0x20 was not reported"
grep -qx 'image 0005010203FAFF00020000000A0102030405060708DCFF' "$report" || fail "valid: the target's image differs from the file"
grep -qx 'records_received 5' "$report" || fail "valid: expected 5 records received (two resent)"
grep -qx 'input_left_open 0' "$report" || fail "valid: input left open"
grep -qx 'output_left_open 0' "$report" || fail "valid: output left open"
grep -qx 'callback_violations 0' "$report" || fail "valid: MIDI calls from inside a callback"
grep -qx 'handshake_output 1 2' "$report" || fail "valid: the target's output did not answer its first handshake and the confirming one"
last=$(grep -E '^event (in_close|out_close)' "$report" | tail -2 | cut -d' ' -f2-3 | tr '\n' ',')
[ "$last" == "in_close 1,out_close 1," ] || fail "valid: closes at the end: $last"

run "$work/invalid"
grep -q 'Error: The upgrade file is error!' "$work/invalid/out.txt" || fail "invalid: no refusal message"
grep -qx 'winmm_calls 0' "$work/invalid/report.txt" || fail "invalid: MIDI was used before validation"

if [ $status -ne 0 ]; then
    show "$work/valid"; show "$work/invalid"
else
    echo PASS
fi
exit $status
