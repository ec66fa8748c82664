// placeholder: being written
#include "driver/platform.h"
FindResult FindFirstLedFile(char*, size_t) { return kFindNone; }
void WaitForKey() {}
