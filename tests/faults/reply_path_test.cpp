// Faults on the input path, tested directly against the Windows port pair in
// one process with the emulated MIDI system: floods, long, malformed and
// invalid messages, and a close in the middle of a flood. The reply queue is
// read the way the protocol reads it (the oldest message first, and the
// layer's turn at every poll, ServiceMidiIn), while a second thread keeps
// asking how many messages wait, the way the main thread's waits do.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "emul.h"
#include "midi/midi.h"
#include "support/reply_view.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Delivery {
    Bytes bytes;
    bool invalid = false; // handed back as MIM_LONGERROR
};

Bytes Reply(uint8_t code) { return {0xF0, code, 0xF7}; }

// F0 <code> 02 03 ... 0F 00 01 ... F7, `length` bytes in all: the data bytes
// stay below 0x10, so a part of the message read as a reply shows a code that
// no whole message carries.
Bytes Long(size_t length, uint8_t code) {
    Bytes b(length);
    for (size_t k = 0; k < length; ++k) b[k] = static_cast<uint8_t>(k & 0x0F);
    b[0] = 0xF0;
    b[1] = code;
    b[length - 1] = 0xF7;
    return b;
}

std::vector<Delivery> Repeat(const std::vector<Delivery>& group, unsigned times) {
    std::vector<Delivery> all;
    for (unsigned k = 0; k < times; ++k) all.insert(all.end(), group.begin(), group.end());
    return all;
}

std::vector<Delivery> Then(std::vector<Delivery> first, const std::vector<Delivery>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

emul::Scenario OneInput(bool longContinues, const std::vector<unsigned>& pieces = {}) {
    emul::Scenario s;
    s.inputs.push_back({"Q25 MIDI In"});
    s.outputs.push_back({"Q25 MIDI Out"});
    s.longContinues = longContinues;
    s.inputSplit = pieces;
    return s;
}

// Polls the number of messages waiting on its own thread until stopped,
// keeping the extremes seen.
class CountWatcher {
public:
    CountWatcher() : thread_([this] { Run(); }) {}
    ~CountWatcher() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    int Lowest() const { return lowest_; }
    int Highest() const { return highest_; }

private:
    void Run() {
        while (!stop_) {
            const int count = static_cast<int>(RepliesWaiting());
            lowest_ = std::min<int>(lowest_, count);
            highest_ = std::max<int>(highest_, count);
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<int> lowest_{0};
    std::atomic<int> highest_{0};
    std::thread thread_;
};

struct QueueRow {
    std::string name;
    bool longContinues;
    std::vector<Delivery> deliveries;
    unsigned waiting; // messages waiting once everything has arrived
    int16_t count;    // the oldest one's bytes
    int code;         // its code; -1: none waits
    std::vector<unsigned> pieces = {}; // each message handed back in pieces of these sizes
};

void PrintTo(const QueueRow& row, std::ostream* out) { *out << row.name; }

// Nothing is taken while the messages arrive, so a flood fills the queue with
// its first messages and the rest find no room.
std::vector<QueueRow> QueueRows() {
    const Delivery invalid21{{0xF0, 0x21}, true};
    const unsigned full = kReplyQueueLength;
    return {
        {"FloodKeepsTheFirstMessages", false, Then(Repeat({{Reply(0x1A)}}, 3000), {{Reply(0x20)}}),
         full, 3, 0x1A},
        {"FloodOfLongMessagesKeeps200Bytes", false, Repeat({{Long(300, 0x24)}}, 500), full, 200,
         0x24},
        // Reception goes on after every invalid message.
        {"FloodAlternatingWithInvalidMessages", false,
         Then(Repeat({{Reply(0x20)}, invalid21}, 1000), {{Reply(0x22)}}), full, 3, 0x20},
        {"InvalidMessageAfterAReplyLeavesTheReply", false, {{Reply(0x1A)}, invalid21}, 1, 3, 0x1A},
        // A message is complete at its F7: the start of one hides nothing,
        // and one without its F7 is no reply (the next F0 starts again).
        {"MessageStartAfterAReplyLeavesTheReply", false, {{Reply(0x1A)}, {{0xF0}}}, 1, 3, 0x1A},
        {"UnterminatedMessageIsNoReply", false, {{{0xF0, 0x20}}}, 0, 0, -1},
        {"UnterminatedMessageThenAReply", false, {{{0xF0, 0x20}}, {Reply(0x1A)}}, 1, 3, 0x1A},
        // Replies handed back in pieces, cut at every byte.
        {"RepliesInPiecesF0Alone", false, Repeat({{Reply(0x20)}, {Reply(0x1A)}}, 50), full, 3, 0x20,
         {1, 2}},
        {"RepliesInPiecesF7Alone", false, Repeat({{Reply(0x20)}, {Reply(0x1A)}}, 50), full, 3, 0x20,
         {2, 1}},
        {"LongMessagesInPieces", false, Then(Repeat({{Long(300, 0x24)}}, 20), {{Long(250, 0x25)}}), 21,
         200, 0x24, {120}},
        // A message longer than the buffer going on in the next buffer: the
        // reply is its first 200 bytes; its rest is no reply of its own.
        {"LongMessageGoingOnInTheNextBuffer", true, {{Long(300, 0x24)}}, 1, 200, 0x24},
        {"LongMessageWhoseF7GoesOnAlone", true, {{Long(201, 0x24)}}, 1, 200, 0x24},
        {"FloodOfLongMessagesGoingOn", true,
         Then(Repeat({{Long(450, 0x24)}}, 300), {{Long(250, 0x25)}}), full, 200, 0x24},
    };
}

class ReplyPath : public ::testing::Test {
protected:
    void Start(const emul::Scenario& s) {
        CloseMidiIn();
        CloseMidiOut();
        emul::Configure(s);
        ClearReplies();
    }
    void TearDown() override {
        CloseMidiIn();
        CloseMidiOut();
        emul::WaitIdle();
        const emul::Report r = emul::Snapshot();
        EXPECT_EQ(r.callbackViolations, 0u) << "MIDI calls from inside a callback";
        EXPECT_EQ(r.sharedHeaders, 0u);
        ClearReplies();
    }
};

class ReplyQueueRows : public ReplyPath, public ::testing::WithParamInterface<QueueRow> {};

TEST_P(ReplyQueueRows, MessagesAsTheProtocolReadsThem) {
    const QueueRow& row = GetParam();
    Start(OneInput(row.longContinues, row.pieces));
    ASSERT_EQ(OpenMidiIn(0), 0);
    CountWatcher watcher;
    // One message after another, with a poll between them.
    for (const Delivery& d : row.deliveries) {
        emul::Deliver(0, d.bytes, d.invalid);
        emul::WaitIdle();
        ServiceMidiIn();
    }
    watcher.Stop();
    EXPECT_EQ(emul::Snapshot().dropped, 0u);

    EXPECT_GE(watcher.Lowest(), 0);
    EXPECT_LE(watcher.Highest(), static_cast<int>(kReplyQueueLength));
    EXPECT_EQ(MessagesWaiting(), row.waiting);
    EXPECT_EQ(ReplyCount(), row.count);
    uint8_t code = 0;
    if (row.code >= 0) {
        ASSERT_TRUE(TakeReplyCode(&code));
        EXPECT_EQ(code, row.code);
    } else {
        EXPECT_FALSE(TakeReplyCode(&code));
    }
    ClearReplies();
    // The input still receives.
    ServiceMidiIn();
    emul::Deliver(0, Reply(0x3B));
    emul::WaitIdle();
    ASSERT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);
}

std::string QueueRowName(const ::testing::TestParamInfo<QueueRow>& row) { return row.param.name; }

INSTANTIATE_TEST_SUITE_P(Rows, ReplyQueueRows, ::testing::ValuesIn(QueueRows()), QueueRowName);

// A close in the middle of a flood: once CloseMidiIn has returned, nothing
// more reaches the queue, however many messages are still on their way.
TEST_F(ReplyPath, NothingArrivesAfterTheCloseInTheMiddleOfAFlood) {
    constexpr unsigned kFlood = 3000;
    Start(OneInput(false));
    ASSERT_EQ(OpenMidiIn(0), 0);
    for (unsigned k = 0; k < kFlood; ++k) emul::Deliver(0, Reply(static_cast<uint8_t>(k & 0x7F)));
    while (ReplyCount() == 0) std::this_thread::yield();
    EXPECT_EQ(CloseMidiIn(), 1);
    ClearReplies();
    for (unsigned k = 0; k < 100; ++k) emul::Deliver(0, Long(7, 0x1A));
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 0);
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.delivered + r.dropped, kFlood + 100);
    EXPECT_GE(r.dropped, 100u);

    // Open again: reception starts afresh.
    ASSERT_EQ(OpenMidiIn(0), 0);
    emul::Deliver(0, Reply(0x3B));
    emul::WaitIdle();
    uint8_t code = 0;
    ASSERT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);
}

