// The run sequence's operating-system services on Windows: the directory
// search for "*.led" and the command interpreter's "pause".
#include "driver/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#include <cstring>

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
