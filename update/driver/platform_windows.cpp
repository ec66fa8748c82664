// The run sequence's operating-system services on Windows: the directory
// search for "*.led", the command interpreter's "pause", the user's interrupt
// and the trace file.
#include "driver/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace {

volatile LONG gInterrupt; // set by OnConsoleEvent

// Runs on a thread of its own. For a closing console the process ends when
// this returns, so it waits for the run to close its ports and exit first
// (the system allows a few seconds).
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        InterlockedExchange(&gInterrupt, 1);
        if (event == CTRL_CLOSE_EVENT) Sleep(10000);
        return TRUE;
    default: return FALSE;
    }
}

// The file's identity, whatever name or link reaches it.
bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return known;
}

bool SameFile(const char* a, const char* b) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return FileIdentity(a, &first) && FileIdentity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

} // namespace

// Only the search's first result is examined; the search is not continued.
FindResult FindFirstLedFile(char* name, size_t capacity) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA("*.led", &found);
    if (search == INVALID_HANDLE_VALUE) return kFindNone;
    FindClose(search);

    const size_t length = strlen(found.cFileName);
    if (length >= capacity) return kFindNameTooLong;
    memcpy(name, found.cFileName, length + 1);
    return kFindFound;
}

// The command interpreter's own "pause" prints its prompt and waits; its
// result is of no use. Only the main thread runs here.
void WaitForKey() {
    static_cast<void>(system("pause")); // NOLINT(cert-env33-c,concurrency-mt-unsafe)
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool InterruptRequested() { return InterlockedCompareExchange(&gInterrupt, 0, 0) != 0; }

// Written in text mode: CR LF line ends. A pipe without a reader cannot be
// opened at all, so the open never waits.
LogOpen OpenLogFile(const char* path, const char* firmware, FILE** log) {
    struct _stat64 status;
    if (_stat64(path, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFDIR) return kLogIsFolder;
    if (firmware != nullptr && SameFile(path, firmware)) return kLogIsFirmware;
    *log = fopen(path, "a");
    return *log != nullptr ? kLogOpened : kLogFailed;
}
