// The MIDI port pair on the ALSA sequencer.
//
// The program is one sequencer client with two ports of its own: opening an
// input subscribes our input port to the device's port, opening the output
// subscribes our output port to the device's. Messages are sent as single
// direct System Exclusive events to the subscribers of our output port. Up
// to ten inputs are open at once, each one subscription of our one input
// port, kept in a fixed table of slots with its own System Exclusive
// reassembly (the events of two devices can interleave). A reader thread runs
// while any input is open: it polls the sequencer, finds the slot of each
// event's source, puts that device's pieces back together and hands each
// completed message to the reply queue with the device's number. The slot
// table is changed and read under a lock that is never held across a
// sequencer call; an event whose source has no slot (an input closed
// meanwhile, a stranger's message sent straight to our port) is dropped.
//
// The first input opened while none is open starts with an empty input
// buffer (whatever still waits there came before the open). An input opened
// beside others cannot drop what waits without losing theirs; the reader
// drains the buffer as events come, so only an event of the same device's
// earlier subscription read in the moment of the reopening could be taken as
// new.
//
// The sequencer takes a message as soon as it fits into the device's output
// buffer (4 KiB), long before a slow MIDI line has carried it; a message that
// does not fit is dropped without an error (the kernel only logs "MIDI output
// buffer overrun"). A USB keyboard empties that buffer at once, a MIDI cable
// at 31,250 baud, and the layer cannot tell which it has. So it models the
// buffer as drained by a 31,250-baud line and hands a message over at once
// while the modelled buffer, the message included, holds at most a budget of
// 2,048 bytes (half of it); a message beyond that waits until enough has
// left. The transfer is stop-and-wait and the target answers only once it has
// read everything sent before it, so a verdict that the protocol took empties
// the modelled buffer: every record starts with a whole budget, and only what
// a record has beyond it waits for the wire. Other messages on the input (a
// late copy of an earlier verdict, anything stray) say nothing of what the
// target has read and leave the model as it is. A resend after a silence
// finds whatever the line could carry meanwhile gone from the model. The
// handshake, far below the budget and sent when nothing else waits, goes at
// once. The rule is SeqPaceSend (alsa_rules.h). On a slow line the verdict
// comes up to the budget's wire time (0.66 s) after the last send, well within
// the record loop's wait for it.
//
// Each message is marked in the reply queue as handed over just before it
// goes to the sequencer: no answer to it can come before that moment. Whether
// it has also left a slow line by then, the layer cannot tell.
//
// The sequencer is opened on first use and kept until the process exits:
// discovery opens and closes sides many times, and one client for the whole
// run keeps our own client (which the numbering leaves out) the same between
// counting and opening. A sequencer that cannot be opened (no sound support,
// no /dev/snd) is tried once; every later call reports the same failure, and
// the library's error printing is silenced before its first call.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "midi/alsa_rules.h"
#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "midi/sysex_assembly.h"

static_assert(kSeqCapRead == SND_SEQ_PORT_CAP_READ, "capability bits differ");
static_assert(kSeqCapWrite == SND_SEQ_PORT_CAP_WRITE, "capability bits differ");
static_assert(kSeqCapSubsRead == SND_SEQ_PORT_CAP_SUBS_READ, "capability bits differ");
static_assert(kSeqCapSubsWrite == SND_SEQ_PORT_CAP_SUBS_WRITE, "capability bits differ");
static_assert(kSeqCapNoExport == SND_SEQ_PORT_CAP_NO_EXPORT, "capability bits differ");
#ifdef SND_SEQ_PORT_CAP_INACTIVE
static_assert(kSeqCapInactive == SND_SEQ_PORT_CAP_INACTIVE, "capability bits differ");
#endif
static_assert(kSeqSystemClient == SND_SEQ_CLIENT_SYSTEM, "system client differs");

