// The scenario file's format.
#include <gtest/gtest.h>

#include "emul.h"

namespace emul {
namespace {

TEST(ScenarioFile, EverySetting) {
    const char* text =
        "# devices\n"
        "input Loopback In\n"
        "input  Q25 MIDI In  \r\n"
        "output Out A\n"
        "output Out B\n"
        "\n"
        "input_caps_fail 1\n"
        "output_caps_fail 0\n"
        "input_open_fail 0\n"
        "output_open_fail all\n"
        "input_start_fail 1\n"
        "output_send_fail 1 5\n"
        "output_send_fail_once 0 3\n"
        "still_playing 2\n"
        "late_return 5\n"
        "pacing on\n"
        "unterminated_names on\n"
        "long_continues on\n"
        "loopback 0 0\n"
        "target 1 1\n"
        "model 3c\n"
        "reply_delay 12\n"
        "handshake 2 code 15 delay 700\n"
        "handshake_default silent\n"
        "record 3 2 raw F0 1A 00 F7 on 0\n"
        "record_default twice 1A\n"
        "checksum_error flood 50\n"
        "vanish_after 9\n"
        "vanish_close_refuses on\n"
        "vanish_stall 250\n"
        "async_output on\n"
        "output_wedged 1 4\n"
        "input_release_fails 0\n"
        "input_split 1 2\n";
    Scenario s;
    std::string error;
    ASSERT_TRUE(ParseScenario(text, &s, &error)) << error;
    ASSERT_EQ(s.inputs.size(), 2u);
    ASSERT_EQ(s.outputs.size(), 2u);
    EXPECT_EQ(s.inputs[0].name, "Loopback In");
    EXPECT_EQ(s.inputs[1].name, "Q25 MIDI In");
    EXPECT_TRUE(s.inputs[1].capsFail);
    EXPECT_TRUE(s.outputs[0].capsFail);
    EXPECT_TRUE(s.inputs[0].openFail);
    EXPECT_FALSE(s.inputs[1].openFail);
    EXPECT_TRUE(s.outputs[0].openFail && s.outputs[1].openFail);
    EXPECT_TRUE(s.inputs[1].startFail);
    EXPECT_EQ(s.outputs[1].sendFailFrom, 5u);
    EXPECT_EQ(s.outputs[0].sendFailOnce, 3u);
    EXPECT_EQ(s.outputs[1].sendFailOnce, 0u);
    EXPECT_EQ(s.stillPlaying, 2u);
    EXPECT_EQ(s.lateReturnMs, 5u);
    EXPECT_TRUE(s.pacing);
    EXPECT_TRUE(s.unterminatedNames);
    EXPECT_TRUE(s.longContinues);
    ASSERT_EQ(s.loopbacks.size(), 1u);
    EXPECT_EQ(s.targetIn, 1);
    EXPECT_EQ(s.targetOut, 1);
    EXPECT_EQ(s.script.model, 0x3C);
    EXPECT_EQ(s.script.replyDelayMs, 12u);
    ASSERT_EQ(s.script.handshake.count(2), 1u);
    EXPECT_EQ(s.script.handshake[2].kind, ActionKind::Code);
    EXPECT_EQ(s.script.handshake[2].code, 0x15);
    EXPECT_EQ(s.script.handshake[2].delayMs, 700);
    EXPECT_EQ(s.script.handshakeDefault.kind, ActionKind::Silent);
    const Action& raw = s.script.records[{3, 2}];
    EXPECT_EQ(raw.kind, ActionKind::Raw);
    EXPECT_EQ(raw.raw, (std::vector<uint8_t>{0xF0, 0x1A, 0x00, 0xF7}));
    EXPECT_EQ(raw.input, 0);
    EXPECT_EQ(s.script.recordDefault.kind, ActionKind::Twice);
    EXPECT_EQ(s.script.checksumError.kind, ActionKind::Flood);
    EXPECT_EQ(s.script.checksumError.count, 50u);
    EXPECT_EQ(s.script.checksumError.code, 0x1A);
    EXPECT_EQ(s.vanishAfter, 9u);
    EXPECT_TRUE(s.vanishCloseRefuses);
    EXPECT_EQ(s.vanishStallMs, 250u);
    EXPECT_TRUE(s.asyncOutput);
    EXPECT_EQ(s.outputs[1].wedgedFrom, 4u);
    EXPECT_EQ(s.outputs[0].wedgedFrom, 0u);
    EXPECT_TRUE(s.inputs[0].releaseFails && !s.inputs[1].releaseFails);
    EXPECT_EQ(s.inputSplit, (std::vector<unsigned>{1, 2}));
}

TEST(ScenarioFile, RefusesWhatItDoesNotUnderstand) {
    const char* bad[] = {
        "inputs 3\n",
        "input A\ninput_caps_fail 1\n",       // no input 1
        "target 1\n",
        "handshake 0 model\n",                // attempts count from 1
        "handshake 1 code\n",
        "record 0 1 code 1A delay\n",
        "record_default shout\n",
        "model 3BB\n",
        "pacing maybe\n",
        "output A\noutput_send_fail 0 0\n",
        "input_split 0\n",
        "input_split\n",
        "output A\noutput_wedged 1\n",
    };
    for (const char* text : bad) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(text, &s, &error)) << text;
        EXPECT_NE(error.find("line "), std::string::npos) << text;
    }
}

} // namespace
} // namespace emul
