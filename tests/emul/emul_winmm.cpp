// The WinMM MIDI functions over emulated devices.
//
// Behaviour the Windows MIDI layer depends on is kept as WinMM has it: input
// events (MIM_OPEN, MIM_CLOSE, MIM_LONGDATA, MIM_LONGERROR) and output events
// (MOM_OPEN, MOM_CLOSE, MOM_DONE) reach the application's callbacks from
// another thread, one at a time and in order;
// header flags (PREPARED, INQUEUE, DONE) are checked and kept; a close is
// refused while buffers are queued; a reset hands queued buffers back empty
// through the callback while the caller waits; a message is lost when the
// input is not started or has no buffer queued; a message longer than a
// buffer goes on in the next queued buffer; a reset hands pending output back
// (MOM_DONE). The application's callback is never called while the
// emulation's own lock is held. What real drivers also do is there on demand:
// asynchronous output, wedged output, disconnected devices whose calls stall,
// and input handed back in pieces.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "emul.h"

namespace emul {

namespace {

using Clock = std::chrono::steady_clock;
typedef void(CALLBACK* InputCallback)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
typedef void(CALLBACK* OutputCallback)(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// Set while an application callback runs on this thread.
thread_local bool tInCallback = false;

constexpr auto kWireTimePerByte = std::chrono::microseconds(320); // 31,250 baud, 10 bits a byte
constexpr uint8_t kHandshake[] = {0xF0, 0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35, 0xF7};


struct OutputState {
    bool open = false;
    HMIDIOUT handle = nullptr;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    unsigned sendAttempts = 0;
    unsigned stillPlayingLeft = 0;
    MIDIHDR* playing = nullptr;                          // a message not yet done
    std::pair<Clock::time_point, uint64_t> completion{}; // its completion entry (asynchronous)
    Clock::time_point wireFree;
    bool closeTried = false;
};

// A callback to make, with its arguments.
struct Call {
    bool output;
    void* handle;
    DWORD_PTR callback;
    DWORD_PTR instance;
    UINT message;
    DWORD_PTR param1;
    DWORD_PTR param2;
};

// An entry of the dispatcher's queue: a callback to make, a message arriving
// on an input, or an asynchronous message leaving an output.
struct Pending {
    uint64_t seq = 0;
    bool isCall = false;
    Call call{};
    int input = -1;
    std::vector<uint8_t> bytes;
    bool invalid = false;
    int output = -1; // a completion: the output whose message has left
};

struct InputState {
    bool open = false;
    bool started = false;
    HMIDIIN handle = nullptr;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    std::deque<MIDIHDR*> queue;
    Clock::time_point startedAt;
    Clock::time_point wireFree; // when the last scheduled message has fully arrived
    std::vector<Pending> held;  // arrived while nobody read the input (hold_replies)
    bool closeTried = false;
};

struct System {
    std::mutex mu;
    std::condition_variable wake;     // the dispatcher: something to do
    std::condition_variable finished; // waiters: an entry has been handled
    Scenario scenario;
    std::vector<InputState> in;
    std::vector<OutputState> out;
    std::unique_ptr<Target> target;
    bool vanished = false;
    std::map<std::pair<Clock::time_point, uint64_t>, Pending> queue;
    std::set<uint64_t> outstanding; // queued or being handled
    uint64_t arriving = 0;          // the arrival the dispatcher is handing over, or 0
    uint64_t nextSeq = 1;
    uintptr_t nextHandle = 0x1000;
    Report report;
    std::map<int, unsigned> handshakes; // by output
    bool dispatcherRunning = false;
    std::thread::id dispatcherId;
    bool loaded = false;
};

// Never destroyed: the dispatcher thread may outlive static destruction.
System& Sys() {
    static System* system = new System;
    return *system;
}

void DispatcherLoop();

void StartDispatcher(System& s) {
    if (s.dispatcherRunning) return;
    s.dispatcherRunning = true;
    std::thread worker(DispatcherLoop);
    s.dispatcherId = worker.get_id();
    worker.detach();
}

uint64_t Push(System& s, Pending p, Clock::time_point due) {
    p.seq = s.nextSeq++;
    const uint64_t seq = p.seq;
    s.outstanding.insert(seq);
    s.queue.emplace(std::make_pair(due, seq), std::move(p));
    StartDispatcher(s);
    s.wake.notify_all();
    return seq;
}

Call InCall(const InputState& d, UINT message, DWORD_PTR param1) {
    return {false, d.handle, d.callback, d.instance, message, param1, 0};
}

Call OutCall(const OutputState& d, UINT message, DWORD_PTR param1) {
    return {true, d.handle, d.callback, d.instance, message, param1, 0};
}

uint64_t PushCall(System& s, const Call& call) {
    Pending p;
    p.isCall = true;
    p.call = call;
    return Push(s, std::move(p), Clock::now());
}

// Waits until the given entries have been handled (their callbacks returned).
// From the dispatcher itself there is nothing to wait for.
void WaitFor(System& s, std::unique_lock<std::mutex>& lock, const std::vector<uint64_t>& seqs) {
    if (std::this_thread::get_id() == s.dispatcherId) return;
    s.finished.wait(lock, [&] {
        for (uint64_t seq : seqs) {
            if (s.outstanding.count(seq)) return false;
        }
        return true;
    });
}

bool IsTargetInput(const System& s, int k) { return s.scenario.targetIn == k; }
bool IsTargetOutput(const System& s, int k) { return s.scenario.targetOut == k; }

// Puts bytes [from, end) of an arriving message into the input's queued
// buffers, one callback per buffer filled, cut into the scenario's pieces
// (*piece counts them). Returns how far the message has been placed: `from`
// when the input takes nothing (not open, not started, vanished, or no buffer
// queued).
size_t FillLocked(System& s, const Pending& p, size_t from, size_t* piece, std::vector<Call>* calls) {
    if (p.input < 0 || p.input >= static_cast<int>(s.in.size())) return from;
    InputState& d = s.in[p.input];
    if (!d.open || !d.started || (s.vanished && IsTargetInput(s, p.input))) return from;
    const auto stamp = static_cast<DWORD_PTR>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - d.startedAt).count());
    size_t done = from;
    while (done < p.bytes.size() && !d.queue.empty()) {
        MIDIHDR* header = d.queue.front();
        d.queue.pop_front();
        size_t take = std::min<size_t>(p.bytes.size() - done, header->dwBufferLength);
        const std::vector<unsigned>& split = s.scenario.inputSplit;
        if (!split.empty()) take = std::min<size_t>(take, split[(*piece)++ % split.size()]);
        memcpy(header->lpData, p.bytes.data() + done, take);
        header->dwBytesRecorded = static_cast<DWORD>(take);
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
        done += take;
        const UINT message = (p.invalid && done == p.bytes.size()) ? MIM_LONGERROR : MIM_LONGDATA;
        Call call = InCall(d, message, reinterpret_cast<DWORD_PTR>(header));
        call.param2 = stamp;
        calls->push_back(call);
    }
    return done;
}

// The target's input device keeps a message that nobody reads, for the next start.
bool HoldsWhileUnread(const System& s, int k) {
    if (!s.scenario.holdReplies || !IsTargetInput(s, k) || s.vanished) return false;
    return !s.in[k].open || !s.in[k].started;
}

// Makes the callbacks without the lock; returns how many were made.
unsigned MakeCalls(std::unique_lock<std::mutex>& lock, const std::vector<Call>& calls) {
    lock.unlock();
    unsigned made = 0;
    for (const Call& c : calls) {
        if (c.callback == 0) continue;
        tInCallback = true;
        if (c.output) {
            reinterpret_cast<OutputCallback>(c.callback)(static_cast<HMIDIOUT>(c.handle), c.message, c.instance,
                                                         c.param1, c.param2);
        } else {
            reinterpret_cast<InputCallback>(c.callback)(static_cast<HMIDIIN>(c.handle), c.message, c.instance,
                                                        c.param1, c.param2);
        }
        tInCallback = false;
        ++made;
    }
    lock.lock();
    return made;
}

// Hands an arriving message to its input. A message longer than the queued
// buffers loses its rest, unless the scenario lets it go on in the buffers the
// application queues from its callbacks (as when the bytes keep arriving on the
// wire); so do the pieces of a message handed back in pieces. Nothing else on
// the input comes between its parts.
void Arrive(System& s, std::unique_lock<std::mutex>& lock, const Pending& p) {
    std::vector<Call> calls;
    size_t piece = 0;
    size_t done = p.bytes.empty() ? 0 : FillLocked(s, p, 0, &piece, &calls);
    s.report.callbacks += MakeCalls(lock, calls);
    const bool goesOn = s.scenario.longContinues || !s.scenario.inputSplit.empty();
    while (goesOn && done > 0 && done < p.bytes.size()) {
        calls.clear();
        const size_t next = FillLocked(s, p, done, &piece, &calls);
        if (next == done) break;
        done = next;
        s.report.callbacks += MakeCalls(lock, calls);
    }
    if (!p.bytes.empty() && done == p.bytes.size()) {
        ++s.report.delivered;
    } else if (done == 0 && HoldsWhileUnread(s, p.input)) {
        s.in[p.input].held.push_back(p);
        ++s.report.held;
    } else {
        ++s.report.dropped;
    }
}

void MessageLeft(System& s, int k, const std::vector<uint8_t>& bytes);

// An asynchronous message has left its output: the header is done, the far
// end receives the message, and the output's callback is told (MOM_DONE).
void Complete(System& s, std::unique_lock<std::mutex>& lock, const Pending& p) {
    OutputState& d = s.out[p.output];
    if (!d.open || d.playing == nullptr || d.completion.second != p.seq) return;
    MIDIHDR* header = d.playing;
    d.playing = nullptr;
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
    MessageLeft(s, p.output, p.bytes);
    ++s.report.outputDone;
    s.report.callbacks += MakeCalls(lock, {OutCall(d, MOM_DONE, reinterpret_cast<DWORD_PTR>(header))});
}

void DispatcherLoop() {
    System& s = Sys();
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (s.queue.empty()) {
            s.wake.wait(lock);
            continue;
        }
        auto first = s.queue.begin();
        if (first->first.first > Clock::now()) {
            s.wake.wait_until(lock, first->first.first);
            continue;
        }
        const Clock::time_point due = first->first.first;
        Pending p = std::move(first->second);
        s.queue.erase(first);
        if (p.isCall) s.report.callbacks += MakeCalls(lock, {p.call});
        else if (p.output >= 0) Complete(s, lock, p);
        else {
            s.arriving = p.seq;
            const unsigned delivered = s.report.delivered;
            Arrive(s, lock, p);
            s.arriving = 0;
            if (s.report.delivered != delivered && Clock::now() - due > std::chrono::milliseconds(1)) {
                ++s.report.lateDeliveries;
            }
        }
        s.outstanding.erase(p.seq);
        s.finished.notify_all();
    }
}

