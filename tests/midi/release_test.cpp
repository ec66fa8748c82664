// Inputs that cannot be released, against the Windows port pair in-process.
// A device that keeps the buffers it was given keeps them for the rest of the
// run, so this runs in a process of its own.
#include <gtest/gtest.h>

#include <mmsystem.h>

#include <string>
#include <vector>

#include "emul.h"
#include "midi/midi.h"
#include "support/reply_view.h"

namespace {

const std::vector<uint8_t> kHandshakePayload = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};

std::vector<std::string> Events(const emul::Report& r, const std::vector<std::string>& kinds) {
    std::vector<std::string> out;
    for (const emul::Event& e : r.events) {
        for (const std::string& k : kinds) {
            if (e.what == k) out.push_back(e.what + " " + std::to_string(e.device) + " " + std::to_string(e.result));
        }
    }
    return out;
}

emul::Scenario ThreeInputs() {
    emul::Scenario s;
    for (const char* name : {"In A", "In B", "In C"}) s.inputs.push_back({name});
    s.outputs.push_back({"Out A"});
    return s;
}

// First a disconnected device: every call on it stalls, then fails, and each
// side costs the fewest calls (a failed send one, the input's release two:
// stop and close; the output's one). Its input's buffers stay with it. Then an
// input whose stop, reset and close fail keeps the second set of buffers.
// Each input got buffers that no other device had seen; a slot whose every
// set is kept is passed over.
TEST(InputsThatCannotBeReleased, KeepTheirBuffersAndNoneIsQueuedTwice) {
    emul::Scenario s = ThreeInputs();
    s.targetIn = 0;
    s.targetOut = 0;
    s.vanishAfter = 1;
    s.vanishStallMs = 250;
    emul::Configure(s);
    ASSERT_EQ(OpenMidiIn(0), 0);
    ASSERT_EQ(OpenMidiOut(0), 0);
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0); // the last message the device takes
    const unsigned before = emul::Snapshot().stalledCalls;
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), MMSYSERR_NODRIVER);
    EXPECT_EQ(emul::Snapshot().stalledCalls, before + 1);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(emul::Snapshot().stalledCalls, before + 3);
    EXPECT_EQ(CloseMidiOut(), 1);
    emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.stalledCalls, before + 4);
    EXPECT_EQ(Events(r, {"in_stop", "in_reset", "in_close", "out_close"}),
              (std::vector<std::string>{"in_stop 0 6", "in_close 0 6", "out_close 0 6"}));
    EXPECT_FALSE(r.inputLeftOpen);
    EXPECT_FALSE(r.outputLeftOpen);
    const unsigned held = emul::QueuedBuffers(0);
    EXPECT_GE(held, 2u) << "the disconnected input holds its buffers";

    ASSERT_EQ(OpenMidiIn(1), 0);
    emul::Deliver(1, {0xF0, 0x3B, 0xF7});
    emul::WaitIdle();
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);
    EXPECT_EQ(emul::Snapshot().sharedHeaders, 0u);

    // Input 1 cannot be released either, in a system of its own.
    emul::Scenario failing = ThreeInputs();
    failing.inputs[1].releaseFails = true;
    CloseMidiIn(); // the input of the earlier system, gone with it
    emul::Configure(failing);
    ASSERT_EQ(OpenMidiIn(1), 0);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(emul::QueuedBuffers(1), held);
    // Both sets of the first slot are kept now: the next input gets a slot
    // and buffers of its own.
    ASSERT_EQ(OpenMidiIn(2), 0);
    EXPECT_GE(emul::QueuedBuffers(2), 2u);
    EXPECT_EQ(CloseMidiIn(), 1);
    r = emul::Snapshot();
    EXPECT_EQ(Events(r, {"in_open", "in_stop", "in_reset", "in_close"}),
              (std::vector<std::string>{"in_open 1 0", "in_stop 1 1", "in_close 1 1", "in_open 2 0",
                                        "in_stop 2 0", "in_reset 2 0", "in_close 2 0"}));
    EXPECT_EQ(r.sharedHeaders, 0u);
    EXPECT_EQ(r.callbackViolations, 0u);
}

} // namespace
