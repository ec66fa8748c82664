// The scenario file's line format (documented in emul.h).
#include <cstdlib>
#include <sstream>

#include "emul.h"

namespace emul {

namespace {

bool ParseNumber(const std::string& word, unsigned* value) {
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = static_cast<unsigned>(std::strtoul(word.c_str(), nullptr, 10));
    return true;
}

bool ParseByte(const std::string& word, uint8_t* value) {
    if (word.empty() || word.size() > 2 || word.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    *value = static_cast<uint8_t>(std::strtoul(word.c_str(), nullptr, 16));
    return true;
}

bool ParseOnOff(const std::string& word, bool* value) {
    if (word == "on") *value = true;
    else if (word == "off") *value = false;
    else return false;
    return true;
}

// An action from words[at...].
bool ParseAction(const std::vector<std::string>& words, size_t at, Action* action) {
    if (at >= words.size()) return false;
    const std::string& kind = words[at++];
    Action a;
    auto code = [&](bool optional) {
        if (at < words.size() && ParseByte(words[at], &a.code)) {
            ++at;
            return true;
        }
        return optional;
    };
    if (kind == "silent") a.kind = ActionKind::Silent;
    else if (kind == "model") a.kind = ActionKind::Model;
    else if (kind == "one_byte") a.kind = ActionKind::OneByte;
    else if (kind == "code" || kind == "twice" || kind == "unterminated" || kind == "long_error") {
        a.kind = kind == "code"           ? ActionKind::Code
                 : kind == "twice"        ? ActionKind::Twice
                 : kind == "unterminated" ? ActionKind::Unterminated
                                          : ActionKind::LongError;
        if (!code(false)) return false;
        uint8_t second = 0;
        if (a.kind == ActionKind::Twice && at < words.size() && ParseByte(words[at], &second)) {
            a.second = second;
            ++at;
        }
    } else if (kind == "raw") {
        a.kind = ActionKind::Raw;
        uint8_t b = 0;
        while (at < words.size() && ParseByte(words[at], &b)) {
            a.raw.push_back(b);
            ++at;
        }
        if (a.raw.empty()) return false;
    } else if (kind == "long" || kind == "flood") {
        a.kind = kind == "long" ? ActionKind::Long : ActionKind::Flood;
        if (at >= words.size() || !ParseNumber(words[at++], &a.count)) return false;
        code(true);
    } else {
        return false;
    }
    while (at < words.size()) {
        unsigned n = 0;
        if (at + 1 >= words.size() || !ParseNumber(words[at + 1], &n)) return false;
        if (words[at] == "delay") a.delayMs = static_cast<int>(n);
        else if (words[at] == "on") a.input = static_cast<int>(n);
        else return false;
        at += 2;
    }
    *action = a;
    return true;
}

bool ParseLine(const std::string& line, Scenario* s) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty()) return true;
    const std::string& key = words[0];
    const size_t n = words.size();

    if (key == "input" || key == "output") {
        const size_t start = line.find(key) + key.size();
        const size_t first = line.find_first_not_of(" \t", start);
        Device d;
        if (first != std::string::npos) {
            d.name = line.substr(first);
            while (!d.name.empty() && (d.name.back() == '\r' || d.name.back() == ' ')) d.name.pop_back();
        }
        (key == "input" ? s->inputs : s->outputs).push_back(d);
        return true;
    }

    auto device = [&](std::vector<Device>& list, size_t at, Device** d) {
        unsigned k = 0;
        if (at >= n || !ParseNumber(words[at], &k) || k >= list.size()) return false;
        *d = &list[k];
        return true;
    };
    Device* d = nullptr;
    unsigned a = 0, b = 0;

