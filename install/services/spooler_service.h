// Control of the "spooler" service: start-up check and the stop/start bracket.
#pragma once

#include <windows.h>

struct InstallContext;

struct SpoolerRestart {
    InstallContext* context;  // none: the bracket logs nothing
    SC_HANDLE serviceManager;
    SC_HANDLE spoolerService;
    BYTE stopRequested;
};

bool CheckSpooler(InstallContext& ctx);
bool StartSpoolerAndWait(SC_HANDLE service);
void BeginSpoolerRestart(SpoolerRestart& restart, InstallContext* ctx);
void EndSpoolerRestart(SpoolerRestart& restart);
