// The entry routine: one command word, one action, one exit code.
#pragma once

#include <windows.h>

struct InstallContext;

// The whole entry routine for a command line; wWinMain only hands over its instance.
int RunEntry(HINSTANCE instance, LPCWSTR commandLine);
void CloseHelpWindows();
DWORD ScheduleDeletesAtReboot(InstallContext& ctx);
bool RunUninstall(HWND parent, DWORD& scheduled);
