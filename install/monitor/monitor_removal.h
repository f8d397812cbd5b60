// Removing the product's port monitor, with the version check of a reinstall.
#pragma once

#include <windows.h>

#include "monitor/monitor_enum.h"

struct InstallContext;

void DeleteProductMonitor(InstallContext& ctx, MonitorEnum& monitors);
int ReadFileBuild(LPCWSTR path);
bool TryDeleteMonitor(LPCWSTR environment);
