#include "support/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "support/temp_folder.h"

extern char** environ;

namespace update_test {
namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The inherited environment with the extra variables added or replaced; of
// two extras with one name, the later one wins.
std::vector<std::string>
BuildEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) result.emplace_back(*entry);
    // The test build's Linux MIDI layer then sees no sequencer: a keyboard
    // connected to this machine never gets test data. The test VM, whose
    // sequencer is the one under test, sets it to 0.
    std::vector<std::pair<std::string, std::string>> variables;
    if (getenv("UPDATE_TEST_NO_SEQUENCER") == nullptr)
        variables.emplace_back("UPDATE_TEST_NO_SEQUENCER", "1");
    variables.insert(variables.end(), extra.begin(), extra.end());
    for (const auto& variable : variables) {
        const std::string& name = variable.first;
        const auto sameName = [&name](const std::string& entry) { return NameOf(entry) == name; };
        result.erase(std::remove_if(result.begin(), result.end(), sameName), result.end());
        result.push_back(name + "=" + variable.second);
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// In the child, between fork and exec: only async-signal-safe calls. On a
// failure the errno is sent back through the report pipe.
[[noreturn]] void ExecChild(const char* workDir, const char* inPath, const char* outPath,
                            int outPipe, bool noOutput, const char* errPath, char* const argv[],
                            char* const envp[], int reportFd) {
    setpgid(0, 0);
    int failure = 0;
    const int in = open(inPath, O_RDONLY);
    const int out = outPipe >= 0 ? outPipe : open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 ||
        dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0 || chdir(workDir) != 0) {
        failure = errno;
    } else {
        if (in > STDERR_FILENO) close(in);
        if (out > STDERR_FILENO) close(out);
        if (err > STDERR_FILENO) close(err);
        if (noOutput) close(STDOUT_FILENO);
        execve(argv[0], argv, envp);
        failure = errno;
    }
    const ssize_t ignored = write(reportFd, &failure, sizeof failure);
    static_cast<void>(ignored);
    _exit(127);
}

} // namespace

RunResult RunProgram(const std::filesystem::path& program, const RunOptions& options) {
    RunResult result;
    const TempFolder outputs;
    const std::string outPath = (outputs.Path() / "stdout").string();
    const std::string errPath = (outputs.Path() / "stderr").string();
    const std::string workDir =
        options.workDir.empty() ? std::string(".") : options.workDir.string();
    const std::string inPath =
        options.input.empty() ? std::string("/dev/null") : options.input.string();

    std::vector<std::string> argStrings{program.string()};
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<std::string> envStrings = BuildEnvironment(options.env);
    const std::vector<char*> argv = Pointers(argStrings);
    const std::vector<char*> envp = Pointers(envStrings);

    // Standard output as a pipe that is read only in part.
    int outPipe[2] = {-1, -1};
    if (options.closeOutputAfter > 0 && pipe2(outPipe, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + strerror(errno);
        return result;
    }
    std::string piped;

    // Reports a failure to start: the exec closes the write end on success.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        result.error = std::string("pipe: ") + strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        result.error = std::string("fork: ") + strerror(errno);
        close(report[0]);
        close(report[1]);
        return result;
    }
    if (pid == 0) {
        close(report[0]);
        ExecChild(workDir.c_str(), inPath.c_str(), outPath.c_str(), outPipe[1], options.noOutput,
                  errPath.c_str(), argv.data(), envp.data(), report[1]);
    }
    setpgid(pid, pid); // also from here, so that the group exists before any kill
    close(report[1]);
    if (outPipe[1] >= 0) {
        close(outPipe[1]);
        fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
    }
    // Reads what the pipe holds, up to closeOutputAfter bytes in all, then
    // closes its reading end.
    const auto readPipe = [&] {
        while (outPipe[0] >= 0 && piped.size() < options.closeOutputAfter) {
            char buffer[4096];
            const size_t want = std::min(sizeof buffer, options.closeOutputAfter - piped.size());
            const ssize_t n = read(outPipe[0], buffer, want);
            if (n <= 0) {
                if (n == 0) {
                    close(outPipe[0]);
                    outPipe[0] = -1;
                }
                return;
            }
            piped.append(buffer, static_cast<size_t>(n));
        }
        if (outPipe[0] >= 0) {
            close(outPipe[0]);
            outPipe[0] = -1;
        }
    };
    int childErrno = 0;
    ssize_t got;
    while ((got = read(report[0], &childErrno, sizeof childErrno)) < 0 && errno == EINTR) {
    }
    close(report[0]);

    const std::chrono::milliseconds limit = options.timeLimit.count() > 0
                                                ? options.timeLimit
                                                : std::chrono::milliseconds(kDefaultTimeLimit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    bool interrupted = false;
    bool paused = false;
    auto resumeAt = deadline;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        readPipe();
        if (!interrupted && ((options.interruptWhen && options.interruptWhen()) ||
                             (!options.interruptAtOutput.empty() &&
                              ReadFileBytes(outPath).find(options.interruptAtOutput) !=
                                  std::string::npos))) {
            kill(pid, options.interruptSignal);
            interrupted = true;
        }
        if (!paused && options.pauseWhen && options.pauseWhen()) {
            kill(pid, SIGSTOP);
            result.pausedAt = std::chrono::system_clock::now();
            paused = true;
            resumeAt = std::chrono::steady_clock::now() + options.pauseFor;
        }
        if (paused && std::chrono::steady_clock::now() >= resumeAt) {
            kill(pid, SIGCONT);
            resumeAt = deadline + limit; // once
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    readPipe();
    if (outPipe[0] >= 0) close(outPipe[0]);
    result.out = options.closeOutputAfter > 0 ? piped : ReadFileBytes(outPath);
    result.err = ReadFileBytes(errPath);
    if (got > 0) {
        result.error = "cannot start " + program.string() + ": " + strerror(childErrno);
        return result;
    }
    result.started = true;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::filesystem::path FindWine() { return FindOnPath("wine"); }

std::filesystem::path FindOnPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) continue;
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

RunResult RunUnderWine(const std::filesystem::path& exe, RunOptions options) {
    const std::filesystem::path wine = FindWine();
    if (wine.empty()) {
        RunResult result;
        result.error = "wine is not on PATH (install the Debian package wine)";
        return result;
    }
    options.args.insert(options.args.begin(), std::filesystem::absolute(exe).string());
    options.env.insert(options.env.begin(), {"WINEDEBUG", "-all"});
    // Wine's own MIDI driver would reach this machine's sequencer; a test that
    // brings the stand-in winmm.dll overrides this.
    options.env.insert(options.env.begin(), {"WINEDLLOVERRIDES", "winealsa.drv=d"});
    if (options.timeLimit.count() <= 0) options.timeLimit = kWineTimeLimit;
    return RunProgram(wine, options);
}

std::string Describe(const RunResult& result) {
    std::ostringstream text;
    if (!result.started) {
        text << "not started: " << result.error;
    } else if (result.timedOut) {
        text << "killed at the time limit";
    } else if (result.exited) {
        text << "exited with status " << result.exitStatus;
    } else {
        text << "ended by signal " << result.signal;
    }
    if (!result.err.empty()) text << "; stderr:\n" << result.err;
    return text.str();
}

} // namespace update_test
