// Firmware image: reads the hexadecimal text of a .led file into the image and
// checks that the image is an unbroken run of records whose checksums hold.
#include "image/image.h"

#include <cstdio>
#include <sys/stat.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef LoadImage // the system's macro for LoadImageA/W would rename ours
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// File reads go through this buffer; the text is pulled from it byte by byte.
constexpr size_t kReadBufferSize = 4096;
uint8_t gReadBuffer[kReadBufferSize];

// A source of text bytes: either a memory block (file == nullptr) or a file
// read in pieces into gReadBuffer. data/size/pos describe the bytes at hand.
struct TextReader {
    const uint8_t* data;
    size_t size;
    size_t pos;
    FILE* file;
    bool ended;  // the file gave no more bytes (end of file or a read error)
    bool failed; // ... because a read failed
};

constexpr int kEndOfText = -1;

// The next byte without taking it, or kEndOfText.
int PeekByte(TextReader* reader) {
    if (reader->pos == reader->size) {
        if (reader->file == nullptr || reader->ended) return kEndOfText;
        // A read error ends the text as the end of the file does, and is
        // noted so that the file is refused.
        const size_t got = fread(gReadBuffer, 1, kReadBufferSize, reader->file);
        reader->data = gReadBuffer;
        reader->size = got;
        reader->pos = 0;
        if (got == 0) {
            reader->ended = true;
            reader->failed = ferror(reader->file) != 0;
            return kEndOfText;
        }
    }
    return reader->data[reader->pos];
}

void TakeByte(TextReader* reader) {
    if (PeekByte(reader) != kEndOfText) reader->pos++;
}

// Plain ASCII classes, independent of any locale.
bool IsWhiteSpace(int c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// The value of a hexadecimal digit, or -1 for any other byte.
int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Scans one field: white space, an optional sign (taking one of the two digit
// places), an optional "0x"/"0X" prefix (taking none), then one or two hex
// digits. Returns false when the field holds no digit: the reading ends there.
bool ScanField(TextReader* reader, uint8_t* value) {
    while (IsWhiteSpace(PeekByte(reader))) TakeByte(reader);

    int places = 2;
    bool negative = false;
    int c = PeekByte(reader);
    if (c == '+' || c == '-') {
        negative = (c == '-');
        TakeByte(reader);
        places = 1;
    }

    int number = 0;
    int digits = 0;
    if (PeekByte(reader) == '0') {
        // A 0 is either the prefix's or the first digit; the byte after it tells.
        TakeByte(reader);
        c = PeekByte(reader);
        if (c == 'x' || c == 'X') {
            // A prefix must be followed by a digit. Taking the x without one is
            // harmless: the reading ends here and the rest is ignored.
            TakeByte(reader);
            if (HexValue(PeekByte(reader)) < 0) return false;
        } else {
            digits = 1;
        }
    }
    while (digits < places) {
        const int digit = HexValue(PeekByte(reader));
        if (digit < 0) break;
        TakeByte(reader);
        number = number * 16 + digit;
        digits++;
    }
    if (digits == 0) return false;

    if (negative) number = -number;
    *value = static_cast<uint8_t>(number & 0xFF);
    return true;
}

// Reads every field into the image. Returns false, with the image emptied,
// when the text holds more than kImageMaxLength fields: a 16-bit length cannot
// count them, and a cut-off image must not pass for the whole one.
bool ScanFields(TextReader* reader, FirmwareImage* image) {
    uint32_t count = 0;
    uint8_t value = 0;
    image->length = 0;
    while (ScanField(reader, &value)) {
        if (count == kImageMaxLength) return false;
        image->bytes[count] = value;
        count++;
    }
    image->length = static_cast<uint16_t>(count);
    return true;
}

#ifdef _WIN32
// True when the open stream is a regular file: a device is no firmware file.
bool IsRegularFile(FILE* file) {
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0) return false;
    return (status.st_mode & _S_IFMT) == _S_IFREG;
}

// True when the path names a regular file (checked before opening it).
bool IsRegularPath(const wchar_t* fileName) {
    struct _stat64 status;
    if (_wstat64(fileName, &status) != 0) return false;
    return (status.st_mode & _S_IFMT) == _S_IFREG;
}

// File names are held in UTF-8 and opened by their UTF-16 form, so that a
// name outside the code page opens too. A path holds at most 32,767 units.
wchar_t gWidePath[32768];

FILE* OpenRegularFile(const char* fileName) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, fileName, -1, gWidePath,
                            static_cast<int>(sizeof gWidePath / sizeof gWidePath[0])) <= 0) {
        return nullptr;
    }
    if (!IsRegularPath(gWidePath)) return nullptr;
    FILE* file = _wfopen(gWidePath, L"rb");
    if (file == nullptr) return nullptr;
    if (!IsRegularFile(file)) {
        fclose(file);
        return nullptr;
    }
    return file;
}
#else
// Opens without waiting and then checks what was opened: opening a named pipe
// would wait for a writer, and the name may change between a check and an
// open. A directory, a pipe or a device is no firmware file.
FILE* OpenRegularFile(const char* fileName) {
    const int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}
