// What the run sequence needs from the operating system.
#pragma once

#include <cstddef>
#include <cstdio>

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
// On Windows a console is switched to UTF-8, in which all names are held. A
// console that goes away (a closed pipe) only fails the writes: the update
// goes on to its end. On Linux a standard stream that is not open is opened
// on /dev/null, so that no file the run opens takes its place.
bool PrepareConsoleOutput();

// Prints the platform's prompt and waits for one key press. A request to
// stop ends the wait at once, whatever standard input is: on Linux by the
// signal's own default action (the terminal given back its modes), on
// Windows with exit status 130.
void WaitForKey();

// True when something exists at path (following links).
bool PathExists(const char* path);

// From now on the user's request to stop (Ctrl-C, and on Linux SIGTERM and
// SIGHUP; on Windows Ctrl-Break and closing the console) only sets a flag,
// so that the run can finish the message it is sending and close its ports.
void CatchInterrupts();
bool InterruptRequested();

enum LogOpen : unsigned char {
    kLogOpened = 0,
    kLogIsFolder = 1,   // the name is a folder
    kLogIsFirmware = 2, // the name is the firmware file, however it is named
    kLogNoReader = 3,   // a named pipe that nobody reads: opening it would wait
    kLogFailed = 4,     // any other reason
    kLogIsLedFile = 5,  // the name reaches a .led file: through links, or as the system
                        // reads the name (Windows drops trailing dots and spaces)
};

// Opens the trace file for appending, never waiting. firmware: the path of
// the firmware file (null when there is none); the trace must not be written
// into it, nor into any file named .led. Writes nothing unless it returns
// kLogOpened with *log set.
LogOpen OpenLogFile(const char* path, const char* firmware, FILE** log);
