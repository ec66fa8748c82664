// Discovery of the target among all MIDI input/output pairs, and the
// stop-and-wait record transfer with its progress line.
#include "protocol/protocol.h"

#include <cstdio>

#include "midi/midi.h"
#include "midi/reply_slot.h"

namespace {

constexpr unsigned kMaxDevices = 10;       // device numbers 0 to 9
constexpr unsigned kHandshakeAttempts = 4; // per input/output pair
constexpr unsigned kHandshakePolls = 500;  // per handshake attempt
constexpr unsigned kRecordPolls = 600;     // per record attempt
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

// Counts devices 0, 1, ... up to 9, stopping at the first failed query.
unsigned CountDevices(uint16_t (*query)(unsigned, char*)) {
    char name[kDeviceNameSize];
    unsigned count = 0;
    while (count < kMaxDevices && query(count, name) == 0) ++count;
    return count;
}

// Polls the reply slot up to `polls` times; each empty poll waits at most
// 1 ms and ends early when a reply arrives. Only a reply of two or more
// bytes ends the wait, so a stale one-byte message cannot end every later wait.
// Every poll gives the MIDI layer its turn, the last one included.
void WaitForVerdict(unsigned polls) {
    for (unsigned poll = 0; poll < polls; ++poll) {
        const bool present = ReplyCount() > 1;
        ServiceMidiIn();
        if (present) return;
        WaitForReply(kPollMilliseconds);
    }
}

// Lets a newly opened input hand over whatever its device held while nobody
// read it, and throws it away: a device may keep the answers to handshakes
// that other pairs sent on its output and deliver them only now. Waits until
// nothing has arrived for kQuietPolls polls, at most kSettlePolls polls.
void DiscardHeldInput() {
    ClearReplyCount();
    unsigned quiet = 0;
    for (unsigned poll = 0; poll < kSettlePolls && quiet < kQuietPolls; ++poll) {
        WaitForReply(kPollMilliseconds);
        const bool arrived = ReplyCount() != 0;
        ServiceMidiIn();
        if (arrived) {
            ClearReplyCount();
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    ClearReplyCount();
}

// Sends one request and waits for its answer. Returns the reply code, or 0
// when no reply came (0 is neither the model code nor a reset request).
uint8_t Handshake(const uint8_t* request, unsigned size) {
    SendSysEx(request, size);
    WaitForVerdict(kHandshakePolls);
    uint8_t code = 0;
    return TakeReply(&code) ? code : 0;
}

// Sends the handshake on the open pair up to 4 times. Returns 1 or 0x15 when
// the target answered with the model code or asked for a reset, else 0.
//
// What is waiting before the pair's first request answers an earlier pair and
// is dropped. An answer is then confirmed by one more request sent with the
// slot empty, so a late answer that another pair's request drew from this
// input cannot choose this pair on its own.
uint8_t TryHandshake(uint8_t modelCode) {
    uint8_t request[sizeof kHandshakePayload];
    for (unsigned k = 0; k < sizeof request; ++k) request[k] = kHandshakePayload[k];

    ClearReplyCount();
    for (unsigned attempt = 0; attempt < kHandshakeAttempts; ++attempt) {
        uint8_t code = Handshake(request, sizeof request);
        if (code != modelCode && code != kResetRequired) continue;
        ClearReplyCount();
        code = Handshake(request, sizeof request);
        if (code == modelCode) return 1;
        if (code == kResetRequired) return kResetRequired;
    }
    return 0;
}

uint8_t SearchPairs(uint8_t modelCode, unsigned inputs, unsigned outputs) {
    for (unsigned i = 0; i < inputs; ++i) {
        if (OpenMidiIn(i) != 0) {
            // An input whose start failed is still open: release it before
            // trying the next one, so no device is left held.
            CloseMidiIn();
            continue;
        }
        DiscardHeldInput();
        for (unsigned j = 0; j < outputs; ++j) {
            if (OpenMidiOut(j) != 0) continue;
            const uint8_t result = TryHandshake(modelCode);
            if (result != 0) return result; // the answering pair stays open
            CloseMidiOut();
        }
        CloseMidiIn();
    }
    return 0;
}

void EncodeChunk(const uint8_t* bytes, unsigned count) {
    for (size_t k = 0; k < count; ++k) ByteToHexPair(bytes[k], &gHexBuffer[2 * k]);
}

// Sends one record as hexadecimal chunks. Returns false when a full chunk
// could not be sent (the device is gone).
bool SendRecord(const uint8_t* record, uint16_t size) {
    uint32_t remaining = size;
    while (remaining > 0) {
        const uint8_t* chunk = record + (size - remaining);
        if (remaining >= kChunkBytes) {
            EncodeChunk(chunk, kChunkBytes);
            if (SendSysEx(reinterpret_cast<const uint8_t*>(gHexBuffer), 2 * kChunkBytes) != 0)
                return false;
            remaining -= kChunkBytes;
        } else {
            EncodeChunk(chunk, remaining);
            SendSysEx(reinterpret_cast<const uint8_t*>(gHexBuffer), 2 * remaining);
            remaining = 0;
        }
    }
    return true;
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

} // namespace

void ByteToHexPair(uint8_t byte, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[byte >> 4];
    out[1] = kDigits[byte & 0x0F];
}

uint8_t FindUpdateDevice(uint8_t modelCode) {
    const unsigned inputs = CountDevices(QueryMidiInDevice);
    const unsigned outputs = CountDevices(QueryMidiOutDevice);

    const uint8_t result = SearchPairs(modelCode, inputs, outputs);
    if (result == 0) {
        printf("\nFailed: Can't find the suitable device to update!\n\n");
    } else {
        printf("The Update Device is Open successfully:\n");
        printf("MIDIIN Device: %s\n", MidiInName());
        printf("MIDIOUT Device: %s\n", MidiOutName());
    }
    return result;
}

void TransferImage(const FirmwareImage* image) {
    uint16_t position = 0;
    uint16_t acknowledged = 0;
    uint8_t failureCount = 0;
    unsigned spinner = 0;

    while (position < image->length) {
        const uint16_t size =
            static_cast<uint16_t>(((image->bytes[position] << 8) | image->bytes[position + 1]) + 2);
        const unsigned percent = static_cast<uint32_t>(acknowledged) * 100u / image->length;

        printf("\r                        \rTransferring.. %c %d%% done", kSpinner[spinner],
               static_cast<int>(percent));
        spinner = (spinner + 1) % 8;
        fflush(stdout);

        if (!SendRecord(&image->bytes[position], size)) {
            printf("\nError: The MIDI Out of device is missing!\n\n");
            return;
        }

        WaitForVerdict(kRecordPolls);
        uint8_t code = 0;
        if (!TakeReply(&code)) {
            if (++failureCount >= kFailureLimit) {
                printf("\nFailed: Target is not responding.\n\n");
                return;
            }
            spinner = (spinner + 7) % 8; // the resend shows the same character
            continue;
        }

        if (code == kRecordAccepted) {
            acknowledged = static_cast<uint16_t>(acknowledged + size);
            failureCount = 0;
            position = static_cast<uint16_t>(position + size);
            continue;
        }

        if (++failureCount >= kFailureLimit) {
            printf("\nError in updating.\n");
            return;
        }
        spinner = (spinner + 7) % 8;
        if (code == kUpdateComplete) {
            printf("\rTransferring.. 100%% done.  \n");
            printf("Target update successfully!\n");
            printf("\nThe System is restarted, please wait!\n\n");
            return;
        }
        const char* message = MessageForCode(code);
        if (message != nullptr) printf("%s", message);
    }

    printf("\rTransferring.. 100%% done.  \n");
    printf("\nTarget update successfully!\n\n");
}

void RunDeviceUpdate(const FirmwareImage* image, uint8_t modelCode) {
    const uint8_t result = FindUpdateDevice(modelCode);
    if (result == kResetRequired) {
        printf("Please reset the product and retry again!\n\n");
    } else if (result != 0) {
        TransferImage(image);
    }
    CloseMidiIn();
    CloseMidiOut();
}
