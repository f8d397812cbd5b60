// Copying the port monitor DLL, registering the monitor and moving parked printers back.
#include "monitor/monitor_install.h"

#include "run/install_context.h"
#include "monitor/port_parking.h"
#include "services/file_copy.h"
#include "services/spooler_service.h"

namespace {

const int kRegisterAttempts = 5;
const DWORD kRegisterPauseMs = 50;

// A removal may have kept the monitor because its DLL was compatible, and a scheduled deletion
// may have taken that DLL since; registering without it would fail.
bool MonitorFileMissing(InstallContext& ctx) {
    TextBuffer path = CopyText(ctx.systemDir);
    bool missing = !Append(path, ctx.monitorFile) || !IsExistingFile(TextOf(path));
    FreeText(path);
    return missing;
}

void CopyMonitorFile(InstallContext& ctx) {
    LogPrint(ctx, "Copy monitor file");
    if (CopyFileToDir(ctx, TextOf(ctx.systemDir), ctx.monitorFile, nullptr, 0, false) == S_OK) return;
    // The spooler may hold the old DLL: copy again while it is stopped, this time loudly.
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    CopyFileToDir(ctx, TextOf(ctx.systemDir), ctx.monitorFile, nullptr, 0, true);
    EndSpoolerRestart(restart);
}

bool RegisterMonitor(InstallContext& ctx) {
    MONITOR_INFO_2W info;
    info.pName = const_cast<LPWSTR>(kProductMonitorName);
    info.pEnvironment = const_cast<LPWSTR>(ctx.environment);
    info.pDLLName = const_cast<LPWSTR>(ctx.monitorFile);
    for (int attempt = 1; attempt <= kRegisterAttempts; ++attempt) {
        if (attempt > 1) Sleep(kRegisterPauseMs);
        if (AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) return true;
        LogPrint(ctx, "AddMonitor - failed. Trying to wait and install again");
    }
    LogError(ctx, kErrInstallMonitor, "Can`t install a local port monitor'QuillgraphServer:'");
    return false;
}

}  // namespace

void AddProductMonitor(InstallContext& ctx) {
    LogSection section(ctx, ">AddMonitor");
    if (ctx.copyMonitor || MonitorFileMissing(ctx))
        CopyMonitorFile(ctx);
    else
        LogPrint(ctx, "Skip copy monitor file");
    if (RegisterMonitor(ctx)) {
        LogPrint(ctx, "AddMonitor - OK :)");
        RestoreParkedPrinters(ctx);
    }
}
