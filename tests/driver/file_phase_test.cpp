// End-to-end runs of the file phase: the real program, started in a folder
// prepared by the test with standard input that is not a terminal, on Linux
// and (the Windows build) under wine. Every run's whole standard output is
// compared byte for byte, from the banner to the closing wait for a key (or,
// for --list and wrong usage, to its end), with its exit status (0 for a run
// without options), and the folder afterwards: every file prepared is
// unchanged and nothing appears but what the row names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/temp_folder.h"
#include "support/update_program.h"

namespace {

using update_test::Opened;
using update_test::Platform;
using update_test::RunResult;
using update_test::EndsInside;
using update_test::RecordsFollow;
using update_test::WhatIsWrong;
using update_test::WrongChecksum;
using update_test::kBadImage;
using update_test::kBanner;
using update_test::kTooLarge;

const std::string kNoLedFile = "Error: File '*.led' is not found.\n\n";
const std::string kNoFitFile = "Error: The fit file is not found.\n\n";
// The rule, after the fit file is not found: the entry examined by name,
// and the firmware to use instead (never another file renamed).
std::string NameRule(const std::string& name) {
    return "Only the first .led file of this folder is examined: '" + name +
           "'. Its name does not begin with Q25 or Q49, so it is not firmware for this keyboard. "
           "Use the firmware file made for your keyboard (its name begins with Q25 or Q49): keep "
           "it alone in this folder, or run: update FILE\n\n";
}
// ... and for a FILE given by name.
std::string GivenNameRule(const std::string& name) {
    return "The name of '" + name +
           "' does not begin with Q25 or Q49, so it is not firmware for this keyboard. Use the "
           "firmware file made for your keyboard: its name begins with Q25 or Q49.\n\n";
}
std::string LedLog(const std::string& name) {
    return "Error: The log file '" + name + "' would be a .led file: give the log another name.\n";
}
// What is wrong with a text that stops at a stray byte.
std::string StrayByte(int line, int column, const std::string& hex) {
    return "The text stops being hexadecimal at line " + std::to_string(line) + ", column " +
           std::to_string(column) + ", at the byte " + hex + ", which no text holds: the file is damaged.";
}
const std::string kEmpty = "The file is empty.";
const std::string kNoHexText = "The file holds no firmware: it does not begin with hexadecimal text.";
const std::string kLargerThanMemory =
    "The file is larger than the keyboard's memory (at most 65,535 bytes of firmware).";
// 65,536 fields: one more than an image holds.
std::string Fields65536() {
    std::string text;
    for (int k = 0; k < 65536; ++k) text += "00 ";
    return text;
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
    uintmax_t sparseSize = 0;         // the file then made this long, the rest a hole of zeros
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
    std::vector<std::string> args{}; // the command line; none: the run without arguments
    int exitStatus = 0;
    bool waits = true;             // ends with the wait for a key
    int windowsExitStatus = -1;    // the Windows build's, where it differs
    std::vector<std::string> created{}; // the entries the run adds to the folder
    std::optional<std::vector<std::string>> windowsCreated{}; // ... on Windows, where it differs
    std::string interruptAtTrace{};  // Ctrl-C once the folder's trace.log holds this
    std::string interruptAtOutput{}; // Ctrl-C once standard output holds this
    bool inputHeldOpen = false;      // standard input a pipe that stays open (sleep 20 | update)
    int linuxSignal = 0;             // the Linux build ends by this signal instead of an exit
};

void PrintTo(const FilePhaseCase& testCase, std::ostream* out) { *out << testCase.label; }

Entry File(const std::string& name, const std::string& content) { return {name, content}; }
Entry Folder(const std::string& name) { return {name, "", true}; }
Entry Link(const std::string& name, const std::string& target) { return {name, "", false, {}, target}; }

const std::string kOneRecord = "00 05 01 02 03 FA FF\n";

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
        // The whole ".led" is compared: names whose extension only begins
        // with ".le", or is ".le" itself, are passed over.
        {"ExtensionOnlyBeginsWithLe",
         {File("Q25.lex", kValidText), File("Q25.le", kValidText)},
         kBanner + kNoLedFile},
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
        {"EmptyFileIsRefused", {File("Q49empty.led", "")},
         kBanner + Opened("Q49empty.led") + kBadImage + WhatIsWrong(kEmpty)},
        {"ByteOrderMarkEndsTheReadingAtOnce",
         {File("Q25bom.led", "\xEF\xBB\xBF" + kValidText)},
         kBanner + Opened("Q25bom.led") + kBadImage + WhatIsWrong(RecordsFollow(1, 1))},
        {"TextWithoutHexadecimalFields",
         {File("Q25notes.led", "Version 2 of the Q25 firmware\n")},
         kBanner + Opened("Q25notes.led") + kBadImage + WhatIsWrong(kNoHexText)},
        {"MoreFieldsThanTheKeyboardHolds",
         {File("Q25big.led", Fields65536())},
         kBanner + Opened("Q25big.led") + kTooLarge + WhatIsWrong(kLargerThanMemory)},
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
         kBanner + Opened("Q25bad.led") + kBadImage + WhatIsWrong(WrongChecksum(1, 1))},
        {"ChecksumBytesSwapped",
         {File("Q25bad.led", "00 05 01 02 03 FF FA\n")},
         kBanner + Opened("Q25bad.led") + kBadImage + WhatIsWrong(WrongChecksum(1, 1))},
        {"SecondRecordDamaged",
         {File("Q49bad.led", "00 05 01 02 03 FA FF\n00 05 01 02 04 FA FF\n")},
         kBanner + Opened("Q49bad.led") + kBadImage + WhatIsWrong(WrongChecksum(2, 2))},
        // The line is where the record's first field is, counted over empty
        // lines and records that take more than one line.
        {"ThirdRecordDamagedOnItsLine",
         {File("Q25bad.led", "00 05 01\r\n02 03 FA FF\r\n\r\n00 02 00 00\r\n00 05 01 02 04 FA FF\r\n")},
         kBanner + Opened("Q25bad.led") + kBadImage + WhatIsWrong(WrongChecksum(3, 5))},
        // Mended: "O0" typed for "00" at a record's start stops the reading;
        // records follow, so the file is refused instead of cut short.
        {"LetterOForZeroBeforeMoreRecords",
         {File("Q25typo.led", "00 05 01 02 03 FA FF\nO0 02 00 00\n00 02 00 00\n")},
         kBanner + Opened("Q25typo.led") + kBadImage + WhatIsWrong(RecordsFollow(2, 1))},
        {"LastRecordCutShort",
         {File("Q25short.led", "00 05 01 02 03 FA FF\n00 05 01 02\n")},
         kBanner + Opened("Q25short.led") + kBadImage + WhatIsWrong(EndsInside(2))},

        // --check says the same of every cause.
        {"CheckOfAnEmptyFile", {File("Q49empty.led", "")},
         kBanner + Opened("Q49empty.led") + kBadImage + WhatIsWrong(kEmpty), Ends::kAtWait, "",
         {"--check", "Q49empty.led"}, 2, false},
        {"CheckOfATextWithoutHexadecimalFields",
         {File("Q25notes.led", "Version 2 of the Q25 firmware\n")},
         kBanner + Opened("Q25notes.led") +
             "The text stops being hexadecimal at line 1, column 1; the rest holds no record and is "
             "ignored.\n" + kBadImage + WhatIsWrong(kNoHexText),
         Ends::kAtWait, "", {"-c"}, 2, false},
        {"CheckOfAWrongChecksum",
         {File("Q25bad.led", "00 05 01\r\n02 03 FA FF\r\n\r\n00 02 00 00\r\n00 05 01 02 04 FA FF\r\n")},
         kBanner + Opened("Q25bad.led") + kBadImage + WhatIsWrong(WrongChecksum(3, 5)), Ends::kAtWait,
         "", {"-c"}, 2, false},
        {"CheckOfARecordCutShort",
         {File("Q25short.led", "00 05 01 02 03 FA FF\n00 05 01 02\n")},
         kBanner + Opened("Q25short.led") + kBadImage + WhatIsWrong(EndsInside(2)), Ends::kAtWait, "",
         {"-c"}, 2, false},
        {"CheckOfMoreFieldsThanTheKeyboardHolds",
         {File("Q25big.led", Fields65536())},
         kBanner + Opened("Q25big.led") + kTooLarge + WhatIsWrong(kLargerThanMemory), Ends::kAtWait,
         "", {"-c"}, 2, false},

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

        // Mended: a byte no text holds, where the reading stops, cut the
        // image short silently and the part before it was sent.
        {"NulInsideALineBeforeMoreRecords",
         {File("Q25nul.led", "00 05 01 02 03 FA FF" + std::string(1, '\0') + "00 02 00 00\n")},
         kBanner + Opened("Q25nul.led") + kBadImage + WhatIsWrong(StrayByte(1, 21, "00"))},
        {"ZeroPaddingAfterTheLastRecord",
         {File("Q25pad.led", kValidText + std::string(4096, '\0'))},
         kBanner + Opened("Q25pad.led") + kBadImage + WhatIsWrong(StrayByte(3, 1, "00"))},
        {"EndMarkBeforeMoreRecords",
         {File("Q25mark.led", kOneRecord + "\x1a" + "00 02 00 00\n")},
         kBanner + Opened("Q25mark.led") + kBadImage +
             WhatIsWrong("The text stops being hexadecimal at line 2, column 1, at an end-of-file mark "
                         "(byte 1A) with more text after it: the file is damaged.")},
        {"EndMarkAtTheVeryEnd",
         {File("Q25mark.led", kValidText + "\x1a")},
         kBanner + Opened("Q25mark.led"),
         Ends::kInDevicePhase},
        {"StrayByteRefusedWithNoPause",
         {File("Q25nul.led", kValidText + std::string(1, '\0'))},
         kBanner + Opened("Q25nul.led") + kBadImage + WhatIsWrong(StrayByte(3, 1, "00")),
         Ends::kAtWait, "", {"-n"}, 2, false},
        {"CheckNamesTheStrayByte",
         {File("Q25nul.led", "00 05 01 02 03 FA FF" + std::string(1, '\0') + "00 02 00 00\n")},
         kBanner + Opened("Q25nul.led") + kBadImage + WhatIsWrong(StrayByte(1, 21, "00")),
         Ends::kAtWait, "", {"--check", "Q25nul.led"}, 2, false},
        {"CheckNamesAControlByteAfterASign",
         {File("Q25ctl.led", kValidText + "\t-\x01")},
         kBanner + Opened("Q25ctl.led") + kBadImage + WhatIsWrong(StrayByte(3, 3, "01")),
         Ends::kAtWait, "", {"-c"}, 2, false},
        {"CheckNamesAnEndMarkWithTextAfterIt",
         {File("Q25mark.led", kValidText + "\x1a\r\n; end\r\n")},
         kBanner + Opened("Q25mark.led") + kBadImage +
             WhatIsWrong("The text stops being hexadecimal at line 3, column 1, at an end-of-file mark "
                         "(byte 1A) with more text after it: the file is damaged."),
         Ends::kAtWait, "", {"-c"}, 2, false},
        {"CheckAcceptsAFinalEndMark",
         {File("Q25mark.led", kValidText + "\x1a")},
         kBanner + Opened("Q25mark.led") +
             "The text stops being hexadecimal at line 3, column 1; the rest holds no record and is "
             "ignored.\nFile check passed: 2 records, 11 bytes, smallest record 4 bytes, largest "
             "record 7 bytes, model code 3B.\n",
         Ends::kAtWait, "", {"-c"}, 0, false},

        // Mended: the look past a stray line read to the end of the white
        // space from every line start (about a minute for this file).
        {"ManyEmptyLinesAfterAStrayLine",
         {File("Q25lines.led", kOneRecord + "; part 2\n" + std::string(131072, '\n'))},
         kBanner + Opened("Q25lines.led"),
         Ends::kInDevicePhase},
        {"RecordAfterManyEmptyLinesAfterAStrayLine",
         {File("Q25lines.led", kOneRecord + "; part 2\n" + std::string(131072, '\n') + "00 02 00 00\n")},
         kBanner + Opened("Q25lines.led") + kBadImage + WhatIsWrong(RecordsFollow(2, 1))},
        // Ctrl-C while the file is read (64 GiB, a hole after a stray line:
        // minutes of reading) ends the run at once: nothing sent, no wait.
        {"InterruptWhileTheFileIsRead",
         {Entry{"Q25huge.led", kOneRecord + ";\n", false, {}, {}, uintmax_t{64} << 30}},
         kBanner + Opened("Q25huge.led"), Ends::kAtWait, "", {"-n", "--log", "trace.log"}, 130,
         false, -1, {"trace.log"}, {}, "start: "},

        // Mended: the wait for a key ignored Ctrl-C while standard input was
        // a pipe that stays open. It ends at once (on Linux by the signal,
        // which a shell reports as status 130).
        {"InterruptDuringTheWaitWithInputHeldOpen", {}, kBanner + kNoLedFile, Ends::kAtWait, "", {},
         130, true, -1, {}, {}, "", "Press any key", true, SIGINT},

        // Mended: a log name is judged by the file it reaches. Nothing is
        // written, and the firmware is not read.
        {"LogThroughALinkToAnotherLedFile",
         {File("Q25one.led", kValidText), File("Q49other.led", kValidText), Link("trace.log", "Q49other.led")},
         LedLog("trace.log"), Ends::kAtWait, "", {"-n", "--log", "trace.log"}, 1, false},
        // Windows opens nothing through a link whose target is not there.
        {"LogThroughALinkToALedNameNotYetThere",
         {File("Q25one.led", kValidText), Link("trace.log", "sub/../Q49new.led")},
         LedLog("trace.log"), Ends::kAtWait,
         "Error: The log file 'trace.log' cannot be opened.\n", {"-n", "--log", "trace.log"}, 1,
         false},
        {"LogThroughALinkToTheFirmware",
         {File("Q25one.led", kValidText), Link("trace.log", "Q25one.led")},
         "Error: The log file 'trace.log' is the firmware file: give the log another name.\n",
         Ends::kAtWait, "", {"-n", "--log", "trace.log"}, 1, false},
        // Windows drops trailing dots and spaces and opens a stream of the
        // file named before a colon; on Linux these are names of their own.
        {"LogNameWithATrailingDot",
         {File("Q25one.led", kValidText)},
         kBanner + Opened("Q25one.led"), Ends::kInDevicePhase, LedLog("Q49x.led."),
         {"-n", "--log", "Q49x.led."}, 3, false, 1, {"Q49x.led."}, std::vector<std::string>{}},
        {"LogNameWithATrailingSpace",
         {File("Q25one.led", kValidText)},
         kBanner + Opened("Q25one.led"), Ends::kInDevicePhase, LedLog("Q49new.led "),
         {"-n", "--log", "Q49new.led "}, 3, false, 1, {"Q49new.led "}, std::vector<std::string>{}},
        {"LogNameOfAStream",
         {File("Q25one.led", kValidText)},
         kBanner + Opened("Q25one.led"), Ends::kInDevicePhase, LedLog("Q49x.led:trace"),
         {"-n", "--log", "Q49x.led:trace"}, 3, false, 1, {"Q49x.led:trace"},
         std::vector<std::string>{}},
        // Mended: the log was created under the firmware's name and then
        // read as the firmware.
        {"LogNamedLikeTheMissingFirmware", {}, kBanner + NotFound("Q25fw.hex"), Ends::kAtWait, "",
         {"-n", "--log", "Q25fw.hex", "Q25fw.hex"}, 2, false},

        // Mended: the advice after a refused name was to rename the file,
        // which sends another keyboard's firmware; a missing file got it too.
        {"GivenFileWithoutPrefix",
         {File("firmware_v2.led", kValidText)},
         kBanner + kNoFitFile + GivenNameRule("firmware_v2.led"), Ends::kAtWait, "",
         {"-n", "firmware_v2.led"}, 2, false},
        {"GivenFileOfAnotherModel",
         {File("Q52_v2.led", kValidText)},
         kBanner + kNoFitFile + GivenNameRule("Q52_v2.led"), Ends::kAtWait, "", {"Q52_v2.led"}},
        {"GivenFileThatDoesNotExist", {}, kBanner + NotFound("firmware_v2.led"), Ends::kAtWait, "",
         {"-n", "firmware_v2.led"}, 2, false},
    };
}

