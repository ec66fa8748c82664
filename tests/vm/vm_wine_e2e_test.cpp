// The shipped Windows build end to end on a WinMM that nobody here wrote:
// update.exe under wine with wine's own winmm.dll, whose ALSA driver speaks to
// the kernel sequencer in the test VM, where the emulated target sits at the
// raw MIDI end of a virtual port (raw_midi_target):
//
//   update.exe -> wine's WinMM -> kernel sequencer -> virtual raw port -> target
//
// Meant to run inside the VM started with tests/vm/run-in-vm --wine, as root:
// it unbinds and binds the virtual card. Wine numbers the ports as the Linux
// build does (vm_harness.h). Every run's whole standard output is compared
// byte for byte: CR LF line ends, lone CRs of the progress line, and the
// command interpreter's "pause" prompt, with no line feed after it since
// standard input is not a terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/update_program.h"
#include "vm_harness.h"

namespace {

using update_test::Platform;
using update_test::RunResult;
using update_test::TempFolder;
using namespace vm_test;

std::string WineTranscript(const std::string& runOutput) {
    return update_test::Transcript(Platform::kWindows, runOutput);
}

// One wineserver for the whole program: each run then starts in seconds.
class WineSession : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(WineReady());
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override {
        server_.Stop();
        const FaultTally tally = WineExitFaults();
        std::printf("[ wine exit ] %u of %u wine runs were killed at their exit by wine's own fault "
                    "(SIGSEGV or SIGKILL, nothing on standard error, whole output there)\n",
                    tally.killed, tally.runs);
    }

private:
    PersistentWineServer server_;
};

const ::testing::Environment* const kSession = ::testing::AddGlobalTestEnvironment(new WineSession);

// Runs the shipped update.exe in a fresh folder holding the firmware file,
// standard input from /dev/null.
RunResult RunUpdateExeWith(const Firmware& firmware) {
    TempFolder folder;
    folder.WriteFile(kFileName, firmware.text);
    return RunUpdateExe(folder.Path());
}

using WineMidi = VmCase;

// Wine's WinMM offers the sequencer's ports as the Linux build numbers them,
// and opens and closes a pair. The lister touches nothing else, so how it
// ends is how wine ends a program that opened its MIDI driver.
TEST_F(WineMidi, ListsTheSequencerPortsAndOpensAPair) {
    TempFolder folder;
    const RunResult run = RunWindowsProgram(WINE_MIDI_LIST, folder.Path(), {}, {"2"});
    EXPECT_TRUE(EndedWell(run));
    std::string ports;
    for (const char* side : {"input", "output"}) {
        ports += std::string(side) + " 0: Midi Through Port-0\n";
        for (int n = 0; n < 4; ++n) ports += std::string(side) + " " + std::to_string(n + 1) + ": VirMIDI 0-" + std::to_string(n) + "\n";
    }
    EXPECT_EQ(run.out, update_test::WindowsText(ports + "open 2: 0 0\nclose: 0 0\n"));
    std::printf("[ wine exit ] the lister %s\n", update_test::Describe(run).c_str());
}

// --- Whole updates ------------------------------------------------------------

class WineUpdate : public VmCase, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(WineUpdate, TranscriptAndAcceptedImage) {
    const UpdateCase& c = GetParam();
    const Firmware firmware = MakeFirmware(kThreeRecords);
    RawTarget target;
    ASSERT_TRUE(target.Start(c.targetDevice, c.script));
    Route route;
    ASSERT_TRUE(MakePath(c, route));

    const auto started = Clock::now();
    const RunResult run = RunUpdateExeWith(firmware);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const Counts log = target.Stop();

    EXPECT_TRUE(EndedWell(run));
    EXPECT_EQ(run.out, WineTranscript(kHeader + FoundLines(c) + c.afterFound)) << update_test::Describe(run);
    EXPECT_EQ(Count(log, "handshakes"), Handshakes(c));
    EXPECT_EQ(Count(log, "records_received"), c.recordsReceived);
    EXPECT_EQ(log.at("image"), HexOfRecords(firmware, c.accepted));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
    EXPECT_EQ(Count(log, "unknown_messages"), 0u);
    EXPECT_EQ(log.at("end"), "sigterm") << target.Output();
    std::printf("[ figures  ] %.1f s for the run under wine\n", seconds);
}

