// Carrying the product printers' settings across a reinstall.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

void DeleteAllPrinters(InstallContext& ctx);
void SavePrinterSettings(InstallContext& ctx, PRINTER_INFO_2W* printer);
void RestorePrinterSettings(InstallContext& ctx);
void ReadSubKey(HANDLE printer, LPSTR output);
bool WriteSubKey(HANDLE printer, LPCSTR value);
bool ClearDeletedMark(LPCSTR path);