class FilePhase : public ::testing::TestWithParam<std::tuple<FilePhaseCase, Platform>> {};

// The folder's entries, by name, and the content of each regular file.
std::set<std::string> EntryNames(const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

TEST_P(FilePhase, PrintsItsTranscriptAndExitStatus) {
    const auto& [testCase, platform] = GetParam();
    const bool windows = platform == Platform::kWindows;
    if (windows) {
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
            if (entry.sparseSize > 0) {
                std::filesystem::resize_file(folder.Path() / entry.name, entry.sparseSize);
            }
        }
    }
    const std::set<std::string> before = EntryNames(folder.Path());

    update_test::RunOptions options;
    options.args = testCase.args;
    if (!testCase.interruptAtTrace.empty()) {
        options.interruptWhen = [trace = folder.Path() / "trace.log", at = testCase.interruptAtTrace] {
            return update_test::ReadFileBytes(trace).find(at) != std::string::npos;
        };
    }
    options.interruptAtOutput = testCase.interruptAtOutput;
    // Standard input a named pipe that this test holds open for writing.
    const update_test::TempFolder control;
    int heldOpen = -1;
    if (testCase.inputHeldOpen) {
        options.input = control.Path() / "input";
        ASSERT_EQ(mkfifo(options.input.c_str(), 0600), 0);
        heldOpen = open(options.input.c_str(), O_RDWR);
        ASSERT_GE(heldOpen, 0);
    }
    const RunResult run = update_test::RunUpdate(platform, folder.Path(), options);
    if (heldOpen >= 0) close(heldOpen);
    ASSERT_TRUE(run.started) << run.error;
    ASSERT_FALSE(run.timedOut) << "stdout so far:\n" << run.out;
    const int status =
        windows && testCase.windowsExitStatus >= 0 ? testCase.windowsExitStatus : testCase.exitStatus;
    if (!windows && testCase.linuxSignal != 0) {
        EXPECT_EQ(run.signal, testCase.linuxSignal) << update_test::Describe(run);
    } else {
        EXPECT_TRUE(run.exited && run.exitStatus == status) << update_test::Describe(run);
    }
    if (!windows) {
        EXPECT_EQ(run.err, "");
    }

    // Every prepared file as it was, and nothing new but what the row names.
    for (const Entry& entry : testCase.entries) {
        if (entry.folder || !entry.linkTo.empty() || !entry.copyFrom.empty() || entry.sparseSize > 0)
            continue;
        EXPECT_EQ(update_test::ReadFileBytes(folder.Path() / entry.name), entry.content)
            << entry.name << " was changed";
    }
    std::set<std::string> expectedNames = before;
    const std::vector<std::string>& created =
        windows && testCase.windowsCreated ? *testCase.windowsCreated : testCase.created;
    expectedNames.insert(created.begin(), created.end());
    EXPECT_EQ(EntryNames(folder.Path()), expectedNames);

    const std::string& output = windows && !testCase.windowsOutput.empty() ? testCase.windowsOutput
                                                                          : testCase.output;
    const bool inDevicePhase = testCase.ends == Ends::kInDevicePhase &&
                               (!windows || testCase.windowsOutput.empty());
    // A file that passed leads into the device phase. These runs have no MIDI
    // device at all (no sequencer on Linux, no device under wine), so
    // discovery reports that none answered, and why.
    const std::string why =
        platform == Platform::kLinux
            ? "This computer has no ALSA sequencer: load its module (sudo modprobe snd-seq), then "
              "run update again.\n\n"
            : "No MIDI input or output was found: connect the keyboard, switch it on, then run "
              "update again.\n\n";
    const std::string shown =
        inDevicePhase ? output + "\nFailed: Can't find the suitable device to update!\n\n" + why
                      : output;
    if (!testCase.waits || testCase.ends == Ends::kWithoutWait) {
        EXPECT_EQ(run.out, windows ? update_test::WindowsText(shown) : shown);
    } else if (!windows && testCase.linuxSignal != 0) {
        // Ended during the wait: the prompt without the line feed that a key ends it with.
        EXPECT_EQ(run.out, shown + "Press any key to continue . . . ");
    } else {
        EXPECT_EQ(run.out, update_test::Transcript(platform, shown));
    }
}

