// The reply queue shared by the platform input side and the main thread.
//
// The input side copies each completed message in under the lock, so the
// main thread always sees a byte count together with the bytes it counts.
#include "midi/reply_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "midi/trace.h"

namespace {

struct ReplyQueue {
    IncomingReply messages[kReplyQueueLength]; // a ring: `count` messages from `first`
    unsigned first;
    unsigned count;
    uint32_t nextSequence;
    uint32_t handOverMark;
    uint32_t verdicts;
};

ReplyQueue gQueue;
std::mutex gLock;
std::condition_variable gArrived;
std::atomic<FILE*> gTrace{nullptr}; // read on the input thread

// One line per message: one formatted write.
void TraceMessage(FILE* sink, const char* verb, const uint8_t* bytes, uint32_t byteCount,
                  uint32_t kept, const char* why) {
    char hex[3 * kReplyBufferSize];
    FormatHexBytes(bytes, kept, hex, sizeof hex);
    if (kept < byteCount) {
        TraceLine(sink, "%s %u bytes, cut to the first %u: %s ...%s%s", verb,
                  static_cast<unsigned>(byteCount), static_cast<unsigned>(kept), hex,
                  why[0] != '\0' ? " " : "", why);
    } else {
        TraceLine(sink, "%s %u bytes: %s%s%s", verb, static_cast<unsigned>(byteCount), hex,
                  why[0] != '\0' ? " " : "", why);
    }
}

} // namespace

void SetReplyTrace(FILE* sink) { gTrace.store(sink); }

int64_t ReplyClockNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void StoreReply(const uint8_t* bytes, uint32_t byteCount, unsigned input) {
    const uint32_t kept = byteCount < kReplyBufferSize ? byteCount : kReplyBufferSize;
    FILE* const sink = gTrace.load();
    if (sink != nullptr) TraceMessage(sink, "receive", bytes, byteCount, kept, "");
    const int64_t now = ReplyClockNs();
    bool lost = false;
    {
        std::lock_guard<std::mutex> hold(gLock);
        if (gQueue.count == kReplyQueueLength) {
            lost = true;
        } else {
            IncomingReply& m = gQueue.messages[(gQueue.first + gQueue.count) % kReplyQueueLength];
            if (kept > 0) memcpy(m.bytes, bytes, kept);
            m.count = static_cast<uint16_t>(kept);
            m.input = static_cast<uint8_t>(input);
            m.sequence = gQueue.nextSequence++;
            m.arrivedNs = now;
            ++gQueue.count;
        }
    }
    if (lost) TraceLine(sink, "lost the message above: %u were waiting", kReplyQueueLength);
    gArrived.notify_all();
}

void MarkHandedOver() {
    std::lock_guard<std::mutex> hold(gLock);
    gQueue.handOverMark = gQueue.nextSequence++;
}

void MarkLeftBy(int64_t leftNs) {
    std::lock_guard<std::mutex> hold(gLock);
    uint32_t mark = 0;
    bool later = false; // a waiting message arrived at leftNs or after
    for (unsigned k = 0; k < gQueue.count && !later; ++k) {
        const IncomingReply& m = gQueue.messages[(gQueue.first + k) % kReplyQueueLength];
        later = m.arrivedNs >= leftNs;
        mark = m.sequence;
    }
    if (!later) mark = gQueue.nextSequence++;
    if (static_cast<int32_t>(mark - gQueue.handOverMark) > 0) gQueue.handOverMark = mark;
}

uint32_t HandOverMark() {
    std::lock_guard<std::mutex> hold(gLock);
    return gQueue.handOverMark;
}

unsigned RepliesWaiting() {
    std::lock_guard<std::mutex> hold(gLock);
    return gQueue.count;
}

bool TakeReply(IncomingReply* message) {
    std::lock_guard<std::mutex> hold(gLock);
    if (gQueue.count == 0) return false;
    *message = gQueue.messages[gQueue.first];
    gQueue.first = (gQueue.first + 1) % kReplyQueueLength;
    --gQueue.count;
    return true;
}

void DropReplies() {
    std::lock_guard<std::mutex> hold(gLock);
    gQueue.first = 0;
    gQueue.count = 0;
}

void TraceDroppedReply(const IncomingReply* message, const char* why) {
    FILE* const sink = gTrace.load();
    if (sink == nullptr) return;
    TraceMessage(sink, "drop", message->bytes, message->count, message->count, why);
}

void CountVerdict() {
    std::lock_guard<std::mutex> hold(gLock);
    ++gQueue.verdicts;
}

uint32_t VerdictsTaken() {
    std::lock_guard<std::mutex> hold(gLock);
    return gQueue.verdicts;
}

// The web layer has no input thread to wait for: its own wait yields to the
// browser (midi_web.cpp).
#ifndef __EMSCRIPTEN__
bool WaitForReply(unsigned milliseconds) {
    std::unique_lock<std::mutex> hold(gLock);
    return gArrived.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [] { return gQueue.count > 0; });
}
#endif
