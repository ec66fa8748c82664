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
// as each output is tried (input: the first of the inputs listened to); kStatusRecord with (record, records, failures,
// percent) before each attempt of a record. Null: nobody is told.
enum StatusEvent : unsigned { kStatusSearch = 0, kStatusRecord = 1 };
using StatusObserver = void (*)(unsigned event, unsigned a, unsigned b, unsigned c, unsigned d);
void SetStatusObserver(StatusObserver observer);

// While discovery tries an output with the inputs firstInput to lastInput
// listened to: "Looking for the keyboard: inputs 1 to 4 of 4, output 3 of 4"
// ("input 2 of 4" with one input; device numbers counted from 1), replaced in
// place.
void ShowSearchStatus(unsigned firstInput, unsigned lastInput, unsigned inputs, unsigned output,
                      unsigned outputs);

// Clears a live status line still standing on the console, so that the next
// message is printed on an empty line. Does nothing when none stands.
void WipeStatus();

// The start of a transfer of `records` records: the record count and the clock.
void StartProgress(unsigned records);

// The progress line before a record is sent: the fixed "\r...\rTransferring..
// %c %d%% done"; live, followed by the record count and the time left, or,
// when the record is being sent again (failures > 0), by why and the attempt:
// `silent` tells that the latest attempt got no answer.
void ShowProgress(char spinner, unsigned percent, unsigned record, unsigned failures, bool silent,
                  uint32_t acknowledged, uint32_t length);

// What the keyboard refused a record for (bits of ReportTransferStop's
// argument): its data (CRC, damaged, verification) or its erase.
constexpr unsigned kRefusedData = 1;
constexpr unsigned kRefusedErase = 2;

// After a transfer that failed: the record it stopped at, and what to do. With
// refusals (after 20 failures ending in a reply), the advice follows them;
// without, it points at the connection.
void ReportTransferStop(unsigned refusals);
