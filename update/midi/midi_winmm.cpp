// The MIDI port pair on the Windows multimedia MIDI services (WinMM).
//
// One input and one output at a time. The input callback runs on a thread of
// the MIDI service: it hands every completed System Exclusive message to the
// reply slot and re-queues the input buffer while the input is open. A closed
// input is stopped, reset and closed, so it never delivers again.
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <mmsystem.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "midi/midi.h"
#include "midi/reply_slot.h"

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);

namespace {

constexpr unsigned kSysExBufferSize = 64; // the message buffer of one send
constexpr DWORD kStillPlayingWaitMs = 100;
constexpr int kCloseTries = 3; // a device that keeps refusing is given up

struct MidiPortPair {
    HMIDIIN inHandle;
    HMIDIOUT outHandle;
    uint8_t inOpen;
    uint8_t outOpen;
    char inName[kDeviceNameSize];
    char outName[kDeviceNameSize];
    MIDIHDR inHeader;
    MIDIHDR outHeader;
    uint8_t inBuffer[kReplyBufferSize];
    uint8_t outBuffer[kReplyBufferSize];
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

// Points the input header at the input buffer, empty and unprepared.
void ResetInputHeader() {
    memset(&gPair.inHeader, 0, sizeof gPair.inHeader);
    gPair.inHeader.lpData = reinterpret_cast<LPSTR>(gPair.inBuffer);
    gPair.inHeader.dwBufferLength = kReplyBufferSize;
}

// Hands the input header back to the device: unprepare, prepare, queue.
void RequeueInputHeader(HMIDIIN handle) {
    midiInUnprepareHeader(handle, &gPair.inHeader, sizeof(MIDIHDR));
    midiInPrepareHeader(handle, &gPair.inHeader, sizeof(MIDIHDR));
    midiInAddBuffer(handle, &gPair.inHeader, sizeof(MIDIHDR));
}

// Releases the open input at the platform level. The callback ignores the
// input from the first step on, so the empty buffer handed back by the reset
// is neither counted nor re-queued. No lock is held here: the reset and the
// close call the callback and wait for it.
void ReleaseInput() {
    gPair.inOpen = 0;
    gPair.listening.store(nullptr);
    while (gPair.inCallback.load() != 0) std::this_thread::yield();
    const HMIDIIN handle = gPair.inHandle;
    midiInStop(handle);
    for (int attempt = 0; attempt < kCloseTries; ++attempt) {
        midiInReset(handle);
        midiInUnprepareHeader(handle, &gPair.inHeader, sizeof(MIDIHDR));
        if (midiInClose(handle) == MMSYSERR_NOERROR) break;
    }
    gPair.inHandle = nullptr;
    if (gPair.fineTimer) {
        timeEndPeriod(1);
        gPair.fineTimer = 0;
    }
}

void ReleaseOutput() {
    gPair.outOpen = 0;
    const HMIDIOUT handle = gPair.outHandle;
    // Sends are synchronous, so nothing is playing: no reset is needed.
    for (int attempt = 0; attempt < kCloseTries; ++attempt) {
        if (midiOutClose(handle) == MMSYSERR_NOERROR) break;
    }
    gPair.outHandle = nullptr;
}

} // namespace

namespace {

// A completed buffer of the open input: a reply for the slot, or not, and
// back to the device either way.
void TakeCompletedBuffer(HMIDIIN handle, UINT message, DWORD_PTR param1) {
    // The service passes the completed header as an integer parameter.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const MIDIHDR* completed = reinterpret_cast<const MIDIHDR*>(param1);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(completed->lpData);
    // An invalid or incomplete message (MIM_LONGERROR) is not a reply, a
    // buffer handed back empty records nothing, and a buffer that does not
    // begin with F0 holds the rest of a message longer than the buffer, whose
    // beginning was the reply. Whatever it held, the buffer goes back to the
    // device so that reception goes on.
    if (message == MIM_LONGDATA && completed->dwBytesRecorded > 0 && bytes[0] == 0xF0) {
        StoreReply(bytes, completed->dwBytesRecorded & 0xFFFFu);
    }
    RequeueInputHeader(handle);
}

} // namespace

void CALLBACK MidiInCallback(HMIDIIN handle, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
    if (message != MIM_LONGDATA && message != MIM_LONGERROR) return;
    gPair.inCallback.fetch_add(1);
    // Events of a closed input, or of an earlier input, are ignored.
    if (handle != nullptr && handle == gPair.listening.load()) {
        TakeCompletedBuffer(handle, message, param1);
    }
    gPair.inCallback.fetch_sub(1);
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
    // next one is opened, so that the input header is never queued on two
    // devices at once.
    if (gPair.inOpen) ReleaseInput();

    HMIDIIN handle = nullptr;
    const MMRESULT opened = midiInOpen(
        &handle, deviceId, reinterpret_cast<DWORD_PTR>(&MidiInCallback), 0, CALLBACK_FUNCTION);
    if (opened != MMSYSERR_NOERROR) {
        gPair.inOpen = 0;
        return Low16(opened);
    }
    gPair.inHandle = handle;

    // The result is not examined: a failed query leaves the name empty.
    QueryMidiInDevice(deviceId, gPair.inName);

    ResetInputHeader();
    midiInPrepareHeader(handle, &gPair.inHeader, sizeof(MIDIHDR));
    midiInAddBuffer(handle, &gPair.inHeader, sizeof(MIDIHDR));

    gPair.inOpen = 1;
    gPair.listening.store(handle);
    gPair.fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0;
    return Low16(midiInStart(handle));
}

uint16_t OpenMidiOut(unsigned deviceId) {
    if (gPair.outOpen) ReleaseOutput();

    HMIDIOUT handle = nullptr;
    const MMRESULT opened = midiOutOpen(&handle, deviceId, 0, 0, CALLBACK_NULL);
    if (opened != MMSYSERR_NOERROR) {
        gPair.outOpen = 0;
        return Low16(opened);
    }
    gPair.outHandle = handle;

    QueryMidiOutDevice(deviceId, gPair.outName);

    memset(&gPair.outHeader, 0, sizeof gPair.outHeader);
    gPair.outHeader.lpData = reinterpret_cast<LPSTR>(gPair.outBuffer);
    gPair.outHeader.dwBufferLength = kReplyBufferSize;

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

uint16_t SendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;

    uint8_t message[kSysExBufferSize];
    memset(message, 0, sizeof message);
    message[0] = 0xF0;
    if (n > 0) memcpy(message + 1, data, n);
    message[n + 1] = 0xF7;

    MIDIHDR* header = &gPair.outHeader;
    header->lpData = reinterpret_cast<LPSTR>(message);
    header->dwBufferLength = n + 2;
    header->dwFlags = 0;

    const MMRESULT prepared = midiOutPrepareHeader(gPair.outHandle, header, sizeof(MIDIHDR));
    if (prepared != MMSYSERR_NOERROR) return Low16(prepared);

    const MMRESULT sent = midiOutLongMsg(gPair.outHandle, header, sizeof(MIDIHDR));
    if (sent != MMSYSERR_NOERROR) {
        // The header must not stay prepared over a buffer that ends with this call.
        midiOutUnprepareHeader(gPair.outHandle, header, sizeof(MIDIHDR));
        return Low16(sent);
    }

    // Returns once the driver has finished with the message.
    while (midiOutUnprepareHeader(gPair.outHandle, header, sizeof(MIDIHDR)) ==
           MIDIERR_STILLPLAYING) {
        Sleep(kStillPlayingWaitMs);
    }
    return 0;
}

const char* MidiInName() { return gPair.inName; }
const char* MidiOutName() { return gPair.outName; }

const char* MidiResultText(uint16_t result) {
    return result == MMSYSERR_ALLOCATED ? "in use by another program" : nullptr;
}
