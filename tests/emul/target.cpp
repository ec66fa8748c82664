#include "target.h"

#include <algorithm>

namespace emul {

namespace {

constexpr uint8_t kHandshake[] = {0xF0, 0x54, 0x71, 0x38, 0x72, 0x57, 0x7A, 0x35, 0xF7};
constexpr size_t kChunkBytes = 11;

int HexValue(uint8_t c, bool* lower) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') {
        *lower = true;
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

int ActionCode(const Action& action, uint8_t model) {
    switch (action.kind) {
    case ActionKind::Silent:
    case ActionKind::OneByte:
        return -1;
    case ActionKind::Model:
        return model;
    case ActionKind::Raw:
        return action.raw.size() >= 2 ? action.raw[1] : -1;
    case ActionKind::Long:
        return action.count >= 2 ? action.code : -1;
    default:
        return action.code;
    }
}

bool RecordChecksumValid(const std::vector<uint8_t>& record) {
    if (record.size() < 4) return false;
    uint16_t sum = 0;
    for (size_t k = 2; k + 2 < record.size(); ++k) sum = static_cast<uint16_t>(sum + record[k]);
    const uint16_t word =
        static_cast<uint16_t>(record[record.size() - 2] | (record[record.size() - 1] << 8));
    return static_cast<uint16_t>(sum + word) == 0;
}

Target::Target(TargetScript script) : script_(std::move(script)) {}

std::vector<Reply> Target::Answer(const Action& action) const {
    std::vector<Reply> replies;
    Reply one;
    one.delayMs = action.delayMs >= 0 ? static_cast<unsigned>(action.delayMs) : script_.replyDelayMs;
    one.input = action.input;
    switch (action.kind) {
    case ActionKind::Silent:
        return replies;
    case ActionKind::Model:
        one.bytes = {0xF0, script_.model, 0xF7};
        break;
    case ActionKind::Code:
    case ActionKind::Twice:
    case ActionKind::Flood:
        one.bytes = {0xF0, action.code, 0xF7};
        break;
    case ActionKind::OneByte:
        one.bytes = {0xF0};
        break;
    case ActionKind::Unterminated:
        one.bytes = {0xF0, action.code};
        break;
    case ActionKind::LongError:
        one.bytes = {0xF0, action.code};
        one.invalid = true;
        break;
    case ActionKind::Raw:
        one.bytes = action.raw;
        break;
    case ActionKind::Long:
        one.bytes.assign(action.count, 0x00);
        if (!one.bytes.empty()) one.bytes.front() = 0xF0;
        if (one.bytes.size() >= 2) one.bytes[1] = action.code;
        if (one.bytes.size() >= 3) one.bytes.back() = 0xF7;
        break;
    }
    unsigned times = 1;
    if (action.kind == ActionKind::Twice) times = 2;
    if (action.kind == ActionKind::Flood) times = action.count;
    // Several replies share one delay: they follow each other back to back.
    replies.assign(times, one);
    if (action.kind == ActionKind::Twice && action.second >= 0) {
        replies.back().bytes[1] = static_cast<uint8_t>(action.second);
    }
    return replies;
}

std::vector<Reply> Target::Receive(const uint8_t* message, size_t size) {
    ++log_.messages;
    if (size == sizeof kHandshake && std::equal(message, message + size, kHandshake)) {
        ++log_.handshakes;
        record_.clear(); // a handshake starts over
        auto scripted = script_.handshake.find(log_.handshakes);
        return Answer(scripted != script_.handshake.end() ? scripted->second : script_.handshakeDefault);
    }
    if (size < 2 || message[0] != 0xF0 || message[size - 1] != 0xF7) {
        ++log_.unknownMessages;
        return {};
    }
    return Chunk(message + 1, size - 2);
}

std::vector<Reply> Target::Chunk(const uint8_t* chars, size_t count) {
    bool lower = false;
    bool valid = count % 2 == 0 && count > 0 && count <= 2 * kChunkBytes;
    std::vector<uint8_t> bytes;
    for (size_t k = 0; valid && k < count; k += 2) {
        const int high = HexValue(chars[k], &lower);
        const int low = HexValue(chars[k + 1], &lower);
        if (high < 0 || low < 0) valid = false;
        else bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    if (lower) ++log_.lowercaseHex;
    if (!valid) {
        ++log_.badChunks;
        record_.clear();
        return {};
    }
    record_.insert(record_.end(), bytes.begin(), bytes.end());
    size_t expected = 0; // 0: not known yet
    if (record_.size() >= 2) {
        expected = static_cast<uint16_t>(((record_[0] << 8) | record_[1]) + 2);
        if (expected == 0) expected = 0x10000; // never whole: caught as overrun below
    }
    const bool shortChunk = bytes.size() < kChunkBytes;
    if (expected != 0 && record_.size() == expected) return CompleteRecord();
    if ((expected != 0 && record_.size() > expected) || shortChunk) {
        // A chunk that runs past the record's end, or a short chunk that does
        // not end it: the record is dropped without an answer.
        ++log_.badChunks;
        record_.clear();
    }
    return {};
}

std::vector<Reply> Target::CompleteRecord() {
    ++log_.recordsReceived;
    ++attempt_;
    std::vector<uint8_t> record;
    record.swap(record_);
    if (!RecordChecksumValid(record)) {
        ++log_.checksumErrors;
        return Answer(script_.checksumError);
    }
    auto scripted = script_.records.find({recordNumber_, attempt_});
    const Action& action = scripted != script_.records.end() ? scripted->second : script_.recordDefault;
    const int code = ActionCode(action, script_.model);
    if (code == 0x1A || code == 0x77) {
        ++log_.recordsAccepted;
        log_.image.insert(log_.image.end(), record.begin(), record.end());
        ++recordNumber_;
        attempt_ = 0;
    }
    return Answer(action);
}

} // namespace emul
