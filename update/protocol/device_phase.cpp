// The device phase of a run: the search, then the transfer, and one run's
// state.
#include <cstdio>

#include "midi/reply_queue.h"
#include "protocol/device_calls.h"
#include "protocol/protocol.h"
#include "protocol/run_state.h"
#include "protocol/status.h"

namespace device_phase {

RunState gRun;

void StartRun(FILE* trace, bool (*interrupted)()) {
    gRun = RunState{};
    gRun.trace = trace;
    gRun.interrupted = interrupted;
}

void TakeSettings(const DeviceSettings* settings) {
    gRun.trace = settings->trace;
    gRun.interrupted = settings->interrupted;
}

bool Interrupted() { return gRun.interrupted != nullptr && gRun.interrupted(); }

} // namespace device_phase

DeviceOutcome RunDeviceUpdate(const FirmwareImage* image, uint8_t modelCode,
                              const DeviceSettings* settings) {
    using namespace device_phase;
    StartRun(settings->trace, settings->interrupted);
    SetReplyTrace(settings->trace);
    SetLiveStatus(settings->liveStatus);
    const uint8_t result = FindUpdateDevice(modelCode, settings);
    DeviceOutcome outcome = kDeviceNotFound;
    if (Interrupted() && result == 0) {
        outcome = kDeviceInterrupted; // before the transfer: nothing to report
    } else if (result == kResetRequired) {
        printf("Please reset the product and retry again!\n\n");
        outcome = kDeviceResetRequired;
    } else if (result != 0) {
        outcome = TransferImage(image, settings);
        if (outcome == kDeviceTransferFailed) ReportTransferStop(gRun.stopRefusals);
    }
    CloseInput();
    CloseOutput();
    SetReplyTrace(nullptr);
    return outcome;
}
