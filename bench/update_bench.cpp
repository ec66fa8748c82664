// Figures for README: the updater's time per record against an emulated target
// that answers at once (event-driven polls, and blind 1 ms sleeps for
// comparison), a whole transfer against a target paced at 31,250 baud next
// to the wire time of every byte (with a driver that blocks in each send, and
// with one that finishes each message asynchronously; the latter also with a
// send that sleeps 100 ms at each "still playing" answer, for comparison),
// and the peak memory of whole runs. Then the Linux layer's pace rule in
// process: the record loop sending by that rule to a link that drains at once
// (a USB keyboard) or at 31,250 baud (a MIDI cable), with a target that
// answers once it has read the whole record.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mmsystem.h>

#include "emul/emul.h"
#include "image/image.h"
#include "midi/alsa_rules.h"
#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "protocol/protocol.h"

extern char** environ;

// The blind variant of the record loop (the same source, other names).
uint8_t BlindFindUpdateDevice(uint8_t modelCode,
                              const DeviceSettings* settings = &kDefaultDeviceSettings);
DeviceOutcome BlindTransferImage(const FirmwareImage* image,
                                 const DeviceSettings* settings = &kDefaultDeviceSettings);

// The record loop once more, sending through PlainSendSysEx.
DeviceOutcome SleepingTransferImage(const FirmwareImage* image,
                                    const DeviceSettings* settings = &kDefaultDeviceSettings);

namespace {
HMIDIOUT gSleepingOutput;
} // namespace

// The plain design's send: the message in a buffer of the call, and a
// 100 ms sleep at each "still playing" answer until the driver is done.
uint16_t PlainSendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;
    uint8_t message[64] = {};
    message[0] = 0xF0;
    std::copy(data, data + n, message + 1);
    message[n + 1] = 0xF7;
    MIDIHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(message);
    header.dwBufferLength = n + 2;
    MMRESULT result = midiOutPrepareHeader(gSleepingOutput, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) return static_cast<uint16_t>(result);
    result = midiOutLongMsg(gSleepingOutput, &header, sizeof header);
    if (result != MMSYSERR_NOERROR) return static_cast<uint16_t>(result);
    while (midiOutUnprepareHeader(gSleepingOutput, &header, sizeof header) == MIDIERR_STILLPLAYING) {
        Sleep(100);
    }
    return 0;
}

// The record loop once more, sending through LinuxRuleSendSysEx.
DeviceOutcome LinuxRuleTransferImage(const FirmwareImage* image,
                                     const DeviceSettings* settings = &kDefaultDeviceSettings);

