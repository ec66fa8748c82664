// vm_midi_probe: looks at the ALSA sequencer from inside the test VM.
//
//   vm_midi_probe list
//       One line per sequencer port: "client:port<TAB>client name<TAB>port name<TAB>caps".
//   vm_midi_probe loop PORT DEVICE
//       Subscribes to and from the sequencer port named PORT (e.g. "VirMIDI 0-1"),
//       writes MIDI bytes to the raw device DEVICE (e.g. /dev/snd/midiC0D1) and
//       checks that they arrive as sequencer events, then sends events to the
//       port and checks that the same bytes can be read from DEVICE.
//   vm_midi_probe stream PORT DEVICE SECONDS
//       Keeps both directions busy for SECONDS and reports the first error on
//       either side, e.g. when the virtual card goes away underneath.
//
// Exit status 0 when everything asked for worked, 1 otherwise, 2 on bad usage.
#include <alsa/asoundlib.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const Bytes& bytes) {
    std::string text;
    char cell[4];
    for (unsigned char b : bytes) {
        std::snprintf(cell, sizeof cell, "%02X ", b);
        text += cell;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::string Caps(unsigned caps) {
    static const struct {
        unsigned bit;
        const char* name;
    } kNames[] = {
        {SND_SEQ_PORT_CAP_READ, "read"},          {SND_SEQ_PORT_CAP_WRITE, "write"},
        {SND_SEQ_PORT_CAP_SUBS_READ, "subs-read"}, {SND_SEQ_PORT_CAP_SUBS_WRITE, "subs-write"},
        {SND_SEQ_PORT_CAP_DUPLEX, "duplex"},       {SND_SEQ_PORT_CAP_NO_EXPORT, "no-export"},
    };
    std::string text;
    for (const auto& n : kNames) {
        if (caps & n.bit) {
            if (!text.empty()) text += ',';
            text += n.name;
        }
    }
    return text.empty() ? "-" : text;
}

// The sequencer side of the probe: one client with one duplex port.
class Sequencer {
public:
    bool Open() {
        int err = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0);
        if (err < 0) {
            std::fprintf(stderr, "snd_seq_open: %s\n", snd_strerror(err));
            return false;
        }
        snd_seq_set_client_name(seq_, "vm_midi_probe");
        port_ = snd_seq_create_simple_port(
            seq_, "probe",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_READ |
                SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (port_ < 0) {
            std::fprintf(stderr, "snd_seq_create_simple_port: %s\n", snd_strerror(port_));
            return false;
        }
        snd_seq_nonblock(seq_, 1);
        return true;
    }

    ~Sequencer() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }

    snd_seq_t* Handle() const { return seq_; }

    // Every port: client:port, the client's name, the port's name, its capabilities.
    struct PortInfo {
        int client;
        int port;
        std::string client_name;
        std::string port_name;
        unsigned caps;
    };

    std::vector<PortInfo> Ports() const {
        std::vector<PortInfo> ports;
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq_, client) >= 0) {
            snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq_, port) >= 0) {
                ports.push_back({snd_seq_port_info_get_client(port), snd_seq_port_info_get_port(port),
                                 snd_seq_client_info_get_name(client), snd_seq_port_info_get_name(port),
                                 snd_seq_port_info_get_capability(port)});
            }
        }
        return ports;
    }

    std::optional<snd_seq_addr_t> Find(const std::string& name) const {
        for (const auto& p : Ports()) {
            if (p.port_name == name) {
                snd_seq_addr_t addr;
                addr.client = static_cast<unsigned char>(p.client);
                addr.port = static_cast<unsigned char>(p.port);
                return addr;
            }
        }
        return std::nullopt;
    }

    // Subscribes the probe's port to the target and the target to the probe's port.
    bool ConnectBoth(snd_seq_addr_t target) {
        int err = snd_seq_connect_from(seq_, port_, target.client, target.port);
        if (err < 0) {
            std::fprintf(stderr, "subscribe from %d:%d: %s\n", target.client, target.port, snd_strerror(err));
            return false;
        }
        err = snd_seq_connect_to(seq_, port_, target.client, target.port);
        if (err < 0) {
            std::fprintf(stderr, "subscribe to %d:%d: %s\n", target.client, target.port, snd_strerror(err));
            return false;
        }
        return true;
    }

    // Sends MIDI bytes as events to the probe's subscribers. Returns 0 or a negative error.
    int Send(const Bytes& bytes) {
        snd_midi_event_t* encoder;
        int err = snd_midi_event_new(bytes.size() + 16, &encoder);
        if (err < 0) return err;
        size_t at = 0;
        while (at < bytes.size()) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            long used = snd_midi_event_encode(encoder, bytes.data() + at, static_cast<long>(bytes.size() - at), &ev);
            if (used <= 0) {
                err = used < 0 ? static_cast<int>(used) : -EINVAL;
                break;
            }
            at += static_cast<size_t>(used);
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port_));
            snd_seq_ev_set_subs(&ev);
            snd_seq_ev_set_direct(&ev);
            err = snd_seq_event_output_direct(seq_, &ev);
            if (err < 0) break;
            err = 0;
        }
        snd_midi_event_free(encoder);
        return err;
    }

    // Reads events for up to timeout_ms and appends their MIDI bytes. Returns 0 or a negative error.
    int Receive(Bytes& into, size_t want, int timeout_ms) {
        snd_midi_event_t* decoder;
        int err = snd_midi_event_new(1024, &decoder);
        if (err < 0) return err;
        snd_midi_event_no_status(decoder, 1);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        err = 0;
        while (into.size() < want) {
            snd_seq_event_t* ev = nullptr;
            int got = snd_seq_event_input(seq_, &ev);
            if (got == -EAGAIN) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                std::vector<pollfd> fds(static_cast<size_t>(snd_seq_poll_descriptors_count(seq_, POLLIN)));
                snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
                poll(fds.data(), fds.size(), static_cast<int>(left.count()));
                continue;
            }
            if (got < 0) {
                err = got;
                break;
            }
            if (ev == nullptr || ev->type == SND_SEQ_EVENT_PORT_SUBSCRIBED || ev->type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
                continue;
            unsigned char buf[1024];
            long n = snd_midi_event_decode(decoder, buf, sizeof buf, ev);
            if (n > 0) into.insert(into.end(), buf, buf + n);
        }
        snd_midi_event_free(decoder);
        return err;
    }

