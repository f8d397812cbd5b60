// Moving printers between the product's port and "file:" while the monitor is replaced. The
// port name is edited in place inside the snapshot record's own storage.
#pragma once

#include <windows.h>
#include <winspool.h>

struct InstallContext;

// The port list names the product's port.
bool UsesProductPort(const PRINTER_INFO_2W& printer);
// "QuillgraphServer:" becomes "file:"; false when the port list does not name the product's port.
bool ParkPortName(PRINTER_INFO_2W& printer);
// "file:" becomes "QuillgraphServer:" again; false when the port list has no "file:".
bool RestorePortName(PRINTER_INFO_2W& printer);
enum PortUpdate { kPortUpdated, kPortRefused, kPrinterGone };
// Hands the edited record to the spooler (level 2) and logs the outcome; kPrinterGone when no
// printer of that name exists any more.
PortUpdate UpdatePrinterPort(InstallContext& ctx, PRINTER_INFO_2W& printer);
// Adds a record to the list of parked printers (ctx.portPrinters); false when memory ran out.
bool AddParkedPrinter(InstallContext& ctx, PRINTER_INFO_2W* printer);
// Moves every parked printer back to the product's port (error 22 for one that stays on
// "file:"), removes their journal entries, and releases the list.
void RestoreParkedPrinters(InstallContext& ctx);
// Once the product's port is gone for good: a parked printer that has ports of its own besides
// the "file:" it was parked on loses that entry; one that had only the product's port keeps
// "file:". Releases the list.
void DropParkedFilePorts(InstallContext& ctx);