// Waits until every message due to arrive on an input by `by` has been handed
// to the application, as a driver on a real line has done by the time a paced
// send of its own ends: a loaded machine must not hold a reply back past the
// next message the application sends.
void WaitForArrivals(System& s, std::unique_lock<std::mutex>& lock, Clock::time_point by) {
    std::vector<uint64_t> seqs;
    if (s.arriving != 0) seqs.push_back(s.arriving);
    for (const auto& [key, p] : s.queue) {
        if (key.first > by) break;
        if (!p.isCall && p.output < 0) seqs.push_back(p.seq);
    }
    WaitFor(s, lock, seqs);
}

// Blocks until the deadline, sleeping most of the way and spinning the last
// stretch, so that a paced send takes its wire time and not the timer's slack.
void WaitPrecisely(Clock::time_point deadline) {
    const auto spin = std::chrono::microseconds(200);
    if (deadline - Clock::now() > spin) std::this_thread::sleep_until(deadline - spin);
    while (Clock::now() < deadline) std::this_thread::yield();
}

// When a wire time applies, the arrival time of a message that starts to
// travel no earlier than `earliest` on input k.
Clock::time_point ArrivalTime(System& s, int k, size_t bytes, Clock::time_point earliest) {
    if (!s.scenario.pacing || k < 0 || k >= static_cast<int>(s.in.size())) return earliest;
    InputState& d = s.in[k];
    const Clock::time_point start = std::max(earliest, d.wireFree);
    d.wireFree = start + kWireTimePerByte * static_cast<int>(bytes);
    return d.wireFree;
}

