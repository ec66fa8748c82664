// The search for the target. Up to ten inputs are opened at once (a group)
// and listened to together while the handshake goes out on one output after
// the other: the keyboard answers on its own input whichever output reached
// it, so one round over the outputs asks every pair of the group. An answer
// is put down to the output whose handshake went out last before it arrived,
// and the pair is then confirmed by one more handshake on that output, heard
// on that input alone. A group gets up to four rounds; the groups follow each
// other in input order.
//
// The pair chosen is the one a search of one pair at a time (inputs in order,
// outputs in order) would choose: the lowest input that answers, and on it
// the output that answered. A round ends early only once the group's first
// input has answered, since no later answer can come before it; an output's
// wait ends early too once every input of the group has had a message since
// its handshake (an echo), as the one-pair wait ended at its first message.
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

constexpr unsigned kRounds = 4;        // handshakes per output and group of inputs
constexpr unsigned kHandshakeMs = 500; // every handshake is listened to this long at least
constexpr unsigned kWindowMs = 50;     // listened to before the next output's handshake
constexpr unsigned kQuietMs = 50;      // newly opened inputs are quiet after this long
constexpr unsigned kSettleMs = 500;    // at most this long to wait for the quiet
constexpr int64_t kNsPerMs = 1000000;
constexpr int kNone = -1;

// One group of inputs being searched, and what its current round heard.
struct Group {
    unsigned input[kMaxOpenInputs]; // device numbers, in order
    bool opened[kMaxOpenInputs];
    uint16_t openResult[kMaxOpenInputs];
    unsigned count;
    // Outputs that could not be opened in this group (their result), and each
    // pair's last code taken that did not choose it (kNone: no answer).
    uint16_t outputResult[kMaxDevices];
    int lastCode[kMaxOpenInputs][kMaxDevices];
    // The round: when each output's handshake went out (-1: not this round),
    // and each input's first answer with the model code or 0x15.
    int64_t sentNs[kMaxDevices];
    int answeredBy[kMaxOpenInputs]; // the output it is put down to, or kNone
    int64_t answeredNs[kMaxOpenInputs];
    int64_t heardNs[kMaxOpenInputs]; // when its latest message came (-1: none this round)
};

Group gGroup;

struct Range {
    unsigned first;
    unsigned end;
};

// The devices there are, for the status line.
struct Counts {
    unsigned inputs;
    unsigned outputs;
};

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

Range Chosen(int chosen, unsigned count) {
    if (chosen == kAnyDevice) return {0, count};
    return {static_cast<unsigned>(chosen), static_cast<unsigned>(chosen) + 1};
}

bool AnswerCode(uint8_t code, uint8_t modelCode) {
    return code == modelCode || code == kResetRequired;
}

// The group's place of an input's device number, or kNone.
int PlaceOf(unsigned device) {
    for (unsigned k = 0; k < gGroup.count; ++k) {
        if (gGroup.opened[k] && gGroup.input[k] == device) return static_cast<int>(k);
    }
    return kNone;
}

// The output whose handshake went out last before `arrivedNs`, or kNone.
int SentBefore(int64_t arrivedNs, Range outputs) {
    int latest = kNone;
    for (unsigned j = outputs.first; j < outputs.end; ++j) {
        const int64_t sent = gGroup.sentNs[j];
        if (sent >= 0 && sent <= arrivedNs &&
            (latest == kNone || sent >= gGroup.sentNs[static_cast<unsigned>(latest)]))
            latest = static_cast<int>(j);
    }
    return latest;
}

// Takes every message waiting and puts each down to its input and the output
// sent to before it arrived.
void HearRound(uint8_t modelCode, Range outputs) {
    IncomingReply message;
    while (TakeReply(&message)) {
        const int place = PlaceOf(message.input);
        const int output = SentBefore(message.arrivedNs, outputs);
        if (!IsVerdictShaped(&message) || place == kNone || output == kNone) continue;
        const unsigned k = static_cast<unsigned>(place);
        const uint8_t code = message.bytes[1];
        CountVerdict();
        if (message.arrivedNs > gGroup.heardNs[k]) gGroup.heardNs[k] = message.arrivedNs;
        if (AnswerCode(code, modelCode)) {
            if (gGroup.answeredBy[k] == kNone) {
                gGroup.answeredBy[k] = output;
                gGroup.answeredNs[k] = message.arrivedNs;
            }
        }
        gGroup.lastCode[k][output] = code;
    }
}

