// The live status line on a console, and the report of where a failed
// transfer stopped.
#include "protocol/status.h"

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kLineSize = 96; // longer than any status line
constexpr unsigned kAttempts = 20; // a record's attempts before the transfer stops

bool gLive;
StatusObserver gObserver;
unsigned gShownLength; // characters of the live line standing on the console; 0: none

Clock::time_point gStarted; // the transfer's start
unsigned gRecords;          // records in the image
unsigned gRecord;           // the record of the latest progress line, counted from 1

// Replaces the live line standing on the console by text: the old line is
// overwritten with spaces first, since the new one may be shorter.
void ShowLine(const char* text, int length) {
    if (length < 0) return;
    printf("\r%*s\r%s", static_cast<int>(gShownLength), "", text);
    gShownLength = static_cast<unsigned>(length);
    fflush(stdout);
}

// "about 9 s left" from the pace so far; nothing before the first record is in.
int FormatTimeLeft(char* out, size_t size, uint32_t acknowledged, uint32_t length) {
    if (acknowledged == 0 || acknowledged >= length) return snprintf(out, size, "%s", "");
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gStarted).count();
    const uint64_t ms = static_cast<uint64_t>(elapsed < 0 ? 0 : elapsed);
    const uint64_t leftMs = ms * (length - acknowledged) / acknowledged;
    const uint64_t seconds = leftMs < 1000 ? 1 : (leftMs + 999) / 1000;
    if (seconds < 120) {
        return snprintf(out, size, ", about %u s left", static_cast<unsigned>(seconds));
    }
    return snprintf(out, size, ", about %u min left", static_cast<unsigned>((seconds + 59) / 60));
}

} // namespace

void SetLiveStatus(bool on) {
    gLive = on;
    gShownLength = 0;
}

void SetStatusObserver(StatusObserver observer) { gObserver = observer; }

void ShowSearchStatus(unsigned firstInput, unsigned lastInput, unsigned inputs, unsigned output,
                      unsigned outputs) {
    if (gObserver != nullptr) gObserver(kStatusSearch, firstInput, inputs, output, outputs);
    if (!gLive) return;
    char line[kLineSize];
    const int length =
        firstInput == lastInput
            ? snprintf(line, sizeof line,
                       "Looking for the keyboard: input %u of %u, output %u of %u",
                       firstInput + 1, inputs, output + 1, outputs)
            : snprintf(line, sizeof line,
                       "Looking for the keyboard: inputs %u to %u of %u, output %u of %u",
                       firstInput + 1, lastInput + 1, inputs, output + 1, outputs);
    ShowLine(line, length);
}

void WipeStatus() {
    if (!gLive || gShownLength == 0) return;
    printf("\r%*s\r", static_cast<int>(gShownLength), "");
    gShownLength = 0;
    fflush(stdout);
}

void StartProgress(unsigned records) {
    gStarted = Clock::now();
    gRecords = records;
    gRecord = 0;
}

void ShowProgress(char spinner, unsigned percent, unsigned record, unsigned failures, bool silent,
                  uint32_t acknowledged, uint32_t length) {
    gRecord = record;
    if (gObserver != nullptr) gObserver(kStatusRecord, record, gRecords, failures, percent);
    if (!gLive) {
        printf("\r                        \rTransferring.. %c %d%% done", spinner,
               static_cast<int>(percent));
        return;
    }
    char line[kLineSize];
    int shown = 0;
    if (failures > 0) {
        shown = snprintf(line, sizeof line,
                         "Transferring.. %c %d%% done, %s: sending record %u "
                         "again (attempt %u of %u)",
                         spinner, static_cast<int>(percent), silent ? "no answer" : "refused",
                         record, failures + 1, kAttempts);
    } else {
        char tail[40];
        FormatTimeLeft(tail, sizeof tail, acknowledged, length);
        shown = snprintf(line, sizeof line, "Transferring.. %c %d%% done (record %u of %u%s)",
                         spinner, static_cast<int>(percent), record, gRecords, tail);
    }
    ShowLine(line, shown);
}

void ReportTransferStop(unsigned refusals) {
    if (gRecord == 0) return;
    if (refusals == 0) {
        printf("The update stopped at record %u of %u. Check the keyboard's MIDI connection, "
               "then run update again: it starts over from the first record.\n\n",
               gRecord, gRecords);
        return;
    }
    printf("The update stopped at record %u of %u: the keyboard did not take it in %u attempts.\n",
           gRecord, gRecords, kAttempts);
    if ((refusals & kRefusedErase) != 0) {
        printf("It could not erase its memory: switch the keyboard off and on.\n");
    }
    if ((refusals & kRefusedData) != 0) {
        printf("It found the data damaged: download the firmware file again. If the keyboard is "
               "connected through a MIDI interface, add --delay 20 (update --delay 20).\n");
    }
    printf("Then run update again: it starts over from the first record.\n\n");
}
