// The command line, and the fixed sequence of one update run: banner, file
// selection, image, device phase, and the wait for a key that ends every run
// unless --no-pause is given.
#include "driver/driver.h"

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/platform.h"
#include "driver/refusal.h"
#include "image/image.h"
#include "midi/trace.h"
#include "protocol/protocol.h"

namespace {

constexpr char kBanner[] = "Update V0.5 - Update KANTERRA Q25-Q49 System\n";

constexpr size_t kFileNameSize = 100; // at most 99 characters plus the terminator

// Exit statuses of the outcomes (with --no-pause, --list and --check).
enum ExitStatus : int {
    kExitUpdated = 0,
    kExitUsage = 1,
    kExitFileRefused = 2,
    kExitNoDevice = 3,
    kExitResetRequired = 4,
    kExitTransferFailed = 5,
    kExitInterrupted = 130, // as a shell reports a program ended by Ctrl-C
};

struct PrefixEntry {
    char prefix[4];
    uint8_t modelCode;
};

// Accepted file-name prefixes, searched in this order.
constexpr PrefixEntry kPrefixTable[] = {
    {"Q25", 0x3B},
    {"Q49", 0x3B},
};

enum Mode : uint8_t { kModeUpdate, kModeList, kModeCheck };

// What the command line asks for. The defaults are the run without arguments.
struct Options {
    Mode mode;
    bool modeConflict; // both --list and --check
    const char* file;  // null: the first *.led entry of the current folder
    bool extraFile;    // more than one FILE
    DeviceSettings device;
    bool deviceOptions; // --in, --out or --delay given
    bool noPause;
    const char* logPath; // null: no trace
};

// The firmware file of the run, chosen before anything is printed so that
// the trace can be kept out of it.
struct Selection {
    FindResult found; // for the folder's first *.led entry
    const char* name; // the file to load; null: none
};

enum ParseResult : uint8_t { kParsedRun, kParsedHelp, kParsedVersion, kParsedWrong };

// Long options without a short form.
enum LongOnly : int { kOptionDelay = 256, kOptionLog = 257 };

const option kLongOptions[] = {
    {"list", no_argument, nullptr, 'l'},
    {"check", no_argument, nullptr, 'c'},
    {"in", required_argument, nullptr, 'i'},
    {"out", required_argument, nullptr, 'o'},
    {"delay", required_argument, nullptr, kOptionDelay},
    {"verbose", no_argument, nullptr, 'v'},
    {"log", required_argument, nullptr, kOptionLog},
    {"no-pause", no_argument, nullptr, 'n'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
// A leading ':' makes a missing value its own case.
constexpr char kShortOptions[] = ":lci:o:vnhV";

constexpr unsigned kMaxDeviceNumber = kMaxDevices - 1;
constexpr unsigned kMaxDelayMs = 1000;

constexpr char kHelp[] =
    "Usage: update [OPTIONS] [FILE]\n"
    "Installs the firmware FILE into a KANTERRA Q25 or Q49 keyboard over MIDI.\n"
    "Without FILE the first *.led file of the current folder is used. The file's\n"
    "name must begin with Q25 or Q49 (any case).\n"
    "\n"
    "Options:\n"
    "  -l, --list        list the MIDI inputs and outputs by number, marking those\n"
    "                    that cannot be opened now, and end; nothing is sent\n"
    "  -c, --check       check the file as an update does, print a summary, and\n"
    "                    end; no MIDI device is used\n"
    "  -i, --in N        look for the keyboard on MIDI input N only (0 to 63)\n"
    "  -o, --out N       look for the keyboard on MIDI output N only (0 to 63)\n"
    "      --delay MS    pause MS milliseconds after each message of a record,\n"
    "                    for devices that cannot take them back to back\n"
    "                    (0 to 1000; 0 by default)\n"
    "  -v, --verbose     when no device answers, show every pair tried and why it\n"
    "                    failed; during the transfer, show every resend and why\n"
    "      --log FILE    append a timestamped trace of every MIDI open and close,\n"
    "                    every message sent and every message received to FILE\n"
    "  -n, --no-pause    do not wait for a key at the end; the exit status tells\n"
    "                    the outcome\n"
    "  -h, --help        show this help and end\n"
    "  -V, --version     show the version and end\n"
    "\n"
    "Exit status:\n"
    "  0    updated (--list: listed; --check: the file is good)\n"
    "  1    wrong usage, or the log file cannot be opened\n"
    "  2    the file is missing or refused\n"
    "  3    no device found, or the chosen device number does not exist\n"
    "  4    the keyboard must be reset first\n"
    "  5    the transfer failed\n"
    "  130  interrupted (Ctrl-C): run update again to finish\n"
    "An update without --no-pause ends by waiting for a key and exits with 0,\n"
    "whatever the outcome. --list, --check and wrong usage never wait.\n"
    "\n"
    "Device numbers: on Windows, the system's MIDI devices; on Linux, the ALSA\n"
    "sequencer ports, inputs and outputs each numbered from 0 in client-then-port\n"
    "order. --list shows them. On Windows FILE may separate folders with \\ or /.\n";

char gFileName[kFileNameSize];
FirmwareImage gImage; // owned by the run, lent to the device phase

char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The model code of the first prefix that the name's first three characters
// match, ignoring ASCII case; 0 when none does.
uint8_t ModelCodeFor(const char* name) {
    for (const PrefixEntry& entry : kPrefixTable) {
        int k = 0;
        while (k < 3 && name[k] != '\0' && FoldCase(name[k]) == FoldCase(entry.prefix[k])) ++k;
        if (k == 3) return entry.modelCode;
    }
    return 0;
}

// The file's own name: what follows the last folder separator.
const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
#ifdef _WIN32
        if (*p == '/' || *p == '\\') base = p + 1;
#else
        if (*p == '/') base = p + 1;
#endif
    }
    return base;
}

// A decimal number of at most four digits, no sign or space, up to max.
bool ParseNumber(const char* text, unsigned max, unsigned* value) {
    unsigned number = 0;
    unsigned digits = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || ++digits > 4) return false;
        number = number * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0 || number > max) return false;
    *value = number;
    return true;
}

