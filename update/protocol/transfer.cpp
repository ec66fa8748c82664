// The stop-and-wait record transfer: every record sent as hexadecimal System
// Exclusive chunks, the target's verdict on each, resends after silence or a
// refusal, and the progress line.
#include <chrono>
#include <cstdio>
#include <thread>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/trace.h"
#include "protocol/device_calls.h"
#include "protocol/listening.h"
#include "protocol/protocol.h"
#include "protocol/run_state.h"
#include "protocol/status.h"

namespace device_phase {

namespace {

constexpr unsigned kVerdictMs = 3000; // a record's verdict may take this long
constexpr uint8_t kFailureLimit = 20; // consecutive failed attempts
constexpr unsigned kChunkBytes = 11;  // record bytes per full chunk

constexpr uint8_t kRecordAccepted = 0x1A;
constexpr uint8_t kUpdateComplete = 0x77;

// Shown in turn on the progress line.
constexpr char kSpinner[8] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};

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
// this program was listening counts (see listening.h). Returns true with the
// verdict's code; false after silence or an interrupt.
bool WaitForRecordVerdict(uint32_t handedOver, uint8_t* code) {
    ListeningTime listened{};
    StartListening(&listened);
    for (;;) {
        const bool answered = TakeRecordVerdict(handedOver, code);
        ServiceMidiIn();
        const bool done = ListenedFor(&listened, kVerdictMs);
        if (answered) return true;
        if (Interrupted() || done) return false;
        WaitForReply(kPollMilliseconds);
    }
}

void EncodeChunk(const uint8_t* bytes, unsigned count, char* hex) {
    for (size_t k = 0; k < count; ++k) ByteToHexPair(bytes[k], &hex[2 * k]);
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
    char hex[2 * kChunkBytes];
    uint32_t remaining = size;
    while (remaining > 0) {
        const uint8_t* chunk = record + (size - remaining);
        const unsigned count = remaining >= kChunkBytes ? kChunkBytes : remaining;
        EncodeChunk(chunk, count, hex);
        if (Send(reinterpret_cast<const uint8_t*>(hex), 2 * count) != 0) return kRecordNotSent;
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

} // namespace

} // namespace device_phase

DeviceOutcome TransferImage(const FirmwareImage* image, const DeviceSettings* settings) {
    using namespace device_phase;
    TakeSettings(settings);
    uint16_t position = 0;
    uint16_t acknowledged = 0;
    uint8_t failureCount = 0;
    unsigned spinner = 0;
    unsigned record = 1;   // counted from 1, for --verbose and the progress line
    bool silent = false;   // the latest failed attempt got no answer
    unsigned refusals = 0; // what the current record's failed attempts were refused for
    gRun.stopRefusals = 0;
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
            gRun.stopRefusals = refusals;
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
