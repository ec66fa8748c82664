// The .led text scanner: which bytes a text yields, from memory and from a file.
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <random>

#include "support/firmware.h"

namespace image_test {
namespace {

struct ScanCase {
    const char* name;
    std::string text;
    std::vector<uint8_t> bytes;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

std::string Bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

// The payload of the largest record: 65,531 bytes, a record of 65,535.
std::vector<uint8_t> Bytes65531() {
    std::vector<uint8_t> payload(65531);
    for (size_t i = 0; i < payload.size(); i++) payload[i] = static_cast<uint8_t>(i * 7 + 3);
    return payload;
}

const std::vector<ScanCase>& ScanCases() {
    static const std::vector<ScanCase> cases = {
        // Field values.
        {"TwoDigits", "A5", {0xA5}},
        {"LowerCaseDigits", "a5 fe", {0xA5, 0xFE}},
        {"Prefix", "0x1F", {0x1F}},
        {"UpperCasePrefix", "0X1f", {0x1F}},
        {"MinusOne", "-1", {0xFF}},
        {"MinusTakesAPlace", "-FF", {0xF1, 0x0F}},
        {"PlusTakesAPlace", "+F3", {0x0F, 0x03}},
        {"MinusZero", "-0", {0x00}},
        {"SignThenPrefix", "+0x5", {0x05}},
        {"MinusThenPrefixLeavesOneDigit", "-0x1F", {0xFF, 0x0F}},
        {"ZeroAlone", "0", {0x00}},
        {"OneDigitAlone", "7", {0x07}},
        {"PrefixThenOneDigit", "0x7 8", {0x07, 0x08}},
        {"PrefixThenThreeDigits", "0x123", {0x12, 0x03}},
        {"PrefixedZeroDigit", "0x0x1", {0x00}},
        // Runs of digits are cut into pairs from the left.
        {"PairsFromTheLeft", "ABC DE", {0xAB, 0x0C, 0xDE}},
        {"BackToBack", "0005010203FAFF", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}},
        {"Spaced", "00 05 01 02 03 FA FF", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}},
        {"OddRun", "123", {0x12, 0x03}},
        {"ZeroZeroBeforeX", "00x1", {0x00}},
        {"SignedZeroZeroBeforeX", "-00x1", {0x00, 0x01}},
        // White space.
        {"EveryWhiteSpaceBetweenFields", "\t01\n02\v03\f04\r05 06\r\n07", {1, 2, 3, 4, 5, 6, 7}},
        {"LeadingAndTrailingWhiteSpace", " \r\n\t 12 \r\n", {0x12}},
        {"WhiteSpaceBeforeSign", " \n-1", {0xFF}},
        {"CrLfLines", "00 05 01\r\n02 03 FA\r\nFF\r\n", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}},
        // No field at all.
        {"Empty", "", {}},
        {"OnlyWhiteSpace", " \t\r\n", {}},
        {"ByteOrderMark", Bytes({0xEF, 0xBB, 0xBF}) + "00 05 01 02 03 FA FF", {}},
        {"IntelHexColon", ":10000000", {}},
        {"LetterX", "x", {}},
        {"PrefixAlone", "0x", {}},
        {"SignAlone", "-", {}},
        {"PlusAlone", "+", {}},
        // Where the reading ends; what follows is ignored.
        {"SemicolonComment", "00 05 01 02 03 FA FF;comment 12", {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}},
        {"SpacedSemicolonComment", "00 05 ; 12", {0x00, 0x05}},
        {"ColonStops", "12:34", {0x12}},
        {"SubstituteByteStops", "00 05" + Bytes({0x1A}) + "01 02", {0x00, 0x05}},
        {"NulStops", std::string("12\0" "34", 5), {0x12}},
        {"HighByteStops", "12" + Bytes({0x80}) + "34", {0x12}},
        {"HighByteAfterSpaceStops", "12 " + Bytes({0xFF}) + "34", {0x12}},
        {"LetterGStops", "12 G3", {0x12}},
        {"LetterZStops", "12 Z3", {0x12}},
        {"LowerLetterStops", "12 g3 z3", {0x12}},
        {"OneDigitEndedByLetter", "1G2", {0x01}},
        {"PrefixThenLetterStops", "12 0xG 34", {0x12}},
        {"PrefixAtEndStops", "12 0x", {0x12}},
        {"PrefixThenSpaceStops", "12 0x 34", {0x12}},
        {"PrefixThenPrefixStops", "12 0xx1", {0x12}},
        {"PrefixThenSignStops", "12 0x-1", {0x12}},
        {"SignAtEndStops", "12 -", {0x12}},
        {"SignThenSpaceStops", "12 - 1", {0x12}},
        {"SignThenSignStops", "12 +-1 34", {0x12}},
        {"MinusMinusStops", "12 --1", {0x12}},
        {"SignThenPrefixAtEndStops", "12 -0x", {0x12}},
        {"ZeroThenSpacedX", "0 x1", {0x00}},
    };
    return cases;
}