bool IsOurShortOption(int c) { return c > 0 && c < 128 && strchr(kShortOptions + 1, c) != nullptr; }

// The one-line error for an option's missing or wrong value.
void PrintValueError(int option) {
    switch (option) {
    case 'i': printf("Error: --in takes a device number from 0 to 63 (see update --list).\n"); break;
    case 'o':
        printf("Error: --out takes a device number from 0 to 63 (see update --list).\n");
        break;
    case kOptionDelay: printf("Error: --delay takes milliseconds from 0 to 1000.\n"); break;
    default: printf("Error: --log takes a file name.\n"); break;
    }
}

// Reads the command line into options. Prints the one-line error of a wrong
// usage itself.
ParseResult ParseCommandLine(int argc, char** argv, Options* options) {
    opterr = 0; // the errors are worded here, the same on every platform
    unsigned number = 0;
    for (;;) {
        // Only the main thread runs here, before any other thread exists.
        // NOLINTNEXTLINE(concurrency-mt-unsafe)
        const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'l':
        case 'c': {
            const Mode mode = c == 'l' ? kModeList : kModeCheck;
            if (options->mode != kModeUpdate && options->mode != mode) options->modeConflict = true;
            options->mode = mode;
            break;
        }
        case 'i':
        case 'o':
        case kOptionDelay: {
            const unsigned max = c == kOptionDelay ? kMaxDelayMs : kMaxDeviceNumber;
            if (!ParseNumber(optarg, max, &number)) {
                PrintValueError(c);
                return kParsedWrong;
            }
            if (c == 'i') options->device.input = static_cast<int>(number);
            if (c == 'o') options->device.output = static_cast<int>(number);
            if (c == kOptionDelay) options->device.delayMs = number;
            options->deviceOptions = true;
            break;
        }
        case 'v': options->device.verbose = true; break;
        case kOptionLog: options->logPath = optarg; break;
        case 'n': options->noPause = true; break;
        case 'h': return kParsedHelp;
        case 'V': return kParsedVersion;
        case ':': PrintValueError(optopt); return kParsedWrong;
        default:
            // An unknown short option is named by optopt; for a long one
            // (or one given a value it does not take) the argument is named.
            if (optopt != 0 && !IsOurShortOption(optopt) && optopt < 128) {
                printf("Error: Unknown option '-%c'.\n", optopt);
            } else {
                printf("Error: Unknown option '%s'.\n", argv[optind - 1]);
            }
            return kParsedWrong;
        }
    }
    for (int k = optind; k < argc; ++k) {
        if (options->file != nullptr) options->extraFile = true;
        options->file = argv[k];
    }

    if (options->extraFile) {
        printf("Error: Only one FILE can be given.\n");
    } else if (options->modeConflict) {
        printf("Error: --list and --check cannot be used together.\n");
    } else if (options->mode == kModeList && options->file != nullptr) {
        printf("Error: --list takes no FILE.\n");
    } else if (options->mode != kModeUpdate && options->deviceOptions) {
        printf("Error: --in, --out and --delay are for an update, not for --list or --check.\n");
    } else {
        return kParsedRun;
    }
    return kParsedWrong;
}

