// raw_midi_target: the emulated target as a process at the raw MIDI end of a
// virtual port, where a class-compliant keyboard's own end would be.
//
//   raw_midi_target [--byte-us US] DEVICE SCRIPT LOG
//
// DEVICE is a raw MIDI device such as /dev/snd/midiC0D1. SCRIPT is a file in
// the scenario format (see tests/emul/emul.h) holding only the target's lines:
// model, reply_delay, handshake, handshake_default, record, record_default,
// checksum_error. Anything about devices (input, output, target, loopback,
// failures, vanishing, "on <input>") is refused: here the device is real.
//
// The bytes read from DEVICE are framed into System Exclusive messages (F0 up
// to F7; bytes outside a message are ignored, a status byte inside one drops
// it, real-time bytes inside one are skipped) and each message is handed to
// the target. Its replies are written back to DEVICE after their delays.
// With --byte-us the target reads no faster than one byte every US
// microseconds (320 is a 31,250-baud MIDI line), a few bytes at a time, and
// leaves the rest in the device's input buffer meanwhile. As a line hands its
// bytes over back to back, a target that woke late catches up on what the
// line carried meanwhile (at most 20 ms of it), so that a loaded machine does
// not make it read slower than the line.
//
// LOG is rewritten whole (through a temporary file and a rename) once the
// device is open and listening, whenever the counts change (at most every
// 20 ms) and at the end. One "key value..." line each:
//   state running|ended
//   end sigterm|device_gone|error <reason>      (once ended)
//   messages, handshakes, records_received, records_accepted, checksum_errors,
//   bad_chunks, lowercase_hex, unknown_messages, replies_written  <count>
//   image <hex of every accepted record, in order>          (once ended)
//   accept_us <microseconds from the first record chunk to each acceptance>
//                                                           (once ended)
//
// Ends with status 0 on SIGTERM or SIGINT and when the device goes away
// (ENODEV: the virtual card was unbound), 1 when it cannot start, 2 on bad usage.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "emul.h"
#include "target.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxMessage = 4096;                  // longer messages are dropped
constexpr auto kLogInterval = std::chrono::milliseconds(20);
constexpr auto kIdlePoll = std::chrono::milliseconds(50); // a descriptor whose card is gone may not wake a poll
constexpr size_t kPacedReadBytes = 16;                     // bytes a paced read takes at once
constexpr auto kPacedCatchUp = std::chrono::milliseconds(20); // a late paced read may make up this much

struct Pending {
    Clock::time_point due;
    Bytes bytes;
};

struct State {
    std::string logPath;
    emul::Target* target = nullptr;
    int fd = -1;
    // Reading pace (0: as fast as the bytes come).
    std::chrono::microseconds byteTime{0};
    Clock::time_point readFreeAt; // a paced read may take more from then on
    // Framing.
    Bytes message;
    bool inMessage = false;
    // Output.
    std::deque<Pending> pending; // replies waiting for their time, in due order
    Bytes outgoing;              // bytes due but not yet taken by the device
    unsigned repliesWritten = 0;
    // Timing of the record transfer.
    bool recordsStarted = false;
    Clock::time_point firstRecord;
    std::vector<long long> acceptUs;
    // Log.
    bool dirty = true;
    Clock::time_point lastLog;
    std::string end; // empty while running
};

std::string Hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

bool WriteLog(State* s) {
    const emul::TargetLog& log = s->target->Log();
    std::ostringstream text;
    text << "state " << (s->end.empty() ? "running" : "ended") << '\n';
    if (!s->end.empty()) text << "end " << s->end << '\n';
    text << "messages " << log.messages << '\n'
         << "handshakes " << log.handshakes << '\n'
         << "records_received " << log.recordsReceived << '\n'
         << "records_accepted " << log.recordsAccepted << '\n'
         << "checksum_errors " << log.checksumErrors << '\n'
         << "bad_chunks " << log.badChunks << '\n'
         << "lowercase_hex " << log.lowercaseHex << '\n'
         << "unknown_messages " << log.unknownMessages << '\n'
         << "replies_written " << s->repliesWritten << '\n';
    if (!s->end.empty()) {
        text << "image " << Hex(log.image) << '\n';
        text << "accept_us";
        for (long long us : s->acceptUs) text << ' ' << us;
        text << '\n';
    }
    const std::string temporary = s->logPath + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text.str();
        if (!out.flush()) return false;
    }
    if (std::rename(temporary.c_str(), s->logPath.c_str()) != 0) return false;
    s->dirty = false;
    s->lastLog = Clock::now();
    return true;
}

