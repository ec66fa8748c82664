// The run sequence's operating-system services on Windows: the directory
// search for "*.led", the command interpreter's "pause", the user's interrupt
// and the trace file.
#include "driver/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <io.h>

#include "driver/driver.h"

namespace {

volatile LONG gInterrupt; // set by OnConsoleEvent
volatile LONG gWaiting;   // the run is in its closing wait for a key

UINT gSavedOutputCodePage; // 0: the console's code page was not changed

void RestoreOutputCodePage() {
    if (gSavedOutputCodePage != 0) SetConsoleOutputCP(gSavedOutputCodePage);
}

// Runs on a thread of its own. For a closing console the process ends when
// this returns, so it waits for the run to close its ports and exit first
// (the system allows a few seconds). During the closing wait for a key there
// is nothing left to close: the process ends at once, with status 130, even
// when the command interpreter's "pause" reads from a pipe that stays open.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        InterlockedExchange(&gInterrupt, 1);
        if (InterlockedCompareExchange(&gWaiting, 0, 0) != 0) {
            RestoreOutputCodePage();
            ExitProcess(130);
        }
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

// Opens an existing file or folder for its attributes only, following links.
HANDLE OpenForAttributes(const char* path) {
    const wchar_t* wide = Widen(path);
    if (wide == nullptr) return INVALID_HANDLE_VALUE;
    return CreateFileW(wide, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool FileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
    const HANDLE file = OpenForAttributes(path);
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

// The file name the system opens for path: a stream suffix (":name",
// "::$DATA") is cut off, and so are trailing dots and spaces, which the
// system drops ("Q49x.led." and "Q49x.led " open Q49x.led).
bool OpensAsLedName(const char* path) {
    char name[1024];
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    // A drive's colon ("C:Q49.led") is no stream.
    if (base == path &&
        ((base[0] >= 'A' && base[0] <= 'Z') || (base[0] >= 'a' && base[0] <= 'z')) &&
        base[1] == ':') {
        base += 2;
    }
    size_t length = 0;
    while (base[length] != '\0' && base[length] != ':' && length + 1 < sizeof name) {
        name[length] = base[length];
        ++length;
    }
    while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) --length;
    name[length] = '\0';
    return HasLedExtension(name);
}

// True when the file open as handle is named .led in its final path (after
// links and junctions).
bool FinalNameIsLed(HANDLE handle) {
    static wchar_t finalPath[kWidePathSize];
    static char narrow[3 * kWidePathSize];
    const DWORD length = GetFinalPathNameByHandleW(handle, finalPath, kWidePathSize, 0);
    if (length == 0 || length >= kWidePathSize) return false;
    if (WideCharToMultiByte(CP_UTF8, 0, finalPath, -1, narrow, sizeof narrow, nullptr, nullptr) <=
        0)
        return false;
    return OpensAsLedName(narrow);
}

// True when an existing path reaches a file whose final name is .led.
bool ExistingFileIsLed(const char* path) {
    const HANDLE file = OpenForAttributes(path);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool led = FinalNameIsLed(file);
    CloseHandle(file);
    return led;
}

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
    const UINT codePage = GetConsoleOutputCP();
    if (codePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        gSavedOutputCodePage = codePage;
        atexit(RestoreOutputCodePage);
    }
    return true;
}

// The command interpreter's own "pause" prints its prompt and waits; its
// result is of no use. Only the main thread runs here.
void WaitForKey() {
    InterlockedExchange(&gWaiting, 1);
    if (InterruptRequested()) return;   // asked to stop just before the wait
    static_cast<void>(system("pause")); // NOLINT(cert-env33-c,concurrency-mt-unsafe)
}

bool PathExists(const char* path) {
    const wchar_t* wide = Widen(path);
    return wide != nullptr && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
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
    if (OpensAsLedName(path) || ExistingFileIsLed(path)) return kLogIsLedFile;
    // A link whose target is not there would create a file under a name not
    // seen here. (The checks above reuse the buffer that wide points to.)
    const DWORD attributes = GetFileAttributesW(Widen(path));
    BY_HANDLE_FILE_INFORMATION info;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        !FileIdentity(path, &info)) {
        return kLogFailed;
    }
    *log = _wfopen(Widen(path), L"a");
    if (*log == nullptr) return kLogFailed;
    // The name may have changed between the look and the open.
    if (FinalNameIsLed(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(*log))))) {
        fclose(*log);
        *log = nullptr;
        return kLogIsLedFile;
    }
    return kLogOpened;
}
