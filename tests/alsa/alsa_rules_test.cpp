// The ALSA layer's rules, without a sequencer: which ports are devices and
// their numbers, device names, result codes, and System Exclusive reassembly.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "midi/alsa_rules.h"
#include "midi/reply_queue.h"
#include "midi/sysex_assembly.h"

namespace {

constexpr unsigned kIn = kSeqCapRead | kSeqCapSubsRead;
constexpr unsigned kOut = kSeqCapWrite | kSeqCapSubsWrite;
constexpr unsigned kBoth = kIn | kOut;

SeqPortDesc Port(int client, int port, unsigned caps, const char* name = "port") {
    SeqPortDesc desc{};
    desc.client = client;
    desc.port = port;
    desc.caps = caps;
    snprintf(desc.name, sizeof desc.name, "%s", name);
    return desc;
}

using Address = std::pair<int, int>;

struct NumberingCase {
    const char* what;
    std::vector<SeqPortDesc> ports;
    int ownClient;
    std::vector<Address> inputs;  // expected devices, by number
    std::vector<Address> outputs;
};

std::vector<NumberingCase> NumberingCases() {
    std::vector<NumberingCase> cases;
    cases.push_back({"a machine with the through port and virtual raw MIDI ports",
                     {Port(0, 0, kBoth, "Timer"), Port(0, 1, kIn, "Announce"),
                      Port(14, 0, kBoth, "Midi Through Port-0"),
                      Port(20, 0, kBoth, "VirMIDI 0-0"), Port(21, 0, kBoth, "VirMIDI 0-1"),
                      Port(128, 0, kOut | kSeqCapNoExport, "update in"),
                      Port(128, 1, kIn | kSeqCapNoExport, "update out")},
                     128,
                     {{14, 0}, {20, 0}, {21, 0}},
                     {{14, 0}, {20, 0}, {21, 0}}});
    cases.push_back({"the system client is never a device",
                     {Port(0, 0, kBoth), Port(0, 1, kBoth)}, 128, {}, {}});
    cases.push_back({"our own client is never a device, even with routable ports",
                     {Port(129, 0, kBoth), Port(130, 0, kBoth), Port(130, 1, kBoth)},
                     130,
                     {{129, 0}},
                     {{129, 0}}});
    cases.push_back({"a read-only port is only an input, a write-only port only an output",
                     {Port(20, 0, kIn), Port(20, 1, kOut), Port(24, 0, kOut), Port(24, 1, kIn)},
                     128,
                     {{20, 0}, {24, 1}},
                     {{20, 1}, {24, 0}}});
    cases.push_back({"a port without the subscription capability is no device",
                     {Port(20, 0, kSeqCapRead | kSeqCapWrite), Port(20, 1, kSeqCapRead | kSeqCapSubsWrite),
                      Port(20, 2, kSeqCapWrite | kSeqCapSubsRead), Port(20, 3, kSeqCapSubsRead | kSeqCapSubsWrite),
                      Port(21, 0, kBoth)},
                     128,
                     {{21, 0}},
                     {{21, 0}}});
    cases.push_back({"a port kept out of routing is no device",
                     {Port(20, 0, kBoth | kSeqCapNoExport), Port(20, 1, kBoth)},
                     128,
                     {{20, 1}},
                     {{20, 1}}});
    cases.push_back({"an inactive port is no device",
                     {Port(20, 0, kBoth | kSeqCapInactive), Port(20, 1, kIn | kSeqCapInactive),
                      Port(20, 2, kBoth)},
                     128,
                     {{20, 2}},
                     {{20, 2}}});
    cases.push_back({"numbered in client-then-port order whatever the order found",
                     {Port(30, 1, kBoth), Port(14, 0, kBoth), Port(30, 0, kIn), Port(20, 2, kBoth),
                      Port(20, 0, kOut), Port(0, 0, kBoth), Port(128, 0, kBoth)},
                     128,
                     {{14, 0}, {20, 2}, {30, 0}, {30, 1}},
                     {{14, 0}, {20, 0}, {20, 2}, {30, 1}}});
    cases.push_back({"no ports at all", {}, 128, {}, {}});
    cases.push_back({"no client of our own yet (-1)", {Port(14, 0, kBoth)}, -1, {{14, 0}}, {{14, 0}}});

    NumberingCase many{"more than ten devices are all numbered", {}, 128, {}, {}};
    for (int client = 31; client >= 20; --client) {
        many.ports.push_back(Port(client, 0, kBoth));
        many.ports.push_back(Port(client, 1, client % 2 == 0 ? kIn : kOut));
    }
    for (int client = 20; client <= 31; ++client) {
        many.inputs.push_back({client, 0});
        if (client % 2 == 0) many.inputs.push_back({client, 1});
        many.outputs.push_back({client, 0});
        if (client % 2 != 0) many.outputs.push_back({client, 1});
    }
    cases.push_back(many);
    return cases;
}

void ExpectNumbering(const NumberingCase& c, SeqDirection direction,
                     const std::vector<Address>& expected) {
    const unsigned count = static_cast<unsigned>(c.ports.size());
    for (unsigned id = 0; id < expected.size(); ++id) {
        const int index = FindSeqDevice(c.ports.data(), count, direction, c.ownClient, id);
        ASSERT_GE(index, 0) << "device " << id;
        EXPECT_EQ(Address(c.ports[index].client, c.ports[index].port), expected[id])
            << "device " << id;
        EXPECT_TRUE(SeqPortIsDevice(&c.ports[index], direction, c.ownClient));
    }
    const unsigned past = static_cast<unsigned>(expected.size());
    EXPECT_EQ(FindSeqDevice(c.ports.data(), count, direction, c.ownClient, past), -1)
        << "device " << past << " should not exist";
    EXPECT_EQ(FindSeqDevice(c.ports.data(), count, direction, c.ownClient, 1000), -1);
}

TEST(AlsaNumbering, DevicesAreTheRoutablePortsInClientThenPortOrder) {
    for (const NumberingCase& c : NumberingCases()) {
        SCOPED_TRACE(c.what);
        {
            SCOPED_TRACE("inputs");
            ExpectNumbering(c, kSeqInput, c.inputs);
        }
        {
            SCOPED_TRACE("outputs");
            ExpectNumbering(c, kSeqOutput, c.outputs);
        }
    }
}

struct NameCase {
    std::string portName;
    std::string expected;
};

TEST(AlsaNaming, ADeviceNameIsThePortNameCutTo31Characters) {
    const std::string c31(31, 'a');
    const std::string c32 = c31 + "b";
    const std::string c63 = std::string(40, 'x') + std::string(23, 'y');
    const std::vector<NameCase> cases = {
        {"Midi Through Port-0", "Midi Through Port-0"},
        {"", ""},
        {"Q", "Q"},
        {std::string(30, 'z'), std::string(30, 'z')},
        {c31, c31},
        {c32, c31},
        {c63, c63.substr(0, 31)},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE("port name of " + std::to_string(c.portName.size()) + " characters");
        char name[kDeviceNameSize];
        memset(name, '#', sizeof name);
        CopyDeviceName(c.portName.c_str(), name);
        EXPECT_EQ(std::string(name), c.expected);
        EXPECT_EQ(name[c.expected.size()], '\0');
        // Nothing is written past the terminator.
        for (size_t i = c.expected.size() + 1; i < sizeof name; ++i) EXPECT_EQ(name[i], '#') << i;
    }
}

TEST(AlsaNaming, AnUnterminatedPortNameIsReadNoFurtherThan31Characters) {
    // The name sits at the very end of its buffer, so reading on would be
    // caught by the address sanitizer build.
    std::vector<char> raw(31, 'k');
    char name[kDeviceNameSize];
    CopyDeviceName(raw.data(), name);
    EXPECT_EQ(std::string(name), std::string(31, 'k'));
}

TEST(AlsaResultCodes, SuccessIsZeroAndEveryFailureIsNonZero) {
    const std::vector<std::pair<int, uint16_t>> cases = {
        {0, 0}, {1, 0}, {4096, 0}, {-1, 1}, {-2, 2}, {-11, 11}, {-19, 19},
        {-65535, 65535}, {-65536, 0xFFFF}, {-65537, 1}, {INT_MIN, 0xFFFF},
    };
    for (const auto& c : cases) EXPECT_EQ(SeqResultCode(c.first), c.second) << c.first;
}

// The send pace: 320 us a byte on the modelled line, one message after the
// other, and at most 2,048 bytes waiting in the device's buffer.
constexpr int64_t kByte = 320000;

TEST(AlsaLinePace, AMessageGoesAtOnceWithinTheBudgetAndOtherwiseWhenItFits) {
    struct Case {
        const char* what;
        int64_t now;
        int64_t lineFreeAt;
        bool replied;
        unsigned bytes;
        int64_t sendAt;
        int64_t freeAt;
    };
    const Case cases[] = {
        {"an idle line: 24 bytes take 7.68 ms", 0, 0, false, 24, 0, 7680000},
        {"the line went idle before now", 5000000, 1000000, false, 9, 5000000, 5000000 + 2880000},
        {"the previous message is still leaving", 5000000, 7000000, false, 24, 5000000,
         7000000 + 7680000},
        {"F0 F7 alone", 5000000, 5000000, false, 2, 5000000, 5000000 + 640000},
        {"nothing", 0, 0, false, 0, 0, 0},
        {"the buffer just holds the budget", 0, 2024 * kByte, false, 24, 0, 2048 * kByte},
        {"one byte beyond the budget waits for one byte to leave", 0, 2025 * kByte, false, 24,
         kByte, 2049 * kByte},
        {"far beyond the budget", 1000000000, 1000000000 + 3000 * kByte, false, 24,
         1000000000 + 976 * kByte, 1000000000 + 3024 * kByte},
        {"a reply empties the buffer", 5000000, 5000000 + 2040 * kByte, true, 24, 5000000,
         5000000 + 24 * kByte},
        {"a reply on an idle line changes nothing", 5000000, 1000000, true, 9, 5000000,
         5000000 + 9 * kByte},
        {"a resend after a wait longer than the backlog has a whole budget", 600000000,
         1000 * kByte, false, 24, 600000000, 600000000 + 24 * kByte},
        {"a resend after a shorter wait finds what the line carried meanwhile gone", 600000000,
         600000000 + 2040 * kByte, false, 24, 600000000 + 16 * kByte, 600000000 + 2064 * kByte},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SeqSendPace pace = SeqPaceSend(c.now, c.lineFreeAt, c.replied, c.bytes);
        EXPECT_EQ(pace.sendAt, c.sendAt);
        EXPECT_EQ(pace.lineFreeAt, c.freeAt);
    }
}

// Records sent as the layer sends them: each chunk handed over at the
// earliest time the rule allows. Only what lies beyond the budget waits, and
// the modelled buffer never holds more than the budget.
TEST(AlsaLinePace, ARecordWaitsOnlyForWhatLiesBeyondTheBudget) {
    struct Case {
        unsigned recordSize;
        int64_t lastSendAt; // when the record's last chunk goes, from its first
    };
    // Wire bytes: 24 for each full chunk of 11, 2r + 2 for a last chunk of r.
    const Case cases[] = {{64, 0}, {256, 0}, {935, 0}, {946, 16 * kByte}, {957, 40 * kByte},
                          {1024, (2236 - 2048) * kByte}, {4096, (8938 - 2048) * kByte}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.recordSize) + "-byte records");
        int64_t now = 1000000000;
        int64_t lineFreeAt = 0;
        for (int record = 0; record < 2; ++record) {
            const int64_t first = now;
            int64_t sendAt = now;
            for (unsigned left = c.recordSize; left > 0; left -= std::min(left, 11u)) {
                const unsigned bytes = left >= 11 ? 24 : 2 * left + 2;
                const SeqSendPace pace = SeqPaceSend(now, lineFreeAt, record > 0 && left == c.recordSize, bytes);
                sendAt = pace.sendAt;
                ASSERT_GE(sendAt, now);
                ASSERT_LE(pace.lineFreeAt - sendAt, static_cast<int64_t>(kSeqSendBudget) * kByte);
                now = sendAt;
                lineFreeAt = pace.lineFreeAt;
            }
            // The second record follows its verdict, which came at once.
            EXPECT_EQ(sendAt - first, c.lastSendAt) << "record " << record;
            now += 1000000;
        }
    }
}

