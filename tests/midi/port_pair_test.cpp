// The Windows MIDI port pair, run in-process against the emulated MIDI system:
// framing of sends, opening and closing, names, and the input path into the
// reply queue. Every test also checks that no MIDI call was made from inside a
// callback, and that no input buffer was queued on two devices at once.
#include <gtest/gtest.h>

#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emul.h"
#include "midi/midi.h"
#include "support/reply_view.h"

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kHandshakePayload = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};

emul::Scenario ThreeByTwo() {
    emul::Scenario s;
    for (const char* name : {"In A", "In B", "In C"}) s.inputs.push_back({name});
    for (const char* name : {"Out A", "Out B"}) s.outputs.push_back({name});
    s.targetIn = 1;
    s.targetOut = 1;
    return s;
}

// "what device result" of each recorded event, optionally only some kinds.
std::vector<std::string> Events(const emul::Report& r, const std::vector<std::string>& kinds = {}) {
    std::vector<std::string> out;
    for (const emul::Event& e : r.events) {
        bool wanted = kinds.empty();
        for (const std::string& k : kinds) wanted = wanted || e.what == k;
        if (wanted) out.push_back(e.what + " " + std::to_string(e.device) + " " + std::to_string(e.result));
    }
    return out;
}

std::vector<Bytes> SentMessages(const emul::Report& r) {
    std::vector<Bytes> out;
    for (const emul::Event& e : r.events) {
        if (e.what == "send") out.push_back(e.bytes);
    }
    return out;
}

// The rules every run must keep, whatever the scenario.
void ExpectSoundUse(const emul::Report& r) {
    EXPECT_EQ(r.callbackViolations, 0u) << "MIDI calls from inside a callback, the first: "
                                        << (r.callbackCalls.empty() ? "" : r.callbackCalls[0]);
    EXPECT_EQ(r.sharedHeaders, 0u) << "an input buffer queued on two devices";
}

class PortPair : public ::testing::Test {
protected:
    void SetUp() override { Install(ThreeByTwo()); }
    void TearDown() override {
        CloseMidiIn();
        CloseMidiOut();
        emul::WaitIdle();
        ExpectSoundUse(emul::Snapshot());
        ClearReplies();
    }
    // Closes whatever an earlier test left open, then installs the scenario.
    static void Install(const emul::Scenario& s) {
        CloseMidiIn();
        CloseMidiOut();
        emul::Configure(s);
        ClearReplies();
    }
    // The same within a test, once what ran before has been checked.
    static void Start(const emul::Scenario& s) {
        CloseMidiIn();
        CloseMidiOut();
        emul::WaitIdle();
        ExpectSoundUse(emul::Snapshot());
        Install(s);
    }
    static Bytes Reply() {
        Bytes b(kReplyBufferSize);
        CopyReplyBytes(b.data(), kReplyBufferSize);
        return b;
    }
};

// ---- sending ----

TEST_F(PortPair, SendFramesTheDataBetweenF0AndF7) {
    struct Case {
        unsigned n;
        size_t wire; // bytes on the wire; 0: nothing sent
    };
    const Case cases[] = {{0, 2}, {1, 3}, {7, 9}, {21, 23}, {22, 24}, {23, 0}, {64, 0}};
    ASSERT_EQ(OpenMidiOut(0), 0);
    Bytes data(64);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(0x10 + k);
    for (const Case& c : cases) {
        SCOPED_TRACE("n = " + std::to_string(c.n));
        const emul::Report before = emul::Snapshot();
        EXPECT_EQ(SendSysEx(data.data(), c.n), 0);
        const emul::Report after = emul::Snapshot();
        const auto sent = SentMessages(after);
        if (c.wire == 0) {
            EXPECT_EQ(sent.size(), SentMessages(before).size());
            EXPECT_EQ(after.winmmCalls, before.winmmCalls) << "a refused send must not reach the MIDI system";
            continue;
        }
        ASSERT_EQ(sent.size(), SentMessages(before).size() + 1);
        Bytes expected = {0xF0};
        expected.insert(expected.end(), data.begin(), data.begin() + c.n);
        expected.push_back(0xF7);
        EXPECT_EQ(sent.back().size(), c.wire);
        EXPECT_EQ(sent.back(), expected);
    }
}

