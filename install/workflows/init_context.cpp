// Building the run's context at the start of an install or uninstall run.
#include "workflows/init_context.h"

#include "printers/printer_enumeration.h"
#include "services/spooler_service.h"

InstallContext& InitContext(InstallContext& ctx, DWORD flags) {
    ctx.moduleDir = nullptr;
    ctx.systemDir = nullptr;
    ctx.log = nullptr;
    ctx.driverDir = nullptr;
    ctx.environment = nullptr;
    ctx.monitorFile = nullptr;
    ctx.driverFile = nullptr;
    ctx.helpFile = nullptr;
    ctx.uiFile = nullptr;
    ctx.isX64 = 0;
    ctx.pendingDeletes = nullptr;
    ctx.savedSettings = nullptr;
    ctx.printerEnum.printers = nullptr;
    ctx.printerEnum.printerCount = 0;
    ctx.errorCount = 0;
    ctx.logIndent = 0;
    ctx.portPrinters = nullptr;

    LogPrint(ctx, TEXT("Quillgraph %d"), BuildNumber);
    ctx.reinstallMode = 0;
    ctx.installMonitor = 1;
    ctx.copyMonitor = 1;
    CheckSpooler(ctx);
    ctx.bothEnvironments = (flags & kInitBothEnvironments) ? 1 : 0;
    SelectEnvironment(ctx, (flags & kInitStartX64) != 0);
    ctx.portPrinters = nullptr;
    ReadModuleDir(ctx);
    ReadSystemDir(ctx);
    SnapshotPrinters(ctx);
    return ctx;
}

