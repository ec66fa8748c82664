// The record check: checksums, and the refusal of records that do not lie
// whole within the image.
#include "image_test_support.h"

#include <gtest/gtest.h>

#include "support/firmware.h"

#include <cstring>
#include <random>

namespace image_test {
namespace {

const char kRefusal[] = "Error: The upgrade file is error!\n\n";

struct Checked {
    bool valid;
    std::string printed;
    RecordCheck check;
};

// Validates the given bytes as an image; the array beyond length is filled
// with `beyond`, which a sound check never reads.
Checked Check(const std::vector<uint8_t>& bytes, uint8_t beyond = 0) {
    FirmwareImage& image = ScratchImage();
    memset(image.bytes, beyond, sizeof image.bytes);
    std::copy(bytes.begin(), bytes.end(), image.bytes);
    image.length = static_cast<uint16_t>(bytes.size());
    StdoutCapture out;
    RecordCheck check = {kWrongChecksum, 99, 99}; // the check must set it
    const bool valid = ValidateImage(&image, &check);
    return {valid, out.Take(), check};
}

// Appends one record with the given payload and its correct checksum.
void AddRecord(std::vector<uint8_t>* image, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> record = update_test::Record(payload);
    image->insert(image->end(), record.begin(), record.end());
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> kRecord = {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF};
const std::vector<uint8_t> kEmptyRecord = {0x00, 0x02, 0x00, 0x00};

// One L = 0xFFFF record followed by a long record that begins at its second
// length byte. Taken literally, the walk would sum nothing for the size-1
// record, read a zero checksum word from bytes 2 and 3, and then accept the
// record at position 1, ending exactly at the end of the image.
std::vector<uint8_t> SizeOneRecordImage() {
    const size_t length = 0xFF03;
    std::vector<uint8_t> image(length, 0x00);
    image[0] = 0xFF;
    image[1] = 0xFF; // and the record at position 1 has L = 0xFF00
    image[2] = 0x00;
    return image;
}

std::vector<uint8_t> LargestRecordImage() {
    std::vector<uint8_t> image;
    std::vector<uint8_t> payload(65531);
    for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 7 + 3);
    AddRecord(&image, payload);
    return image; // 65,535 bytes, L = 65,533
}

struct ValidateCase {
    const char* name;
    std::vector<uint8_t> bytes;
    RecordFault fault;   // kRecordsHold: the image is valid
    uint32_t record = 0; // the record refused, from 1
};

void PrintTo(const ValidateCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ValidateCase>& ValidateCases() {
    static const std::vector<ValidateCase> cases = {
        // Mended: an image without any record would be "sent" as nothing and
        // reported as a success.
        {"EmptyImageIsRefused", {}, kNoRecord},
        {"SingleRecord", kRecord, kRecordsHold},
        {"EmptyPayload", kEmptyRecord, kRecordsHold},
        {"TwoBytePayload", {0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF}, kRecordsHold},
        {"ThreeRecords", Concat(Concat(kRecord, kEmptyRecord), {0x00, 0x03, 0x80, 0x80, 0xFF}), kRecordsHold},
        {"PayloadSumCarriesPast16Bits", [] { std::vector<uint8_t> v; AddRecord(&v, std::vector<uint8_t>(600, 0xFF)); return v; }(), kRecordsHold},
        {"LargestRecord", LargestRecordImage(), kRecordsHold},
        // A length field of 1 takes its checksum word from the two bytes after
        // it, the second of which begins the next record: whole when both lie
        // within the image.
        {"LengthOneThenRecord", {0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00}, kRecordsHold},
        // Checksums.
        {"BadChecksumFirstRecord", {0x00, 0x05, 0x01, 0x02, 0x04, 0xFA, 0xFF}, kWrongChecksum, 1},
        {"BadChecksumSecondRecord", Concat(kRecord, {0x00, 0x05, 0x01, 0x02, 0x03, 0xFB, 0xFF}), kWrongChecksum, 2},
        {"BadChecksumThirdRecord", Concat(Concat(kRecord, kEmptyRecord), {0x00, 0x02, 0x01, 0x00}), kWrongChecksum, 3},
        {"SwappedChecksumBytes", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFF, 0xFA}, kWrongChecksum, 1},
        {"EmptyPayloadNonZeroChecksum", {0x00, 0x02, 0x00, 0x01}, kWrongChecksum, 1},
        {"LengthBytesNotSummed", {0x00, 0x04, 0x01, 0x02, 0xF9, 0xFF}, kWrongChecksum, 1},
        // Records that do not lie whole within the image.
        {"OneByteImage", {0x00}, kEndsInRecord, 1},
        {"TrailingByteAfterRecord", Concat(kRecord, {0x00}), kEndsInRecord, 2},
        {"LastRecordCutShort", Concat(kRecord, {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA}), kEndsInRecord, 2},
        {"OnlyLengthField", {0x00, 0x05}, kEndsInRecord, 1},
        {"SizeZeroRecord", {0xFF, 0xFE, 0x00, 0x00}, kEndsInRecord, 1},
        {"SizeOneRecord", {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}, kEndsInRecord, 1},
        {"SizeOneRecordFollowedByWholeOne", SizeOneRecordImage(), kEndsInRecord, 1},
        {"LengthZeroAtEnd", Concat(kRecord, {0x00, 0x00}), kEndsInRecord, 2},
        {"LengthZeroWithZeroWordAfter", {0x00, 0x00, 0x00, 0x00}, kEndsInRecord, 2},
        {"LengthOneAtEnd", Concat(kRecord, {0x00, 0x01, 0x00}), kEndsInRecord, 2},
        {"LengthOneWordPastEnd", {0x00, 0x01, 0x00, 0x00}, kEndsInRecord, 2},
        // p + size reaches 65,536: a 16-bit position would wrap to the start.
        {"RecordWrappingPosition", Concat(kRecord, {0xFF, 0xF7, 0x00, 0x00}), kEndsInRecord, 2},
        {"HugeLengthShortImage", {0xFF, 0xF0, 0x00, 0x00}, kEndsInRecord, 1},
    };
    return cases;
}

class ValidateTable : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateTable, VerdictAndMessage) {
    const ValidateCase& c = GetParam();
    const Checked checked = Check(c.bytes);
    const bool valid = c.fault == kRecordsHold;
    EXPECT_EQ(checked.valid, valid);
    EXPECT_EQ(checked.printed, valid ? "" : kRefusal);
    EXPECT_EQ(static_cast<int>(checked.check.fault), static_cast<int>(c.fault));
    EXPECT_EQ(checked.check.record, c.record);
}

// Whatever lies in the array beyond length cannot change the verdict.
TEST_P(ValidateTable, BytesBeyondLengthAreNeverRead) {
    const ValidateCase& c = GetParam();
    for (int beyond : {0x00, 0x02, 0xFF}) {
        SCOPED_TRACE(beyond);
        EXPECT_EQ(Check(c.bytes, static_cast<uint8_t>(beyond)).valid, c.fault == kRecordsHold);
    }
}

INSTANTIATE_TEST_SUITE_P(Image, ValidateTable, ::testing::ValuesIn(ValidateCases()),
                         [](const ::testing::TestParamInfo<ValidateCase>& tested) { return tested.param.name; });

// Images made of many random records pass; changing any payload or checksum
// byte, or cutting the last byte off, makes them fail.
TEST(ImageValidateRandom, BuiltImagesPassAndDamagedOnesFail) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> image;
        std::vector<size_t> starts;
        const size_t limit = round == 0 ? 65535 : 400 + rng() % 8000;
        for (;;) {
            std::vector<uint8_t> payload(rng() % 300);
            for (uint8_t& b : payload) b = static_cast<uint8_t>(rng());
            if (image.size() + payload.size() + 4 > limit) break;
            starts.push_back(image.size());
            AddRecord(&image, payload);
        }
        ASSERT_FALSE(image.empty());
        const Checked whole = Check(image);
        EXPECT_TRUE(whole.valid);
        EXPECT_EQ(whole.printed, "");

