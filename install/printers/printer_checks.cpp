// The checks behind "onInit" and "onChkDrv", and "def.set".
#include "printers/printer_checks.h"

#include <windows.h>
#include <winspool.h>

#include "run/owned.h"
#include "run/product.h"
#include "monitor/monitor_removal.h"
#include "printers/printer_driver.h"
#include "printers/printer_enumeration.h"

namespace {

const DWORD kDefaultNameUnits = 260;
const int kOldestGoodDriverBuild = 2416;

// Index of the first product printer in enumeration order, or -1.
int FirstProductPrinter(const PrinterEnumeration& printers) {
    for (DWORD i = 0; printers.printers != nullptr && i < printers.printerCount; ++i) {
        // A connection is another machine's printer: never made the default, never its driver asked.
        if (IsProductPrinter(printers.printers[i]) && !IsPrinterConnection(printers.printers[i]))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

bool CheckDefaultPrinter() {
    WCHAR name[kDefaultNameUnits] = {0};
    DWORD capacity = kDefaultNameUnits;
    GetDefaultPrinterW(name, &capacity);
    name[kDefaultNameUnits - 1] = 0;
    if (name[0] == 0) return true;
    OwnedPrinter printer = OpenPrinterHandle(name);
    if (!printer) return true;
    PrinterInfo info;
    OwnedGlobal<PRINTER_INFO_2W> record(QueryPrinterInfo(info, printer.get()).info);
    bool otherPrinter = !(record && IsProductPrinter(*record.get()));
    printer.reset();
    return otherPrinter;
}

bool CheckDriver() {
    PrinterEnumeration printers = {nullptr, 0};
    EnumeratePrinters(printers);
    OwnedGlobal<PRINTER_INFO_2W> snapshot(printers.printers);
    int index = FirstProductPrinter(printers);
    if (index < 0) return false;
    OwnedPrinter printer = OpenPrinterHandle(printers.printers[index].pPrinterName);
    if (!printer) return false;
    OwnedGlobal<DRIVER_INFO_2W> driver(QueryPrinterDriverInfo(printer.get()));
    bool recent = driver && driver.get()->pDriverPath != nullptr &&
                  ReadFileBuild(driver.get()->pDriverPath) >= kOldestGoodDriverBuild;
    printer.reset();
    return recent;
}

void SetProductDefault() {
    PrinterEnumeration printers = {nullptr, 0};
    EnumeratePrinters(printers);
    OwnedGlobal<PRINTER_INFO_2W> snapshot(printers.printers);
    int index = FirstProductPrinter(printers);
    if (index >= 0) SetDefaultPrinterW(printers.printers[index].pPrinterName);
}
