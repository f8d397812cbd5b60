// Carrying the product printers' settings across a reinstall.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

// Saves the settings of every product printer of the snapshot (connections are left alone) and
// deletes it; in a reinstall, a printer whose settings cannot be saved stays (error 17).
void DeleteAllPrinters(InstallContext& ctx);
// False when the printer's settings could not be read or kept (the printer could not be opened,
// or memory ran out); a printer without a SubKey has nothing to keep and counts as saved.
bool SavePrinterSettings(InstallContext& ctx, PRINTER_INFO_2W* printer);
// Adds every saved printer again with its SubKey, comment, location, default and sharing, or
// "qgrServer" when none could be added.
void RestorePrinterSettings(InstallContext& ctx);
// The printer's "SubKey" (plain, else under "DsUser") into `output`, which holds at least 64
// bytes: kSubKeyPlain or kSubKeyDsUser where it was read, 0 (all zeros) when neither is a text
// that fits, -1 with the last error of the failing read when a read failed otherwise.
int ReadSubKey(HANDLE printer, LPSTR output);
// Writes the SubKey plain and under "DsUser"; true when both writes succeeded, else the last error
// is the first failing write's.
bool WriteSubKey(HANDLE printer, LPCSTR value);
// Removes the value "deleted" of the per-user settings key "...\Quillgraph\<path>".
bool ClearDeletedMark(LPCSTR path);
