// The reply queue: the completed System Exclusive messages from the open
// input, oldest first, each with the input it came from and the moment it
// arrived. The platform's input side stores messages; the main thread takes
// them and judges each one.
//
// Arrivals and hand-over marks share one sequence: the output side marks the
// moment the latest message sent has left (or, where the platform cannot tell,
// was handed to the system), so the transfer can tell a message that came
// before a record had left, which cannot be the record's verdict, from one
// that came after it. Every access is made under a small lock that is never
// held across a call into the MIDI system. Nothing is allocated: the queue
// holds a fixed number of messages, and one that finds it full is lost
// (traced).
#pragma once

#include <cstdint>
#include <cstdio>

#include "midi/midi.h"

constexpr unsigned kReplyQueueLength = 32; // messages waiting at once

struct IncomingReply {
    uint8_t bytes[kReplyBufferSize]; // the first `count` bytes of the message (F0 ... F7)
    uint16_t count;                  // bytes kept: at most 200
    uint8_t input;                   // device number of the input it came from
    uint32_t sequence;               // its place among arrivals and hand-over marks
    int64_t arrivedNs;               // steady clock, nanoseconds
};

// Where StoreReply traces every message it receives (see midi/trace.h), and
// the main thread every message it drops; null: no trace. Set while no input
// is open.
void SetReplyTrace(FILE* sink);

// Input side: a completed incoming message of byteCount bytes from input
// `input`, of which bytes holds at most the first 200; at most 200 are kept.
void StoreReply(const uint8_t* bytes, uint32_t byteCount, unsigned input = 0);

// Output side: the message just sent has left. Returns nothing; later
// arrivals get a later sequence than the mark.
void MarkHandedOver();
// Output side: the message just sent had left by `leftNs` (the clock of
// ReplyClockNs): a message that arrived before then came before it had
// left; one that arrived since may answer it. Moves the mark on only.
void MarkLeftBy(int64_t leftNs);

// Main thread side.
// The sequence of the latest hand-over mark: a message whose sequence is
// lower arrived before that message had left.
uint32_t HandOverMark();
// Messages waiting.
unsigned RepliesWaiting();
// Takes the oldest message waiting into *message; false when none waits.
bool TakeReply(IncomingReply* message);
// Drops every message waiting (not traced).
void DropReplies();
// Traces a message the main thread drops, with the reason.
void TraceDroppedReply(const IncomingReply* message, const char* why);
// Waits at most `milliseconds` for a message to be waiting; returns at once
// when one is (or arrives meanwhile). Returns true when a message waits.
bool WaitForReply(unsigned milliseconds);

// The protocol took a message as the answer to what it sent: the target has
// read everything sent before it. VerdictsTaken counts them, for a layer
// that paces its sends by what the target has read.
void CountVerdict();
uint32_t VerdictsTaken();

// The steady clock of the arrivals, in nanoseconds.
int64_t ReplyClockNs();
