// The real ALSA layer against a kernel sequencer: for a machine (or virtual
// machine) with snd-seq-dummy ("Midi Through", client 14) and snd-virmidi
// loaded. Every test is skipped where there is no /dev/snd/seq.
//
// The far side of a device is played by this test: the raw MIDI end of the
// first virtual port (/dev/snd/midiC<card>D0), or a sequencer client of the
// test's own that stands in for a keyboard and can be "unplugged" by deleting
// its port.
#include <algorithm>
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "midi/midi.h"
#include "midi/reply_queue.h"
#include "support/reply_view.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

bool HaveSequencer() { return access("/dev/snd/seq", F_OK) == 0; }

std::vector<std::string> Devices(bool input) {
    std::vector<std::string> names;
    for (unsigned id = 0; id < 64; ++id) {
        char name[kDeviceNameSize];
        const uint16_t result = input ? QueryMidiInDevice(id, name) : QueryMidiOutDevice(id, name);
        if (result != 0) break;
        names.emplace_back(name);
    }
    return names;
}

int DeviceNumber(bool input, const std::string& name) {
    const std::vector<std::string> names = Devices(input);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

Bytes Reply() {
    const int16_t count = ReplyCount();
    Bytes bytes(count > 0 ? static_cast<size_t>(count) : 0);
    if (!bytes.empty()) CopyReplyBytes(bytes.data(), static_cast<unsigned>(bytes.size()));
    return bytes;
}

// Waits until the reply slot holds `count` bytes (the slot keeps the latest).
bool WaitForCount(int16_t count, int milliseconds = 2000) {
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < until) {
        if (ReplyCount() == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ReplyCount() == count;
}

Bytes SysEx(const Bytes& data) {
    Bytes message(data.size() + 2);
    message.front() = 0xF0;
    std::copy(data.begin(), data.end(), message.begin() + 1);
    message.back() = 0xF7;
    return message;
}

const Bytes kHandshake = {0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35};

class RealSequencer : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveSequencer()) GTEST_SKIP() << "no sequencer on this machine";
        ClearReplies();
    }
    void TearDown() override {
        CloseMidiIn();
        CloseMidiOut();
        ClearReplies();
    }
};

TEST_F(RealSequencer, TheThroughPortComesFirstAndOurOwnPortsAreLeftOut) {
    const std::vector<std::string> inputs = Devices(true);
    const std::vector<std::string> outputs = Devices(false);
    ASSERT_FALSE(inputs.empty());
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(inputs[0], "Midi Through Port-0");
    EXPECT_EQ(outputs[0], "Midi Through Port-0");
    EXPECT_GE(DeviceNumber(true, "VirMIDI 0-0"), 1);
    EXPECT_GE(DeviceNumber(false, "VirMIDI 0-0"), 1);
    for (const auto& list : {inputs, outputs}) {
        for (const std::string& name : list) {
            EXPECT_EQ(name.find("update"), std::string::npos) << name;
            EXPECT_NE(name, "Timer");
            EXPECT_NE(name, "Announce");
        }
    }
    char name[kDeviceNameSize];
    EXPECT_NE(QueryMidiInDevice(static_cast<unsigned>(inputs.size()), name), 0);
    EXPECT_NE(QueryMidiOutDevice(static_cast<unsigned>(outputs.size()), name), 0);
}

TEST_F(RealSequencer, AMessageSentThroughTheThroughPortComesBackWhole) {
    ASSERT_EQ(OpenMidiIn(0), 0);
    ASSERT_EQ(OpenMidiOut(0), 0);
    EXPECT_STREQ(MidiInName(), "Midi Through Port-0");
    EXPECT_STREQ(MidiOutName(), "Midi Through Port-0");
    for (size_t n : {0u, 1u, 7u, 22u}) {
        SCOPED_TRACE(std::to_string(n) + " data bytes");
        Bytes data(n);
        for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(0x10 + i);
        ClearReplies();
        ASSERT_EQ(SendSysEx(data.data(), static_cast<unsigned>(n)), 0);
        ASSERT_TRUE(WaitForCount(static_cast<int16_t>(n + 2)));
        EXPECT_EQ(Reply(), SysEx(data));
    }
    // Too long: nothing is sent and no error is reported.
    ClearReplies();
    const Bytes tooLong(23, 0x01);
    EXPECT_EQ(SendSysEx(tooLong.data(), 23), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ReplyCount(), 0);

    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiIn(), 0);
    EXPECT_EQ(CloseMidiOut(), 1);
    EXPECT_EQ(CloseMidiOut(), 0);
    EXPECT_NE(SendSysEx(kHandshake.data(), 7), 0) << "no output open";
}

