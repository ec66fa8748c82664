// placeholder: being written
#include "midi/midi.h"
uint16_t QueryMidiInDevice(unsigned, char*) { return 2; }
uint16_t QueryMidiOutDevice(unsigned, char*) { return 2; }
uint16_t OpenMidiIn(unsigned) { return 2; }
uint16_t OpenMidiOut(unsigned) { return 2; }
int CloseMidiIn() { return 0; }
int CloseMidiOut() { return 0; }
uint16_t SendSysEx(const uint8_t*, unsigned) { return 0; }
const char* MidiInName() { return ""; }
const char* MidiOutName() { return ""; }
