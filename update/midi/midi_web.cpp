// The MIDI port pair on Web MIDI, for the update page (WebAssembly).
//
// The page gives the module its MIDI access object's inputs and outputs, in
// the order the browser lists them, as Module.midiInputs and Module.midiOutputs;
// device number n is the n-th port of that order. Web MIDI delivers each
// incoming message whole to the input's message listener; the listener only
// queues the bytes and wakes a waiting reply wait. The main flow takes the
// queued bytes at every poll (ServiceMidiIn and the reply wait) and puts them
// through the same System Exclusive reassembly as the other layers, into the
// reply queue. A message is marked as handed over just before it goes to the
// browser, which sends it on later. The page may watch the messages too (Module.onMidiMessage), to
// count the records the target accepted for its progress bar.
//
// The module runs on the browser's only thread: a reply wait cannot block, so
// it hands control back to the browser (Asyncify) until a message arrives or
// its timer ends. The browser stretches short timers to about 4 ms; a message
// still ends the wait at once. A wait must not spin instead: a page that keeps
// the processor busy starves the browser's own MIDI delivery, and verdicts
// then come seconds late.
#include <emscripten.h>

#include <cstring>

#include "midi/alsa_rules.h"
#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/sysex_assembly.h"

namespace {

// Result codes, with the values of the Windows multimedia codes they stand for.
constexpr uint16_t kBadDeviceId = 2; // no such device
constexpr uint16_t kNotAllowed = 4;  // the browser refused to open the port
constexpr uint16_t kDeviceGone = 6;  // the port was unplugged
constexpr uint16_t kNotOpen = 5;     // nothing open to send on

constexpr unsigned kChunkSize = 256; // bytes taken from the queue at a time

struct MidiPortPair {
    bool inOpen;
    bool outOpen;
    unsigned inDevice; // the open input's number, for the reply queue
    char inName[kDeviceNameSize];
    char outName[kDeviceNameSize];
    SysExAssembly assembly;
    uint8_t chunk[kChunkSize];
};

MidiPortPair gPair;

void StoreAssembled(const uint8_t* bytes, uint32_t /*kept*/, uint32_t length, void* /*context*/) {
    StoreReply(bytes, length, gPair.inDevice);
}

} // namespace

// ---- The page's side ----
// The bodies are the page's JavaScript, kept out of the C++ formatting.
// clang-format off

// The name of port deviceId of the list ("midiInputs" or "midiOutputs") as
// UTF-8 into name (size bytes); 0 when it exists, else kBadDeviceId.
EM_JS(int, WebMidiPortName, (const char* list, unsigned deviceId, char* name, unsigned size), {
    const ports = Module[UTF8ToString(list)] || [];
    if (deviceId >= ports.length) return 2;
    stringToUTF8(String(ports[deviceId].name || ""), name, size);
    return 0;
});

// Opens the input: its messages are queued from now on.
EM_JS(int, WebMidiOpenInput, (unsigned deviceId), {
    const input = (Module.midiInputs || [])[deviceId];
    if (!input) return 2;
    if (input.state === "disconnected") return 6;
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null });
    web.queue.length = 0;
    web.input = input;
    input.onmidimessage = (event) => {
        if (web.input !== input) return;
        web.queue.push(event.data);
        if (Module.onMidiMessage) Module.onMidiMessage(event.data);
        if (web.wake) web.wake();
    };
    return 0;
});

EM_JS(void, WebMidiCloseInput, (), {
    const web = Module.webMidi;
    if (!web || !web.input) return;
    web.input.onmidimessage = null;
    web.input = null;
    web.queue.length = 0;
});

EM_JS(int, WebMidiOpenOutput, (unsigned deviceId), {
    const output = (Module.midiOutputs || [])[deviceId];
    if (!output) return 2;
    if (output.state === "disconnected") return 6;
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null });
    web.output = output;
    return 0;
});

EM_JS(void, WebMidiCloseOutput, (), {
    const web = Module.webMidi;
    if (web) web.output = null;
});

// Sends the n bytes at data; a port that is gone or refuses fails.
EM_JS(int, WebMidiSend, (const uint8_t* data, unsigned n), {
    const web = Module.webMidi;
    if (!web || !web.output) return 5;
    if (web.output.state === "disconnected") return 6;
    try {
        web.output.send(HEAPU8.slice(data, data + n));
    } catch (error) {
        return error && error.name === "InvalidAccessError" ? 4 : 6;
    }
    return 0;
});