// A send returns once the driver is done with the message, and no later than
// a few milliseconds after: the driver's MOM_DONE wakes it, and it asks again
// every millisecond, never sleeping 100 ms per "still playing" answer.
TEST_F(PortPair, SendWaitsUntilTheDriverIsDoneAndNoLonger) {
    struct Case {
        const char* name;
        unsigned stillPlaying; // answers before the message is done (blocking driver)
        bool async;            // the driver returns at once and finishes after the wire time
    };
    const Case cases[] = {
        {"blocking", 0, false},          {"still playing once", 1, false},
        {"still playing 3 times", 3, false}, {"asynchronous", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emul::Scenario s = ThreeByTwo();
        s.stillPlaying = c.stillPlaying;
        s.asyncOutput = c.async;
        Start(s);
        ASSERT_EQ(OpenMidiOut(0), 0);
        const Bytes data(22, 0x41);
        const auto began = Clock::now();
        EXPECT_EQ(SendSysEx(data.data(), 22), 0);
        const auto took = Clock::now() - began;
        emul::WaitIdle();
        const emul::Report r = emul::Snapshot();
        EXPECT_EQ(r.sleeps, 0u);
        if (!c.async) {
            EXPECT_EQ(r.outUnprepareCalls, c.stillPlaying + 1);
            EXPECT_EQ(r.stillPlayingAnswers, c.stillPlaying);
        } else {
            EXPECT_GE(took, std::chrono::microseconds(24 * 320)) << "returned before the message left";
            EXPECT_GE(r.stillPlayingAnswers, 1u);
        }
        EXPECT_EQ(r.outputDone, 1u);
        EXPECT_LT(took, std::chrono::milliseconds(60)) << "waited longer than the driver needed";
        // The header is unprepared: the output closes.
        EXPECT_EQ(CloseMidiOut(), 1);
        EXPECT_FALSE(emul::Snapshot().outputLeftOpen);
    }
}

// A message that never completes: after a second the output is reset, the
// header unprepared, and the send fails, so that the transfer ends.
TEST_F(PortPair, AWedgedSendIsCutShortAfterASecond) {
    emul::Scenario s = ThreeByTwo();
    s.outputs[1].wedgedFrom = 1;
    Start(s);
    ASSERT_EQ(OpenMidiIn(1), 0);
    ASSERT_EQ(OpenMidiOut(1), 0);
    const auto began = Clock::now();
    EXPECT_NE(SendSysEx(kHandshakePayload.data(), 7), 0);
    const auto took = Clock::now() - began;
    EXPECT_GE(took, std::chrono::milliseconds(1000));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiOut(), 1);
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(Events(r, {"out_reset", "out_close"}),
              (std::vector<std::string>{"out_reset 1 0", "out_close 1 0"}));
    EXPECT_FALSE(r.outputLeftOpen);
    EXPECT_EQ(r.target.messages, 0u) << "a message cut short never reaches the target";
}

TEST_F(PortPair, FailingSendsReturnTheResultAndLeaveTheHeaderUnprepared) {
    emul::Scenario s = ThreeByTwo();
    s.outputs[0].sendFailFrom = 3;
    Start(s);
    ASSERT_EQ(OpenMidiOut(0), 0);
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0);
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0);
    const unsigned unprepareBefore = emul::Snapshot().outUnprepareCalls;
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), MMSYSERR_NODRIVER);
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), MMSYSERR_NODRIVER);
    EXPECT_EQ(emul::Snapshot().outUnprepareCalls, unprepareBefore + 2);
    EXPECT_EQ(emul::Snapshot().sends, 2u);
}

TEST_F(PortPair, SendOnAClosedOutputReturnsTheSystemsError) {
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(SentMessages(emul::Snapshot()).empty());
}

TEST_F(PortPair, PacedSendTakesItsWireTime) {
    emul::Scenario s = ThreeByTwo();
    s.pacing = true;
    Start(s);
    ASSERT_EQ(OpenMidiOut(0), 0);
    Bytes data(22, 0x41);
    const auto began = Clock::now();
    EXPECT_EQ(SendSysEx(data.data(), 22), 0);
    EXPECT_GE(Clock::now() - began, std::chrono::microseconds(24 * 320));
}

// ---- opening and closing ----