// The sequencer takes a message long before a 31,250-baud line has carried
// it. Up to 2,048 bytes go at once; beyond them each message waits until the
// modelled line has carried enough (320 us a byte), and a reply starts the
// budget again.
TEST_F(RealSequencer, SendsGoAtOnceWithinTheBudgetAndThenAtTheLinesPace) {
    ASSERT_EQ(OpenMidiOut(0), 0);
    const Bytes chunk(22, 0x41);
    const auto wire = [](int messages) { return std::chrono::microseconds(messages * 24 * 320); };
    auto started = Clock::now();
    for (int k = 0; k < 85; ++k) ASSERT_EQ(SendSysEx(chunk.data(), 22), 0); // 2,040 bytes
    EXPECT_LT(Clock::now() - started, wire(85) / 2);
    for (int k = 0; k < 40; ++k) ASSERT_EQ(SendSysEx(chunk.data(), 22), 0);
    const auto took = Clock::now() - started;
    const auto beyond = wire(125) - std::chrono::microseconds(2048 * 320); // 304.6 ms
    EXPECT_GE(took, beyond);
    EXPECT_LT(took, beyond * 3 / 2);

    // The through port echoes what it is sent: taken as a verdict, as the
    // protocol takes an answer, the echo starts the budget again.
    ASSERT_EQ(OpenMidiIn(0), 0);
    ClearReplies();
    ASSERT_EQ(SendSysEx(chunk.data(), 22), 0);
    ASSERT_TRUE(WaitForCount(24));
    CountVerdict();
    started = Clock::now();
    for (int k = 0; k < 85; ++k) ASSERT_EQ(SendSysEx(chunk.data(), 22), 0);
    EXPECT_LT(Clock::now() - started, wire(85) / 2);
}

// The raw MIDI end of "VirMIDI 0-0".
class VirtualPort : public RealSequencer {
protected:
    void SetUp() override {
        RealSequencer::SetUp();
        if (IsSkipped()) return;
        for (int card = 0; card < 8 && raw_ < 0; ++card) {
            char path[64];
            snprintf(path, sizeof path, "/proc/asound/card%d/id", card);
            FILE* id = fopen(path, "r");
            if (id == nullptr) continue;
            char text[64] = {};
            const bool isVirtual =
                fgets(text, sizeof text, id) != nullptr && strncmp(text, "VirMIDI", 7) == 0;
            fclose(id);
            if (!isVirtual) continue;
            snprintf(path, sizeof path, "/dev/snd/midiC%dD0", card);
            raw_ = open(path, O_RDWR | O_NONBLOCK);
        }
        ASSERT_GE(raw_, 0) << "no virtual raw MIDI port";
        // The virtual port passes sequencer events to its raw end only once
        // the raw end listens, which its first poll or read starts.
        ReadRaw(1, 50);
        in_ = DeviceNumber(true, "VirMIDI 0-0");
        out_ = DeviceNumber(false, "VirMIDI 0-0");
        ASSERT_GE(in_, 0);
        ASSERT_GE(out_, 0);
    }
    void TearDown() override {
        RealSequencer::TearDown();
        if (raw_ >= 0) close(raw_);
    }
    void WriteRaw(const Bytes& bytes) {
        ASSERT_EQ(write(raw_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Bytes ReadRaw(size_t wanted, int milliseconds = 2000) {
        Bytes got;
        const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
        while (got.size() < wanted && Clock::now() < until) {
            pollfd fd = {raw_, POLLIN, 0};
            if (poll(&fd, 1, 10) <= 0) continue;
            uint8_t buffer[512];
            const ssize_t n = read(raw_, buffer, sizeof buffer);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    int raw_ = -1;
    int in_ = -1;
    int out_ = -1;
};

TEST_F(VirtualPort, SentMessagesReachTheDeviceAndItsRepliesReachTheSlot) {
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in_)), 0);
    ASSERT_EQ(OpenMidiOut(static_cast<unsigned>(out_)), 0);
    EXPECT_STREQ(MidiInName(), "VirMIDI 0-0");

    ASSERT_EQ(SendSysEx(kHandshake.data(), 7), 0);
    EXPECT_EQ(ReadRaw(9), SysEx(kHandshake));

    WriteRaw({0xF0, 0x3B, 0xF7});
    ASSERT_TRUE(WaitForCount(3));
    uint8_t code = 0;
    EXPECT_TRUE(TakeReplyCode(&code));
    EXPECT_EQ(code, 0x3B);

    // Junk outside a message is ignored.
    WriteRaw({0x90, 0x40, 0x7F, 0xF0, 0x15, 0xF7});
    ASSERT_TRUE(WaitForCount(3));
    EXPECT_EQ(Reply(), (Bytes{0xF0, 0x15, 0xF7}));
}

TEST_F(VirtualPort, ALongReplyArrivesInPiecesAndKeepsItsFirst200Bytes) {
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in_)), 0);
    for (size_t length : {199u, 256u, 300u, 1000u}) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        ClearReplies();
        Bytes message = {0xF0};
        for (size_t i = 1; i + 1 < length; ++i) message.push_back(static_cast<uint8_t>(i & 0x7F));
        message.push_back(0xF7);
        WriteRaw(message);
        const size_t kept = std::min<size_t>(length, kReplyBufferSize);
        ASSERT_TRUE(WaitForCount(static_cast<int16_t>(kept)));
        EXPECT_EQ(Reply(), Bytes(message.begin(), message.begin() + static_cast<long>(kept)));
    }
}