int ExitStatusOf(DeviceOutcome outcome) {
    switch (outcome) {
    case kDeviceUpdated: return kExitUpdated;
    case kDeviceNotFound: return kExitNoDevice;
    case kDeviceResetRequired: return kExitResetRequired;
    case kDeviceInterrupted: return kExitInterrupted;
    default: return kExitTransferFailed;
    }
}

const char* OutcomeText(int status) {
    switch (status) {
    case kExitUpdated: return "done";
    case kExitFileRefused: return "the file is missing or refused";
    case kExitNoDevice: return "no device found";
    case kExitResetRequired: return "the keyboard asks to be reset";
    case kExitInterrupted: return "interrupted";
    default: return "the transfer failed";
    }
}

// Chooses the firmware file: FILE, or the folder's first *.led entry.
Selection SelectFile(const Options* options) {
    if (options->file != nullptr) return {kFindFound, options->file};
    snprintf(gFileName, sizeof gFileName, "%s", "*.led");
    const FindResult found = FindFirstLedFile(gFileName, sizeof gFileName);
    return {found, found == kFindFound ? gFileName : nullptr};
}

void PrintLedLogRefusal(const char* path) {
    printf("Error: The log file '%s' would be a .led file: give the log another name.\n", path);
}

// Opens the --log file; prints the one-line refusal itself. The trace never
// goes into a firmware file (by the name the system would open, through
// links, or by identity), never into a folder, and opening it never waits.
// When the firmware is named but does not exist, nothing is opened: the run
// ends with "not found" before any MIDI, and a log named like the firmware
// must not create the file the run then reads. *refused tells a refusal.
FILE* OpenTrace(const char* path, const char* firmware, bool* refused) {
    FILE* log = nullptr;
    *refused = true;
    if (HasLedExtension(path)) {
        PrintLedLogRefusal(path);
        return nullptr;
    }
    if (firmware != nullptr && !PathExists(firmware)) {
        *refused = false;
        return nullptr;
    }
    switch (OpenLogFile(path, firmware, &log)) {
    case kLogOpened: *refused = false; return log;
    case kLogIsFolder: printf("Error: The log file '%s' is a folder.\n", path); break;
    case kLogIsFirmware:
        printf("Error: The log file '%s' is the firmware file: give the log another name.\n", path);
        break;
    case kLogIsLedFile: PrintLedLogRefusal(path); break;
    case kLogNoReader:
        printf("Error: The log file '%s' is a pipe that nothing reads.\n", path);
        break;
    default: printf("Error: The log file '%s' cannot be opened.\n", path); break;
    }
    return nullptr;
}

// The summary of --check for a file that passed.
void PrintSummary(const FirmwareImage* image, uint8_t modelCode) {
    const ImageSummary summary = SummarizeImage(image);
    printf("File check passed: %u records, %u bytes, smallest record %u bytes, largest record %u "
           "bytes, model code %02X.\n",
           static_cast<unsigned>(summary.records), static_cast<unsigned>(image->length),
           static_cast<unsigned>(summary.smallest), static_cast<unsigned>(summary.largest),
           modelCode);
}

// After "The fit file is not found.": the name examined and what to use
// instead. The name is the only model check before MIDI, so the advice is
// the firmware made for the keyboard, never another file under a new name.
void PrintNameRule(const char* fileName, bool searched) {
    if (searched) {
        printf("Only the first .led file of this folder is examined: '%s'. Its name does not "
               "begin with Q25 or Q49, so it is not firmware for this keyboard. Use the firmware "
               "file made for your keyboard (its name begins with Q25 or Q49): keep it alone in "
               "this folder, or run: update FILE\n\n",
               fileName);
    } else {
        printf("The name of '%s' does not begin with Q25 or Q49, so it is not firmware for this "
               "keyboard. Use the firmware file made for your keyboard: its name begins with Q25 "
               "or Q49.\n\n",
               fileName);
    }
}

