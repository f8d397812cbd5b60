// One enumeration of the port monitors, the product monitor's lookup and the log listing.
#pragma once

#include <windows.h>
#include <winspool.h>

struct InstallContext;

struct MonitorEnum {
    BYTE* monitors;
    DWORD level;
    DWORD monitorCount;
    // 0, or the error that kept the enumeration from answering: then the list says nothing.
    DWORD error;
};

void EnumerateMonitors(MonitorEnum& monitors, InstallContext& ctx);
int FindProductMonitor(const MonitorEnum& monitors);
void LogMonitorList(InstallContext& ctx, const MonitorEnum& monitors);
