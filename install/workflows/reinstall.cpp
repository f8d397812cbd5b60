// The install run's workflow: remove what is there (keeping a compatible monitor), clear the
// way for the new files, then install monitor, driver, printers and tray application.
#include "workflows/reinstall.h"

#include <windows.h>

#include "frontend/install_context.h"
#include "frontend/install_log.h"
#include "monitor/monitor_install.h"
#include "printers/printer_driver.h"
#include "printers/printer_settings.h"
#include "services/pending_files.h"
#include "services/spooler_service.h"
#include "tray/tray_app.h"
#include "workflows/uninstall.h"

namespace {

void DeletePendingFilesWithSpoolerStopped(InstallContext& ctx) {
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    DeletePendingFiles(ctx);
    EndSpoolerRestart(restart);
}

bool FileExists(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Installs the monitor. A DLL copied into place must not fall to a deletion that an earlier
// uninstall scheduled for the same path, or the next boot takes the monitor away again.
void InstallMonitor(InstallContext& ctx) {
    TextBuffer dllPath = NULL;
    if (TextLength(ctx.systemDir) != 0 && ctx.monitorFile && ctx.monitorFile[0] != 0) {
        dllPath = CopyText(ctx.systemDir);
        Append(dllPath, ctx.monitorFile);
    }
    // The monitor installation copies when told to, or when the DLL is missing.
    bool copyAttempted = dllPath && (ctx.copyMonitor || !FileExists(TextOf(dllPath)));

    AddProductMonitor(ctx);

    if (copyAttempted && FileExists(TextOf(dllPath))) {
        int kept = RemoveScheduledDeletesOf(TextOf(dllPath));
        if (kept > 0) {
            LogPrint(ctx, TEXT("Scheduled deletion of %s cancelled"), TextOf(dllPath));
        } else if (kept < 0) {
            LogPrint(ctx, TEXT("Can't cancel the scheduled deletion of %s"), TextOf(dllPath));
        }
    }
    FreeText(dllPath);
}

}  // namespace

void ReInstall(InstallContext& ctx) {
    LogPrint(ctx, TEXT(">ReInstall"));
    ctx.logIndent += 2;
    ctx.reinstallMode = 1;

    UnInstall(ctx);
    if (ctx.pendingDeletes) {
        SpoolerRestart restart;
        BeginSpoolerRestart(restart, &ctx);
        DeletePendingFiles(ctx);
        // What survives this pass is not carried forward to the reboot.
        if (ctx.pendingDeletes) PathListFree(ctx.pendingDeletes);
        ctx.pendingDeletes = NULL;
        EndSpoolerRestart(restart);
    }

    PendingRenameTable table;
    ReadPendingRenames(table);
    DeleteScheduledFilesNow(table);
    FreePendingRenames(table);

    if (ctx.installMonitor) InstallMonitor(ctx);

    AddProductDriver(ctx);
    if (ctx.bothEnvironments) {
        SelectEnvironment(ctx, !ctx.isX64);
        AddProductDriver(ctx);
        SelectEnvironment(ctx, !ctx.isX64);
    }

    RestorePrinterSettings(ctx);
    InstallTray(ctx);

    if (ctx.pendingDeletes) {
        DeletePendingFiles(ctx);
        if (ctx.pendingDeletes) DeletePendingFilesWithSpoolerStopped(ctx);
    }
    ctx.logIndent -= 2;
}
