// The MIDI ports on Web MIDI, for the update page (WebAssembly): one output
// and up to ten inputs open at once.
//
// The page gives the module its MIDI access object's inputs and outputs, in
// the order the browser lists them, as Module.midiInputs and Module.midiOutputs;
// device number n is the n-th port of that order. Web MIDI delivers each
// incoming message whole to the input's message listener; the listener only
// queues the bytes with the input's number and wakes a waiting reply wait. The
// main flow takes the queued bytes at every poll (ServiceMidiIn and the reply
// wait), one input's at a time, and puts them through that input's own System
// Exclusive reassembly (the same rules as the other layers) into the reply
// queue, tagged with the input. Closing an input drops what it had queued.
// A message is marked as handed over just before it goes to the browser,
// which sends it on later. The page may watch the messages too
// (Module.onMidiMessage, with the input's number), to count the records the
// target accepted for its progress bar, and read the ports open now
// (Module.webMidi: inputs, a Map of device number to port, and output), to
// name the pair the search chose.
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
constexpr uint16_t kAlreadyOpen = 1; // that input is open already
constexpr uint16_t kInputsFull = 7;  // kMaxOpenInputs inputs are open

constexpr unsigned kChunkSize = 256; // bytes taken from the queue at a time

// One open input: its device, its name and its own reassembly, so that the
// pieces of two inputs never mix.
struct OpenInput {
    bool open;
    unsigned device;
    uint32_t openedAs; // the count of opens when it was opened: the lowest was opened first
    char name[kDeviceNameSize];
    SysExAssembly assembly;
};

struct MidiPorts {
    OpenInput inputs[kMaxOpenInputs];
    uint32_t opens;
    bool outOpen;
    char lastInName[kDeviceNameSize]; // the input opened last, open or not
    char outName[kDeviceNameSize];
    uint8_t chunk[kChunkSize];
};

MidiPorts gPorts;

void StoreAssembled(const uint8_t* bytes, uint32_t /*kept*/, uint32_t length, void* context) {
    StoreReply(bytes, length, static_cast<const OpenInput*>(context)->device);
}

OpenInput* FindOpenInput(unsigned deviceId) {
    for (OpenInput& input : gPorts.inputs) {
        if (input.open && input.device == deviceId) return &input;
    }
    return nullptr;
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

// Opens input deviceId beside the others: its messages are queued from now
// on, each as { input, data }.
EM_JS(int, WebMidiOpenInput, (unsigned deviceId), {
    const port = (Module.midiInputs || [])[deviceId];
    if (!port) return 2;
    if (port.state === "disconnected") return 6;
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null, inputs: new Map() });
    const listener = (event) => {
        if (web.inputs.get(deviceId) !== port) return;
        web.queue.push({ input: deviceId, data: event.data });
        if (Module.onMidiMessage) Module.onMidiMessage(event.data, deviceId);
        if (web.wake) web.wake();
    };
    web.inputs.set(deviceId, port);
    port.onmidimessage = listener;
    return 0;
});

// Closes input deviceId and drops what it had queued.
EM_JS(void, WebMidiCloseInput, (unsigned deviceId), {
    const web = Module.webMidi;
    if (!web || !web.inputs.has(deviceId)) return;
    web.inputs.get(deviceId).onmidimessage = null;
    web.inputs.delete(deviceId);
    web.queue = web.queue.filter((entry) => entry.input !== deviceId);
});

EM_JS(int, WebMidiOpenOutput, (unsigned deviceId), {
    const output = (Module.midiOutputs || [])[deviceId];
    if (!output) return 2;
    if (output.state === "disconnected") return 6;
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null, inputs: new Map() });
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

