// The run sequence's operating-system services on Windows: the directory
// search for "*.led" and the command interpreter's "pause".
#include "driver/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

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
