// The MIDI calls of the device phase, each written to the run's trace.
#include "protocol/device_calls.h"

#include <cstdio>
#include <cstring>

#include "midi/trace.h"
#include "protocol/run_state.h"

namespace device_phase {

namespace {

void TraceOpen(const char* side, unsigned device, const char* name, uint16_t result) {
    if (gRun.trace == nullptr) return;
    char reason[kReasonSize];
    TraceLine(gRun.trace, "open %s %u (%s): %s%s", side, device, name,
              result == 0 ? "ok" : "failed, ", result == 0 ? "" : Reason(result, reason));
}

} // namespace

const char* Reason(uint16_t result, char* buffer) {
    const char* text = MidiResultText(result);
    if (text != nullptr) return text;
    snprintf(buffer, kReasonSize, "error %u", static_cast<unsigned>(result));
    return buffer;
}

uint16_t OpenInput(unsigned device) {
    const uint16_t result = OpenMidiIn(device);
    gRun.inputNumber = static_cast<int>(device);
    TraceOpen("input", device, gRun.inputNames[device], result);
    return result;
}

uint16_t OpenOutput(unsigned device) {
    const uint16_t result = OpenMidiOut(device);
    gRun.outputNumber = static_cast<int>(device);
    TraceOpen("output", device, gRun.outputNames[device], result);
    return result;
}

void CloseInput() {
    for (unsigned device = 0; device < kMaxDevices; ++device) CloseInputDevice(device);
}

void CloseInputDevice(unsigned device) {
    if (CloseMidiInDevice(device) != 0) TraceLine(gRun.trace, "close input %u", device);
}

void CloseOutput() {
    if (CloseMidiOut() != 0) TraceLine(gRun.trace, "close output %d", gRun.outputNumber);
}

uint16_t Send(const uint8_t* data, unsigned n) {
    if (gRun.trace != nullptr && n <= kMaxSysExData) {
        uint8_t message[kMaxSysExData + 2];
        message[0] = 0xF0;
        memcpy(message + 1, data, n);
        message[n + 1] = 0xF7;
        char hex[3 * sizeof message];
        FormatHexBytes(message, n + 2, hex, sizeof hex);
        TraceLine(gRun.trace, "send output %d: %s", gRun.outputNumber, hex);
    }
    const uint16_t result = SendSysEx(data, n);
    if (gRun.trace != nullptr && result != 0) {
        char reason[kReasonSize];
        TraceLine(gRun.trace, "send output %d failed: %s", gRun.outputNumber,
                  Reason(result, reason));
    }
    return result;
}

unsigned CountDevices(uint16_t (*query)(unsigned, char*), char names[][kDeviceNameSize]) {
    unsigned count = 0;
    while (count < kMaxDevices && query(count, names[count]) == 0) ++count;
    return count;
}

} // namespace device_phase
