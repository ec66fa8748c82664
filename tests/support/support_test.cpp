// Checks of the end-to-end harness itself, with the shell as the program run.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/run_program.h"
#include "support/temp_folder.h"
#include "support/transcript.h"

namespace {

using update_test::RunOptions;
using update_test::RunProgram;
using update_test::RunResult;

RunResult Shell(const std::string& script, RunOptions options = {}) {
    options.args = {"-c", script};
    return RunProgram("/bin/sh", options);
}

TEST(RunProgram, KeepsStandardOutputAndErrorApartAndReportsTheExitStatus) {
    const RunResult run = Shell("printf 'out\\r\\n\\0x'; printf err >&2; exit 3");
    ASSERT_TRUE(run.started) << run.error;
    EXPECT_EQ(run.out, std::string("out\r\n\0x", 7));
    EXPECT_EQ(run.err, "err");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_FALSE(run.timedOut);
}

TEST(RunProgram, RunsInTheGivenFolderWhichHoldsNoOutputFiles) {
    const update_test::TempFolder folder;
    folder.WriteFile("only.led", "");
    RunOptions options;
    options.workDir = folder.Path();
    const RunResult run = Shell("pwd -P; ls -A", options);
    EXPECT_EQ(run.out, std::filesystem::canonical(folder.Path()).string() + "\nonly.led\n");
}

TEST(RunProgram, StandardInputIsAnEmptyNonTerminal) {
    const RunResult run = Shell("if [ -t 0 ]; then echo terminal; fi; wc -c");
    EXPECT_EQ(run.out, "0\n");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(RunProgram, StandardInputFromAGivenFile) {
    const update_test::TempFolder folder;
    RunOptions options;
    options.input = folder.WriteFile("keys", "x\r\n");
    const RunResult run = Shell("if [ -t 0 ]; then echo terminal; fi; od -An -c", options);
    EXPECT_EQ(run.out, "   x  \\r  \\n\n");
}

TEST(RunProgram, AddsAndReplacesEnvironmentVariablesTheLaterWinning) {
    RunOptions options;
    options.env = {
        {"HOME", "/replaced"}, {"UPDATE_TEST_VALUE", "first"}, {"UPDATE_TEST_VALUE", "second"}};
    const RunResult run = Shell(
        "printf '%s %s' \"$HOME\" \"$UPDATE_TEST_VALUE\"; env | grep -c '^UPDATE_TEST_VALUE='",
        options);
    EXPECT_EQ(run.out, "/replaced second1\n");
}

// True once the process has ended (gone, or a zombie waiting for its reaper).
bool Ended(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    const std::string stat = update_test::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
}

TEST(RunProgram, KillsTheProgramAndItsChildrenAtTheTimeLimit) {
    RunOptions options;
    options.timeLimit = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = Shell("sleep 20 & printf %s $!; wait", options);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(run.timedOut);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.signal, SIGKILL);
    EXPECT_LT(elapsed, std::chrono::seconds(5));

    const pid_t child = static_cast<pid_t>(std::stol(run.out));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!Ended(child) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(Ended(child)) << "the program's child " << child << " outlived the time limit";
}

TEST(RunProgram, ReportsTheSignalThatEndedTheProgram) {
    const RunResult run = Shell("kill -TERM $$");
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.signal, SIGTERM);
}

TEST(RunProgram, ReportsAProgramThatCannotBeStarted) {
    const RunResult run = RunProgram("/nonexistent/update", {});
    EXPECT_FALSE(run.started);
    EXPECT_NE(run.error.find("/nonexistent/update"), std::string::npos) << run.error;
}

TEST(TempFolder, HoldsTheBytesWrittenAndIsRemovedAtTheEnd) {
    std::filesystem::path path;
    {
        const update_test::TempFolder folder;
        path = folder.Path();
        const std::string bytes("a\0\r\n\x1a", 5);
        folder.WriteFile("x.led", bytes);
        folder.MakeFolder("sub");
        EXPECT_EQ(update_test::ReadFileBytes(path / "x.led"), bytes);
        EXPECT_TRUE(std::filesystem::is_directory(path / "sub"));
        const update_test::TempFolder other;
        EXPECT_NE(other.Path(), path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

struct TextCase {
    const char* label;
    std::string written;
    std::string shown;
};

class WindowsTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(WindowsTextTest, TurnsEachLineFeedIntoCrLf) {
    EXPECT_EQ(update_test::WindowsText(GetParam().written), GetParam().shown);
}

std::string TextCaseName(const ::testing::TestParamInfo<TextCase>& info) {
    return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsTextTest,
                         ::testing::Values(TextCase{"Empty", "", ""},
                                           TextCase{"NoLineFeed", "abc", "abc"},
                                           TextCase{"LineFeeds", "a\n\nb\n", "a\r\n\r\nb\r\n"},
                                           TextCase{"LoneCarriageReturnStays", "\r  \rTransferring",
                                                    "\r  \rTransferring"},
                                           TextCase{"CrLfGetsASecondCr", "a\r\n", "a\r\r\n"}),
                         TextCaseName);

TEST(Transcript, AddsEachPlatformsWaitPrompt) {
    using update_test::Platform;
    EXPECT_EQ(update_test::Transcript(Platform::kLinux, "x\n"),
              "x\nPress any key to continue . . . \n");
    EXPECT_EQ(update_test::Transcript(Platform::kWindows, "x\n"),
              "x\r\nPress any key to continue... ");
}

} // namespace
