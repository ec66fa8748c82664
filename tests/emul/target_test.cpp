// The emulated target's core: reassembly of records from hexadecimal chunks,
// the checksum, and the scripted answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/firmware.h"
#include "target.h"

namespace emul {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHandshake = {0xF0, 0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35, 0xF7};

// A record as the updater sends it: chunks of 11 bytes, each byte as two
// upper-case hexadecimal characters between F0 and F7.
std::vector<Bytes> Chunks(const Bytes& record, bool lower = false) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::vector<Bytes> messages;
    for (size_t at = 0; at < record.size(); at += 11) {
        Bytes m = {0xF0};
        for (size_t k = at; k < record.size() && k < at + 11; ++k) {
            m.push_back(static_cast<uint8_t>(digits[record[k] >> 4]));
            m.push_back(static_cast<uint8_t>(digits[record[k] & 15]));
        }
        m.push_back(0xF7);
        messages.push_back(m);
    }
    return messages;
}

// A valid record with `payload` bytes of payload.
Bytes MakeRecord(size_t payload, uint8_t seed = 1) {
    Bytes bytes(payload);
    for (size_t k = 0; k < payload; ++k) bytes[k] = static_cast<uint8_t>(seed + 7 * k);
    return update_test::Record(bytes);
}

// Sends a record and collects all replies.
std::vector<Reply> SendRecord(Target& t, const Bytes& record, bool lower = false) {
    std::vector<Reply> all;
    for (const Bytes& m : Chunks(record, lower)) {
        for (Reply& r : t.Receive(m.data(), m.size())) all.push_back(r);
    }
    return all;
}

TEST(TargetRecords, WorkedExampleIsOneMessageAndAccepted) {
    Target t;
    const Bytes record = {0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF};
    const std::vector<Bytes> chunks = Chunks(record);
    ASSERT_EQ(chunks.size(), 1u);
    const std::string text(chunks[0].begin() + 1, chunks[0].end() - 1);
    EXPECT_EQ(text, "0005010203FAFF");
    const auto replies = SendRecord(t, record);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, (Bytes{0xF0, 0x1A, 0xF7}));
    EXPECT_EQ(t.Log().image, record);
}

TEST(TargetRecords, ReassemblesEverySizeAroundTheChunkBoundary) {
    // Record sizes 4 (empty payload) up to 3 full chunks and one more byte.
    for (size_t payload = 0; payload <= 32; ++payload) {
        SCOPED_TRACE("payload " + std::to_string(payload));
        Target t;
        const Bytes record = MakeRecord(payload, static_cast<uint8_t>(payload));
        const auto replies = SendRecord(t, record);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].bytes[1], 0x1A);
        EXPECT_EQ(t.Log().image, record);
        EXPECT_EQ(t.Log().badChunks, 0u);
    }
}

TEST(TargetRecords, ConsecutiveRecordsAppendInOrder) {
    Target t;
    const Bytes a = MakeRecord(3, 1), b = MakeRecord(20, 2), c = MakeRecord(9, 3);
    SendRecord(t, a);
    SendRecord(t, b);
    SendRecord(t, c);
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    EXPECT_EQ(t.Log().image, all);
    EXPECT_EQ(t.Log().recordsAccepted, 3u);
}

TEST(TargetRecords, WrongChecksumIsAnsweredWithCrcErrorAndNotKept) {
    Target t;
    Bytes record = MakeRecord(5);
    record.back() ^= 0x01;
    const auto replies = SendRecord(t, record);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes, (Bytes{0xF0, 0x20, 0xF7}));
    EXPECT_TRUE(t.Log().image.empty());
    EXPECT_EQ(t.Log().checksumErrors, 1u);
}

