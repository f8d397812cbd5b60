// Adding and deleting single product printers.
#include "printers/printer_queues.h"

#include "run/install_context.h"
#include "run/owned.h"
#include "monitor/monitor_enum.h"

namespace {

const WCHAR kEmptyText[] = TEXT("");

LPCWSTR NameOrStar(LPCWSTR name) { return name != nullptr ? name : TEXT("*"); }

// Only for the log: the printer is added whatever this finds.
void CheckProductMonitor(InstallContext& ctx) {
    LogPrint(ctx, "Let's check our port monitors");
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    if (FindProductMonitor(monitors) >= 0) {
        LogPrint(ctx, "Port monitor is found");
    } else {
        LogPrint(ctx, "No Quillgraph port monitor was found.");
        if (monitors.monitorCount != 0)
            LogMonitorList(ctx, monitors);
        else
            LogPrint(ctx, "BTW, there is no port monitors on this system.");
    }
    ReleaseMonitors(monitors);
}

}  // namespace

HANDLE AddProductPrinter(InstallContext& ctx, LPCWSTR name) {
    LogSection section(ctx, ">AddPrinter(%s)", NameOrStar(name));
    CheckProductMonitor(ctx);

    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(name);
    info.pPortName = const_cast<LPWSTR>(kProductPortName);
    info.pDriverName = const_cast<LPWSTR>(kProductDriverName);
    info.pComment = const_cast<LPWSTR>(kEmptyText);
    info.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
    if (printer != nullptr)
        LogPrint(ctx, "OK :)");
    else
        LogError(ctx, kErrAddPrinter, "Can`t add printer '%s'", NameOrStar(name));
    return printer;
}

void DeleteProductPrinter(InstallContext& ctx, LPCWSTR name) {
    LogSection section(ctx, ">DeletePrinter(%s)", NameOrStar(name));
    OwnedPrinter printer = OpenPrinterHandle(name, DELETE | PRINTER_ACCESS_ADMINISTER);
    if (!printer) {
        LogError(ctx, kErrOpenPrinter, "Can`t open printer '%s'", NameOrStar(name));
        return;
    }
    SetPrinterW(printer.get(), 0, nullptr, PRINTER_CONTROL_PURGE);
    if (DeletePrinter(printer.get()))
        LogPrint(ctx, "OK");
    else
        LogError(ctx, kErrDeletePrinter, "Can`t delete printer '%s'", NameOrStar(name));
}
