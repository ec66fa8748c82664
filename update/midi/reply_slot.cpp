// The reply slot shared by the platform input thread and the main thread.
//
// The input thread copies each completed message in under the lock, so the
// main thread always sees a byte count together with the bytes it counts:
// the latest completed reply is what the protocol reads.
#include "midi/reply_slot.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "midi/midi.h"
#include "midi/trace.h"

namespace {

struct ReplySlot {
    uint8_t buffer[kReplyBufferSize];
    int16_t count; // received count; 0 means nothing waiting
};

ReplySlot gSlot;
std::mutex gLock;
std::condition_variable gArrived;
std::atomic<FILE*> gTrace{nullptr}; // read on the input thread

// One line per message, written on the input thread: one formatted write.
void TraceReply(const uint8_t* bytes, uint32_t byteCount, uint32_t kept) {
    FILE* const sink = gTrace.load();
    if (sink == nullptr) return;
    char hex[3 * kReplyBufferSize];
    FormatHexBytes(bytes, kept, hex, sizeof hex);
    if (kept < byteCount) {
        TraceLine(sink, "receive %u bytes, cut to the first %u: %s ...",
                  static_cast<unsigned>(byteCount), static_cast<unsigned>(kept), hex);
    } else {
        TraceLine(sink, "receive %u bytes: %s", static_cast<unsigned>(byteCount), hex);
    }
}

} // namespace

void SetReplyTrace(FILE* sink) { gTrace.store(sink); }

void StoreReply(const uint8_t* bytes, uint32_t byteCount) {
    const uint32_t kept = byteCount < kReplyBufferSize ? byteCount : kReplyBufferSize;
    TraceReply(bytes, byteCount, kept);
    {
        std::lock_guard<std::mutex> hold(gLock);
        if (kept > 0) memcpy(gSlot.buffer, bytes, kept);
        gSlot.count = static_cast<int16_t>(kept);
    }
    gArrived.notify_all();
}

int16_t ReplyCount() {
    std::lock_guard<std::mutex> hold(gLock);
    return gSlot.count;
}

void ClearReplyCount() {
    std::lock_guard<std::mutex> hold(gLock);
    gSlot.count = 0;
}

bool TakeReply(uint8_t* replyCode) {
    std::lock_guard<std::mutex> hold(gLock);
    if (gSlot.count <= 1) return false;
    gSlot.count = 0;
    *replyCode = gSlot.buffer[1];
    return true;
}

void CopyReplyBytes(uint8_t* out, unsigned n) {
    if (n > kReplyBufferSize) n = kReplyBufferSize;
    std::lock_guard<std::mutex> hold(gLock);
    memcpy(out, gSlot.buffer, n);
}

// The web layer has no input thread to wait for: its own wait yields to the
// browser (midi_web.cpp).
#ifndef __EMSCRIPTEN__
bool WaitForReply(unsigned milliseconds) {
    std::unique_lock<std::mutex> hold(gLock);
    return gArrived.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [] { return gSlot.count > 1; });
}
#endif