TEST_F(VirtualPort, AClosedInputDeliversNothingAndClosesPromptly) {
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in_)), 0);
    WriteRaw({0xF0, 0x01, 0xF7});
    ASSERT_TRUE(WaitForCount(3));
    ClearReplies();
    const auto start = Clock::now();
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
    WriteRaw({0xF0, 0x02, 0xF7});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ReplyCount(), 0);
    // Reopened, it hears only what comes after the open.
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in_)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ReplyCount(), 0);
    WriteRaw({0xF0, 0x03, 0x04, 0xF7});
    ASSERT_TRUE(WaitForCount(4));
}

// A sequencer client of the test's own, standing in for a keyboard: its
// port is "NAME Port", or with several, "NAME Port 1", "NAME Port 2", ...
class Keyboard {
public:
    explicit Keyboard(const std::string& name = "Test Keyboard", int ports = 1) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_name(seq_, name.c_str());
        for (int k = 0; k < ports; ++k) {
            const std::string portName =
                name + " Port" + (ports > 1 ? " " + std::to_string(k + 1) : "");
            const int port = snd_seq_create_simple_port(
                seq_, portName.c_str(),
                SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                    SND_SEQ_PORT_CAP_SUBS_WRITE,
                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
            if (port < 0) return;
            ports_.push_back(port);
        }
        port_ = ports_.front();
    }
    ~Keyboard() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }
    bool Ready() const { return seq_ != nullptr && port_ >= 0; }
    void Unplug() {
        snd_seq_delete_simple_port(seq_, port_);
        port_ = -1;
    }
    // Sends a System Exclusive message (or a piece of one) from the
    // keyboard's port (of several, port `from`), to its subscribers or
    // straight to one address.
    int Send(Bytes message, int client = -1, int port = -1, size_t from = 0) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, from == 0 ? port_ : ports_.at(from));
        if (client < 0) {
            snd_seq_ev_set_subs(&event);
        } else {
            snd_seq_ev_set_dest(&event, client, port);
        }
        snd_seq_ev_set_direct(&event);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(message.size()), message.data());
        return snd_seq_event_output_direct(seq_, &event);
    }
    // The address of a port by client and port name.
    bool Find(const char* clientName, const char* portName, int* client, int* port) {
        snd_seq_client_info_t* clientInfo;
        snd_seq_port_info_t* portInfo;
        snd_seq_client_info_alloca(&clientInfo);
        snd_seq_port_info_alloca(&portInfo);
        snd_seq_client_info_set_client(clientInfo, -1);
        while (snd_seq_query_next_client(seq_, clientInfo) >= 0) {
            if (strcmp(snd_seq_client_info_get_name(clientInfo), clientName) != 0) continue;
            snd_seq_port_info_set_client(portInfo, snd_seq_client_info_get_client(clientInfo));
            snd_seq_port_info_set_port(portInfo, -1);
            while (snd_seq_query_next_port(seq_, portInfo) >= 0) {
                if (strcmp(snd_seq_port_info_get_name(portInfo), portName) != 0) continue;
                *client = snd_seq_port_info_get_client(portInfo);
                *port = snd_seq_port_info_get_port(portInfo);
                return true;
            }
        }
        return false;
    }
    // How many subscribers the keyboard's (first) port has.
    int Subscribers() {
        snd_seq_query_subscribe_t* query;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_addr_t root;
        root.client = static_cast<unsigned char>(snd_seq_client_id(seq_));
        root.port = static_cast<unsigned char>(port_);
        snd_seq_query_subscribe_set_root(query, &root);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
        snd_seq_query_subscribe_set_index(query, 0);
        if (snd_seq_query_port_subscribers(seq_, query) < 0) return 0;
        return snd_seq_query_subscribe_get_num_subs(query);
    }

