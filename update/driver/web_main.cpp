// Entry of the update page's module: one run of the console program's
// sequence on a file that the page hands over by name and bytes.
//
// The page copies the file into the module's heap (never onto its stack: a
// file may be megabytes long). It is written under its own name into the
// module's in-memory file system, and the run is the command line the
// console program would get: the file, no wait for a key, the trace into a
// file the page offers for download, and the chosen input and output when
// the user picked them. The device phase's status goes to the page too.
#include <emscripten.h>
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "protocol/status.h"

namespace {

constexpr char kTracePath[] = "/update-trace.log";

// Writes the bytes to the named file in the current folder. False when the
// name cannot be a file name here or the write fails.
bool PlaceFile(const char* name, const uint8_t* bytes, unsigned size) {
    if (name[0] == '\0' || strchr(name, '/') != nullptr) return false;
    FILE* file = fopen(name, "wb");
    if (file == nullptr) return false;
    const bool written = fwrite(bytes, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

// What the device phase is doing, for the page's status line.
// clang-format off
EM_JS(void, WebStatus, (unsigned event, unsigned a, unsigned b, unsigned c, unsigned d), {
    if (Module.onStatus) Module.onStatus(event, a, b, c, d);
});
// clang-format on

void TellPage(unsigned event, unsigned a, unsigned b, unsigned c, unsigned d) {
    WebStatus(event, a, b, c, d);
}

} // namespace

// mode 0: an update; 1: the file check only. input, output: the device
// numbers to use, or -1 to search. Returns the console program's exit status
// (the run does not wait for a key).
extern "C" EMSCRIPTEN_KEEPALIVE int WebRun(const char* name, const uint8_t* bytes, unsigned size,
                                           int mode, int input, int output) {
    if (!PlaceFile(name, bytes, size)) {
        printf("Error: File '%s' is not found.\n\n", name);
        return 2;
    }
    char inputText[4];
    char outputText[4];
    snprintf(inputText, sizeof inputText, "%d", input);
    snprintf(outputText, sizeof outputText, "%d", output);

    char program[] = "update";
    char noPause[] = "--no-pause";
    char check[] = "--check";
    char log[] = "--log";
    char trace[sizeof kTracePath];
    memcpy(trace, kTracePath, sizeof kTracePath);
    char in[] = "--in";
    char out[] = "--out";
    char file[256];
    snprintf(file, sizeof file, "%s", name);

    char* argv[12];
    int argc = 0;
    argv[argc++] = program;
    argv[argc++] = noPause;
    if (mode == 1) {
        argv[argc++] = check;
    } else {
        argv[argc++] = log;
        argv[argc++] = trace;
        if (input >= 0) {
            argv[argc++] = in;
            argv[argc++] = inputText;
        }
        if (output >= 0) {
            argv[argc++] = out;
            argv[argc++] = outputText;
        }
    }
    argv[argc++] = file;
    argv[argc] = nullptr;
    optind = 0; // a fresh scan of the command line on every run
    SetStatusObserver(TellPage);
    const int status = RunUpdate(argc, argv);
    fflush(stdout);
    return status;
}