TEST(TargetRecords, MalformedChunks) {
    struct Case {
        const char* name;
        Bytes message;
        unsigned badChunks;
        unsigned lowercase;
        unsigned unknown;
    };
    const Case cases[] = {
        {"odd number of characters", {0xF0, '0', '0', '0', 0xF7}, 1, 0, 0},
        {"not hexadecimal", {0xF0, '0', 'G', 0xF7}, 1, 0, 0},
        {"more than 22 characters", Bytes(26, '0'), 1, 0, 0},
        {"short chunk that does not end the record", {0xF0, '0', '0', '0', '9', '0', '1', 0xF7}, 1, 0, 0},
        {"no F7", {0xF0, '0', '0'}, 0, 0, 1},
        {"empty", {0xF0, 0xF7}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes m = c.message;
        if (m.size() == 26) {
            m.front() = 0xF0;
            m.back() = 0xF7;
        }
        Target t;
        EXPECT_TRUE(t.Receive(m.data(), m.size()).empty());
        EXPECT_EQ(t.Log().badChunks, c.badChunks);
        EXPECT_EQ(t.Log().unknownMessages, c.unknown);
        EXPECT_EQ(t.Log().lowercaseHex, c.lowercase);
    }
}

TEST(TargetRecords, LowerCaseHexIsCounted) {
    Target t;
    SendRecord(t, MakeRecord(1, 0xAB), true);
    EXPECT_EQ(t.Log().lowercaseHex, 1u);
}

TEST(TargetRecords, ABrokenRecordIsDroppedAndTheNextStartsClean) {
    Target t;
    const Bytes bad = {0xF0, '0', 'Z', 0xF7};
    t.Receive(bad.data(), bad.size());
    const Bytes record = MakeRecord(12);
    SendRecord(t, record);
    EXPECT_EQ(t.Log().image, record);
}

TEST(TargetScript, HandshakeAnswersPerAttempt) {
    TargetScript script;
    script.handshake[1] = Action{ActionKind::Silent};
    script.handshake[2] = Action{ActionKind::Code, 0x15};
    script.handshake[3] = Action{ActionKind::OneByte};
    Target t(script);
    const std::vector<Bytes> expected = {{}, {0xF0, 0x15, 0xF7}, {0xF0}, {0xF0, 0x3B, 0xF7}};
    for (size_t k = 0; k < expected.size(); ++k) {
        const auto replies = t.Receive(kHandshake.data(), kHandshake.size());
        if (expected[k].empty()) {
            EXPECT_TRUE(replies.empty()) << "attempt " << k + 1;
        } else {
            ASSERT_EQ(replies.size(), 1u) << "attempt " << k + 1;
            EXPECT_EQ(replies[0].bytes, expected[k]) << "attempt " << k + 1;
        }
    }
    EXPECT_EQ(t.Log().handshakes, 4u);
}

TEST(TargetScript, ReplyShapes) {
    struct Case {
        const char* name;
        Action action;
        size_t replies;
        Bytes first;
        bool invalid;
    };
    Action raw{ActionKind::Raw};
    raw.raw = {0xF0, 0x1A, 0x00, 0xF7};
    Action flood{ActionKind::Flood, 0x1A};
    flood.count = 1000;
    Action longReply{ActionKind::Long, 0x1A};
    longReply.count = 300;
    Bytes longBytes(300, 0x00);
    longBytes.front() = 0xF0;
    longBytes[1] = 0x1A;
    longBytes.back() = 0xF7;
    const Case cases[] = {
        {"silent", Action{ActionKind::Silent}, 0, {}, false},
        {"code", Action{ActionKind::Code, 0x24}, 1, {0xF0, 0x24, 0xF7}, false},
        {"twice", Action{ActionKind::Twice, 0x1A}, 2, {0xF0, 0x1A, 0xF7}, false},
        {"one byte", Action{ActionKind::OneByte}, 1, {0xF0}, false},
        {"unterminated", Action{ActionKind::Unterminated, 0x1A}, 1, {0xF0, 0x1A}, false},
        {"long error", Action{ActionKind::LongError, 0x1A}, 1, {0xF0, 0x1A}, true},
        {"raw", raw, 1, {0xF0, 0x1A, 0x00, 0xF7}, false},
        {"long", longReply, 1, longBytes, false},
        {"flood", flood, 1000, {0xF0, 0x1A, 0xF7}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TargetScript script;
        script.recordDefault = c.action;
        Target t(script);
        const auto replies = SendRecord(t, MakeRecord(2));
        ASSERT_EQ(replies.size(), c.replies);
        if (c.replies == 0) continue;
        EXPECT_EQ(replies[0].bytes, c.first);
        EXPECT_EQ(replies[0].invalid, c.invalid);
        EXPECT_EQ(replies.back().bytes, c.first);
    }
}

TEST(TargetScript, RecordAttemptsCountUntilAccepted) {
    TargetScript script;
    script.records[{0, 1}] = Action{ActionKind::Code, 0x20};
    script.records[{0, 2}] = Action{ActionKind::Silent};
    script.records[{1, 1}] = Action{ActionKind::Code, 0x77};
    Target t(script);
    const Bytes a = MakeRecord(4, 1), b = MakeRecord(4, 2);
    EXPECT_EQ(SendRecord(t, a)[0].bytes[1], 0x20);
    EXPECT_TRUE(SendRecord(t, a).empty());
    EXPECT_EQ(SendRecord(t, a)[0].bytes[1], 0x1A); // attempt 3: the default
    EXPECT_EQ(SendRecord(t, b)[0].bytes[1], 0x77); // accepted: it completes the update
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(t.Log().image, both);
    EXPECT_EQ(t.Log().recordsReceived, 4u);
    EXPECT_EQ(t.Log().recordsAccepted, 2u);
}

TEST(TargetScript, DelayAndInputComeWithTheReply) {
    TargetScript script;
    script.replyDelayMs = 7;
    Action elsewhere{ActionKind::Model};
    elsewhere.delayMs = 30;
    elsewhere.input = 2;
    script.handshake[2] = elsewhere;
    Target t(script);
    auto first = t.Receive(kHandshake.data(), kHandshake.size());
    auto second = t.Receive(kHandshake.data(), kHandshake.size());
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].delayMs, 7u);
    EXPECT_EQ(first[0].input, -1);
    EXPECT_EQ(second[0].delayMs, 30u);
    EXPECT_EQ(second[0].input, 2);
}

TEST(TargetChecksum, Rule) {
    EXPECT_TRUE(RecordChecksumValid({0x00, 0x05, 0x01, 0x02, 0x03, 0xFA, 0xFF}));
    EXPECT_FALSE(RecordChecksumValid({0x00, 0x05, 0x01, 0x02, 0x03, 0xFF, 0xFA}));
    EXPECT_TRUE(RecordChecksumValid({0x00, 0x02, 0x00, 0x00}));
    EXPECT_FALSE(RecordChecksumValid({0x00, 0x01, 0x00}));
}

} // namespace
} // namespace emul
