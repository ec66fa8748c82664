// Firmware for the tests: records with their checksums, the .led text that
// spells them, and the hex text of bytes as reports and the wire show them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace update_test {

using Bytes = std::vector<uint8_t>;

// A whole record: the length field (payload size + 2, big-endian), the
// payload, and the checksum word (little-endian) that brings the 16-bit sum
// of payload and word to zero.
Bytes Record(const Bytes& payload);

// Upper-case hex digits of every byte, with separator between bytes.
std::string Hex(const Bytes& bytes, const char* separator = "");

// How a test spells the records in the .led text; the image is the same.
enum class Spacing {
    kRecordPerLine,     // "00 05 01 02 03 FA FF\n" for each record
    kRecordPerLineCrLf, // the same with CR LF line ends
    kBackToBack,        // every byte's two digits back to back, no line end at all
    kTabsCrLfLower,     // a blank line, then lower-case digits, tab-separated, CR LF
    kWrappedPrefixed,   // "0x" before each byte, two spaces between, a line break every 5 bytes
    kStrayLineAfterFirst, // one record a line, and a comment line after the first record
};

std::string LedText(const std::vector<Bytes>& records, Spacing spacing);

// A record chunk on the wire, given as the hex of its message: the characters
// between F0 and F7; anything else as its hex in brackets.
std::string ChunkCharacters(const std::string& hex);

} // namespace update_test
