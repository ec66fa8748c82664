// The MIDI port pair: one output and up to ten inputs at a time, System
// Exclusive sending, and the messages of every open input, which reach the
// reply queue (midi/reply_queue.h) tagged with the input's device number.
// The search for the target listens on several inputs at once; once it has
// chosen a pair, only that pair's input stays open.
//
// One implementation per platform (WinMM on Windows, the ALSA sequencer on
// Linux, Web MIDI on the update page) is chosen at link time; the reply queue
// and the System Exclusive reassembly are shared by all. A layer stores each
// completed incoming message with StoreReply and marks each message it sends
// with MarkHandedOver at the moment it has left (or, where it cannot tell, was
// handed to the system).
#pragma once

#include <cstdint>

constexpr unsigned kMaxSysExData = 22;     // data bytes between F0 and F7
constexpr unsigned kReplyBufferSize = 200; // bytes the input buffer holds
constexpr unsigned kDeviceNameSize = 32;   // at most 31 characters plus the terminator
constexpr unsigned kMaxOpenInputs = 10;    // inputs open at once

// Device queries by number (0, 1, ...). Return 0 and copy the device's
// product name (always terminated, at most 31 characters) when the device
// exists; a non-zero MIDI result code otherwise.
uint16_t QueryMidiInDevice(unsigned deviceId, char name[kDeviceNameSize]);
uint16_t QueryMidiOutDevice(unsigned deviceId, char name[kDeviceNameSize]);

// Open a side by device number. Return the low 16 bits of the platform's
// result: 0 on success. An input is opened beside the inputs already open;
// with kMaxOpenInputs open, or with that input open already, the open fails
// with a code of the platform's (it never replaces an open input). An input
// whose start fails stays open and marked open: the caller closes it. Opening
// an output closes the output open before.
uint16_t OpenMidiIn(unsigned deviceId);
uint16_t OpenMidiOut(unsigned deviceId);

// Close a side. Return 1 when the side was open, 0 when there was nothing to
// do. CloseMidiIn closes every open input; CloseMidiInDevice only that one.
int CloseMidiIn();
int CloseMidiInDevice(unsigned deviceId);
int CloseMidiOut();

// Send F0, data[0..n), F7 on the open output and return once the message has
// left (on Linux: once the device can hold it without overrunning a slow MIDI
// line). More than 22 data bytes: nothing is sent and 0 is returned.
uint16_t SendSysEx(const uint8_t* data, unsigned n);

// A few words for a failed call's result that the user can act on ("in use
// by another program"), or null when the platform has none for it.
const char* MidiResultText(uint16_t result);

// The kind of trouble behind a failed call's result, for the advice printed
// after a failed search for the keyboard.
enum MidiTrouble : uint8_t {
    kMidiTroubleOther = 0,
    kMidiTroubleInUse = 1,        // another program holds the device
    kMidiTroubleNoSystem = 2,     // the platform's MIDI service is missing (no ALSA sequencer)
    kMidiTroubleNoPermission = 3, // the user may not use the MIDI service
};
MidiTrouble MidiResultTrouble(uint16_t result);

// The platform's advice for that trouble, one line without its line end ("load
// the sequencer's module, then run update again"), or null when the platform
// has none and the caller's own words fit.
const char* MidiTroubleAdvice(MidiTrouble trouble);

// The main thread's turn at every poll of the reply queue: hands the input
// buffers that completed messages have filled back to the device, outside the
// platform's input callback. Does nothing where the platform needs nothing.
void ServiceMidiIn();

// Product names of the opened devices (empty until a side has been opened).
// The input's is that of the open input opened first; with none open, that of
// the input opened last.
const char* MidiInName();
const char* MidiOutName();
