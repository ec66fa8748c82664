// update_emulated: the scenario is read before main runs, and the report is
// written when the process exits (as well as whenever both sides close).
#include <cstdlib>

#include "emul.h"

namespace {

void WriteReportAtExit() { emul::WriteReportFile(true); }

struct ProcessHooks {
    ProcessHooks() {
        emul::LoadScenarioFromEnvironment();
        std::atexit(WriteReportAtExit);
    }
};

ProcessHooks gHooks;

} // namespace
