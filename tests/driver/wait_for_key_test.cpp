// The closing wait for a key on Linux when standard input is a terminal: the
// program runs on a pseudo-terminal, as in a console window. The wait must
// take one key without echo or line editing, and leave the terminal as it
// found it however the wait ends: by a key, or by Ctrl+C, SIGTERM or SIGHUP,
// which still end the process the usual way. The same with standard input a
// pipe that stays open (sleep 20 | update, on the terminal): the signals end
// the wait at once there too.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>

#include "support/temp_folder.h"
#include "support/update_program.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTimeLimit = std::chrono::seconds(10);

// The updater started in an empty folder on a pseudo-terminal of its own (as
// its controlling terminal). The test keeps the terminal's own side open to
// look at its modes.
class TerminalRun {
public:
    TerminalRun() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        slaveName_ = ptsname(master_);
        terminal_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
    }

    bool Opened() const { return terminal_ >= 0; }

    // Starts the program in folder; false when it could not be forked. With
    // pipeInput its standard input is a pipe that this object holds open.
    bool Start(const std::filesystem::path& folder, bool pipeInput) {
        const std::string program = update_test::NativeUpdatePath().string();
        const std::string workDir = folder.string();
        int input[2] = {-1, -1};
        if (pipeInput && pipe(input) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            // A console session's defaults, whatever this test process inherited
            // (a shell's background job ignores SIGINT, for one).
            for (const int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) signal(number, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            setsid();
            close(master_);
            close(terminal_);
            const int tty = open(slaveName_.c_str(), O_RDWR);
            if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0 || chdir(workDir.c_str()) != 0) _exit(126);
            dup2(pipeInput ? input[0] : tty, STDIN_FILENO);
            if (pipeInput) {
                close(input[0]);
                close(input[1]);
            }
            dup2(tty, STDOUT_FILENO);
            dup2(tty, STDERR_FILENO);
            if (tty > STDERR_FILENO) close(tty);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pipeInput) {
            close(input[0]);
            input_ = input[1];
        }
        return pid_ > 0;
    }

    ~TerminalRun() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (terminal_ >= 0) close(terminal_);
        if (master_ >= 0) close(master_);
        if (input_ >= 0) close(input_);
    }

    pid_t Pid() const { return pid_; }
    const std::string& Output() const { return output_; }

    // Reads what the program shows until text has appeared; false at the time limit.
    bool ReadUntil(const std::string& text) {
        const auto deadline = Clock::now() + kTimeLimit;
        while (output_.find(text) == std::string::npos) {
            if (Clock::now() >= deadline) return false;
            ReadSome(10);
        }
        return true;
    }

    // Waits until the terminal's modes satisfy wanted; false at the time limit.
    template <typename Predicate> bool WaitForModes(Predicate wanted) {
        const auto deadline = Clock::now() + kTimeLimit;
        while (Clock::now() < deadline) {
            if (wanted(Modes())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    termios Modes() const {
        termios modes{};
        tcgetattr(terminal_, &modes);
        return modes;
    }

    // Types at the terminal, or writes into the input pipe.
    void Type(const std::string& keys) {
        const int to = input_ >= 0 ? input_ : master_;
        ASSERT_EQ(write(to, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Waits for the program to end, reading all it shows; false at the time limit.
    bool WaitForEnd(int* status) {
        const auto deadline = Clock::now() + kTimeLimit;
        while (Clock::now() < deadline) {
            ReadSome(5);
            if (waitpid(pid_, status, WNOHANG) == pid_) {
                reaped_ = true;
                while (ReadSome(0)) {
                }
                return true;
            }
        }
        return false;
    }

private:
    // Reads what is there within timeoutMs; false when nothing came.
    bool ReadSome(int timeoutMs) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) <= 0 || (ready.revents & POLLIN) == 0) return false;
        char buffer[256];
        const ssize_t got = read(master_, buffer, sizeof buffer);
        if (got <= 0) return false;
        output_.append(buffer, static_cast<size_t>(got));
        return true;
    }

    int master_ = -1;
    int terminal_ = -1;
    std::string slaveName_;
    int input_ = -1; // the pipe to the program's standard input
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string output_;
};

// What the terminal shows for a run in an empty folder, up to the prompt (the
// terminal turns each line feed into CR LF).
const std::string kUpToPrompt =
    "Update V0.5 - Update KANTERRA Q25-Q49 System\r\nError: File '*.led' is not found.\r\n\r\n"
    "Press any key to continue . . . ";

bool EditingAndEchoOn(const termios& modes) {
    return (modes.c_lflag & ICANON) != 0 && (modes.c_lflag & ECHO) != 0;
}
bool EditingAndEchoOff(const termios& modes) { return (modes.c_lflag & (ICANON | ECHO)) == 0; }

struct EndOfWait {
    const char* label;
    const char* keys; // typed at the terminal; empty: a signal is sent instead
    int signal;       // sent to the program when no keys are typed
    int endsBy;       // 0: exits with status 0; otherwise the signal that ends it
    const char* shownAfterPrompt;
    bool pipeInput = false; // standard input a pipe held open, not the terminal
};

void PrintTo(const EndOfWait& end, std::ostream* out) { *out << end.label; }

const EndOfWait kEnds[] = {
    {"Key", "x", 0, 0, "\r\n"}, // the key is not echoed; the line ends
    {"Space", " ", 0, 0, "\r\n"},
    {"CtrlC", "\x03", 0, SIGINT, ""}, // with echo off the terminal shows no ^C
    {"Sigterm", "", SIGTERM, SIGTERM, ""},
    {"Sighup", "", SIGHUP, SIGHUP, ""},
    // Standard input a pipe that stays open: a byte ends the wait, and so
    // does any of the signals, at once.
    {"PipeByte", "x", 0, 0, "\r\n", true},
    {"PipeSigint", "", SIGINT, SIGINT, "", true},
    {"PipeSigterm", "", SIGTERM, SIGTERM, "", true},
    {"PipeSighup", "", SIGHUP, SIGHUP, "", true},
};

class WaitForKeyOnTerminal : public ::testing::TestWithParam<EndOfWait> {};

TEST_P(WaitForKeyOnTerminal, EndsAsUsualAndRestoresTheTerminal) {
    const EndOfWait& end = GetParam();
    const update_test::TempFolder folder;
    TerminalRun run;
    ASSERT_TRUE(run.Opened());
    ASSERT_TRUE(EditingAndEchoOn(run.Modes()))
        << "the pseudo-terminal should start in its usual modes";
    ASSERT_TRUE(run.Start(folder.Path(), end.pipeInput));

    ASSERT_TRUE(run.ReadUntil(kUpToPrompt)) << "shown so far:\n" << run.Output();
    if (!end.pipeInput) {
        ASSERT_TRUE(run.WaitForModes(EditingAndEchoOff))
            << "the wait did not turn off line editing and echo";
    }

    if (end.keys[0] != '\0') {
        run.Type(end.keys);
    } else {
        ASSERT_EQ(kill(run.Pid(), end.signal), 0);
    }
    int status = 0;
    ASSERT_TRUE(run.WaitForEnd(&status)) << "the program did not end; shown:\n" << run.Output();

    if (end.endsBy == 0) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    } else {
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), end.endsBy);
    }
    EXPECT_EQ(run.Output(), kUpToPrompt + end.shownAfterPrompt);
    EXPECT_TRUE(EditingAndEchoOn(run.Modes()))
        << "the terminal was left without line editing or echo";
}

std::string EndName(const ::testing::TestParamInfo<EndOfWait>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(Ends, WaitForKeyOnTerminal, ::testing::ValuesIn(kEnds), EndName);

} // namespace
