// Carrying the product printers' settings across a reinstall.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

void DeleteAllPrinters(InstallContext& ctx);
// False when the printer's settings could not be read or kept (the printer could not be opened,
// or memory ran out); a printer without a SubKey has nothing to keep and counts as saved.
bool SavePrinterSettings(InstallContext& ctx, PRINTER_INFO_2W* printer);
void RestorePrinterSettings(InstallContext& ctx);
void ReadSubKey(HANDLE printer, LPSTR output);
bool WriteSubKey(HANDLE printer, LPCSTR value);
bool ClearDeletedMark(LPCSTR path);
