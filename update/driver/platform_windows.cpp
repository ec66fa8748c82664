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
// Names are UTF-8 (the command line is read as such); the system takes UTF-16.
constexpr int kWidePathSize = 32768;
wchar_t gWidePath[kWidePathSize];

const wchar_t* Widen(const char* path) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, gWidePath, kWidePathSize) == 0)
        return nullptr;
    return gWidePath;
}

bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const wchar_t* wide = Widen(path);
    if (wide == nullptr) return false;
    const HANDLE file = CreateFileW(wide, FILE_READ_ATTRIBUTES,
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

UINT gSavedOutputCodePage;

void RestoreOutputCodePage() { SetConsoleOutputCP(gSavedOutputCodePage); }

} // namespace

// Only the search's first result is examined; the search is not continued.
// The name is taken in UTF-16 and held in UTF-8, so that any name the file
// system holds is found, opened and printed as it is.
FindResult FindFirstLedFile(char* name, size_t capacity) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(L"*.led", &found);
    if (search == INVALID_HANDLE_VALUE) return kFindNone;
    FindClose(search);

    const int written = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name,
                                            static_cast<int>(capacity), nullptr, nullptr);
    if (written <= 0) return kFindNameTooLong;
    return kFindFound;
}

// A console shows the program's UTF-8 text as such; its code page is given
// back when the program ends.
bool PrepareConsoleOutput() {
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) return false;
    gSavedOutputCodePage = GetConsoleOutputCP();
    if (gSavedOutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        atexit(RestoreOutputCodePage);
    }
    return true;
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
    const wchar_t* wide = Widen(path);
    if (wide == nullptr) return kLogFailed;
    struct _stat64 status;
    if (_wstat64(wide, &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFDIR) return kLogIsFolder;
    if (firmware != nullptr && SameFile(path, firmware)) return kLogIsFirmware;
    *log = _wfopen(Widen(path), L"a");
    return *log != nullptr ? kLogOpened : kLogFailed;
}
