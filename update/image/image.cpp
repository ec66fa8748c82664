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

// File reads go through these buffers; the text is pulled from them byte by
// byte. The reading has one; the look past a stray line has one for the
// lines it tries and one for finding where lines start.
constexpr size_t kReadBufferSize = 4096;
uint8_t gReadBuffer[kReadBufferSize];
uint8_t gTryBuffer[kReadBufferSize];
uint8_t gLineBuffer[kReadBufferSize];

// A source of text bytes: either a memory block (file == nullptr) or a file
// read in pieces into its buffer. data/size/pos describe the bytes at hand;
// several readers may share one file, each reading from its own offset.
struct TextReader {
    const uint8_t* data;
    size_t size;
    size_t pos;
    FILE* file;
    uint8_t* buffer;
    uint64_t next;   // the file offset of the byte after data[size - 1]
    bool ended;      // the file gave no more bytes (end of file or a read error)
    bool failed;     // ... because a read failed
    uint32_t line;   // of the next byte, from 1
    uint32_t column; // of the next byte, from 1
};

constexpr int kEndOfText = -1;

// Moves the file to offset; false when it cannot.
bool SeekTo(FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

TextReader MemoryReader(const uint8_t* text, size_t size) {
    return {text, size, 0, nullptr, nullptr, 0, false, false, 1, 1};
}

TextReader FileReader(FILE* file, uint8_t* buffer, uint64_t offset) {
    return {buffer, 0, 0, file, buffer, offset, false, false, 1, 1};
}

// The offset in the text of the next byte.
uint64_t TextOffset(const TextReader* reader) {
    return reader->file == nullptr ? reader->pos : reader->next - (reader->size - reader->pos);
}

// A reader of the same text starting at `offset`.
TextReader ReaderAt(const TextReader* text, uint8_t* buffer, uint64_t offset) {
    if (text->file == nullptr) {
        TextReader reader = MemoryReader(text->data, text->size);
        reader.pos = offset < text->size ? static_cast<size_t>(offset) : text->size;
        return reader;
    }
    return FileReader(text->file, buffer, offset);
}

// The next byte without taking it, or kEndOfText.
int PeekByte(TextReader* reader) {
    if (reader->pos == reader->size) {
        if (reader->file == nullptr || reader->ended) return kEndOfText;
        // A read error ends the text as the end of the file does, and is
        // noted so that the file is refused.
        size_t got = 0;
        if (SeekTo(reader->file, reader->next)) {
            got = fread(reader->buffer, 1, kReadBufferSize, reader->file);
        }
        reader->data = reader->buffer;
        reader->size = got;
        reader->pos = 0;
        reader->next += got;
        if (got == 0) {
            reader->ended = true;
            reader->failed = ferror(reader->file) != 0 || feof(reader->file) == 0;
            return kEndOfText;
        }
    }
    return reader->data[reader->pos];
}

void TakeByte(TextReader* reader) {
    const int c = PeekByte(reader);
    if (c == kEndOfText) return;
    reader->pos++;
    if (c == '\n') {
        reader->line++;
        reader->column = 1;
    } else {
        reader->column++;
    }
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
// digits. Returns false when the field holds no digit: the reading ends there,
// and *stop (when given) tells where the field began, or line 0 at the end of
// the text.
bool ScanField(TextReader* reader, uint8_t* value, TextStop* stop = nullptr) {
    while (IsWhiteSpace(PeekByte(reader))) TakeByte(reader);
    if (stop != nullptr) {
        const bool atEnd = PeekByte(reader) == kEndOfText;
        *stop = {atEnd ? 0 : reader->line, atEnd ? 0 : reader->column, false};
    }

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

// The size of the record at p, when every byte its check reads lies within
// length: the record is whole. Sizes 0 and 1 (length fields 0xFFFE and
// 0xFFFF) are shorter than the length field itself: such a record is never
// whole, and size 0 would not advance. Below size 4 nothing is summed and the
// checksum word is the two bytes after the length field, which for sizes 2
// and 3 reach beyond the record's own end. *checksumHolds tells the check.
// Positions are 32-bit: p + size never wraps.
bool WholeRecordAt(const uint8_t* bytes, uint32_t length, uint32_t p, uint32_t* size,
                   bool* checksumHolds) {
    if (p + 2 > length) return false;
    *size = static_cast<uint16_t>(((bytes[p] << 8) | bytes[p + 1]) + 2);
    const uint32_t summed = *size > 4 ? *size - 4 : 0;
    const uint32_t q = p + 2 + summed;
    const uint32_t end = (q + 2 > p + *size) ? q + 2 : p + *size;
    if (*size < 2 || end > length) return false;
    uint16_t sum = 0;
    for (uint32_t k = 0; k < summed; k++) sum = static_cast<uint16_t>(sum + bytes[p + 2 + k]);
    sum = static_cast<uint16_t>(sum + bytes[q] + 256 * bytes[q + 1]);
    *checksumHolds = sum == 0;
    return true;
}

// The look past a stray line reads at most this many fields in all; a text
// that needs more is taken to hold records there (it is refused rather than
// cut short unnoticed).
constexpr uint32_t kLookBudget = 1u << 24;

// Past the image's end in the byte array: room for one record of any length.
constexpr uint32_t kLookSpace = kImageCapacity - kImageMaxLength;

// True when the text, from `offset` on, reads (by the same rules) as a whole
// record with a correct checksum. The fields go after the image in the array.
bool StartsRecord(const TextReader* text, uint64_t offset, FirmwareImage* image, uint32_t* budget) {
    TextReader reader = ReaderAt(text, gTryBuffer, offset);
    uint8_t* fields = image->bytes + kImageMaxLength;
    uint32_t count = 0;
    uint32_t needed = 2; // grows to what the record's length field says
    uint8_t value = 0;
    while (count < needed && count < kLookSpace) {
        if (*budget == 0) return true;
        --*budget;
        if (!ScanField(&reader, &value)) return false;
        fields[count++] = value;
        if (count == 2) {
            const uint32_t size = static_cast<uint16_t>(((fields[0] << 8) | fields[1]) + 2);
            needed = size < 4 ? 4 : size; // what WholeRecordAt reads
        }
    }
    uint32_t size = 0;
    bool holds = false;
    return WholeRecordAt(fields, count, 0, &size, &holds) && holds;
}

// After the reading stopped early at `stop`: does any later line start a
// whole record? Every line start after the stop is tried.
bool RecordFollows(const TextReader* text, uint64_t stop, FirmwareImage* image) {
    TextReader lines = ReaderAt(text, gLineBuffer, stop);
    uint32_t budget = kLookBudget;
    for (;;) {
        int c = PeekByte(&lines);
        while (c != kEndOfText && c != '\n') {
            TakeByte(&lines);
            c = PeekByte(&lines);
        }
        if (c == kEndOfText) return lines.failed;
        TakeByte(&lines);
        if (StartsRecord(text, TextOffset(&lines), image, &budget)) return true;
    }
}

// Reads every field into the image. Returns false, with the image emptied,
// when the text holds more than kImageMaxLength fields: a 16-bit length cannot
// count them, and a cut-off image must not pass for the whole one. Where the
// reading stopped goes to *stop.
bool ScanFields(TextReader* reader, FirmwareImage* image, TextStop* stop) {
    uint32_t count = 0;
    uint8_t value = 0;
    image->length = 0;
    while (ScanField(reader, &value, stop)) {
        if (count == kImageMaxLength) return false;
        image->bytes[count] = value;
        count++;
    }
    image->length = static_cast<uint16_t>(count);
    if (stop->line != 0) stop->recordFollows = RecordFollows(reader, TextOffset(reader), image);
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

LoadResult LoadImage(const char* fileName, FirmwareImage* image, TextStop* stop) {
    FILE* file = OpenRegularFile(fileName);
    if (file == nullptr) return kLoadNotOpened;
    printf("OK: File '%s' is open.\n", fileName);

    TextReader reader = FileReader(file, gReadBuffer, 0);
    TextStop where = {0, 0, false};
    const bool whole = ScanFields(&reader, image, &where);
    if (stop != nullptr) *stop = where;
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

bool ScanImageText(const uint8_t* text, size_t size, FirmwareImage* image, TextStop* stop) {
    TextReader reader = MemoryReader(text, size);
    TextStop where = {0, 0, false};
    const bool whole = ScanFields(&reader, image, &where);
    if (stop != nullptr) *stop = where;
    return whole;
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
        uint32_t size = 0;
        bool holds = false;
        if (!WholeRecordAt(bytes, length, p, &size, &holds) || !holds) {
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
