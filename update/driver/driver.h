// The run sequence of one update.
#pragma once

// Runs one whole update (banner, file selection, image, device phase) and
// ends with the wait for a key. Returns the exit status, always 0.
int RunUpdate();