private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
};

// Reads from a raw MIDI device for up to timeout_ms. Returns 0 or -errno.
int ReadRaw(int fd, Bytes& into, size_t want, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (into.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms);
        if (ready < 0) return -errno;
        if (ready == 0) {
            if (wait_ms == 0) return 0;
            continue;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return -ENODEV;
        unsigned char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EAGAIN) continue;
            return -errno;
        }
        if (n == 0) return -ENODEV;
        into.insert(into.end(), buf, buf + n);
    }
    return 0;
}

int WriteRaw(int fd, const Bytes& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0) {
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return -errno;
        }
        at += static_cast<size_t>(n);
    }
    return 0;
}

Bytes SysEx(size_t data_bytes, unsigned char seed) {
    Bytes m{0xF0};
    for (size_t i = 0; i < data_bytes; ++i) m.push_back(static_cast<unsigned char>((seed + i * 7) & 0x7F));
    m.push_back(0xF7);
    return m;
}

int List() {
    Sequencer seq;
    if (!seq.Open()) return 1;
    for (const auto& p : seq.Ports()) {
        std::printf("%d:%d\t%s\t%s\t%s\n", p.client, p.port, p.client_name.c_str(), p.port_name.c_str(),
                    Caps(p.caps).c_str());
    }
    return 0;
}

struct Connection {
    Sequencer seq;
    int fd = -1;
    ~Connection() {
        if (fd >= 0) close(fd);
    }
    bool Open(const std::string& port_name, const std::string& device) {
        if (!seq.Open()) return false;
        auto target = seq.Find(port_name);
        if (!target) {
            std::fprintf(stderr, "no sequencer port named \"%s\"\n", port_name.c_str());
            return false;
        }
        fd = open(device.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0) {
            std::fprintf(stderr, "open %s: %s\n", device.c_str(), std::strerror(errno));
            return false;
        }
        // The virtual port passes events on to its raw device only once the
        // device's input has been started, which the first read or poll does.
        Bytes none;
        ReadRaw(fd, none, 1, 0);
        return seq.ConnectBoth(*target);
    }
};