// Moves up to size queued bytes of one input, the one whose message is
// oldest, into out and its number into *input; returns how many.
EM_JS(unsigned, WebMidiTakeQueued, (uint8_t* out, unsigned size, unsigned* input), {
    const web = Module.webMidi;
    if (!web || web.queue.length === 0) return 0;
    const from = web.queue[0].input;
    HEAPU32[input >> 2] = from;
    let taken = 0;
    while (web.queue.length > 0 && web.queue[0].input === from && taken < size) {
        const message = web.queue[0].data;
        const room = size - taken;
        if (message.length <= room) {
            HEAPU8.set(message, out + taken);
            taken += message.length;
            web.queue.shift();
        } else {
            HEAPU8.set(message.subarray(0, room), out + taken);
            web.queue[0] = { input: from, data: message.subarray(room) };
            taken += room;
        }
    }
    return taken;
});

// Gives the browser control until a message is queued or the timer of ms
// milliseconds (at least, as the browser counts) has ended.
EM_ASYNC_JS(void, WebMidiYield, (unsigned ms), {
    const web = Module.webMidi || (Module.webMidi = { queue: [], wake: null, inputs: new Map() });
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

// ---- The ports ----

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

// The browser opens a port whole or not at all: an input whose open failed
// is not open.
uint16_t OpenMidiIn(unsigned deviceId) {
    if (FindOpenInput(deviceId) != nullptr) return kAlreadyOpen;
    OpenInput* input = nullptr;
    for (OpenInput& slot : gPorts.inputs) {
        if (!slot.open) {
            input = &slot;
            break;
        }
    }
    if (input == nullptr) return kInputsFull;
    const int result = WebMidiOpenInput(deviceId);
    if (result != 0) return static_cast<uint16_t>(result);
    QueryMidiInDevice(deviceId, input->name);
    memcpy(gPorts.lastInName, input->name, sizeof gPorts.lastInName);
    input->device = deviceId;
    input->openedAs = gPorts.opens++;
    ResetSysExAssembly(&input->assembly);
    input->open = true;
    return 0;
}

uint16_t OpenMidiOut(unsigned deviceId) {
    const int result = WebMidiOpenOutput(deviceId);
    if (result != 0) {
        gPorts.outOpen = false;
        return static_cast<uint16_t>(result);
    }
    QueryMidiOutDevice(deviceId, gPorts.outName);
    gPorts.outOpen = true;
    return 0;
}

int CloseMidiInDevice(unsigned deviceId) {
    OpenInput* input = FindOpenInput(deviceId);
    if (input == nullptr) return 0;
    input->open = false;
    WebMidiCloseInput(deviceId);
    return 1;
}

int CloseMidiIn() {
    int closed = 0;
    for (OpenInput& input : gPorts.inputs) {
        if (input.open) closed = CloseMidiInDevice(input.device);
    }
    return closed;
}

int CloseMidiOut() {
    if (!gPorts.outOpen) return 0;
    gPorts.outOpen = false;
    WebMidiCloseOutput();
    return 1;
}

uint16_t SendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;
    if (!gPorts.outOpen) return kNotOpen;
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
    case kAlreadyOpen: return "the input is open already";
    case kInputsFull: return "ten inputs are open already";
    default: return nullptr;
    }
}

// Puts every queued message of the open inputs through its input's reassembly.
void ServiceMidiIn() {
    for (;;) {
        unsigned device = 0;
        const unsigned n = WebMidiTakeQueued(gPorts.chunk, sizeof gPorts.chunk, &device);
        if (n == 0) return;
        OpenInput* input = FindOpenInput(device);
        if (input != nullptr) FeedSysEx(&input->assembly, gPorts.chunk, n, StoreAssembled, input);
    }
}

const char* MidiInName() {
    const OpenInput* first = nullptr;
    for (const OpenInput& input : gPorts.inputs) {
        if (input.open && (first == nullptr || input.openedAs < first->openedAs)) first = &input;
    }
    return first != nullptr ? first->name : gPorts.lastInName;
}

const char* MidiOutName() { return gPorts.outName; }

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
