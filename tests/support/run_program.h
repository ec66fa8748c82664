// Runs a program the way a user starts the updater from a console, but with
// everything it prints captured: working directory chosen, standard input
// from /dev/null or a file (not a terminal), standard output and standard
// error each into a file, extra environment variables, and a time limit.
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace update_test {

// A native run; wine needs longer, since its first run creates its prefix.
constexpr std::chrono::seconds kDefaultTimeLimit{30};
constexpr std::chrono::seconds kWineTimeLimit{90};

struct RunOptions {
    std::filesystem::path workDir; // the program's current directory
    std::vector<std::string> args; // arguments after the program's name
    std::filesystem::path input;   // standard input; empty: /dev/null
    // Variables added to the inherited environment (replacing one of the same name).
    std::vector<std::pair<std::string, std::string>> env;
    // Zero: the runner's default, kDefaultTimeLimit or, under wine, kWineTimeLimit.
    std::chrono::milliseconds timeLimit{0};
    // Asked while the program runs; once it returns true the program gets
    // interruptSignal: SIGINT is Ctrl-C at a console (wine passes it on as
    // CTRL_C_EVENT).
    std::function<bool()> interruptWhen{};
    int interruptSignal = SIGINT;
    // Once standard output holds this text, the program gets interruptSignal
    // too (what is written to a file is seen once the program flushed it).
    std::string interruptAtOutput{};
    // Non-zero: standard output is a pipe of which only the first
    // closeOutputAfter bytes are read before its reading end is closed, as by
    // `update | head -c N`; out holds those bytes.
    size_t closeOutputAfter = 0;
    // The program starts with no standard output at all (update >&-).
    bool noOutput = false;
    // Once it returns true the program is stopped (SIGSTOP) for pauseFor, as a
    // suspended computer or a starved process would be, then continued.
    std::function<bool()> pauseWhen{};
    std::chrono::milliseconds pauseFor{0};
};

struct RunResult {
    bool started = false;  // false: the program could not be started (see error)
    std::string error;     // why it could not be started
    std::string out;       // standard output, byte for byte
    std::string err;       // standard error, byte for byte
    bool timedOut = false; // killed at the time limit
    bool exited = false;   // ended through exit(); exitStatus holds the status
    int exitStatus = -1;
    int signal = 0; // the signal that ended it, when it did not exit
    // When the program was stopped for options.pauseFor (zero: never).
    std::chrono::system_clock::time_point pausedAt{};
};

// Runs the executable at program. Output goes to files outside the working
// directory (so the program does not see them) and is read back at the end.
// On the time limit the program's whole process group is killed.
RunResult RunProgram(const std::filesystem::path& program, const RunOptions& options);

// Runs a Windows executable through "wine" (found on PATH) with WINEDEBUG=-all,
// plus options.env (for example WINEDLLOVERRIDES). Output is written to files,
// never to a pipe, because a lingering wineserver can hold a pipe open.
RunResult RunUnderWine(const std::filesystem::path& exe, RunOptions options);

// The path of a program on PATH; empty when there is none.
std::filesystem::path FindOnPath(const std::string& name);
// FindOnPath("wine").
std::filesystem::path FindWine();

// A short account of a run for failure messages: how it ended and its stderr.
std::string Describe(const RunResult& result);

} // namespace update_test
