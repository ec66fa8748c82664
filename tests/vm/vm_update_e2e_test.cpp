// The real Linux "update" end to end inside the test VM: the kernel's
// sequencer between the updater and the emulated target, which sits at the raw
// MIDI end of a virtual port (raw_midi_target), where a USB keyboard's own end
// would be. Meant to run inside the VM (tests/vm/run-in-vm), as root: it
// unbinds and binds the virtual card.
//
// The device numbers there: vm_harness.h. Discovery tries input 0 with every output, then input 1, ...; a pair that
// nobody answers costs 4 attempts of 500 ms. A target on "VirMIDI 0-0" is
// found at pair (1, 1) after five silent pairs, which is why most cases put it
// there.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/transcript.h"
#include "support/update_program.h"
#include "vm_harness.h"

namespace {

using update_test::Platform;
using update_test::RunOptions;
using update_test::RunResult;
using update_test::TempFolder;
using namespace vm_test;

RunResult RunUpdater(const Firmware& firmware) { return RunLinuxUpdater(firmware); }

using VmUpdate = VmCase;

// --- Discovery ----------------------------------------------------------------

using Discovery = VmUpdate;

// The target behind "VirMIDI 0-1": device 2 both ways, neither the first
// input nor the first output. Every input is listened to while the handshake
// goes out on outputs 0, 1 and 2: the target's answer to its one handshake
// comes on input 2, and a second handshake confirms it.
TEST_F(Discovery, FindsTheTargetBehindTheThirdPortAndNamesItsPorts) {
    const Firmware firmware = MakeFirmware(kThreeRecords);
    RawTarget target;
    ASSERT_TRUE(target.Start(1, "model 3B\n"));

    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found("VirMIDI 0-1") + Progress('-', 0) +
                                       Progress('-', 32) + Progress('\\', 56) + kDone));
    EXPECT_EQ(Count(log, "handshakes"), 2u);
    EXPECT_EQ(Count(log, "records_received"), 3u);
    EXPECT_EQ(log.at("image"), Hex(firmware.image));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
    EXPECT_EQ(Count(log, "lowercase_hex"), 0u);
    EXPECT_EQ(Count(log, "unknown_messages"), 0u);
    EXPECT_EQ(log.at("end"), "sigterm");
}

// The numbering as the updater prints it: with the target's port routed into
// "Midi Through", the target's answer to pair (0, 1) comes back through
// "Midi Through Port-0", which is input 0, while "VirMIDI 0-0" is output 1.
// Pair (0, 0) fails at once on the echo, so the first handshake the target
// sees is the one that finds it, and the second confirms it.
TEST_F(Discovery, MidiThroughIsInputZeroAndTheFirstVirtualPortOutputOne) {
    const Firmware firmware = MakeFirmware(kThreeRecords);
    RawTarget target;
    ASSERT_TRUE(target.Start(0, "model 3B\n"));
    Route route;
    ASSERT_TRUE(route.Make("VirMIDI 0-0", "Midi Through Port-0"));

    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.out, LinuxTranscript(std::string(kHeader) +
                                       "The Update Device is Open successfully:\n"
                                       "MIDIIN Device: Midi Through Port-0\n"
                                       "MIDIOUT Device: VirMIDI 0-0\n" +
                                       Progress('-', 0) + Progress('-', 32) + Progress('\\', 56) + kDone));
    EXPECT_EQ(Count(log, "handshakes"), 2u);
    EXPECT_EQ(log.at("image"), Hex(firmware.image));
}

TEST_F(Discovery, TargetAskingForAResetIsNamedAndNothingIsSent) {
    const Firmware firmware = MakeFirmware(kThreeRecords);
    RawTarget target;
    ASSERT_TRUE(target.Start(0, "handshake_default code 15\n"));

    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found("VirMIDI 0-0") +
                                       "Please reset the product and retry again!\n\n"));
    // Its one handshake of the round is heard on input 1 (input 0, "Midi
    // Through", only echoes), and one more confirms it.
    EXPECT_EQ(Count(log, "handshakes"), 2u);
    EXPECT_EQ(Count(log, "messages"), 2u);
    EXPECT_EQ(log.at("image"), "");
}

