// The reply slot: the latest completed System Exclusive message from the open
// input, and its received byte count. A reply is present when the count is
// greater than 1; its reply code is byte 1, the byte after F0.
//
// The platform's input thread stores messages; the main thread polls, takes
// and clears. Every access is made under a small lock that is never held
// across a call into the MIDI system.
#pragma once

#include <cstdint>
#include <cstdio>

// Where StoreReply traces every message it receives (see midi/trace.h);
// null: no trace. Set while no input is open.
void SetReplyTrace(FILE* sink);

// Input side: a completed incoming message of byteCount bytes, of which
// bytes holds at most the first 200. At most the buffer's 200 bytes are kept,
// and the received count is the number kept; the trace tells the whole length.
void StoreReply(const uint8_t* bytes, uint32_t byteCount);

// Main thread side.
int16_t ReplyCount();
void ClearReplyCount();
// When a reply is present: clear the count, copy its reply code and return true.
// Otherwise leave the count as it is and return false.
bool TakeReply(uint8_t* replyCode);
// Copies the buffer's first n bytes (n at most 200), for inspection.
void CopyReplyBytes(uint8_t* out, unsigned n);

// Waits at most `milliseconds` for a reply to be present; returns at once when
// one is (or arrives meanwhile). Returns true when a reply is present.
bool WaitForReply(unsigned milliseconds);