void Schedule(System& s, int input, std::vector<uint8_t> bytes, bool invalid, unsigned delayMs) {
    const Clock::time_point due =
        ArrivalTime(s, input, bytes.size(), Clock::now() + std::chrono::milliseconds(delayMs));
    Pending p;
    p.input = input;
    p.bytes = std::move(bytes);
    p.invalid = invalid;
    Push(s, std::move(p), due);
}

int FindInput(const System& s, HMIDIIN handle) {
    for (size_t k = 0; k < s.in.size(); ++k) {
        if (s.in[k].open && s.in[k].handle == handle && handle != nullptr) return static_cast<int>(k);
    }
    return -1;
}

int FindOutput(const System& s, HMIDIOUT handle) {
    for (size_t k = 0; k < s.out.size(); ++k) {
        if (s.out[k].open && s.out[k].handle == handle && handle != nullptr) return static_cast<int>(k);
    }
    return -1;
}

// A vanished device is disconnected when the scenario says so: each call on it
// waits, without the lock, before it fails. Returns true when the call stalled.
bool Stalled(System& s, std::unique_lock<std::mutex>& lock, bool gone) {
    if (!gone || !s.vanished || s.scenario.vanishStallMs == 0) return false;
    ++s.report.stalledCalls;
    const unsigned ms = s.scenario.vanishStallMs;
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock.lock();
    return true;
}

bool StalledIn(System& s, std::unique_lock<std::mutex>& lock, int k) {
    return Stalled(s, lock, k >= 0 && IsTargetInput(s, k));
}

