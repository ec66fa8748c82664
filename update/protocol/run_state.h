// One device phase's settings and results, kept in one place (gRun) and
// shared by the search, its report, the transfer and --list. The state is
// reset at the start of every run (StartRun).
//
// Internal to the protocol: the driver uses protocol/protocol.h. The names
// live in their own namespace so that a benchmark can build the protocol a
// second time under other names.
#pragma once

#include <cstdint>

#include "midi/midi.h"
#include "protocol/protocol.h"

namespace device_phase {

constexpr unsigned kPollMilliseconds = 1;

// How one input/output pair (or one input) fared in the search.
enum PairResult : uint8_t {
    kInputNotOpened,  // code: the open's result
    kOutputNotOpened, // code: the open's result
    kNoAnswer,
    kWrongAnswer, // code: the last reply code taken, neither the model code nor 0x15
    kUnconfirmed, // code: the model code or 0x15, not given again to the confirming request
};

struct PairTried {
    uint8_t input;
    uint8_t output;
    PairResult result;
    uint16_t code;
};

struct RunState {
    // The run's trace sink (null: none) and its interrupt question (null:
    // never asked), from the driver's settings.
    FILE* trace = nullptr;
    bool (*interrupted)() = nullptr;
    // The input and output last opened, for the trace.
    int inputNumber = -1;
    int outputNumber = -1;
    // Device names by number, as the latest count found them.
    char inputNames[kMaxDevices][kDeviceNameSize] = {};
    char outputNames[kMaxDevices][kDeviceNameSize] = {};
    // What the search tried, for the report after a failed search.
    PairTried tried[kMaxDevices * kMaxDevices] = {};
    unsigned triedCount = 0;
    // The refusals among the failed attempts of the record at which the
    // transfer stopped with "Error in updating." (kRefused* of status.h), for
    // the advice after it; 0 after any other end.
    unsigned stopRefusals = 0;
};

extern RunState gRun;

// Forgets everything of an earlier run and takes the trace and the
// interrupt question of this one.
void StartRun(FILE* trace, bool (*interrupted)());

// Takes the trace and the interrupt question without forgetting the rest
// (the search and the transfer, each called on its own).
void TakeSettings(const DeviceSettings* settings);

// True once the user asked the run to stop.
bool Interrupted();

} // namespace device_phase
