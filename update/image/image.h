// Firmware image: the .led text read into a fixed byte array, and the record check.
#pragma once

#include <cstddef>
#include <cstdint>

// Twice the 65,536 positions a 16-bit index reaches, so that any record that
// starts at a 16-bit position and declares any 16-bit length ends inside it.
constexpr uint32_t kImageCapacity = 131072;
// The image length is a 16-bit count.
constexpr uint32_t kImageMaxLength = 65535;

// Only the first `length` bytes are the image; the loader may use the rest.
struct FirmwareImage {
    uint8_t bytes[kImageCapacity];
    uint16_t length;
};

enum LoadResult : uint8_t {
    kLoadOk = 0,          // file read into the image
    kLoadNotOpened = 1,   // file could not be opened (or is not a regular file); nothing printed
    kLoadTooLarge = 2,    // more than 65,535 fields; the refusal message has been printed
    kLoadReadError = 3,   // the file system failed a read; the refusal message has been printed
    kLoadInterrupted = 4, // the user asked to stop while the file was read; nothing printed
};

// How the reading of the text ended.
enum TextEnd : uint8_t {
    kTextRead = 0,      // at the end of the text
    kTextRestIgnored,   // at text that holds no record (a comment, a final 0x1A): ignored
    kTextRecordFollows, // at a stray line, and a later line starts a whole record
    kTextStrayByte,     // at a byte no text holds: below 0x20 and not white space, or a
                        // 0x1A with more than white space and 0x1A bytes after it
};

// Where the reading of the text stopped before its end. A text that stops at
// a stray byte, or at a stray line with a whole record with a correct
// checksum on a later line, is damaged: the image read so far is only part
// of the firmware.
struct TextStop {
    uint32_t line;   // from 1; 0 when the reading went to the end of the text
    uint32_t column; // from 1, in bytes
    TextEnd end;
    uint8_t byte; // with kTextStrayByte: that byte (line and column are its own)
};

// True when the text must be refused whatever its records say.
inline bool TextCutShort(const TextStop* stop) {
    return stop->end == kTextRecordFollows || stop->end == kTextStrayByte;
}

// Opens fileName in binary mode, without waiting (a named pipe is refused, not
// waited on), prints "OK: File '%s' is open.\n", and reads every hexadecimal
// field into image->bytes from index 0. A read error refuses the file: a text
// cut short must not pass for the whole one. Where the reading stopped goes
// to *stop when it is given. interrupted (when given) is asked between reads;
// once it returns true the reading ends at once with kLoadInterrupted.
LoadResult LoadImage(const char* fileName, FirmwareImage* image, TextStop* stop = nullptr,
                     bool (*interrupted)() = nullptr);

// Reads fields from an in-memory text exactly as LoadImage reads a file.
// Returns false when the text holds more than 65,535 fields.
bool ScanImageText(const uint8_t* text, size_t size, FirmwareImage* image,
                   TextStop* stop = nullptr);

// The line (from 1) on which field k of the text last read into an image
// began, by LoadImage or ScanImageText; 0 for a field that text did not yield.
uint32_t FieldLine(uint32_t field);

// Why ValidateImage refused an image.
enum RecordFault : uint8_t {
    kRecordsHold = 0, // every record is whole and its checksum holds
    kNoRecord,        // the image is empty
    kWrongChecksum,   // the record is whole but its checksum fails
    kEndsInRecord,    // the image ends before the record does (a length field of
                      // FFFE or FFFF too: no image holds such a record)
};

struct RecordCheck {
    RecordFault fault;
    uint32_t record;   // the record refused, from 1 as the transfer counts them; 0: none
    uint32_t position; // of its first byte in the image
};

// Walks the records from position 0. Prints "Error: The upgrade file is error!\n\n"
// and returns false on the first record that fails its checksum or does not
// lie whole within the image, and for an image without any record (nothing
// would be sent, yet the run would end in success); returns true without
// printing otherwise. What it found goes to *check when it is given.
bool ValidateImage(const FirmwareImage* image, RecordCheck* check = nullptr);

struct ImageSummary {
    uint32_t records;
    uint32_t smallest; // record sizes in bytes (length field + 2)
    uint32_t largest;
};

// Counts the records of a validated image and their smallest and largest size.
ImageSummary SummarizeImage(const FirmwareImage* image);
