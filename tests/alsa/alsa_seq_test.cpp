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
#include <string>
#include <thread>
#include <vector>

#include "midi/midi.h"
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
            const bool isVirtual = fgets(text, sizeof text, id) != nullptr &&
                                   strncmp(text, "VirMIDI", 7) == 0;
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

// A sequencer client of the test's own, standing in for a keyboard.
class Keyboard {
public:
    Keyboard() {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) return;
        snd_seq_set_client_name(seq_, "Test Keyboard");
        port_ = snd_seq_create_simple_port(
            seq_, "Test Keyboard Port",
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
    }
    ~Keyboard() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }
    bool Ready() const { return seq_ != nullptr && port_ >= 0; }
    void Unplug() {
        snd_seq_delete_simple_port(seq_, port_);
        port_ = -1;
    }
    // Sends a System Exclusive message from the keyboard's port, to its
    // subscribers or straight to one address.
    int Send(Bytes message, int client = -1, int port = -1) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_source(&event, port_);
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

private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
};

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
