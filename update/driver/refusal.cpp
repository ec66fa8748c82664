// The lines after the refusal of a firmware file: what is wrong with it, and
// what to do. Every cause gets the same advice: a damaged or wrong file is
// mended only by a fresh copy.
#include "driver/refusal.h"

#include <cstdio>

namespace {

void PrintAdvice() {
    printf("Download the firmware file again from where you got it, then run update again.\n\n");
}

} // namespace

void PrintTextStop(const TextStop* stop) {
    const unsigned line = static_cast<unsigned>(stop->line);
    const unsigned column = static_cast<unsigned>(stop->column);
    switch (stop->end) {
    case kTextRead: break;
    case kTextRecordFollows:
        printf("The text stops being hexadecimal at line %u, column %u, and records follow "
               "after it.\n",
               line, column);
        break;
    case kTextStrayByte:
        if (stop->byte == 0x1A) {
            printf("The text stops being hexadecimal at line %u, column %u, at an end-of-file "
                   "mark (byte 1A) with more text after it: the file is damaged.\n",
                   line, column);
        } else {
            printf("The text stops being hexadecimal at line %u, column %u, at the byte %02X, "
                   "which no text holds: the file is damaged.\n",
                   line, column, stop->byte);
        }
        break;
    default:
        printf("The text stops being hexadecimal at line %u, column %u; the rest holds no "
               "record and is ignored.\n",
               line, column);
        break;
    }
}

void RefuseCutShortText(const TextStop* stop) {
    printf("Error: The upgrade file is error!\n\n");
    PrintTextStop(stop);
    PrintAdvice();
}

void ExplainRecordFault(const RecordCheck* check, const TextStop* stop) {
    const unsigned record = static_cast<unsigned>(check->record);
    switch (check->fault) {
    case kRecordsHold: return; // nothing was refused
    case kNoRecord:
        // The reading went to the end of the text: nothing but white space.
        if (stop->line == 0) {
            printf("The file is empty.\n");
        } else {
            printf("The file holds no firmware: it does not begin with hexadecimal text.\n");
        }
        break;
    case kWrongChecksum:
        printf("Record %u (line %u) has a wrong checksum: the file is damaged.\n", record,
               static_cast<unsigned>(FieldLine(check->position)));
        break;
    case kEndsInRecord: printf("The file ends inside record %u: it is cut short.\n", record); break;
    }
    PrintAdvice();
}

void ExplainTooLarge() {
    static_assert(kImageMaxLength == 65535, "the limit the message names");
    printf("The file is larger than the keyboard's memory (at most 65,535 bytes of firmware).\n");
    PrintAdvice();
}