// The target's answers come in through "Midi Through" on input 0, which
// finds it at pair (0, n + 1). (When the pairs were tried one at a time, each
// unanswered one cost about 8 s under wine in the VM.)
const UpdateCase kSuccessBehindTheSecondVirtualPort = {
    "SuccessBehindTheSecondVirtualPort", 1, "model 3B\n",
    Progress('-', 0) + Progress('-', 32) + Progress('\\', 56) + kDone, 3, {0, 1, 2}, Path::kViaMidiThrough};

INSTANTIATE_TEST_SUITE_P(
    Discovery, WineUpdate,
    ::testing::Values(kSuccessBehindTheSecondVirtualPort,
                      UpdateCase{"TargetAskingForAReset", 0, "handshake_default code 15\n",
                                 "Please reset the product and retry again!\n\n", 0, {}, Path::kViaMidiThrough}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(Outcomes, WineUpdate,
                         ::testing::ValuesIn(WithPath(TransferOutcomes(), Path::kViaMidiThrough)), CaseName);

// The whole discovery on the target's own port, as the Linux build's suite
// runs it: the three inputs listened to at once under wine's own WinMM while
// outputs 0, 1 and 2 get their handshakes. (Trying the pairs one at a time,
// 11 of them unanswered, took about 2 minutes.)
INSTANTIATE_TEST_SUITE_P(DirectDiscovery, WineUpdate,
                         ::testing::ValuesIn(WithPath({kSuccessBehindTheSecondVirtualPort}, Path::kDirect)),
                         CaseName);

// --- The device goes away ------------------------------------------------------

using WineUnplug = VmCase;

// Five records of 16 bytes (0%, 20%, 40%, 60%, 80%). The target never answers
// record 2; once it has taken it in, the virtual card is unbound under both
// sides: the target's reads fail with ENODEV and it ends, and the sequencer
// ports go with its descriptor. Wine's driver sends every message to its
// port's subscribers and reports success whatever the sequencer says, so
// sends to the vanished port succeed (to nobody): the updater sees silence
// until its 20th attempt at record 2 and gives up.
TEST_F(WineUnplug, CardUnboundDuringTheTransfer) {
    const UpdateCase c = {"Unplug", 0, "", "", 0, {}, Path::kViaMidiThrough};
    const Firmware firmware = MakeFirmware({16, 16, 16, 16, 16});
    std::string script;
    for (int attempt = 1; attempt <= 20; ++attempt) script += "record 2 " + std::to_string(attempt) + " silent\n";
    RawTarget target;
    ASSERT_TRUE(target.Start(c.targetDevice, script));
    Route route;
    ASSERT_TRUE(MakePath(c, route));

    UnplugWhenReceived unplug(target, 3);
    const RunResult run = RunUpdateExeWith(firmware);
    unplug.Join();
    const Counts log = target.WaitForEnd(std::chrono::seconds(5));

    ASSERT_TRUE(unplug.SawRecords()) << "the target never received record 2";
    ASSERT_TRUE(unplug.Unbound());
    EXPECT_TRUE(EndedWell(run));
    EXPECT_EQ(log.at("end"), "device_gone") << target.Output();
    EXPECT_GE(Count(log, "records_received"), 3u);
    EXPECT_EQ(run.out, WineTranscript(kHeader + FoundLines(c) + Progress('-', 0) + Progress('-', 20) +
                                      Repeat(Progress('\\', 40), 20) + "\nFailed: Target is not responding.\n\n" +
                                      "The update stopped at record 3 of 5. Check the keyboard's MIDI connection, "
                                      "then run update again: it starts over from the first record.\n\n"));
    EXPECT_EQ(log.at("image"), HexOfRecords(firmware, {0, 1}));
}

} // namespace
