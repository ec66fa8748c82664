// Update protocol: the handshake that finds the target, and the record transfer.
#pragma once

#include <cstdint>

#include "image/image.h"

constexpr uint8_t kHandshakePayload[7] = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};
constexpr uint8_t kResetRequired = 0x15;

// Tries every input/output pair (devices 0 to 9). Returns 0 when no pair
// answered, 1 when one answered with modelCode, 0x15 when one must be reset.
// With 1 or 0x15 the answering pair is left open.
uint8_t FindUpdateDevice(uint8_t modelCode);

// The device phase: discovery, then the transfer; always leaves both ports closed.
void RunDeviceUpdate(const FirmwareImage* image, uint8_t modelCode);

// Sends every record and reports the target's verdicts.
void TransferImage(const FirmwareImage* image);

// Writes the two upper-case hexadecimal characters of byte to out[0] and out[1].
void ByteToHexPair(uint8_t byte, char* out);
