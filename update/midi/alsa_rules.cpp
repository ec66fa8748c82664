// Numbering, naming, result codes and the send pace for the ALSA sequencer
// MIDI layer.
#include "midi/alsa_rules.h"

#include <cstring>

bool SeqPortIsDevice(const SeqPortDesc* port, SeqDirection direction, int ownClient) {
    if (port->client == kSeqSystemClient || port->client == ownClient) return false;
    if (port->caps & (kSeqCapNoExport | kSeqCapInactive)) return false;
    const unsigned needed = direction == kSeqInput ? (kSeqCapRead | kSeqCapSubsRead)
                                                   : (kSeqCapWrite | kSeqCapSubsWrite);
    return (port->caps & needed) == needed;
}

namespace {

bool PortPrecedes(const SeqPortDesc* a, const SeqPortDesc* b) {
    if (a->client != b->client) return a->client < b->client;
    return a->port < b->port;
}

} // namespace

int FindSeqDevice(const SeqPortDesc* ports, unsigned count, SeqDirection direction, int ownClient,
                  unsigned deviceId) {
    // A device's number is the count of devices that precede it. The lists
    // are short, so counting for each candidate beats sorting a copy.
    for (unsigned i = 0; i < count; ++i) {
        if (!SeqPortIsDevice(&ports[i], direction, ownClient)) continue;
        unsigned before = 0;
        for (unsigned j = 0; j < count; ++j) {
            if (j != i && SeqPortIsDevice(&ports[j], direction, ownClient) &&
                PortPrecedes(&ports[j], &ports[i]))
                ++before;
        }
        if (before == deviceId) return static_cast<int>(i);
    }
    return -1;
}

void CopyDeviceName(const char* portName, char name[kDeviceNameSize]) {
    const size_t length = strnlen(portName, kDeviceNameSize - 1);
    memcpy(name, portName, length);
    name[length] = '\0';
}

uint16_t SeqResultCode(int alsaResult) {
    if (alsaResult >= 0) return 0;
    const uint16_t code = static_cast<uint16_t>(-static_cast<long long>(alsaResult) & 0xFFFF);
    return code != 0 ? code : 0xFFFF;
}

SeqSendPace SeqPaceSend(int64_t now, int64_t lineFreeAt, bool replied, unsigned bytes) {
    const int64_t start = !replied && lineFreeAt > now ? lineFreeAt : now;
    const int64_t freeAt = start + static_cast<int64_t>(bytes) * kWireNsPerByte;
    const int64_t fits = freeAt - static_cast<int64_t>(kSeqSendBudget) * kWireNsPerByte;
    return {fits > now ? fits : now, freeAt};
}

void StartSeqPacer(SeqPacer* pacer, uint32_t verdictsTaken) {
    pacer->lineFreeAt = 0;
    pacer->verdictsSeen = verdictsTaken;
}

int64_t SeqPacerNext(SeqPacer* pacer, int64_t now, uint32_t verdictsTaken, unsigned bytes) {
    const bool replied = verdictsTaken != pacer->verdictsSeen;
    pacer->verdictsSeen = verdictsTaken;
    const SeqSendPace pace = SeqPaceSend(now, pacer->lineFreeAt, replied, bytes);
    pacer->lineFreeAt = pace.lineFreeAt;
    return pace.sendAt;
}
