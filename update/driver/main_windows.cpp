// Program entry on Windows: the command line is taken as the system holds it,
// in UTF-16, and handed to the driver in UTF-8, so that a file name outside
// the code page reaches the driver whole.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "driver/driver.h"

namespace {

constexpr int kMaxArguments = 256;
// A command line holds at most 32,767 UTF-16 units; each takes at most three
// bytes in UTF-8 (a surrogate pair, two units, takes four).
constexpr int kArgumentTextSize = 3 * 32768;

char gArgumentText[kArgumentTextSize];
char* gArguments[kMaxArguments + 1];

} // namespace

int wmain(int argc, wchar_t** argv) {
    int count = 0;
    int used = 0;
    for (int k = 0; k < argc && count < kMaxArguments; ++k) {
        const int written = WideCharToMultiByte(CP_UTF8, 0, argv[k], -1, gArgumentText + used,
                                                kArgumentTextSize - used, nullptr, nullptr);
        if (written <= 0) break;
        gArguments[count++] = gArgumentText + used;
        used += written;
    }
    gArguments[count] = nullptr;
    return RunUpdate(count, gArguments);
}