namespace {

int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void SleepUntilNs(int64_t when) {
    const timespec until = {static_cast<time_t>(when / 1000000000LL), static_cast<long>(when % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// The far side of the Linux layer, in process: the device's output buffer and
// its link (drained at once, or at 320 us a byte), and a target that answers
// each record with 0x1A once it has read all of it, the answer taking its
// 3 bytes' wire time on a paced link. The updater's sends and the target's
// reads meet in the queue; the target runs on its own thread.
struct RuleLink {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<int64_t, unsigned>> sent; // (read by the target at, bytes)
    bool paced = false;
    bool stop = false;
    unsigned recordWire = 0; // bytes of one record's chunks
    int64_t readFreeAt = 0;  // the link has delivered everything sent by then
    unsigned maxBuffered = 0;
    uint64_t handed = 0; // bytes sent in all
    SeqPacer pacer{}; // the layer's model (main thread)
};

RuleLink gLink;

void RunRuleTarget() {
    unsigned read = 0;
    std::unique_lock<std::mutex> hold(gLink.lock);
    for (;;) {
        gLink.changed.wait(hold, [] { return gLink.stop || !gLink.sent.empty(); });
        if (gLink.stop) return;
        const auto [at, bytes] = gLink.sent.front();
        gLink.sent.pop_front();
        hold.unlock();
        SleepUntilNs(at);
        read += bytes;
        if (read >= gLink.recordWire) {
            read -= gLink.recordWire;
            if (gLink.paced) SleepUntilNs(at + 3 * kWireNsPerByte);
            static const uint8_t kAccepted[] = {0xF0, 0x1A, 0xF7};
            StoreReply(kAccepted, sizeof kAccepted);
        }
        hold.lock();
    }
}

} // namespace

// The Linux layer's send (midi_alsa.cpp), with the sequencer replaced by the
// link above.
uint16_t LinuxRuleSendSysEx(const uint8_t*, unsigned n) {
    if (n > kMaxSysExData) return 0;
    const int64_t now = MonotonicNs();
    const int64_t sendAt = SeqPacerNext(&gLink.pacer, now, VerdictsTaken(), n + 2);
    if (sendAt > now) SleepUntilNs(sendAt);
    MarkHandedOver();
    {
        std::lock_guard<std::mutex> hold(gLink.lock);
        const int64_t handed = MonotonicNs();
        const int64_t start = std::max(handed, gLink.readFreeAt);
        gLink.readFreeAt = gLink.paced ? start + static_cast<int64_t>(n + 2) * kWireNsPerByte : handed;
        const int64_t waiting = (gLink.readFreeAt - handed) / kWireNsPerByte;
        gLink.maxBuffered = std::max(gLink.maxBuffered, static_cast<unsigned>(waiting));
        gLink.sent.emplace_back(gLink.readFreeAt, n + 2);
        gLink.handed += n + 2;
    }
    gLink.changed.notify_one();
    return 0;
}

// Each empty poll of the blind variant sleeps its whole millisecond.
bool BlindWaitForReply(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return RepliesWaiting() > 0;
}

namespace {

constexpr uint8_t kModel = 0x3B;
constexpr uint32_t kImageBudget = 65535; // whole records up to about 64 KiB

FirmwareImage gImage;

// An image of whole records of `recordSize` bytes (payload, valid checksums).
unsigned BuildImage(unsigned recordSize, uint32_t budget = kImageBudget) {
    unsigned records = 0;
    uint32_t p = 0;
    while (p + recordSize <= budget) {
        const unsigned l = recordSize - 2;
        gImage.bytes[p] = static_cast<uint8_t>(l >> 8);
        gImage.bytes[p + 1] = static_cast<uint8_t>(l);
        uint16_t sum = 0;
        for (unsigned k = 0; k < recordSize - 4; ++k) {
            const uint8_t b = static_cast<uint8_t>((p + k * 7) & 0xFF);
            gImage.bytes[p + 2 + k] = b;
            sum = static_cast<uint16_t>(sum + b);
        }
        const uint16_t check = static_cast<uint16_t>(0x10000 - sum);
        gImage.bytes[p + recordSize - 2] = static_cast<uint8_t>(check & 0xFF);
        gImage.bytes[p + recordSize - 1] = static_cast<uint8_t>(check >> 8);
        p += recordSize;
        ++records;
    }
    gImage.length = static_cast<uint16_t>(p);
    return records;
}

void ConfigureTarget(bool pacing, unsigned replyDelayMs = 0, bool asyncOutput = false) {
    emul::Scenario scenario;
    scenario.asyncOutput = asyncOutput;
    scenario.inputs.push_back({"Bench In"});
    scenario.outputs.push_back({"Bench Out"});
    scenario.targetIn = 0;
    scenario.targetOut = 0;
    scenario.pacing = pacing;
    scenario.script.replyDelayMs = replyDelayMs;
    emul::Configure(scenario);
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The progress lines would swamp the benchmark's own output.
struct QuietStdout {
    QuietStdout() {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
    int saved;
};

// Wire bytes of one record both ways: each chunk with its F0 and F7, and the
// 3-byte verdict.
uint64_t WireBytes(unsigned recordSize) {
    const unsigned full = recordSize / 11;
    const unsigned rest = recordSize % 11;
    return full * 24u + (rest ? 2u * rest + 2u : 0u) + 3u;
}

template <bool Blind>
void Transfer(benchmark::State& state) {
    const unsigned recordSize = static_cast<unsigned>(state.range(0));
    const unsigned replyDelayMs = static_cast<unsigned>(state.range(1));
    const unsigned records = BuildImage(recordSize);
    QuietStdout quiet;
    double mainThreadCpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ConfigureTarget(false, replyDelayMs);
        const uint8_t found = Blind ? BlindFindUpdateDevice(kModel) : FindUpdateDevice(kModel);
        if (found != 1) {
            state.SkipWithError("the emulated target was not found");
            break;
        }
        state.ResumeTiming();
        const double cpuBefore = ThreadCpuSeconds();
        if (Blind) {
            BlindTransferImage(&gImage);
        } else {
            TransferImage(&gImage);
        }
        mainThreadCpu += ThreadCpuSeconds() - cpuBefore;
        state.PauseTiming();
        const emul::Report report = emul::Snapshot();
        CloseMidiIn();
        CloseMidiOut();
        if (report.target.image.size() != gImage.length) {
            state.SkipWithError("the target did not accept the whole image");
            break;
        }
        state.ResumeTiming();
    }
    state.counters["records"] = records;
    // Wall time per record: includes the emulated MIDI service's two thread
    // hand-offs per record (the verdict is delivered by its callback thread).
    state.counters["us_per_record"] = benchmark::Counter(
        static_cast<double>(records) * 1e-6, benchmark::Counter::kIsIterationInvariantRate |
                                                  benchmark::Counter::kInvert);
    // CPU time of the updater's thread per record: its own work plus what the
    // emulated driver does inside its calls, without the waits.
    state.counters["cpu_us_per_record"] =
        mainThreadCpu * 1e6 / (static_cast<double>(records) * static_cast<double>(state.iterations()));
}

// The search for the keyboard among N inputs and N outputs: the keyboard on
// the last pair, answering 2 ms after each request, every other device
// silent. The time from the start of the search to the pair found.
void Search(benchmark::State& state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    QuietStdout quiet;
    for (auto _ : state) {
        state.PauseTiming();
        emul::Scenario scenario;
        for (unsigned k = 1; k <= n; ++k) {
            scenario.inputs.push_back({"Bench In " + std::to_string(k)});
            scenario.outputs.push_back({"Bench Out " + std::to_string(k)});
        }
        scenario.targetIn = static_cast<int>(n) - 1;
        scenario.targetOut = static_cast<int>(n) - 1;
        scenario.script.replyDelayMs = 2;
        emul::Configure(scenario);
        state.ResumeTiming();
        const uint8_t found = FindUpdateDevice(kModel);
        state.PauseTiming();
        CloseMidiIn();
        CloseMidiOut();
        if (found != 1) {
            state.SkipWithError("the emulated target was not found");
            break;
        }
        state.ResumeTiming();
    }
}

void PacedTransfer(benchmark::State& state) {
    const unsigned recordSize = static_cast<unsigned>(state.range(0));
    const unsigned records = BuildImage(recordSize);
    const double wireSeconds = static_cast<double>(WireBytes(recordSize) * records) * 320e-6;
    QuietStdout quiet;
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ConfigureTarget(true);
        if (FindUpdateDevice(kModel) != 1) {
            state.SkipWithError("the emulated target was not found");
            break;
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        TransferImage(&gImage);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        CloseMidiIn();
        CloseMidiOut();
        state.ResumeTiming();
    }
    const double perRun = total / static_cast<double>(state.iterations());
    state.counters["wire_s"] = wireSeconds;
    state.counters["total_s"] = perRun;
    state.counters["over_wire_pct"] = (perRun - wireSeconds) / wireSeconds * 100.0;
}

// A whole transfer at 31,250 baud with a driver that returns from each send
// at once and finishes the message after its wire time (MOM_DONE). Argument 1:
// the send waits as the Windows layer does; 0: it sleeps 100 ms at each "still
// playing" answer, measured on the first 8 records (minutes otherwise) and
// extrapolated to the whole image by its ratio to the wire time.
void PacedTransferAsync(benchmark::State& state) {
    const unsigned recordSize = 256;
    const bool layer = state.range(0) != 0;
    const unsigned wholeRecords = BuildImage(recordSize);
    const double wholeWire = static_cast<double>(WireBytes(recordSize) * wholeRecords) * 320e-6;
    const unsigned records = layer ? wholeRecords : BuildImage(recordSize, 8 * recordSize);
    const double wireSeconds = static_cast<double>(WireBytes(recordSize) * records) * 320e-6;
    QuietStdout quiet;
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ConfigureTarget(true, 0, true);
        if (FindUpdateDevice(kModel) != 1) {
            state.SkipWithError("the emulated target was not found");
            break;
        }
        if (!layer) {
            CloseMidiOut();
            midiOutOpen(&gSleepingOutput, 0, 0, 0, CALLBACK_NULL);
        }
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (layer) {
            TransferImage(&gImage);
        } else {
            SleepingTransferImage(&gImage);
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        const emul::Report report = emul::Snapshot();
        CloseMidiIn();
        CloseMidiOut();
        if (!layer) midiOutClose(gSleepingOutput);
        if (report.target.image.size() != gImage.length) {
            state.SkipWithError("the target did not accept the whole image");
            break;
        }
        if (report.callbackViolations != 0) {
            state.SkipWithError("a MIDI call was made from inside a callback");
            break;
        }
        state.ResumeTiming();
    }
    const double perRun = total / static_cast<double>(state.iterations());
    state.counters["records"] = records;
    state.counters["wire_s"] = wireSeconds;
    state.counters["total_s"] = perRun;
    state.counters["ratio_to_wire"] = perRun / wireSeconds;
    state.counters["whole_image_s"] = perRun / wireSeconds * wholeWire;
}

// The record loop sending by the Linux layer's pace rule to a link that
// drains at once (argument 1: 0) or at 31,250 baud (1), records of argument 0
// bytes: the whole image at once, 8 KiB of it at 31,250 baud. The wire time
// counts each record's chunks and its 3-byte answer at 320 us a byte.
void LinuxRuleTransfer(benchmark::State& state) {
    const unsigned recordSize = static_cast<unsigned>(state.range(0));
    const bool paced = state.range(1) != 0;
    const unsigned records = BuildImage(recordSize, paced ? 8192 : kImageBudget);
    const double wireSeconds = static_cast<double>(WireBytes(recordSize) * records) * 320e-6;
    QuietStdout quiet;
    double total = 0;
    unsigned maxBuffered = 0;
    for (auto _ : state) {
        state.PauseTiming();
        gLink.paced = paced;
        gLink.stop = false;
        gLink.recordWire = static_cast<unsigned>(WireBytes(recordSize) - 3);
        gLink.readFreeAt = 0;
        gLink.maxBuffered = 0;
        gLink.handed = 0;
        StartSeqPacer(&gLink.pacer, VerdictsTaken());
        DropReplies();
        std::thread target(RunRuleTarget);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const DeviceOutcome outcome = LinuxRuleTransferImage(&gImage);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        {
            std::lock_guard<std::mutex> hold(gLink.lock);
            gLink.stop = true;
        }
        gLink.changed.notify_one();
        target.join();
        maxBuffered = std::max(maxBuffered, gLink.maxBuffered);
        if (outcome != kDeviceUpdated) {
            state.SkipWithError("the transfer did not end in success");
            break;
        }
        if (gLink.handed != static_cast<uint64_t>(gLink.recordWire) * records) {
            state.SkipWithError("a record was sent again");
            break;
        }
        state.ResumeTiming();
    }
    const double perRun = total / static_cast<double>(state.iterations());
    state.counters["records"] = records;
    state.counters["ms_per_record"] = perRun * 1e3 / records;
    state.counters["wire_ms_per_record"] = wireSeconds * 1e3 / records;
    state.counters["ratio_to_wire"] = perRun / wireSeconds;
    state.counters["max_buffered_bytes"] = maxBuffered;
}

// Runs a program to its end in a folder holding the sample firmware, through
// peak_rss (a small process, so that the figure is the program's own), and
// returns its peak resident memory in KiB.
long PeakKiB(const std::string& program, const std::string& scenario) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("update_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(UPDATE_SAMPLE_LED, folder / "Q25_sample.led",
                               std::filesystem::copy_options::overwrite_existing);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    if (!scenario.empty()) {
        std::ofstream(folder / "scenario.txt") << scenario;
        env.push_back("UPDATE_EMUL_SCENARIO=" + (folder / "scenario.txt").string());
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string figure = (folder / "peak.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, figure.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    std::string measurer = UPDATE_PEAK_RSS_EXE;
    std::string name = program;
    char* argv[] = {measurer.data(), name.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, measurer.c_str(), &actions, nullptr, argv, envp.data());
    std::filesystem::current_path(here);
    posix_spawn_file_actions_destroy(&actions);
    long peak = -1;
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        std::ifstream(figure) >> peak;
    }
    std::filesystem::remove_all(folder);
    return peak;
}

void PeakMemory(benchmark::State& state, const char* program, const char* scenario) {
    long peak = -1;
    for (auto _ : state) peak = PeakKiB(program, scenario);
    if (peak < 0) state.SkipWithError("the run did not end normally");
    state.counters["peak_rss_KiB"] = static_cast<double>(peak);
}

} // namespace

// Arguments: record size, the target's delay before each verdict (ms).
BENCHMARK_TEMPLATE(Transfer, false)
    ->Name("Transfer")
    ->ArgsProduct({{64, 256, 1024}, {0}})
    ->Args({256, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(Transfer, true)
    ->Name("TransferBlindSleep")
    ->ArgsProduct({{64, 256, 1024}, {0}})
    ->Args({256, 1})
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
// Argument: N, for N inputs and N outputs.
BENCHMARK(Search)->Arg(2)->Arg(4)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(PacedTransfer)->Arg(256)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(PacedTransferAsync)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(LinuxRuleTransfer)
    ->ArgsProduct({{64, 256, 1024}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PeakMemory, update_no_sequencer, UPDATE_NATIVE_EXE, "")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(PeakMemory, update_emulated_full_run, UPDATE_EMULATED_EXE,
                  "input Bench In\noutput Bench Out\ntarget 0 0\n")->Iterations(1)->Unit(benchmark::kMillisecond);

// The console table, noting whether any benchmark reported an error: such a
// run ends with a non-zero status, so that the smoke test in the suite fails.
class ErrorNotingReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) failed_ = failed_ || run.error_occurred;
        ConsoleReporter::ReportRuns(runs);
    }
    bool Failed() const { return failed_; }

private:
    bool failed_ = false;
};

int main(int argc, char** argv) {
    // Sleeps end close to their deadline, so the paced figure shows the
    // updater's overhead rather than the timer's slack. Threads inherit it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The library's own console table: colour on a terminal only.
    ErrorNotingReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                       : benchmark::ConsoleReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.Failed() ? 1 : 0;
}
