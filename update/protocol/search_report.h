// What the search tried, and the report after a failed search: the causes
// that are known, what was tried, and what to do next.
#pragma once

#include <cstdint>

#include "protocol/run_state.h"

namespace device_phase {

// Keeps how a pair (or, with kInputNotOpened, an input) fared.
void NoteTried(unsigned input, unsigned output, PairResult result, uint16_t code);

// Why there is no input or output to try, when the MIDI layer can tell, and
// what to do.
void ReportNoDevices(unsigned inputs, unsigned outputs);

// One line for each cause found among the pairs tried, then a blank line.
void ReportKnownCauses(unsigned inputs, unsigned outputs);

// With devices there and none answering: what was tried, and the next step.
void ReportNoneAnswered(unsigned inputs, unsigned outputs);

// With --verbose: every pair tried and its outcome.
void ReportPairsTried(unsigned inputs, unsigned outputs);

} // namespace device_phase
