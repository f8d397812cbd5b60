// Building the run's context at the start of an install or uninstall run.
#include "workflows/init_context.h"

#include "printers/printer_enumeration.h"
#include "services/spooler_service.h"

InstallContext& InitContext(InstallContext& ctx, DWORD flags) {
    ClearContext(ctx);

    LogPrint(ctx, "Quillgraph %d", BuildNumber);
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

