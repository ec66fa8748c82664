// What the run sequence needs from the operating system.
#pragma once

#include <cstddef>

enum FindResult : unsigned char {
    kFindNone = 0,        // nothing matches "*.led"
    kFindFound = 1,       // the first match's name is in the buffer
    kFindNameTooLong = 2, // the first match's name does not fit the buffer
};

// Examines the first entry of the current directory that matches "*.led" and
// copies its name into name (capacity bytes, terminated).
FindResult FindFirstLedFile(char* name, size_t capacity);

// Readies standard output for the run's text and tells whether it is a
// console (a terminal), where a live status line can be replaced in place.
// On Windows a console is switched to UTF-8, in which all names are held.
bool PrepareConsoleOutput();

// Prints the platform's prompt and waits for one key press.
void WaitForKey();
