#include "support/whole_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "support/temp_folder.h"
#include "support/update_program.h"

namespace update_test {

std::string EmulReport::Value(const std::string& key) const {
    for (const std::string& line : lines) {
        if (line == key) return "";
        if (line.compare(0, key.size() + 1, key + " ") == 0) return line.substr(key.size() + 1);
    }
    return "<missing>";
}

bool EmulReport::Holds(const std::string& line) const {
    for (const std::string& l : lines) {
        if (l == line) return true;
    }
    return false;
}

EmulReport ParseEmulReport(const std::string& text) {
    EmulReport report;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        report.lines.push_back(line);
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "end") {
            report.complete = true;
        } else if (key == "event") {
            EmulReport::Event e;
            words >> e.what >> e.device >> e.result >> e.hex;
            report.events.push_back(e);
        } else if (key == "handshake_output") {
            report.handshakes.push_back(line.substr(key.size() + 1));
        }
    }
    return report;
}

namespace {

const std::filesystem::path kEmulatedUpdate = UPDATE_EMULATED_EXE;
const std::string kHandshakeHex = "F054713872577A35F7";

std::string Brief(const EmulReport::Event& e) {
    return e.what + " " + std::to_string(e.device) + " " + std::to_string(e.result);
}

// A trace line: "YYYY-MM-DD HH:MM:SS.mmm " and the event.
bool SplitTraceLine(const std::string& line, std::string* event) {
    static const std::string kShape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < kShape.size()) return false;
    for (size_t k = 0; k < kShape.size(); ++k) {
        const bool digit = line[k] >= '0' && line[k] <= '9';
        if (kShape[k] == 'd' ? !digit : line[k] != kShape[k]) return false;
    }
    *event = line.substr(kShape.size());
    return true;
}

// How long after the trace line holding `at` was written the program was
// stopped, in ms (0 when either is unknown). Trace times are local.
long PauseLateMs(const std::filesystem::path& trace, const std::string& at,
                 std::chrono::system_clock::time_point pausedAt) {
    if (pausedAt == std::chrono::system_clock::time_point{}) return 0;
    std::istringstream in(ReadFileBytes(trace));
    for (std::string line; std::getline(in, line);) {
        std::string event;
        if (line.find(at) == std::string::npos || !SplitTraceLine(line, &event)) continue;
        std::tm when{};
        int ms = 0;
        if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%d", &when.tm_year, &when.tm_mon,
                        &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec, &ms) != 7)
            return 0;
        when.tm_year -= 1900;
        when.tm_mon -= 1;
        when.tm_isdst = -1;
        const auto written =
            std::chrono::system_clock::from_time_t(std::mktime(&when)) + std::chrono::milliseconds(ms);
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(pausedAt - written).count());
    }
    return 0;
}

