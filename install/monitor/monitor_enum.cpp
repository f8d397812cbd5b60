// Enumerating the port monitors and finding the product's own among them.
#include "monitor/monitor_enum.h"

#include "run/install_context.h"
#include "run/text_compare.h"

namespace {

// Logs one "failed with code" line with the system's text for the current last error.
void LogEnumFailure(InstallContext& ctx, LPCWSTR format) {
    DWORD error = GetLastError();
    LPWSTR text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, error, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 && text != nullptr) {
        LocalFree(text);
        text = nullptr;
    }
    LogPrint(ctx, format, text != nullptr ? text : TEXT("No Error or no description"));
    if (text != nullptr) LocalFree(text);
    SetLastError(error);
}


}  // namespace

void EnumerateMonitors(MonitorEnum& monitors, InstallContext& ctx) {
    monitors.level = 2;
    monitors.monitors = nullptr;
    monitors.monitorCount = 0;
    monitors.error = 0;
    DWORD needed = 0;
    if (EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &monitors.monitorCount)) {
        LogPrint(ctx, TEXT("1. EnumMonitors returns true"));
        return;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        monitors.monitorCount = 0;
        monitors.error = GetLastError();
        LogEnumFailure(ctx, TEXT("2. EnumMonitors  failed with code: %s"));
        return;
    }
    BYTE* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, needed));
    if (block == nullptr) {
        monitors.monitorCount = 0;
        LogPrint(ctx, TEXT("3. EnumMonitors - can't allocate memory for buffer"));
        monitors.error = static_cast<DWORD>(E_OUTOFMEMORY);
        SetLastError(monitors.error);
        return;
    }
    monitors.monitors = block;
    if (EnumMonitorsW(nullptr, 2, block, needed, &needed, &monitors.monitorCount)) return;
    LogEnumFailure(ctx, TEXT("3. EnumMonitors  failed with code: %s"));
    monitors.error = GetLastError();
    GlobalFree(block);
    monitors.monitors = nullptr;
    monitors.monitorCount = 0;
    SetLastError(monitors.error);
}

int FindProductMonitor(const MonitorEnum& monitors) {
    if (monitors.monitorCount == 0 || monitors.monitors == nullptr) return -1;
    for (DWORD i = 0; i < monitors.monitorCount; ++i) {
        LPCWSTR name;
        if (monitors.level == 1)
            name = reinterpret_cast<const MONITOR_INFO_1W*>(monitors.monitors)[i].pName;
        else if (monitors.level == 2)
            name = reinterpret_cast<const MONITOR_INFO_2W*>(monitors.monitors)[i].pName;
        else
            return -1;
        if (SameText(name, kProductMonitorName)) return static_cast<int>(i);
    }
    return -1;
}

void LogMonitorList(InstallContext& ctx, const MonitorEnum& monitors) {
    LogPrint(ctx, TEXT("------- %d existing monitors ----------"), static_cast<int>(monitors.monitorCount));
    const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(monitors.monitors);
    for (DWORD i = 0; records != nullptr && i < monitors.monitorCount; ++i) {
        LPCWSTR name = records[i].pName;
        LogPrint(ctx, TEXT("%d. %s"), static_cast<int>(i + 1), name != nullptr ? name : TEXT("***EMPTY***"));
    }
    LogPrint(ctx, TEXT("---------------------------------------"));
}
