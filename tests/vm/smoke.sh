#!/bin/sh
# Run inside the VM: the kernel sequencer and the virtual raw MIDI ports are
# there, and MIDI bytes pass both ways between a port and its raw device.
#   smoke.sh PATH/TO/vm_midi_probe
probe=$1
passed=0
failed=0
check() {
    what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        failed=$((failed + 1))
    fi
}

check "/dev/snd/seq is a character device" test -c /dev/snd/seq
for n in 0 1 2 3; do
    check "/dev/snd/midiC0D$n is a character device" test -c /dev/snd/midiC0D$n
done

echo "--- /proc/asound/seq/clients"
cat /proc/asound/seq/clients
check "the kernel lists \"Midi Through Port-0\"" grep -q '"Midi Through Port-0"' /proc/asound/seq/clients

ports=$(mktemp)
echo "--- vm_midi_probe list"
"$probe" list >"$ports"
cat "$ports"
tab=$(printf '\t')
check "the sequencer client sees \"Midi Through Port-0\"" grep -q "${tab}Midi Through${tab}Midi Through Port-0${tab}" "$ports"
for n in 0 1 2 3; do
    check "the sequencer client sees \"VirMIDI 0-$n\"" grep -q "${tab}VirMIDI 0-$n${tab}" "$ports"
done
rm -f "$ports"

echo "--- vm_midi_probe loop"
check "MIDI bytes pass both ways between \"VirMIDI 0-1\" and /dev/snd/midiC0D1" \
    "$probe" loop "VirMIDI 0-1" /dev/snd/midiC0D1
check "MIDI bytes pass both ways between \"VirMIDI 0-3\" and /dev/snd/midiC0D3" \
    "$probe" loop "VirMIDI 0-3" /dev/snd/midiC0D3

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