private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    std::vector<int> ports_;
};

using Tagged = std::pair<unsigned, Bytes>; // the input a message came from, and its bytes

// Takes messages from the reply queue until `wanted` have come (or two
// seconds have passed), then whatever else comes within 200 ms.
std::vector<Tagged> TakeTagged(size_t wanted) {
    std::vector<Tagged> taken;
    auto until = Clock::now() + std::chrono::seconds(2);
    bool settling = false;
    for (;;) {
        IncomingReply reply;
        if (TakeReply(&reply)) {
            taken.emplace_back(reply.input, Bytes(reply.bytes, reply.bytes + reply.count));
            continue;
        }
        if (!settling && taken.size() >= wanted) {
            settling = true;
            until = Clock::now() + std::chrono::milliseconds(200);
        }
        if (Clock::now() >= until) return taken;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Two stand-in keyboards, each an input, both open; made only where there
// is a sequencer.
class TwoKeyboards : public RealSequencer {
protected:
    void SetUp() override {
        RealSequencer::SetUp();
        if (IsSkipped()) return;
        a_.emplace("Test Keyboard A");
        b_.emplace("Test Keyboard B");
        ASSERT_TRUE(a_->Ready());
        ASSERT_TRUE(b_->Ready());
        inA_ = DeviceNumber(true, "Test Keyboard A Port");
        inB_ = DeviceNumber(true, "Test Keyboard B Port");
        ASSERT_GE(inA_, 0);
        ASSERT_GE(inB_, 0);
        ASSERT_EQ(OpenMidiIn(A()), 0);
        ASSERT_EQ(OpenMidiIn(B()), 0);
    }
    unsigned A() const { return static_cast<unsigned>(inA_); }
    unsigned B() const { return static_cast<unsigned>(inB_); }
    std::optional<Keyboard> a_;
    std::optional<Keyboard> b_;
    int inA_ = -1;
    int inB_ = -1;
};

TEST_F(TwoKeyboards, EachMessageComesTaggedWithItsOwnInput) {
    EXPECT_STREQ(MidiInName(), "Test Keyboard A Port") << "the open input opened first";
    EXPECT_GE(a_->Send({0xF0, 0x0A, 0xF7}), 0);
    EXPECT_GE(b_->Send({0xF0, 0x0B, 0x0B, 0xF7}), 0);
    EXPECT_GE(a_->Send({0xF0, 0x1A, 0xF7}), 0);
    EXPECT_EQ(TakeTagged(3), (std::vector<Tagged>{{A(), {0xF0, 0x0A, 0xF7}},
                                                  {B(), {0xF0, 0x0B, 0x0B, 0xF7}},
                                                  {A(), {0xF0, 0x1A, 0xF7}}}));
}

TEST_F(TwoKeyboards, InterleavedPiecesArePutTogetherPerInput) {
    // A's message in two pieces with B's between them and after: one
    // reassembly for both would start again at B's F0 and end B's message
    // with A's bytes.
    EXPECT_GE(a_->Send({0xF0, 0x01, 0x02}), 0);
    EXPECT_GE(b_->Send({0xF0, 0x11, 0x12}), 0);
    EXPECT_GE(a_->Send({0x03, 0xF7}), 0);
    EXPECT_GE(b_->Send({0x13, 0x14, 0xF7}), 0);
    EXPECT_EQ(TakeTagged(2), (std::vector<Tagged>{{A(), {0xF0, 0x01, 0x02, 0x03, 0xF7}},
                                                  {B(), {0xF0, 0x11, 0x12, 0x13, 0x14, 0xF7}}}));
}

TEST_F(TwoKeyboards, AnInputClosedByItsNumberIsNoLongerHeardAndTheOtherIs) {
    ASSERT_EQ(a_->Subscribers(), 1);
    ASSERT_EQ(b_->Subscribers(), 1);
    // A message of A's in progress when A closes is not finished by B's bytes.
    EXPECT_GE(a_->Send({0xF0, 0x01}), 0);
    ASSERT_EQ(TakeTagged(0), std::vector<Tagged>{});
    EXPECT_EQ(CloseMidiInDevice(A()), 1);
    EXPECT_EQ(CloseMidiInDevice(A()), 0);
    EXPECT_EQ(a_->Subscribers(), 0) << "A's subscription is gone";
    EXPECT_EQ(b_->Subscribers(), 1) << "B's stays";
    EXPECT_STREQ(MidiInName(), "Test Keyboard B Port");
    EXPECT_GE(a_->Send({0x02, 0xF7}), 0);
    EXPECT_GE(a_->Send({0xF0, 0x0A, 0xF7}), 0);
    EXPECT_GE(b_->Send({0xF0, 0x0B, 0xF7}), 0);
    EXPECT_EQ(TakeTagged(1), (std::vector<Tagged>{{B(), {0xF0, 0x0B, 0xF7}}}));

    // Opened again, A is heard again, from its next message on.
    ASSERT_EQ(OpenMidiIn(A()), 0);
    EXPECT_STREQ(MidiInName(), "Test Keyboard B Port") << "B is now the open input opened first";
    EXPECT_GE(a_->Send({0x03, 0xF7}), 0);
    EXPECT_GE(a_->Send({0xF0, 0x1A, 0xF7}), 0);
    EXPECT_GE(b_->Send({0xF0, 0x1B, 0xF7}), 0);
    EXPECT_EQ(TakeTagged(2),
              (std::vector<Tagged>{{A(), {0xF0, 0x1A, 0xF7}}, {B(), {0xF0, 0x1B, 0xF7}}}));

    // With none open, the name is that of the input opened last.
    EXPECT_EQ(CloseMidiInDevice(B()), 1);
    EXPECT_STREQ(MidiInName(), "Test Keyboard A Port");
    EXPECT_EQ(CloseMidiInDevice(A()), 1);
    EXPECT_STREQ(MidiInName(), "Test Keyboard A Port");
    EXPECT_EQ(a_->Subscribers(), 0);
    EXPECT_EQ(b_->Subscribers(), 0);
    EXPECT_EQ(CloseMidiIn(), 0);
}

TEST_F(RealSequencer, TenInputsOpenAtOnceAndAnEleventhOrARepeatIsRefused) {
    Keyboard bank("Test Bank", 11);
    ASSERT_TRUE(bank.Ready());
    const int first = DeviceNumber(true, "Test Bank Port 1");
    ASSERT_GE(first, 0);
    const auto in = [first](size_t k) {
        return static_cast<unsigned>(first + static_cast<int>(k));
    };
    for (size_t k = 0; k < 10; ++k) ASSERT_EQ(OpenMidiIn(in(k)), 0) << k;
    EXPECT_EQ(OpenMidiIn(in(10)), EMFILE) << "an eleventh";
    EXPECT_EQ(OpenMidiIn(in(3)), EALREADY) << "one open already";
    EXPECT_EQ(CloseMidiInDevice(in(10)), 0) << "the refused one is not open";
    EXPECT_STREQ(MidiInName(), "Test Bank Port 1");

    // The ten still work, each tagged with its own number, and nothing comes
    // of the eleventh port.
    for (size_t k = 0; k <= 10; ++k) {
        const Bytes message = {0xF0, static_cast<uint8_t>(k), 0xF7};
        EXPECT_GE(bank.Send(message, -1, -1, k), 0) << k;
    }
    std::vector<Tagged> expected;
    for (size_t k = 0; k < 10; ++k)
        expected.push_back({in(k), {0xF0, static_cast<uint8_t>(k), 0xF7}});
    EXPECT_EQ(TakeTagged(10), expected);

    // With one closed, the eleventh opens.
    EXPECT_EQ(CloseMidiInDevice(in(3)), 1);
    EXPECT_EQ(OpenMidiIn(in(10)), 0);
    EXPECT_GE(bank.Send({0xF0, 0x10, 0xF7}, -1, -1, 10), 0);
    EXPECT_GE(bank.Send({0xF0, 0x03, 0xF7}, -1, -1, 3), 0);
    EXPECT_EQ(TakeTagged(1), (std::vector<Tagged>{{in(10), {0xF0, 0x10, 0xF7}}}));
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiIn(), 0);
}

TEST_F(RealSequencer, OnlyTheOpenedDeviceIsHeard) {
    Keyboard keyboard;
    ASSERT_TRUE(keyboard.Ready());
    const int in = DeviceNumber(true, "Test Keyboard Port");
    ASSERT_GE(in, 0);
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in)), 0);

    int ourClient = -1;
    int ourPort = -1;
    ASSERT_TRUE(keyboard.Find("update", "update in", &ourClient, &ourPort));
    // Another port's message sent straight to our input port is not taken.
    Keyboard stranger;
    ASSERT_TRUE(stranger.Ready());
    EXPECT_GE(stranger.Send({0xF0, 0x66, 0xF7}, ourClient, ourPort), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(ReplyCount(), 0);
    // The opened device's is.
    EXPECT_GE(keyboard.Send({0xF0, 0x3B, 0xF7}), 0);
    ASSERT_TRUE(WaitForCount(3));
    EXPECT_EQ(Reply(), (Bytes{0xF0, 0x3B, 0xF7}));
}