// With the virtual card unbound only "Midi Through Port-0" is left, and it
// answers every handshake with the handshake itself (code 0x54): four fast
// rounds, each ended by the echo, then the failure message.
TEST_F(Discovery, NoTargetEndsWithTheFailureMessage) {
    const Firmware firmware = MakeFirmware(kThreeRecords);
    ASSERT_TRUE(WriteDriverFile("unbind"));
    ASSERT_TRUE(WaitForCard(false));

    const auto started = Clock::now();
    const RunResult run = RunUpdater(firmware);
    const auto took = Clock::now() - started;

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out,
              LinuxTranscript(std::string(kHeader) +
                              "\nFailed: Can't find the suitable device to update!\n\n"
                              "1 MIDI input and 1 output were tried; none answered as a Q25/Q49 "
                              "keyboard.\nConnect the keyboard and switch it on; update --list "
                              "should show it. Then switch the keyboard off and on, and run update "
                              "again.\n\n"));
    // The echo ends each round at once; a round left unanswered would take
    // 500 ms, four of them 2 s.
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

// A user outside the sequencer's group: the device is root's alone and the
// updater runs as "nobody". The failure names the cause and what to do.
TEST_F(Discovery, NoPermissionToUseTheSequencerIsNamed) {
    struct stat device {};
    ASSERT_EQ(stat("/dev/snd/seq", &device), 0);
    ASSERT_EQ(chmod("/dev/snd/seq", 0600), 0);
    const TempFolder folder;
    std::filesystem::permissions(folder.Path(), std::filesystem::perms::owner_all |
                                                    std::filesystem::perms::group_read |
                                                    std::filesystem::perms::group_exec |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec);
    folder.WriteFile(kFileName, MakeFirmware(kThreeRecords).text);
    RunOptions options;
    options.workDir = folder.Path();
    options.args = {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                    update_test::NativeUpdatePath().string()};
    const RunResult run = update_test::RunProgram("/usr/bin/setpriv", options);
    chmod("/dev/snd/seq", device.st_mode & 07777);

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, LinuxTranscript(std::string(kHeader) +
                                       "\nFailed: Can't find the suitable device to update!\n\n"
                                       "You have no permission to use the ALSA sequencer: join the audio "
                                       "group (sudo usermod -a -G audio $USER), log in again, then run "
                                       "update again.\n\n"));
}

// --list: the numbering the updater uses against the kernel sequencer, every
// port opened and closed once, and nothing sent: the target behind
// "VirMIDI 0-0" receives no message.
TEST_F(Discovery, ListShowsTheNumberingAndSendsNothing) {
    RawTarget target;
    ASSERT_TRUE(target.Start(0, "model 3B\n"));
    const TempFolder folder;
    RunOptions options;
    options.args = {"--list"};
    const RunResult run = update_test::RunUpdate(Platform::kLinux, folder.Path(), options);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    const std::string ports = "  0: Midi Through Port-0\n  1: VirMIDI 0-0\n  2: VirMIDI 0-1\n"
                              "  3: VirMIDI 0-2\n  4: VirMIDI 0-3\n";
    EXPECT_EQ(run.out, "Update V0.5 - Update KANTERRA Q25-Q49 System\nMIDI inputs:\n" + ports +
                           "MIDI outputs:\n" + ports);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Count(log, "messages"), 0u);
}

// --- Transfer -----------------------------------------------------------------

