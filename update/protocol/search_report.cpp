// What the search tried, and the report after a failed search.
#include "protocol/search_report.h"

#include <cstdio>

#include "midi/midi.h"
#include "protocol/device_calls.h"

namespace device_phase {

namespace {

// The first bytes of our own request coming back (a loopback or a MIDI
// through port) are an echo, not another model's answer.
bool IsEcho(uint16_t code) { return code == kHandshakePayload[0]; }

void ReportInUse(const char* side, unsigned device, const char* name) {
    printf("MIDI %s %u (%s) is in use by another program: close the programs that use MIDI, then "
           "run update again.\n",
           side, device, name);
}

} // namespace

// Kept in input order, whatever order the inputs were tried in.
void NoteTried(unsigned input, unsigned output, PairResult result, uint16_t code) {
    if (gRun.triedCount == sizeof gRun.tried / sizeof gRun.tried[0]) return;
    unsigned at = gRun.triedCount;
    while (at > 0 && gRun.tried[at - 1].input > input) {
        gRun.tried[at] = gRun.tried[at - 1];
        --at;
    }
    gRun.tried[at] = {static_cast<uint8_t>(input), static_cast<uint8_t>(output), result, code};
    ++gRun.triedCount;
}

void ReportPairsTried(unsigned inputs, unsigned outputs) {
    if (gRun.triedCount == 0) {
        printf("Pairs tried: none (MIDI inputs: %u, MIDI outputs: %u).\n\n", inputs, outputs);
        return;
    }
    printf("Pairs tried:\n");
    char reason[kReasonSize];
    for (unsigned k = 0; k < gRun.triedCount; ++k) {
        const PairTried& tried = gRun.tried[k];
        printf("  input %u (%s)", tried.input, gRun.inputNames[tried.input]);
        if (tried.result == kInputNotOpened) {
            printf(": the input cannot be opened: %s\n", Reason(tried.code, reason));
            continue;
        }
        printf(", output %u (%s): ", tried.output, gRun.outputNames[tried.output]);
        switch (tried.result) {
        case kOutputNotOpened:
            printf("the output cannot be opened: %s\n", Reason(tried.code, reason));
            break;
        case kWrongAnswer:
            if (IsEcho(tried.code)) {
                printf("echoed the request back (a MIDI Thru or loopback port)\n");
            } else {
                printf("answered with another code (%02X)\n", tried.code);
            }
            break;
        case kUnconfirmed:
            printf("answered with code %02X, but not to the confirming request\n", tried.code);
            break;
        default: printf("no answer\n"); break;
        }
    }
    printf("\n");
}

void ReportNoDevices(unsigned inputs, unsigned outputs) {
    char name[kDeviceNameSize];
    const uint16_t query = inputs == 0 ? QueryMidiInDevice(0, name) : QueryMidiOutDevice(0, name);
    // The platform's own advice when it knows the cause (a missing MIDI
    // service, no permission to use it).
    const char* advice = MidiTroubleAdvice(MidiResultTrouble(query));
    if (advice != nullptr) {
        printf("%s\n", advice);
        return;
    }
    printf("No MIDI %s was found: connect the keyboard, switch it on, then run update again.\n",
           inputs == 0 && outputs == 0 ? "input or output" : (inputs == 0 ? "input" : "output"));
}

void ReportKnownCauses(unsigned inputs, unsigned outputs) {
    bool told = false;
    if (inputs == 0 || outputs == 0) {
        ReportNoDevices(inputs, outputs);
        told = true;
    }
    bool outputTold[kMaxDevices] = {};
    for (unsigned k = 0; k < gRun.triedCount; ++k) {
        const PairTried& tried = gRun.tried[k];
        const bool inUse = MidiResultTrouble(tried.code) == kMidiTroubleInUse;
        if (tried.result == kInputNotOpened && inUse) {
            ReportInUse("input", tried.input, gRun.inputNames[tried.input]);
        } else if (tried.result == kOutputNotOpened && inUse && !outputTold[tried.output]) {
            ReportInUse("output", tried.output, gRun.outputNames[tried.output]);
            outputTold[tried.output] = true;
        } else if (tried.result == kWrongAnswer && !IsEcho(tried.code)) {
            printf("The device on MIDI input %u (%s) and output %u (%s) is another model (it "
                   "answered %02X): this firmware file is not for it. Use the file made for that "
                   "keyboard.\n",
                   tried.input, gRun.inputNames[tried.input], tried.output,
                   gRun.outputNames[tried.output], tried.code);
        } else {
            continue;
        }
        told = true;
    }
    if (told) printf("\n");
}

void ReportNoneAnswered(unsigned inputs, unsigned outputs) {
    if (inputs == 0 || outputs == 0) return; // ReportNoDevices has told what to do
    printf("%u MIDI input%s and %u output%s were tried; none answered as a Q25/Q49 keyboard.\n",
           inputs, inputs == 1 ? "" : "s", outputs, outputs == 1 ? "" : "s");
    printf("Connect the keyboard and switch it on; update --list should show it. Then switch "
           "the keyboard off and on, and run update again.\n\n");
}

} // namespace device_phase
