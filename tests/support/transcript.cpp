#include "support/transcript.h"

#include <ostream>

namespace update_test {

const char kLinuxWaitPrompt[] = "Press any key to continue . . . \n";
const char kWineWaitPrompt[] = "Press any key to continue... ";

const char* PlatformName(Platform platform) {
    return platform == Platform::kLinux ? "Linux" : "Windows";
}

void PrintTo(Platform platform, std::ostream* out) { *out << PlatformName(platform); }

std::string WindowsText(const std::string& text) {
    std::string result;
    result.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\n') result += '\r';
        result += c;
    }
    return result;
}

std::string Transcript(Platform platform, const std::string& runOutput) {
    if (platform == Platform::kLinux) return runOutput + kLinuxWaitPrompt;
    return WindowsText(runOutput) + kWineWaitPrompt;
}

std::string Opened(const std::string& name) { return "OK: File '" + name + "' is open.\n"; }

std::string Found(const std::string& input, const std::string& output) {
    return "The Update Device is Open successfully:\nMIDIIN Device: " + input +
           "\nMIDIOUT Device: " + output + "\n";
}

std::string Progress(char spinner, int percent) {
    return std::string("\r                        \rTransferring.. ") + spinner + " " +
           std::to_string(percent) + "% done";
}

std::string Times(const std::string& text, int count) {
    std::string result;
    for (int k = 0; k < count; ++k) result += text;
    return result;
}

std::string Stopped(int record, int records) {
    return "The update stopped at record " + std::to_string(record) + " of " +
           std::to_string(records) + ". Check the keyboard's MIDI connection, then run update "
           "again: it starts over from the first record.\n\n";
}

std::string InUse(const std::string& device) {
    return "MIDI " + device + " is in use by another program: close the programs that use MIDI, "
           "then run update again.\n";
}

std::string Refused(int record, int records, Refusal refusal) {
    std::string text = "The update stopped at record " + std::to_string(record) + " of " +
                       std::to_string(records) + ": the keyboard did not take it in 20 attempts.\n";
    if ((refusal & kRefusedErase) != 0)
        text += "It could not erase its memory: switch the keyboard off and on.\n";
    if ((refusal & kRefusedData) != 0)
        text += "It found the data damaged: download the firmware file again. If the keyboard is "
                "connected through a MIDI interface, add --delay 20 (update --delay 20).\n";
    return text + "Then run update again: it starts over from the first record.\n\n";
}

std::string WhatIsWrong(const std::string& cause) {
    return cause + "\nDownload the firmware file again from where you got it, then run update "
                   "again.\n\n";
}

std::string WrongChecksum(int record, int line) {
    return "Record " + std::to_string(record) + " (line " + std::to_string(line) +
           ") has a wrong checksum: the file is damaged.";
}

std::string EndsInside(int record) {
    return "The file ends inside record " + std::to_string(record) + ": it is cut short.";
}

std::string RecordsFollow(int line, int column) {
    return "The text stops being hexadecimal at line " + std::to_string(line) + ", column " +
           std::to_string(column) + ", and records follow after it.";
}

std::string NoneAnswered(const std::string& tried) {
    return tried + " were tried; none answered as a Q25/Q49 keyboard.\n"
                   "Connect the keyboard and switch it on; update --list should show it. Then "
                   "switch the keyboard off and on, and run update again.\n\n";
}

} // namespace update_test
