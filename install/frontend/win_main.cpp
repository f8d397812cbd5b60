// Windows entry point: everything else lives in RunEntry so that host tests can drive it.
// The process starts here rather than in the C runtime's start-up code: the installer has no
// static constructors, reads its command line through the API and ends through ExitProcess, so
// that code would only add size.
#include <windows.h>

#include "frontend/entry.h"

extern "C" void WINAPI wWinMainCRTStartup() {
    // Every DLL loaded from here on, the system DLLs' own dependencies and run-time loads
    // included, comes from the system directory, never from the folder install.exe was started
    // from (a download or temporary folder that others can write to).
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ExitProcess(static_cast<UINT>(RunEntry(GetModuleHandleW(NULL), GetCommandLineW())));
}
