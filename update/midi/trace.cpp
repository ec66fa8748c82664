// The trace of a run's MIDI traffic: timestamped lines appended to a file.
#include "midi/trace.h"

#include <chrono>
#include <cstdarg>
#include <ctime>

namespace {

constexpr unsigned kLineSize = 768; // a 200-byte message in hexadecimal, and its words

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
void FormatNow(char* out, unsigned size) {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto sinceEpoch = now.time_since_epoch();
    const long long milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char whole[24];
    strftime(whole, sizeof whole, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(out, size, "%s.%03d", whole, static_cast<int>(milliseconds));
}

} // namespace

// printf-style formatting is the program's way of writing every message.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void TraceLine(FILE* sink, const char* format, ...) {
    if (sink == nullptr) return;
    char stamp[32];
    FormatNow(stamp, sizeof stamp);
    char text[kLineSize];
    va_list arguments;
    va_start(arguments, format);
    // The analyzer does not see va_start initialise the list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    fprintf(sink, "%s %s\n", stamp, text);
    fflush(sink);
}

void ByteToHexPair(uint8_t byte, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    out[0] = kDigits[byte >> 4];
    out[1] = kDigits[byte & 0x0F];
}

void FormatHexBytes(const uint8_t* bytes, unsigned n, char* out, unsigned size) {
    unsigned at = 0;
    for (unsigned k = 0; k < n && at + 3 < size; ++k) {
        if (k > 0) out[at++] = ' ';
        ByteToHexPair(bytes[k], &out[at]);
        at += 2;
    }
    if (size > 0) out[at < size ? at : size - 1] = '\0';
}
