// System Exclusive reassembly, shared by every MIDI layer.
#include "midi/sysex_assembly.h"

void ResetSysExAssembly(SysExAssembly* assembly) {
    assembly->kept = 0;
    assembly->length = 0;
    assembly->inMessage = false;
}

void FeedSysEx(SysExAssembly* assembly, const uint8_t* chunk, unsigned n, SysExSink sink,
               void* context) {
    for (unsigned i = 0; i < n; ++i) {
        const uint8_t byte = chunk[i];
        if (byte == 0xF0) {
            assembly->inMessage = true;
            assembly->kept = 0;
            assembly->length = 0;
        } else if (!assembly->inMessage) {
            continue;
        }
        if (assembly->kept < kReplyBufferSize) assembly->bytes[assembly->kept++] = byte;
        if (assembly->length < UINT32_MAX) assembly->length++;
        if (byte == 0xF7) {
            sink(assembly->bytes, assembly->kept, assembly->length, context);
            ResetSysExAssembly(assembly);
        }
    }
}
