// Fuzz target: any bytes as a .led text, scanned and validated.
//
// Beyond "no crash", an accepted image is walked again independently: it must
// consist of records of size at least 1 ending exactly at its length, each
// with a correct checksum read from within the image.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "image/image.h"

namespace {

FirmwareImage gImage;

// An independent reading of the record rules: the checksum word follows the
// summed payload bytes, and every byte read lies before the image's length.
bool WholeRecordsWithValidChecksums(const FirmwareImage& image) {
    const uint32_t length = image.length;
    uint32_t p = 0;
    while (p < length) {
        if (p + 1 >= length) return false;
        const uint32_t size = ((uint32_t{image.bytes[p]} << 8 | image.bytes[p + 1]) + 2) & 0xFFFF;
        if (size == 0 || p + size > length) return false;
        const uint32_t summed = size > 4 ? size - 4 : 0;
        const uint32_t q = p + 2 + summed;
        if (q + 1 >= length) return false;
        uint32_t sum = 0;
        for (uint32_t k = p + 2; k < q; ++k) sum += image.bytes[k];
        sum += image.bytes[q] + 256u * image.bytes[q + 1];
        if ((sum & 0xFFFF) != 0) return false;
        p += size;
    }
    return true;
}

} // namespace

// The refusal messages go to standard output; keep them out of the fuzzer's log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!ScanImageText(data, size, &gImage)) return 0; // more than 65,535 fields
    if (gImage.length > size) abort();                 // at least one text byte per field
    if (ValidateImage(&gImage) && !WholeRecordsWithValidChecksums(gImage)) abort();
    return 0;
}
