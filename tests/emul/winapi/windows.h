// The few Windows base types and services the MIDI layer uses, for building
// that layer on Linux against the emulated MIDI system. Only on the include
// path of test builds; sizes and values equal those of 64-bit Windows.
#pragma once

#include <cstdint>

#define WINAPI
#define CALLBACK

typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef char CHAR;
typedef char* LPSTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef int BOOL;

extern "C" {
// Sleeps for the given number of milliseconds (emulated: also counted).
void WINAPI Sleep(DWORD milliseconds);
}
