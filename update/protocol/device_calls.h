// The MIDI calls of the device phase, each written to the run's trace
// (--log): opens, closes, sends and the device counts.
#pragma once

#include <cstdint>

#include "midi/midi.h"
#include "midi/reply_queue.h"

namespace device_phase {

constexpr unsigned kReasonSize = 32;

// What a failed MIDI call's result means, in a few words: the MIDI layer's
// own words when it has them, otherwise the code (written into buffer, which
// holds kReasonSize characters).
const char* Reason(uint16_t result, char* buffer);

// Open a side by device number and trace the outcome.
uint16_t OpenInput(unsigned device);
uint16_t OpenOutput(unsigned device);

// Close a side (CloseInput: every open input; CloseInputDevice: that one);
// closes that did nothing (the side was not open) are not traced.
void CloseInput();
void CloseInputDevice(unsigned device);
void CloseOutput();

// Sends F0, data, F7 on the open output. The message is traced before it is
// sent, so that its answer, traced on the input thread, always comes after it.
uint16_t Send(const uint8_t* data, unsigned n);

// Counts devices 0, 1, ... up to kMaxDevices - 1, stopping at the first failed query, and
// keeps their names.
unsigned CountDevices(uint16_t (*query)(unsigned, char*), char names[][kDeviceNameSize]);

// A message that can answer what was sent: F0 and at least one byte more.
inline bool IsVerdictShaped(const IncomingReply* message) { return message->count > 1; }

} // namespace device_phase
