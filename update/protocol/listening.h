// The time a wait for a reply has spent listening, by the steady clock. Only
// the time this program was listening counts: a poll that comes back late
// because the program was held up (a suspended computer, a busy browser page)
// counts as kStallMs, since a reply that arrived meanwhile may not have been
// handed over yet.
#pragma once

#include <chrono>

namespace device_phase {

constexpr unsigned kStallMs = 100; // the most one poll of a wait counts

struct ListeningTime {
    std::chrono::steady_clock::duration waited;
    std::chrono::steady_clock::time_point last;
};

inline void StartListening(ListeningTime* time) {
    time->waited = {};
    time->last = std::chrono::steady_clock::now();
}

// Adds the time since the previous call (at most kStallMs) and tells whether
// the wait has listened for `milliseconds` in all.
inline bool ListenedFor(ListeningTime* time, unsigned milliseconds) {
    const std::chrono::steady_clock::duration stall = std::chrono::milliseconds(kStallMs);
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    time->waited += now - time->last < stall ? now - time->last : stall;
    time->last = now;
    return time->waited >= std::chrono::milliseconds(milliseconds);
}

} // namespace device_phase
