// The reply queue as the layer tests look at it: the oldest message waiting,
// its byte count and bytes, taken or not. One test thread only.
#pragma once

#include <cstdint>
#include <cstring>

#include "midi/reply_queue.h"

namespace reply_view {

// The oldest message, once taken from the queue to be looked at.
inline IncomingReply gHeld;
inline bool gHolding = false;

inline bool Hold() {
    if (!gHolding) gHolding = TakeReply(&gHeld);
    return gHolding;
}

} // namespace reply_view

// Bytes of the oldest message waiting; 0 when none waits.
inline int16_t ReplyCount() {
    return reply_view::Hold() ? static_cast<int16_t>(reply_view::gHeld.count) : 0;
}

// The first n bytes of the oldest message waiting (zeros when none waits).
inline void CopyReplyBytes(uint8_t* out, unsigned n) {
    if (n > kReplyBufferSize) n = kReplyBufferSize;
    memset(out, 0, n);
    if (reply_view::Hold()) memcpy(out, reply_view::gHeld.bytes, n);
}

// Takes the oldest message: true with its code when it is verdict-shaped
// (two bytes or more), false when none waits or it is shorter.
inline bool TakeReplyCode(uint8_t* code) {
    if (!reply_view::Hold()) return false;
    reply_view::gHolding = false;
    if (reply_view::gHeld.count <= 1) return false;
    *code = reply_view::gHeld.bytes[1];
    return true;
}

// Drops every message waiting.
inline void ClearReplies() {
    reply_view::gHolding = false;
    DropReplies();
}

// Messages waiting, the one looked at included.
inline unsigned MessagesWaiting() { return RepliesWaiting() + (reply_view::gHolding ? 1 : 0); }
