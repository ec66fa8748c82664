// The stand-in winmm.dll: the scenario is read on the first WinMM call, and
// the report is written when the process lets the DLL go (as well as whenever
// both sides close).
#include <windows.h>

#include "emul.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) emul::WriteReportFile(true);
    return TRUE;
}
