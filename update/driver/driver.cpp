// The fixed sequence of one update run: banner, file selection, image, device
// phase, and the wait for a key that ends every run.
#include "driver/driver.h"

#include <cstdint>
#include <cstdio>

#include "driver/platform.h"
#include "image/image.h"
#include "protocol/protocol.h"

namespace {

constexpr size_t kFileNameSize = 100; // at most 99 characters plus the terminator

struct PrefixEntry {
    char prefix[4];
    uint8_t modelCode;
};

// Accepted file-name prefixes, searched in this order.
constexpr PrefixEntry kPrefixTable[] = {
    {"Q25", 0x3B},
    {"Q49", 0x3B},
};

char gFileName[kFileNameSize];
FirmwareImage gImage; // owned by the run, lent to the device phase

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The model code of the first prefix that the name's first three characters
// match, ignoring ASCII case; 0 when none does.
uint8_t ModelCodeFor(const char* name) {
    for (const PrefixEntry& entry : kPrefixTable) {
        int k = 0;
        while (k < 3 && name[k] != '\0' && FoldCase(name[k]) == FoldCase(entry.prefix[k])) ++k;
        if (k == 3) return entry.modelCode;
    }
    return 0;
}

// Steps 1 to 7 of a run; every failure returns early to the wait for a key.
void RunSequence() {
    printf("Update V0.5 - Update KANTERRA Q25-Q49 System\n");

    snprintf(gFileName, sizeof gFileName, "%s", "*.led");
    const FindResult found = FindFirstLedFile(gFileName, sizeof gFileName);
    if (found == kFindNone) {
        printf("Error: File '%s' is not found.\n\n", "*.led");
        return;
    }
    if (found == kFindNameTooLong) {
        printf("Error: The file name is too long (at most %d characters)!\n\n",
               static_cast<int>(kFileNameSize - 1));
        return;
    }

    const uint8_t modelCode = ModelCodeFor(gFileName);
    if (modelCode == 0) {
        printf("Error: The fit file is not found.\n\n");
        return;
    }

    const LoadResult loaded = LoadImage(gFileName, &gImage);
    if (loaded == kLoadNotOpened) {
        printf("Error: File '%s' is not found.\n\n", gFileName);
        return;
    }
    if (loaded != kLoadOk) return; // the refusal has been printed
    if (!ValidateImage(&gImage)) return;

    RunDeviceUpdate(&gImage, modelCode);
}

} // namespace

int RunUpdate() {
    RunSequence();
    fflush(stdout);
    WaitForKey();
    return 0;
}
