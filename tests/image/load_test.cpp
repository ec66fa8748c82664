// Loading a .led file: opening, the messages, binary reading and the size limit.
#include "image_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace image_test {
namespace {

struct Loaded {
    LoadResult result;
    std::string printed;
};

Loaded Load(const std::string& file) {
    StdoutCapture out;
    const LoadResult result = LoadImage(file.c_str(), &ScratchImage());
    return {result, out.Take()};
}

std::string Fields(size_t count) {
    std::string text;
    text.reserve(count * 3);
    char field[4];
    for (size_t i = 0; i < count; i++) {
        snprintf(field, sizeof field, "%02X ", static_cast<unsigned>(i & 0xFF));
        text += field;
    }
    return text;
}

TEST(ImageLoad, OpenedFileIsAnnouncedAndRead) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", "00 05 01 02 03 FA FF\n");
    const Loaded loaded = Load(file);
    EXPECT_EQ(loaded.result, kLoadOk);
    EXPECT_EQ(loaded.printed, "OK: File '" + file + "' is open.\n");
    EXPECT_EQ(ImageBytes(ScratchImage()), (std::vector<uint8_t>{0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}));
}

TEST(ImageLoad, RelativeNameIsPrintedAsGiven) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    dir.WriteFile("q49update.led", "00 02 00 00");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const Loaded loaded = Load("q49update.led");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(loaded.result, kLoadOk);
    EXPECT_EQ(loaded.printed, "OK: File 'q49update.led' is open.\n");
    EXPECT_EQ(ScratchImage().length, 4);
}

TEST(ImageLoad, CrLfTextReadsAsSpaces) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", "00 05 01\r\n02 03\r\nFA FF\r\n\r\n");
    EXPECT_EQ(Load(file).result, kLoadOk);
    EXPECT_EQ(ImageBytes(ScratchImage()), (std::vector<uint8_t>{0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}));
}

// 0x1A is an ordinary byte in binary mode: not a field, so it ends the reading
// there, and neither hides nor ends anything before it.
TEST(ImageLoad, SubstituteByteInTheMiddleEndsTheReading) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", std::string("00 05 01\x1A 02 03 FA FF"));
    EXPECT_EQ(Load(file).result, kLoadOk);
    EXPECT_EQ(ImageBytes(ScratchImage()), (std::vector<uint8_t>{0x00, 0x05, 0x01}));
}

TEST(ImageLoad, EmptyFileGivesEmptyImage) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ScratchImage().length = 99;
    const Loaded loaded = Load(dir.WriteFile("Q25.led", ""));
    EXPECT_EQ(loaded.result, kLoadOk);
    EXPECT_EQ(ScratchImage().length, 0);
}

TEST(ImageLoad, LaterLoadReplacesEarlierImage) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(Load(dir.WriteFile("long.led", Fields(5000))).result, kLoadOk);
    ASSERT_EQ(ScratchImage().length, 5000);
    ASSERT_EQ(Load(dir.WriteFile("short.led", "AB CD")).result, kLoadOk);
    EXPECT_EQ(ImageBytes(ScratchImage()), (std::vector<uint8_t>{0xAB, 0xCD}));
}

// Mended: a read error ended the text like the end of the file, so a file cut
// off by a failing disk could pass. The process's own memory file is a
// regular file whose first read fails (address 0 is never mapped).
TEST(ImageLoad, ReadErrorRefusesTheFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string link = dir.path() + "/Q25.led";
    ASSERT_EQ(symlink("/proc/self/mem", link.c_str()), 0);
    const Loaded loaded = Load(link);
    EXPECT_EQ(loaded.result, kLoadReadError);
    EXPECT_EQ(loaded.printed, "OK: File '" + link +
                                  "' is open.\nError: The upgrade file could not be read to its end!\n\n");
    EXPECT_EQ(ScratchImage().length, 0);
}

enum class Entry { kMissing, kDirectory, kNamedPipe };

struct NotOpenedCase {
    const char* name;
    Entry entry;
};

void PrintTo(const NotOpenedCase& c, std::ostream* os) { *os << c.name; }

class ImageLoadNotOpened : public ::testing::TestWithParam<NotOpenedCase> {};

TEST_P(ImageLoadNotOpened, ReturnsNotOpenedSilently) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string path = dir.path() + "/Q25.led";
    if (GetParam().entry == Entry::kDirectory) path = dir.MakeDir("Q25.led");
    // Opening a named pipe with no writer would wait for ever.
    if (GetParam().entry == Entry::kNamedPipe) {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    const Loaded loaded = Load(path);
    EXPECT_EQ(loaded.result, kLoadNotOpened);
    EXPECT_EQ(loaded.printed, "");
}

INSTANTIATE_TEST_SUITE_P(Image, ImageLoadNotOpened,
                         ::testing::Values(NotOpenedCase{"MissingFile", Entry::kMissing},
                                           NotOpenedCase{"Directory", Entry::kDirectory},
                                           NotOpenedCase{"NamedPipe", Entry::kNamedPipe}),
                         [](const ::testing::TestParamInfo<NotOpenedCase>& tested) { return tested.param.name; });

// The length is a 16-bit count: 65,535 fields fit, one more does not.
struct SizeCase {
    const char* name;
    std::string text;
    LoadResult result;
    uint16_t length;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class ImageLoadSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ImageLoadSize, LimitIs65535Fields) {
    const SizeCase& c = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.WriteFile("Q25.led", c.text);
    ScratchImage().length = 1234;
    const Loaded loaded = Load(file);
    EXPECT_EQ(loaded.result, c.result);
    std::string expected = "OK: File '" + file + "' is open.\n";
    if (c.result == kLoadTooLarge) expected += "Error: The upgrade file is too large!\n\n";
    EXPECT_EQ(loaded.printed, expected);
    EXPECT_EQ(ScratchImage().length, c.length);
    if (c.result == kLoadOk) {
        EXPECT_EQ(ScratchImage().bytes[0], 0x00);
        EXPECT_EQ(ScratchImage().bytes[65534], 65534 & 0xFF);
    }

    // The memory scanner draws the same line.
    const bool whole = ScanImageText(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), &ScratchImage());
    EXPECT_EQ(whole, c.result == kLoadOk);
    EXPECT_EQ(ScratchImage().length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Image, ImageLoadSize,
    ::testing::Values(SizeCase{"Fields65535", Fields(65535), kLoadOk, 65535},
                      SizeCase{"Fields65535BackToBack", std::string(2 * 65535 - 2, '0') + "FE", kLoadOk, 65535},
                      SizeCase{"Fields65535ThenComment", Fields(65535) + ";12", kLoadOk, 65535},
                      SizeCase{"Fields65535ThenBarePrefix", Fields(65535) + "0x", kLoadOk, 65535},
                      SizeCase{"Fields65536", Fields(65536), kLoadTooLarge, 0},
                      SizeCase{"Fields65535ThenOneDigit", Fields(65535) + "7", kLoadTooLarge, 0},
                      SizeCase{"Fields70000", Fields(70000), kLoadTooLarge, 0}),
    [](const ::testing::TestParamInfo<SizeCase>& tested) { return tested.param.name; });

} // namespace
} // namespace image_test