// Hands one complete message to the target and queues its replies.
void Dispatch(State* s, const Bytes& message) {
    const unsigned acceptedBefore = s->target->Log().recordsAccepted;
    const unsigned handshakesBefore = s->target->Log().handshakes;
    const Clock::time_point now = Clock::now();
    const std::vector<emul::Reply> replies = s->target->Receive(message.data(), message.size());
    if (!s->recordsStarted && s->target->Log().handshakes == handshakesBefore) {
        s->recordsStarted = true;
        s->firstRecord = now;
    }
    if (s->target->Log().recordsAccepted != acceptedBefore) {
        s->acceptUs.push_back(
            std::chrono::duration_cast<std::chrono::microseconds>(now - s->firstRecord).count());
    }
    for (const emul::Reply& reply : replies) {
        Pending p;
        p.due = now + std::chrono::milliseconds(reply.delayMs);
        p.bytes = reply.bytes;
        // Replies with the same delay keep their order.
        auto at = std::upper_bound(s->pending.begin(), s->pending.end(), p.due,
                                   [](Clock::time_point t, const Pending& q) { return t < q.due; });
        s->pending.insert(at, p);
    }
    s->dirty = true;
}

void Frame(State* s, const uint8_t* bytes, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        const uint8_t b = bytes[k];
        if (b == 0xF0) {
            s->message.assign(1, b);
            s->inMessage = true;
        } else if (!s->inMessage) {
            continue;
        } else if (b == 0xF7) {
            s->message.push_back(b);
            s->inMessage = false;
            Dispatch(s, s->message);
        } else if (b >= 0xF8) {
            continue; // real-time bytes may come between a message's bytes
        } else if (b >= 0x80 || s->message.size() >= kMaxMessage) {
            s->inMessage = false; // another status byte, or too long: the message is dropped
        } else {
            s->message.push_back(b);
        }
    }
}

// Writes what is due. Returns false (with s->end set) when the device is gone
// or fails.
bool Flush(State* s) {
    const Clock::time_point now = Clock::now();
    while (!s->pending.empty() && s->pending.front().due <= now) {
        const Bytes& b = s->pending.front().bytes;
        s->outgoing.insert(s->outgoing.end(), b.begin(), b.end());
        s->pending.pop_front();
        ++s->repliesWritten;
        s->dirty = true;
    }
    while (!s->outgoing.empty()) {
        const ssize_t written = write(s->fd, s->outgoing.data(), s->outgoing.size());
        if (written > 0) {
            s->outgoing.erase(s->outgoing.begin(), s->outgoing.begin() + written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) return true; // the rest when the device takes it
        s->end = errno == ENODEV ? "device_gone" : std::string("error write: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// Reads what has arrived. Returns false (with s->end set) when the device is
// gone or fails.
bool ReadInput(State* s) {
    uint8_t buffer[1024];
    const bool paced = s->byteTime.count() > 0;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (paced && now < s->readFreeAt) return true;
        const ssize_t got = read(s->fd, buffer, paced ? kPacedReadBytes : sizeof buffer);
        if (got > 0) {
            if (paced) s->readFreeAt = std::max(s->readFreeAt, now - kPacedCatchUp) + s->byteTime * got;
            Frame(s, buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) return true;
        if (got == 0 || errno == ENODEV) s->end = "device_gone";
        else s->end = std::string("error read: ") + std::strerror(errno);
        return false;
    }
}

int Run(State* s, int signalFd) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = now + kIdlePoll;
        if (!s->pending.empty()) wake = std::min(wake, s->pending.front().due);
        if (s->dirty) wake = std::min(wake, s->lastLog + kLogInterval);
        // A paced target does not look at its input until it may read again.
        const bool mayRead = now >= s->readFreeAt;
        if (!mayRead) wake = std::min(wake, s->readFreeAt);
        const auto timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(wake - now, Clock::duration(0)));
        const timespec waitFor = {static_cast<time_t>(timeout.count() / 1000000000),
                                  static_cast<long>(timeout.count() % 1000000000)};
        const short events = static_cast<short>((mayRead ? POLLIN : 0) | (s->outgoing.empty() ? 0 : POLLOUT));
        pollfd fds[2] = {{s->fd, events, 0}, {signalFd, POLLIN, 0}};
        const int ready = ppoll(fds, 2, &waitFor, nullptr);
        if (ready < 0 && errno != EINTR) {
            s->end = std::string("error poll: ") + std::strerror(errno);
            return 1;
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            s->end = "sigterm";
            return 0;
        }
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            // A card that went away: the read tells why.
            if (ReadInput(s)) s->end = "device_gone";
            return s->end == "device_gone" ? 0 : 1;
        }
        // Polled or not, read: a descriptor of a vanished card may never wake
        // the poll, but its read fails with ENODEV.
        if (!ReadInput(s)) return s->end == "device_gone" ? 0 : 1;
        if (!Flush(s)) return s->end == "device_gone" ? 0 : 1;
        if (s->dirty && Clock::now() >= s->lastLog + kLogInterval) WriteLog(s);
    }
}

