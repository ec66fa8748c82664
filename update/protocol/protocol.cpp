// Discovery of the target among all MIDI input/output pairs, and the
// stop-and-wait record transfer with its progress line.
#include "protocol/protocol.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/trace.h"
#include "protocol/status.h"

namespace {

constexpr unsigned kMaxDevices = 10;       // device numbers 0 to 9
constexpr unsigned kHandshakeAttempts = 4; // per input/output pair
constexpr unsigned kHandshakePolls = 500;  // per handshake attempt
constexpr unsigned kVerdictMs = 3000;      // a record's verdict may take this long
constexpr unsigned kStallMs = 100;         // the most one poll of that wait counts
constexpr unsigned kQuietPolls = 50;       // a newly opened input is quiet after this many
constexpr unsigned kSettlePolls = 500;     // at most this long to wait for the quiet
constexpr uint8_t kFailureLimit = 20;      // consecutive failed attempts
constexpr unsigned kChunkBytes = 11;       // record bytes per full chunk
constexpr unsigned kPollMilliseconds = 1;

constexpr uint8_t kRecordAccepted = 0x1A;
constexpr uint8_t kUpdateComplete = 0x77;

// Shown in turn on the progress line.
constexpr char kSpinner[8] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};

char gHexBuffer[2 * kChunkBytes];

// Device names by number, as the latest count found them.
char gInputNames[kMaxDevices][kDeviceNameSize];
char gOutputNames[kMaxDevices][kDeviceNameSize];

// ---- The MIDI calls of the device phase, each traced ----

FILE* gTrace;           // the run's trace sink; null: none
bool (*gInterrupted)(); // asks whether the user stopped the run; null: never
int gInputNumber = -1;  // the input and output last opened, for the trace
int gOutputNumber = -1;

bool Interrupted() { return gInterrupted != nullptr && gInterrupted(); }

void TakeSettings(const DeviceSettings* settings) {
    gTrace = settings->trace;
    gInterrupted = settings->interrupted;
}

constexpr unsigned kReasonSize = 32;

// What a failed MIDI call's result means, in a few words: the MIDI layer's
// own words when it has them, otherwise the code.
const char* Reason(uint16_t result, char* buffer) {
    const char* text = MidiResultText(result);
    if (text != nullptr) return text;
    snprintf(buffer, kReasonSize, "error %u", static_cast<unsigned>(result));
    return buffer;
}

void TraceOpen(const char* side, unsigned device, const char* name, uint16_t result) {
    if (gTrace == nullptr) return;
    char reason[kReasonSize];
    TraceLine(gTrace, "open %s %u (%s): %s%s", side, device, name, result == 0 ? "ok" : "failed, ",
              result == 0 ? "" : Reason(result, reason));
}

uint16_t OpenInput(unsigned device) {
    const uint16_t result = OpenMidiIn(device);
    gInputNumber = static_cast<int>(device);
    TraceOpen("input", device, gInputNames[device], result);
    return result;
}

uint16_t OpenOutput(unsigned device) {
    const uint16_t result = OpenMidiOut(device);
    gOutputNumber = static_cast<int>(device);
    TraceOpen("output", device, gOutputNames[device], result);
    return result;
}

// Closes that did nothing (the side was not open) are not traced.
void CloseInput() {
    if (CloseMidiIn() != 0) TraceLine(gTrace, "close input %d", gInputNumber);
}

void CloseOutput() {
    if (CloseMidiOut() != 0) TraceLine(gTrace, "close output %d", gOutputNumber);
}

// The message is traced before it is sent, so that its answer, traced on the
// input thread, always comes after it.
uint16_t Send(const uint8_t* data, unsigned n) {
    if (gTrace != nullptr && n <= kMaxSysExData) {
        uint8_t message[kMaxSysExData + 2];
        message[0] = 0xF0;
        memcpy(message + 1, data, n);
        message[n + 1] = 0xF7;
        char hex[3 * sizeof message];
        FormatHexBytes(message, n + 2, hex, sizeof hex);
        TraceLine(gTrace, "send output %d: %s", gOutputNumber, hex);
    }
    const uint16_t result = SendSysEx(data, n);
    if (gTrace != nullptr && result != 0) {
        char reason[kReasonSize];
        TraceLine(gTrace, "send output %d failed: %s", gOutputNumber, Reason(result, reason));
    }
    return result;
}