// A 4 KiB record sent as the layer sends it, with the protocol's count of
// verdicts from the reply queue: stray messages arriving while the record is
// on its way (a late copy of an earlier verdict, anything else) are no
// verdict, so the modelled buffer never holds more than the budget; the
// verdict that follows the record starts the next one with a whole budget.
TEST(AlsaLinePace, StrayMessagesInsideARecordDoNotRestartTheBudget) {
    static const uint8_t kStray[] = {0xF0, 0x1A, 0xF7};
    DropReplies();
    SeqPacer pacer;
    StartSeqPacer(&pacer, VerdictsTaken());
    int64_t now = 1000000000;
    int64_t drainedAt = 0; // a 31,250-baud line has carried everything handed over by then
    unsigned chunk = 0;
    for (unsigned left = 4096; left > 0; left -= std::min(left, 11u), ++chunk) {
        if (chunk == 40 || chunk == 200) StoreReply(kStray, sizeof kStray);
        const unsigned bytes = left >= 11 ? 24 : 2 * left + 2;
        now = std::max(now, SeqPacerNext(&pacer, now, VerdictsTaken(), bytes));
        drainedAt = std::max(drainedAt, now) + static_cast<int64_t>(bytes) * kByte;
        ASSERT_LE(drainedAt - now, static_cast<int64_t>(kSeqSendBudget) * kByte)
            << "bytes in the device's buffer after chunk " << chunk;
    }
    EXPECT_EQ(RepliesWaiting(), 2u);
    DropReplies();
    // The record's verdict: the target has read it all.
    CountVerdict();
    const int64_t next = drainedAt + 1000000;
    EXPECT_EQ(SeqPacerNext(&pacer, next, VerdictsTaken(), 24), next);
    EXPECT_EQ(pacer.lineFreeAt, next + 24 * kByte);
}