std::string PrintHex(const std::vector<uint8_t>& bytes) { return update_test::Hex(bytes, " "); }

class ScanTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, TextGivesBytes) {
    const ScanCase& c = GetParam();
    FirmwareImage& image = ScratchImage();
    image.length = 0xBEEF; // the scan must set it
    ASSERT_TRUE(ScanImageText(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), &image));
    EXPECT_EQ(PrintHex(ImageBytes(image)), PrintHex(c.bytes));
}

// The file path goes through the same reading as memory: same bytes, and the
// file's opening is announced.
TEST_P(ScanTable, FileGivesSameBytes) {
    const ScanCase& c = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", c.text);
    FirmwareImage& image = ScratchImage();
    StdoutCapture out;
    const LoadResult result = LoadImage(file.c_str(), &image);
    const std::string printed = out.Take();
    ASSERT_EQ(result, kLoadOk);
    EXPECT_EQ(printed, "OK: File '" + file + "' is open.\n");
    EXPECT_EQ(PrintHex(ImageBytes(image)), PrintHex(c.bytes));
}

INSTANTIATE_TEST_SUITE_P(Image, ScanTable, ::testing::ValuesIn(ScanCases()),
                         [](const ::testing::TestParamInfo<ScanCase>& tested) { return tested.param.name; });