// Counts devices 0, 1, ... up to 9, stopping at the first failed query, and
// keeps their names.
unsigned CountDevices(uint16_t (*query)(unsigned, char*), char names[][kDeviceNameSize]) {
    unsigned count = 0;
    while (count < kMaxDevices && query(count, names[count]) == 0) ++count;
    return count;
}

// ---- What discovery tried, for the report after a failed discovery ----

enum PairResult : uint8_t {
    kInputNotOpened,  // code: the open's result
    kOutputNotOpened, // code: the open's result
    kNoAnswer,
    kWrongAnswer, // code: the last reply code taken, neither the model code nor 0x15
    kUnconfirmed, // code: the model code or 0x15, not given again to the confirming request
};

struct PairTried {
    uint8_t input;
    uint8_t output;
    PairResult result;
    uint16_t code;
};

PairTried gTried[kMaxDevices * kMaxDevices];
unsigned gTriedCount;

void NoteTried(unsigned input, unsigned output, PairResult result, uint16_t code) {
    if (gTriedCount == sizeof gTried / sizeof gTried[0]) return;
    gTried[gTriedCount++] = {static_cast<uint8_t>(input), static_cast<uint8_t>(output), result,
                             code};
}

// The first bytes of our own request coming back (a loopback or a MIDI
// through port) are an echo, not another model's answer.
bool IsEcho(uint16_t code) { return code == kHandshakePayload[0]; }

