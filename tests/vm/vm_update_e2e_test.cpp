// The real Linux "update" end to end inside the test VM: the kernel's
// sequencer between the updater and the emulated target, which sits at the raw
// MIDI end of a virtual port (raw_midi_target), where a USB keyboard's own end
// would be. Meant to run inside the VM (tests/vm/run-in-vm), as root: it
// unbinds and binds the virtual card.
//
// The sequencer there numbers the devices, in both directions:
//   0 "Midi Through Port-0"   (echoes the handshake back: code 0x54, a fast failure)
//   1 "VirMIDI 0-0"           raw end /dev/snd/midiC0D0
//   2 "VirMIDI 0-1"           /dev/snd/midiC0D1
//   3 "VirMIDI 0-2", 4 "VirMIDI 0-3"
// Discovery tries input 0 with every output, then input 1, ...; a pair that
// nobody answers costs 4 attempts of 500 ms. A target on "VirMIDI 0-0" is
// found at pair (1, 1) after five silent pairs, which is why most cases put it
// there.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "support/transcript.h"
#include "support/update_program.h"

namespace {

using update_test::Platform;
using update_test::ReadFileBytes;
using update_test::RunOptions;
using update_test::RunResult;
using update_test::TempFolder;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char kVirmidiDriver[] = "/sys/bus/platform/drivers/snd_virmidi";
const char kVirmidiCard[] = "snd_virmidi.0";
constexpr auto kRunLimit = std::chrono::seconds(120);

std::string RawDevice(int n) { return "/dev/snd/midiC0D" + std::to_string(n); }

// --- The virtual card ---------------------------------------------------------

bool CardBound() { return fs::exists(fs::path(kVirmidiDriver) / kVirmidiCard); }

// Writes the card's name to the driver's bind or unbind file. An unbind
// returns only once every raw descriptor of the card has been closed.
bool WriteDriverFile(const char* file) {
    std::ofstream out(fs::path(kVirmidiDriver) / file);
    out << kVirmidiCard;
    out.flush();
    return static_cast<bool>(out);
}

bool SequencerListsVirtualPorts() {
    const std::string clients = ReadFileBytes("/proc/asound/seq/clients");
    for (int n = 0; n < 4; ++n) {
        if (clients.find("\"VirMIDI 0-" + std::to_string(n) + "\"") == std::string::npos) return false;
    }
    return true;
}

// Waits until the four raw devices and their sequencer ports are all there
// (present) or all gone.
bool WaitForCard(bool present, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto until = Clock::now() + limit;
    for (;;) {
        bool all = SequencerListsVirtualPorts() == present;
        for (int n = 0; n < 4 && all; ++n) all = fs::exists(RawDevice(n)) == present;
        if (all) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

::testing::AssertionResult EnsureCardBound() {
    if (!CardBound() && !WriteDriverFile("bind")) {
        return ::testing::AssertionFailure() << "cannot bind " << kVirmidiCard;
    }
    if (!WaitForCard(true)) {
        return ::testing::AssertionFailure()
               << "the virtual raw MIDI ports did not appear; /proc/asound/seq/clients:\n"
               << ReadFileBytes("/proc/asound/seq/clients");
    }
    return ::testing::AssertionSuccess();
}

// A subscription from one sequencer port to another, made by a client of the
// test's own (which has no ports, so the updater numbers no device of it), as
// a patch bay would make it; removed again when the object goes.
class Route {
public:
    ~Route() {
        if (seq_ == nullptr) return;
        if (made_) snd_seq_unsubscribe_port(seq_, subscription_);
        snd_seq_close(seq_);
    }

    ::testing::AssertionResult Make(const std::string& fromPort, const std::string& toPort) {
        int result = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0);
        if (result < 0) return ::testing::AssertionFailure() << "snd_seq_open: " << snd_strerror(result);
        snd_seq_set_client_name(seq_, "vm_update_e2e_test");
        snd_seq_addr_t from;
        snd_seq_addr_t to;
        if (!Find(fromPort, &from)) return ::testing::AssertionFailure() << "no port " << fromPort;
        if (!Find(toPort, &to)) return ::testing::AssertionFailure() << "no port " << toPort;
        snd_seq_port_subscribe_malloc(&subscription_);
        snd_seq_port_subscribe_set_sender(subscription_, &from);
        snd_seq_port_subscribe_set_dest(subscription_, &to);
        result = snd_seq_subscribe_port(seq_, subscription_);
        if (result < 0) {
            return ::testing::AssertionFailure() << "subscribing " << fromPort << " to " << toPort << ": "
                                                 << snd_strerror(result);
        }
        made_ = true;
        return ::testing::AssertionSuccess();
    }

private:
    bool Find(const std::string& name, snd_seq_addr_t* address) const {
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                if (name == snd_seq_port_info_get_name(port)) {
                    *address = *snd_seq_port_info_get_addr(port);
                    return true;
                }
            }
        }
        return false;
    }