// True when the script's lines are all the target's own settings (by their
// first word) and no action answers on another input.
bool OnlyTargetSettings(const std::string& text, const emul::Scenario& sc, std::string* why) {
    static const char* const kTargetKeys[] = {"model",  "reply_delay",   "handshake",     "handshake_default",
                                              "record", "record_default", "checksum_error"};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key) || key[0] == '#') continue;
        if (std::find(std::begin(kTargetKeys), std::end(kTargetKeys), key) == std::end(kTargetKeys)) {
            *why = "\"" + key + "\": only model, reply_delay, handshake, handshake_default, record, "
                   "record_default and checksum_error apply to a target on a raw device";
            return false;
        }
    }
    std::vector<const emul::Action*> actions = {&sc.script.handshakeDefault, &sc.script.recordDefault,
                                                &sc.script.checksumError};
    for (const auto& entry : sc.script.handshake) actions.push_back(&entry.second);
    for (const auto& entry : sc.script.records) actions.push_back(&entry.second);
    for (const emul::Action* action : actions) {
        if (action->input != -1) {
            *why = "\"on <input>\": a target on a raw device answers on its own device only";
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    long byteUs = 0;
    if (argc == 6 && std::strcmp(argv[1], "--byte-us") == 0) {
        char* end = nullptr;
        byteUs = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || byteUs <= 0) byteUs = -1;
        argc -= 2;
        argv += 2;
    }
    if (argc != 4 || byteUs < 0) {
        std::fprintf(stderr, "usage: %s [--byte-us US] DEVICE SCRIPT LOG\n", argv[0]);
        return 2;
    }
    std::ifstream scriptFile(argv[2], std::ios::binary);
    if (!scriptFile) {
        std::fprintf(stderr, "raw_midi_target: cannot read %s\n", argv[2]);
        return 2;
    }
    std::stringstream text;
    text << scriptFile.rdbuf();
    emul::Scenario scenario;
    std::string error;
    if (!emul::ParseScenario(text.str(), &scenario, &error)) {
        std::fprintf(stderr, "raw_midi_target: %s: %s\n", argv[2], error.c_str());
        return 2;
    }
    if (!OnlyTargetSettings(text.str(), scenario, &error)) {
        std::fprintf(stderr, "raw_midi_target: %s: %s\n", argv[2], error.c_str());
        return 2;
    }

    // SIGTERM and SIGINT are taken through a descriptor, so the loop sees them
    // between two steps and writes the log before it ends.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &endSignals, nullptr);
    const int signalFd = signalfd(-1, &endSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("raw_midi_target: signalfd");
        return 1;
    }

    emul::Target target(scenario.script);
    State s;
    s.logPath = argv[3];
    s.target = &target;
    s.byteTime = std::chrono::microseconds(byteUs);
    s.fd = open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (s.fd < 0) {
        std::fprintf(stderr, "raw_midi_target: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // The port passes nothing on to its raw device until the device's input
    // has been started by a first poll or read.
    pollfd first = {s.fd, POLLIN, 0};
    poll(&first, 1, 0);
    if (!WriteLog(&s)) {
        std::fprintf(stderr, "raw_midi_target: cannot write %s\n", s.logPath.c_str());
        return 1;
    }

    const int status = Run(&s, signalFd);
    close(s.fd);
    WriteLog(&s);
    if (status != 0) std::fprintf(stderr, "raw_midi_target: %s\n", s.end.c_str());
    return status;
}
