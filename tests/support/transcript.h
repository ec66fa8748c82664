// What a run of the updater shows on the console, per platform.
#pragma once

#include <iosfwd>
#include <string>

namespace update_test {

enum class Platform { kLinux, kWindows };

// "Linux" or "Windows", for test names; PrintTo shows it in test messages.
const char* PlatformName(Platform platform);
void PrintTo(Platform platform, std::ostream* out);

// Console text as the Windows C runtime writes it in text mode: every "\n"
// becomes "\r\n"; a lone "\r" stays as it is.
std::string WindowsText(const std::string& text);

// The Linux build's wait for a key at the end of every run, with the line feed
// it prints once the key (or the end of input) has come.
extern const char kLinuxWaitPrompt[];
// The command interpreter's "pause" under wine with input from /dev/null:
// no line feed follows it.
extern const char kWineWaitPrompt[];

// The whole standard output of a run on the platform, given what the run
// prints before its closing wait for a key (written with "\n" line ends).
std::string Transcript(Platform platform, const std::string& runOutput);

} // namespace update_test
