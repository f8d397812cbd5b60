// The printer snapshot, single-printer queries and the product-printer test.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

struct PrinterInfo {
    PRINTER_INFO_2W* info;
    DWORD size;
};

// The printer's driver is exactly "Quillgraph Server".
bool IsProductPrinter(const PRINTER_INFO_2W& printer);
// Local printers and connections at level 2 into `printers` (released first; the caller releases
// it with FreePrinterEnumeration); empty when the spooler does not answer.
void EnumeratePrinters(PrinterEnumeration& printers);
// The printer's level-2 record in a global block the caller releases, or a null `info` with the
// last error of the failing call.
PrinterInfo& QueryPrinterInfo(PrinterInfo& holder, HANDLE printer);
// The run's snapshot into ctx.printerEnum, the default printer marked PRINTER_ATTRIBUTE_DEFAULT.
void SnapshotPrinters(InstallContext& ctx);
