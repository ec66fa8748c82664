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

// ---- What a run prints, piece by piece ----

inline const std::string kBanner = "Update V0.5 - Update KANTERRA Q25-Q49 System\n";
inline const std::string kBadImage = "Error: The upgrade file is error!\n\n";
inline const std::string kTooLarge = "Error: The upgrade file is too large!\n\n";
inline const std::string kNoDevice = "\nFailed: Can't find the suitable device to update!\n\n";
inline const std::string kReset = "Please reset the product and retry again!\n\n";
inline const std::string kDone = "\rTransferring.. 100% done.  \n";
inline const std::string kSuccess = "\nTarget update successfully!\n\n";
inline const std::string kRestarted = kDone + "Target update successfully!\n"
                                              "\nThe System is restarted, please wait!\n\n";
inline const std::string kOutMissing = "\nError: The MIDI Out of device is missing!\n\n";
inline const std::string kNotResponding = "\nFailed: Target is not responding.\n\n";
inline const std::string kErrorInUpdating = "\nError in updating.\n";
inline const std::string kCrc = "\nThe CRC of the download file is error!\n";
inline const std::string kDamaged = "\nThe download file has been damaged!\n";
inline const std::string kVerifies = "\nThe download file verifies error!\n";
inline const std::string kErases = "\nThe MCU erases error!\n";

// "OK: File '<name>' is open.", and the pair that answered.
std::string Opened(const std::string& name);
std::string Found(const std::string& input, const std::string& output);
// One progress line, with the spinner character and the percent.
std::string Progress(char spinner, int percent);
// text, count times over.
std::string Times(const std::string& text, int count);
// What follows a failed transfer, and a device held by another program after
// a failed search.
std::string Stopped(int record, int records);
std::string InUse(const std::string& device);
// After "Error in updating.": where it stopped and the advice for what the
// keyboard refused (its erase, its data, or both).
enum Refusal { kRefusedErase = 1, kRefusedData = 2, kRefusedBoth = 3 };
std::string Refused(int record, int records, Refusal refusal);
// After the refusal of a damaged file (kBadImage, kTooLarge): the line that
// names what is wrong (given without its line feed), and the advice.
std::string WhatIsWrong(const std::string& cause);
// The causes, as that line names them.
std::string WrongChecksum(int record, int line);
std::string EndsInside(int record);
std::string RecordsFollow(int line, int column);
// After a failed search with devices there: what was tried and the next step.
std::string NoneAnswered(const std::string& tried);

} // namespace update_test