// The first opened input of the group that answered this round, or kNone.
int FirstAnswered() {
    for (unsigned k = 0; k < gGroup.count; ++k) {
        if (gGroup.opened[k] && gGroup.answeredBy[k] != kNone) return static_cast<int>(k);
    }
    return kNone;
}

int FirstOpened() {
    for (unsigned k = 0; k < gGroup.count; ++k) {
        if (gGroup.opened[k]) return static_cast<int>(k);
    }
    return kNone;
}

// True when every open input of the group has had a message since `sentNs`:
// each has answered the handshake sent then in its way (an echo, say), as
// promptly as a keyboard does.
bool AllHeardSince(int64_t sentNs) {
    for (unsigned k = 0; k < gGroup.count; ++k) {
        if (gGroup.opened[k] && gGroup.heardNs[k] < sentNs) return false;
    }
    return true;
}

// Listens for `milliseconds` by the clock, until the group's first input has
// answered, or until every input has had a message since `sentNs`. Every
// poll gives the MIDI layer its turn.
void Listen(uint8_t modelCode, Range outputs, unsigned milliseconds, int64_t sentNs) {
    ListeningTime listened{};
    StartListening(&listened);
    for (;;) {
        HearRound(modelCode, outputs);
        ServiceMidiIn();
        const bool done = ListenedFor(&listened, milliseconds);
        if (done || Interrupted() || FirstAnswered() == FirstOpened() || AllHeardSince(sentNs))
            return;
        WaitForReply(kPollMilliseconds);
    }
}

// Lets newly opened inputs hand over whatever their devices held while
// nobody read them, and throws it away: a device may keep the answers to
// handshakes sent on its output earlier and deliver them only now. Waits
// until nothing has arrived for kQuietMs, at most kSettleMs.
void DiscardHeldInput() {
    DropReplies();
    ListeningTime settling{};
    ListeningTime quiet{};
    StartListening(&settling);
    StartListening(&quiet);
    while (!ListenedFor(&settling, kSettleMs) && !Interrupted()) {
        WaitForReply(kPollMilliseconds);
        const bool arrived = RepliesWaiting() != 0;
        ServiceMidiIn();
        if (arrived) {
            DropReplies();
            StartListening(&quiet);
        } else if (ListenedFor(&quiet, kQuietMs)) {
            break;
        }
    }
    DropReplies();
}

uint8_t gRequest[sizeof kHandshakePayload];
int gOpenOutput = kNone;          // the output open now
bool gFallbackTried[kMaxDevices]; // outputs confirmed on as a late answer's other source
unsigned gChosen;                 // the group's place of the input chosen

void SendHandshake() {
    for (unsigned k = 0; k < sizeof gRequest; ++k) gRequest[k] = kHandshakePayload[k];
    Send(gRequest, sizeof gRequest);
}

void ReleaseOutput() {
    CloseOutput();
    gOpenOutput = kNone;
}

// Opens output j unless it is open already. Returns false when it cannot be.
bool UseOutput(unsigned j) {
    if (gOpenOutput == static_cast<int>(j)) return true;
    ReleaseOutput();
    const uint16_t opened = OpenOutput(j);
    if (opened != 0) {
        gGroup.outputResult[j] = opened;
        return false;
    }
    gOpenOutput = static_cast<int>(j);
    return true;
}

// The confirming handshake on output j, heard on the group's input at place
// k alone, with nothing waiting before it. Returns 1 or 0x15 with the pair
// left open, else 0 with the output closed.
uint8_t Confirm(uint8_t modelCode, unsigned k, unsigned j) {
    if (!UseOutput(j)) return 0;
    DropReplies();
    SendHandshake();
    ListeningTime listened{};
    StartListening(&listened);
    int code = kNone;
    for (;;) {
        IncomingReply message;
        while (code == kNone && TakeReply(&message)) {
            if (message.input != gGroup.input[k] || !IsVerdictShaped(&message)) continue;
            code = message.bytes[1];
            CountVerdict();
            gGroup.lastCode[k][j] = code;
        }
        // The layer's turn after the answer too: its buffers go back before
        // the first record.
        ServiceMidiIn();
        if (code != kNone || ListenedFor(&listened, kHandshakeMs) || Interrupted()) break;
        WaitForReply(kPollMilliseconds);
    }
    if (code != kNone && AnswerCode(static_cast<uint8_t>(code), modelCode)) {
        gChosen = k;
        return code == modelCode ? 1 : kResetRequired;
    }
    ReleaseOutput();
    return 0;
}