// System Exclusive reassembly.

using Bytes = std::vector<uint8_t>;

struct Collected {
    std::vector<Bytes> messages;
    std::vector<uint32_t> counts;
    std::vector<uint32_t> lengths;
};

void Collect(const uint8_t* bytes, uint32_t count, uint32_t length, void* context) {
    auto* collected = static_cast<Collected*>(context);
    collected->messages.emplace_back(bytes, bytes + count);
    collected->counts.push_back(count);
    collected->lengths.push_back(length);
}

Collected FeedAll(const std::vector<Bytes>& chunks) {
    SysExAssembly assembly;
    ResetSysExAssembly(&assembly);
    Collected collected;
    for (const Bytes& chunk : chunks)
        FeedSysEx(&assembly, chunk.data(), static_cast<unsigned>(chunk.size()), Collect, &collected);
    return collected;
}

struct ReassemblyCase {
    const char* what;
    std::vector<Bytes> chunks;
    std::vector<Bytes> expected;
};

TEST(AlsaReassembly, MessagesAreFramedByF0AndF7) {
    const std::vector<ReassemblyCase> cases = {
        {"a reply in one chunk", {{0xF0, 0x1A, 0xF7}}, {{0xF0, 0x1A, 0xF7}}},
        {"an empty message", {{0xF0, 0xF7}}, {{0xF0, 0xF7}}},
        {"two messages back to back in one chunk",
         {{0xF0, 0x01, 0xF7, 0xF0, 0x02, 0x03, 0xF7}},
         {{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0x03, 0xF7}}},
        {"junk before the F0 is ignored",
         {{0x01, 0x7F, 0x80, 0xF7, 0xF0, 0x1A, 0xF7}},
         {{0xF0, 0x1A, 0xF7}}},
        {"junk between messages is ignored",
         {{0xF0, 0x01, 0xF7, 0x22, 0x33, 0xF0, 0x02, 0xF7}},
         {{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0xF7}}},
        {"an F0 before the F7 starts again",
         {{0xF0, 0x01, 0x02, 0xF0, 0x1A, 0xF7}},
         {{0xF0, 0x1A, 0xF7}}},
        {"an F0 in a later chunk starts again",
         {{0xF0, 0x01, 0x02}, {0xF0, 0x15, 0xF7}},
         {{0xF0, 0x15, 0xF7}}},
        {"a lone F7 is no message", {{0xF7}}, {}},
        {"a lone F7, then a message", {{0xF7}, {0xF0, 0x3B, 0xF7}}, {{0xF0, 0x3B, 0xF7}}},
        {"an unfinished message is not delivered", {{0xF0, 0x01, 0x02}}, {}},
        {"an unfinished message is delivered when its F7 comes",
         {{0xF0, 0x01}, {0x02, 0xF7}},
         {{0xF0, 0x01, 0x02, 0xF7}}},
        {"empty chunks change nothing",
         {{}, {0xF0}, {}, {0x1A, 0xF7}, {}},
         {{0xF0, 0x1A, 0xF7}}},
        {"a message after a complete one waits for its own F7",
         {{0xF0, 0x1A, 0xF7, 0xF0, 0x01}},
         {{0xF0, 0x1A, 0xF7}}},
    };
    for (const ReassemblyCase& c : cases) {
        SCOPED_TRACE(c.what);
        const Collected collected = FeedAll(c.chunks);
        EXPECT_EQ(collected.messages, c.expected);
        for (size_t i = 0; i < collected.counts.size(); ++i)
            EXPECT_EQ(collected.counts[i], collected.messages[i].size());
    }
}

