// Fuzz target: the reply path. Arbitrary incoming MIDI bytes, cut into pieces
// where the input says, go
//   (a) through the shared System Exclusive reassembly into the reply queue,
//       and
//   (b) as whole messages (valid or invalid) through the Windows port pair,
//       in one process with the emulated MIDI system, with the input closed
//       and opened again where the input says, and the layer given its turn
//       after each message as the protocol's polls do;
// and the reply queue is read the way the protocol reads it.
//
// Beyond "no crash", every step is checked against a model written from the
// rules: the queue holds the completed messages in the order they completed,
// each its first 200 bytes, at most 32 of them (one that finds it full is
// lost); a take gives the oldest; nothing arrives while the input is closed;
// and the reassembly delivers the same messages whatever the cutting.
//
// Input: byte 0 holds flags (bit 0: on the Windows side, a message longer than
// the buffer goes on in the next buffer, as a driver does). Then pieces, each a
// header byte h and its bytes: kind = h >> 6, length = h & 0x3F, where the
// length 0x3F means 0x3F + 4 * (next byte). Kinds:
//   0: bytes arrive;  1: bytes arrive, then the oldest message is taken;
//   2: bytes arrive (on Windows as an invalid message, MIM_LONGERROR);
//   3: (a) the reassembly starts over, as after an overrun; (b) the input is
//      closed if open, opened if closed; then the bytes arrive.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "emul.h"
#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/sysex_assembly.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A failed check is a finding: it names itself and ends the run.
#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "fuzz_reply: check failed at line %d: %s\n", __LINE__, #condition);    \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

struct Piece {
    unsigned kind;
    const uint8_t* bytes;
    size_t size;
};

std::vector<Piece> Pieces(const uint8_t* data, size_t size) {
    std::vector<Piece> pieces;
    size_t at = 0;
    while (at < size) {
        const uint8_t header = data[at++];
        size_t length = header & 0x3F;
        if (length == 0x3F && at < size) length += 4u * data[at++];
        length = std::min(length, size - at);
        pieces.push_back({static_cast<unsigned>(header >> 6), data + at, length});
        at += length;
    }
    return pieces;
}

// What the reply queue must hold: the kept bytes of the completed messages
// not yet taken, oldest first, as many as it has room for.
struct QueueModel {
    std::deque<Bytes> waiting;

    void Store(const uint8_t* bytes, size_t n) {
        if (waiting.size() == kReplyQueueLength) return;
        waiting.emplace_back(bytes, bytes + std::min<size_t>(n, kReplyBufferSize));
    }
};

// The queue as the protocol sees it must match the model.
void CheckQueue(const QueueModel& model) { CHECK(RepliesWaiting() == model.waiting.size()); }

// Takes the oldest message as the protocol does, and checks what it gets.
void PollAndTake(QueueModel* model) {
    CheckQueue(*model);
    IncomingReply message;
    const bool taken = TakeReply(&message);
    CHECK(taken == !model->waiting.empty());
    if (!taken) return;
    const Bytes& expected = model->waiting.front();
    CHECK(message.count <= kReplyBufferSize);
    CHECK(message.count == expected.size());
    CHECK(std::equal(message.bytes, message.bytes + message.count, expected.begin()));
    model->waiting.pop_front();
    CheckQueue(*model);
}

// ---- (a) the shared reassembly ----

struct Completed {
    std::vector<Bytes> messages; // as the sink received them
};

void Sink(const uint8_t* bytes, uint32_t count, uint32_t length, void* context) {
    CHECK(count <= kReplyBufferSize);
    CHECK(length >= count && (length == count || count == kReplyBufferSize));
    static_cast<Completed*>(context)->messages.emplace_back(bytes, bytes + count);
    StoreReply(bytes, length);
}