TEST_F(PortPair, ClosesReturnZeroOnAClosedSideAndCallNothing) {
    const unsigned before = emul::Snapshot().winmmCalls;
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_EQ(CloseMidiOut(), 0);
    EXPECT_EQ(emul::Snapshot().winmmCalls, before);
}

TEST_F(PortPair, ClosesReturnOneThenZeroAfterAnOpen) {
    ASSERT_EQ(OpenMidiIn(2), 0);
    ASSERT_EQ(OpenMidiOut(1), 0);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_EQ(CloseMidiOut(), 1);
    EXPECT_EQ(CloseMidiOut(), 0);
    const emul::Report r = emul::Snapshot();
    EXPECT_FALSE(r.inputLeftOpen);
    EXPECT_FALSE(r.outputLeftOpen);
}

TEST_F(PortPair, OpenAndCloseCallTheSystemInOrder) {
    ASSERT_EQ(OpenMidiIn(2), 0);
    EXPECT_GE(emul::QueuedBuffers(2), 2u) << "a reply must find a buffer while another waits";
    ASSERT_EQ(OpenMidiOut(1), 0);
    CloseMidiIn();
    CloseMidiOut();
    const std::vector<std::string> expected = {"in_open 2 0",  "in_start 2 0",  "out_open 1 0",
                                               "in_stop 2 0",  "in_reset 2 0",  "in_close 2 0",
                                               "out_close 1 0"};
    EXPECT_EQ(Events(emul::Snapshot()), expected);
}

TEST_F(PortPair, FailedOpenLeavesTheFlagClearAndTheNameAsItWas) {
    emul::Scenario s = ThreeByTwo();
    s.inputs[1].openFail = true;
    s.outputs[1].openFail = true;
    Start(s);
    ASSERT_EQ(OpenMidiIn(0), 0);
    ASSERT_EQ(OpenMidiOut(0), 0);
    ASSERT_EQ(CloseMidiIn(), 1);
    ASSERT_EQ(CloseMidiOut(), 1);

    EXPECT_EQ(OpenMidiIn(1), MMSYSERR_ALLOCATED);
    EXPECT_EQ(OpenMidiOut(1), MMSYSERR_ALLOCATED);
    EXPECT_STREQ(MidiInName(), "In A");
    EXPECT_STREQ(MidiOutName(), "Out A");
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_EQ(CloseMidiOut(), 0);
    // Device numbers beyond the last.
    EXPECT_EQ(OpenMidiIn(7), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(OpenMidiOut(7), MMSYSERR_BADDEVICEID);
    EXPECT_STREQ(MidiInName(), "In A");
    EXPECT_EQ(CloseMidiIn(), 0);
}

TEST_F(PortPair, InputThatFailsToStartStaysOpenUntilClosed) {
    emul::Scenario s = ThreeByTwo();
    s.inputs[0].startFail = true;
    Start(s);
    EXPECT_EQ(OpenMidiIn(0), MMSYSERR_ERROR);
    EXPECT_STREQ(MidiInName(), "In A");
    EXPECT_TRUE(emul::Snapshot().inputLeftOpen);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_FALSE(emul::Snapshot().inputLeftOpen);
}

TEST_F(PortPair, AnInputThatFailedToStartStaysOpenBesideTheNext) {
    emul::Scenario s = ThreeByTwo();
    s.inputs[0].startFail = true;
    Start(s);
    EXPECT_EQ(OpenMidiIn(0), MMSYSERR_ERROR);
    ASSERT_EQ(OpenMidiIn(2), 0);
    EXPECT_EQ(Events(emul::Snapshot(), {"in_close"}), std::vector<std::string>{});
    EXPECT_EQ(CloseMidiInDevice(0), 1);
    EXPECT_EQ(CloseMidiInDevice(0), 0);
    EXPECT_EQ(Events(emul::Snapshot(), {"in_close"}), std::vector<std::string>{"in_close 0 0"});
    EXPECT_EQ(emul::QueuedBuffers(0), 0u);
    EXPECT_GE(emul::QueuedBuffers(2), 2u);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_FALSE(emul::Snapshot().inputLeftOpen);
}

// The 1 ms timer is asked for once while any input is open and released with
// the last, also for an input whose start failed and one that a failed open
// never had.
TEST_F(PortPair, TheFineTimerIsHeldOnlyWhileAnInputIsOpen) {
    emul::Scenario s = ThreeByTwo();
    s.inputs[0].startFail = true;
    s.inputs[1].openFail = true;
    Start(s);
    EXPECT_EQ(OpenMidiIn(0), MMSYSERR_ERROR);
    EXPECT_EQ(emul::Snapshot().timerPeriodBegins, 1u);
    EXPECT_NE(OpenMidiIn(1), 0);
    ASSERT_EQ(OpenMidiIn(2), 0);
    EXPECT_EQ(CloseMidiInDevice(0), 1);
    emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.timerPeriodBegins, 1u);
    EXPECT_EQ(r.timerPeriodEnds, 0u);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiIn(), 0);
    r = emul::Snapshot();
    EXPECT_EQ(r.timerPeriodBegins, 1u);
    EXPECT_EQ(r.timerPeriodEnds, 1u);
}