// Where and how the reading stops: at the end, at text that holds no record,
// at a stray line with a whole record on a later line, or at a byte no text
// holds. Each row is read from memory and from a file.
struct StopCase {
    const char* name;
    std::string text;
    uint32_t line; // 0: read to the end
    uint32_t column;
    TextEnd end;
    uint8_t byte = 0; // with kTextStrayByte
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

const std::string kOne = "00 05 01 02 03 FA FF\n";

const std::vector<StopCase>& StopCases() {
    static const std::vector<StopCase> cases = {
        {"ToTheEnd", kOne + "00 02 00 00\n", 0, 0, kTextRead},
        {"CommentAtTheEnd", kOne + "; the end\n", 2, 1, kTextRestIgnored},
        {"RecordAfterAStrayLine", kOne + "; part 2\n00 02 00 00\n", 2, 1, kTextRecordFollows},
        {"RecordAfterEmptyLines", kOne + ";\n\n\n\n00 02 00 00", 2, 1, kTextRecordFollows},
        {"RecordOverSeveralLines", kOne + ";\n00 05\n01 02\n\n03 FA\nFF\n", 2, 1,
         kTextRecordFollows},
        // Only a line start begins a reading: the record after the
        // semicolon on the same line does not count.
        {"RecordAfterTextOnTheSameLine", kOne + "; 00 02 00 00\n", 2, 1, kTextRestIgnored},
        {"RecordIndentedOnItsLine", kOne + ";\n \t 00 02 00 00\n", 2, 1, kTextRecordFollows},
        {"RecordAfterASecondStrayLine", kOne + ";\n00 05 01;\n-\n00 02 00 00\n", 2, 1,
         kTextRecordFollows},
        // A later line's reading that ends before its record does is no record.
        {"RecordCutShortOnALaterLine", kOne + ";\n00 05 01 02\n", 2, 1, kTextRestIgnored},
        {"RecordCutByAStrayLine", kOne + ";\n00 05 01\n;\n02 03 FA FF\n", 2, 1, kTextRestIgnored},
        // The length field decides how many fields a record takes: fewer
        // or more than it says are no record, whatever the sums.
        {"LengthFieldLongerThanTheRecord", kOne + ";\n00 06 01 02 03 FA FF\n", 2, 1,
         kTextRestIgnored},
        {"LengthFieldShorterThanTheRecord", kOne + ";\n00 04 01 02 03 FA FF\n", 2, 1,
         kTextRestIgnored},
        {"LengthFieldLongerThanTheSumsThatHold", kOne + ";\n00 09 01 02 FD FF\n", 2, 1,
         kTextRestIgnored},
        {"LengthFieldShorterButSumsHold", kOne + ";\n00 04 01 02 FD FF\n", 2, 1, kTextRecordFollows},
        {"ChecksumWrongOnALaterLine", kOne + ";\n00 05 01 02 03 FB FF\n", 2, 1, kTextRestIgnored},
        {"LengthOneIsAWholeRecord", kOne + ";\n00 01 00 00\n", 2, 1, kTextRecordFollows},
        {"SizeOneIsNoRecord", kOne + ";\nFF FF 00 00\n", 2, 1, kTextRestIgnored},
        {"LargestRecordOnALaterLine",
         kOne + ";\n" + update_test::Hex(update_test::Record(Bytes65531()), " ") + "\n", 2, 1,
         kTextRecordFollows},
        {"LargestRecordCutShortOnALaterLine",
         kOne + ";\n" + update_test::Hex(update_test::Record(Bytes65531()), " ").substr(0, 3 * 65534) +
             "\n",
         2, 1, kTextRestIgnored},
        // 131,072 empty lines between the stray line and the record.
        {"RecordAfterManyEmptyLines", kOne + ";\n" + std::string(131072, '\n') + "00 02 00 00\n", 2, 1,
         kTextRecordFollows},
        {"ManyEmptyLinesOnly", kOne + ";\n" + std::string(131072, '\n'), 2, 1, kTextRestIgnored},
        {"SignThenLineFeed", kOne + "-\n00 02 00 00\n", 2, 1, kTextRecordFollows},
        // Bytes no text holds.
        {"NulInsideALine", "00 05 01 02 03 FA FF" + std::string(1, '\0') + "00 02 00 00\n", 1, 21,
         kTextStrayByte, 0x00},
        {"ZeroPaddingAfterTheLastRecord", kOne + std::string(512, '\0'), 2, 1, kTextStrayByte, 0x00},
        {"ControlByteAfterASign", kOne + "+" + Bytes({0x01}), 2, 2, kTextStrayByte, 0x01},
        {"EscapeByte", kOne + Bytes({0x1B}) + "[0m", 2, 1, kTextStrayByte, 0x1B},
        {"UnitSeparator", kOne + Bytes({0x1F}), 2, 1, kTextStrayByte, 0x1F},
        {"EndMarkAtTheVeryEnd", kOne + Bytes({0x1A}), 2, 1, kTextRestIgnored},
        {"EndMarksAndWhiteSpaceAtTheEnd", kOne + Bytes({0x1A, 0x1A}) + "\r\n" + Bytes({0x1A}), 2, 1,
         kTextRestIgnored},
        {"EndMarkAfterAPrefix", kOne + "0x" + Bytes({0x1A}), 2, 1, kTextRestIgnored},
        {"EndMarkWithRecordsAfterIt", kOne + Bytes({0x1A}) + "00 02 00 00\n", 2, 1, kTextStrayByte,
         0x1A},
        {"EndMarkWithTextAfterIt", kOne + Bytes({0x1A}) + "\n; end\n", 2, 1, kTextStrayByte, 0x1A},
        {"EndMarkThenNul", kOne + Bytes({0x1A, 0x00}), 2, 1, kTextStrayByte, 0x1A},
        // Not below 0x20: text that holds no record, as before.
        {"DeleteByte", kOne + Bytes({0x7F}), 2, 1, kTextRestIgnored},
        {"HighByte", kOne + Bytes({0xC3, 0xA9}) + "\n", 2, 1, kTextRestIgnored},
        // A stray line before the stray byte: the reading stopped at the line.
        {"NulAfterAComment", kOne + ";" + std::string(1, '\0') + "\n", 2, 1, kTextRestIgnored},
    };
    return cases;
}

class StopTable : public ::testing::TestWithParam<StopCase> {};

void ExpectStop(const StopCase& c, const TextStop& stop) {
    EXPECT_EQ(stop.line, c.line);
    EXPECT_EQ(stop.column, c.column);
    EXPECT_EQ(static_cast<int>(stop.end), static_cast<int>(c.end));
    if (c.end == kTextStrayByte) {
        EXPECT_EQ(stop.byte, c.byte);
    }
}

TEST_P(StopTable, FromMemory) {
    const StopCase& c = GetParam();
    TextStop stop = {99, 99, kTextRecordFollows, 0xEE};
    ASSERT_TRUE(ScanImageText(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(),
                              &ScratchImage(), &stop));
    ExpectStop(c, stop);
}

TEST_P(StopTable, FromAFile) {
    const StopCase& c = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", c.text);
    TextStop stop = {99, 99, kTextRecordFollows, 0xEE};
    StdoutCapture out;
    ASSERT_EQ(LoadImage(file.c_str(), &ScratchImage(), &stop), kLoadOk);
    out.Take();
    ExpectStop(c, stop);
}

INSTANTIATE_TEST_SUITE_P(Image, StopTable, ::testing::ValuesIn(StopCases()),
                         [](const ::testing::TestParamInfo<StopCase>& tested) { return tested.param.name; });

bool IsHexDigit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
bool IsSpace(int c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// Every byte value, at the start of a field: white space is skipped, a digit
// or sign begins a field, anything else ends the reading.
TEST(ImageScanBytes, EveryByteAtTheStartOfAField) {
    for (int c = 0; c < 256; c++) {
        SCOPED_TRACE(c);
        const std::string text = "12" + Bytes({c}) + "34";
        FirmwareImage& image = ScratchImage();
        ASSERT_TRUE(ScanImageText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &image));
        std::vector<uint8_t> expected;
        if (IsSpace(c)) {
            expected = {0x12, 0x34};
        } else if (IsHexDigit(c)) {
            const uint8_t digit = static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            expected = {0x12, static_cast<uint8_t>(digit << 4 | 3), 0x04};
        } else if (c == '+') {
            expected = {0x12, 0x03, 0x04};
        } else if (c == '-') {
            expected = {0x12, 0xFD, 0x04};
        } else {
            expected = {0x12};
        }
        EXPECT_EQ(PrintHex(ImageBytes(image)), PrintHex(expected));
    }
}

// Every byte value after a sign: only a hexadecimal digit goes on.
TEST(ImageScanBytes, EveryByteAfterASign) {
    for (int c = 0; c < 256; c++) {
        SCOPED_TRACE(c);
        const std::string text = "12 -" + Bytes({c}) + "5";
        FirmwareImage& image = ScratchImage();
        ASSERT_TRUE(ScanImageText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &image));
        std::vector<uint8_t> expected = {0x12};
        if (IsHexDigit(c)) {
            const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
            expected.push_back(static_cast<uint8_t>(-digit));
            expected.push_back(0x05);
        }
        EXPECT_EQ(PrintHex(ImageBytes(image)), PrintHex(expected));
    }
}

