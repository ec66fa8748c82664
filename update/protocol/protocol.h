// Update protocol: the handshake that finds the target, and the record transfer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "image/image.h"

constexpr uint8_t kHandshakePayload[7] = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};
constexpr uint8_t kResetRequired = 0x15;

constexpr int kAnyDevice = -1;
constexpr unsigned kMaxDevices = 64; // inputs and outputs searched: device numbers 0 to 63

// How the device phase runs: plain values that the driver takes from the
// command line. The defaults are the run without arguments.
struct DeviceSettings {
    int input;        // the only input tried, or kAnyDevice: devices 0 to 63
    int output;       // the only output tried, or kAnyDevice
    unsigned delayMs; // pause after each record chunk sent
    bool verbose;     // the pairs tried after a failed discovery, and every resend
    FILE* trace;      // every open, close, send and received message; null: none
    // True once the user asked the run to stop (Ctrl-C); null: never asked.
    // Asked between messages and at every poll, never in the middle of a send.
    bool (*interrupted)();
    bool liveStatus; // standard output is a console: show the live status line
};
inline constexpr DeviceSettings kDefaultDeviceSettings = {kAnyDevice, kAnyDevice, 0,    false,
                                                          nullptr,    nullptr,    false};

// How the device phase ended.
enum DeviceOutcome : uint8_t {
    kDeviceUpdated = 0,        // every record acknowledged, or the target reported completion
    kDeviceNotFound = 1,       // no pair answered, or a chosen device does not exist
    kDeviceResetRequired = 2,  // the target answered 0x15
    kDeviceTransferFailed = 3, // the output went missing, or 20 failures in a row
    kDeviceInterrupted = 4,    // the user stopped the run; both ports are closed
};

// Tries every input/output pair (devices 0 to 63), or the chosen ones. Returns
// 0 when no pair answered, 1 when one answered with modelCode, 0x15 when one
// must be reset. With 1 or 0x15 the answering pair is left open.
uint8_t FindUpdateDevice(uint8_t modelCode,
                         const DeviceSettings* settings = &kDefaultDeviceSettings);

// The device phase: discovery, then the transfer; always leaves both ports closed.
DeviceOutcome RunDeviceUpdate(const FirmwareImage* image, uint8_t modelCode,
                              const DeviceSettings* settings = &kDefaultDeviceSettings);

// Sends every record and reports the target's verdicts. Returns kDeviceUpdated,
// kDeviceTransferFailed or kDeviceInterrupted.
DeviceOutcome TransferImage(const FirmwareImage* image,
                            const DeviceSettings* settings = &kDefaultDeviceSettings);

// Prints the MIDI inputs and outputs by the numbers discovery uses, each
// opened and closed at once to tell whether it can be used now. Sends nothing.
void ListDevices(FILE* trace);
