// What the user is told about a firmware file that is refused for its text or
// its records: after the refusal message, one line that names what is wrong,
// and what to do.
#pragma once

#include "image/image.h"

// Where the reading of the text stopped before its end: --check's note, and
// what is wrong with a text cut short.
void PrintTextStop(const TextStop* stop);

// A text cut short (TextCutShort): the refusal message, where it stopped, and
// the advice.
void RefuseCutShortText(const TextStop* stop);

// After ValidateImage refused the image read (it printed the refusal
// message): what its check found, and the advice. stop tells an empty text
// from one that does not begin with a field.
void ExplainRecordFault(const RecordCheck* check, const TextStop* stop);

// After LoadImage refused a text of more fields than an image holds (it
// printed the refusal message): what is wrong, and the advice.
void ExplainTooLarge();
