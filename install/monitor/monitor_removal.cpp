// Removing the product's port monitor: version check, parking printers, three attempts.
#include "monitor/monitor_removal.h"

#include <windows.h>
#include <winver.h>

#include "run/install_context.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "monitor/port_parking.h"
#include "services/install_journal.h"
#include "services/spooler_service.h"

namespace {

// Moves every printer on the product's port to "file:" so that the port is no longer in use; a
// printer the journal cannot keep is not moved. Printers parked before (by the journal's replay)
// stay on the list.
void ParkPrinters(InstallContext& ctx) {
    DWORD count = ctx.printerEnum.printerCount;
    if (count == 0 || ctx.printerEnum.printers == nullptr) return;
    DWORD used = 0;
    while (ctx.portPrinters != nullptr && ctx.portPrinters[used] != nullptr) ++used;
    // The whole list first: a printer moved to "file:" must be on it to be moved back.
    PRINTER_INFO_2W** parked = static_cast<PRINTER_INFO_2W**>(
        GlobalAlloc(GPTR, (static_cast<SIZE_T>(used) + count + 1) * sizeof(PRINTER_INFO_2W*)));
    if (parked == nullptr) return;
    for (DWORD i = 0; i < used; ++i) parked[i] = ctx.portPrinters[i];
    if (ctx.portPrinters != nullptr) GlobalFree(ctx.portPrinters);
    ctx.portPrinters = parked;
    for (DWORD i = 0; i < count; ++i) {
        PRINTER_INFO_2W& printer = ctx.printerEnum.printers[i];
        if (IsPrinterConnection(printer)) {
            if (UsesProductPort(printer)) LogPrint(ctx, "Printer connection %s is left alone", printer.pPrinterName);
            continue;
        }
        if (!UsesProductPort(printer)) continue;
        if (!JournalParked(printer.pPrinterName, printer.pPortName)) {
            LogError(ctx, kErrJournal, "Can't write the install journal: printer '%s' stays on its ports",
                     printer.pPrinterName);
            continue;
        }
        ParkPortName(printer);
        parked[used++] = &printer;
        if (UpdatePrinterPort(ctx, printer) == kPrinterGone) {
            JournalRemove(kJournalParked, printer.pPrinterName);
            parked[--used] = nullptr;
        }
    }
}

// Decides from the DLL's build whether the monitor stays; true when it does.
bool KeepCompatibleMonitor(InstallContext& ctx, LPCWSTR path, bool found) {
    if (!ctx.reinstallMode) {
        LogPrint(ctx, "There is no check for monitor version");
        return false;
    }
    int build = path != nullptr ? ReadFileBuild(path) : -1;
    if (IsCompatibleMonitorBuild(build)) {
        LogPrint(ctx, "Version (%d) is compatible, proceed without uninstall", build);
        if (found)
            ctx.installMonitor = 0;
        else
            ctx.copyMonitor = 0;
        LogPrint(ctx, "InstallMonitor == %d, CopyMonitor == %d", ctx.installMonitor ? 1 : 0,
                 ctx.copyMonitor ? 1 : 0);
        return true;
    }
    if (build < 0)
        LogPrint(ctx, "Version is unknown, proceed with reinstall");
    else
        LogPrint(ctx, "Version (%d) is not supported, proceed with reinstall", build);
    return false;
}

}  // namespace

bool IsCompatibleMonitorBuild(int build) { return build >= kOldestCompatibleMonitorBuild && build <= BuildNumber; }

int ReadFileBuild(LPCWSTR path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) return -1;
    OwnedGlobal<BYTE> block(static_cast<BYTE*>(GlobalAlloc(GPTR, size)));
    if (!block) return -1;
    if (!GetFileVersionInfoW(path, 0, size, block.get())) return -1;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.get(), TEXT("\\"), reinterpret_cast<LPVOID*>(&info), &length) || info == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return -1;
    return static_cast<int>(info->dwProductVersionLS & 0xFFFF);
}

bool TryDeleteMonitor(LPCWSTR environment) {
    return DeleteMonitorW(nullptr, const_cast<LPWSTR>(environment), const_cast<LPWSTR>(kProductMonitorName)) !=
           FALSE;
}

namespace {

// The monitor DLL's path: the system directory and the name the list gives, or the name this
// environment installs. False when that is no full path of a file (nothing to read or delete).
bool MonitorDllPath(InstallContext& ctx, const MonitorEnum& monitors, int index, TextBuffer& path) {
    // Without a file name the path is the system directory itself: never read or delete that.
    path = CopyText(ctx.systemDir);
    bool hasFileName = false;
    if (monitors.monitorCount == 0 || index < 0) {
        LogPrint(ctx, "Computing monitor filename");
        // A name that could not be added would leave the system directory itself.
        if (ctx.monitorFile != nullptr && ctx.monitorFile[0] != 0) hasFileName = Append(path, ctx.monitorFile);
    } else {
        LogPrint(ctx, "Trying to get monitor filename from MONITOR_INFO_2");
        LPCWSTR dll = reinterpret_cast<const MONITOR_INFO_2W*>(monitors.monitors)[index].pDLLName;
        if (dll != nullptr && dll[0] != 0) hasFileName = Append(path, dll);
    }
    LogPrint(ctx, "Auto calculated monitor file name: %s", TextOf(path));
    // Without the system directory the name is a bare one: not a file of ours to read or delete.
    return hasFileName && IsFullPath(TextOf(path));
}

// Deletes the monitor: at once, after parking the printers on its port, after a spooler restart.
// True when it is gone; a monitor that was never there is a plain line.
bool RemoveMonitor(InstallContext& ctx, const MonitorEnum& monitors, bool found) {
    if (TryDeleteMonitor(ctx.environment)) return true;
    // Without a list, only the spooler's answer tells that the monitor is not there.
    if (!found && (monitors.error == 0 || GetLastError() == ERROR_UNKNOWN_PRINT_MONITOR)) {
        LogPrint(ctx, "Can't delete monitor and monitor was not found. So everything should be ok");
        return false;
    }
    LogPrint(ctx, "Can't delete monitor from the first try");
    ParkPrinters(ctx);
    if (TryDeleteMonitor(ctx.environment)) return true;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    if (TryDeleteMonitor(ctx.environment)) return true;
    LogError(ctx, kErrRemoveMonitor, "Can`t remove the port monitor 'QuillgraphServer:'");
    // The monitor and its port are still there: nothing may stay parked.
    if (ProductMonitorRegistered(ctx)) RestoreParkedPrinters(ctx);
    return false;
}

}  // namespace

void DeleteProductMonitor(InstallContext& ctx, MonitorEnum& monitors) {
    LogSection section(ctx, ">DeleteMonitor");
    if (monitors.monitorCount != 0)
        LogMonitorList(ctx, monitors);
    else
        LogPrint(ctx, "BTW, there is no port monitors on this system.");

    int index = FindProductMonitor(monitors);
    bool found = index >= 0;
    if (found)
        LogPrint(ctx, "Port monitor is found. Index=%d", index + 1);
    else
        LogPrint(ctx, "No Quillgraph port monitor was found.");

    TextBuffer path = nullptr;
    bool hasFileName = MonitorDllPath(ctx, monitors, index, path);
    if (!KeepCompatibleMonitor(ctx, hasFileName ? TextOf(path) : nullptr, found) &&
        RemoveMonitor(ctx, monitors, found)) {
        if (hasFileName && !DeleteFileW(TextOf(path))) PathListAdd(ctx.pendingDeletes, TextOf(path));
        LogPrint(ctx, "Monitor was removed :)");
    }
    FreeText(path);
}
