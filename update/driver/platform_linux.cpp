// The run sequence's operating-system services on Linux: the first "*.led"
// entry of the current directory, the closing wait for a key, the user's
// interrupt, and the trace file.
#include "driver/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"

namespace {

// The signals that end the process while it waits for a key; the terminal
// must not be left without echo when one of them arrives.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kEndSignalCount = sizeof kEndSignals / sizeof kEndSignals[0];

termios gSavedTerminal;                          // the terminal's mode before the wait
volatile sig_atomic_t gTerminalChanged;          // the wait changed the terminal's mode
struct sigaction gSavedActions[kEndSignalCount]; // the handlers before the wait
bool gInstalled[kEndSignalCount];                // which signals the wait took over

volatile sig_atomic_t gInterrupt; // the signal that asked to stop; 0: none

extern "C" void OnInterrupt(int signalNumber) { gInterrupt = signalNumber; }

bool SameFile(const struct stat* a, const struct stat* b) {
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

void RestoreHandlers() {
    for (int k = 0; k < kEndSignalCount; ++k) {
        if (gInstalled[k]) sigaction(kEndSignals[k], &gSavedActions[k], nullptr);
        gInstalled[k] = false;
    }
}

// A signal that ends the process arrived during the wait: give the terminal its
// mode back, then let the signal end the process with its default action.
// Only async-signal-safe calls.
void EndBySignal(int signalNumber) {
    if (gTerminalChanged != 0) tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    RestoreHandlers();
    struct sigaction defaultAction;
    memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    raise(signalNumber); // in a handler: delivered when it returns and unblocks it
}

extern "C" void OnEndSignal(int signalNumber) { EndBySignal(signalNumber); }

// Catches the ending signals for the duration of the wait. A signal that was
// ignored when the program started (as under nohup) stays ignored.
void InstallHandlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < kEndSignalCount; ++k) sigaddset(&action.sa_mask, kEndSignals[k]);
    for (int k = 0; k < kEndSignalCount; ++k) {
        gInstalled[k] = false;
        if (sigaction(kEndSignals[k], nullptr, &gSavedActions[k]) != 0) continue;
        if (gSavedActions[k].sa_handler == SIG_IGN) continue;
        gInstalled[k] = sigaction(kEndSignals[k], &action, nullptr) == 0;
    }
}

// Reads one byte of standard input, or returns at its end or on an error.
void ReadOneByte() {
    char byte;
    while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
}

// Waits for one key on a terminal: no line editing and no echo while waiting.
void ReadOneKey() {
    if (tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0) {
        ReadOneByte();
        return;
    }
    termios raw = gSavedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    gTerminalChanged = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        ReadOneByte();
        tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    } else {
        ReadOneByte();
    }
    gTerminalChanged = 0;
}

// True when path, or the last target of the symbolic links it is (existing
// or not), is named .led: writing to path would write that file.
bool LinksToLedName(const char* path) {
    char name[PATH_MAX];
    char target[PATH_MAX];
    if (snprintf(name, sizeof name, "%s", path) >= static_cast<int>(sizeof name)) return false;
    for (int hop = 0; hop < 40; ++hop) { // as many links as the system follows
        struct stat status;
        if (lstat(name, &status) != 0 || !S_ISLNK(status.st_mode)) break;
        const ssize_t length = readlink(name, target, sizeof target - 1);
        if (length < 0) break;
        target[length] = '\0';
        // A relative target is taken from the link's own folder.
        const char* slash = strrchr(name, '/');
        if (target[0] == '/' || slash == nullptr) {
            memcpy(name, target, static_cast<size_t>(length) + 1);
        } else {
            const size_t folder = static_cast<size_t>(slash - name) + 1;
            if (folder + static_cast<size_t>(length) + 1 > sizeof name) return false;
            memcpy(name + folder, target, static_cast<size_t>(length) + 1);
        }
    }
    return HasLedExtension(name);
}

