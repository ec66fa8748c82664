// The MIDI port pair on the Windows multimedia MIDI services (WinMM).
//
// One output and up to ten inputs at a time, each input in a slot of its own
// (its handle, buffers and reassembly); the slot's number is the callback's
// instance data. The input callback runs on a thread of the MIDI service and
// makes no MIDI call there (the documentation warns that such calls can
// deadlock): it copies each completed buffer's bytes through the System
// Exclusive reassembly (shared by every layer) into the reply queue, tagged
// with the input's device number, and marks the buffer free. The main thread
// hands marked buffers back to the device at every poll (ServiceMidiIn). Four
// buffers are queued on each input, so replies that follow each other before
// the next poll are not lost.
//
// A send returns once the driver is done with its message. Drivers that block
// inside midiOutLongMsg are done at once; others finish later and say so
// through the output callback (MOM_DONE), which only wakes the waiting send.
// A message not done within a second is cut short with a reset and the send
// fails. Each message is marked in the reply queue as handed over just before
// it goes to the driver, and once more when the driver's call returns if the
// driver holds its calls while messages travel, as on a MIDI cable: what came
// meanwhile came before the message had left, and cannot answer it. That
// second mark goes by the arrival times, not by when this thread gets to it:
// the answer may already be there. A driver
// is taken to hold its calls until one returns well within its message's wire
// time; a call that is merely slow (a loaded machine, an emulator) is not
// taken for that, since the answer may well have come during it.
//
// A device may hold the buffers it was given until it is released. An input
// that could not be released cleanly keeps its slot's set of buffers for
// good: the slot's next input gets a set that no device has seen, and a slot
// whose every set is taken is not used again. The output's message and its header are kept
// the same way when a message could not be taken back from the driver (its
// reset was ignored) or the output could not be closed. Each release call is
// made once: on a device gone at the platform level every call can stall for
// seconds.
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/sysex_assembly.h"

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);
void CALLBACK MidiOutCallback(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);