// Writes each byte in one of the ways the syntax allows; the text is then
// read back from memory and from a file, whose reading crosses many buffer refills.
std::string SpellRandomly(const std::vector<uint8_t>& bytes, std::mt19937& rng) {
    static const char* const kSpaces[] = {" ", "\t", "\r\n", "\n", "\v", "\f", "  \r\n\t"};
    std::string text;
    char field[16];
    for (uint8_t v : bytes) {
        const int negated = (256 - v) & 0xFF;
        std::vector<std::string> spellings;
        snprintf(field, sizeof field, "%02X", v);
        spellings.push_back(field);
        snprintf(field, sizeof field, "%02x", v);
        spellings.push_back(field);
        snprintf(field, sizeof field, "0x%02X", v);
        spellings.push_back(field);
        snprintf(field, sizeof field, "0X%x", v);
        spellings.push_back(field);
        if (v < 16) {
            snprintf(field, sizeof field, "+%X", v);
            spellings.push_back(field);
            snprintf(field, sizeof field, "+0x%x", v);
            spellings.push_back(field);
        }
        if (negated < 16) {
            snprintf(field, sizeof field, "-%x", negated);
            spellings.push_back(field);
            snprintf(field, sizeof field, "-0X%X", negated);
            spellings.push_back(field);
        }
        const std::string& chosen = spellings[rng() % spellings.size()];
        text += chosen;
        // Only an unsigned two-digit field may be followed by the next field
        // directly: it ends after its second place.
        const bool twoPlainDigits = chosen.size() == 2 && chosen[0] != '+' && chosen[0] != '-';
        if (!twoPlainDigits || rng() % 3 == 0) text += kSpaces[rng() % 7];
    }
    return text;
}

TEST(ImageScanRoundTrip, RandomSpellingsFromMemoryAndFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (unsigned seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::vector<uint8_t> bytes(seed == 6 ? 65535 : 1 + rng() % 20000);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
        const std::string text = SpellRandomly(bytes, rng) + ";end";

        FirmwareImage& image = ScratchImage();
        ASSERT_TRUE(ScanImageText(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &image));
        EXPECT_TRUE(ImageBytes(image) == bytes);

        const std::string file = dir.WriteFile("round" + std::to_string(seed) + ".led", text);
        image.length = 0;
        StdoutCapture out;
        EXPECT_EQ(LoadImage(file.c_str(), &image), kLoadOk);
        out.Take();
        EXPECT_EQ(image.length, bytes.size());
        EXPECT_TRUE(ImageBytes(image) == bytes);
    }
}

// A field split at any point by the file's reading in pieces still reads
// whole: the prefix and sign are placed across every offset near a range of
// piece sizes.
TEST(ImageScanRoundTrip, FieldsAcrossReadBoundaries) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    int files = 0;
    for (size_t block = 256; block <= 16384; block *= 2) {
        for (size_t pad = block - 6; pad <= block + 1; pad++) {
            const std::string text = std::string(pad, ' ') + "-0x1F 0xA 0xB";
            const std::string file = dir.WriteFile("pad" + std::to_string(files++) + ".led", text);
            FirmwareImage& image = ScratchImage();
            StdoutCapture out;
            ASSERT_EQ(LoadImage(file.c_str(), &image), kLoadOk);
            out.Take();
            EXPECT_EQ(PrintHex(ImageBytes(image)), "FF 0F 0A 0B") << "pad " << pad;
        }
    }
}

} // namespace
} // namespace image_test
