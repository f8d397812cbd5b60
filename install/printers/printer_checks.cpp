// The checks behind "onInit" and "onChkDrv", and "def.set".
#include "printers/printer_checks.h"

#include <windows.h>
#include <winspool.h>

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
        if (IsProductPrinter(printers.printers[i])) return static_cast<int>(i);
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
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name, &printer, nullptr) || printer == nullptr) return true;
    PrinterInfo info;
    QueryPrinterInfo(info, printer);
    bool otherPrinter = !(info.info != nullptr && IsProductPrinter(*info.info));
    ClosePrinter(printer);
    if (info.info != nullptr) GlobalFree(info.info);
    return otherPrinter;
}

bool CheckDriver() {
    PrinterEnumeration printers = {nullptr, 0};
    EnumeratePrinters(printers);
    int index = FirstProductPrinter(printers);
    HANDLE printer = nullptr;
    if (index < 0 || !OpenPrinterW(printers.printers[index].pPrinterName, &printer, nullptr) || printer == nullptr) {
        FreePrinterEnumeration(printers);
        return false;
    }
    bool recent = false;
    DRIVER_INFO_2W* driver = QueryPrinterDriverInfo(printer);
    if (driver != nullptr && driver->pDriverPath != nullptr)
        recent = ReadFileBuild(driver->pDriverPath) >= kOldestGoodDriverBuild;
    ClosePrinter(printer);
    if (driver != nullptr) GlobalFree(driver);
    FreePrinterEnumeration(printers);
    return recent;
}

void SetProductDefault() {
    PrinterEnumeration printers = {nullptr, 0};
    EnumeratePrinters(printers);
    int index = FirstProductPrinter(printers);
    if (index >= 0) SetDefaultPrinterW(printers.printers[index].pPrinterName);
    FreePrinterEnumeration(printers);
}
