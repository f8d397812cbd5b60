// Removing the product's port monitor, with the version check of a reinstall.
#pragma once

#include <windows.h>

#include "monitor/monitor_enum.h"

struct InstallContext;

// Removes "QuillgraphServer:" (a reinstall keeps a monitor of builds 2416 to 2430 and says so in
// installMonitor/copyMonitor), parking the printers on its port when the first attempt is
// refused; its DLL is deleted or added to pendingDeletes. Error 12 when it stays.
void DeleteProductMonitor(InstallContext& ctx, MonitorEnum& monitors);
// The fourth part of the file's product version, or -1.
int ReadFileBuild(LPCWSTR path);
// A monitor DLL of builds 2416 to this installer's works with this driver.
const int kOldestCompatibleMonitorBuild = 2416;
bool IsCompatibleMonitorBuild(int build);
// DeleteMonitorW of the product's monitor; the last error of the refusal stays.
bool TryDeleteMonitor(LPCWSTR environment);