// True when the opened file's own name, as the system holds it, is a .led
// name (the name may have changed between the look and the open).
bool OpenedAsLedFile(int fd) {
    char link[64];
    char name[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, name, sizeof name - 1);
    if (length < 0) return false; // no /proc: the look before the open stands
    name[length] = '\0';
    return HasLedExtension(name);
}

} // namespace

// Takes the first entry in the directory's own order whose name ends in ".led"
// (any case). Directories are not told from files; only that one entry is
// examined.
FindResult FindFirstLedFile(char* name, size_t capacity) {
    DIR* directory = opendir(".");
    if (directory == nullptr) return kFindNone;

    FindResult result = kFindNone;
    // readdir is safe here: this stream is private to this call on one thread.
    while (const dirent* entry = readdir(directory)) { // NOLINT(concurrency-mt-unsafe)
        if (!HasLedExtension(entry->d_name)) continue;
        const size_t length = strlen(entry->d_name);
        if (length >= capacity) {
            result = kFindNameTooLong;
        } else {
            memcpy(name, entry->d_name, length + 1);
            result = kFindFound;
        }
        break;
    }
    closedir(directory);
    return result;
}

bool PrepareConsoleOutput() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // The lowest free descriptor is fd itself.
            if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) break;
        }
    }
    // A reader of the console's pipe that goes away (update | head, a pager
    // that is quit) fails the writes instead of ending the update midway.
    signal(SIGPIPE, SIG_IGN);
    return isatty(STDOUT_FILENO) != 0;
}

// Stands in for the command interpreter's "pause": prints the prompt and
// waits for one key, or for one byte or the end of input when standard input
// is not a terminal. Ctrl-C, SIGTERM and SIGHUP end the wait and the process
// at once, also when they came just before it.
void WaitForKey() {
    printf("Press any key to continue . . . ");
    fflush(stdout);
    InstallHandlers();
    if (gInterrupt != 0) EndBySignal(gInterrupt);
    if (isatty(STDIN_FILENO)) {
        ReadOneKey();
    } else {
        ReadOneByte();
    }
    RestoreHandlers();
    printf("\n");
    fflush(stdout);
}

bool PathExists(const char* path) {
    struct stat status;
    return stat(path, &status) == 0;
}

void CatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART; // a file read goes on; the run asks the flag
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kEndSignals) {
        struct sigaction current;
        // A signal ignored when the program started (as under nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

bool InterruptRequested() { return gInterrupt != 0; }

// Opened without waiting: a named pipe without a reader fails at once
// (ENXIO) instead of waiting for one. A pipe or socket stays non-blocking, so
// a reader that stops reading cannot stall the update; its lost lines are
// told at the end. Anything else writes as usual.
LogOpen OpenLogFile(const char* path, const char* firmware, FILE** log) {
    struct stat firmwareStatus;
    const bool haveFirmware = firmware != nullptr && stat(firmware, &firmwareStatus) == 0;
    struct stat status;
    if (stat(path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) return kLogIsFolder;
        if (haveFirmware && SameFile(&status, &firmwareStatus)) return kLogIsFirmware;
    }
    if (LinksToLedName(path)) return kLogIsLedFile;
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ENXIO) return kLogNoReader;
        return errno == EISDIR ? kLogIsFolder : kLogFailed;
    }
    // The name may have changed between the look and the open.
    LogOpen result = kLogOpened;
    if (fstat(fd, &status) != 0) {
        result = kLogFailed;
    } else if (S_ISDIR(status.st_mode)) {
        result = kLogIsFolder;
    } else if (haveFirmware && SameFile(&status, &firmwareStatus)) {
        result = kLogIsFirmware;
    }
    if (result == kLogOpened && !S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) result = kLogFailed;
    }
    if (result == kLogOpened && OpenedAsLedFile(fd)) result = kLogIsLedFile;
    if (result == kLogOpened) {
        *log = fdopen(fd, "a"); // a reader of a pipe that goes away fails the write
        if (*log != nullptr) return kLogOpened;
        result = kLogFailed;
    }
    close(fd);
    return result;
}