// Confirms the answer of the input at place k: first on the output it is put
// down to, then, in order, on the outputs whose handshake it may have
// answered late: sent within kHandshakeMs before it came, and never heard
// from on that input (so not an echo), each once a group. The answer is then
// forgotten, and the round goes on.
uint8_t ConfirmAnswer(uint8_t modelCode, unsigned k, Range outputs) {
    const unsigned likely = static_cast<unsigned>(gGroup.answeredBy[k]);
    const int64_t arrived = gGroup.answeredNs[k];
    gGroup.answeredBy[k] = kNone;
    uint8_t result = Confirm(modelCode, k, likely);
    for (unsigned j = outputs.first; j < outputs.end && result == 0 && !Interrupted(); ++j) {
        const int64_t sent = gGroup.sentNs[j];
        if (j == likely || sent < 0 || sent > arrived || arrived - sent > kHandshakeMs * kNsPerMs ||
            gGroup.lastCode[k][j] != kNone || gFallbackTried[j])
            continue;
        gFallbackTried[j] = true;
        result = Confirm(modelCode, k, j);
    }
    return result;
}

// One round: the handshake on every output in turn, each listened to on its
// own for kWindowMs (less once the group's first input has answered, which is
// then confirmed at once), and the last one for kHandshakeMs if nothing came.
// Then the answers of the other inputs are confirmed, in input order. Returns
// 1 or 0x15 with the chosen pair open, else 0.
uint8_t Round(uint8_t modelCode, Counts counts, Range outputs) {
    for (unsigned j = outputs.first; j < outputs.end; ++j) gGroup.sentNs[j] = -1;
    for (unsigned k = 0; k < gGroup.count; ++k) {
        gGroup.answeredBy[k] = kNone;
        gGroup.heardNs[k] = -1;
    }
    const unsigned first = static_cast<unsigned>(FirstOpened());
    DropReplies();
    int64_t last = -1;
    for (unsigned j = outputs.first; j < outputs.end && !Interrupted(); ++j) {
        ShowSearchStatus(gGroup.input[0], gGroup.input[gGroup.count - 1], counts.inputs, j,
                         counts.outputs);
        if (!UseOutput(j)) continue;
        last = gGroup.sentNs[j] = ReplyClockNs();
        SendHandshake();
        Listen(modelCode, outputs, kWindowMs, last);
        if (gGroup.answeredBy[first] != kNone) {
            const uint8_t result = ConfirmAnswer(modelCode, first, outputs);
            if (result != 0) return result;
        }
        ReleaseOutput();
    }
    // A slow answer to any handshake still unheard for kHandshakeMs is put
    // down to the output sent to last before it came; no more is waited for
    // once every input has had a message since the last handshake.
    if (last >= 0 && FirstAnswered() == kNone && !AllHeardSince(last) && !Interrupted()) {
        const int64_t heardMs = (ReplyClockNs() - last) / kNsPerMs;
        if (heardMs < kHandshakeMs)
            Listen(modelCode, outputs, kHandshakeMs - static_cast<unsigned>(heardMs), last);
    }
    for (unsigned k = 0; k < gGroup.count && !Interrupted(); ++k) {
        if (!gGroup.opened[k] || gGroup.answeredBy[k] == kNone) continue;
        const uint8_t result = ConfirmAnswer(modelCode, k, outputs);
        if (result != 0) return result;
    }
    return 0;
}

// Opens the group's inputs; an input that cannot be opened is released at
// once (one whose start failed is still open), so no device is left held.
void OpenGroup(const unsigned* devices, unsigned count) {
    gGroup.count = count;
    for (unsigned k = 0; k < count; ++k) {
        gGroup.input[k] = devices[k];
        gGroup.openResult[k] = OpenInput(devices[k]);
        gGroup.opened[k] = gGroup.openResult[k] == 0;
        if (!gGroup.opened[k]) CloseInputDevice(devices[k]);
        for (unsigned j = 0; j < kMaxDevices; ++j) gGroup.lastCode[k][j] = kNone;
    }
    for (unsigned j = 0; j < kMaxDevices; ++j) gGroup.outputResult[j] = 0;
}

