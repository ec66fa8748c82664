// A thousand replies from the emulated target, back to back at 31,250 baud
// (about a second), while the main thread polls (handing the buffers back as
// the protocol's polls do), takes and clears the reply queue: every count and
// reply seen is a whole message of the flood, under ThreadSanitizer without a
// race, and reception goes on afterwards. A message that arrives while every
// buffer waits for the main thread is lost, as with any driver, so their
// number is not checked.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "emul.h"
#include "midi/midi.h"
#include "support/reply_view.h"

namespace {

constexpr unsigned kFlood = 1000;

TEST(ReplyFlood, EveryReplyReachesTheQueueWhileTheMainThreadTakesAndClears) {
    CloseMidiIn();
    CloseMidiOut();
    emul::Scenario s;
    s.inputs.push_back({"Q25 In"});
    s.outputs.push_back({"Q25 Out"});
    s.targetIn = 0;
    s.targetOut = 0;
    s.pacing = true;
    s.script.handshakeDefault = emul::Action(emul::ActionKind::Flood, 0x3B);
    s.script.handshakeDefault.count = kFlood;
    emul::Configure(s);
    ClearReplies();

    ASSERT_EQ(OpenMidiIn(0), 0);
    ASSERT_EQ(OpenMidiOut(0), 0);
    const uint8_t payload[7] = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};
    ASSERT_EQ(SendSysEx(payload, 7), 0);

    unsigned takes = 0, wrong = 0, polls = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        ++polls;
        ServiceMidiIn();
        const int16_t count = ReplyCount();
        if (count != 0 && count != 3) ++wrong;
        if (count != 0 && polls % 13 == 0) {
            uint8_t bytes[3];
            CopyReplyBytes(bytes, 3);
            if (bytes[0] != 0xF0 || bytes[1] != 0x3B || bytes[2] != 0xF7) ++wrong;
        }
        uint8_t code = 0;
        if (TakeReplyCode(&code)) {
            ++takes;
            if (code != 0x3B) ++wrong;
        }
        if (polls % 7 == 0) ClearReplies();
        if (polls % 64 == 0) {
            const emul::Report r = emul::Snapshot();
            if (r.delivered + r.dropped >= kFlood) break;
            if (std::chrono::steady_clock::now() > deadline) break;
        }
    }
    // The whole flood may have come and gone between two polls: what the
    // queue still holds is taken, oldest first.
    emul::WaitIdle();
    ServiceMidiIn();
    uint8_t code = 0;
    while (TakeReplyCode(&code)) {
        ++takes;
        if (code != 0x3B) ++wrong;
    }
    // Reception goes on (the message takes its wire time).
    emul::Deliver(0, {0xF0, 0x1A, 0xF7});
    EXPECT_TRUE(WaitForReply(2000));
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x1A);

    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiOut(), 1);
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.delivered + r.dropped, kFlood + 1);
    EXPECT_EQ(r.callbackViolations, 0u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(takes, 0u);
    ClearReplies();
}

} // namespace