void CheckTarget(const WholeRun& row, const EmulReport& report) {
    if (!row.midi) {
        EXPECT_EQ(report.Value("winmm_calls"), "0") << "MIDI was used";
    } else if (!report.events.empty() && row.handshakes && !row.handshakes->empty()) {
        // The device phase begins with discovery: inputs are opened first,
        // and the first message sent is the handshake request.
        EXPECT_EQ(report.events.front().what, "in_open");
        for (const EmulReport::Event& e : report.events) {
            if (e.what != "send") continue;
            EXPECT_EQ(e.hex, kHandshakeHex) << "the first message sent";
            break;
        }
    }

    // The records the target took, byte for byte, and nothing it could not read.
    Bytes image;
    for (const int k : row.accepted) {
        const Bytes& record = row.records.at(static_cast<size_t>(k));
        image.insert(image.end(), record.begin(), record.end());
    }
    EXPECT_EQ(report.Value("image"), Hex(image)) << "the records the target accepted";
    EXPECT_EQ(report.Value("records_accepted"), std::to_string(row.accepted.size()));
    for (const char* none :
         {"checksum_errors", "bad_chunks", "lowercase_hex", "unknown_messages"}) {
        EXPECT_EQ(report.Value(none), "0") << none;
    }

    if (row.wire) {
        std::vector<std::string> wire;
        for (const EmulReport::Event& e : report.events) {
            if (e.what == "send" && e.hex != kHandshakeHex) wire.push_back(ChunkCharacters(e.hex));
        }
        EXPECT_EQ(wire, *row.wire) << "the record chunks on the wire";
    }
    if (row.handshakes) {
        EXPECT_EQ(report.handshakes, *row.handshakes) << "handshake requests per output";
    }

    // The answering pair stays open through the transfer and is closed at
    // the very end: the input, then the output.
    if (row.foundInput >= 0) {
        const size_t n = report.events.size();
        ASSERT_GE(n, 2u);
        EXPECT_EQ(Brief(report.events[n - 2]), "in_close " + std::to_string(row.foundInput) + " 0");
        EXPECT_EQ(Brief(report.events[n - 1]),
                  "out_close " + std::to_string(row.foundOutput) + " 0");
    }
}