std::string CaseName(const ::testing::TestParamInfo<FilePhase::ParamType>& info) {
    return std::get<0>(info.param).label + "_" + update_test::PlatformName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(BothPlatforms, FilePhase,
                         ::testing::Combine(::testing::ValuesIn(Cases()),
                                            ::testing::Values(Platform::kLinux,
                                                              Platform::kWindows)),
                         CaseName);

// The rows of README's exit-status table: each status and the start of its
// meaning, as `row` captures them.
std::vector<std::pair<std::string, std::string>> ReadmeStatuses(std::istream& readme,
                                                                 const std::regex& row) {
    std::vector<std::pair<std::string, std::string>> statuses;
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (std::regex_search(line, m, row)) statuses.emplace_back(m[1].str(), m[2].str());
    }
    return statuses;
}

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
    const auto statuses = ReadmeStatuses(readme, std::regex(R"(^\| (\d+) \| ([^|(;]*[^|(; ]))"));
    for (const auto& [status, meaning] : statuses) {
        const std::string start = "\n  " + status + std::string(5 - status.size(), ' ');
        const size_t at = run.out.find(start);
        ASSERT_NE(at, std::string::npos) << "status " << status << " missing in:\n" << run.out;
        const std::string helpLine = run.out.substr(at + start.size(),
                                                    run.out.find('\n', at + 1) - at - start.size());
        EXPECT_EQ(helpLine.rfind(meaning, 0), 0u) << "README: " << meaning << "\nhelp: " << helpLine;
    }
    EXPECT_EQ(statuses.size(), 7u);
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
    const auto statuses = ReadmeStatuses(readme, std::regex(R"(^\| (\d+) \| ([^|(;`]*[^|(;` ]))"));
    for (const auto& [status, meaning] : statuses) {
        const std::string start = "\n" + status + std::string(6 - status.size(), ' ') + meaning;
        EXPECT_NE(text.find(start), std::string::npos) << "missing: " << start;
    }
    EXPECT_EQ(statuses.size(), 7u);
}

} // namespace
