// The emulated MIDI system: numbered MIDI inputs and outputs behind the WinMM
// functions the Windows MIDI layer calls, with the emulated target attached to
// one input/output pair. The same code runs in-process on Linux (behind the
// headers in winapi/) and as a stand-in winmm.dll under wine.
//
// In-process, a test sets the scenario with Configure() and reads the report
// with Snapshot(). The executable update_emulated and the stand-in DLL read the
// scenario from the file named by the environment variable
// UPDATE_EMUL_SCENARIO and write the report to the file named by
// UPDATE_EMUL_REPORT, at process exit and whenever both sides become closed.
//
// Scenario file: one setting per line, words separated by spaces; blank lines
// and lines starting with '#' are ignored. Numbers are decimal, codes and
// bytes hexadecimal (two digits, no prefix). Devices are numbered from 0 in the
// order of their lines.
//
//   input <name>                     adds an input device; the name is the rest of the line
//   output <name>                    adds an output device
//   input_caps_fail <n>              the capability query of input n fails (a gap in the numbering)
//   output_caps_fail <n>
//   input_open_fail <n|all>          midiInOpen fails (MMSYSERR_ALLOCATED) for input n, or every input
//   output_open_fail <n|all>
//   input_open_fail_beside <n>       midiInOpen fails (MMSYSERR_ALLOCATED) for input n while another
//                                    input is open
//   input_start_fail <n>             midiInStart fails (MMSYSERR_ERROR) on input n
//   output_send_fail <n> <m>         sends on output n fail (MMSYSERR_NODRIVER) from its m-th send on (from 1)
//   output_send_fail_once <n> <m>    only the m-th send on output n fails
//   still_playing <k>                each send's midiOutUnprepareHeader answers MIDIERR_STILLPLAYING k times
//   pacing on|off                    31,250 baud: 320 us per byte; a send blocks for its wire time and
//                                    each reply arrives after its own; a send returns only once every
//                                    message that had arrived by its end has been handed over
//   late_return <ms>                 a paced send returns <ms> after its message has left, as when the
//                                    caller's thread runs again late (the answer may come meanwhile)
//   async_output on|off              midiOutLongMsg returns at once and the message leaves after its
//                                    wire time (320 us a byte, pacing or not); until then
//                                    midiOutUnprepareHeader answers MIDIERR_STILLPLAYING; then MOM_DONE
//                                    reaches the output's callback (default off: the send blocks)
//   output_wedged <n> [<m>]          messages on output n never complete, from its m-th send on (from 1,
//                                    default 1); midiOutReset ends them
//   output_reset_ignored <n>         midiOutReset on output n leaves a wedged message where it is, so
//                                    the output cannot be closed and keeps its header for good
//   input_split <k> [<k> ...]        every arriving message is handed back in pieces of k bytes, the
//                                    sizes taken in turn, each piece in a buffer of its own; the
//                                    pieces go on in the buffers the application queues meanwhile
//   input_release_fails <n>          midiInStop, midiInReset and midiInClose fail (MMSYSERR_ERROR) on
//                                    input n: its queued buffers stay with the device
//   unterminated_names on|off        names of 32 characters or more fill the whole 32-byte capability
//                                    field with no terminator (default: cut to 31 and terminated)
//   long_continues on|off            a message longer than the queued buffers goes on in the next
//                                    buffer the application queues, as the bytes keep arriving
//                                    (default off: the rest of the message is lost)
//   hold_replies on|off              the target's input device keeps what the target sends while
//                                    that input is closed or not started, and hands it over when the
//                                    input is next started, as a USB device holds what nobody reads
//                                    (default off: such messages are lost)
//   loopback <in> <out>              what is sent on output <out> arrives on input <in>
//   target <in> <out>                the target listens on output <out> and answers on input <in>
//   model <code>                     the target's model code (default 3B)
//   reply_delay <ms>                 the target's delay before each reply (default 0)
//   handshake <attempt> <action>     the answer to the attempt-th handshake (from 1)
//   handshake_default <action>       every other handshake (default: model)
//   record <number> <attempt> <action>  the answer to the attempt-th receipt (from 1) of record
//                                    <number> (from 0, counted in accepted records)
//   record_default <action>          every other record (default: code 1A)
//   checksum_error <action>          a record whose checksum is wrong (default: code 20)
//   vanish_after <n>                 after the target has received n messages its input and output
//                                    vanish: sends fail, the input delivers nothing more
//   vanish_close_refuses on|off      a vanished device's close keeps failing (default off)
//   vanish_stall <ms>                a vanished device is disconnected: every call on it, its open
//                                    and close included, waits <ms> before it fails (MMSYSERR_NODRIVER)
//
// Callbacks (input and output) run on the emulation's own thread. A WinMM call
// made from inside one, other than midiOutShortMsg and midiOutLongMsg (the
// only MIDI functions the documentation allows there), still works but is
// counted as a callback violation in the report.
//
// Actions: silent | model | code <c> | twice <c> [<c2>] | one_byte | unterminated <c> | long_error <c> |
// raw <b> <b> ... | long <length> [<c>] | flood <count> [<c>], each optionally followed by
// "delay <ms>" (instead of reply_delay) and "on <input>" (answer on another input).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "target.h"

