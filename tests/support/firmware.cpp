#include "support/firmware.h"

namespace update_test {

Bytes Record(const Bytes& payload) {
    const size_t length = payload.size() + 2;
    Bytes record(length + 2);
    record[0] = static_cast<uint8_t>(length >> 8);
    record[1] = static_cast<uint8_t>(length);
    uint16_t sum = 0;
    for (size_t k = 0; k < payload.size(); ++k) {
        record[k + 2] = payload[k];
        sum = static_cast<uint16_t>(sum + payload[k]);
    }
    const uint16_t word = static_cast<uint16_t>(0x10000 - sum);
    record[length] = static_cast<uint8_t>(word);
    record[length + 1] = static_cast<uint8_t>(word >> 8);
    return record;
}

namespace {

void AppendHex(std::string* text, uint8_t b, bool lower = false) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    text->push_back(digits[b >> 4]);
    text->push_back(digits[b & 15]);
}

} // namespace

std::string Hex(const Bytes& bytes, const char* separator) {
    std::string text;
    for (size_t k = 0; k < bytes.size(); ++k) {
        if (k > 0) text += separator;
        AppendHex(&text, bytes[k]);
    }
    return text;
}

std::string LedText(const std::vector<Bytes>& records, Spacing spacing) {
    std::string text = spacing == Spacing::kTabsCrLfLower ? "\r\n" : "";
    unsigned written = 0;
    for (const Bytes& record : records) {
        switch (spacing) {
        case Spacing::kRecordPerLine: text += Hex(record, " ") + "\n"; break;
        case Spacing::kStrayLineAfterFirst:
            text += Hex(record, " ") + (&record == &records.front() ? "\n; part 2\n" : "\n");
            break;
        case Spacing::kRecordPerLineCrLf: text += Hex(record, " ") + "\r\n"; break;
        case Spacing::kBackToBack: text += Hex(record); break;
        case Spacing::kTabsCrLfLower:
            for (size_t k = 0; k < record.size(); ++k) {
                if (k > 0) text += '\t';
                AppendHex(&text, record[k], true);
            }
            text += "\r\n";
            break;
        case Spacing::kWrappedPrefixed:
            for (const uint8_t b : record) {
                text += "0x";
                AppendHex(&text, b);
                text += ++written % 5 == 0 ? "\n" : "  ";
            }
            break;
        }
    }
    return text;
}

std::string ChunkCharacters(const std::string& hex) {
    if (hex.size() < 4 || hex.compare(0, 2, "F0") != 0 ||
        hex.compare(hex.size() - 2, 2, "F7") != 0) {
        return "[" + hex + "]";
    }
    std::string characters;
    for (size_t k = 2; k + 2 < hex.size(); k += 2) {
        characters += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    }
    return characters;
}

} // namespace update_test