    snd_seq_t* seq_ = nullptr;
    snd_seq_port_subscribe_t* subscription_ = nullptr;
    bool made_ = false;
};

// --- The emulated target as a process -------------------------------------------

using Counts = std::map<std::string, std::string>;

Counts ParseLog(const std::string& text) {
    Counts counts;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.find(' ');
        if (space == std::string::npos) counts[line] = "";
        else counts[line.substr(0, space)] = line.substr(space + 1);
    }
    return counts;
}

unsigned Count(const Counts& counts, const std::string& key) {
    const auto found = counts.find(key);
    return found == counts.end() ? ~0u : static_cast<unsigned>(std::stoul(found->second));
}

class RawTarget {
public:
    RawTarget() = default;
    RawTarget(const RawTarget&) = delete;
    RawTarget& operator=(const RawTarget&) = delete;
    ~RawTarget() { Stop(); }

    // Starts the target on raw device n with a script in the scenario format
    // and waits until it listens.
    ::testing::AssertionResult Start(int device, const std::string& script) {
        const fs::path scriptFile = folder_.WriteFile("target.script", script);
        log_ = folder_.Path() / "target.log";
        const std::string out = (folder_.Path() / "target.out").string();
        const std::string deviceName = RawDevice(device);
        pid_ = fork();
        if (pid_ < 0) return ::testing::AssertionFailure() << "fork failed";
        if (pid_ == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
            }
            execl(RAW_MIDI_TARGET, RAW_MIDI_TARGET, deviceName.c_str(), scriptFile.c_str(),
                  log_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            if (Read().count("state") != 0) return ::testing::AssertionSuccess();
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return ::testing::AssertionFailure() << "raw_midi_target ended at its start: "
                                                     << ReadFileBytes(folder_.Path() / "target.out");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::testing::AssertionFailure() << "raw_midi_target did not start listening";
    }

    // The latest log (empty before the target wrote one).
    Counts Read() const { return ParseLog(ReadFileBytes(log_)); }

    // Ends the target with SIGTERM (unless it has ended already) and returns
    // its final log.
    Counts Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            Reap();
        }
        return Read();
    }

    // Waits for the target to end by itself (up to the limit) and returns its
    // final log.
    Counts WaitForEnd(std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        while (pid_ > 0 && Clock::now() < until) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Read();
    }

    int ExitStatus() const { return exitStatus_; }
    std::string Output() const { return ReadFileBytes(folder_.Path() / "target.out"); }

private:
    void Reap() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }

    TempFolder folder_;
    fs::path log_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

// --- The firmware file --------------------------------------------------------

// A valid record of `size` bytes (size >= 4): big-endian length, payload,
// little-endian checksum word (the two's complement of the payload sum).
Bytes MakeRecord(unsigned size, unsigned seed) {
    Bytes record(size);
    const unsigned length = size - 2;
    record[0] = static_cast<uint8_t>(length >> 8);
    record[1] = static_cast<uint8_t>(length);
    uint16_t sum = 0;
    for (unsigned k = 2; k + 2 < size; ++k) {
        record[k] = static_cast<uint8_t>((k * 37 + seed * 101 + 11) & 0xFF);
        sum = static_cast<uint16_t>(sum + record[k]);
    }
    const uint16_t check = static_cast<uint16_t>(0x10000 - sum);
    record[size - 2] = static_cast<uint8_t>(check & 0xFF);
    record[size - 1] = static_cast<uint8_t>(check >> 8);
    return record;
}

struct Firmware {
    std::vector<Bytes> records;
    Bytes image;
    std::string text; // the .led text: one record a line, bytes apart
};

Firmware MakeFirmware(const std::vector<unsigned>& sizes) {
    Firmware f;
    char cell[4];
    for (size_t n = 0; n < sizes.size(); ++n) {
        f.records.push_back(MakeRecord(sizes[n], static_cast<unsigned>(n)));
        for (uint8_t b : f.records.back()) {
            std::snprintf(cell, sizeof cell, "%02X ", b);
            f.text += cell;
            f.image.push_back(b);
        }
        f.text += "\n";
    }
    return f;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char cell[3];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        text += cell;
    }
    return text;
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// --- What the console shows ---------------------------------------------------

const char kFileName[] = "Q25_vm.led";
const std::string kHeader = std::string("Update V0.5 - Update KANTERRA Q25-Q49 System\n") +
                            "OK: File '" + kFileName + "' is open.\n";

