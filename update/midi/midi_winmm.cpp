// The MIDI port pair on the Windows multimedia MIDI services (WinMM).
//
// One input and one output at a time. The input callback runs on a thread of
// the MIDI service and makes no MIDI call there (the documentation warns that
// such calls can deadlock): it copies each completed buffer's bytes through
// the System Exclusive reassembly (shared by every layer) into the reply
// queue and marks the buffer free. The main thread hands marked buffers back
// to the device at every poll (ServiceMidiIn). Four buffers are queued, so
// replies that follow each other before the next poll are not lost.
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
// that could not be released cleanly keeps its set of buffers for good: the
// next input gets a set that no device has seen, and once every set is taken
// further inputs are refused. The output's message and its header are kept
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

constexpr unsigned kInputBuffers = 4;    // queued on the open input
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

struct MidiPortPair {
    HMIDIIN inHandle;
    HMIDIOUT outHandle;
    unsigned inDevice; // the open input's number, for the reply queue
    uint8_t inOpen;
    uint8_t outOpen;
    char inName[kDeviceNameSize];
    char outName[kDeviceNameSize];
    // The input's buffers: the set in use, and sets kept by a device that
    // could not be released, never used again.
    InputBuffer inBuffers[kInputBufferSets][kInputBuffers];
    unsigned inSet;
    uint8_t inSetKept[kInputBufferSets];
    // Buffers of the open input that the callback has finished with, for the
    // main thread to queue again.
    std::atomic<uint8_t> inFree[kInputBuffers];
    // A re-queue failed: the input is not asked again (each call could stall).
    uint8_t inRequeueFailed;
    // The reassembly of the open input's messages; the callback's alone while
    // the input is listened to.
    SysExAssembly assembly;
    // The output's message: the one in use, and those a driver may still
    // hold, never used again.
    OutputMessage outMessages[kOutputSets];
    unsigned outSet;
    uint8_t outSetKept[kOutputSets];
    // The output's driver holds each send call while its message travels, as
    // a driver on a MIDI cable may: true until a call returns sooner.
    uint8_t outHoldsCalls;
    // The input whose events the callback takes: the open input's handle,
    // null while the input is closed. Written by the main thread, read by the
    // callback.
    std::atomic<HMIDIIN> listening;
    // Callbacks under way: the input is released only once a callback that
    // began before it stopped listening has returned.
    std::atomic<int> inCallback;
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

InputBuffer* InputSet() { return gPair.inBuffers[gPair.inSet]; }
OutputMessage* OutputSet() { return &gPair.outMessages[gPair.outSet]; }

// The first output message that no driver may hold, or -1.
int UsableOutputSet() {
    for (unsigned set = 0; set < kOutputSets; ++set) {
        if (!gPair.outSetKept[set]) return static_cast<int>(set);
    }
    return -1;
}

// The first set of input buffers that no unreleased device keeps, or -1.
int UsableInputSet() {
    for (unsigned set = 0; set < kInputBufferSets; ++set) {
        if (!gPair.inSetKept[set]) return static_cast<int>(set);
    }
    return -1;
}

// Releases the open input at the platform level. The callback ignores the
// input from the first step on, so the empty buffers handed back by the reset
// are neither taken nor queued again. No lock is held here: the reset and the
// close call the callback and wait for it. After a failed stop or reset the
// device may still hold the buffers, so their set is kept from further use.
void ReleaseInput() {
    gPair.inOpen = 0;
    gPair.listening.store(nullptr);
    while (gPair.inCallback.load() != 0) std::this_thread::yield();
    const HMIDIIN handle = gPair.inHandle;
    bool released =
        midiInStop(handle) == MMSYSERR_NOERROR && midiInReset(handle) == MMSYSERR_NOERROR;
    if (released) {
        for (unsigned k = 0; k < kInputBuffers; ++k) {
            midiInUnprepareHeader(handle, &InputSet()[k].header, sizeof(MIDIHDR));
        }
    }
    if (midiInClose(handle) != MMSYSERR_NOERROR) released = false;
    if (!released) gPair.inSetKept[gPair.inSet] = 1;
    gPair.inHandle = nullptr;
    if (gPair.fineTimer) {
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

void StoreMessage(const uint8_t* bytes, uint32_t, uint32_t length, void*) {
    StoreReply(bytes, length, gPair.inDevice);
}

// A completed buffer of the open input. Its bytes are copied first, then the
// buffer is marked free, and only then do completed messages reach the queue:
// a poll that sees a reply also finds its buffer free. An invalid or
// incomplete message (MIM_LONGERROR) is not a reply and ends the message in
// progress; a buffer handed back empty adds nothing.
void TakeCompletedBuffer(UINT message, DWORD_PTR param1) {
    // The service passes the completed header as an integer parameter.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const MIDIHDR* completed = reinterpret_cast<const MIDIHDR*>(param1);
    InputBuffer* set = InputSet();
    unsigned index = 0;
    while (index < kInputBuffers && &set[index].header != completed) ++index;
    if (index == kInputBuffers) return;

    uint8_t bytes[kReplyBufferSize];
    uint32_t count = completed->dwBytesRecorded;
    if (count > kReplyBufferSize) count = kReplyBufferSize;
    memcpy(bytes, set[index].bytes, count);
    gPair.inFree[index].store(1);

    if (message == MIM_LONGERROR) {
        ResetSysExAssembly(&gPair.assembly);
    } else {
        FeedSysEx(&gPair.assembly, bytes, count, StoreMessage, nullptr);
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

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR) return;
    gPair.inCallback.fetch_add(1);
    // Events of a closed input, or of an earlier input, are ignored.
    if (handle != nullptr && handle == gPair.listening.load()) {
        TakeCompletedBuffer(message, param1);
    }
    gPair.inCallback.fetch_sub(1);
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
    // An input left open because its start failed is released before the
    // next one is opened.
    if (gPair.inOpen) ReleaseInput();
    // Every set of buffers may still be written by a device that could not
    // be released: no input can be given buffers of its own.
    const int set = UsableInputSet();
    if (set < 0) return Low16(MMSYSERR_NOMEM);

    HMIDIIN handle = nullptr;
    const MMRESULT opened = midiInOpen(
        &handle, deviceId, reinterpret_cast<DWORD_PTR>(&MidiInCallback), 0, CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR) {
        gPair.inOpen = 0;
        return Low16(opened);
    }
    gPair.inHandle = handle;
    gPair.inDevice = deviceId;

    // The result is not examined: a failed query leaves the name empty.
    QueryMidiInDevice(deviceId, gPair.inName);

    gPair.inSet = static_cast<unsigned>(set);
    gPair.inRequeueFailed = 0;
    ResetSysExAssembly(&gPair.assembly);
    for (unsigned k = 0; k < kInputBuffers; ++k) {
        InputBuffer* buffer = &InputSet()[k];
        memset(&buffer->header, 0, sizeof buffer->header);
        buffer->header.lpData = reinterpret_cast<LPSTR>(buffer->bytes);
        buffer->header.dwBufferLength = kReplyBufferSize;
        gPair.inFree[k].store(0);
        midiInPrepareHeader(handle, &buffer->header, sizeof(MIDIHDR));
        midiInAddBuffer(handle, &buffer->header, sizeof(MIDIHDR));
    }

    gPair.inOpen = 1;
    gPair.listening.store(handle);
    gPair.fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0;
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
    if (!gPair.inOpen) return 0;
    ReleaseInput();
    return 1;
}

int CloseMidiOut() {
    if (!gPair.outOpen) return 0;
    ReleaseOutput();
    return 1;
}

void ServiceMidiIn() {
    if (!gPair.inOpen || gPair.inRequeueFailed) return;
    for (unsigned k = 0; k < kInputBuffers; ++k) {
        if (gPair.inFree[k].exchange(0) == 0) continue;
        if (midiInAddBuffer(gPair.inHandle, &InputSet()[k].header, sizeof(MIDIHDR)) !=
            MMSYSERR_NOERROR) {
            gPair.inRequeueFailed = 1;
            return;
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

const char* MidiInName() { return gPair.inName; }
const char* MidiOutName() { return gPair.outName; }

const char* MidiResultText(uint16_t result) {
    return result == MMSYSERR_ALLOCATED ? "in use by another program" : nullptr;
}

MidiTrouble MidiResultTrouble(uint16_t result) {
    return result == MMSYSERR_ALLOCATED ? kMidiTroubleInUse : kMidiTroubleOther;
}

// WinMM is always there and open to every user: no advice beyond the caller's.
const char* MidiTroubleAdvice(MidiTrouble) { return nullptr; }
