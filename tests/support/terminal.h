// Runs a program on a pseudo-terminal, as a user at a console would see it,
// and replays what it wrote the way a terminal shows it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace update_test {

// Runs program with standard input, output and error all on one new
// pseudo-terminal (80 columns). RunResult::out holds every byte the terminal
// received; err stays empty. options.input is not used.
RunResult RunOnTerminal(const std::filesystem::path& program, const RunOptions& options);

// What a terminal shows for those bytes: carriage return, line feed, erasing
// to the end of the line and moving the cursor right are followed; other
// escape sequences are dropped.
struct TerminalScreen {
    std::vector<std::string> rows;  // the final screen, each row without trailing spaces
    std::vector<std::string> shown; // every row as it stood before the cursor left it
};
TerminalScreen ReplayOnTerminal(const std::string& bytes);

} // namespace update_test