bool StalledOut(System& s, std::unique_lock<std::mutex>& lock, int k) {
    return Stalled(s, lock, k >= 0 && IsTargetOutput(s, k));
}

void Record(System& s, const char* what, int device, unsigned result, const std::vector<uint8_t>& bytes = {}) {
    Event e;
    e.what = what;
    e.device = device;
    e.result = result;
    e.bytes = bytes;
    s.report.events.push_back(std::move(e));
}

void ConfigureLocked(System& s, const Scenario& scenario) {
    s.scenario = scenario;
    s.in.assign(scenario.inputs.size(), InputState{});
    s.out.assign(scenario.outputs.size(), OutputState{});
    s.target.reset();
    if (scenario.targetIn >= 0 && scenario.targetOut >= 0) s.target.reset(new Target(scenario.script));
    s.vanished = false;
    s.report = Report{};
    s.handshakes.clear();
    s.loaded = true;
}

Report SnapshotLocked(System& s) {
    Report r = s.report;
    // A disconnected device that the application tried to close is gone with
    // its handles; any other open handle is left open.
    const bool disconnected = s.vanished && s.scenario.vanishStallMs > 0;
    for (size_t k = 0; k < s.in.size(); ++k) {
        const InputState& d = s.in[k];
        const bool gone = disconnected && IsTargetInput(s, static_cast<int>(k)) && d.closeTried;
        r.inputLeftOpen = r.inputLeftOpen || (d.open && !gone);
    }
    for (size_t k = 0; k < s.out.size(); ++k) {
        const OutputState& d = s.out[k];
        const bool gone = disconnected && IsTargetOutput(s, static_cast<int>(k)) && d.closeTried;
        r.outputLeftOpen = r.outputLeftOpen || (d.open && !gone);
    }
    for (const auto& entry : s.handshakes) r.handshakes.push_back({entry.first, entry.second});
    if (s.target) r.target = s.target->Log();
    return r;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

void WriteText(const std::string& text) {
    const char* path = std::getenv("UPDATE_EMUL_REPORT");
    if (path == nullptr || *path == '\0') return;
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Every close that leaves both sides closed writes the report.
void ReportIfAllClosed(System& s) {
    for (const InputState& d : s.in) {
        if (d.open) return;
    }
    for (const OutputState& d : s.out) {
        if (d.open) return;
    }
    WriteText(ReportText(SnapshotLocked(s)));
}

// Each WinMM entry point takes the lock and counts itself.
void LoadLocked(System& s);

// Each entry point names itself: inside a callback, only the two calls the
// documentation allows there pass unrecorded.
std::unique_lock<std::mutex> Enter(System& s, const char* function) {
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.loaded) LoadLocked(s);
    ++s.report.winmmCalls;
    if (tInCallback && std::strcmp(function, "midiOutShortMsg") != 0 &&
        std::strcmp(function, "midiOutLongMsg") != 0) {
        ++s.report.callbackViolations;
        std::vector<std::string>& names = s.report.callbackCalls;
        if (std::find(names.begin(), names.end(), function) == names.end()) names.push_back(function);
    }
    return lock;
}

void CopyName(const System& s, const std::string& name, char* field) {
    memset(field, 0, MAXPNAMELEN);
    if (s.scenario.unterminatedNames && name.size() >= MAXPNAMELEN) {
        memcpy(field, name.data(), MAXPNAMELEN);
    } else {
        memcpy(field, name.data(), std::min<size_t>(name.size(), MAXPNAMELEN - 1));
    }
}

} // namespace

void Configure(const Scenario& scenario) {
    System& s = Sys();
    std::unique_lock<std::mutex> lock(s.mu);
    // Drop whatever was still to come, and let a callback in progress finish.
    for (const auto& entry : s.queue) s.outstanding.erase(entry.first.second);
    s.queue.clear();
    WaitFor(s, lock, std::vector<uint64_t>(s.outstanding.begin(), s.outstanding.end()));
    ConfigureLocked(s, scenario);
}

Report Snapshot() {
    System& s = Sys();
    std::lock_guard<std::mutex> lock(s.mu);
    return SnapshotLocked(s);
}

void Deliver(int input, const std::vector<uint8_t>& bytes, bool invalid, unsigned delayMs) {
    System& s = Sys();
    std::lock_guard<std::mutex> lock(s.mu);
    Schedule(s, input, bytes, invalid, delayMs);
}

void WaitIdle() {
    System& s = Sys();
    std::unique_lock<std::mutex> lock(s.mu);
    const Clock::time_point now = Clock::now();
    std::vector<uint64_t> seqs;
    std::set<uint64_t> later;
    for (const auto& entry : s.queue) {
        if (entry.first.first > now) later.insert(entry.first.second);
    }
    for (uint64_t seq : s.outstanding) {
        if (!later.count(seq)) seqs.push_back(seq);
    }
    WaitFor(s, lock, seqs);
}