namespace {

constexpr unsigned kMaxPorts = 256;    // ports looked at when numbering devices
constexpr unsigned kMaxPollFds = 4;    // the sequencer uses one
constexpr int kReaderPollMs = 20;      // how soon a stop request is seen
constexpr long kSendRetryMs = 2;       // pause before a refused send is retried
constexpr unsigned kSendRetries = 250; // so a send gives up after about half a second

// The refusals of an input open: that input is open already, or
// kMaxOpenInputs are. Neither is another program's doing.
constexpr int kSeqInputAlreadyOpen = -EALREADY;
constexpr int kSeqTooManyInputs = -EMFILE;

enum SeqState { kSeqNotOpened, kSeqReady, kSeqUnavailable };

struct SeqClient {
    snd_seq_t* handle;
    SeqState state;
    int failure; // ALSA result reported while unavailable
    int ownClient;
    int inPort;  // receives from the input device
    int outPort; // sends to the output device
    pollfd inputFds[kMaxPollFds];
    int inputFdCount;
};

// One open input: our input port's subscription to a device's port. The
// fields down to the assembly are written under gSlotLock by the main thread
// and read under it by the reader; the rest belong to the main thread.
struct InputSlot {
    bool open; // subscribed, and its messages are stored
    unsigned device;
    int client;
    int port;
    SysExAssembly assembly; // reader thread, reset by the open
    uint32_t openedAs;      // order of opening, for MidiInName
    char name[kDeviceNameSize];
};

struct MidiPortPair {
    InputSlot inputs[kMaxOpenInputs];
    unsigned inputsOpen;             // main thread: slots open
    uint32_t opens;                  // main thread: inputs opened so far
    char inputName[kDeviceNameSize]; // the input opened last
    bool outputOpen;
    char outputName[kDeviceNameSize];
    // The subscribed output port; valid while the flag is set.
    bool outputSubscribed;
    int outputClient;
    int outputPort;
    SeqPacer pacer; // the send pace (CLOCK_MONOTONIC ns)
    bool readerRunning;
    pthread_t reader;
};

SeqClient gSeq;
MidiPortPair gPair;
SeqPortDesc gPorts[kMaxPorts]; // main thread: the latest enumeration
std::mutex gSlotLock;          // the slot table between the main thread and the reader
std::atomic<bool> gStopReader{false};

// The library's error handler type is variadic; this one prints nothing.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

void PauseMs(long milliseconds) {
    timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void SleepUntilNs(int64_t when) {
    timespec until = {static_cast<time_t>(when / 1000000000LL),
                      static_cast<long>(when % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void CloseSequencerAtExit();

bool OpenSequencer(int* failure) {
    if (gSeq.state == kSeqReady) return true;
    if (gSeq.state == kSeqUnavailable) {
        *failure = gSeq.failure;
        return false;
    }
    snd_lib_error_set_handler(SilentAlsaError);

    snd_seq_t* handle = nullptr;
#ifdef UPDATE_TEST_HOOKS
    // A test build run by the tests keeps away from the machine's own
    // sequencer, so that a keyboard connected to a developer's machine never
    // sees test data: it behaves as a machine without one. The environment is
    // read before any thread of ours starts.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char* hidden = getenv("UPDATE_TEST_NO_SEQUENCER");
    int result = hidden != nullptr && strcmp(hidden, "1") == 0
                     ? -ENOENT
                     : snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
#else
    int result = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
#endif
    int inPort = -1;
    int outPort = -1;
    int fdCount = 0;
    if (result >= 0) result = snd_seq_set_client_name(handle, "update");
    if (result >= 0) {
        // Our own ports are kept out of other programs' routing.
        inPort = snd_seq_create_simple_port(
            handle, "update in",
            SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        result = inPort;
    }
    if (result >= 0) {
        outPort = snd_seq_create_simple_port(
            handle, "update out",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_NO_EXPORT,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        result = outPort;
    }
    if (result >= 0) {
        fdCount = snd_seq_poll_descriptors_count(handle, POLLIN);
        if (fdCount <= 0 || fdCount > static_cast<int>(kMaxPollFds)) result = -EINVAL;
    }
    if (result >= 0) {
        fdCount = snd_seq_poll_descriptors(handle, gSeq.inputFds, kMaxPollFds, POLLIN);
        if (fdCount <= 0) result = -EINVAL;
    }
    if (result >= 0) result = snd_seq_client_id(handle);
    if (result < 0) {
        if (handle != nullptr) snd_seq_close(handle);
        gSeq.state = kSeqUnavailable;
        gSeq.failure = result;
        *failure = result;
        return false;
    }
    gSeq.handle = handle;
    gSeq.ownClient = result;
    gSeq.inPort = inPort;
    gSeq.outPort = outPort;
    gSeq.inputFdCount = fdCount;
    gSeq.state = kSeqReady;
    atexit(CloseSequencerAtExit);
    return true;
}

// Reads the sequencer's ports into gPorts; returns how many.
unsigned ListPorts() {
    snd_seq_client_info_t* clientInfo;
    snd_seq_port_info_t* portInfo;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);

    unsigned count = 0;
    snd_seq_client_info_set_client(clientInfo, -1);
    while (count < kMaxPorts && snd_seq_query_next_client(gSeq.handle, clientInfo) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo);
        snd_seq_port_info_set_client(portInfo, client);
        snd_seq_port_info_set_port(portInfo, -1);
        while (count < kMaxPorts && snd_seq_query_next_port(gSeq.handle, portInfo) >= 0) {
            SeqPortDesc* desc = &gPorts[count++];
            desc->client = client;
            desc->port = snd_seq_port_info_get_port(portInfo);
            desc->caps = snd_seq_port_info_get_capability(portInfo);
            const char* name = snd_seq_port_info_get_name(portInfo);
            const size_t length = name != nullptr ? strnlen(name, kSeqPortNameSize - 1) : 0;
            if (length > 0) memcpy(desc->name, name, length);
            desc->name[length] = '\0';
        }
    }
    return count;
}

// Finds device number deviceId of a direction: its address and name.
// Returns 0, or a negative errno when there is no such device.
int LocateDevice(SeqDirection direction, unsigned deviceId, int* client, int* port,
                 char name[kDeviceNameSize]) {
    int failure = 0;
    if (!OpenSequencer(&failure)) return failure;
    const unsigned count = ListPorts();
    const int index = FindSeqDevice(gPorts, count, direction, gSeq.ownClient, deviceId);
    if (index < 0) return -ENODEV;
    *client = gPorts[index].client;
    *port = gPorts[index].port;
    CopyDeviceName(gPorts[index].name, name);
    return 0;
}

uint16_t QueryDevice(SeqDirection direction, unsigned deviceId, char name[kDeviceNameSize]) {
    int client = 0;
    int port = 0;
    char found[kDeviceNameSize];
    const int result = LocateDevice(direction, deviceId, &client, &port, found);
    if (result < 0) return SeqResultCode(result);
    memcpy(name, found, kDeviceNameSize);
    return 0;
}

void DeliverReply(const uint8_t* bytes, uint32_t, uint32_t length, void* context) {
    StoreReply(bytes, length, static_cast<const InputSlot*>(context)->device);
}

// Takes one incoming event: only System Exclusive pieces from an open input's
// device to our input port count, each put together with that device's.
void TakeEvent(const snd_seq_event_t* event) {
    if (event->type != SND_SEQ_EVENT_SYSEX) return;
    if (event->dest.port != gSeq.inPort) return;
    if ((event->flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE) return;
    const std::lock_guard<std::mutex> hold(gSlotLock);
    for (InputSlot& slot : gPair.inputs) {
        if (!slot.open || event->source.client != slot.client || event->source.port != slot.port)
            continue;
        FeedSysEx(&slot.assembly, static_cast<const uint8_t*>(event->data.ext.ptr),
                  event->data.ext.len, DeliverReply, &slot);
        return;
    }
}

// Our input overran and the sequencer dropped events: every message in
// progress may have lost pieces.
void ResetEveryAssembly() {
    const std::lock_guard<std::mutex> hold(gSlotLock);
    for (InputSlot& slot : gPair.inputs) ResetSysExAssembly(&slot.assembly);
}

// Reads every event waiting. Returns false on an error other than "nothing
// more waiting", so the caller can pause instead of spinning on it.
bool DrainInput() {
    while (!gStopReader.load(std::memory_order_acquire)) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(gSeq.handle, &event);
        if (result == -EAGAIN) return true;
        if (result == -ENOSPC) {
            ResetEveryAssembly();
            continue;
        }
        if (result < 0) return false;
        if (event != nullptr) TakeEvent(event);
    }
    return true;
}

void* ReadInput(void*) {
    pollfd fds[kMaxPollFds];
    const int fdCount = gSeq.inputFdCount;
    memcpy(fds, gSeq.inputFds, sizeof fds);
    while (!gStopReader.load(std::memory_order_acquire)) {
        const int ready = poll(fds, static_cast<nfds_t>(fdCount), kReaderPollMs);
        if (ready < 0) PauseMs(kReaderPollMs); // a poll that keeps failing must not spin
        if (ready <= 0) continue;
        if (!DrainInput()) PauseMs(kReaderPollMs);
    }
    return nullptr;
}

void StopReader() {
    if (!gPair.readerRunning) return;
    gStopReader.store(true, std::memory_order_release);
    pthread_join(gPair.reader, nullptr);
    gPair.readerRunning = false;
}

// 0 when the reader runs (or already ran), else the failure to start it.
int StartReader() {
    if (gPair.readerRunning) return 0;
    gStopReader.store(false, std::memory_order_release);
    const int started = pthread_create(&gPair.reader, nullptr, ReadInput, nullptr);
    if (started != 0) return -started;
    gPair.readerRunning = true;
    return 0;
}

// The slot of open input deviceId, or null.
InputSlot* OpenSlotOf(unsigned deviceId) {
    for (InputSlot& slot : gPair.inputs)
        if (slot.open && slot.device == deviceId) return &slot;
    return nullptr;
}

// Closes one open input: once it is out of the table the reader stores
// nothing more of it, then its subscription goes.
void ReleaseSlot(InputSlot* slot) {
    int client = 0;
    int port = 0;
    {
        const std::lock_guard<std::mutex> hold(gSlotLock);
        slot->open = false;
        client = slot->client;
        port = slot->port;
    }
    gPair.inputsOpen--;
    snd_seq_disconnect_from(gSeq.handle, gSeq.inPort, client, port);
}

void ReleaseOutput() {
    if (gPair.outputSubscribed) {
        snd_seq_disconnect_to(gSeq.handle, gSeq.outPort, gPair.outputClient, gPair.outputPort);
        gPair.outputSubscribed = false;
    }
}

void CloseSequencerAtExit() {
    // The reader must not outlive the reply queue it writes to.
    CloseMidiIn();
    StopReader();
    CloseMidiOut();
    ReleaseOutput();
    snd_seq_close(gSeq.handle);
    gSeq.handle = nullptr;
    gSeq.state = kSeqUnavailable;
    gSeq.failure = -EBADF;
}

// Sends one event directly, retrying for a bounded time while the sequencer
// refuses it for want of room.
int SendDirect(snd_seq_event_t* event) {
    int result = snd_seq_event_output_direct(gSeq.handle, event);
    for (unsigned retry = 0; result == -EAGAIN && retry < kSendRetries; ++retry) {
        PauseMs(kSendRetryMs);
        result = snd_seq_event_output_direct(gSeq.handle, event);
    }
    return result;
}

// 0 while our output port is still subscribed to the device. An unplugged
// device takes its ports and their subscriptions with it, and a message sent
// to no subscriber at all is not an error for the sequencer.
int OutputStillConnected() {
    snd_seq_port_subscribe_t* subscription;
    snd_seq_port_subscribe_alloca(&subscription);
    snd_seq_addr_t sender;
    sender.client = static_cast<unsigned char>(gSeq.ownClient);
    sender.port = static_cast<unsigned char>(gSeq.outPort);
    snd_seq_addr_t dest;
    dest.client = static_cast<unsigned char>(gPair.outputClient);
    dest.port = static_cast<unsigned char>(gPair.outputPort);
    snd_seq_port_subscribe_set_sender(subscription, &sender);
    snd_seq_port_subscribe_set_dest(subscription, &dest);
    return snd_seq_get_port_subscription(gSeq.handle, subscription);
}

} // namespace

uint16_t QueryMidiInDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    return QueryDevice(kSeqInput, deviceId, name);
}

uint16_t QueryMidiOutDevice(unsigned deviceId, char name[kDeviceNameSize]) {
    return QueryDevice(kSeqOutput, deviceId, name);
}

uint16_t OpenMidiIn(unsigned deviceId) {
    if (OpenSlotOf(deviceId) != nullptr) return SeqResultCode(kSeqInputAlreadyOpen);
    if (gPair.inputsOpen >= kMaxOpenInputs) return SeqResultCode(kSeqTooManyInputs);

    int client = 0;
    int port = 0;
    char name[kDeviceNameSize];
    int result = LocateDevice(kSeqInput, deviceId, &client, &port, name);
    if (result < 0) return SeqResultCode(result);
    InputSlot* slot = nullptr;
    for (InputSlot& candidate : gPair.inputs) {
        // The numbering may have moved since: a port open under another
        // number is open all the same.
        if (candidate.open && candidate.client == client && candidate.port == port)
            return SeqResultCode(kSeqInputAlreadyOpen);
        if (!candidate.open && slot == nullptr) slot = &candidate;
    }
    if (slot == nullptr) return SeqResultCode(kSeqTooManyInputs); // cannot be: counted above

    // Whatever is still waiting came before this open; with other inputs
    // open, it is theirs and stays.
    if (gPair.inputsOpen == 0) snd_seq_drop_input(gSeq.handle);
    result = snd_seq_connect_from(gSeq.handle, gSeq.inPort, client, port);
    if (result < 0) return SeqResultCode(result);

    {
        const std::lock_guard<std::mutex> hold(gSlotLock);
        slot->device = deviceId;
        slot->client = client;
        slot->port = port;
        ResetSysExAssembly(&slot->assembly);
        slot->open = true;
    }
    gPair.inputsOpen++;
    slot->openedAs = gPair.opens++;
    memcpy(slot->name, name, kDeviceNameSize);
    memcpy(gPair.inputName, name, kDeviceNameSize);

    // An input whose reader cannot start stays open, as a failed start does.
    return SeqResultCode(StartReader());
}

uint16_t OpenMidiOut(unsigned deviceId) {
    gPair.outputOpen = false;
    ReleaseOutput();

    int client = 0;
    int port = 0;
    char name[kDeviceNameSize];
    int result = LocateDevice(kSeqOutput, deviceId, &client, &port, name);
    if (result < 0) return SeqResultCode(result);
    result = snd_seq_connect_to(gSeq.handle, gSeq.outPort, client, port);
    if (result < 0) return SeqResultCode(result);

    gPair.outputSubscribed = true;
    gPair.outputClient = client;
    gPair.outputPort = port;
    StartSeqPacer(&gPair.pacer, VerdictsTaken());
    memcpy(gPair.outputName, name, kDeviceNameSize);
    gPair.outputOpen = true;
    return 0;
}

int CloseMidiIn() {
    // The reader goes first: with it stopped, nothing more is stored.
    StopReader();
    if (gPair.inputsOpen == 0) return 0;
    for (InputSlot& slot : gPair.inputs)
        if (slot.open) ReleaseSlot(&slot);
    return 1;
}

int CloseMidiInDevice(unsigned deviceId) {
    InputSlot* slot = OpenSlotOf(deviceId);
    if (slot == nullptr) return 0;
    ReleaseSlot(slot);
    if (gPair.inputsOpen == 0) StopReader();
    return 1;
}

int CloseMidiOut() {
    if (!gPair.outputOpen) return 0;
    gPair.outputOpen = false;
    ReleaseOutput();
    return 1;
}

uint16_t SendSysEx(const uint8_t* data, unsigned n) {
    if (n > kMaxSysExData) return 0;
    if (!gPair.outputOpen) return SeqResultCode(-EBADF);

    uint8_t message[kMaxSysExData + 2];
    message[0] = 0xF0;
    if (n > 0) memcpy(message + 1, data, n);
    message[n + 1] = 0xF7;

    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, gSeq.outPort);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, n + 2, message);

    const int64_t now = MonotonicNs();
    const SeqPacer before = gPair.pacer;
    const int64_t sendAt = SeqPacerNext(&gPair.pacer, now, VerdictsTaken(), n + 2);
    if (sendAt > now) SleepUntilNs(sendAt);

    MarkHandedOver();
    int result = SendDirect(&event);
    if (result >= 0) result = OutputStillConnected();
    if (result < 0) {
        gPair.pacer = before; // the message did not go
        return SeqResultCode(result);
    }
    return 0;
}

const char* MidiInName() {
    const InputSlot* first = nullptr;
    for (const InputSlot& slot : gPair.inputs)
        if (slot.open && (first == nullptr || slot.openedAs < first->openedAs)) first = &slot;
    return first != nullptr ? first->name : gPair.inputName;
}
const char* MidiOutName() { return gPair.outputName; }

const char* MidiResultText(uint16_t result) {
    switch (result) {
    case EBUSY: return "in use by another program";
    case ENOENT: return "no ALSA sequencer";
    case EALREADY: return "open already";
    case EMFILE: return "too many devices open";
    case EACCES:
    case EPERM: return "no permission to use the ALSA sequencer";
    default: return nullptr;
    }
}

MidiTrouble MidiResultTrouble(uint16_t result) {
    switch (result) {
    case EBUSY: return kMidiTroubleInUse;
    case ENOENT: return kMidiTroubleNoSystem;
    case EACCES:
    case EPERM: return kMidiTroubleNoPermission;
    default: return kMidiTroubleOther;
    }
}

const char* MidiTroubleAdvice(MidiTrouble trouble) {
    switch (trouble) {
    case kMidiTroubleNoSystem:
        return "This computer has no ALSA sequencer: load its module (sudo modprobe snd-seq), then "
               "run update again.";
    case kMidiTroubleNoPermission:
        return "You have no permission to use the ALSA sequencer: join the audio group (sudo "
               "usermod -a -G audio $USER), log in again, then run update again.";
    default: return nullptr;
    }
}

// The sequencer's own thread takes every event; nothing waits for the main thread.
void ServiceMidiIn() {}