namespace {

constexpr unsigned kInputBuffers = 4;    // queued on each open input
constexpr unsigned kInputBufferSets = 2; // sets for inputs that may not be released
constexpr unsigned kOutputSets = 2;      // messages for outputs that may still hold one
constexpr auto kSendTimeout = std::chrono::seconds(1);
constexpr auto kSendPoll = std::chrono::milliseconds(1); // for drivers that never tell
// A message's time on a 31,250-baud MIDI line: 320 us a byte.
constexpr auto kWireTimePerByte = std::chrono::microseconds(320);

// What a send call that took `took` for a message of `bytes` bytes says of the
// driver: one that returns well within the message's wire time does not hold
// its calls while messages travel; one that holds a call for most of it, and
// has never returned sooner, does.
bool ReturnsSooner(std::chrono::steady_clock::duration took, unsigned bytes) {
    return took < kWireTimePerByte * bytes / 2;
}
bool HeldWhileTravelling(std::chrono::steady_clock::duration took, unsigned bytes) {
    return took >= kWireTimePerByte * bytes * 4 / 5;
}

struct InputBuffer {
    MIDIHDR header;
    uint8_t bytes[kReplyBufferSize];
};

// The message being sent. The driver may read it after the send call has
// returned, so it lives here and never on a stack.
struct OutputMessage {
    MIDIHDR header;
    uint8_t bytes[kReplyBufferSize];
};

// One open input.
struct InputSlot {
    HMIDIIN handle;
    unsigned device; // its device number, for the reply queue
    uint8_t open;
    unsigned openedAs; // the order of the opens, for MidiInName
    char name[kDeviceNameSize];
    // The input's buffers: the set in use, and sets kept by a device that
    // could not be released, never used again.
    InputBuffer buffers[kInputBufferSets][kInputBuffers];
    unsigned set;
    uint8_t setKept[kInputBufferSets];
    // Buffers that the callback has finished with, for the main thread to
    // queue again.
    std::atomic<uint8_t> free[kInputBuffers];
    // A re-queue failed: the input is not asked again (each call could stall).
    uint8_t requeueFailed;
    // The reassembly of the input's messages; the callback's alone while the
    // input is listened to.
    SysExAssembly assembly;
    // The handle whose events the callback takes: the open input's, null
    // while it is closed. Written by the main thread, read by the callback.
    std::atomic<HMIDIIN> listening;
    // Callbacks under way: the input is released only once a callback that
    // began before it stopped listening has returned.
    std::atomic<int> inCallback;
};

struct MidiPortPair {
    HMIDIOUT outHandle;
    uint8_t outOpen;
    char outName[kDeviceNameSize];
    InputSlot in[kMaxOpenInputs];
    unsigned opens;                  // inputs opened so far
    char lastInName[kDeviceNameSize]; // the input opened last
    // The output's message: the one in use, and those a driver may still
    // hold, never used again.
    OutputMessage outMessages[kOutputSets];
    unsigned outSet;
    uint8_t outSetKept[kOutputSets];
    // The output's driver holds each send call while its message travels, as
    // a driver on a MIDI cable may: true until a call returns sooner.
    uint8_t outHoldsCalls;
    // The system timer runs at 1 ms while an input is open, so that a poll's
    // wait of at most 1 ms does not last a default timer tick (about 15.6 ms).
    uint8_t fineTimer;
};

MidiPortPair gPair;

// Set by the output callback when the driver is done with a message.
std::mutex gSendLock;
std::condition_variable gSendDone;
bool gOutputDone;

uint16_t Low16(MMRESULT result) { return static_cast<uint16_t>(result & 0xFFFFu); }

// Copies a capability name of at most 31 characters, always terminated, even
// when the platform's 32-byte field carries no terminator.
void CopyName(char* to, const char* from) {
    unsigned k = 0;
    while (k < kDeviceNameSize - 1 && k < MAXPNAMELEN && from[k] != '\0') {
        to[k] = from[k];
        ++k;
    }
    to[k] = '\0';
}

InputBuffer* InputSet(InputSlot* slot) { return slot->buffers[slot->set]; }
OutputMessage* OutputSet() { return &gPair.outMessages[gPair.outSet]; }

// The first output message that no driver may hold, or -1.
int UsableOutputSet() {
    for (unsigned set = 0; set < kOutputSets; ++set) {
        if (!gPair.outSetKept[set]) return static_cast<int>(set);
    }
    return -1;
}

// The first set of a slot's input buffers that no unreleased device keeps,
// or -1.
int UsableInputSet(const InputSlot* slot) {
    for (unsigned set = 0; set < kInputBufferSets; ++set) {
        if (!slot->setKept[set]) return static_cast<int>(set);
    }
    return -1;
}

// The slot of the open input with that device number, or null.
InputSlot* OpenSlot(unsigned deviceId) {
    for (InputSlot& slot : gPair.in) {
        if (slot.open && slot.device == deviceId) return &slot;
    }
    return nullptr;
}

bool AnyInputOpen() {
    for (const InputSlot& slot : gPair.in) {
        if (slot.open) return true;
    }
    return false;
}

// Releases an open input at the platform level. The callback ignores the
// input from the first step on, so the empty buffers handed back by the reset
// are neither taken nor queued again. No lock is held here: the reset and the
// close call the callback and wait for it. After a failed stop or reset the
// device may still hold the buffers, so their set is kept from further use.
void ReleaseInput(InputSlot* slot) {
    slot->open = 0;
    slot->listening.store(nullptr);
    while (slot->inCallback.load() != 0) std::this_thread::yield();
    const HMIDIIN handle = slot->handle;
    bool released =
        midiInStop(handle) == MMSYSERR_NOERROR && midiInReset(handle) == MMSYSERR_NOERROR;
    if (released) {
        for (unsigned k = 0; k < kInputBuffers; ++k) {
            midiInUnprepareHeader(handle, &InputSet(slot)[k].header, sizeof(MIDIHDR));
        }
    }
    if (midiInClose(handle) != MMSYSERR_NOERROR) released = false;
    if (!released) slot->setKept[slot->set] = 1;
    slot->handle = nullptr;
    if (gPair.fineTimer && !AnyInputOpen()) {
        timeEndPeriod(1);
        gPair.fineTimer = 0;
    }
}

// Closes the output, once. A close that fails leaves the device open, and it
// may still hold the message: that message is kept from further use.
void ReleaseOutput() {
    gPair.outOpen = 0;
    if (midiOutClose(gPair.outHandle) != MMSYSERR_NOERROR) gPair.outSetKept[gPair.outSet] = 1;
    gPair.outHandle = nullptr;
}

void StoreMessage(const uint8_t* bytes, uint32_t, uint32_t length, void* slot) {
    StoreReply(bytes, length, static_cast<const InputSlot*>(slot)->device);
}

// A completed buffer of an open input. Its bytes are copied first, then the
// buffer is marked free, and only then do completed messages reach the queue:
// a poll that sees a reply also finds its buffer free. An invalid or
// incomplete message (MIM_LONGERROR) is not a reply and ends the message in
// progress; a buffer handed back empty adds nothing.
void TakeCompletedBuffer(InputSlot* slot, UINT message, DWORD_PTR param1) {
    // The service passes the completed header as an integer parameter.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const MIDIHDR* completed = reinterpret_cast<const MIDIHDR*>(param1);
    InputBuffer* set = InputSet(slot);
    unsigned index = 0;
    while (index < kInputBuffers && &set[index].header != completed) ++index;
    if (index == kInputBuffers) return;

    uint8_t bytes[kReplyBufferSize];
    uint32_t count = completed->dwBytesRecorded;
    if (count > kReplyBufferSize) count = kReplyBufferSize;
    memcpy(bytes, set[index].bytes, count);
    slot->free[index].store(1);

    if (message == MIM_LONGERROR) {
        ResetSysExAssembly(&slot->assembly);
    } else {
        FeedSysEx(&slot->assembly, bytes, count, StoreMessage, slot);
    }
}

// Waits until the driver is done with the message of the output header: woken
// by MOM_DONE, and asking at least every millisecond for drivers that do not
// send it. A message not done within a second is cut short: the output is
// reset, the header unprepared, and the send fails.
uint16_t AwaitSent(MIDIHDR* header) {
    const auto deadline = std::chrono::steady_clock::now() + kSendTimeout;
    for (;;) {
        if (midiOutUnprepareHeader(gPair.outHandle, header, sizeof(MIDIHDR)) !=
            MIDIERR_STILLPLAYING)
            return 0;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::unique_lock<std::mutex> hold(gSendLock);
        gSendDone.wait_for(hold, kSendPoll, [] { return gOutputDone; });
        gOutputDone = false;
    }
    midiOutReset(gPair.outHandle);
    // A driver that ignores the reset still holds the message.
    if (midiOutUnprepareHeader(gPair.outHandle, header, sizeof(MIDIHDR)) != MMSYSERR_NOERROR)
        gPair.outSetKept[gPair.outSet] = 1;
    return MIDIERR_STILLPLAYING;
}

} // namespace

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR) return;
    if (instance >= kMaxOpenInputs) return;
    InputSlot* slot = &gPair.in[instance];
    slot->inCallback.fetch_add(1);
    // Events of a closed input, or of the slot's earlier input, are ignored.
    if (handle != nullptr && handle == slot->listening.load()) {
        TakeCompletedBuffer(slot, message, param1);
    }
    slot->inCallback.fetch_sub(1);
}