// Several inputs at once: each message, handed back in pieces, comes whole
// and tagged with its input; a closed input delivers nothing more while the
// others go on; an input cannot be opened twice, nor an eleventh beside ten.
TEST_F(PortPair, SeveralInputsAtOnceKeepTheirMessagesApart) {
    emul::Scenario s;
    for (unsigned k = 0; k < 11; ++k) s.inputs.push_back({"In " + std::to_string(k)});
    s.inputSplit = {2};
    Start(s);
    for (unsigned k = 0; k < 10; ++k) ASSERT_EQ(OpenMidiIn(k), 0) << k;
    EXPECT_EQ(OpenMidiIn(10), MMSYSERR_NOMEM);
    EXPECT_EQ(OpenMidiIn(3), MMSYSERR_ALLOCATED);
    EXPECT_STREQ(MidiInName(), "In 0");
    emul::Deliver(7, {0xF0, 0x15, 0x16, 0xF7});
    emul::Deliver(2, {0xF0, 0x3B, 0xF7});
    emul::WaitIdle();
    std::vector<std::string> got;
    IncomingReply message;
    for (int polls = 0; polls < 50 && got.size() < 2; ++polls) {
        ServiceMidiIn();
        while (TakeReply(&message)) {
            got.push_back(std::to_string(message.input) + ":" + std::to_string(message.count) + ":" +
                          std::to_string(message.bytes[1]));
        }
        WaitForReply(5);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"2:3:59", "7:4:21"}));

    EXPECT_EQ(CloseMidiInDevice(7), 1);
    EXPECT_EQ(CloseMidiInDevice(0), 1);
    EXPECT_STREQ(MidiInName(), "In 1");
    emul::Deliver(7, {0xF0, 0x20, 0xF7});
    emul::Deliver(9, {0xF0, 0x1A, 0xF7});
    emul::WaitIdle();
    ServiceMidiIn();
    ASSERT_TRUE(WaitForReply(500));
    ASSERT_TRUE(TakeReply(&message));
    EXPECT_EQ(message.input, 9);
    EXPECT_FALSE(TakeReply(&message)) << "a message of the closed input";
    ASSERT_EQ(OpenMidiIn(10), 0) << "a slot is free again";
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_FALSE(emul::Snapshot().inputLeftOpen);
    EXPECT_STREQ(MidiInName(), "In 10");
}

// A device that refuses to close is given up after one try: on a device gone
// at the platform level each call can stall for seconds.
TEST_F(PortPair, ADeviceThatRefusesToCloseIsGivenUpAfterOneTry) {
    emul::Scenario s = ThreeByTwo();
    s.vanishAfter = 1;
    s.vanishCloseRefuses = true;
    Start(s);
    ASSERT_EQ(OpenMidiIn(1), 0);
    ASSERT_EQ(OpenMidiOut(1), 0);
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0); // the last message the device takes
    EXPECT_EQ(SendSysEx(kHandshakePayload.data(), 7), MMSYSERR_NODRIVER);
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiOut(), 1);
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(Events(r, {"in_close"}), std::vector<std::string>{"in_close 1 6"});
    EXPECT_EQ(Events(r, {"out_close"}), std::vector<std::string>{"out_close 1 6"});
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_EQ(CloseMidiOut(), 0);
}

// ---- names ----