std::string Found(const std::string& port) {
    return "The Update Device is Open successfully:\nMIDIIN Device: " + port +
           "\nMIDIOUT Device: " + port + "\n";
}

std::string Progress(char spinner, int percent) {
    return std::string("\r                        \rTransferring.. ") + spinner + " " +
           std::to_string(percent) + "% done";
}

const std::string kDone = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";

std::string Repeat(const std::string& text, unsigned times) {
    std::string all;
    for (unsigned k = 0; k < times; ++k) all += text;
    return all;
}

// Runs the real updater in a fresh folder holding the firmware file.
RunResult RunUpdater(const Firmware& firmware) {
    TempFolder folder;
    folder.WriteFile(kFileName, firmware.text);
    RunOptions options;
    options.timeLimit = kRunLimit;
    return update_test::RunUpdate(Platform::kLinux, folder.Path(), options);
}

std::string LinuxTranscript(const std::string& runOutput) {
    return update_test::Transcript(Platform::kLinux, runOutput);
}

class VmUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists("/dev/snd/seq"))
            << "no kernel sequencer here: run this suite inside the VM (tests/vm/run-in-vm)";
        ASSERT_TRUE(EnsureCardBound());
    }
    // A case that unbound the card leaves it bound for the next one.
    void TearDown() override { EXPECT_TRUE(EnsureCardBound()); }
};

// Three records of 16, 12 and 22 bytes (50 in all): a full and a short chunk,
// a full and a one-byte chunk, two full chunks. The progress line shows
// 0%, 32% and 56% before them.
const std::vector<unsigned> kThreeRecords = {16, 12, 22};

// --- Discovery ----------------------------------------------------------------

using Discovery = VmUpdate;

// The target behind "VirMIDI 0-1": device 2 both ways, neither the first
// input nor the first output. The pairs before it, input-major, send it the
// handshake 8 times while the updater listens elsewhere (pairs (0,2) and
// (1,2)); the 9th, from pair (2,2), is answered and heard, and the 10th
// confirms it.
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
    EXPECT_EQ(Count(log, "handshakes"), 10u);
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
    EXPECT_EQ(run.out, LinuxTranscript(kHeader +
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
    // Pair (0,1) sends it 4 handshakes whose answers nobody hears; pair (1,1)
    // hears the first and confirms it with one more.
    EXPECT_EQ(Count(log, "handshakes"), 6u);
    EXPECT_EQ(Count(log, "messages"), 6u);
    EXPECT_EQ(log.at("image"), "");
}

// With the virtual card unbound only "Midi Through Port-0" is left, and it
// answers every handshake with the handshake itself (code 0x54): four fast
// failures, then the failure message.
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
              LinuxTranscript(kHeader + "\nFailed: Can't find the suitable device to update!\n\n"));
    // The echo ends each wait at once; a pair left unanswered would take at
    // least 4 x 500 polls of 1 ms.
    EXPECT_LT(took, std::chrono::milliseconds(2000));
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

struct TransferCase {
    const char* name;
    const char* script; // the target's lines; it sits behind "VirMIDI 0-0"
    std::string afterFound;      // the output after the device lines
    unsigned recordsReceived;    // complete records the target took in, resends included
    std::vector<unsigned> accepted; // which of the file's records it accepted, in order
};

void PrintTo(const TransferCase& c, std::ostream* out) { *out << c.name; }

class Transfer : public VmUpdate, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(Transfer, TranscriptAndAcceptedImage) {
    const TransferCase& c = GetParam();
    const Firmware firmware = MakeFirmware(kThreeRecords);
    RawTarget target;
    ASSERT_TRUE(target.Start(0, c.script));