// Only sets the signal, as the documentation allows inside callbacks.
void CALLBACK MidiOutCallback(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (message != MOM_DONE) return;
    {
        std::lock_guard<std::mutex> hold(gSendLock);
        gOutputDone = true;
    }
    gSendDone.notify_all();
}

uint16_t QueryMidiInDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    MIDIINCAPSA caps;
    memset(&caps, 0, sizeof caps);
    const MMRESULT result = midiInGetDevCapsA(deviceId, &caps, sizeof caps);
    if (result != MMSYSERR_NOERROR) {
        name[0] = '\0';
        return Low16(result);
    }
    CopyName(name, caps.szPname);
    return 0;
}

uint16_t QueryMidiOutDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    MIDIOUTCAPSA caps;
    memset(&caps, 0, sizeof caps);
    const MMRESULT result = midiOutGetDevCapsA(deviceId, &caps, sizeof caps);
    if (result != MMSYSERR_NOERROR) {
        name[0] = '\0';
        return Low16(result);
    }
    CopyName(name, caps.szPname);
    return 0;
}

uint16_t OpenMidiIn(unsigned deviceId) {
    if (OpenSlot(deviceId) != nullptr) return Low16(MMSYSERR_ALLOCATED);
    // A free slot that still has buffers no device could keep writing.
    unsigned index = 0;
    int set = -1;
    for (; index < kMaxOpenInputs; ++index) {
        if (gPair.in[index].open) continue;
        set = UsableInputSet(&gPair.in[index]);
        if (set >= 0) break;
    }
    if (set < 0) return Low16(MMSYSERR_NOMEM);
    InputSlot* slot = &gPair.in[index];

    HMIDIIN handle = nullptr;
    const MMRESULT opened =
        midiInOpen(&handle, deviceId, reinterpret_cast<DWORD_PTR>(&MidiInCallback), index,
                   CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR) return Low16(opened);
    slot->handle = handle;
    slot->device = deviceId;

    // The result is not examined: a failed query leaves the name empty.
    QueryMidiInDevice(deviceId, slot->name);
    memcpy(gPair.lastInName, slot->name, sizeof gPair.lastInName);
    slot->openedAs = gPair.opens++;

    slot->set = static_cast<unsigned>(set);
    slot->requeueFailed = 0;
    ResetSysExAssembly(&slot->assembly);
    for (unsigned k = 0; k < kInputBuffers; ++k) {
        InputBuffer* buffer = &InputSet(slot)[k];
        memset(&buffer->header, 0, sizeof buffer->header);
        buffer->header.lpData = reinterpret_cast<LPSTR>(buffer->bytes);
        buffer->header.dwBufferLength = kReplyBufferSize;
        slot->free[k].store(0);
        midiInPrepareHeader(handle, &buffer->header, sizeof(MIDIHDR));
        midiInAddBuffer(handle, &buffer->header, sizeof(MIDIHDR));
    }

    slot->open = 1;
    slot->listening.store(handle);
    if (!gPair.fineTimer) gPair.fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0;
    return Low16(midiInStart(handle));
}

