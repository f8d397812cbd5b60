// Taking the product off the system: tray application, printers, driver, port monitor, then
// the files that were locked.
#include "workflows/uninstall.h"

#include <windows.h>

#include "run/install_context.h"
#include "run/install_log.h"
#include "monitor/monitor_enum.h"
#include "monitor/monitor_removal.h"
#include "monitor/port_parking.h"
#include "printers/printer_driver.h"
#include "printers/printer_settings.h"
#include "services/pending_files.h"
#include "services/spooler_service.h"
#include "tray/tray_app.h"
#include "workflows/journal_replay.h"

namespace {

void DeleteScheduledFiles() {
    PendingRenameTable table;
    ReadPendingRenames(table);
    DeleteScheduledFilesNow(table);
    FreePendingRenames(table);
}

// An install run starts this installation's tray executable again at its end: keep that file
// then, but not one of an older location.
void RemoveProductTray(InstallContext& ctx) {
    if (!ctx.reinstallMode) {
        RemoveTray(nullptr);
        return;
    }
    TextBuffer keep = TrayPath(ctx.moduleDir);
    // Without it, the file to keep cannot be told from an older one: the tray is left alone.
    if (keep == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        LogError(ctx, kErrInstallerDirectory, "Can't stop the tray application: the installer's directory is unknown");
        return;
    }
    RemoveTray(TextOf(keep));
    FreeText(keep);
}

}  // namespace

void UnInstall(InstallContext& ctx) {
    LogSection section(ctx, ">UnInstall");
    if (ctx.bothEnvironments) {
        UnInstallServer(ctx);
        return;
    }
    RemoveProductTray(ctx);

    // Both enumerations are taken before anything is removed.
    MonitorEnum monitors;
    LogPrint(ctx, "EnumMonitors");
    EnumerateMonitors(monitors, ctx);
    LogPrint(ctx, "%d Monitors found.", static_cast<int>(monitors.monitorCount));

    DriverEnum drivers;
    LogPrint(ctx, "EnumPrinterDrivers for %s", ctx.environment);
    EnumerateDrivers(drivers, ctx.environment);
    LogPrint(ctx, "%d drivers found", static_cast<int>(drivers.driverCount));

    DeleteAllPrinters(ctx);
    DeleteProductDriver(ctx, drivers);
    DeleteProductMonitor(ctx, monitors);
    if (ctx.pendingDeletes) DeletePendingFiles(ctx);

    ReleaseDrivers(drivers);
    ReleaseMonitors(monitors);
}

void UnInstallServer(InstallContext& ctx) {
    LogSection section(ctx, ">UnInstall Server");
    RemoveProductTray(ctx);

    MonitorEnum monitors;
    LogPrint(ctx, "EnumMonitors");
    EnumerateMonitors(monitors, ctx);
    LogPrint(ctx, "%d Monitors found", static_cast<int>(monitors.monitorCount));

    DriverEnum firstDrivers;
    LogPrint(ctx, "EnumPrinterDrivers for %s", ctx.environment);
    EnumerateDrivers(firstDrivers, ctx.environment);

    LPCWSTR otherEnvironment = ctx.isX64 ? kEnvironmentX86 : kEnvironmentX64;
    DriverEnum secondDrivers;
    LogPrint(ctx, "EnumPrinterDrivers for %s", otherEnvironment);
    EnumerateDrivers(secondDrivers, otherEnvironment);

    DeleteAllPrinters(ctx);
    DeleteProductDriver(ctx, firstDrivers);
    DeleteProductMonitor(ctx, monitors);

    // The monitor goes only once, in the first environment; the second one loses its driver.
    InOtherEnvironment(ctx, [&] { DeleteProductDriver(ctx, secondDrivers); });

    if (ctx.pendingDeletes) DeletePendingFiles(ctx);

    ReleaseDrivers(secondDrivers);
    ReleaseDrivers(firstDrivers);
    ReleaseMonitors(monitors);
}

void UnInstallWithRestart(InstallContext& ctx) {
    ReplayJournal(ctx);
    UnInstall(ctx);
    // Printers still parked here lost the product's port for good (a failed removal has moved
    // them back): a pooled one must not keep printing to a file.
    DropParkedFilePorts(ctx);
    DeleteScheduledFiles();
    if (!ctx.pendingDeletes) return;
    DeletePendingFiles(ctx);
    if (!ctx.pendingDeletes) return;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    DeletePendingFiles(ctx);
    EndSpoolerRestart(restart);
}
