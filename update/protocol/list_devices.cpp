// --list: the MIDI inputs and outputs by the numbers the search uses, each
// opened and closed at once to tell whether it can be used now.
#include <cstdio>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "protocol/device_calls.h"
#include "protocol/protocol.h"
#include "protocol/run_state.h"
#include "protocol/search_report.h"

namespace device_phase {

namespace {

// One side of --list: each device opened and closed at once (an input whose
// start failed is closed too); one that cannot be opened is marked. Returns
// the number of devices.
unsigned ListSide(const char* side, uint16_t (*query)(unsigned, char*),
                  char names[][kDeviceNameSize], uint16_t (*open)(unsigned), void (*close)()) {
    char reason[kReasonSize];
    const unsigned count = CountDevices(query, names);
    printf("MIDI %s:", side);
    if (count == 0) {
        char name[kDeviceNameSize];
        const char* why = MidiResultText(query(0, name));
        if (why != nullptr) {
            printf(" none (%s)\n", why);
        } else {
            printf(" none\n");
        }
        return 0;
    }
    printf("\n");
    for (unsigned k = 0; k < count; ++k) {
        const uint16_t opened = open(k);
        close();
        printf("  %u: %s", k, names[k]);
        if (opened != 0) printf(" (cannot be opened: %s)", Reason(opened, reason));
        printf("\n");
    }
    char name[kDeviceNameSize];
    if (count == kMaxDevices && query(kMaxDevices, name) == 0) {
        printf("  (%s from %u on are not used)\n", side, kMaxDevices);
    }
    return count;
}

} // namespace

} // namespace device_phase

void ListDevices(FILE* trace) {
    using namespace device_phase;
    StartRun(trace, nullptr);
    SetReplyTrace(trace);
    const unsigned inputs =
        ListSide("inputs", QueryMidiInDevice, gRun.inputNames, OpenInput, CloseInput);
    const unsigned outputs =
        ListSide("outputs", QueryMidiOutDevice, gRun.outputNames, OpenOutput, CloseOutput);
    // A side without devices gets the next step an update would give.
    if (inputs == 0 || outputs == 0) ReportNoDevices(inputs, outputs);
    SetReplyTrace(nullptr);
}
