#include "vm_harness.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/update_program.h"

namespace vm_test {

namespace fs = std::filesystem;
using update_test::ReadFileBytes;
using update_test::RunOptions;
using update_test::RunResult;

// --- The virtual card ---------------------------------------------------------

namespace {

const char kVirmidiDriver[] = "/sys/bus/platform/drivers/snd_virmidi";
const char kVirmidiCard[] = "snd_virmidi.0";

bool SequencerListsVirtualPorts() {
    const std::string clients = ReadFileBytes("/proc/asound/seq/clients");
    for (int n = 0; n < 4; ++n) {
        if (clients.find("\"VirMIDI 0-" + std::to_string(n) + "\"") == std::string::npos) return false;
    }
    return true;
}

} // namespace

bool CardBound() { return fs::exists(fs::path(kVirmidiDriver) / kVirmidiCard); }

std::string RawDevice(int n) { return "/dev/snd/midiC0D" + std::to_string(n); }

bool WriteDriverFile(const char* file) {
    std::ofstream out(fs::path(kVirmidiDriver) / file);
    out << kVirmidiCard;
    out.flush();
    return static_cast<bool>(out);
}

bool WaitForCard(bool present, std::chrono::milliseconds limit) {
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

void VmCase::SetUp() {
    ASSERT_TRUE(fs::exists("/dev/snd/seq"))
        << "no kernel sequencer here: run this suite inside the VM (tests/vm/run-in-vm)";
    ASSERT_TRUE(EnsureCardBound());
}

void VmCase::TearDown() { EXPECT_TRUE(EnsureCardBound()); }

struct Route::Sequencer {
    snd_seq_t* seq = nullptr;
    snd_seq_port_subscribe_t* subscription = nullptr;
    bool made = false;

    bool Find(const std::string& name, snd_seq_addr_t* address) const {
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq, client) >= 0) {
            snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq, port) >= 0) {
                if (name == snd_seq_port_info_get_name(port)) {
                    *address = *snd_seq_port_info_get_addr(port);
                    return true;
                }
            }
        }
        return false;
    }
};

Route::~Route() {
    if (seq_ == nullptr) return;
    if (seq_->made) snd_seq_unsubscribe_port(seq_->seq, seq_->subscription);
    if (seq_->subscription != nullptr) snd_seq_port_subscribe_free(seq_->subscription);
    if (seq_->seq != nullptr) snd_seq_close(seq_->seq);
    delete seq_;
}

::testing::AssertionResult Route::Make(const std::string& fromPort, const std::string& toPort) {
    if (seq_ != nullptr) return ::testing::AssertionFailure() << "one route per object";
    seq_ = new Sequencer;
    int result = snd_seq_open(&seq_->seq, "default", SND_SEQ_OPEN_DUPLEX, 0);
    if (result < 0) return ::testing::AssertionFailure() << "snd_seq_open: " << snd_strerror(result);
    snd_seq_set_client_name(seq_->seq, "vm test route");
    snd_seq_addr_t from;
    snd_seq_addr_t to;
    if (!seq_->Find(fromPort, &from)) return ::testing::AssertionFailure() << "no port " << fromPort;
    if (!seq_->Find(toPort, &to)) return ::testing::AssertionFailure() << "no port " << toPort;
    snd_seq_port_subscribe_malloc(&seq_->subscription);
    snd_seq_port_subscribe_set_sender(seq_->subscription, &from);
    snd_seq_port_subscribe_set_dest(seq_->subscription, &to);
    result = snd_seq_subscribe_port(seq_->seq, seq_->subscription);
    if (result < 0) {
        return ::testing::AssertionFailure() << "subscribing " << fromPort << " to " << toPort << ": "
                                             << snd_strerror(result);
    }
    seq_->made = true;
    return ::testing::AssertionSuccess();
}

// --- The emulated target as a process -------------------------------------------

namespace {

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

int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

} // namespace

unsigned Count(const Counts& counts, const std::string& key) {
    const auto found = counts.find(key);
    return found == counts.end() ? ~0u : static_cast<unsigned>(std::stoul(found->second));
}