void HandBackEmpty(int input) {
    System& s = Sys();
    std::unique_lock<std::mutex> lock(s.mu);
    if (input < 0 || input >= static_cast<int>(s.in.size()) || !s.in[input].open) return;
    InputState& d = s.in[input];
    std::vector<uint64_t> seqs;
    while (!d.queue.empty()) {
        MIDIHDR* header = d.queue.front();
        d.queue.pop_front();
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
        seqs.push_back(PushCall(s, InCall(d, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header))));
    }
    WaitFor(s, lock, seqs);
}

unsigned QueuedBuffers(int input) {
    System& s = Sys();
    std::lock_guard<std::mutex> lock(s.mu);
    if (input < 0 || input >= static_cast<int>(s.in.size())) return 0;
    return static_cast<unsigned>(s.in[input].queue.size());
}

std::string ReportText(const Report& r) {
    std::ostringstream o;
    o << "winmm_calls " << r.winmmCalls << "\n";
    o << "input_left_open " << (r.inputLeftOpen ? 1 : 0) << "\n";
    o << "output_left_open " << (r.outputLeftOpen ? 1 : 0) << "\n";
    o << "sends " << r.sends << "\n";
    o << "delivered " << r.delivered << "\n";
    o << "late_deliveries " << r.lateDeliveries << "\n";
    o << "dropped " << r.dropped << "\n";
    o << "held " << r.held << "\n";
    o << "callbacks " << r.callbacks << "\n";
    o << "in_unprepare_calls " << r.inUnprepareCalls << "\n";
    o << "out_unprepare_calls " << r.outUnprepareCalls << "\n";
    o << "still_playing_answers " << r.stillPlayingAnswers << "\n";
    o << "sleeps " << r.sleeps << "\n";
    o << "sleeps_100 " << r.sleepsOf100 << "\n";
    o << "timer_period_begins " << r.timerPeriodBegins << "\n";
    o << "timer_period_ends " << r.timerPeriodEnds << "\n";
    o << "callback_violations " << r.callbackViolations << "\n";
    for (const std::string& name : r.callbackCalls) o << "callback_call " << name << "\n";
    o << "stalled_calls " << r.stalledCalls << "\n";
    o << "shared_headers " << r.sharedHeaders << "\n";
    o << "held_header_reuse " << r.heldHeaderReuse << "\n";
    o << "output_done " << r.outputDone << "\n";
    for (const HandshakeCount& h : r.handshakes) {
        o << "handshake_output " << h.output << " " << h.count << "\n";
    }
    o << "target_messages " << r.target.messages << "\n";
    o << "target_handshakes " << r.target.handshakes << "\n";
    o << "records_received " << r.target.recordsReceived << "\n";
    o << "records_accepted " << r.target.recordsAccepted << "\n";
    o << "checksum_errors " << r.target.checksumErrors << "\n";
    o << "bad_chunks " << r.target.badChunks << "\n";
    o << "lowercase_hex " << r.target.lowercaseHex << "\n";
    o << "unknown_messages " << r.target.unknownMessages << "\n";
    o << "image " << Hex(r.target.image) << "\n";
    for (const Event& e : r.events) {
        o << "event " << e.what << " " << e.device << " " << e.result;
        if (!e.bytes.empty()) o << " " << Hex(e.bytes);
        o << "\n";
    }
    o << "end\n";
    return o.str();
}

namespace {

void LoadLocked(System& s) {
    Scenario scenario;
    const char* path = std::getenv("UPDATE_EMUL_SCENARIO");
    if (path != nullptr && *path != '\0') {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        std::string error;
        if (!file || !ParseScenario(text.str(), &scenario, &error)) {
            // A broken scenario must not pass for an empty one.
            std::fprintf(stderr, "emulated MIDI: bad scenario %s: %s\n", path, error.c_str());
            std::abort();
        }
    }
    ConfigureLocked(s, scenario);
}

} // namespace

void LoadScenarioFromEnvironment() {
    System& s = Sys();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.loaded) LoadLocked(s);
}