#endif

} // namespace

LoadResult LoadImage(const char* fileName, FirmwareImage* image) {
    FILE* file = OpenRegularFile(fileName);
    if (file == nullptr) return kLoadNotOpened;
    printf("OK: File '%s' is open.\n", fileName);

    TextReader reader = {gReadBuffer, 0, 0, file, false, false};
    const bool whole = ScanFields(&reader, image);
    fclose(file);
    if (reader.failed) {
        image->length = 0;
        printf("Error: The upgrade file could not be read to its end!\n\n");
        return kLoadReadError;
    }
    if (!whole) {
        printf("Error: The upgrade file is too large!\n\n");
        return kLoadTooLarge;
    }
    return kLoadOk;
}

bool ScanImageText(const uint8_t* text, size_t size, FirmwareImage* image) {
    TextReader reader = {text, size, 0, nullptr, false, false};
    return ScanFields(&reader, image);
}

bool ValidateImage(const FirmwareImage* image) {
    // Positions are kept in 32 bits: a record is accepted only when every byte
    // the check reads lies below length, so p never passes 65,535 and never wraps.
    const uint32_t length = image->length;
    const uint8_t* bytes = image->bytes;
    if (length == 0) {
        printf("Error: The upgrade file is error!\n\n");
        return false;
    }
    uint32_t p = 0;
    while (p < length) {
        bool whole = false;
        uint16_t sum = 0;
        uint32_t size = 0;
        if (p + 2 <= length) {
            size = static_cast<uint16_t>(((bytes[p] << 8) | bytes[p + 1]) + 2);
            // Sizes 0 and 1 (length fields 0xFFFE and 0xFFFF) are shorter than
            // the length field itself: such a record is never whole, and size
            // 0 would not advance. Below size 4 nothing is summed and the
            // checksum word is the two bytes after the length field, which for
            // sizes 2 and 3 reach beyond the record's own end.
            const uint32_t summed = size > 4 ? size - 4 : 0;
            const uint32_t q = p + 2 + summed;
            const uint32_t end = (q + 2 > p + size) ? q + 2 : p + size;
            if (size >= 2 && end <= length) {
                whole = true;
                for (uint32_t k = 0; k < summed; k++) {
                    sum = static_cast<uint16_t>(sum + bytes[p + 2 + k]);
                }
                sum = static_cast<uint16_t>(sum + bytes[q] + 256 * bytes[q + 1]);
            }
        }
        if (!whole || sum != 0) {
            printf("Error: The upgrade file is error!\n\n");
            return false;
        }
        p += size;
    }
    return true;
}

ImageSummary SummarizeImage(const FirmwareImage* image) {
    ImageSummary summary = {0, 0, 0};
    uint32_t p = 0;
    while (p + 1 < image->length) {
        const uint32_t size =
            static_cast<uint16_t>(((image->bytes[p] << 8) | image->bytes[p + 1]) + 2);
        if (size == 0) break; // not in a validated image; the walk must advance
        if (summary.records == 0 || size < summary.smallest) summary.smallest = size;
        if (size > summary.largest) summary.largest = size;
        summary.records++;
        p += size;
    }
    return summary;
}