::testing::AssertionResult RawTarget::Start(int device, const std::string& script, int byteUs) {
    return Start(RawDevice(device), script, byteUs);
}

::testing::AssertionResult RawTarget::Start(const std::string& deviceName, const std::string& script, int byteUs) {
    const fs::path scriptFile = folder_.WriteFile("target.script", script);
    log_ = folder_.Path() / "target.log";
    const std::string out = (folder_.Path() / "target.out").string();
    const std::string pace = std::to_string(byteUs);
    pid_ = fork();
    if (pid_ < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid_ == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        if (byteUs != 0) {
            execl(RAW_MIDI_TARGET, RAW_MIDI_TARGET, "--byte-us", pace.c_str(), deviceName.c_str(),
                  scriptFile.c_str(), log_.c_str(), static_cast<char*>(nullptr));
        } else {
            execl(RAW_MIDI_TARGET, RAW_MIDI_TARGET, deviceName.c_str(), scriptFile.c_str(), log_.c_str(),
                  static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        if (Read().count("state") != 0) return ::testing::AssertionSuccess();
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return ::testing::AssertionFailure() << "raw_midi_target ended at its start: " << Output();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ::testing::AssertionFailure() << "raw_midi_target did not start listening";
}

Counts RawTarget::Read() const { return ParseLog(ReadFileBytes(log_)); }

Counts RawTarget::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        Reap();
    }
    return Read();
}

Counts RawTarget::WaitForEnd(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (pid_ > 0 && Clock::now() < until) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitStatus_ = StatusOf(status);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Read();
}

std::string RawTarget::Output() const { return ReadFileBytes(folder_.Path() / "target.out"); }

void RawTarget::Reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exitStatus_ = StatusOf(status);
    pid_ = -1;
}