void ReportPairsTried(unsigned inputs, unsigned outputs) {
    if (gTriedCount == 0) {
        printf("Pairs tried: none (MIDI inputs: %u, MIDI outputs: %u).\n\n", inputs, outputs);
        return;
    }
    printf("Pairs tried:\n");
    char reason[kReasonSize];
    for (unsigned k = 0; k < gTriedCount; ++k) {
        const PairTried& tried = gTried[k];
        printf("  input %u (%s)", tried.input, gInputNames[tried.input]);
        if (tried.result == kInputNotOpened) {
            printf(": the input cannot be opened: %s\n", Reason(tried.code, reason));
            continue;
        }
        printf(", output %u (%s): ", tried.output, gOutputNames[tried.output]);
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

// ---- After a failed discovery: the causes that are known, and what to do ----

// Why there is no input or output to try, when the MIDI layer can tell.
void ReportNoDevices(unsigned inputs, unsigned outputs) {
    char name[kDeviceNameSize];
    const uint16_t query = inputs == 0 ? QueryMidiInDevice(0, name) : QueryMidiOutDevice(0, name);
    switch (MidiResultTrouble(query)) {
    case kMidiTroubleNoSystem:
        printf("This computer has no ALSA sequencer: load its module (sudo modprobe snd-seq), then "
               "run update again.\n");
        break;
    case kMidiTroubleNoPermission:
        printf("You have no permission to use the ALSA sequencer: join the audio group (sudo "
               "usermod -a -G audio $USER), log in again, then run update again.\n");
        break;
    default:
        printf("No MIDI %s was found: connect the keyboard, switch it on, then run update "
               "again.\n",
               inputs == 0 && outputs == 0 ? "input or output"
                                           : (inputs == 0 ? "input" : "output"));
        break;
    }
}

void ReportInUse(const char* side, unsigned device, const char* name) {
    printf("MIDI %s %u (%s) is in use by another program: close the programs that use MIDI, then "
           "run update again.\n",
           side, device, name);
}

// One line for each cause found among the pairs tried, then a blank line.
void ReportKnownCauses(unsigned inputs, unsigned outputs) {
    bool told = false;
    if (inputs == 0 || outputs == 0) {
        ReportNoDevices(inputs, outputs);
        told = true;
    }
    bool outputTold[kMaxDevices] = {};
    for (unsigned k = 0; k < gTriedCount; ++k) {
        const PairTried& tried = gTried[k];
        const bool inUse = MidiResultTrouble(tried.code) == kMidiTroubleInUse;
        if (tried.result == kInputNotOpened && inUse) {
            ReportInUse("input", tried.input, gInputNames[tried.input]);
        } else if (tried.result == kOutputNotOpened && inUse && !outputTold[tried.output]) {
            ReportInUse("output", tried.output, gOutputNames[tried.output]);
            outputTold[tried.output] = true;
        } else if (tried.result == kWrongAnswer && !IsEcho(tried.code)) {
            printf("The device on MIDI input %u (%s) and output %u (%s) is another model (it "
                   "answered %02X): this firmware file is not for it. Use the file made for that "
                   "keyboard.\n",
                   tried.input, gInputNames[tried.input], tried.output, gOutputNames[tried.output],
                   tried.code);
        } else {
            continue;
        }
        told = true;
    }
    if (told) printf("\n");
}

// With devices there and none answering: what was tried, and the next step.
void ReportNoneAnswered(unsigned inputs, unsigned outputs) {
    if (inputs == 0 || outputs == 0) return; // ReportNoDevices has told what to do
    printf("%u MIDI input%s and %u output%s were tried; none answered as a Q25/Q49 keyboard.\n",
           inputs, inputs == 1 ? "" : "s", outputs, outputs == 1 ? "" : "s");
    printf("Connect the keyboard and switch it on; update --list should show it. Then switch "
           "the keyboard off and on, and run update again.\n\n");
}

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

// A message that can answer what was sent: F0 and at least one byte more.
bool IsVerdictShaped(const IncomingReply* message) { return message->count > 1; }

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

// Polls the reply queue up to `polls` times; each empty poll waits at most
// 1 ms and ends early when a message arrives. Returns the code of the first
// verdict-shaped message, which is taken; 0 when none came (0 is neither a
// model code nor a reset request). Every poll gives the MIDI layer its turn,
// the last one included. An interrupt ends the wait too.
uint8_t WaitForAnswer(unsigned polls) {
    for (unsigned poll = 0; poll < polls; ++poll) {
        uint8_t code = 0;
        const bool answered = TakeAnswer(&code);
        ServiceMidiIn();
        if (answered) return code;
        if (Interrupted()) return 0;
        WaitForReply(kPollMilliseconds);
    }
    return 0;
}

// Judges what waits in the queue for the record whose last message was marked
// as handed over at `handedOver`: a message that arrived before that mark
// cannot answer the record (a copy of an earlier verdict, an answer to an
// earlier attempt) and is dropped; the first verdict-shaped message after it
// is the verdict; whatever waits behind the verdict is dropped too. Every drop
// is traced. Returns true with the verdict's code.
bool TakeRecordVerdict(uint32_t handedOver, uint8_t* code) {
    IncomingReply message;
    while (TakeReply(&message)) {
        if (static_cast<int32_t>(message.sequence - handedOver) < 0) {
            TraceDroppedReply(&message, "(came before the record had left)");
        } else if (!IsVerdictShaped(&message)) {
            TraceDroppedReply(&message, "(not a verdict)");
        } else {
            *code = message.bytes[1];
            CountVerdict();
            while (TakeReply(&message)) TraceDroppedReply(&message, "(came behind the verdict)");
            return true;
        }
    }
    return false;
}

// Waits for a record's verdict, by the clock: a target erasing its flash may
// take seconds over one record, and its verdict must answer that record, not
// the record sent again (or the next one) after a shorter wait. Only the time
// this program was listening counts: a poll that comes back late because the
// program was held up (a suspended computer, a busy browser page) counts as
// kStallMs, since a verdict that arrived meanwhile may not have been handed
// over yet. Returns true with the verdict's code; false after silence or an
// interrupt.
bool WaitForRecordVerdict(uint32_t handedOver, uint8_t* code) {
    using Clock = std::chrono::steady_clock;
    const Clock::duration limit = std::chrono::milliseconds(kVerdictMs);
    const Clock::duration stall = std::chrono::milliseconds(kStallMs);
    Clock::duration waited{};
    Clock::time_point last = Clock::now();
    for (;;) {
        const bool answered = TakeRecordVerdict(handedOver, code);
        ServiceMidiIn();
        const Clock::time_point now = Clock::now();
        waited += now - last < stall ? now - last : stall;
        last = now;
        if (answered) return true;
        if (Interrupted() || waited >= limit) return false;
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
    return WaitForAnswer(kHandshakePolls);
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

void EncodeChunk(const uint8_t* bytes, unsigned count) {
    for (size_t k = 0; k < count; ++k) ByteToHexPair(bytes[k], &gHexBuffer[2 * k]);
}

void Pause(unsigned milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

enum SendResult : uint8_t { kRecordSent, kRecordNotSent, kRecordInterrupted };

// Sends one record as hexadecimal chunks of 11 bytes (the last one shorter),
// pausing delayMs after each one. Any chunk that cannot be sent means the
// device is gone. An interrupt stops the record between two messages, never
// inside one.
SendResult SendRecord(const uint8_t* record, uint16_t size, unsigned delayMs) {
    uint32_t remaining = size;
    while (remaining > 0) {
        const uint8_t* chunk = record + (size - remaining);
        const unsigned count = remaining >= kChunkBytes ? kChunkBytes : remaining;
        EncodeChunk(chunk, count);
        if (Send(reinterpret_cast<const uint8_t*>(gHexBuffer), 2 * count) != 0)
            return kRecordNotSent;
        remaining -= count;
        Pause(delayMs);
        if (Interrupted()) return kRecordInterrupted;
    }
    return kRecordSent;
}

DeviceOutcome ReportInterrupt() {
    printf("\nInterrupted: the firmware update is not complete. Run update again to finish it.\n");
    return kDeviceInterrupted;
}

// With --verbose: why a record is sent again. `atLineStart` tells whether a
// message already ended the progress line.
void ReportResend(unsigned record, uint16_t position, uint8_t failureCount, bool answered,
                  uint8_t code, bool atLineStart) {
    printf("%sResending record %u (at byte %u), attempt %u of %u: ", atLineStart ? "" : "\n",
           record, static_cast<unsigned>(position), failureCount + 1u,
           static_cast<unsigned>(kFailureLimit));
    if (answered) {
        printf("the target answered %02X.\n", code);
    } else {
        printf("no answer.\n");
    }
}

// The refusals among the failed attempts of the record at which the transfer
// stopped with "Error in updating." (kRefused* of status.h), for the advice
// after it; 0 after any other end.
unsigned gStopRefusals;

unsigned RefusalOf(uint8_t code) {
    switch (code) {
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x24: return kRefusedData;
    case 0x25: return kRefusedErase;
    default: return 0;
    }
}

const char* MessageForCode(uint8_t code) {
    switch (code) {
    case 0x20: return "\nThe CRC of the download file is error!\n";
    case 0x21:
    case 0x22: return "\nThe download file has been damaged!\n";
    case 0x24: return "\nThe download file verifies error!\n";
    case 0x25: return "\nThe MCU erases error!\n";
    default: return nullptr;
    }
}

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
        printf("  (%s from 10 on are not used)\n", side);
    }
    return count;
}

} // namespace

void ByteToHexPair(uint8_t byte, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[byte >> 4];
    out[1] = kDigits[byte & 0x0F];
}

uint8_t FindUpdateDevice(uint8_t modelCode, const DeviceSettings* settings) {
    TakeSettings(settings);
    gTriedCount = 0;
    const unsigned inputs = CountDevices(QueryMidiInDevice, gInputNames);
    const unsigned outputs = CountDevices(QueryMidiOutDevice, gOutputNames);
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

DeviceOutcome TransferImage(const FirmwareImage* image, const DeviceSettings* settings) {
    TakeSettings(settings);
    uint16_t position = 0;
    uint16_t acknowledged = 0;
    uint8_t failureCount = 0;
    unsigned spinner = 0;
    unsigned record = 1;   // counted from 1, for --verbose and the progress line
    bool silent = false;   // the latest failed attempt got no answer
    unsigned refusals = 0; // what the current record's failed attempts were refused for
    gStopRefusals = 0;
    StartProgress(SummarizeImage(image).records);

    while (position < image->length) {
        if (Interrupted()) return ReportInterrupt();
        const uint16_t size =
            static_cast<uint16_t>(((image->bytes[position] << 8) | image->bytes[position + 1]) + 2);
        const unsigned percent = static_cast<uint32_t>(acknowledged) * 100u / image->length;

        ShowProgress(kSpinner[spinner], percent, record, failureCount, silent, acknowledged,
                     image->length);
        spinner = (spinner + 1) % 8;
        fflush(stdout);

        const SendResult sent = SendRecord(&image->bytes[position], size, settings->delayMs);
        if (sent == kRecordNotSent) {
            printf("\nError: The MIDI Out of device is missing!\n\n");
            return kDeviceTransferFailed;
        }
        if (sent == kRecordInterrupted) return ReportInterrupt();

        // Only what arrives once the record's last message has left can be
        // its verdict.
        uint8_t code = 0;
        if (!WaitForRecordVerdict(HandOverMark(), &code)) {
            if (Interrupted()) return ReportInterrupt();
            if (++failureCount >= kFailureLimit) {
                printf("\nFailed: Target is not responding.\n\n");
                return kDeviceTransferFailed;
            }
            spinner = (spinner + 7) % 8; // the resend shows the same character
            silent = true;
            if (settings->verbose) ReportResend(record, position, failureCount, false, 0, false);
            continue;
        }

        if (code == kRecordAccepted) {
            acknowledged = static_cast<uint16_t>(acknowledged + size);
            failureCount = 0;
            refusals = 0;
            position = static_cast<uint16_t>(position + size);
            ++record;
            continue;
        }
        // Completion ends the transfer whenever it comes, even as the answer
        // to a record's 20th attempt: the target has what it needs.
        if (code == kUpdateComplete) {
            WipeStatus();
            printf("\rTransferring.. 100%% done.  \n");
            printf("Target update successfully!\n");
            printf("\nThe System is restarted, please wait!\n\n");
            return kDeviceUpdated;
        }

        silent = false;
        refusals |= RefusalOf(code);
        if (++failureCount >= kFailureLimit) {
            printf("\nError in updating.\n");
            gStopRefusals = refusals;
            return kDeviceTransferFailed;
        }
        spinner = (spinner + 7) % 8;
        const char* message = MessageForCode(code);
        if (message != nullptr) printf("%s", message);
        if (settings->verbose) {
            ReportResend(record, position, failureCount, true, code, message != nullptr);
        }
    }

    WipeStatus();
    printf("\rTransferring.. 100%% done.  \n");
    printf("\nTarget update successfully!\n\n");
    return kDeviceUpdated;
}

DeviceOutcome RunDeviceUpdate(const FirmwareImage* image, uint8_t modelCode,
                              const DeviceSettings* settings) {
    TakeSettings(settings);
    SetReplyTrace(settings->trace);
    SetLiveStatus(settings->liveStatus);
    const uint8_t result = FindUpdateDevice(modelCode, settings);
    DeviceOutcome outcome = kDeviceNotFound;
    if (Interrupted() && result == 0) {
        outcome = kDeviceInterrupted; // before the transfer: nothing to report
    } else if (result == kResetRequired) {
        printf("Please reset the product and retry again!\n\n");
        outcome = kDeviceResetRequired;
    } else if (result != 0) {
        outcome = TransferImage(image, settings);
        if (outcome == kDeviceTransferFailed) ReportTransferStop(gStopRefusals);
    }
    CloseInput();
    CloseOutput();
    SetReplyTrace(nullptr);
    return outcome;
}

void ListDevices(FILE* trace) {
    gTrace = trace;
    SetReplyTrace(trace);
    const unsigned inputs =
        ListSide("inputs", QueryMidiInDevice, gInputNames, OpenInput, CloseInput);
    const unsigned outputs =
        ListSide("outputs", QueryMidiOutDevice, gOutputNames, OpenOutput, CloseOutput);
    // A side without devices gets the next step an update would give.
    if (inputs == 0 || outputs == 0) ReportNoDevices(inputs, outputs);
    SetReplyTrace(nullptr);
}
