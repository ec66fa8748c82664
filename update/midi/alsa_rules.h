// The decisions of the ALSA sequencer MIDI layer, kept free of ALSA types so
// that they can be exercised without a sequencer: which sequencer ports are
// devices and how they are numbered, how a device is named, how an ALSA
// result becomes a MIDI result code, how fast messages may be handed to a
// device that may sit in front of a slow MIDI line. The pieces the sequencer
// delivers are put back together by midi/sysex_assembly.h, as on every layer.
#pragma once

#include <cstdint>

#include "midi/midi.h"

// Port capability bits, with the values of the sequencer's own
// SND_SEQ_PORT_CAP_* bits (the layer checks that they agree).
constexpr unsigned kSeqCapRead = 1u << 0;
constexpr unsigned kSeqCapWrite = 1u << 1;
constexpr unsigned kSeqCapSubsRead = 1u << 5;
constexpr unsigned kSeqCapSubsWrite = 1u << 6;
constexpr unsigned kSeqCapNoExport = 1u << 7;
constexpr unsigned kSeqCapInactive = 1u << 8; // newer kernels: a port that passes nothing

constexpr int kSeqSystemClient = 0;       // the sequencer's own timer and announce ports
constexpr unsigned kSeqPortNameSize = 64; // the sequencer's port name field

enum SeqDirection { kSeqInput, kSeqOutput };

// One sequencer port as the enumeration found it. `name` is terminated.
struct SeqPortDesc {
    int client;
    int port;
    unsigned caps;
    char name[kSeqPortNameSize];
};

// True when the port counts as a device in the given direction: an input is a
// port we may read from by subscription, an output one we may write to by
// subscription. The system client, our own client, ports that their owner
// keeps out of routing (no-export) and inactive ports are never devices.
bool SeqPortIsDevice(const SeqPortDesc* port, SeqDirection direction, int ownClient);

// The index in ports[0..count) of device number deviceId: devices of the
// direction numbered from 0 in client-then-port order, whatever the order of
// the array. -1 when there is no such device.
int FindSeqDevice(const SeqPortDesc* ports, unsigned count, SeqDirection direction, int ownClient,
                  unsigned deviceId);

// A device name from a port name: at most 31 characters, always terminated.
void CopyDeviceName(const char* portName, char name[kDeviceNameSize]);

// A MIDI result code from an ALSA result (0 or more: success; a negative
// errno: failure): 0 on success, otherwise the errno value's low 16 bits,
// never 0.
uint16_t SeqResultCode(int alsaResult);

// The MIDI line's pace: 31,250 baud, 10 bits a byte.
constexpr int64_t kWireNsPerByte = 320000;

// Bytes that may wait in the device's output buffer ahead of its MIDI line:
// half of the kernel's 4,096-byte buffer. Only a verdict that the protocol
// took starts the budget again; should one come while a record is still on
// its way (a late answer to an earlier attempt taken for this one), the other
// half still keeps the buffer from overflowing.
constexpr unsigned kSeqSendBudget = 2048;

// When a message may be handed over, and where the modelled line stands then.
struct SeqSendPace {
    int64_t sendAt;     // hand the message over at this time or later
    int64_t lineFreeAt; // the message has left the modelled line by then
};

// The pace of one message of `bytes` bytes wanted at `now`, the message before
// it leaving the modelled line at `lineFreeAt` (nanoseconds of one monotonic
// clock). The model is the device's output buffer drained by a 31,250-baud
// line: the messages leave one after another, and the line idles while
// nothing waits. A message goes at once while what waits in the buffer, it
// included, is at most kSeqSendBudget bytes; otherwise it waits until enough
// has left, so only what lies beyond the budget waits for its wire time.
// `replied`: the protocol took a verdict since the previous message. The
// target answers a record only once it has read all of it, so the buffer is
// empty and the budget starts again. Other incoming messages do not count.
SeqSendPace SeqPaceSend(int64_t now, int64_t lineFreeAt, bool replied, unsigned bytes);

// The pace of the open output: the modelled line and the protocol's count of
// verdicts taken (midi/reply_queue.h) at the latest message.
struct SeqPacer {
    int64_t lineFreeAt;
    uint32_t verdictsSeen;
};

// Starts the model for a newly opened output, idle, with the current count.
void StartSeqPacer(SeqPacer* pacer, uint32_t verdictsTaken);

// When the next message of `bytes` bytes, wanted at `now`, may be handed over,
// given the protocol's count of verdicts taken so far: only a verdict taken
// since the latest message empties the modelled buffer. Moves the model on.
int64_t SeqPacerNext(SeqPacer* pacer, int64_t now, uint32_t verdictsTaken, unsigned bytes);
