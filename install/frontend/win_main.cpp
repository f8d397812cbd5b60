// Windows entry point: everything else lives in RunEntry so that host tests can drive it.
// The process starts here rather than in the C runtime's start-up code: the installer has no
// static constructors, reads its command line through the API and ends through ExitProcess, so
// that code would only add size.
#include <windows.h>

#include "frontend/entry.h"

extern "C" void WINAPI wWinMainCRTStartup() {
    ExitProcess(static_cast<UINT>(RunEntry(GetModuleHandleW(NULL), GetCommandLineW())));
}
