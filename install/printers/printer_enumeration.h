// The printer snapshot, single-printer queries and the product-printer test.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

struct PrinterInfo {
    PRINTER_INFO_2W* info;
    DWORD size;
};

bool IsProductPrinter(const PRINTER_INFO_2W& printer);
void EnumeratePrinters(PrinterEnumeration& printers);
PrinterInfo& QueryPrinterInfo(PrinterInfo& holder, HANDLE printer);
void SnapshotPrinters(InstallContext& ctx);
