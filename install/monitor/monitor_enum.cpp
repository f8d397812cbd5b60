// Enumerating the port monitors and finding the product's own among them.
#include "monitor/monitor_enum.h"

#include "run/install_context.h"
#include "run/two_call_query.h"
#include "run/text_compare.h"

namespace {

// Logs one "failed with code" line with the system's text for the current last error.
void LogEnumFailure(InstallContext& ctx, LPCSTR format) {
    OwnedLocal<WCHAR> text = SystemErrorText(GetLastError());
    LogPrint(ctx, format, text ? text.get() : TEXT("No Error or no description"));
}

}  // namespace

void EnumerateMonitors(MonitorEnum& monitors, InstallContext& ctx) {
    monitors.level = 2;
    monitors.monitors = nullptr;
    monitors.monitorCount = 0;
    monitors.error = 0;
    QueryAnswer answer;
    QueryCall call = [](void* count, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        return EnumMonitorsW(nullptr, 2, buffer, size, needed, static_cast<DWORD*>(count));
    };
    QueryResult result = QueryTwice(answer, call, &monitors.monitorCount);
    switch (result) {
        case QueryResult::Filled:
            monitors.monitors = answer.block.release();
            return;
        case QueryResult::AnsweredEmpty:
            LogPrint(ctx, "1. EnumMonitors returns true");
            return;
        case QueryResult::NoMemory:
            monitors.monitorCount = 0;
            monitors.error = GetLastError();
            LogPrint(ctx, "3. EnumMonitors - can't allocate memory for buffer");
            return;
        case QueryResult::Failed:
            monitors.monitorCount = 0;
            monitors.error = GetLastError();
            // A block means the size query went through and the second call failed.
            LogEnumFailure(ctx, answer.block ? "3. EnumMonitors  failed with code: %s"
                                             : "2. EnumMonitors  failed with code: %s");
            return;
    }
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
    LogPrint(ctx, "------- %d existing monitors ----------", static_cast<int>(monitors.monitorCount));
    const MONITOR_INFO_2W* records = reinterpret_cast<const MONITOR_INFO_2W*>(monitors.monitors);
    for (DWORD i = 0; records != nullptr && i < monitors.monitorCount; ++i) {
        LPCWSTR name = records[i].pName;
        LogPrint(ctx, "%d. %s", static_cast<int>(i + 1), name != nullptr ? name : TEXT("***EMPTY***"));
    }
    LogPrint(ctx, "---------------------------------------");
}

void ReleaseMonitors(MonitorEnum& monitors) {
    if (monitors.monitors) GlobalFree(monitors.monitors);
    monitors.monitors = nullptr;
    monitors.monitorCount = 0;
}

bool ProductMonitorRegistered(InstallContext& ctx) {
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    bool registered = FindProductMonitor(monitors) >= 0;
    ReleaseMonitors(monitors);
    return registered;
}
