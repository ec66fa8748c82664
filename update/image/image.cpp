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

// Asked before every read of the file while a file is loaded; null: never.
bool (*gInterrupted)();

// A source of text bytes: either a memory block (file == nullptr) or a file
// read in pieces into its buffer. data/size/pos describe the bytes at hand.
struct TextReader {
    const uint8_t* data;
    size_t size;
    size_t pos;
    FILE* file;
    uint8_t* buffer;
    bool ended;      // the file gave no more bytes (end of file or a read error)
    bool failed;     // ... because a read failed
    bool stopped;    // ... because the user asked to stop
    uint32_t line;   // of the next byte, from 1
    uint32_t column; // of the next byte, from 1
};

constexpr int kEndOfText = -1;

TextReader MemoryReader(const uint8_t* text, size_t size) {
    return {text, size, 0, nullptr, nullptr, false, false, false, 1, 1};
}

TextReader FileReader(FILE* file, uint8_t* buffer) {
    return {buffer, 0, 0, file, buffer, false, false, false, 1, 1};
}

// The next byte without taking it, or kEndOfText.
int PeekByte(TextReader* reader) {
    if (reader->pos == reader->size) {
        if (reader->file == nullptr || reader->ended) return kEndOfText;
        if (gInterrupted != nullptr && gInterrupted()) {
            reader->ended = true;
            reader->stopped = true;
            return kEndOfText;
        }
        // A read error ends the text as the end of the file does, and is
        // noted so that the file is refused.
        const size_t got = fread(reader->buffer, 1, kReadBufferSize, reader->file);
        reader->data = reader->buffer;
        reader->size = got;
        reader->pos = 0;
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
        *stop = {atEnd ? 0 : reader->line, atEnd ? 0 : reader->column, kTextRead, 0};
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

// The look past a stray line. Every line start after the stop begins a
// reading of its own, by the same rules, and the question is whether one of
// them reads a whole record with a correct checksum. Those readings share
// their fields: a line feed is white space, so a reading that reaches a line
// start is at a field boundary there and goes on exactly as the reading that
// begins at it. So the rest of the text is read once, as runs of fields that
// end where a field holds no digit, and each line start is the field its
// leading white space belongs to. A candidate record at field d is judged
// once fields d .. d + 65,534 have been read (no record needs more) or its
// run has ended, by prefix sums over the run: every field is read once and
// every candidate judged once, whatever the text holds.

// Fields beyond the image in the byte array and the sums before them, both
// as rings over the last kRing fields; a bit per field tells a line start.
constexpr uint32_t kRing = 65536;
constexpr uint32_t kRingMask = kRing - 1;
static_assert(kImageCapacity - kImageMaxLength >= kRing, "the field ring fits beyond the image");
uint16_t gPrefixSum[kRing]; // [k & mask]: the 16-bit sum of the fields before field k
uint8_t gLineStart[kRing / 8];

// The fields a record of any length field needs (WholeRecordAt reads at
// least four, and a 16-bit size is at most 65,535).
constexpr uint32_t kMostNeeded = 65535;

struct FieldRun {
    uint8_t* fields; // the ring beyond the image
    uint64_t count;  // fields read since the look began
    uint64_t start;  // the first field of the current run
};

bool IsLineStart(uint64_t k) { return (gLineStart[(k & kRingMask) >> 3] >> (k & 7)) & 1; }

void NoteField(FieldRun* run, uint8_t value, bool lineStart) {
    const uint32_t at = static_cast<uint32_t>(run->count & kRingMask);
    run->fields[at] = value;
    gPrefixSum[(at + 1) & kRingMask] = static_cast<uint16_t>(gPrefixSum[at] + value);
    const uint8_t bit = static_cast<uint8_t>(1u << (at & 7));
    gLineStart[at >> 3] =
        static_cast<uint8_t>(lineStart ? gLineStart[at >> 3] | bit : gLineStart[at >> 3] & ~bit);
    run->count++;
}

// True when the fields from d on, within the run read so far, are a whole
// record with a correct checksum, judged as WholeRecordAt judges one.
bool RecordAtField(const FieldRun* run, uint64_t d) {
    const uint64_t available = run->count - d;
    if (available < 2) return false;
    const uint8_t* f = run->fields;
    const uint32_t size =
        static_cast<uint16_t>(((f[d & kRingMask] << 8) | f[(d + 1) & kRingMask]) + 2);
    if (size < 2) return false;
    const uint64_t end = d + (size < 4 ? 4 : size); // the checksum word is the last two
    if (end - d > available) return false;
    const uint16_t payload =
        static_cast<uint16_t>(gPrefixSum[(end - 2) & kRingMask] - gPrefixSum[(d + 2) & kRingMask]);
    const uint16_t sum =
        static_cast<uint16_t>(payload + f[(end - 2) & kRingMask] + 256 * f[(end - 1) & kRingMask]);
    return sum == 0;
}

// Takes the bytes up to and including the next line feed; false at the end.
bool SkipLine(TextReader* reader) {
    for (;;) {
        const int c = PeekByte(reader);
        if (c == kEndOfText) return false;
        TakeByte(reader);
        if (c == '\n') return true;
    }
}

// After the reading stopped early, with the reader at the byte that ended
// it: does any later line start a whole record with a correct checksum?
bool RecordFollows(TextReader* reader, FirmwareImage* image) {
    FieldRun run = {image->bytes + kImageMaxLength, 0, 0};
    gPrefixSum[0] = 0;
    while (SkipLine(reader)) {
        run.start = run.count;
        bool lineStart = true; // a run begins at a line start
        uint8_t value = 0;
        for (;;) {
            int c = PeekByte(reader);
            while (IsWhiteSpace(c)) {
                if (c == '\n') lineStart = true;
                TakeByte(reader);
                c = PeekByte(reader);
            }
            if (!ScanField(reader, &value)) break;
            NoteField(&run, value, lineStart);
            lineStart = false;
            if (run.count - run.start >= kMostNeeded) {
                const uint64_t due = run.count - kMostNeeded;
                if (IsLineStart(due) && RecordAtField(&run, due)) return true;
            }
        }
        // The run ended: the line starts not yet judged have all they will get.
        const uint64_t first =
            run.count - run.start >= kMostNeeded ? run.count - kMostNeeded + 1 : run.start;
        for (uint64_t d = first; d < run.count; ++d) {
            if (IsLineStart(d) && RecordAtField(&run, d)) return true;
        }
    }
    return false;
}

// True for a byte that no text holds where a field may begin: a control byte
// that is not white space. 0x1A, the old end-of-text mark, is one only when
// more than white space and further 0x1A bytes follow it.
bool IsStrayByte(int c) { return c >= 0 && c < 0x20 && !IsWhiteSpace(c) && c != 0x1A; }

// Takes white space and 0x1A bytes; true when nothing else follows.
bool OnlyEndMarksFollow(TextReader* reader) {
    int c = PeekByte(reader);
    while (c == 0x1A || IsWhiteSpace(c)) {
        TakeByte(reader);
        c = PeekByte(reader);
    }
    return c == kEndOfText;
}

// Tells how the reading that stopped at *stop ended, with the reader at the
// byte that ended it.
void JudgeTextStop(TextReader* reader, FirmwareImage* image, TextStop* stop) {
    const int c = PeekByte(reader);
    const TextStop here = {reader->line, reader->column, kTextStrayByte, static_cast<uint8_t>(c)};
    if (IsStrayByte(c)) {
        *stop = here;
    } else if (c == 0x1A) {
        if (OnlyEndMarksFollow(reader)) {
            stop->end = kTextRestIgnored;
        } else {
            *stop = here;
        }
    } else {
        stop->end = RecordFollows(reader, image) ? kTextRecordFollows : kTextRestIgnored;
    }
}

// The line each field of the image began on, for the messages that name a
// record's line.
uint32_t gFieldLine[kImageMaxLength];
uint32_t gFieldLines; // fields noted in gFieldLine

// Reads every field into the image. Returns false, with the image emptied,
// when the text holds more than kImageMaxLength fields: a 16-bit length cannot
// count them, and a cut-off image must not pass for the whole one. Where the
// reading stopped goes to *stop.
bool ScanFields(TextReader* reader, FirmwareImage* image, TextStop* stop) {
    uint32_t count = 0;
    uint8_t value = 0;
    image->length = 0;
    gFieldLines = 0;
    while (ScanField(reader, &value, stop)) {
        if (count == kImageMaxLength) return false;
        image->bytes[count] = value;
        gFieldLine[count] = stop->line; // where this field began
        count++;
    }
    image->length = static_cast<uint16_t>(count);
    gFieldLines = count;
    if (stop->line != 0) JudgeTextStop(reader, image, stop);
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

LoadResult LoadImage(const char* fileName, FirmwareImage* image, TextStop* stop,
                     bool (*interrupted)()) {
    FILE* file = OpenRegularFile(fileName);
    if (file == nullptr) return kLoadNotOpened;
    printf("OK: File '%s' is open.\n", fileName);

    TextReader reader = FileReader(file, gReadBuffer);
    TextStop where = {0, 0, kTextRead, 0};
    gInterrupted = interrupted;
    const bool whole = ScanFields(&reader, image, &where);
    gInterrupted = nullptr;
    if (stop != nullptr) *stop = where;
    fclose(file);
    if (reader.stopped) {
        image->length = 0;
        return kLoadInterrupted;
    }
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
    TextStop where = {0, 0, kTextRead, 0};
    const bool whole = ScanFields(&reader, image, &where);
    if (stop != nullptr) *stop = where;
    return whole;
}

uint32_t FieldLine(uint32_t field) { return field < gFieldLines ? gFieldLine[field] : 0; }

bool ValidateImage(const FirmwareImage* image, RecordCheck* check) {
    // Positions are kept in 32 bits: a record is accepted only when every byte
    // the check reads lies below length, so p never passes 65,535 and never wraps.
    const uint32_t length = image->length;
    const uint8_t* bytes = image->bytes;
    RecordCheck found = {length == 0 ? kNoRecord : kRecordsHold, 0, 0};
    uint32_t record = 0;
    uint32_t p = 0;
    while (found.fault == kRecordsHold && p < length) {
        uint32_t size = 0;
        bool holds = false;
        record++;
        if (!WholeRecordAt(bytes, length, p, &size, &holds)) {
            found = {kEndsInRecord, record, p};
        } else if (!holds) {
            found = {kWrongChecksum, record, p};
        }
        p += size;
    }
    if (check != nullptr) *check = found;
    if (found.fault == kRecordsHold) return true;
    printf("Error: The upgrade file is error!\n\n");
    return false;
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
