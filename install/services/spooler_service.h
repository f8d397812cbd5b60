// Control of the "spooler" service: start-up check and the stop/start bracket.
#pragma once

#include <windows.h>

#include "run/owned.h"

struct InstallContext;

// Stops the spooler at its beginning and starts it again at its end; the caller owns it and
// must end what it began.
struct SpoolerRestart {
    InstallContext* context;  // none: the bracket logs nothing
    OwnedService serviceManager;
    OwnedService spoolerService;
    BYTE stopRequested;
};

// Starts the spooler when it is not running (error 4 when it does not start); errors 1 and 2
// when the service cannot be opened. True when it runs, or its state cannot be queried.
bool CheckSpooler(InstallContext& ctx);
// Starts the service and waits up to 50 polls of 200 ms for it to run.
bool StartSpoolerAndWait(SC_HANDLE service);
// Asks the spooler to stop and waits up to 50 polls of 200 ms; errors 1, 2, 3 and 5 go to the
// context's log, when there is one.
void BeginSpoolerRestart(SpoolerRestart& restart, InstallContext* ctx);
// Starts the spooler again if the beginning asked it to stop (error 4) and closes the handles.
void EndSpoolerRestart(SpoolerRestart& restart);
