// A whole update run against the emulated MIDI system and target, as a user
// would see it: the firmware and the scenario in temporary folders, the real
// updater started there (in one process on Linux as update_emulated, and the
// Windows build's update.exe under wine beside the stand-in winmm.dll), then
// its console, exit status and duration, and the emulated system's report,
// checked against one row of a table.
#pragma once

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "support/firmware.h"
#include "support/run_program.h"
#include "support/transcript.h"

namespace update_test {

// The emulated system's report: a line per value ("key value ..."), and
// "event <what> <device> <result> [<hex>]" per MIDI call, ending with "end".
struct EmulReport {
    struct Event {
        std::string what;
        int device = -1;
        unsigned result = 0;
        std::string hex; // send: the message
    };
    bool complete = false;
    std::vector<std::string> lines;
    std::vector<Event> events;
    std::vector<std::string> handshakes; // "output count", from "handshake_output" lines

    // The rest of the first line that begins with key; "<missing>" when none does.
    std::string Value(const std::string& key) const;
    bool Holds(const std::string& line) const;
};

EmulReport ParseEmulReport(const std::string& text);

struct WholeRun {
    std::string name;
    std::string fileName; // written into the program's folder (it may hold a folder)
    std::string ledText;
    std::vector<Bytes> records; // the file's records, for the image the target holds
    std::string scenario;
    std::vector<std::string> args;
    std::string console; // the whole standard output, up to any wait for a key
    bool waits = true;   // ends with the wait for a key
    int exitStatus = 0;

    bool midi = true;          // false: no MIDI call at all
    bool checkTarget = true;   // false: the report is checked only for the MIDI system's rules
    std::vector<int> accepted; // the records the target holds, by index, in order
    // Every record chunk sent, as its characters; the handshake requests per
    // pair ("input output count"), all of them; not checked when absent.
    std::optional<std::vector<std::string>> wire;
    std::optional<std::vector<std::string>> handshakes;
    int foundInput = -1; // the pair closed last, input then output; -1: not checked
    int foundOutput = -1;
    std::vector<std::string> reportLines; // further lines the report must hold
    std::vector<std::string> trace;       // --log trace.log: its events after the timestamps
    std::string interruptAt;              // Ctrl-C once trace.log holds this
    int interruptSignal = SIGINT;         // ... by this signal
    std::string pauseAt;                  // the program stopped for pauseFor once trace.log holds this
    std::chrono::milliseconds pauseFor{0};
    // Standard output is a pipe whose reader goes away once it has read the
    // console above (as `update | head -c N`): the rest is lost, the run is not.
    bool outputClosedAfterConsole = false;
    bool noOutput = false; // no standard output at all (update >&-); console must be empty

    std::chrono::milliseconds timeLimit{20000}; // killed after (more under wine)
    std::chrono::milliseconds atLeast{0};       // the run lasts at least this long
    std::chrono::milliseconds atMost{0};        // ... and at most this, plus start-up; 0: any
};

// Runs the row on the platform and checks everything it describes (gtest
// failures in the calling test).
void RunWholeUpdate(Platform platform, const WholeRun& row);

// One run of the in-process updater (update_emulated) on a firmware file and a
// scenario, checking nothing: its console and the emulated system's report.
struct EmulatedRun {
    RunResult run;
    EmulReport report;
};
EmulatedRun RunEmulated(const std::string& fileName, const std::string& ledText,
                        const std::string& scenario, std::chrono::milliseconds timeLimit);

} // namespace update_test