// Steps 1 to 7 of a run (or the file check); every failure returns early.
// Returns the outcome's exit status.
int RunSequence(const Options* options, const Selection* selection) {
    printf("%s", kBanner);

    if (selection->found == kFindNameTooLong) {
        printf("Error: The file name is too long (at most %d characters)!\n\n",
               static_cast<int>(kFileNameSize - 1));
        return kExitFileRefused;
    }
    const char* fileName = selection->name; // null: nothing matches *.led
    if (fileName == nullptr) {
        printf("Error: File '%s' is not found.\n\n", "*.led");
        return kExitFileRefused;
    }

    // A FILE that does not exist is not found, whatever its name.
    if (options->file != nullptr && !PathExists(fileName)) {
        printf("Error: File '%s' is not found.\n\n", fileName);
        return kExitFileRefused;
    }
    const uint8_t modelCode = ModelCodeFor(BaseName(fileName));
    if (modelCode == 0) {
        printf("Error: The fit file is not found.\n\n");
        PrintNameRule(fileName, options->file == nullptr);
        return kExitFileRefused;
    }

    TextStop stop = {0, 0, kTextRead, 0};
    const LoadResult loaded = LoadImage(fileName, &gImage, &stop, InterruptRequested);
    if (loaded == kLoadNotOpened) {
        printf("Error: File '%s' is not found.\n\n", fileName);
        return kExitFileRefused;
    }
    if (loaded == kLoadInterrupted) return kExitInterrupted; // nothing was sent
    if (loaded == kLoadTooLarge) ExplainTooLarge();          // after the refusal
    if (loaded != kLoadOk) return kExitFileRefused;          // the refusal has been printed
    // A stray byte or a stray line ended the reading, yet the text goes on:
    // the image read is only part of the firmware, whatever its records say.
    if (TextCutShort(&stop)) {
        RefuseCutShortText(&stop);
        return kExitFileRefused;
    }
    if (options->mode == kModeCheck) PrintTextStop(&stop);
    RecordCheck check = {kRecordsHold, 0, 0};
    if (!ValidateImage(&gImage, &check)) {
        ExplainRecordFault(&check, &stop);
        return kExitFileRefused;
    }

    if (options->mode == kModeCheck) {
        PrintSummary(&gImage, modelCode);
        return kExitUpdated;
    }
    if (InterruptRequested()) return kExitInterrupted;
    return ExitStatusOf(RunDeviceUpdate(&gImage, modelCode, &options->device));
}

// The first line of a trace: the command line as given.
void TraceStart(FILE* log, int argc, char** argv) {
    char line[512];
    size_t used = 0;
    line[0] = '\0';
    for (int k = 1; k < argc && used < sizeof line; ++k) {
        const int written = snprintf(line + used, sizeof line - used, " %s", argv[k]);
        if (written < 0) break;
        used += static_cast<size_t>(written);
    }
    TraceLine(log, "start: update%s", line);
}

} // namespace

int RunUpdate(int argc, char** argv) {
    const bool console = PrepareConsoleOutput();
    Options options = {kModeUpdate, false, nullptr, false, kDefaultDeviceSettings,
                       false,       false, nullptr};
    const ParseResult parsed = ParseCommandLine(argc, argv, &options);
    if (parsed == kParsedWrong) {
        printf("Run 'update --help' for the options.\n"); // under the one-line error
        return kExitUsage;
    }
    if (parsed == kParsedHelp) {
        printf("%s", kHelp);
        return kExitUpdated;
    }
    if (parsed == kParsedVersion) {
        printf("update %s\n", UPDATE_VERSION);
        return kExitUpdated;
    }

    CatchInterrupts();
    Selection selection = {kFindNone, nullptr};
    if (options.mode != kModeList) selection = SelectFile(&options);

    FILE* log = nullptr;
    if (options.logPath != nullptr) {
        bool refused = false;
        log = OpenTrace(options.logPath, selection.name, &refused);
        if (refused) return kExitUsage;
        if (log != nullptr) TraceStart(log, argc, argv);
    }
    options.device.trace = log;
    options.device.interrupted = InterruptRequested;
    options.device.liveStatus = console;

    int status = kExitUpdated;
    if (options.mode == kModeList) {
        printf("%s", kBanner);
        ListDevices(log);
    } else {
        status = RunSequence(&options, &selection);
    }
    // --list and --check stop at once too; an update ends its own way.
    if (options.mode != kModeUpdate && InterruptRequested()) status = kExitInterrupted;
    TraceLine(log, "end: %s (status %d)", OutcomeText(status), status);
    if (log != nullptr) {
        // Every line was flushed as it was written; a failure stays noted.
        const bool written = ferror(log) == 0;
        if (fclose(log) != 0 || !written) {
            printf("Warning: The log file '%s' could not be written completely.\n",
                   options.logPath);
        }
    }
    fflush(stdout);

    if (status == kExitInterrupted) return status; // no wait: the user asked to stop
    if (options.mode != kModeUpdate || options.noPause) return status;
    WaitForKey();
    return InterruptRequested() ? kExitInterrupted : kExitUpdated;
}

bool HasLedExtension(const char* name) {
    static const char kExtension[] = ".LED";
    const size_t length = strlen(name);
    if (length < sizeof kExtension - 1) return false;
    const char* tail = name + length - (sizeof kExtension - 1);
    for (size_t k = 0; k + 1 < sizeof kExtension; ++k) {
        if (FoldCase(tail[k]) != kExtension[k]) return false;
    }
    return true;
}
