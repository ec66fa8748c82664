#include "support/terminal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace update_test {
namespace {

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

} // namespace

RunResult RunOnTerminal(const std::filesystem::path& program, const RunOptions& options) {
    RunResult result;
    std::vector<std::string> args{program.string()};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) {
        result.error = std::string("forkpty: ") + strerror(errno);
        return result;
    }
    if (pid == 0) {
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
        for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    result.started = true;

    const auto limit = options.timeLimit.count() > 0 ? options.timeLimit
                                                     : std::chrono::milliseconds(kDefaultTimeLimit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    int status = 0;
    bool ended = false;
    // Reads until the program has ended and its last bytes are in: a server
    // process that it started (as wine's) may keep the terminal open longer.
    for (int quietPolls = 0; !ended || quietPolls < 4;) {
        if (!ended && std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        pollfd fd{master, POLLIN, 0};
        const int ready = poll(&fd, 1, 50);
        ssize_t got = 0;
        if (ready > 0) got = read(master, buffer, sizeof buffer);
        if (got > 0) {
            result.out.append(buffer, static_cast<size_t>(got));
            quietPolls = 0;
        } else {
            ++quietPolls;
            if (ended && got < 0 && errno != EINTR) break; // EIO: nobody holds the terminal
        }
        if (!ended && waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            quietPolls = 0;
        }
    }
    close(master);
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

TerminalScreen ReplayOnTerminal(const std::string& bytes) {
    TerminalScreen screen;
    screen.rows.emplace_back();
    size_t column = 0;
    auto leave = [&screen]() {
        const std::string row = TrimRight(screen.rows.back());
        if (!row.empty()) screen.shown.push_back(row);
    };
    for (size_t k = 0; k < bytes.size(); ++k) {
        const char c = bytes[k];
        std::string& row = screen.rows.back();
        if (c == '\r') {
            leave();
            column = 0;
        } else if (c == '\n') {
            leave();
            screen.rows.emplace_back();
            column = 0;
        } else if (c == '\x1b' && k + 1 < bytes.size() && bytes[k + 1] == '[') {
            // A control sequence: parameters, then one final letter.
            size_t end = k + 2;
            while (end < bytes.size() && !((bytes[end] >= '@' && bytes[end] <= '~'))) ++end;
            if (end >= bytes.size()) break;
            const std::string parameters = bytes.substr(k + 2, end - k - 2);
            if (bytes[end] == 'K') {
                if (row.size() > column) row.resize(column);
            } else if (bytes[end] == 'C') {
                column += parameters.empty() ? 1 : std::strtoul(parameters.c_str(), nullptr, 10);
            }
            k = end;
        } else if (c == '\x1b' && k + 1 < bytes.size() && bytes[k + 1] == ']') {
            // An operating system command (a window title): up to BEL or ESC backslash.
            while (k < bytes.size() && bytes[k] != '\a' && !(bytes[k] == '\\' && bytes[k - 1] == '\x1b')) ++k;
        } else if (static_cast<unsigned char>(c) >= 0x20) {
            if (row.size() < column + 1) row.resize(column + 1, ' ');
            row[column++] = c;
        }
    }
    for (std::string& row : screen.rows) row = TrimRight(row);
    while (!screen.rows.empty() && screen.rows.back().empty()) screen.rows.pop_back();
    return screen;
}

} // namespace update_test