    if (key == "input_caps_fail" && n == 2 && device(s->inputs, 1, &d)) d->capsFail = true;
    else if (key == "output_caps_fail" && n == 2 && device(s->outputs, 1, &d)) d->capsFail = true;
    else if ((key == "input_open_fail" || key == "output_open_fail") && n == 2) {
        std::vector<Device>& list = key == "input_open_fail" ? s->inputs : s->outputs;
        if (words[1] == "all") {
            for (Device& each : list) each.openFail = true;
        } else if (device(list, 1, &d)) {
            d->openFail = true;
        } else {
            return false;
        }
    } else if (key == "input_open_fail_beside" && n == 2 && device(s->inputs, 1, &d)) {
        d->openFailBeside = true;
    } else if (key == "input_start_fail" && n == 2 && device(s->inputs, 1, &d)) d->startFail = true;
    else if (key == "output_send_fail" && n == 3 && device(s->outputs, 1, &d) && ParseNumber(words[2], &a) && a > 0) {
        d->sendFailFrom = a;
    } else if (key == "output_send_fail_once" && n == 3 && device(s->outputs, 1, &d) &&
               ParseNumber(words[2], &a) && a > 0) {
        d->sendFailOnce = a;
    } else if (key == "still_playing" && n == 2 && ParseNumber(words[1], &a)) s->stillPlaying = a;
    else if (key == "late_return" && n == 2 && ParseNumber(words[1], &a)) s->lateReturnMs = a;
    else if (key == "pacing" && n == 2 && ParseOnOff(words[1], &s->pacing)) {
    } else if (key == "unterminated_names" && n == 2 && ParseOnOff(words[1], &s->unterminatedNames)) {
    } else if (key == "long_continues" && n == 2 && ParseOnOff(words[1], &s->longContinues)) {
    } else if (key == "hold_replies" && n == 2 && ParseOnOff(words[1], &s->holdReplies)) {
    } else if ((key == "loopback" || key == "target") && n == 3 && ParseNumber(words[1], &a) &&
               ParseNumber(words[2], &b)) {
        if (key == "loopback") {
            s->loopbacks.emplace_back(static_cast<int>(a), static_cast<int>(b));
        } else {
            s->targetIn = static_cast<int>(a);
            s->targetOut = static_cast<int>(b);
        }
    } else if (key == "model" && n == 2 && ParseByte(words[1], &s->script.model)) {
    } else if (key == "reply_delay" && n == 2 && ParseNumber(words[1], &s->script.replyDelayMs)) {
    } else if (key == "handshake" && n >= 3 && ParseNumber(words[1], &a) && a > 0) {
        Action act;
        if (!ParseAction(words, 2, &act)) return false;
        s->script.handshake[a] = act;
    } else if (key == "handshake_default") {
        return ParseAction(words, 1, &s->script.handshakeDefault);
    } else if (key == "record" && n >= 4 && ParseNumber(words[1], &a) && ParseNumber(words[2], &b) && b > 0) {
        Action act;
        if (!ParseAction(words, 3, &act)) return false;
        s->script.records[{a, b}] = act;
    } else if (key == "record_default") {
        return ParseAction(words, 1, &s->script.recordDefault);
    } else if (key == "checksum_error") {
        return ParseAction(words, 1, &s->script.checksumError);
    } else if (key == "output_wedged" && (n == 2 || n == 3) && device(s->outputs, 1, &d)) {
        a = 1;
        if (n == 3 && (!ParseNumber(words[2], &a) || a == 0)) return false;
        d->wedgedFrom = a;
    } else if (key == "input_release_fails" && n == 2 && device(s->inputs, 1, &d)) d->releaseFails = true;
    else if (key == "output_reset_ignored" && n == 2 && device(s->outputs, 1, &d)) d->resetIgnored = true;
    else if (key == "async_output" && n == 2 && ParseOnOff(words[1], &s->asyncOutput)) {
    } else if (key == "input_split" && n >= 2) {
        s->inputSplit.clear();
        for (size_t k = 1; k < n; ++k) {
            if (!ParseNumber(words[k], &a) || a == 0) return false;
            s->inputSplit.push_back(a);
        }
    } else if (key == "vanish_stall" && n == 2 && ParseNumber(words[1], &a)) s->vanishStallMs = a;
    else if (key == "vanish_after" && n == 2 && ParseNumber(words[1], &a)) s->vanishAfter = a;
    else if (key == "vanish_close_refuses" && n == 2 && ParseOnOff(words[1], &s->vanishCloseRefuses)) {
    } else {
        return false;
    }
    return true;
}

} // namespace

bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error) {
    Scenario s;
    std::istringstream in(text);
    unsigned number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        if (!ParseLine(line.substr(first), &s)) {
            if (error) *error = "line " + std::to_string(number) + ": " + line;
            return false;
        }
    }
    *scenario = s;
    return true;
}

} // namespace emul
