// A small Windows program that drives the real Windows MIDI layer against
// whatever winmm.dll it is given: under wine, the stand-in. It counts the
// devices, opens input 1 and output 1, sends the handshake and one record,
// and prints what came back.
#include <cstdio>

#include "midi/midi.h"
#include "support/reply_view.h"

namespace {

const uint8_t kHandshakePayload[7] = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};
// The record 00 05 01 02 03 FA FF as hexadecimal characters.
const uint8_t kRecordChunk[14] = {'0', '0', '0', '5', '0', '1', '0', '2', '0', '3', 'F', 'A', 'F', 'F'};

void PrintReply(const char* what) {
    uint8_t code = 0;
    if (WaitForReply(2000) && TakeReplyCode(&code)) printf("%s reply %02X\n", what, code);
    else printf("%s no reply (count %d)\n", what, ReplyCount());
}

} // namespace

int main() {
    char name[kDeviceNameSize];
    unsigned inputs = 0;
    while (inputs < 10 && QueryMidiInDevice(inputs, name) == 0) printf("input %u: %s\n", inputs++, name);
    unsigned outputs = 0;
    while (outputs < 10 && QueryMidiOutDevice(outputs, name) == 0) printf("output %u: %s\n", outputs++, name);

    const unsigned openedIn = OpenMidiIn(1);
    const unsigned openedOut = OpenMidiOut(1);
    printf("open in %u out %u\n", openedIn, openedOut);
    printf("names '%s' '%s'\n", MidiInName(), MidiOutName());
    printf("send %u\n", SendSysEx(kHandshakePayload, sizeof kHandshakePayload));
    PrintReply("handshake");
    printf("send %u\n", SendSysEx(kRecordChunk, sizeof kRecordChunk));
    PrintReply("record");
    const int closedIn = CloseMidiIn();
    const int closedOut = CloseMidiOut();
    printf("close %d %d, again %d %d\n", closedIn, closedOut, CloseMidiIn(), CloseMidiOut());
    return 0;
}