// Every way of cutting `stream` into chunks (each of the n-1 gaps cut or not)
// must give the same messages.
void ExpectSameForEverySplit(const Bytes& stream, const std::vector<Bytes>& expected) {
    const size_t gaps = stream.size() - 1;
    for (unsigned long mask = 0; mask < (1ul << gaps); ++mask) {
        std::vector<Bytes> chunks(1);
        for (size_t i = 0; i < stream.size(); ++i) {
            chunks.back().push_back(stream[i]);
            if (i < gaps && (mask >> i & 1ul)) chunks.emplace_back();
        }
        const Collected collected = FeedAll(chunks);
        ASSERT_EQ(collected.messages, expected) << "cuts " << std::hex << mask;
    }
}

TEST(AlsaReassembly, AMessageSplitAtAnyBoundariesComesOutWhole) {
    // Includes cuts right after the F0 and right before the F7.
    Bytes message = {0xF0};
    for (uint8_t b = 0; b < 10; ++b) message.push_back(static_cast<uint8_t>(0x30 + b));
    message.push_back(0xF7);
    ExpectSameForEverySplit(message, {message});
}

TEST(AlsaReassembly, TwoMessagesWithJunkSplitAtAnyBoundariesComeOutWhole) {
    const Bytes stream = {0x42, 0xF0, 0x01, 0x02, 0xF7, 0x55, 0xF0, 0x1A, 0xF7};
    ExpectSameForEverySplit(stream, {{0xF0, 0x01, 0x02, 0xF7}, {0xF0, 0x1A, 0xF7}});
}