// Moves up to size queued bytes into out; returns how many.
EM_JS(unsigned, WebMidiTakeQueued, (uint8_t* out, unsigned size), {
    const web = Module.webMidi;
    if (!web || web.queue.length === 0) return 0;
    let taken = 0;
    while (web.queue.length > 0 && taken < size) {
        const message = web.queue[0];
        const room = size - taken;
        if (message.length <= room) {
            HEAPU8.set(message, out + taken);
            taken += message.length;
            web.queue.shift();
        } else {
            HEAPU8.set(message.subarray(0, room), out + taken);
            web.queue[0] = message.subarray(room);
            taken += room;
        }
    }
    return taken;
});

// Gives the browser control until a message is queued or the timer of ms
// milliseconds (at least, as the browser counts) has ended.
EM_ASYNC_JS(void, WebMidiYield, (unsigned ms), {
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null });
    if (web.queue.length > 0) return;
    await new Promise((resolve) => {
        let timer = null;
        const finish = () => {
            web.wake = null;
            clearTimeout(timer);
            resolve();
        };
        web.wake = finish;
        timer = setTimeout(finish, ms);
    });
});

// clang-format on

// ---- The port pair ----

uint16_t QueryMidiInDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    char full[kSeqPortNameSize];
    const int result = WebMidiPortName("midiInputs", deviceId, full, sizeof full);
    if (result != 0) return static_cast<uint16_t>(result);
    CopyDeviceName(full, name);
    return 0;
}

uint16_t QueryMidiOutDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    char full[kSeqPortNameSize];
    const int result = WebMidiPortName("midiOutputs", deviceId, full, sizeof full);
    if (result != 0) return static_cast<uint16_t>(result);
    CopyDeviceName(full, name);
    return 0;
}

uint16_t OpenMidiIn(unsigned deviceId) {
    const int result = WebMidiOpenInput(deviceId);
    if (result != 0) {
        gPair.inOpen = false;
        return static_cast<uint16_t>(result);
    }
    QueryMidiInDevice(deviceId, gPair.inName);
    gPair.inDevice = deviceId;
    ResetSysExAssembly(&gPair.assembly);
    gPair.inOpen = true;
    return 0;
}

uint16_t OpenMidiOut(unsigned deviceId) {
    const int result = WebMidiOpenOutput(deviceId);
    if (result != 0) {
        gPair.outOpen = false;
        return static_cast<uint16_t>(result);
    }
    QueryMidiOutDevice(deviceId, gPair.outName);
    gPair.outOpen = true;
    return 0;
}

int CloseMidiIn() {
    if (!gPair.inOpen) return 0;
    gPair.inOpen = false;
    WebMidiCloseInput();
    return 1;
}

int CloseMidiOut() {
    if (!gPair.outOpen) return 0;
    gPair.outOpen = false;
    WebMidiCloseOutput();
    return 1;
}

uint16_t SendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;
    if (!gPair.outOpen) return kNotOpen;
    uint8_t message[kMaxSysExData + 2];
    message[0] = 0xF0;
    memcpy(message + 1, data, n);
    message[n + 1] = 0xF7;
    MarkHandedOver();
    return static_cast<uint16_t>(WebMidiSend(message, n + 2));
}

// The browser tells no cause that the user could mend outside the page.
MidiTrouble MidiResultTrouble(uint16_t) { return kMidiTroubleOther; }
const char* MidiTroubleAdvice(MidiTrouble) { return nullptr; }

const char* MidiResultText(uint16_t result) {
    switch (result) {
    case kBadDeviceId: return "no such device";
    case kNotAllowed: return "refused by the browser";
    case kDeviceGone: return "the device is unplugged";
    default: return nullptr;
    }
}

// Puts every queued message of the open input through the reassembly.
void ServiceMidiIn() {
    for (;;) {
        const unsigned n = WebMidiTakeQueued(gPair.chunk, sizeof gPair.chunk);
        if (n == 0) return;
        if (gPair.inOpen) FeedSysEx(&gPair.assembly, gPair.chunk, n, StoreAssembled, nullptr);
    }
}

const char* MidiInName() { return gPair.inName; }
const char* MidiOutName() { return gPair.outName; }

// The reply queue's wait for this layer (the others wait on the input
// thread's signal): yields to the browser until a message arrives or the time
// is up.
bool WaitForReply(unsigned milliseconds) {
    ServiceMidiIn();
    if (RepliesWaiting() > 0) return true;
    WebMidiYield(milliseconds);
    ServiceMidiIn();
    return RepliesWaiting() > 0;
}
