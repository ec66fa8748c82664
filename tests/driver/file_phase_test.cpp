// End-to-end runs of the file phase: the real program, started in a folder
// prepared by the test with standard input that is not a terminal, on Linux
// and (the Windows build) under wine. Every run's whole standard output is
// compared byte for byte, from the banner to the closing wait for a key, and
// its exit status must be 0; runs with arguments that end without the wait
// (--list, wrong usage) are compared whole with their own exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/temp_folder.h"
#include "support/update_program.h"

namespace {

using update_test::Opened;
using update_test::Platform;
using update_test::RunResult;
using update_test::kBadImage;
using update_test::kBanner;

const std::string kNoLedFile = "Error: File '*.led' is not found.\n\n";
const std::string kNoFitFile = "Error: The fit file is not found.\n\n";
// The rule, after the fit file is not found: the entry examined by name.
std::string NameRule(const std::string& name) {
    return "Only the first .led file of this folder is examined: '" + name +
           "'. Its name must begin with Q25 or Q49 (any case). To use another file, run: update "
           "FILE\n\n";
}
const std::string kReadError = "Error: The upgrade file could not be read to its end!\n\n";
const std::string kNameTooLong = "Error: The file name is too long (at most 99 characters)!\n\n";

std::string NotFound(const std::string& name) {
    return "Error: File '" + name + "' is not found.\n\n";
}

// Two valid records: the five-byte example and one with an empty payload.
const std::string kValidText = "00 05 01 02 03 FA FF\n00 02 00 00\n";

// One entry of the folder the program runs in.
struct Entry {
    std::string name;
    std::string content;              // the file's bytes
    bool folder = false;              // a folder instead of a file
    std::filesystem::path copyFrom{}; // copy this file instead of writing content
    std::filesystem::path linkTo{};   // a symbolic link to this path instead
};

enum class Ends {
    kAtWait,        // the file phase refused: the run goes straight to the wait for a key
    kInDevicePhase, // the file passed: the device phase follows
    kWithoutWait,   // --list or wrong usage: no wait for a key
};

struct FilePhaseCase {
    std::string label;
    std::vector<Entry> entries;
    std::string output; // what the run prints before the wait (or before the device phase)
    Ends ends = Ends::kAtWait;
    std::string windowsOutput{}; // the Windows build's output, where it differs
    std::vector<std::string> args{};
    int exitStatus = 0;
};

void PrintTo(const FilePhaseCase& testCase, std::ostream* out) { *out << testCase.label; }

Entry File(const std::string& name, const std::string& content) { return {name, content}; }
Entry Folder(const std::string& name) { return {name, "", true}; }

// A name of the given length that has an accepted prefix and ends in ".led".
std::string NameOfLength(size_t length) { return "Q25" + std::string(length - 7, 'x') + ".led"; }

std::vector<FilePhaseCase> Cases() {
    const std::string long99 = NameOfLength(99);
    return {
        // Selecting the file.
        {"EmptyFolder", {}, kBanner + kNoLedFile},
        {"NoNameEndsInLed",
         {File("Q25.txt", kValidText), File("Q25led", kValidText), File("Q25.led.bak", kValidText),
          Folder("led")},
         kBanner + kNoLedFile},
        // Windows matches the pattern against the short 8.3 name too, which
        // for x.ledger ends in ".LED"; the Linux listing compares the name only.
        {"ShortNameOfLongerExtension",
         {File("x.ledger", kValidText)},
         kBanner + kNoLedFile,
         Ends::kAtWait,
         kBanner + kNoFitFile + NameRule("x.ledger")},
        {"FirstMatchWithoutPrefix",
         {File("abc.led", kValidText)},
         kBanner + kNoFitFile + NameRule("abc.led")},
        {"TwoCharactersBeforeTheDot",
         {File("Q2.led", kValidText)},
         kBanner + kNoFitFile + NameRule("Q2.led")},
        {"HiddenEntryIsExamined",
         {File(".hidden.led", kValidText)},
         kBanner + kNoFitFile + NameRule(".hidden.led")},
        {"LowerCasePrefixQ49",
         {File("q49update.led", kValidText)},
         kBanner + Opened("q49update.led"),
         Ends::kInDevicePhase},
        {"UpperCaseExtension",
         {File("Q25.LED", kValidText)},
         kBanner + Opened("Q25.LED"),
         Ends::kInDevicePhase},
        // A name beyond the Windows code page: found, opened and printed whole.
        {"NameBeyondTheCodePage",
         {File("Q25_\u00dcberfirmware_\u65e5\u672c.led", kValidText)},
         kBanner + Opened("Q25_\u00dcberfirmware_\u65e5\u672c.led"),
         Ends::kInDevicePhase},
        {"FolderWithMatchingName", {Folder("Q25dir.led")}, kBanner + NotFound("Q25dir.led")},
        // The name buffer holds 99 characters.
        {"NameOf99Characters",
         {File(long99, kValidText)},
         kBanner + Opened(long99),
         Ends::kInDevicePhase},
        {"NameOf100Characters", {File(NameOfLength(100), kValidText)}, kBanner + kNameTooLong},
        {"NameOf200Characters", {File(NameOfLength(200), kValidText)}, kBanner + kNameTooLong},

        // Reading and checking the records.
        // Mended: a text without any record gave an empty image, which went on
        // to the device phase and ended in "Target update successfully!"
        // without sending anything.
        {"EmptyFileIsRefused", {File("Q49empty.led", "")}, kBanner + Opened("Q49empty.led") + kBadImage},
        {"ByteOrderMarkEndsTheReadingAtOnce",
         {File("Q25bom.led", "\xEF\xBB\xBF" + kValidText)},
         kBanner + Opened("Q25bom.led") + kBadImage},
        // Mended: a read error ended the text like the end of the file. The
        // memory file of the process itself fails its first read.
        {"ReadErrorRefusesTheFile",
         {Entry{"Q25mem.led", "", false, {}, "/proc/self/mem"}},
         kBanner + Opened("Q25mem.led") + kReadError},
        // A record broken across CR LF line ends: a reader that stopped at a
        // carriage return would see a record cut short.
        {"CrLfLineEnds",
         {File("Q25crlf.led", "00 05 01 02\r\n03 FA FF\r\n0002\r\n0000\r\n")},
         kBanner + Opened("Q25crlf.led"),
         Ends::kInDevicePhase},
        {"FieldsBackToBack",
         {File("Q25packed.led", "0005010203FAFF00020000")},
         kBanner + Opened("Q25packed.led"),
         Ends::kInDevicePhase},
        // Reading ends at the semicolon: the fields after it, a record cut
        // short, must not be read.
        {"TrailingTextAfterRecords",
         {File("Q25trail.led", "00 05 01 02 03 FA FF\n;00 05 FF comment\n")},
         kBanner + Opened("Q25trail.led"),
         Ends::kInDevicePhase},
        {"PayloadByteChanged",
         {File("Q25bad.led", "00 05 01 02 13 FA FF\n")},
         kBanner + Opened("Q25bad.led") + kBadImage},
        {"ChecksumBytesSwapped",
         {File("Q25bad.led", "00 05 01 02 03 FF FA\n")},
         kBanner + Opened("Q25bad.led") + kBadImage},
        {"SecondRecordDamaged",
         {File("Q49bad.led", "00 05 01 02 03 FA FF\n00 05 01 02 04 FA FF\n")},
         kBanner + Opened("Q49bad.led") + kBadImage},
        // Mended: "O0" typed for "00" at a record's start stops the reading;
        // records follow, so the file is refused instead of cut short.
        {"LetterOForZeroBeforeMoreRecords",
         {File("Q25typo.led", "00 05 01 02 03 FA FF\nO0 02 00 00\n00 02 00 00\n")},
         kBanner + Opened("Q25typo.led") + kBadImage},
        {"LastRecordCutShort",
         {File("Q25short.led", "00 05 01 02 03 FA FF\n00 05 01 02\n")},
         kBanner + Opened("Q25short.led") + kBadImage},

        // Arguments. No MIDI system here (no sequencer on Linux, no device
        // under wine): --list gives the next step an update gives.
        {"ListWithoutAMidiSystem",
         {},
         kBanner + "MIDI inputs: none (no ALSA sequencer)\nMIDI outputs: none (no ALSA "
                   "sequencer)\nThis computer has no ALSA sequencer: load its module (sudo "
                   "modprobe snd-seq), then run update again.\n",
         Ends::kWithoutWait,
         kBanner + "MIDI inputs: none\nMIDI outputs: none\nNo MIDI input or output was found: "
                   "connect the keyboard, switch it on, then run update again.\n",
         {"--list"}},
        {"UnknownLongOption",
         {File("Q25.led", kValidText)},
         "Error: Unknown option '--lsit'.\nRun 'update --help' for the options.\n",
         Ends::kWithoutWait,
         "",
         {"--lsit"},
         1},
        {"TwoFiles",
         {File("Q25.led", kValidText)},
         "Error: Only one FILE can be given.\nRun 'update --help' for the options.\n",
         Ends::kWithoutWait,
         "",
         {"Q25.led", "Q49.led"},
         1},
        {"SampleFirmware",
         {Entry{"Q25_sample.led", "", false, UPDATE_SAMPLE_LED}},
         kBanner + Opened("Q25_sample.led"),
         Ends::kInDevicePhase},
    };
}

class FilePhase : public ::testing::TestWithParam<std::tuple<FilePhaseCase, Platform>> {};

TEST_P(FilePhase, PrintsItsTranscriptAndExitsWithZero) {
    const auto& [testCase, platform] = GetParam();
    if (platform == Platform::kWindows) {
        if (!update_test::WineTestsEnabled())
            GTEST_SKIP() << "configured with UPDATE_WINE_TESTS=OFF";
        ASSERT_TRUE(update_test::WindowsUpdateReady());
    }

    const update_test::TempFolder folder;
    for (const Entry& entry : testCase.entries) {
        if (entry.folder) {
            folder.MakeFolder(entry.name);
        } else if (!entry.linkTo.empty()) {
            std::filesystem::create_symlink(entry.linkTo, folder.Path() / entry.name);
        } else if (!entry.copyFrom.empty()) {
            folder.CopyFile(entry.copyFrom, entry.name);
        } else {
            folder.WriteFile(entry.name, entry.content);
        }
    }

    update_test::RunOptions options;
    options.args = testCase.args;
    const RunResult run = update_test::RunUpdate(platform, folder.Path(), options);
    ASSERT_TRUE(run.started) << run.error;
    ASSERT_FALSE(run.timedOut) << "stdout so far:\n" << run.out;
    EXPECT_TRUE(run.exited && run.exitStatus == testCase.exitStatus) << update_test::Describe(run);
    if (platform == Platform::kLinux) {
        EXPECT_EQ(run.err, "");
    }

    const std::string& output = platform == Platform::kWindows && !testCase.windowsOutput.empty()
                                    ? testCase.windowsOutput
                                    : testCase.output;
    if (testCase.ends == Ends::kWithoutWait) {
        EXPECT_EQ(run.out, platform == Platform::kLinux ? output : update_test::WindowsText(output));
        return;
    }
    if (testCase.ends == Ends::kAtWait) {
        EXPECT_EQ(run.out, update_test::Transcript(platform, output));
        return;
    }

    // A file that passed leads into the device phase. These runs have no MIDI
    // device at all (no sequencer on Linux, no device under wine), so
    // discovery reports that none answered, and why.
    const std::string why =
        platform == Platform::kLinux
            ? "This computer has no ALSA sequencer: load its module (sudo modprobe snd-seq), then "
              "run update again.\n\n"
            : "No MIDI input or output was found: connect the keyboard, switch it on, then run "
              "update again.\n\n";
    EXPECT_EQ(run.out, update_test::Transcript(
                           platform, output + "\nFailed: Can't find the suitable device to update!\n\n" + why));
}

std::string CaseName(const ::testing::TestParamInfo<FilePhase::ParamType>& info) {
    return std::get<0>(info.param).label + "_" + update_test::PlatformName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(BothPlatforms, FilePhase,
                         ::testing::Combine(::testing::ValuesIn(Cases()),
                                            ::testing::Values(Platform::kLinux,
                                                              Platform::kWindows)),
                         CaseName);

// --help names every exit status of README's table, each with its meaning
// as the first words of its line.
TEST(Help, ListsEveryExitStatusOfTheReadme) {
    std::ifstream readme(UPDATE_README);
    ASSERT_TRUE(readme) << UPDATE_README;
    const update_test::TempFolder folder;
    update_test::RunOptions options;
    options.args = {"--help"};
    const RunResult run = update_test::RunUpdate(Platform::kLinux, folder.Path(), options);
    ASSERT_TRUE(run.exited && run.exitStatus == 0) << update_test::Describe(run);
    const std::regex row(R"(^\| (\d+) \| ([^|(;]*[^|(; ]))");
    int statuses = 0;
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, row)) continue;
        ++statuses;
        const std::string start = "\n  " + m[1].str() + std::string(5 - m[1].length(), ' ');
        const size_t at = run.out.find(start);
        ASSERT_NE(at, std::string::npos) << "status " << m[1] << " missing in:\n" << run.out;
        const std::string helpLine = run.out.substr(at + start.size(),
                                                    run.out.find('\n', at + 1) - at - start.size());
        EXPECT_EQ(helpLine.rfind(m[2].str(), 0), 0u) << "README: " << line << "\nhelp: " << helpLine;
    }
    EXPECT_EQ(statuses, 7);
}

// The Windows zip's README.txt: plain text, and the same exit statuses as
// README's table.
TEST(WindowsReadme, IsPlainTextWithEveryExitStatus) {
    std::ifstream readme(UPDATE_README);
    std::ifstream windows(UPDATE_WINDOWS_README);
    ASSERT_TRUE(readme && windows) << UPDATE_WINDOWS_README;
    const std::string text((std::istreambuf_iterator<char>(windows)), {});
    for (const char* markdown : {"](", "`", "**", "\n#", "\n| "})
        EXPECT_EQ(text.find(markdown), std::string::npos) << "Markdown: " << markdown;
    const std::regex row(R"(^\| (\d+) \| ([^|(;`]*[^|(;` ]))");
    int statuses = 0;
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, row)) continue;
        ++statuses;
        const std::string start = "\n" + m[1].str() + std::string(6 - m[1].length(), ' ') + m[2].str();
        EXPECT_NE(text.find(start), std::string::npos) << "missing: " << start;
    }
    EXPECT_EQ(statuses, 7);
}

} // namespace