// The protocol's way of reading during a flood: every reply taken carries a
// code that was sent, and the count taken is never above the buffer.
TEST_F(ReplyPath, TakingWhileAFloodArrives) {
    constexpr unsigned kFlood = 4000;
    Start(OneInput(true));
    ASSERT_EQ(OpenMidiIn(0), 0);
    for (unsigned k = 0; k < kFlood; ++k) {
        // Codes 0x40..0x4F; every fourth message is longer than the buffer.
        const uint8_t code = static_cast<uint8_t>(0x40 + (k & 0x0F));
        emul::Deliver(0, k % 4 == 3 ? Long(260, code) : Reply(code));
    }
    unsigned takes = 0;
    unsigned foreign = 0;
    const auto take = [&] {
        ServiceMidiIn();
        const int16_t count = ReplyCount();
        EXPECT_TRUE(count >= 0 && count <= static_cast<int16_t>(kReplyBufferSize)) << count;
        uint8_t code = 0;
        if (TakeReplyCode(&code)) {
            ++takes;
            if (code < 0x40 || code > 0x4F) ++foreign;
        }
    };
    for (;;) {
        take();
        const emul::Report r = emul::Snapshot();
        if (r.delivered + r.dropped >= kFlood) break;
    }
    // The flood may have been delivered before the first poll; what the
    // queue still holds is taken.
    emul::WaitIdle();
    while (MessagesWaiting() > 0) take();
    EXPECT_GT(takes, 0u);
    EXPECT_EQ(foreign, 0u) << "a reply taken with a code that no message carried";
}

} // namespace
