// Windows entry point: everything else lives in RunEntry so that host tests can drive it.
#include <windows.h>

#include "frontend/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunEntry(instance, GetCommandLineW());
}
