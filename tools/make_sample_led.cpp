// Writes the sample firmware file: a few hundred records of mixed sizes with
// made-up payload bytes and correct checksums, as hexadecimal text. The
// output depends on nothing but this program, so it can be regenerated and
// compared with the stored sample.
//
// Usage: make_sample_led OUTPUT
#include <cstdint>
#include <cstdio>

namespace {

constexpr int kRecordCount = 300;
constexpr int kBytesPerLine = 32;
constexpr uint32_t kMaxImageLength = 65535;

// Payload sizes of the first records, chosen so that the record sizes (payload
// plus 4) meet the 11-byte chunking of the transfer at its edges: 4 (empty
// payload), 5, 10, 11, 12, 21, 22, 23, 33, 44. Later records take sizes from
// the generator below.
constexpr int kLeadingPayloadSizes[] = {0, 1, 6, 7, 8, 17, 18, 19, 29, 40};
constexpr int kLeadingCount = sizeof kLeadingPayloadSizes / sizeof kLeadingPayloadSizes[0];
constexpr int kMaxPayload = 124;

uint32_t gState = 0x2545F491u; // fixed seed: the same file every time

// A small xorshift generator: deterministic on every platform.
uint32_t NextRandom() {
    gState ^= gState << 13;
    gState ^= gState >> 17;
    gState ^= gState << 5;
    return gState;
}

uint32_t gImageLength = 0;

// Writes bytes as upper-case hexadecimal pairs, kBytesPerLine to a line; the
// column is carried across calls so that one record may span several lines.
void WriteHex(FILE* out, const uint8_t* bytes, int count, int* column) {
    for (int k = 0; k < count; ++k) {
        if (*column == kBytesPerLine) {
            fputc('\n', out);
            *column = 0;
        }
        fprintf(out, "%02X", bytes[k]);
        ++*column;
    }
    gImageLength += static_cast<uint32_t>(count);
}

// One record on lines of its own: big-endian length L = payload + 2, the
// payload, then the little-endian checksum that makes the 16-bit sum of the
// payload and the checksum word 0.
void WriteRecord(FILE* out, int payloadSize) {
    uint8_t record[kMaxPayload + 4];
    const int length = payloadSize + 2;
    record[0] = static_cast<uint8_t>(length >> 8);
    record[1] = static_cast<uint8_t>(length & 0xFF);
    uint16_t sum = 0;
    for (int k = 0; k < payloadSize; ++k) {
        record[2 + k] = static_cast<uint8_t>(NextRandom() >> 24);
        sum = static_cast<uint16_t>(sum + record[2 + k]);
    }
    const uint16_t checksum = static_cast<uint16_t>(0x10000u - sum);
    record[2 + payloadSize] = static_cast<uint8_t>(checksum & 0xFF);
    record[3 + payloadSize] = static_cast<uint8_t>(checksum >> 8);

    int column = 0;
    WriteHex(out, record, payloadSize + 4, &column);
    fputc('\n', out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_sample_led OUTPUT\n");
        return 2;
    }
    FILE* out = fopen(argv[1], "wb");
    if (out == nullptr) {
        perror(argv[1]);
        return 1;
    }
    for (int r = 0; r < kRecordCount; ++r) {
        const int payloadSize = r < kLeadingCount
                                    ? kLeadingPayloadSizes[r]
                                    : 1 + static_cast<int>(NextRandom() % kMaxPayload);
        WriteRecord(out, payloadSize);
    }
    const bool written = fclose(out) == 0;
    if (!written || gImageLength > kMaxImageLength) {
        fprintf(stderr, "make_sample_led: %s\n", written ? "image too long" : "write failed");
        return 1;
    }
    printf("%s: %d records, %u bytes\n", argv[1], kRecordCount,
           static_cast<unsigned>(gImageLength));
    return 0;
}