uint16_t OpenMidiOut(unsigned deviceId) {
    if (gPair.outOpen) ReleaseOutput();
    // Every message may still be read by a driver that never gave it back.
    const int set = UsableOutputSet();
    if (set < 0) return Low16(MMSYSERR_NOMEM);

    HMIDIOUT handle = nullptr;
    const MMRESULT opened = midiOutOpen(
        &handle, deviceId, reinterpret_cast<DWORD_PTR>(&MidiOutCallback), 0, CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR) {
        gPair.outOpen = 0;
        return Low16(opened);
    }
    gPair.outHandle = handle;

    QueryMidiOutDevice(deviceId, gPair.outName);

    gPair.outSet = static_cast<unsigned>(set);
    gPair.outHoldsCalls = 1;
    OutputMessage* message = OutputSet();
    memset(&message->header, 0, sizeof message->header);
    message->header.lpData = reinterpret_cast<LPSTR>(message->bytes);
    message->header.dwBufferLength = kReplyBufferSize;

    gPair.outOpen = 1;
    return 0;
}

int CloseMidiIn() {
    int closed = 0;
    for (InputSlot& slot : gPair.in) {
        if (!slot.open) continue;
        ReleaseInput(&slot);
        closed = 1;
    }
    return closed;
}

int CloseMidiInDevice(unsigned deviceId) {
    InputSlot* slot = OpenSlot(deviceId);
    if (slot == nullptr) return 0;
    ReleaseInput(slot);
    return 1;
}

