// The run's record: directories, current spooler environment, flags, log and the lists
// that operations hand to each other.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "frontend/install_log.h"
#include "frontend/product.h"
#include "printers/printer_enumeration.h"
#include "printers/printer_settings.h"
#include "services/pending_files.h"

struct InstallContext {
    TextBuffer moduleDir;
    TextBuffer systemDir;
    TextBuffer log;
    TextBuffer driverDir;
    LPCWSTR environment;
    LPCWSTR monitorFile;
    LPCWSTR driverFile;
    LPCWSTR helpFile;
    LPCWSTR uiFile;
    BYTE isX64;
    BYTE reinstallMode;
    BYTE installMonitor;
    BYTE copyMonitor;
    LONG errorCount;
    LONG logIndent;
    BYTE bothEnvironments;
    PathList pendingDeletes;
    SavedPrinter* savedSettings;
    PrinterEnumeration printerEnum;
    PRINTER_INFO_2W** portPrinters;
};

// Init flags.
const DWORD kInitBothEnvironments = 1;
const DWORD kInitStartX64 = 2;

// The module instance handle the entry routine received.
extern HINSTANCE g_moduleInstance;

InstallContext& InitContext(InstallContext& ctx, DWORD flags);
void SelectEnvironment(InstallContext& ctx, bool x64);
void FreeContext(InstallContext& ctx);