        // A byte after some record's length field: payload or checksum.
        const size_t record = rng() % starts.size();
        const size_t end = record + 1 < starts.size() ? starts[record + 1] : image.size();
        const size_t at = starts[record] + 2 + rng() % (end - starts[record] - 2);
        std::vector<uint8_t> damaged = image;
        damaged[at] = static_cast<uint8_t>(damaged[at] + 1 + rng() % 255);
        const Checked bad = Check(damaged);
        EXPECT_FALSE(bad.valid) << "byte " << at;
        EXPECT_EQ(bad.printed, kRefusal);
        EXPECT_EQ(static_cast<int>(bad.check.fault), static_cast<int>(kWrongChecksum));
        EXPECT_EQ(bad.check.record, record + 1);
        EXPECT_EQ(bad.check.position, starts[record]);

        std::vector<uint8_t> cut(image.begin(), image.end() - 1);
        const Checked shortened = Check(cut);
        EXPECT_FALSE(shortened.valid);
        EXPECT_EQ(static_cast<int>(shortened.check.fault), static_cast<int>(kEndsInRecord));
        EXPECT_EQ(shortened.check.record, starts.size());
        EXPECT_EQ(shortened.check.position, starts.back());
    }
}

// The verdict on an image worked out independently of the updater: walk the
// records from the start. A record is its two-byte big-endian length field L
// and L more bytes (L + 2 taken modulo 65,536; sizes 0 and 1 are never whole).
// Its checksum word (little-endian) is its last two bytes; a record of 2 or 3
// bytes has no payload and its word is the two bytes after its length field.
// Payload and word sum to zero modulo 65,536, and every byte read lies within
// the image, which the records fill exactly.
bool ExpectedVerdict(const std::vector<uint8_t>& b) {
    size_t p = 0;
    while (p < b.size()) {
        if (b.size() - p < 2) return false;
        const size_t size = (b[p] * 256u + b[p + 1] + 2u) % 65536u;
        if (size < 2) return false;
        const size_t word = size >= 4 ? p + size - 2 : p + 2;
        if (p + size > b.size() || word + 2 > b.size()) return false;
        unsigned sum = b[word] + 256u * b[word + 1];
        for (size_t k = p + 2; k < word; ++k) sum += b[k];
        if (sum % 65536u != 0) return false;
        p += size;
    }
    return !b.empty();
}