namespace emul {

struct Device {
    std::string name;
    bool capsFail = false;
    bool openFail = false;
    bool openFailBeside = false; // inputs: the open fails while another input is open
    bool startFail = false;   // inputs
    unsigned sendFailFrom = 0; // outputs: 0 = never, else the first failing send (from 1)
    unsigned sendFailOnce = 0; // outputs: 0 = never, else the one failing send (from 1)
    unsigned wedgedFrom = 0;   // outputs: 0 = never, else the first send that never completes (from 1)
    bool releaseFails = false; // inputs: stop, reset and close fail
    bool resetIgnored = false; // outputs: midiOutReset does not end a wedged message
};

struct Scenario {
    std::vector<Device> inputs;
    std::vector<Device> outputs;
    unsigned stillPlaying = 0;
    bool pacing = false;
    unsigned lateReturnMs = 0;
    bool unterminatedNames = false;
    bool longContinues = false;
    bool holdReplies = false;
    std::vector<std::pair<int, int>> loopbacks; // (input, output)
    int targetIn = -1;                          // no target when either is -1
    int targetOut = -1;
    TargetScript script;
    unsigned vanishAfter = 0; // 0 = never
    bool vanishCloseRefuses = false;
    unsigned vanishStallMs = 0; // 0: a vanished device's calls answer at once
    bool asyncOutput = false;
    std::vector<unsigned> inputSplit; // piece sizes; empty: a message fills whole buffers
};

// Parses a scenario file's text. Returns false and sets *error (with the line
// number) on a line it does not understand.
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);

// One WinMM call or device event, in the order they happened.
struct Event {
    std::string what; // in_open, in_start, in_stop, in_reset, in_close, out_open, out_close, send
    int device = -1;
    unsigned result = 0;
    std::vector<uint8_t> bytes; // send: the message
};

struct HandshakeCount {
    int output;
    unsigned count;
};

struct Report {
    unsigned winmmCalls = 0;   // every midiIn*/midiOut* call
    bool inputLeftOpen = false;  // some input open at the platform level
    bool outputLeftOpen = false;
    std::vector<Event> events;
    std::vector<HandshakeCount> handshakes; // handshake requests per output
    TargetLog target;
    unsigned delivered = 0;   // messages handed to an application buffer
    unsigned lateDeliveries = 0; // of those, handed over more than 1 ms after they were due
    unsigned dropped = 0;     // messages lost: input not started, no buffer, closed or vanished
    unsigned held = 0;        // messages kept by the device while unread (hold_replies)
    unsigned callbacks = 0;   // application callbacks made
    unsigned sends = 0;       // successful midiOutLongMsg calls
    unsigned inUnprepareCalls = 0;
    unsigned outUnprepareCalls = 0;
    unsigned stillPlayingAnswers = 0;
    unsigned sleeps = 0;      // Sleep calls (in-process only)
    unsigned sleepsOf100 = 0; // Sleep(100) calls (in-process only)
    unsigned timerPeriodBegins = 0; // timeBeginPeriod(1) calls
    unsigned timerPeriodEnds = 0;   // timeEndPeriod(1) calls
    unsigned callbackViolations = 0; // WinMM calls made from inside a callback, against the rule
    std::vector<std::string> callbackCalls; // their function names, each once
    unsigned stalledCalls = 0;  // calls on a disconnected device that stalled
    unsigned sharedHeaders = 0; // input headers queued while another input still held them
    unsigned heldHeaderReuse = 0; // output headers prepared or sent while an output still held them
    unsigned outputDone = 0;    // MOM_DONE callbacks made
};

// Replaces the whole emulated system: devices closed, queues emptied, counts
// zero. Call while no callback is expected.
void Configure(const Scenario& scenario);
Report Snapshot();
std::string ReportText(const Report& report);

// Test hooks: a message arriving on input device n, as data or as an invalid
// message (MIM_LONGERROR), after delayMs; and a wait until every message and
// callback due by now has been handed to the application.
void Deliver(int input, const std::vector<uint8_t>& bytes, bool invalid = false, unsigned delayMs = 0);
void WaitIdle();
// Hands every queued buffer of an open input back empty (0 bytes recorded,
// MIM_LONGDATA), as a driver may do, and waits for the callbacks.
void HandBackEmpty(int input);
// The flags of an input device's queued buffers (for tests): count queued.
unsigned QueuedBuffers(int input);

// For the executable and the DLL: loads the scenario named by
// UPDATE_EMUL_SCENARIO (once), and writes the report to UPDATE_EMUL_REPORT.
void LoadScenarioFromEnvironment();
void WriteReportFile(bool atExit);

} // namespace emul