int CloseMidiOut() {
    if (!gPair.outOpen) return 0;
    ReleaseOutput();
    return 1;
}

void ServiceMidiIn() {
    for (InputSlot& slot : gPair.in) {
        if (!slot.open || slot.requeueFailed) continue;
        for (unsigned k = 0; k < kInputBuffers; ++k) {
            if (slot.free[k].exchange(0) == 0) continue;
            if (midiInAddBuffer(slot.handle, &InputSet(&slot)[k].header, sizeof(MIDIHDR)) !=
                MMSYSERR_NOERROR) {
                slot.requeueFailed = 1;
                break;
            }
        }
    }
}

uint16_t SendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;
    // The driver never gave the last message back: its header stays untouched.
    if (gPair.outSetKept[gPair.outSet]) return Low16(MIDIERR_STILLPLAYING);

    uint8_t* message = OutputSet()->bytes;
    message[0] = 0xF0;
    if (n > 0) memcpy(message + 1, data, n);
    message[n + 1] = 0xF7;

    MIDIHDR* header = &OutputSet()->header;
    header->lpData = reinterpret_cast<LPSTR>(message);
    header->dwBufferLength = n + 2;
    header->dwFlags = 0;
    {
        std::lock_guard<std::mutex> hold(gSendLock);
        gOutputDone = false;
    }

    const MMRESULT prepared = midiOutPrepareHeader(gPair.outHandle, header, sizeof(MIDIHDR));
    if (prepared != MMSYSERR_NOERROR) return Low16(prepared);

    MarkHandedOver();
    const auto handedOver = std::chrono::steady_clock::now();
    const MMRESULT sent = midiOutLongMsg(gPair.outHandle, header, sizeof(MIDIHDR));
    const auto took = std::chrono::steady_clock::now() - handedOver;
    if (ReturnsSooner(took, n + 2)) gPair.outHoldsCalls = 0;
    if (gPair.outHoldsCalls && HeldWhileTravelling(took, n + 2)) {
        // Left by the end of its wire time at the latest; timed from before the
        // call, since this thread may run again well after the call returned,
        // when the answer may have come.
        const std::chrono::steady_clock::duration wire = kWireTimePerByte * (n + 2);
        const auto left = handedOver + std::min(took, wire);
        MarkLeftBy(
            std::chrono::duration_cast<std::chrono::nanoseconds>(left.time_since_epoch()).count());
    }
    if (sent != MMSYSERR_NOERROR) {
        // The header must not stay prepared after a failed send.
        midiOutUnprepareHeader(gPair.outHandle, header, sizeof(MIDIHDR));
        return Low16(sent);
    }
    return AwaitSent(header);
}

const char* MidiInName() {
    const InputSlot* first = nullptr;
    for (const InputSlot& slot : gPair.in) {
        if (slot.open && (first == nullptr || slot.openedAs < first->openedAs)) first = &slot;
    }
    return first != nullptr ? first->name : gPair.lastInName;
}
const char* MidiOutName() { return gPair.outName; }

const char* MidiResultText(uint16_t result) {
    return result == MMSYSERR_ALLOCATED ? "in use by another program" : nullptr;
}

MidiTrouble MidiResultTrouble(uint16_t result) {
    return result == MMSYSERR_ALLOCATED ? kMidiTroubleInUse : kMidiTroubleOther;
}

// WinMM is always there and open to every user: no advice beyond the caller's.
const char* MidiTroubleAdvice(MidiTrouble) { return nullptr; }
