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

} // namespace update_test
