// The install run's workflow: remove what is there (keeping a compatible monitor), clear the
// way for the new files, then install monitor, driver, printers and tray application.
#include "workflows/reinstall.h"

#include <windows.h>

#include "run/install_context.h"
#include "run/install_log.h"
#include "monitor/monitor_install.h"
#include "printers/printer_driver.h"
#include "printers/printer_settings.h"
#include "services/file_copy.h"
#include "services/pending_files.h"
#include "services/spooler_service.h"
#include "tray/tray_app.h"
#include "workflows/journal_replay.h"
#include "workflows/uninstall.h"

namespace {

void DeletePendingFilesWithSpoolerStopped(InstallContext& ctx) {
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    DeletePendingFiles(ctx);
    EndSpoolerRestart(restart);
}

// The monitor DLL that the installed monitor relies on, copied now or kept from before, must not
// fall to a deletion that an earlier uninstall scheduled for the same path, or the next boot
// takes the monitor away again.
void KeepMonitorDllThroughReboot(InstallContext& ctx) {
    if (TextLength(ctx.systemDir) == 0 || !ctx.monitorFile || ctx.monitorFile[0] == 0) return;
    TextBuffer dllPath = CopyText(ctx.systemDir);
    // A path that could not be made, or a file that cannot be looked at, may still be scheduled:
    // only a DLL known to be absent needs nothing kept.
    bool made = TextLength(dllPath) == TextLength(ctx.systemDir) && Append(dllPath, ctx.monitorFile);
    DWORD attributes = made ? GetFileAttributesW(TextOf(dllPath)) : INVALID_FILE_ATTRIBUTES;
    DWORD error = GetLastError();
    bool absent = made && attributes == INVALID_FILE_ATTRIBUTES &&
                  (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    if (!made) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LogError(ctx, kErrKeepMonitorFile, "Can't cancel the scheduled deletion of %s", ctx.monitorFile);
    } else if (!absent) {
        int kept = RemoveScheduledDeletesOf(TextOf(dllPath));
        if (kept > 0) {
            LogPrint(ctx, "Scheduled deletion of %s cancelled", TextOf(dllPath));
        } else if (kept == kScheduledDeletesKept) {
            // The next boot would take the registered monitor's DLL away: the install is not whole.
            LogError(ctx, kErrKeepMonitorFile, "Can't cancel the scheduled deletion of %s", TextOf(dllPath));
        } else if (kept == kScheduledDeletesUnread) {
            // Unknown whether the next boot takes it: not whole either, but nothing is known scheduled.
            LogError(ctx, kErrKeepMonitorFile, "Can't read the scheduled deletions to keep %s",
                     TextOf(dllPath));
        }
    }
    FreeText(dllPath);
}

}  // namespace

void ReInstall(InstallContext& ctx) {
    LogSection section(ctx, 2, ">ReInstall");
    ctx.reinstallMode = 1;

    ReplayJournal(ctx);
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

    if (ctx.installMonitor) AddProductMonitor(ctx);
    KeepMonitorDllThroughReboot(ctx);

    AddProductDriver(ctx);
    if (ctx.bothEnvironments) InOtherEnvironment(ctx, [&] { AddProductDriver(ctx); });

    RestorePrinterSettings(ctx);
    InstallTray(ctx);

    if (ctx.pendingDeletes) {
        DeletePendingFiles(ctx);
        if (ctx.pendingDeletes) DeletePendingFilesWithSpoolerStopped(ctx);
    }
}
