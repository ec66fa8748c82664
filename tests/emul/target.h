// The emulated target: the device at the far end of one MIDI input/output
// pair. It takes each System Exclusive message sent to it, recognises the
// handshake request and the hexadecimal record chunks, reassembles each record
// from its big-endian length, checks its checksum and answers from a script.
//
// The core knows nothing of WinMM: it turns one received message into the
// replies to send back, so it can sit behind any transport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace emul {

// What the target does in answer to one message.
enum class ActionKind {
    Silent,       // no reply
    Model,        // F0 <model code> F7
    Code,         // F0 <code> F7
    Twice,        // F0 <code> F7, two times (the second may carry another code)
    OneByte,      // a message of the single byte F0
    Unterminated, // F0 <code> with no F7, handed back as data
    LongError,    // F0 <code>, handed back as an invalid message (MIM_LONGERROR)
    Raw,          // exactly the given bytes, as one message
    Long,         // `count` bytes: F0 <code> 00 ... 00 F7 (more than the 200-byte buffer when count > 200)
    Flood,        // `count` messages F0 <code> F7, back to back
};

struct Action {
    Action() = default;
    Action(ActionKind k, uint8_t c = 0x1A) : kind(k), code(c) {}

    ActionKind kind = ActionKind::Code;
    uint8_t code = 0x1A;
    std::vector<uint8_t> raw; // Raw
    int second = -1;          // Twice: the second message's code; -1: the same
    unsigned count = 0;       // Long: message length; Flood: number of messages
    int delayMs = -1;         // before the reply; -1: the script's reply delay
    int input = -1;           // input device to answer on; -1: the target's own input
};

// One message for the transport to deliver.
struct Reply {
    std::vector<uint8_t> bytes;
    bool invalid = false; // handed back as an invalid message (MIM_LONGERROR)
    unsigned delayMs = 0;
    int input = -1; // -1: the target's own input
};

struct TargetScript {
    uint8_t model = 0x3B;
    unsigned replyDelayMs = 0;
    // By handshake attempt, counted from 1 over the target's life.
    std::map<unsigned, Action> handshake;
    Action handshakeDefault{ActionKind::Model};
    // By (record number from 0, counted in accepted records; attempt from 1).
    std::map<std::pair<unsigned, unsigned>, Action> records;
    Action recordDefault{ActionKind::Code, 0x1A};
    // The answer to a complete record whose checksum is wrong.
    Action checksumError{ActionKind::Code, 0x20};
};

// What the target has seen.
struct TargetLog {
    unsigned messages = 0;       // every message received
    unsigned handshakes = 0;     // handshake requests
    unsigned recordsReceived = 0; // complete records, whatever their checksum
    unsigned recordsAccepted = 0; // answered 0x1A or 0x77 with a valid checksum
    unsigned checksumErrors = 0;
    unsigned badChunks = 0;      // malformed chunks: not hexadecimal, odd, or out of place
    unsigned lowercaseHex = 0;   // chunks with a lower-case hexadecimal digit
    unsigned unknownMessages = 0; // not a System Exclusive message of either kind
    std::vector<uint8_t> image;  // the bytes of every accepted record, in order
};

class Target {
public:
    explicit Target(TargetScript script = {});

    // One complete message as sent on the wire (F0 ... F7).
    std::vector<Reply> Receive(const uint8_t* message, size_t size);

    const TargetLog& Log() const { return log_; }
    const TargetScript& Script() const { return script_; }

private:
    std::vector<Reply> Answer(const Action& action) const;
    std::vector<Reply> Chunk(const uint8_t* chars, size_t count);
    std::vector<Reply> CompleteRecord();

    TargetScript script_;
    TargetLog log_;
    std::vector<uint8_t> record_; // the record being reassembled
    unsigned recordNumber_ = 0;   // records accepted so far = number of the next one
    unsigned attempt_ = 0;        // complete receipts of the current record number
};

// The reply code an action stands for (what the target meant to say), or -1.
int ActionCode(const Action& action, uint8_t model);

// True when the record's checksum holds: the 16-bit sum of the payload plus
// the little-endian checksum word is 0.
bool RecordChecksumValid(const std::vector<uint8_t>& record);

} // namespace emul