void RunAndCheck(Platform platform, const WholeRun& row, std::string* reportText) {
    const bool windows = platform == Platform::kWindows;
    if (windows) {
        ASSERT_TRUE(WindowsUpdateReady());
        const auto dll = WindowsBuildFolder() / "emul" / "winmm.dll";
        ASSERT_TRUE(std::filesystem::is_regular_file(dll))
            << dll << " is missing: build the Windows build's tests/emul first";
    }
    // The program's folder holds only the firmware; the scenario and the
    // report live elsewhere.
    const TempFolder work;
    const TempFolder control;
    std::filesystem::create_directories((work.Path() / row.fileName).parent_path());
    work.WriteFile(row.fileName, row.ledText);
    const auto reportPath = control.Path() / "report.txt";

    RunOptions options;
    options.workDir = work.Path();
    options.args = row.args;
    options.env = {
        {"UPDATE_EMUL_SCENARIO", control.WriteFile("scenario.txt", row.scenario).string()},
        {"UPDATE_EMUL_REPORT", reportPath.string()}};
    if (!row.interruptAt.empty()) {
        const auto trace = work.Path() / "trace.log";
        options.interruptWhen = [trace, at = row.interruptAt] {
            return ReadFileBytes(trace).find(at) != std::string::npos;
        };
        options.interruptSignal = row.interruptSignal;
    }
    if (!row.pauseAt.empty()) {
        options.pauseWhen = [trace = work.Path() / "trace.log", at = row.pauseAt] {
            return ReadFileBytes(trace).find(at) != std::string::npos;
        };
        options.pauseFor = row.pauseFor;
    }
    options.noOutput = row.noOutput;
    if (row.outputClosedAfterConsole) {
        options.closeOutputAfter = (windows ? WindowsText(row.console) : row.console).size();
    }
    // Polls under wine take longer than 1 ms, and wine may have to start its server first.
    options.timeLimit = windows ? 2 * row.timeLimit + std::chrono::seconds(60) : row.timeLimit;
    if (windows) options.env.emplace_back("WINEDLLOVERRIDES", "winmm=n");
    auto began = std::chrono::steady_clock::now();
    RunResult run;
    for (int attempt = 1;; ++attempt) {
        began = std::chrono::steady_clock::now();
        run = windows ? RunUnderWine(WindowsEmulatedUpdatePath(), options)
                      : RunProgram(kEmulatedUpdate, options);
        // A hold-up that came more than a second after its moment (a loaded
        // machine that ran this harness late) is not the case the row
        // describes: the program has rightly listened meanwhile. Run once more.
        const long lateMs = row.pauseAt.empty() ? 0 : PauseLateMs(work.Path() / "trace.log",
                                                                   row.pauseAt, run.pausedAt);
        if (lateMs <= 1000 || attempt == 2) break;
        std::printf("[ late     ] the hold-up came %ld ms after \"%s\": run again\n", lateMs,
                    row.pauseAt.c_str());
        std::filesystem::remove(work.Path() / "trace.log");
        std::filesystem::remove(reportPath);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    ASSERT_TRUE(run.started) << run.error;
    ASSERT_FALSE(run.timedOut) << "killed after " << options.timeLimit.count()
                               << " ms; stdout so far:\n"
                               << run.out;

    EXPECT_TRUE(run.exited && run.exitStatus == row.exitStatus) << Describe(run);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, row.waits ? Transcript(platform, row.console)
                                 : (windows ? WindowsText(row.console) : row.console));
    EXPECT_GE(took, row.atLeast) << "the run took " << took.count() << " ms";
    if (row.atMost.count() > 0) {
        // A hang guard, not a benchmark: the start-up is given plenty.
        EXPECT_LE(took, row.atMost + std::chrono::seconds(windows ? 30 : 3))
            << "the run took " << took.count() << " ms";
    }

    *reportText = ReadFileBytes(reportPath);
    const EmulReport report = ParseEmulReport(*reportText);
    ASSERT_TRUE(report.complete) << "no complete report";
    // The MIDI system's rules: both sides closed (only a driver that never
    // gives a message back keeps its output open), no MIDI call from inside a
    // callback, no buffer queued on two devices or touched while a driver
    // holds it.
    EXPECT_EQ(report.Value("input_left_open"), "0");
    if (std::find(row.reportLines.begin(), row.reportLines.end(), "output_left_open 1") ==
        row.reportLines.end()) {
        EXPECT_EQ(report.Value("output_left_open"), "0");
    }
    EXPECT_EQ(report.Value("held_header_reuse"), "0") << "a header touched while a driver held it";
    EXPECT_EQ(report.Value("callback_violations"), "0") << "MIDI calls from inside a callback";
    EXPECT_EQ(report.Value("shared_headers"), "0") << "an input buffer queued on two devices";
    if (row.checkTarget) CheckTarget(row, report);
    for (const std::string& line : row.reportLines) EXPECT_TRUE(report.Holds(line)) << line;

    if (!row.trace.empty()) {
        std::istringstream in(ReadFileBytes(work.Path() / "trace.log"));
        std::vector<std::string> events;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back(); // Windows text mode
            std::string event;
            EXPECT_TRUE(SplitTraceLine(line, &event)) << "no timestamp: " << line;
            events.push_back(event);
        }
        EXPECT_EQ(events, row.trace);
    }
}

} // namespace

void RunWholeUpdate(Platform platform, const WholeRun& row) {
    if (platform == Platform::kWindows && !WineTestsEnabled()) {
        GTEST_SKIP() << "configured with UPDATE_WINE_TESTS=OFF";
    }
    std::string reportText;
    RunAndCheck(platform, row, &reportText);
    if (::testing::Test::HasFailure()) {
        ADD_FAILURE() << "the emulated system's report:\n" << reportText;
    }
}

EmulatedRun RunEmulated(const std::string& fileName, const std::string& ledText,
                        const std::string& scenario, std::chrono::milliseconds timeLimit) {
    const TempFolder work;
    const TempFolder control;
    work.WriteFile(fileName, ledText);
    const auto reportPath = control.Path() / "report.txt";
    RunOptions options;
    options.workDir = work.Path();
    options.env = {{"UPDATE_EMUL_SCENARIO", control.WriteFile("scenario.txt", scenario).string()},
                   {"UPDATE_EMUL_REPORT", reportPath.string()}};
    options.timeLimit = timeLimit;
    EmulatedRun result;
    result.run = RunProgram(kEmulatedUpdate, options);
    result.report = ParseEmulReport(ReadFileBytes(reportPath));
    return result;
}

} // namespace update_test