UnplugWhenReceived::UnplugWhenReceived(const RawTarget& target, unsigned records) {
    thread_ = std::thread([this, &target, records] {
        const auto until = Clock::now() + std::chrono::seconds(90);
        while (Clock::now() < until) {
            const Counts now = target.Read();
            if (now.count("records_received") != 0 && Count(now, "records_received") >= records) {
                sawRecords_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (sawRecords_) unbound_ = WriteDriverFile("unbind"); // returns once the target has let go
    });
}

void UnplugWhenReceived::Join() {
    if (thread_.joinable()) thread_.join();
}

// --- The firmware file --------------------------------------------------------

namespace {

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

} // namespace

const std::vector<unsigned> kThreeRecords = {16, 12, 22};

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

std::string HexOfRecords(const Firmware& firmware, const std::vector<unsigned>& which) {
    std::string text;
    for (unsigned n : which) text += Hex(firmware.records.at(n));
    return text;
}

// --- What the console shows ---------------------------------------------------

#define UPDATE_VM_FILE_NAME "Q25_vm.led"
const char kFileName[] = UPDATE_VM_FILE_NAME;
const char kHeader[] = "Update V0.5 - Update KANTERRA Q25-Q49 System\nOK: File '" UPDATE_VM_FILE_NAME "' is open.\n";
const char kDone[] = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";

std::string Found(const std::string& port) {
    return "The Update Device is Open successfully:\nMIDIIN Device: " + port + "\nMIDIOUT Device: " + port +
           "\n";
}

std::string Progress(char spinner, int percent) {
    return std::string("\r                        \rTransferring.. ") + spinner + " " +
           std::to_string(percent) + "% done";
}

std::string Repeat(const std::string& text, unsigned times) {
    std::string all;
    for (unsigned k = 0; k < times; ++k) all += text;
    return all;
}

// --- Whole updates, by table --------------------------------------------------

void PrintTo(const UpdateCase& c, std::ostream* out) { *out << c.name; }

std::string CaseName(const ::testing::TestParamInfo<UpdateCase>& info) { return info.param.name; }

std::string VirtualPort(int n) { return "VirMIDI 0-" + std::to_string(n); }

std::string FoundLines(const UpdateCase& c) {
    if (c.path == Path::kDirect) return Found(VirtualPort(c.targetDevice));
    return "The Update Device is Open successfully:\nMIDIIN Device: Midi Through Port-0\nMIDIOUT Device: " +
           VirtualPort(c.targetDevice) + "\n";
}

// Every input is listened to while each output gets its handshake: the
// target's one handshake is heard, and one more confirms the pair.
unsigned Handshakes(const UpdateCase&) { return 2u; }

::testing::AssertionResult MakePath(const UpdateCase& c, Route& route) {
    if (c.path == Path::kDirect) return ::testing::AssertionSuccess();
    return route.Make(VirtualPort(c.targetDevice), "Midi Through Port-0");
}

const std::vector<UpdateCase>& TransferOutcomes() {
    static const std::vector<UpdateCase> cases = {
        // The resent record shows the same percent and spinner character.
        {"CrcErrorThenAccepted", 0, "record 1 1 code 20\n",
         Progress('-', 0) + Progress('-', 32) + "\nThe CRC of the download file is error!\n" +
             Progress('-', 32) + Progress('\\', 56) + kDone,
         4, {0, 1, 2}},
        {"SilenceThenAccepted", 0, "record 1 1 silent\n",
         Progress('-', 0) + Progress('-', 32) + Progress('-', 32) + Progress('\\', 56) + kDone, 4, {0, 1, 2}},
        {"CompletionOnTheLastRecord", 0, "record 2 1 code 77\n",
         Progress('-', 0) + Progress('-', 32) + Progress('\\', 56) +
             "\rTransferring.. 100% done.  \nTarget update successfully!\n"
             "\nThe System is restarted, please wait!\n\n",
         3, {0, 1, 2}},
    };
    return cases;
}

std::vector<UpdateCase> WithPath(std::vector<UpdateCase> cases, Path path) {
    for (UpdateCase& c : cases) c.path = path;
    return cases;
}

// --- The Linux build ----------------------------------------------------------

RunResult RunLinuxUpdater(const Firmware& firmware, const std::string& fileName) {
    update_test::TempFolder folder;
    folder.WriteFile(fileName, firmware.text);
    RunOptions options;
    options.timeLimit = std::chrono::seconds(120);
    return update_test::RunUpdate(update_test::Platform::kLinux, folder.Path(), options);
}

std::string LinuxTranscript(const std::string& runOutput) {
    return update_test::Transcript(update_test::Platform::kLinux, runOutput);
}

long long WireUs(unsigned recordSize) {
    const unsigned rest = recordSize % 11;
    return (recordSize / 11 * 24 + (rest != 0 ? 2 * rest + 2 : 0)) * 320LL;
}

// 20 records of 64 bytes, then 8 of 256 and 4 of 1,024 (7,424 bytes). The
// target notes when it accepts each record; the time between two acceptances
// is one record's round: the verdict's way back, the progress line, the
// chunks' way out (held back only beyond the Linux layer's send budget) and
// the target's check.
void MeasureTimePerRecord(const std::string& device, const std::string& script, const char* through) {
    struct Group {
        unsigned size;
        unsigned count;
    };
    const Group groups[] = {{64, 20}, {256, 8}, {1024, 4}};
    std::vector<unsigned> sizes;
    for (const Group& g : groups) sizes.insert(sizes.end(), g.count, g.size);
    const Firmware firmware = MakeFirmware(sizes);
    RawTarget target;
    ASSERT_TRUE(target.Start(device, script));

    const auto started = Clock::now();
    const RunResult run = RunLinuxUpdater(firmware);
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
        figures << g.size << "-byte records: " << static_cast<long long>(perRecordUs + 0.5) << " us/record, "
                << WireUs(g.size) << " us of it on the wire (" << (to - from) << " rounds); ";
        ::testing::Test::RecordProperty("us_per_record_" + std::to_string(g.size), std::to_string(perRecordUs));
        first = to;
    }
    std::printf("[ figures  ] %s: %s whole run %.1f s (discovery included)\n", through, figures.str().c_str(),
                wallSeconds);
}

// --- The Windows build under wine --------------------------------------------

namespace {

std::atomic<unsigned> gKilledAtExit{0};
std::atomic<unsigned> gWineRuns{0};

} // namespace

namespace {

// The shipped update.exe of this build, or another build's (VM_UPDATE_EXE),
// for example a branch's MIDI layer under the same cases.
fs::path UpdateExe() {
    const char* other = std::getenv("VM_UPDATE_EXE");
    return other != nullptr && *other != '\0' ? fs::path(other) : update_test::WindowsUpdatePath();
}

} // namespace

::testing::AssertionResult WineReady() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr || !fs::is_directory(prefix)) {
        return ::testing::AssertionFailure()
               << "no wine prefix: start this program with tests/vm/run-in-vm --wine";
    }
    if (update_test::FindWine().empty() || update_test::FindOnPath("wineserver").empty()) {
        return ::testing::AssertionFailure() << "wine or wineserver is not on PATH (Debian packages wine, wine64)";
    }
    const fs::path exe = UpdateExe();
    if (!fs::is_regular_file(exe)) {
        return ::testing::AssertionFailure() << exe.string() << " is missing: build the mingw preset first";
    }
    // A winmm.dll beside the program would be loaded instead of wine's own.
    if (fs::exists(exe.parent_path() / "winmm.dll")) {
        return ::testing::AssertionFailure() << "a winmm.dll lies beside " << exe.string();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult PersistentWineServer::Start() {
    RunOptions options;
    options.args = {"-p"};
    options.env = {{"WINEDEBUG", "-all"}};
    const RunResult run = update_test::RunProgram(update_test::FindOnPath("wineserver"), options);
    if (!run.exited || run.exitStatus != 0) {
        return ::testing::AssertionFailure() << "wineserver -p: " << update_test::Describe(run);
    }
    started_ = true;
    return ::testing::AssertionSuccess();
}

void PersistentWineServer::Stop() {
    if (!started_) return;
    started_ = false;
    RunOptions options;
    options.args = {"-k"};
    update_test::RunProgram(update_test::FindOnPath("wineserver"), options);
}

RunResult RunWindowsProgram(const fs::path& exe, const fs::path& folder, const fs::path& input,
                            std::vector<std::string> args) {
    RunOptions options;
    options.workDir = folder;
    options.input = input;
    options.args = std::move(args);
    // Wine's own winmm.dll and its ALSA driver. The PulseAudio driver is kept
    // out: with libpulse installed (a browser brings it) and no sound server in
    // the VM, it writes warnings to standard error, which fails EndedWell.
    options.env = {{"WINEDLLOVERRIDES", "winepulse.drv=d"}};
    // Wine's debug channels for a look inside (their output goes to standard
    // error, which fails EndedWell), e.g. VM_WINEDEBUG=+midi,+winmm.
    if (const char* channels = std::getenv("VM_WINEDEBUG")) options.env.emplace_back("WINEDEBUG", channels);
    options.timeLimit = std::chrono::seconds(150);
    return update_test::RunUnderWine(exe, options);
}

RunResult RunUpdateExe(const fs::path& folder, const fs::path& input) {
    return RunWindowsProgram(UpdateExe(), folder, input);
}

WineEnd ClassifyWineEnd(const RunResult& run) {
    if (run.started && run.exited) return WineEnd::kExited;
    if (run.started && !run.timedOut && (run.signal == SIGSEGV || run.signal == SIGKILL) && run.err.empty()) {
        return WineEnd::kKilledAtExit;
    }
    return WineEnd::kOther;
}

::testing::AssertionResult EndedWell(const RunResult& run) {
    ++gWineRuns;
    switch (ClassifyWineEnd(run)) {
    case WineEnd::kExited:
        if (run.exitStatus == 0) return ::testing::AssertionSuccess();
        break;
    case WineEnd::kKilledAtExit:
        ++gKilledAtExit;
        return ::testing::AssertionSuccess();
    case WineEnd::kOther:
        break;
    }
    return ::testing::AssertionFailure() << update_test::Describe(run);
}

FaultTally WineExitFaults() { return {gKilledAtExit.load(), gWineRuns.load()}; }

} // namespace vm_test
