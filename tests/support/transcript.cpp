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

} // namespace update_test