TEST_F(PortPair, NamesAreCutTo31Characters) {
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    struct Case {
        size_t length;
        bool unterminated; // the system fills all 32 bytes without a terminator
    };
    const Case cases[] = {{0, false}, {5, false}, {31, false}, {32, false}, {40, false},
                          {31, true}, {32, true},  {40, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + (c.unterminated ? " unterminated" : ""));
        emul::Scenario s = ThreeByTwo();
        s.inputs[0].name = letters.substr(0, c.length);
        s.outputs[0].name = letters.substr(1, c.length);
        s.unterminatedNames = c.unterminated;
        Start(s);
        const size_t kept = c.length < 31 ? c.length : 31;
        char name[kDeviceNameSize];
        memset(name, 'x', sizeof name);
        ASSERT_EQ(QueryMidiInDevice(0, name), 0);
        EXPECT_EQ(std::string(name), letters.substr(0, kept));
        memset(name, 'x', sizeof name);
        ASSERT_EQ(QueryMidiOutDevice(0, name), 0);
        EXPECT_EQ(std::string(name), letters.substr(1, kept));
        ASSERT_EQ(OpenMidiIn(0), 0);
        ASSERT_EQ(OpenMidiOut(0), 0);
        EXPECT_EQ(std::string(MidiInName()), letters.substr(0, kept));
        EXPECT_EQ(std::string(MidiOutName()), letters.substr(1, kept));
    }
}

TEST_F(PortPair, QueriesStopAtAGapAndANameIsEmptyWhenTheQueryFailsAfterOpen) {
    emul::Scenario s = ThreeByTwo();
    s.inputs[1].capsFail = true;
    s.outputs[0].capsFail = true;
    Start(s);
    char name[kDeviceNameSize] = "old";
    EXPECT_EQ(QueryMidiInDevice(0, name), 0);
    EXPECT_STREQ(name, "In A");
    EXPECT_EQ(QueryMidiInDevice(1, name), MMSYSERR_BADDEVICEID);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(QueryMidiInDevice(2, name), 0);
    EXPECT_EQ(QueryMidiInDevice(3, name), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(QueryMidiOutDevice(0, name), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(QueryMidiOutDevice(1, name), 0);
    EXPECT_STREQ(name, "Out B");

    // The device opens although its capabilities cannot be read.
    ASSERT_EQ(OpenMidiIn(0), 0);
    EXPECT_STREQ(MidiInName(), "In A");
    CloseMidiIn();
    ASSERT_EQ(OpenMidiIn(1), 0);
    EXPECT_STREQ(MidiInName(), "");
    ASSERT_EQ(OpenMidiOut(0), 0);
    EXPECT_STREQ(MidiOutName(), "");
}

// ---- receiving ----

TEST_F(PortPair, TheTargetAnswersTheHandshake) {
    ASSERT_EQ(OpenMidiIn(1), 0);
    ASSERT_EQ(OpenMidiOut(1), 0);
    ASSERT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0);
    ASSERT_TRUE(WaitForReply(2000));
    EXPECT_EQ(ReplyCount(), 3);
    const Bytes reply = Reply();
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 3), (Bytes{0xF0, 0x3B, 0xF7}));
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);
    EXPECT_EQ(ReplyCount(), 0);
}

TEST_F(PortPair, LoopbackEchoesTheRequest) {
    emul::Scenario s = ThreeByTwo();
    s.loopbacks.push_back({0, 0});
    Start(s);
    ASSERT_EQ(OpenMidiIn(0), 0);
    ASSERT_EQ(OpenMidiOut(0), 0);
    ASSERT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0);
    ASSERT_TRUE(WaitForReply(2000));
    EXPECT_EQ(ReplyCount(), 9);
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x54);
}

// A buffer ending inside a message holds the first part of a reply: nothing
// reaches the queue until the F7, and an F0 starts the message again.
TEST_F(PortPair, AMessageWithoutItsF7IsNotAReplyYet) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    emul::Deliver(0, {0xF0});
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 0);
    uint8_t code = 0x55;
    EXPECT_FALSE(TakeReplyCode(&code));
    emul::Deliver(0, {0xF0, 0x20});
    emul::Deliver(0, {0xF0, 0x15, 0xF7});
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 3);
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x15);
}

