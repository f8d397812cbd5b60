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

void AddProductDriver(InstallContext& ctx);
void DeleteProductDriver(InstallContext& ctx, DriverEnum& drivers);
void EnumerateDrivers(DriverEnum& drivers, LPCWSTR environment);
int FindProductDriver(const DriverEnum& drivers);
bool TryAddDriver(DRIVER_INFO_6W& info);
DRIVER_INFO_2W* QueryPrinterDriverInfo(HANDLE printer);