TEST(AlsaReassembly, AMessageInOneByteChunksComesOutWhole) {
    Bytes message = {0xF0};
    for (int i = 0; i < 150; ++i) message.push_back(static_cast<uint8_t>(i & 0x7F));
    message.push_back(0xF7);
    std::vector<Bytes> chunks;
    for (uint8_t b : message) chunks.push_back({b});
    const Collected collected = FeedAll(chunks);
    EXPECT_EQ(collected.messages, std::vector<Bytes>{message});
}

TEST(AlsaReassembly, LongMessagesKeepTheirFirst200BytesAndTheNextMessageIsWhole) {
    // `length` counts the whole message, F0 and F7 included; the pieces are
    // the sequencer's events of up to 256 bytes.
    for (size_t length : {199u, 200u, 201u, 256u, 257u, 300u, 1000u}) {
        SCOPED_TRACE("message of " + std::to_string(length) + " bytes");
        Bytes stream = {0xF0};
        for (size_t i = 1; i + 1 < length; ++i) stream.push_back(static_cast<uint8_t>(i & 0x7F));
        stream.push_back(0xF7);
        const Bytes whole = stream;
        const Bytes next = {0xF0, 0x1A, 0xF7};
        stream.insert(stream.end(), next.begin(), next.end());

        std::vector<Bytes> chunks;
        for (size_t at = 0; at < stream.size(); at += 256)
            chunks.emplace_back(stream.begin() + static_cast<long>(at),
                                stream.begin() + static_cast<long>(std::min(at + 256, stream.size())));
        const Collected collected = FeedAll(chunks);

        const size_t kept = std::min<size_t>(length, kReplyBufferSize);
        ASSERT_EQ(collected.messages.size(), 2u);
        EXPECT_EQ(collected.counts[0], kept);
        EXPECT_EQ(collected.lengths[0], length) << "the whole length, for the trace";
        EXPECT_EQ(collected.messages[0], Bytes(whole.begin(), whole.begin() + static_cast<long>(kept)));
        EXPECT_EQ(collected.messages[1], next);
        EXPECT_EQ(collected.counts[1], 3u);
    }
}

TEST(AlsaReassembly, ResetDropsTheMessageInProgress) {
    SysExAssembly assembly;
    ResetSysExAssembly(&assembly);
    Collected collected;
    const Bytes first = {0xF0, 0x01, 0x02};
    const Bytes rest = {0x03, 0xF7, 0xF0, 0x1A, 0xF7};
    FeedSysEx(&assembly, first.data(), static_cast<unsigned>(first.size()), Collect, &collected);
    ResetSysExAssembly(&assembly);
    FeedSysEx(&assembly, rest.data(), static_cast<unsigned>(rest.size()), Collect, &collected);
    EXPECT_EQ(collected.messages, (std::vector<Bytes>{{0xF0, 0x1A, 0xF7}}));
}

} // namespace
