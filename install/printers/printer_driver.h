// The product's printer driver per spooler environment.
#pragma once

#include <windows.h>
#include <winspool.h>

struct InstallContext;

struct DriverEnum {
    BYTE* drivers;
    DWORD level;
    DWORD driverCount;
    // 0, or the error that kept the enumeration from answering: then the list says nothing.
    DWORD error;
};

// Stages the driver, UI and help files in the driver directory of the context's environment and
// registers "Quillgraph Server" there (error 13); the staged copies are deleted or left in
// pendingDeletes.
void AddProductDriver(InstallContext& ctx);
// Deletes "Quillgraph Server" of the context's environment, once more after a spooler restart
// (error 14 when it stays).
void DeleteProductDriver(InstallContext& ctx, DriverEnum& drivers);
// Level 6 into a global block the caller releases (ReleaseDrivers); a failure leaves the list
// empty and its error in `error` and the last error.
void EnumerateDrivers(DriverEnum& drivers, LPCWSTR environment);
void ReleaseDrivers(DriverEnum& drivers);
// Index of "Quillgraph Server" in the list, or -1.
int FindProductDriver(const DriverEnum& drivers);
bool TryAddDriver(DRIVER_INFO_6W& info);
// The printer's driver record (level 2, "Windows x64") in a global block the caller releases, or
// null with the last error of the failing call.
DRIVER_INFO_2W* QueryPrinterDriverInfo(HANDLE printer);
