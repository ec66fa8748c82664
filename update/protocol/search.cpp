// The search for the target: a handshake on every input/output pair (or on
// the chosen ones), the first pair that answers and confirms being chosen.
#include <cstdio>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "protocol/device_calls.h"
#include "protocol/listening.h"
#include "protocol/protocol.h"
#include "protocol/run_state.h"
#include "protocol/search_report.h"
#include "protocol/status.h"

namespace device_phase {

namespace {

constexpr unsigned kHandshakeAttempts = 4; // per input/output pair
constexpr unsigned kHandshakeMs = 500;     // per handshake attempt, by the clock
constexpr unsigned kQuietPolls = 50;       // a newly opened input is quiet after this many
constexpr unsigned kSettlePolls = 500;     // at most this long to wait for the quiet

// A chosen device number beyond the devices there are gets its own message.
bool ChosenDevicesExist(const DeviceSettings* settings, unsigned inputs, unsigned outputs) {
    const bool inputExists =
        settings->input == kAnyDevice || settings->input < static_cast<int>(inputs);
    const bool outputExists =
        settings->output == kAnyDevice || settings->output < static_cast<int>(outputs);
    if (!inputExists)
        printf("Error: MIDI input %d does not exist (see update --list).\n", settings->input);
    if (!outputExists)
        printf("Error: MIDI output %d does not exist (see update --list).\n", settings->output);
    if (!inputExists || !outputExists) printf("\n");
    return inputExists && outputExists;
}

// Takes the oldest verdict-shaped message waiting, dropping shorter ones in
// front of it. Returns false when none waits.
bool TakeAnswer(uint8_t* code) {
    IncomingReply message;
    while (TakeReply(&message)) {
        if (!IsVerdictShaped(&message)) continue;
        *code = message.bytes[1];
        CountVerdict();
        return true;
    }
    return false;
}

// Polls the reply queue until the wait has listened for `milliseconds` by
// the clock (see listening.h), however long one poll's wait of at most 1 ms
// really lasts (a browser page stretches it to several). Each empty poll ends
// early when a message arrives. Returns the code of the first verdict-shaped
// message, which is taken; 0 when none came (0 is neither a model code nor a
// reset request). Every poll gives the MIDI layer its turn, the last one
// included. An interrupt ends the wait too.
uint8_t WaitForAnswer(unsigned milliseconds) {
    ListeningTime listened{};
    StartListening(&listened);
    for (;;) {
        uint8_t code = 0;
        const bool answered = TakeAnswer(&code);
        ServiceMidiIn();
        const bool done = ListenedFor(&listened, milliseconds);
        if (answered) return code;
        if (Interrupted() || done) return 0;
        WaitForReply(kPollMilliseconds);
    }
}

// Lets a newly opened input hand over whatever its device held while nobody
// read it, and throws it away: a device may keep the answers to handshakes
// that other pairs sent on its output and deliver them only now. Waits until
// nothing has arrived for kQuietPolls polls, at most kSettlePolls polls.
void DiscardHeldInput() {
    DropReplies();
    unsigned quiet = 0;
    for (unsigned poll = 0; poll < kSettlePolls && quiet < kQuietPolls && !Interrupted(); ++poll) {
        WaitForReply(kPollMilliseconds);
        const bool arrived = RepliesWaiting() != 0;
        ServiceMidiIn();
        if (arrived) {
            DropReplies();
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    DropReplies();
}

// Sends one request and waits for its answer. Returns the reply code, or 0
// when no reply came (0 is neither the model code nor a reset request).
uint8_t Handshake(const uint8_t* request, unsigned size) {
    Send(request, size);
    return WaitForAnswer(kHandshakeMs);
}

// Sends the handshake on the open pair up to 4 times. Returns 1 or 0x15 when
// the target answered with the model code or asked for a reset, else 0 with
// the last code taken that did not choose the pair in *lastCode (untouched
// when there was none).
//
// What is waiting before the pair's first request answers an earlier pair and
// is dropped. An answer is then confirmed by one more request sent with the
// queue empty, so a late answer that another pair's request drew from this
// input cannot choose this pair on its own.
uint8_t TryHandshake(uint8_t modelCode, int* lastCode) {
    uint8_t request[sizeof kHandshakePayload];
    for (unsigned k = 0; k < sizeof request; ++k) request[k] = kHandshakePayload[k];

    DropReplies();
    for (unsigned attempt = 0; attempt < kHandshakeAttempts && !Interrupted(); ++attempt) {
        uint8_t code = Handshake(request, sizeof request);
        if (code != 0) *lastCode = code;
        if (code != modelCode && code != kResetRequired) continue;
        DropReplies();
        code = Handshake(request, sizeof request);
        if (code != 0) *lastCode = code;
        if (code == modelCode) return 1;
        if (code == kResetRequired) return kResetRequired;
    }
    return 0;
}

// Every pair input-major, or only the chosen input and/or output.
uint8_t SearchPairs(uint8_t modelCode, unsigned inputs, unsigned outputs,
                    const DeviceSettings* settings) {
    const bool oneInput = settings->input != kAnyDevice;
    const bool oneOutput = settings->output != kAnyDevice;
    const unsigned firstInput = oneInput ? static_cast<unsigned>(settings->input) : 0;
    const unsigned endInput = oneInput ? firstInput + 1 : inputs;
    const unsigned firstOutput = oneOutput ? static_cast<unsigned>(settings->output) : 0;
    const unsigned endOutput = oneOutput ? firstOutput + 1 : outputs;

    for (unsigned i = firstInput; i < endInput; ++i) {
        const uint16_t opened = OpenInput(i);
        if (opened != 0) {
            NoteTried(i, 0, kInputNotOpened, opened);
            // An input whose start failed is still open: release it before
            // trying the next one, so no device is left held.
            CloseInput();
            continue;
        }
        DiscardHeldInput();
        for (unsigned j = firstOutput; j < endOutput; ++j) {
            ShowSearchStatus(i, inputs, j, outputs);
            const uint16_t outputOpened = OpenOutput(j);
            if (outputOpened != 0) {
                NoteTried(i, j, kOutputNotOpened, outputOpened);
                continue;
            }
            int lastCode = -1;
            const uint8_t result = TryHandshake(modelCode, &lastCode);
            if (result != 0) return result; // the answering pair stays open
            if (Interrupted()) return 0;    // the device phase closes the pair
            if (lastCode < 0) {
                NoteTried(i, j, kNoAnswer, 0);
            } else {
                const bool unconfirmed = lastCode == modelCode || lastCode == kResetRequired;
                NoteTried(i, j, unconfirmed ? kUnconfirmed : kWrongAnswer,
                          static_cast<uint16_t>(lastCode));
            }
            CloseOutput();
        }
        CloseInput();
    }
    return 0;
}

} // namespace

} // namespace device_phase

uint8_t FindUpdateDevice(uint8_t modelCode, const DeviceSettings* settings) {
    using namespace device_phase;
    TakeSettings(settings);
    gRun.triedCount = 0;
    const unsigned inputs = CountDevices(QueryMidiInDevice, gRun.inputNames);
    const unsigned outputs = CountDevices(QueryMidiOutDevice, gRun.outputNames);
    if (!ChosenDevicesExist(settings, inputs, outputs)) return 0;

    const uint8_t result = SearchPairs(modelCode, inputs, outputs, settings);
    WipeStatus();
    if (Interrupted()) return 0; // the user stopped the search: no verdict on it
    if (result == 0) {
        printf("\nFailed: Can't find the suitable device to update!\n\n");
        ReportKnownCauses(inputs, outputs);
        ReportNoneAnswered(settings->input == kAnyDevice ? inputs : 1,
                           settings->output == kAnyDevice ? outputs : 1);
        if (settings->verbose) ReportPairsTried(inputs, outputs);
    } else {
        printf("The Update Device is Open successfully:\n");
        printf("MIDIIN Device: %s\n", MidiInName());
        printf("MIDIOUT Device: %s\n", MidiOutName());
    }
    return result;
}