TEST_F(RealSequencer, SendingToAnUnpluggedDeviceFailsPromptly) {
    Keyboard keyboard;
    ASSERT_TRUE(keyboard.Ready());
    const int out = DeviceNumber(false, "Test Keyboard Port");
    const int in = DeviceNumber(true, "Test Keyboard Port");
    ASSERT_GE(out, 0);
    ASSERT_EQ(OpenMidiOut(static_cast<unsigned>(out)), 0);
    ASSERT_EQ(OpenMidiIn(static_cast<unsigned>(in)), 0);
    ASSERT_EQ(SendSysEx(kHandshake.data(), 7), 0);

    keyboard.Unplug();
    const auto start = Clock::now();
    EXPECT_NE(SendSysEx(kHandshake.data(), 7), 0);
    EXPECT_NE(SendSysEx(kHandshake.data(), 7), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(CloseMidiIn(), 1);
    EXPECT_EQ(CloseMidiOut(), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(DeviceNumber(false, "Test Keyboard Port"), -1);
}

TEST_F(RealSequencer, OpeningAMissingDeviceFailsAndLeavesTheSideClosedWithItsName) {
    ASSERT_EQ(OpenMidiOut(0), 0);
    const std::string name = MidiOutName();
    const unsigned missing = static_cast<unsigned>(Devices(false).size());
    EXPECT_NE(OpenMidiOut(missing), 0);
    EXPECT_EQ(MidiOutName(), name);
    EXPECT_EQ(CloseMidiOut(), 0);
    EXPECT_NE(SendSysEx(kHandshake.data(), 7), 0);
}

TEST_F(RealSequencer, EveryPairCanBeOpenedAndClosedInTurn) {
    // As discovery does: each input with each output, closing as it goes.
    const unsigned inputs = static_cast<unsigned>(std::min<size_t>(Devices(true).size(), 10));
    const unsigned outputs = static_cast<unsigned>(std::min<size_t>(Devices(false).size(), 10));
    const auto start = Clock::now();
    for (unsigned i = 0; i < inputs; ++i) {
        ASSERT_EQ(OpenMidiIn(i), 0) << i;
        for (unsigned j = 0; j < outputs; ++j) {
            ASSERT_EQ(OpenMidiOut(j), 0) << j;
            EXPECT_EQ(SendSysEx(kHandshake.data(), 7), 0);
            EXPECT_EQ(CloseMidiOut(), 1);
        }
        EXPECT_EQ(CloseMidiIn(), 1);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

} // namespace