void WriteReportFile(bool atExit) {
    System& s = Sys();
    // At the exit of a Windows process the other threads are gone already, and
    // one of them may have died holding the lock.
    std::unique_lock<std::mutex> lock(s.mu, std::defer_lock);
    for (int tries = 0; tries < 200 && !lock.try_lock(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (void)atExit;
    WriteText(ReportText(SnapshotLocked(s)));
}

} // namespace emul

using namespace emul;

// ---- inputs ----

UINT WINAPI midiInGetNumDevs(void) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    return static_cast<UINT>(s.in.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    if (id >= s.in.size() || s.scenario.inputs[id].capsFail) return MMSYSERR_BADDEVICEID;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    MIDIINCAPSA full;
    memset(&full, 0, sizeof full);
    full.wMid = 0xFF;
    full.wPid = static_cast<WORD>(id);
    full.vDriverVersion = 0x0100;
    CopyName(s, s.scenario.inputs[id].name, full.szPname);
    memcpy(caps, &full, std::min<size_t>(size, sizeof full));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    MMRESULT result = MMSYSERR_NOERROR;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (handle == nullptr) result = MMSYSERR_INVALPARAM;
    else if (id >= s.in.size()) result = MMSYSERR_BADDEVICEID;
    else if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) result = MMSYSERR_INVALFLAG;
    else if (s.vanished && IsTargetInput(s, static_cast<int>(id))) {
        StalledIn(s, lock, static_cast<int>(id));
        result = MMSYSERR_NODRIVER;
    } else if (s.scenario.inputs[id].openFail || s.in[id].open) {
        result = MMSYSERR_ALLOCATED;
    } else if (s.scenario.inputs[id].openFailBeside) {
        for (const InputState& other : s.in) {
            if (other.open) result = MMSYSERR_ALLOCATED;
        }
    }
    Record(s, "in_open", static_cast<int>(id), result);
    if (result != MMSYSERR_NOERROR) return result;

    InputState& d = s.in[id];
    std::vector<Pending> held;
    held.swap(d.held);
    d = InputState{};
    d.held.swap(held); // the device keeps them over the open
    d.open = true;
    d.handle = reinterpret_cast<HMIDIIN>(s.nextHandle++);
    d.callback = kind == CALLBACK_FUNCTION ? callback : 0;
    d.instance = instance;
    *handle = d.handle;
    PushCall(s, InCall(d, MIM_OPEN, 0));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k >= 0) s.in[k].closeTried = true;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledIn(s, lock, k)) result = MMSYSERR_NODRIVER;
    else if (s.vanished && s.scenario.vanishCloseRefuses && IsTargetInput(s, k)) result = MMSYSERR_NODRIVER;
    else if (s.scenario.inputs[k].releaseFails) result = MMSYSERR_ERROR;
    else if (!s.in[k].queue.empty()) result = MIDIERR_STILLPLAYING;
    Record(s, "in_close", k, result);
    if (result != MMSYSERR_NOERROR) return result;

    InputState& d = s.in[k];
    d.open = false;
    d.started = false;
    const uint64_t seq = PushCall(s, InCall(d, MIM_CLOSE, 0));
    WaitFor(s, lock, {seq});
    ReportIfAllClosed(s);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (StalledIn(s, lock, k)) return MMSYSERR_NODRIVER;
    if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    ++s.report.inUnprepareCalls;
    const int k = FindInput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (StalledIn(s, lock, k)) return MMSYSERR_NODRIVER;
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (StalledIn(s, lock, k)) return MMSYSERR_NODRIVER;
    if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr || header->dwBufferLength == 0) {
        return MMSYSERR_INVALPARAM;
    }
    // A header that another input still holds (one never released) would be
    // written by two devices.
    for (size_t other = 0; other < s.in.size(); ++other) {
        const std::deque<MIDIHDR*>& q = s.in[other].queue;
        if (static_cast<int>(other) != k && std::find(q.begin(), q.end(), header) != q.end()) {
            ++s.report.sharedHeaders;
        }
    }
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_DONE)) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    s.in[k].queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledIn(s, lock, k)) result = MMSYSERR_NODRIVER;
    else if (s.scenario.inputs[k].startFail) result = MMSYSERR_ERROR;
    Record(s, "in_start", k, result);
    if (result != MMSYSERR_NOERROR) return result;
    if (!s.in[k].started) {
        s.in[k].started = true;
        s.in[k].startedAt = Clock::now();
        // What the device held arrives now, in its order.
        std::vector<Pending> held;
        held.swap(s.in[k].held);
        for (Pending& p : held) Push(s, std::move(p), Clock::now());
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledIn(s, lock, k)) result = MMSYSERR_NODRIVER;
    else if (s.scenario.inputs[k].releaseFails) result = MMSYSERR_ERROR;
    Record(s, "in_stop", k, result);
    if (result != MMSYSERR_NOERROR) return result;
    s.in[k].started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindInput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledIn(s, lock, k)) result = MMSYSERR_NODRIVER;
    else if (s.scenario.inputs[k].releaseFails) result = MMSYSERR_ERROR;
    Record(s, "in_reset", k, result);
    if (result != MMSYSERR_NOERROR) return result;
    InputState& d = s.in[k];
    d.started = false;
    // Every queued buffer goes back empty, through the callback, before the
    // reset returns.
    std::vector<uint64_t> seqs;
    while (!d.queue.empty()) {
        MIDIHDR* header = d.queue.front();
        d.queue.pop_front();
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
        seqs.push_back(PushCall(s, InCall(d, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header))));
    }
    WaitFor(s, lock, seqs);
    return MMSYSERR_NOERROR;
}

