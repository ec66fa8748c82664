// The trace of a run's MIDI traffic (--log): one timestamped line per event,
// appended to a file that the driver opened. Every function does nothing when
// the sink is null. Each line is written with one formatted write and flushed,
// so lines from the main thread and the input thread never mix and the trace
// survives a run that is cut short.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes "YYYY-MM-DD HH:MM:SS.mmm " (local time), the formatted text and a line end.
void TraceLine(FILE* sink, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Writes the two upper-case hexadecimal characters of byte to out[0] and
// out[1] (the record encoding on the wire uses it too).
void ByteToHexPair(uint8_t byte, char* out);

// Writes the bytes as upper-case hexadecimal pairs separated by spaces into
// out (size bytes, always terminated; cut short when it does not fit).
void FormatHexBytes(const uint8_t* bytes, unsigned n, char* out, unsigned size);