// The reassembly rule over the uncut stream: a message runs from the last F0
// before an F7 to that F7; its first 200 bytes are kept.
class StreamModel {
public:
    void Restart() {
        stream_.clear();
        start_ = -1;
    }
    void Add(const uint8_t* bytes, size_t n, std::vector<Bytes>* completed) {
        for (size_t k = 0; k < n; ++k) {
            stream_.push_back(bytes[k]);
            const long at = static_cast<long>(stream_.size()) - 1;
            if (bytes[k] == 0xF0) start_ = at;
            if (bytes[k] == 0xF7 && start_ >= 0) {
                const long length = std::min<long>(at - start_ + 1, kReplyBufferSize);
                completed->emplace_back(stream_.begin() + start_,
                                        stream_.begin() + start_ + length);
                start_ = -1;
            }
        }
    }

private:
    Bytes stream_;
    long start_ = -1;
};

void FuzzReassembly(const std::vector<Piece>& pieces) {
    DropReplies();
    SysExAssembly assembly;
    ResetSysExAssembly(&assembly);
    StreamModel stream;
    QueueModel queue;
    for (const Piece& piece : pieces) {
        if (piece.kind == 3) {
            ResetSysExAssembly(&assembly);
            stream.Restart();
        }
        Completed got;
        FeedSysEx(&assembly, piece.bytes, static_cast<unsigned>(piece.size), Sink, &got);
        std::vector<Bytes> expected;
        stream.Add(piece.bytes, piece.size, &expected);
        CHECK(got.messages == expected);
        for (const Bytes& m : expected) queue.Store(m.data(), m.size());
        CheckQueue(queue);
        if (piece.kind == 1) PollAndTake(&queue);
    }
    PollAndTake(&queue);
}

// ---- (b) the Windows port pair over the emulated MIDI system ----

void FuzzPortPair(const std::vector<Piece>& pieces, bool longContinues) {
    emul::Scenario scenario;
    scenario.inputs.push_back({"Fuzz In"});
    scenario.outputs.push_back({"Fuzz Out"});
    scenario.longContinues = longContinues;
    emul::Configure(scenario);
    DropReplies();
    CHECK(OpenMidiIn(0) == 0);
    bool open = true;
    QueueModel queue;
    for (const Piece& piece : pieces) {
        if (piece.kind == 3) {
            if (open) {
                CHECK(CloseMidiIn() == 1);
            } else {
                CHECK(OpenMidiIn(0) == 0);
            }
            open = !open;
        }
        if (piece.size > 0) {
            // The MIDI service hands over System Exclusive messages only: F0,
            // data bytes (below 0x80), and F7 when the message was ended. A
            // status byte on the wire ends the message, so none comes inside.
            Bytes message(piece.bytes, piece.bytes + piece.size);
            for (size_t k = 1; k + 1 < message.size(); ++k) message[k] &= 0x7F;
            if (message.size() > 1 && message.back() >= 0x80) message.back() = 0xF7;
            message[0] = 0xF0;
            const bool invalid = piece.kind == 2;
            const unsigned delivered = emul::Snapshot().delivered;
            emul::Deliver(0, message, invalid);
            emul::WaitIdle();
            ServiceMidiIn();
            // A valid message that arrived whole, up to its F7, is a reply of
            // its first 200 bytes (the rest of a longer one is no reply of its
            // own). One without its F7, or whose rest found no buffer, is not
            // complete; an invalid one is no reply.
            const bool whole = emul::Snapshot().delivered == delivered + 1;
            if (open && !invalid && whole && message.back() == 0xF7 && message.size() > 1) {
                queue.Store(message.data(), message.size());
            }
        }
        CheckQueue(queue);
        if (piece.kind == 1) PollAndTake(&queue);
    }
    if (open) CHECK(CloseMidiIn() == 1);
    CHECK(CloseMidiIn() == 0);
    // Whatever was still on its way finds the input closed.
    emul::Deliver(0, {0xF0, 0x1A, 0xF7});
    emul::WaitIdle();
    PollAndTake(&queue);
    CHECK(emul::Snapshot().callbackViolations == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::vector<Piece> pieces = Pieces(data + 1, size - 1);
    FuzzReassembly(pieces);
    FuzzPortPair(pieces, (data[0] & 1) != 0);
    return 0;
}
