// Fuzz target: any bytes as a .led text, scanned and validated.
//
// Beyond "no crash", an accepted image is walked again independently: it must
// consist of records of size at least 1 ending exactly at its length, each
// with a correct checksum read from within the image. Where the reading
// stopped early, the verdict on the rest is worked out again the slow way
// for texts up to 1 KiB: a stray byte must be one, and "a record follows"
// must match reading from every later line start on its own.
//
// Run with -timeout=2 (fuzz/fuzz_image.flags): the look past a stray line is
// linear in the text, so no input may take long.
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

FirmwareImage gLineImage;

bool IsWhiteSpace(int c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// The offset of a line and column (both from 1) in the text.
size_t OffsetOf(const uint8_t* data, size_t size, uint32_t line, uint32_t column) {
    size_t at = 0;
    for (uint32_t l = 1; l < line && at < size; ++at) {
        if (data[at] == '\n') ++l;
    }
    return at + column - 1;
}

// The first record of the fields read from `from` on, taken on its own:
// whole, with a correct checksum.
bool RecordReadFrom(const uint8_t* data, size_t size, size_t from) {
    if (!ScanImageText(data + from, size - from, &gLineImage)) abort(); // short texts only
    const uint32_t n = gLineImage.length;
    const uint8_t* b = gLineImage.bytes;
    if (n < 2) return false;
    const uint32_t recordSize = ((uint32_t{b[0]} << 8 | b[1]) + 2) & 0xFFFF;
    if (recordSize < 2) return false;
    const uint32_t needed = recordSize < 4 ? 4 : recordSize; // the word is the last two
    if (n < needed) return false;
    uint32_t sum = b[needed - 2] + 256u * b[needed - 1];
    for (uint32_t k = 2; k + 2 < needed; ++k) sum += b[k];
    return (sum & 0xFFFF) == 0;
}

void CheckStop(const uint8_t* data, size_t size, const TextStop& stop) {
    if (stop.end == kTextRead) return;
    const size_t at = OffsetOf(data, size, stop.line, stop.column);
    if (at >= size) abort();
    if (stop.end == kTextStrayByte) {
        if (data[at] != stop.byte || stop.byte >= 0x20 || IsWhiteSpace(stop.byte)) abort();
        if (stop.byte == 0x1A) {
            size_t k = at;
            while (k < size && (data[k] == 0x1A || IsWhiteSpace(data[k]))) ++k;
            if (k == size) abort(); // nothing but end marks and white space: accepted
        }
        return;
    }
    if (size > 1024) return; // the slow way is quadratic
    bool follows = false;
    for (size_t k = at; k < size && !follows; ++k) {
        if (data[k] == '\n') follows = RecordReadFrom(data, size, k + 1);
    }
    if (follows != (stop.end == kTextRecordFollows)) abort();
}

} // namespace

// The refusal messages go to standard output; keep them out of the fuzzer's log.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TextStop stop = {0, 0, kTextRead, 0};
    if (!ScanImageText(data, size, &gImage, &stop)) return 0; // more than 65,535 fields
    if (gImage.length > size) abort();                        // at least one text byte per field
    if (ValidateImage(&gImage) && !WholeRecordsWithValidChecksums(gImage)) abort();
    CheckStop(data, size, stop);
    return 0;
}
