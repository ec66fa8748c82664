// Reassembly of incoming System Exclusive messages, shared by every MIDI
// layer: the pieces a platform hands over (sequencer events, input buffers,
// browser messages) become whole messages by the same rules.
#pragma once

#include <cstdint>

#include "midi/midi.h"

// Reassembly of incoming System Exclusive messages from the chunks the
// sequencer delivers (a long message arrives in several events). A message
// starts at F0 and ends at F7; an F0 before the F7 starts it again; bytes
// outside a message are ignored. At most kReplyBufferSize bytes of a message
// are kept, but the message is read to its F7 before it is delivered.
struct SysExAssembly {
    uint8_t bytes[kReplyBufferSize];
    uint32_t kept;   // bytes kept of the message in progress
    uint32_t length; // bytes of the message in progress, kept or not
    bool inMessage;  // an F0 has been seen and its F7 not yet
};

// Receives a completed message: its kept bytes, their count, and the
// message's whole length (more than kept when it was cut).
typedef void (*SysExSink)(const uint8_t* bytes, uint32_t kept, uint32_t length, void* context);

void ResetSysExAssembly(SysExAssembly* assembly);

// Feeds one chunk; each message completed in it goes to sink, in order.
void FeedSysEx(SysExAssembly* assembly, const uint8_t* chunk, unsigned n, SysExSink sink,
               void* context);
