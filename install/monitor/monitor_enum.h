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

// Level 2 into a global block the caller releases (ReleaseMonitors); a failure is a plain line,
// leaves the list empty and its error in `error` and the last error.
void EnumerateMonitors(MonitorEnum& monitors, InstallContext& ctx);
void ReleaseMonitors(MonitorEnum& monitors);
// Index of "QuillgraphServer:" in the list, or -1.
int FindProductMonitor(const MonitorEnum& monitors);
void LogMonitorList(InstallContext& ctx, const MonitorEnum& monitors);
// A fresh enumeration names "QuillgraphServer:"; false when it does not or cannot be taken.
bool ProductMonitorRegistered(InstallContext& ctx);