// Any bytes at all: the check gives the independent verdict, prints at most
// the one message, and does not depend on the array beyond length.
TEST(ImageValidateRandom, ArbitraryBytesAreCheckedSoundly) {
    std::mt19937 rng(7);
    unsigned passed = 0;
    for (int round = 0; round < 3000; round++) {
        std::vector<uint8_t> bytes(rng() % 24);
        // Small length fields are the interesting ones; every fourth image is
        // built of whole records, so that both verdicts come up often.
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 6);
        if (round % 4 == 0) {
            bytes.clear();
            while (bytes.size() < 16) AddRecord(&bytes, std::vector<uint8_t>(rng() % 5, static_cast<uint8_t>(rng())));
            if (rng() % 2 == 0) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        const bool expected = ExpectedVerdict(bytes);
        passed += expected ? 1 : 0;
        const Checked zeros = Check(bytes, 0x00);
        const Checked ones = Check(bytes, 0xFF);
        EXPECT_EQ(zeros.valid, expected) << ::testing::PrintToString(bytes);
        EXPECT_EQ(ones.valid, expected) << ::testing::PrintToString(bytes);
        EXPECT_EQ(zeros.printed, expected ? "" : kRefusal);
        EXPECT_EQ(ones.printed, zeros.printed);
    }
    // Both verdicts came up often enough to tell a sound check from a blind one.
    EXPECT_GT(passed, 300u);
    EXPECT_LT(passed, 2700u);
}

} // namespace
} // namespace image_test
