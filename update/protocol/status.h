// What the device phase shows besides its fixed messages: a live status line
// while it runs, on a console only, and where a failed transfer stopped.
//
// With the live status off (standard output is a file or a pipe) the
// progress line is exactly the fixed one and nothing else is printed while
// the device phase runs.
#pragma once

#include <cstdint>

// On when standard output is a console. Set before discovery starts.
void SetLiveStatus(bool on);

// A front end that shows the device phase in its own way (the update page)
// is told what the live line would show, whether the live line is on or not:
// kStatusSearch with (input, inputs, output, outputs), devices counted from 0,
// as each pair is tried; kStatusRecord with (record, records, failures,
// percent) before each attempt of a record. Null: nobody is told.
enum StatusEvent : unsigned { kStatusSearch = 0, kStatusRecord = 1 };
using StatusObserver = void (*)(unsigned event, unsigned a, unsigned b, unsigned c, unsigned d);
void SetStatusObserver(StatusObserver observer);

// While discovery tries a pair: "Looking for the keyboard: input 2 of 4,
// output 3 of 4" (device numbers counted from 1), replaced in place.
void ShowSearchStatus(unsigned input, unsigned inputs, unsigned output, unsigned outputs);

// Clears a live status line still standing on the console, so that the next
// message is printed on an empty line. Does nothing when none stands.
void WipeStatus();

// The start of a transfer of `records` records: the record count and the clock.
void StartProgress(unsigned records);

// The progress line before a record is sent: the fixed "\r...\rTransferring..
// %c %d%% done"; live, followed by the record count and the time left, or by
// the attempt when the record is being sent again (failures > 0).
void ShowProgress(char spinner, unsigned percent, unsigned record, unsigned failures,
                  uint32_t acknowledged, uint32_t length);

// After a transfer that failed: the record it stopped at, and what to do.
void ReportTransferStop();
