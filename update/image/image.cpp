// placeholder: being written
#include "image/image.h"
#include <cstdio>
LoadResult LoadImage(const char*, FirmwareImage*) { return kLoadNotOpened; }
bool ScanImageText(const uint8_t*, size_t, FirmwareImage*) { return false; }
bool ValidateImage(const FirmwareImage*) { return false; }