// Replies handed back in pieces, cut at any byte, are put back together.
TEST_F(PortPair, ReplyPiecesArePutBackTogether) {
    struct Case {
        std::vector<unsigned> pieces;
        Bytes reply;
    };
    const Case cases[] = {
        {{1, 2}, {0xF0, 0x1A, 0xF7}}, // F0 alone, then 1A F7
        {{2, 1}, {0xF0, 0x1A, 0xF7}}, // F0 1A, then F7 alone
        {{1}, {0xF0, 0x1A, 0xF7}},
        {{2}, {0xF0, 0x24, 0x01, 0x02, 0x03, 0xF7}},
        {{150}, Bytes(300, 0x00)}, // longer than a buffer: its first 200 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("pieces of " + std::to_string(c.pieces[0]) + ", message of " +
                     std::to_string(c.reply.size()));
        emul::Scenario s = ThreeByTwo();
        s.inputSplit = c.pieces;
        Start(s);
        ASSERT_EQ(OpenMidiIn(0), 0);
        Bytes reply = c.reply;
        reply.front() = 0xF0;
        reply.back() = 0xF7;
        if (reply.size() > 200) reply[1] = 0x25;
        for (int k = 0; k < 3; ++k) {
            emul::Deliver(0, reply);
            emul::WaitIdle();
            const size_t kept = std::min<size_t>(reply.size(), 200);
            ASSERT_EQ(ReplyCount(), static_cast<int16_t>(kept));
            const Bytes slot = Reply();
            EXPECT_EQ(Bytes(slot.begin(), slot.begin() + kept), Bytes(reply.begin(), reply.begin() + kept));
            uint8_t code = 0;
            EXPECT_TRUE(TakeReplyCode(&code));
            EXPECT_EQ(code, reply[1]);
            ServiceMidiIn();
        }
        EXPECT_EQ(emul::Snapshot().dropped, 0u);
    }
}

// Replies that follow each other before the main thread's next poll: each
// finds a buffer, and both wait in the queue, in the order they came.
TEST_F(PortPair, RepliesBackToBackBeforeThePollAreNotLost) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    const unsigned queued = emul::QueuedBuffers(0);
    for (int round = 0; round < 3; ++round) {
        emul::Deliver(0, {0xF0, 0x20, 0xF7});
        emul::WaitIdle();
        emul::Deliver(0, {0xF0, 0x1A, 0xF7});
        emul::WaitIdle();
        uint8_t code = 0;
        EXPECT_TRUE(TakeReplyCode(&code));
        EXPECT_EQ(code, 0x20);
        EXPECT_TRUE(TakeReplyCode(&code));
        EXPECT_EQ(code, 0x1A);
        EXPECT_EQ(MessagesWaiting(), 0u);
        ServiceMidiIn();
        EXPECT_EQ(emul::QueuedBuffers(0), queued) << "the main thread queues them again";
    }
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.delivered, 6u);
    EXPECT_EQ(r.dropped, 0u);
}

TEST_F(PortPair, AnInvalidMessageIsNotAReplyAndTheBufferGoesBack) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    const unsigned queued = emul::QueuedBuffers(0);
    emul::Deliver(0, {0xF0, 0x1A}, /*invalid=*/true);
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 0);
    ServiceMidiIn();
    EXPECT_EQ(emul::QueuedBuffers(0), queued);
    emul::Deliver(0, {0xF0, 0x1A, 0xF7});
    emul::WaitIdle();
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x1A);
    EXPECT_EQ(emul::Snapshot().dropped, 0u);
}

TEST_F(PortPair, AReplyLongerThanTheBufferKeeps200Bytes) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    Bytes longReply(300, 0x00);
    longReply[0] = 0xF0;
    longReply[1] = 0x24;
    for (size_t k = 2; k < 199; ++k) longReply[k] = static_cast<uint8_t>(k & 0x7F);
    longReply.back() = 0xF7;
    emul::Deliver(0, longReply);
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 200);
    EXPECT_EQ(Reply(), Bytes(longReply.begin(), longReply.begin() + 200));
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x24);
    // The rest went on in the next buffer; the next reply still arrives.
    emul::Deliver(0, {0xF0, 0x1A, 0xF7});
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 3);
}