// What each pair of a group that chose none did, input-major, for the report.
void NoteGroup(uint8_t modelCode, Range outputs) {
    for (unsigned k = 0; k < gGroup.count; ++k) {
        const unsigned i = gGroup.input[k];
        if (!gGroup.opened[k]) {
            NoteTried(i, 0, kInputNotOpened, gGroup.openResult[k]);
            continue;
        }
        for (unsigned j = outputs.first; j < outputs.end; ++j) {
            const int code = gGroup.lastCode[k][j];
            if (gGroup.outputResult[j] != 0) {
                NoteTried(i, j, kOutputNotOpened, gGroup.outputResult[j]);
            } else if (code == kNone) {
                NoteTried(i, j, kNoAnswer, 0);
            } else {
                NoteTried(i, j,
                          AnswerCode(static_cast<uint8_t>(code), modelCode) ? kUnconfirmed
                                                                            : kWrongAnswer,
                          static_cast<uint16_t>(code));
            }
        }
    }
}

// Up to kRounds rounds on the open group. Returns 1 or 0x15 with the chosen
// pair left open and the group's other inputs closed, else 0.
uint8_t SearchGroup(uint8_t modelCode, Counts counts, Range outputs) {
    if (FirstOpened() == kNone) return 0;
    for (bool& tried : gFallbackTried) tried = false;
    DiscardHeldInput();
    for (unsigned round = 0; round < kRounds && !Interrupted(); ++round) {
        const uint8_t result = Round(modelCode, counts, outputs);
        if (result == 0) continue;
        for (unsigned k = 0; k < gGroup.count; ++k) {
            if (k != gChosen) CloseInputDevice(gGroup.input[k]);
        }
        return result;
    }
    return 0;
}

// Opens the group, searches it, and closes it again when it chose no pair.
// With `retry`, the inputs that could not be opened beside the others are
// left out of the report and kept in *retry for a group of their own.
uint8_t TryGroup(uint8_t modelCode, Counts counts, Range outputs, const unsigned* devices,
                 unsigned count, unsigned* retry, unsigned* retries) {
    OpenGroup(devices, count);
    const uint8_t result = SearchGroup(modelCode, counts, outputs);
    if (result != 0 || Interrupted()) return result;
    CloseInput();
    if (retry != nullptr && count > 1 && FirstOpened() != kNone) {
        for (unsigned k = 0; k < count; ++k) {
            if (!gGroup.opened[k]) retry[(*retries)++] = devices[k];
        }
        unsigned kept = 0;
        for (unsigned k = 0; k < count; ++k) {
            if (!gGroup.opened[k]) continue;
            gGroup.input[kept] = gGroup.input[k];
            gGroup.opened[kept] = true;
            for (unsigned j = 0; j < kMaxDevices; ++j)
                gGroup.lastCode[kept][j] = gGroup.lastCode[k][j];
            ++kept;
        }
        gGroup.count = kept;
    }
    NoteGroup(modelCode, outputs);
    return 0;
}

// Every input in groups of up to kMaxOpenInputs, or only the chosen input.
// An input that could not be opened beside others is tried again alone, after
// its group.
uint8_t SearchInputs(uint8_t modelCode, Counts counts, Range in, Range outputs) {
    for (unsigned first = in.first; first < in.end && !Interrupted();) {
        unsigned devices[kMaxOpenInputs];
        unsigned count = 0;
        while (count < kMaxOpenInputs && first + count < in.end) {
            devices[count] = first + count;
            ++count;
        }
        first += count;
        unsigned retry[kMaxOpenInputs];
        unsigned retries = 0;
        uint8_t result = TryGroup(modelCode, counts, outputs, devices, count, retry, &retries);
        for (unsigned k = 0; k < retries && result == 0 && !Interrupted(); ++k) {
            result = TryGroup(modelCode, counts, outputs, &retry[k], 1, nullptr, nullptr);
        }
        if (result != 0 || Interrupted()) return result;
    }
    return 0;
}

} // namespace

} // namespace device_phase

uint8_t FindUpdateDevice(uint8_t modelCode, const DeviceSettings* settings) {
    using namespace device_phase;
    TakeSettings(settings);
    gRun.triedCount = 0;
    gOpenOutput = kNone;
    const unsigned inputs = CountDevices(QueryMidiInDevice, gRun.inputNames);
    const unsigned outputs = CountDevices(QueryMidiOutDevice, gRun.outputNames);
    if (!ChosenDevicesExist(settings, inputs, outputs)) return 0;

    const uint8_t result =
        SearchInputs(modelCode, {inputs, outputs}, Chosen(settings->input, inputs),
                     Chosen(settings->output, outputs));
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
