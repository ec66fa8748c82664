// What the end-to-end tests inside the test VM share (tests/vm/run-in-vm):
// the virtual card, the emulated target as a process at a raw MIDI end
// (raw_midi_target), small firmware files, what the console shows, and the
// Windows build under wine with wine's own WinMM on the kernel sequencer.
//
// The sequencer in the VM numbers the devices the same way for the Linux
// build and for wine's WinMM, in both directions:
//   0 "Midi Through Port-0"   (echoes the handshake back: code 0x54, a fast failure)
//   1 "VirMIDI 0-0"           raw end /dev/snd/midiC0D0
//   2 "VirMIDI 0-1"           /dev/snd/midiC0D1
//   3 "VirMIDI 0-2", 4 "VirMIDI 0-3"
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"
#include "support/temp_folder.h"
#include "support/transcript.h"

namespace vm_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// --- The virtual card ---------------------------------------------------------

std::string RawDevice(int n); // /dev/snd/midiC0Dn

// Whether the virtual card is bound to its driver.
bool CardBound();
// Writes the card's name to the driver's "bind" or "unbind" file. An unbind
// returns only once every raw descriptor of the card has been closed.
bool WriteDriverFile(const char* file);
// Waits until the four raw devices and their sequencer ports are all there
// (present) or all gone.
bool WaitForCard(bool present, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Binds the card if it is not, and waits for its devices and ports.
::testing::AssertionResult EnsureCardBound();

// A case inside the VM: the kernel sequencer must be there; the card is bound
// before and after (a case that unbound it leaves it bound for the next).
class VmCase : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A subscription from one sequencer port to another (by port name), made by a
// client of the test's own (which has no ports, so neither build numbers a
// device of it), as a patch bay would make it; removed when the object goes.
class Route {
public:
    Route() = default;
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;
    ~Route();
    ::testing::AssertionResult Make(const std::string& fromPort, const std::string& toPort);

private:
    struct Sequencer;
    Sequencer* seq_ = nullptr;
};

// --- The emulated target as a process -------------------------------------------

// The target's log: one "key value" a line.
using Counts = std::map<std::string, std::string>;
// A count of the log; ~0u when the key is missing.
unsigned Count(const Counts& counts, const std::string& key);

class RawTarget {
public:
    RawTarget() = default;
    RawTarget(const RawTarget&) = delete;
    RawTarget& operator=(const RawTarget&) = delete;
    ~RawTarget() { Stop(); }

    // Starts the target on raw device n with a script in the scenario format
    // and waits until it listens.
    // With byteUs it reads no faster than a byte every byteUs microseconds.
    ::testing::AssertionResult Start(int device, const std::string& script, int byteUs = 0);
    // The same on any raw device, e.g. a USB gadget's.
    ::testing::AssertionResult Start(const std::string& deviceName, const std::string& script, int byteUs = 0);
    // The latest log (empty before the target wrote one).
    Counts Read() const;
    // Ends the target with SIGTERM (unless it has ended already) and returns
    // its final log.
    Counts Stop();
    // Waits for the target to end by itself (up to the limit) and returns its
    // final log.
    Counts WaitForEnd(std::chrono::milliseconds limit);
    int ExitStatus() const { return exitStatus_; }
    std::string Output() const;

private:
    void Reap();

    update_test::TempFolder folder_;
    std::filesystem::path log_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

// Unbinds the virtual card from a thread of its own once the target has taken
// in `records` records (resends included), as if the keyboard were unplugged
// while the updater waits for a verdict.
class UnplugWhenReceived {
public:
    UnplugWhenReceived(const RawTarget& target, unsigned records);
    ~UnplugWhenReceived() { Join(); }
    void Join();
    bool SawRecords() const { return sawRecords_; }
    bool Unbound() const { return unbound_; }

private:
    bool sawRecords_ = false;
    bool unbound_ = false;
    std::thread thread_;
};

// --- The firmware file --------------------------------------------------------

struct Firmware {
    std::vector<Bytes> records;
    Bytes image;
    std::string text; // the .led text: one record a line, bytes apart
};

// Valid records of the given sizes (each >= 4), with payloads that differ.
Firmware MakeFirmware(const std::vector<unsigned>& sizes);
// Upper-case hexadecimal, as the target's log writes its image.
std::string Hex(const Bytes& bytes);
// The given records of the firmware, one after the other.
std::string HexOfRecords(const Firmware& firmware, const std::vector<unsigned>& which);

// Three records of 16, 12 and 22 bytes (50 in all): a full and a short chunk,
// a full and a one-byte chunk, two full chunks. The progress line shows
// 0%, 32% and 56% before them.
extern const std::vector<unsigned> kThreeRecords;

// --- What the console shows (with "\n" line ends) -------------------------------

// Character arrays, not strings, so that tables at namespace scope in other
// files may use them while they are being initialized.
extern const char kFileName[]; // the firmware file every case writes
extern const char kHeader[];   // the banner and the file line
extern const char kDone[];     // the last progress line and the success message
// The three lines naming the pair found, both sides on one port.
std::string Found(const std::string& port);
std::string Progress(char spinner, int percent);
std::string Repeat(const std::string& text, unsigned times);

// --- Whole updates, by table --------------------------------------------------

// How the target's answers reach the updater.
enum class Path {
    // Straight back on the target's own port: discovery finds the pair
    // (n + 1, n + 1) of the target's raw device n, every input listened to
    // while each output gets its handshake; the target's one handshake is
    // heard, and one more confirms the pair.
    kDirect,
    // The target's port routed into "Midi Through Port-0", so that its
    // answers come in on input 0: found at pair (0, n + 1) with one handshake
    // and confirmed with a second (output 0 only echoes).
    kViaMidiThrough,
};

// One run of the updater against the target, all of whose expectations fit
// one shape: the target's place and script, what follows the device lines,
// the records it took in (resends included) and which of the file's records
// it accepted.
struct UpdateCase {
    const char* name;
    int targetDevice;   // raw device n of the target: 0 is "VirMIDI 0-0"
    const char* script; // the target's lines in the scenario format
    std::string afterFound;
    unsigned recordsReceived;
    std::vector<unsigned> accepted;
    Path path = Path::kDirect;
    std::vector<unsigned> sizes = kThreeRecords; // the file's records
    int byteUs = 0;                              // the target's reading pace (0: at once)
};
void PrintTo(const UpdateCase& c, std::ostream* out);
std::string CaseName(const ::testing::TestParamInfo<UpdateCase>& info);

// The port name of raw device n, "VirMIDI 0-n".
std::string VirtualPort(int n);
// The three lines naming the pair the case's discovery finds.
std::string FoundLines(const UpdateCase& c);
// The handshakes the target sees in the case's discovery.
unsigned Handshakes(const UpdateCase& c);
// Makes the route the case's path needs (none for kDirect).
::testing::AssertionResult MakePath(const UpdateCase& c, Route& route);

// The transfer's outcomes with the target on raw device 0 ("VirMIDI 0-0"):
// an error code then 0x1A, silence on a record, 0x77 on the last record. Run
// by both builds.
const std::vector<UpdateCase>& TransferOutcomes();
// The same rows with another path.
std::vector<UpdateCase> WithPath(std::vector<UpdateCase> cases, Path path);

// --- The Linux build ----------------------------------------------------------

// Runs the real Linux updater in a fresh folder holding the firmware file
// (named fileName), standard input from /dev/null.
update_test::RunResult RunLinuxUpdater(const Firmware& firmware, const std::string& fileName = kFileName);
std::string LinuxTranscript(const std::string& runOutput);

// The time a record of recordSize bytes takes on a 31,250-baud line: 24 bytes
// for each full chunk of 11 record bytes, 2r + 2 for a last chunk of r, 320 us
// a byte.
long long WireUs(unsigned recordSize);

// Runs a whole update against a target on the raw device (with the script)
// and prints the time per record of 64, 256 and 1,024 bytes; `through` names
// the path in the figures line.
void MeasureTimePerRecord(const std::string& device, const std::string& script, const char* through);

// --- The Windows build under wine --------------------------------------------

// Inside the VM started with run-in-vm --wine: WINEPREFIX names the prefix
// made on the host, wine and wineserver are on PATH, and the shipped
// update.exe has no winmm.dll beside it, so that wine's own WinMM serves it.
::testing::AssertionResult WineReady();

// A wineserver that outlives each program (wineserver -p), so that each run
// does not pay for wine's start-up; ended with wineserver -k. Create one per
// test program (for example in a ::testing::Environment).
class PersistentWineServer {
public:
    ::testing::AssertionResult Start();
    void Stop();
    ~PersistentWineServer() { Stop(); }

private:
    bool started_ = false;
};

// Runs a Windows program under wine in folder with wine's own DLLs (no
// override), standard input from the file input (empty: /dev/null), and
// returns its output and how it ended.
update_test::RunResult RunWindowsProgram(const std::filesystem::path& exe,
                                         const std::filesystem::path& folder,
                                         const std::filesystem::path& input = {},
                                         std::vector<std::string> args = {});
// The shipped update.exe so (or the one VM_UPDATE_EXE names).
update_test::RunResult RunUpdateExe(const std::filesystem::path& folder,
                                    const std::filesystem::path& input = {});

// How a wine program ended. Wine 8.0 with its ALSA MIDI driver loaded may
// kill its own process at the exit, after the program's ExitProcess: the
// driver's notify thread ("winealsa_midi_notify") faults inside ntdll's
// system-call dispatcher while the main thread runs the C library's exit
// handlers, and the kernel ends the process with SIGSEGV (or SIGKILL). A
// fault in the program's own code is different: wine reports it on standard
// error ("Unhandled exception", "page fault") and exits with the exception's
// low byte (5 for an access violation).
enum class WineEnd { kExited, kKilledAtExit, kOther };
WineEnd ClassifyWineEnd(const update_test::RunResult& run);
// A run ended well: exit status 0, or killed by wine's exit fault with
// nothing on standard error. Counts the fault (see WineExitFaults).
::testing::AssertionResult EndedWell(const update_test::RunResult& run);
// Runs that EndedWell saw killed by wine's exit fault, of all it saw.
struct FaultTally {
    unsigned killed = 0;
    unsigned runs = 0;
};
FaultTally WineExitFaults();

} // namespace vm_test
