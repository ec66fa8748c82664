// placeholder: being written
#include "protocol/protocol.h"
uint8_t FindUpdateDevice(uint8_t) { return 0; }
void RunDeviceUpdate(const FirmwareImage*, uint8_t) {}
void TransferImage(const FirmwareImage*) {}
void ByteToHexPair(uint8_t, char*) {}