    const RunResult run = RunUpdater(firmware);
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found("VirMIDI 0-0") + c.afterFound));
    EXPECT_EQ(Count(log, "handshakes"), 6u);
    EXPECT_EQ(Count(log, "records_received"), c.recordsReceived);
    std::vector<Bytes> accepted;
    for (unsigned n : c.accepted) accepted.push_back(firmware.records[n]);
    EXPECT_EQ(log.at("image"), Hex(Concat(accepted)));
    EXPECT_EQ(Count(log, "bad_chunks"), 0u);
    EXPECT_EQ(log.at("end"), "sigterm") << target.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, Transfer,
    ::testing::Values(
        // The resent record shows the same percent and spinner character.
        TransferCase{"CrcErrorThenAccepted", "record 1 1 code 20\n",
                     Progress('-', 0) + Progress('-', 32) + "\nThe CRC of the download file is error!\n" +
                         Progress('-', 32) + Progress('\\', 56) + kDone,
                     4, {0, 1, 2}},
        TransferCase{"SilenceThenAccepted", "record 1 1 silent\n",
                     Progress('-', 0) + Progress('-', 32) + Progress('-', 32) + Progress('\\', 56) + kDone,
                     4, {0, 1, 2}},
        TransferCase{"CompletionOnTheLastRecord", "record 2 1 code 77\n",
                     Progress('-', 0) + Progress('-', 32) + Progress('\\', 56) +
                         "\rTransferring.. 100% done.  \nTarget update successfully!\n"
                         "\nThe System is restarted, please wait!\n\n",
                     3, {0, 1, 2}}),
    [](const ::testing::TestParamInfo<TransferCase>& param) { return std::string(param.param.name); });

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

    bool unbound = false;
    bool sawRecord2 = false;
    std::thread unplug([&] {
        const auto until = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < until) {
            const Counts now = target.Read();
            if (now.count("records_received") != 0 && Count(now, "records_received") >= 3) {
                sawRecord2 = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (sawRecord2) unbound = WriteDriverFile("unbind"); // returns once the target has let go
    });
    const RunResult run = RunUpdater(firmware);
    unplug.join();
    const Counts log = target.WaitForEnd(std::chrono::seconds(5));

    ASSERT_TRUE(sawRecord2) << "the target never received record 2";
    ASSERT_TRUE(unbound);
    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    EXPECT_EQ(log.at("end"), "device_gone") << target.Output();
    EXPECT_EQ(target.ExitStatus(), 0);
    // Each receipt of record 2 had its progress line; the one more after it
    // is the attempt whose first chunk found the device gone.
    const unsigned receipts = Count(log, "records_received") - 2;
    EXPECT_GE(receipts, 1u);
    EXPECT_EQ(run.out, LinuxTranscript(kHeader + Found("VirMIDI 0-0") + Progress('-', 0) +
                                       Progress('-', 20) + Repeat(Progress('\\', 40), receipts + 1) +
                                       "\nError: The MIDI Out of device is missing!\n\n"));
    EXPECT_EQ(log.at("image"), Hex(Concat({firmware.records[0], firmware.records[1]})));
}

// --- Time per record ---------------------------------------------------------

using Benchmark = VmUpdate;

// 100 records of 64 bytes, then 40 of 256 and 20 of 1,024 (37,120 bytes). The
// target notes when it accepts each record; the time between two acceptances
// is one record's round: the verdict's way back, the progress line, the
// chunks' way out and the target's check.
TEST_F(Benchmark, TimePerRecordThroughTheKernelSequencer) {
    struct Group {
        unsigned size;
        unsigned count;
    };
    const Group groups[] = {{64, 100}, {256, 40}, {1024, 20}};
    std::vector<unsigned> sizes;
    for (const Group& g : groups) sizes.insert(sizes.end(), g.count, g.size);
    const Firmware firmware = MakeFirmware(sizes);
    RawTarget target;
    ASSERT_TRUE(target.Start(0, "model 3B\n"));

    const auto started = Clock::now();
    const RunResult run = RunUpdater(firmware);
    const double wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    const Counts log = target.Stop();

    ASSERT_TRUE(run.exited) << update_test::Describe(run);
    ASSERT_EQ(Count(log, "records_received"), sizes.size()) << "records were resent";
    ASSERT_EQ(log.at("image"), Hex(firmware.image));
    const std::string tail = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n" +
                             std::string(update_test::kLinuxWaitPrompt);
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);

    std::vector<long long> accepted;
    std::istringstream in(log.at("accept_us"));
    for (long long us; in >> us;) accepted.push_back(us);
    ASSERT_EQ(accepted.size(), sizes.size());

    std::ostringstream figures;
    size_t first = 0;
    for (const Group& g : groups) {
        // Record k's round ends at its acceptance and starts at record k-1's.
        const size_t from = first == 0 ? 1 : first;
        const size_t to = first + g.count;
        const double perRecordUs =
            static_cast<double>(accepted[to - 1] - accepted[from - 1]) / static_cast<double>(to - from);
        figures << g.size << "-byte records: " << static_cast<long long>(perRecordUs + 0.5)
                << " us/record (" << (to - from) << " rounds); ";
        RecordProperty("us_per_record_" + std::to_string(g.size), std::to_string(perRecordUs));
        first = to;
    }
    std::printf("[ figures  ] through the kernel sequencer and a raw MIDI target: %s"
                "whole run %.1f s (discovery included)\n",
                figures.str().c_str(), wallSeconds);
}

} // namespace