class Transfer : public VmUpdate, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(Transfer, TranscriptAndAcceptedImage) {
    const UpdateCase& c = GetParam();
    const Firmware firmware = MakeFirmware(c.sizes);
    RawTarget target;
    ASSERT_TRUE(target.Start(c.targetDevice, c.script, c.byteUs));

    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + FoundLines(c) + c.afterFound));
    EXPECT_EQ(Count(log, "handshakes"), Handshakes(c));
    EXPECT_EQ(Count(log, "records_received"), c.recordsReceived);
    EXPECT_EQ(log.at("image"), HexOfRecords(firmware, c.accepted));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
    EXPECT_EQ(log.at("end"), "sigterm") << target.Output();
}

INSTANTIATE_TEST_SUITE_P(Outcomes, Transfer, ::testing::ValuesIn(TransferOutcomes()), CaseName);

// A target that reads no faster than its 31,250-baud line: a record of 1 KiB
// takes about 0.7 s on the wire, one of 2 KiB about 1.4 s and one of 4 KiB
// about 2.9 s, all beyond the 2,048 bytes the updater hands over at once. The
// rest of each record follows at the line's pace, the verdict comes about
// 0.66 s after the last chunk is handed over (the 2,048 bytes still on their
// way), well within the wait for it, and every record is taken in once.
INSTANTIATE_TEST_SUITE_P(Paced, Transfer,
                         ::testing::Values(UpdateCase{"TargetReadingAtTheLinesPace", 0, "model 3B\n",
                                                      Progress('-', 0) + Progress('-', 25) + Progress('\\', 75) +
                                                          kDone,
                                                      3, {0, 1, 2}, Path::kDirect, {1024, 2048, 1024}, 320},
                                           UpdateCase{"RecordsOf4KiBAtTheLinesPace", 0, "model 3B\n",
                                                      Progress('-', 0) + Progress('-', 50) + kDone, 2, {0, 1},
                                                      Path::kDirect, {4096, 4096}, 320}),
                         CaseName);

// --- The device goes away ------------------------------------------------------

using Unplug = VmUpdate;

// Five records of 16 bytes (0%, 20%, 40%, 60%, 80%). The target never answers
// record 2; once it has taken it in, the virtual card is unbound under both
// sides: the target's reads fail with ENODEV and it ends, the sequencer ports
// go with its descriptor, and the updater's next full chunk fails.
TEST_F(Unplug, CardUnboundDuringTheTransfer) {
    const Firmware firmware = MakeFirmware({16, 16, 16, 16, 16});
    std::string script;
    for (int attempt = 1; attempt <= 20; ++attempt) script += "record 2 " + std::to_string(attempt) + " silent\n";
    RawTarget target;
    ASSERT_TRUE(target.Start(0, script));

    UnplugWhenReceived unplug(target, 3);
    const RunResult run = RunUpdater(firmware);
    unplug.Join();
    const Counts log = target.WaitForEnd(std::chrono::seconds(5));

    ASSERT_TRUE(unplug.SawRecords()) << "the target never received record 2";
    ASSERT_TRUE(unplug.Unbound());
    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(log.at("end"), "device_gone") << target.Output();
    EXPECT_EQ(target.ExitStatus(), 0);
    // Each receipt of record 2 had its progress line; the one more after it
    // is the attempt whose first chunk found the device gone.
    const unsigned receipts = Count(log, "records_received") - 2;
    EXPECT_GE(receipts, 1u);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found("VirMIDI 0-0") + Progress('-', 0) +
                                       Progress('-', 20) + Repeat(Progress('\\', 40), receipts + 1) +
                                       "\nError: The MIDI Out of device is missing!\n\n" +
                                       update_test::Stopped(3, 5)));
    EXPECT_EQ(log.at("image"), HexOfRecords(firmware, {0, 1}));
}

// --- Time per record ---------------------------------------------------------

using Benchmark = VmUpdate;

TEST_F(Benchmark, TimePerRecordThroughTheKernelSequencer) {
    MeasureTimePerRecord(RawDevice(0), "model 3B\n", "through the kernel sequencer and a virtual raw port");
}

} // namespace