TEST_F(PortPair, NothingIsReceivedAfterClose) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    emul::Deliver(0, {0xF0, 0x3B, 0xF7}, false, /*delayMs=*/60);
    EXPECT_EQ(CloseMidiIn(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    emul::Deliver(0, {0xF0, 0x3B, 0xF7});
    emul::WaitIdle();
    EXPECT_EQ(ReplyCount(), 0);
    const emul::Report r = emul::Snapshot();
    EXPECT_EQ(r.dropped, 2u);
    EXPECT_EQ(r.delivered, 0u);
}

TEST_F(PortPair, TheEmptyBufferOfTheResetIsNotTakenAsAReply) {
    // Whatever the queue holds before the close stays as it was, a message in
    // progress included.
    for (const Bytes& waiting : {Bytes{}, Bytes{0xF0, 0x3B, 0xF7}, Bytes{0xF0, 0x20}}) {
        SCOPED_TRACE("waiting " + std::to_string(waiting.size()));
        Start(ThreeByTwo());
        ASSERT_EQ(OpenMidiIn(0), 0);
        if (!waiting.empty()) emul::Deliver(0, waiting);
        emul::WaitIdle();
        ServiceMidiIn();
        const int16_t count = ReplyCount();
        const unsigned queued = emul::QueuedBuffers(0);
        const unsigned callbacksBefore = emul::Snapshot().callbacks;
        EXPECT_EQ(CloseMidiIn(), 1);
        // The reset handed the queued buffers back, and the close was told.
        EXPECT_EQ(emul::Snapshot().callbacks, callbacksBefore + queued + 1);
        EXPECT_EQ(ReplyCount(), count);
    }
}

TEST_F(PortPair, AnEmptyBufferWhileOpenIsNotAReplyAndGoesBack) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    const unsigned queued = emul::QueuedBuffers(0);
    emul::Deliver(0, {0xF0, 0x3B, 0xF7});
    emul::WaitIdle();
    ASSERT_EQ(ReplyCount(), 3);
    emul::HandBackEmpty(0);
    EXPECT_EQ(ReplyCount(), 3);
    ServiceMidiIn();
    EXPECT_EQ(emul::QueuedBuffers(0), queued);
    emul::Deliver(0, {0xF0, 0x15, 0xF7});
    emul::WaitIdle();
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x15);
}

TEST_F(PortPair, TheCallbackIgnoresOtherInputsAndTheClosedInput) {
    uint8_t data[3] = {0xF0, 0x3B, 0xF7};
    MIDIHDR header;
    memset(&header, 0, sizeof header);
    header.lpData = reinterpret_cast<LPSTR>(data);
    header.dwBufferLength = sizeof data;
    header.dwBytesRecorded = sizeof data;
    header.dwFlags = MHDR_DONE | MHDR_PREPARED;
    const auto stranger = reinterpret_cast<HMIDIIN>(uintptr_t{0x7777});

    MidiInCallback(stranger, MIM_LONGDATA, 0, reinterpret_cast<DWORD_PTR>(&header), 0);
    EXPECT_EQ(ReplyCount(), 0) << "closed input";
    ASSERT_EQ(OpenMidiIn(0), 0);
    MidiInCallback(stranger, MIM_LONGDATA, 0, reinterpret_cast<DWORD_PTR>(&header), 0);
    EXPECT_EQ(ReplyCount(), 0) << "another input";
    MidiInCallback(nullptr, MIM_LONGDATA, 0, reinterpret_cast<DWORD_PTR>(&header), 0);
    EXPECT_EQ(ReplyCount(), 0) << "no input";
}

TEST_F(PortPair, PacedRepliesArriveAfterTheirWireTime) {
    emul::Scenario s = ThreeByTwo();
    s.pacing = true;
    s.script.replyDelayMs = 20;
    Start(s);
    ASSERT_EQ(OpenMidiIn(1), 0);
    ASSERT_EQ(OpenMidiOut(1), 0);
    const auto began = Clock::now();
    ASSERT_EQ(SendSysEx(kHandshakePayload.data(), 7), 0);
    EXPECT_FALSE(WaitForReply(15));
    ASSERT_TRUE(WaitForReply(2000));
    EXPECT_GE(Clock::now() - began, std::chrono::microseconds(9 * 320 + 20000 + 3 * 320));
}

} // namespace