// ---- outputs ----

UINT WINAPI midiOutGetNumDevs(void) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    return static_cast<UINT>(s.out.size());
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    if (id >= s.out.size() || s.scenario.outputs[id].capsFail) return MMSYSERR_BADDEVICEID;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSA full;
    memset(&full, 0, sizeof full);
    full.wMid = 0xFF;
    full.wPid = static_cast<WORD>(id);
    full.vDriverVersion = 0x0100;
    CopyName(s, s.scenario.outputs[id].name, full.szPname);
    full.wTechnology = 1; // a hardware port
    full.wChannelMask = 0xFFFF;
    memcpy(caps, &full, std::min<size_t>(size, sizeof full));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    MMRESULT result = MMSYSERR_NOERROR;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (handle == nullptr) result = MMSYSERR_INVALPARAM;
    else if (id >= s.out.size()) result = MMSYSERR_BADDEVICEID;
    else if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) result = MMSYSERR_INVALFLAG;
    else if (s.vanished && IsTargetOutput(s, static_cast<int>(id))) {
        StalledOut(s, lock, static_cast<int>(id));
        result = MMSYSERR_NODRIVER;
    } else if (s.scenario.outputs[id].openFail || s.out[id].open) result = MMSYSERR_ALLOCATED;
    Record(s, "out_open", static_cast<int>(id), result);
    if (result != MMSYSERR_NOERROR) return result;
    OutputState& d = s.out[id];
    d = OutputState{};
    d.open = true;
    d.handle = reinterpret_cast<HMIDIOUT>(s.nextHandle++);
    d.callback = kind == CALLBACK_FUNCTION ? callback : 0;
    d.instance = instance;
    *handle = d.handle;
    PushCall(s, OutCall(d, MOM_OPEN, 0));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindOutput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k >= 0) s.out[k].closeTried = true;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledOut(s, lock, k)) result = MMSYSERR_NODRIVER;
    else if (s.vanished && s.scenario.vanishCloseRefuses && IsTargetOutput(s, k)) result = MMSYSERR_NODRIVER;
    else if (s.out[k].playing != nullptr) result = MIDIERR_STILLPLAYING;
    Record(s, "out_close", k, result);
    if (result != MMSYSERR_NOERROR) return result;
    OutputState& d = s.out[k];
    d.open = false;
    const uint64_t seq = PushCall(s, OutCall(d, MOM_CLOSE, 0));
    WaitFor(s, lock, {seq});
    ReportIfAllClosed(s);
    return MMSYSERR_NOERROR;
}

