// Fuzz target: the reply path. Arbitrary incoming MIDI bytes, cut into pieces
// where the input says, go
//   (a) through the Linux layer's System Exclusive reassembly into the reply
//       slot, and
//   (b) as whole messages (valid or invalid) through the Windows port pair,
//       in one process with the emulated MIDI system, with the input closed
//       and opened again where the input says, and the layer given its turn
//       after each message as the protocol's polls do;
// and the reply slot is read the way the protocol reads it.
//
// Beyond "no crash", every step is checked against a model written from the
// rules: the count is never negative nor above 200 and equals the kept length
// of the latest completed message; the slot holds that message's first bytes;
// a taken reply's code is byte 1 of it and the count is 0 after the take;
// nothing arrives while the input is closed; and the reassembly delivers the
// same messages whatever the cutting.
//
// Input: byte 0 holds flags (bit 0: on the Windows side, a message longer than
// the buffer goes on in the next buffer, as a driver does). Then pieces, each a
// header byte h and its bytes: kind = h >> 6, length = h & 0x3F, where the
// length 0x3F means 0x3F + 4 * (next byte). Kinds:
//   0: bytes arrive;  1: bytes arrive, then the slot is polled and taken;
//   2: bytes arrive (on Windows as an invalid message, MIM_LONGERROR);
//   3: (a) the reassembly starts over, as after an overrun; (b) the input is
//      closed if open, opened if closed; then the bytes arrive.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "emul.h"
#include "midi/alsa_rules.h"
#include "midi/midi.h"
#include "midi/reply_slot.h"

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

// What the reply slot must hold: the kept bytes of the latest completed
// message, until a take clears the count.
struct SlotModel {
    Bytes kept;
    int count = 0;

    void Store(const uint8_t* bytes, size_t n) {
        const size_t k = std::min<size_t>(n, kReplyBufferSize);
        kept.assign(bytes, bytes + k);
        count = static_cast<int>(k);
    }
};

// The slot as the protocol sees it must match the model.
void CheckSlot(const SlotModel& model) {
    const int count = ReplyCount();
    CHECK(count >= 0 && count <= static_cast<int>(kReplyBufferSize));
    CHECK(count == model.count);
    if (count > 0) {
        uint8_t bytes[kReplyBufferSize];
        CopyReplyBytes(bytes, static_cast<unsigned>(count));
        CHECK(std::equal(bytes, bytes + count, model.kept.begin()));
    }
}

// Takes a reply as the protocol does, and checks what it gets.
void PollAndTake(SlotModel* model) {
    CheckSlot(*model);
    uint8_t code = 0;
    const bool taken = TakeReply(&code);
    CHECK(taken == (model->count > 1));
    if (taken) {
        CHECK(code == model->kept[1]);
        CHECK(ReplyCount() == 0);
        model->count = 0;
    } else {
        CHECK(ReplyCount() == model->count);
    }
}

// ---- (a) the Linux layer's reassembly ----

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
    ClearReplyCount();
    SysExAssembly assembly;
    ResetSysExAssembly(&assembly);
    StreamModel stream;
    SlotModel slot;
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
        for (const Bytes& m : expected) slot.Store(m.data(), m.size());
        CheckSlot(slot);
        if (piece.kind == 1) PollAndTake(&slot);
    }
    PollAndTake(&slot);
}

// ---- (b) the Windows port pair over the emulated MIDI system ----

void FuzzPortPair(const std::vector<Piece>& pieces, bool longContinues) {
    emul::Scenario scenario;
    scenario.inputs.push_back({"Fuzz In"});
    scenario.outputs.push_back({"Fuzz Out"});
    scenario.longContinues = longContinues;
    emul::Configure(scenario);
    ClearReplyCount();
    CHECK(OpenMidiIn(0) == 0);
    bool open = true;
    SlotModel slot;
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
                slot.Store(message.data(), message.size());
            }
        }
        CheckSlot(slot);
        if (piece.kind == 1) PollAndTake(&slot);
    }
    if (open) CHECK(CloseMidiIn() == 1);
    CHECK(CloseMidiIn() == 0);
    // Whatever was still on its way finds the input closed.
    emul::Deliver(0, {0xF0, 0x1A, 0xF7});
    emul::WaitIdle();
    PollAndTake(&slot);
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
