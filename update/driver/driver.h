// The run sequence of one update, and the command line that chooses it.
#pragma once

// Reads the command line, runs what it asks for (by default one whole update:
// banner, file selection, image, device phase, and the wait for a key) and
// returns the exit status: 0 for a run that waits for a key, otherwise the
// outcome (see the help text).
int RunUpdate(int argc, char** argv);

// True when name ends in ".led", ignoring ASCII case: a firmware file's name,
// as the folder search takes it and as a log may never be named.
bool HasLedExtension(const char* name);