// A header that an output still holds (a message never given back) must not
// be touched again: the driver may still read it.
static void CountHeldHeader(System& s, const MIDIHDR* header) {
    for (const OutputState& d : s.out) {
        if (d.playing == header) ++s.report.heldHeaderReuse;
    }
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindOutput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (StalledOut(s, lock, k)) return MMSYSERR_NODRIVER;
    if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    CountHeldHeader(s, header);
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

namespace emul {
namespace {

// The message of `header` is done: MOM_DONE goes to the output's callback.
uint64_t Done(System& s, OutputState& d, MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
    if (d.playing == header) d.playing = nullptr;
    ++s.report.outputDone;
    return PushCall(s, OutCall(d, MOM_DONE, reinterpret_cast<DWORD_PTR>(header)));
}

} // namespace
} // namespace emul

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    ++s.report.outUnprepareCalls;
    const int k = FindOutput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (StalledOut(s, lock, k)) return MMSYSERR_NODRIVER;
    if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (header->dwFlags & MHDR_INQUEUE) {
        ++s.report.stillPlayingAnswers;
        OutputState& d = s.out[k];
        if (d.stillPlayingLeft > 0 && --d.stillPlayingLeft == 0) Done(s, d, header);
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT handle, DWORD) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindOutput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    return StalledOut(s, lock, k) ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

// A message still playing is cut short and handed back (MOM_DONE); it never
// reaches the far end.
MMRESULT WINAPI midiOutReset(HMIDIOUT handle) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindOutput(s, handle);
    MMRESULT result = MMSYSERR_NOERROR;
    if (k < 0) result = MMSYSERR_INVALHANDLE;
    else if (StalledOut(s, lock, k)) result = MMSYSERR_NODRIVER;
    Record(s, "out_reset", k, result);
    if (result != MMSYSERR_NOERROR) return result;
    OutputState& d = s.out[k];
    if (d.playing != nullptr && !s.scenario.outputs[k].resetIgnored) {
        if (s.queue.erase(d.completion) > 0) s.outstanding.erase(d.completion.second);
        d.stillPlayingLeft = 0;
        const uint64_t seq = Done(s, d, d.playing);
        WaitFor(s, lock, {seq});
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    const int k = FindOutput(s, handle);
    if (k < 0) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || size < sizeof(MIDIHDR) || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
    CountHeldHeader(s, header);
    if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;

    std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(header->lpData),
                               reinterpret_cast<const uint8_t*>(header->lpData) + header->dwBufferLength);
    if (StalledOut(s, lock, k)) {
        Record(s, "send", k, MMSYSERR_NODRIVER, bytes);
        return MMSYSERR_NODRIVER;
    }
    OutputState& d = s.out[k];
    ++d.sendAttempts;
    const unsigned failFrom = s.scenario.outputs[k].sendFailFrom;
    const bool failOnce = d.sendAttempts == s.scenario.outputs[k].sendFailOnce;
    const bool gone = s.vanished && IsTargetOutput(s, k);
    if ((failFrom != 0 && d.sendAttempts >= failFrom) || failOnce || gone) {
        Record(s, "send", k, MMSYSERR_NODRIVER, bytes);
        return MMSYSERR_NODRIVER;
    }
    Record(s, "send", k, MMSYSERR_NOERROR, bytes);
    ++s.report.sends;
    header->dwFlags = (header->dwFlags & ~static_cast<DWORD>(MHDR_DONE)) | MHDR_INQUEUE;

    const unsigned wedgedFrom = s.scenario.outputs[k].wedgedFrom;
    if (wedgedFrom != 0 && d.sendAttempts >= wedgedFrom) {
        d.playing = header; // never done, never on the wire
        return MMSYSERR_NOERROR;
    }
    if (s.scenario.asyncOutput) {
        // Returns at once; the message leaves after its wire time.
        const Clock::time_point start = std::max(Clock::now(), d.wireFree);
        d.wireFree = start + kWireTimePerByte * static_cast<int>(bytes.size());
        Pending p;
        p.output = k;
        p.bytes = std::move(bytes);
        d.playing = header;
        const uint64_t seq = Push(s, std::move(p), d.wireFree);
        d.completion = {d.wireFree, seq};
        return MMSYSERR_NOERROR;
    }
    if (s.scenario.pacing) {
        // The send takes the message's time on the wire.
        const Clock::time_point end = Clock::now() + kWireTimePerByte * static_cast<int>(bytes.size());
        WaitForArrivals(s, lock, end);
        lock.unlock();
        WaitPrecisely(end);
        lock.lock();
    }
    if (s.scenario.stillPlaying > 0) {
        d.stillPlayingLeft = s.scenario.stillPlaying;
        d.playing = header;
    } else {
        Done(s, d, header);
    }
    MessageLeft(s, k, bytes);
    if (s.scenario.pacing && s.scenario.lateReturnMs > 0) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(s.scenario.lateReturnMs));
        lock.lock();
    }
    return MMSYSERR_NOERROR;
}

namespace emul {
namespace {

// A message has left output k: the handshake is counted, loopbacks echo it,
// and the target takes it.
void MessageLeft(System& s, int k, const std::vector<uint8_t>& bytes) {
    if (bytes.size() == sizeof kHandshake && std::equal(bytes.begin(), bytes.end(), kHandshake)) {
        ++s.handshakes[k];
    }
    for (const auto& loop : s.scenario.loopbacks) {
        if (loop.second == k) Schedule(s, loop.first, bytes, false, 0);
    }
    if (s.target && IsTargetOutput(s, k) && !s.vanished) {
        for (Reply& reply : s.target->Receive(bytes.data(), bytes.size())) {
            Schedule(s, reply.input >= 0 ? reply.input : s.scenario.targetIn, std::move(reply.bytes), reply.invalid,
                     reply.delayMs);
        }
        if (s.scenario.vanishAfter != 0 && s.target->Log().messages >= s.scenario.vanishAfter) s.vanished = true;
    }
}

} // namespace
} // namespace emul

// The system timer's resolution: counted, so that tests can check that every
// request for 1 ms is released again.
MMRESULT WINAPI timeBeginPeriod(UINT period) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    if (period == 1) ++s.report.timerPeriodBegins;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    System& s = Sys();
    auto lock = Enter(s, __func__);
    if (period == 1) ++s.report.timerPeriodEnds;
    return TIMERR_NOERROR;
}

#ifndef _WIN32
// In-process, the layer's waits come here and are counted.
void WINAPI Sleep(DWORD milliseconds) {
    {
        System& s = Sys();
        std::lock_guard<std::mutex> lock(s.mu);
        ++s.report.sleeps;
        if (milliseconds == 100) ++s.report.sleepsOf100;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
#endif