int Loop(const std::string& port_name, const std::string& device) {
    Connection c;
    if (!c.Open(port_name, device)) return 1;

    // Messages of the kinds the updater exchanges, and ordinary channel messages.
    const std::vector<Bytes> messages = {
        {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7},
        {0x90, 0x3C, 0x64},
        SysEx(14, 0x30),
        {0xB0, 0x07, 0x7F},
        SysEx(198, 0x11),
    };
    int failures = 0;
    for (const auto& m : messages) {
        Bytes got;
        int err = WriteRaw(c.fd, m);
        if (err == 0) err = c.seq.Receive(got, m.size(), 2000);
        bool ok = err == 0 && got == m;
        std::printf("raw %s -> port \"%s\": %zu bytes %s\n", device.c_str(), port_name.c_str(), m.size(),
                    ok ? "OK" : "FAILED");
        if (!ok) {
            ++failures;
            std::printf("  sent     %s\n  received %s%s%s\n", Hex(m).c_str(), Hex(got).c_str(), err ? " error " : "",
                        err ? snd_strerror(err) : "");
        }
    }
    for (const auto& m : messages) {
        Bytes got;
        int err = c.seq.Send(m);
        if (err == 0) err = ReadRaw(c.fd, got, m.size(), 2000);
        bool ok = err == 0 && got == m;
        std::printf("port \"%s\" -> raw %s: %zu bytes %s\n", port_name.c_str(), device.c_str(), m.size(),
                    ok ? "OK" : "FAILED");
        if (!ok) {
            ++failures;
            std::printf("  sent     %s\n  received %s%s%s\n", Hex(m).c_str(), Hex(got).c_str(), err ? " error " : "",
                        err ? std::strerror(-err) : "");
        }
    }
    std::printf("%d passed, %d failed\n", static_cast<int>(2 * messages.size()) - failures, failures);
    return failures == 0 ? 0 : 1;
}

int Stream(const std::string& port_name, const std::string& device, int seconds) {
    Connection c;
    if (!c.Open(port_name, device)) return 1;
    std::printf("streaming through \"%s\" and %s\n", port_name.c_str(), device.c_str());
    std::fflush(stdout);
    const Bytes m = SysEx(14, 0x40);
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(seconds);
    long rounds = 0;
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (std::chrono::steady_clock::now() < end) {
        Bytes got;
        int err = WriteRaw(c.fd, m);
        if (err < 0) {
            std::printf("after %.2f s, %ld rounds: raw write failed: %s\n", elapsed(), rounds, std::strerror(-err));
            return 1;
        }
        err = c.seq.Receive(got, m.size(), 1000);
        if (err < 0 || got != m) {
            std::printf("after %.2f s, %ld rounds: sequencer input %s (%s)\n", elapsed(), rounds,
                        err < 0 ? "failed" : "timed out", err < 0 ? snd_strerror(err) : Hex(got).c_str());
            return 1;
        }
        got.clear();
        err = c.seq.Send(m);
        if (err < 0) {
            std::printf("after %.2f s, %ld rounds: sequencer output failed: %s\n", elapsed(), rounds, snd_strerror(err));
            return 1;
        }
        err = ReadRaw(c.fd, got, m.size(), 1000);
        if (err < 0 || got != m) {
            std::printf("after %.2f s, %ld rounds: raw read %s (%s)\n", elapsed(), rounds,
                        err < 0 ? "failed" : "timed out", err < 0 ? std::strerror(-err) : Hex(got).c_str());
            return 1;
        }
        ++rounds;
        usleep(10000);
    }
    std::printf("%ld rounds in %d s without an error\n", rounds, seconds);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vm_midi_probe list\n"
                 "       vm_midi_probe loop PORT DEVICE\n"
                 "       vm_midi_probe stream PORT DEVICE SECONDS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "list") return List();
    if (args.size() == 3 && args[0] == "loop") return Loop(args[1], args[2]);
    if (args.size() == 4 && args[0] == "stream") return Stream(args[1], args[2], std::atoi(args[3].c_str()));
    return Usage();
}
