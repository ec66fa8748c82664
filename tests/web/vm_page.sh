#!/bin/bash
# Inside the VM (tests/vm/run-in-vm): the update page in Chromium updates the
# sample through Web MIDI and the kernel sequencer to raw_midi_target at the
# raw end of the virtual port "VirMIDI 0-0"; then the Linux update does the
# same on the same port, for the time. Every record must be accepted once, in
# order, both times.
#
#   vm_page.sh RAW_MIDI_TARGET UPDATE PAGE_DIR SAMPLE_LED
set -u
target=$1 update=$2 page=$3 sample=$4
here=$(cd "$(dirname "$0")" && pwd)
work=${VM_WEB_WORK:-$(mktemp -d)} # a shared folder keeps the files for a look afterwards
passed=0 failed=0
check() {
    if [ "$2" = "$3" ]; then echo "ok: $1"; passed=$((passed + 1)); else echo "FAILED: $1: '$2', expected '$3'"; failed=$((failed + 1)); fi
}
value() { sed -n "s/^$1 //p" "$2"; }

# Chromium lists a card's MIDI ports once udev has said that the card is
# ready; no udev daemon runs here. The page is served on the loopback.
ip link set lo up
mkdir -p /run/udev/data
echo E:SOUND_INITIALIZED=1 >/run/udev/data/+sound:card0

# The sample's records and image, as the Linux update's file check counts them.
records=$("$update" --check "$sample" | sed -n 's/^File check passed: \([0-9]*\) records.*/\1/p')

# Runs raw_midi_target on the raw end of VirMIDI 0-0 while "$@" runs.
with_target() {
    local log=$1
    shift
    : >"$work/script"
    "$target" /dev/snd/midiC0D0 "$work/script" "$log" >"$log.out" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do [ -f "$log" ] && break; sleep 0.05; done
    "$@"
    kill -TERM "$pid"
    wait "$pid"
}

echo "--- the page in Chromium (sample: $records records)"
with_target "$work/page.log" node "$here/vm_page.mjs" "$page" "$sample" "VirMIDI 0-0" "$work/page-trace.log" >"$work/page.out" 2>&1
cat "$work/page.out"
check "the page ends with the success line" "$(grep -c '^Target update successfully!$' "$work/page.out")" 1
check "the target accepted every record through the page" "$(value records_accepted "$work/page.log")" "$records"
check "each record was sent once through the page" "$(value records_received "$work/page.log")" "$records"

echo "--- the Linux update on the same port"
in=$("$update" --list | awk '/^MIDI inputs:/{s=1} /^MIDI outputs:/{s=0} s && /: VirMIDI 0-0$/{sub(":", "", $1); print $1}')
out=$("$update" --list | awk '/^MIDI outputs:/{s=1} s && /: VirMIDI 0-0$/{sub(":", "", $1); print $1}')
native() {
    local start end
    start=$(date +%s.%N)
    "$update" --no-pause --in "$in" --out "$out" "$sample" >"$work/native.out" 2>&1
    end=$(date +%s.%N)
    echo "native_seconds $(echo "$end - $start" | bc)" >>"$work/native.out"
}
with_target "$work/native.log" native
tr '\r' '\n' <"$work/native.out" | grep -v '^ *Transferring\.\. [^1]' | grep -v '^ *$' 
check "the Linux update accepted every record" "$(value records_accepted "$work/native.log")" "$records"
check "the same image through both" "$(value image "$work/page.log" | md5sum)" "$(value image "$work/native.log" | md5sum)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
