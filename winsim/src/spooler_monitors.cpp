// Port monitors: EnumMonitorsW, AddMonitorW, DeleteMonitorW. A monitor owns the ports it
// created; a second monitor registered for the same DLL owns none of them, so it can be deleted
// while the first one's ports are in use.
#include "spooler_internal.h"

#include <winsim/files.h>

#include <cstddef>

using namespace winsim;
using namespace winsim::spool;

namespace {

bool PrinterUsesPort(const SpoolPrinter& p, std::u16string_view port) {
    for (auto& used : SplitList(p.portName, u','))
        if (SameName(used, port)) return true;
    return false;
}

}  // namespace

extern "C" {

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    if (pcReturned) *pcReturned = 0;
    if (!Enter("EnumMonitorsW", Arg(pName) + u"," + Num(Level))) return FALSE;
    if (!LocalServer(pName)) return FALSE;
    if (Level != 1 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<Record> records;
    for (auto& m : S().monitors) {
        if (Level == 1) {
            Record r = MakeRecord(MONITOR_INFO_1W{});
            r.strings.emplace_back(offsetof(MONITOR_INFO_1W, pName), m.name);
            records.push_back(std::move(r));
        } else {
            Record r = MakeRecord(MONITOR_INFO_2W{});
            r.strings.emplace_back(offsetof(MONITOR_INFO_2W, pName), m.name);
            r.strings.emplace_back(offsetof(MONITOR_INFO_2W, pEnvironment), std::u16string(kEnvX64));
            r.strings.emplace_back(offsetof(MONITOR_INFO_2W, pDLLName), m.dll);
            records.push_back(std::move(r));
        }
    }
    if (!Pack(records, pMonitor, cbBuf, pcbNeeded)) return FALSE;
    *pcReturned = static_cast<DWORD>(records.size());
    return TRUE;
}

BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitors) {
    auto* info = reinterpret_cast<MONITOR_INFO_2W*>(pMonitors);
    std::u16string args = Arg(pName) + u"," + Num(Level);
    if (info && Level == 2)
        args += u"," + Arg(info->pName) + u"," + Arg(info->pEnvironment) + u"," + Arg(info->pDLLName);
    if (!Enter("AddMonitorW", args)) return FALSE;
    if (!LocalServer(pName)) return FALSE;
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!info || !info->pName || !*info->pName || !info->pDLLName || !*info->pDLLName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (EnvIndex(info->pEnvironment) < 0) return FALSE;
    if (FindMonitor(info->pName)) {
        SetLastError(ERROR_PRINT_MONITOR_ALREADY_INSTALLED);
        return FALSE;
    }
    std::u16string dll = info->pDLLName;
    if (!FileExists(MonitorDllPath(dll))) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // The 64-bit spooler loads the DLL into its own process, whatever environment is named.
    if (FileMachine(MonitorDllPath(dll)) != Machine::X64) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return FALSE;
    }
    auto err = S().dllLoadErrors.find(Upper(dll));
    if (err != S().dllLoadErrors.end()) {
        SetLastError(err->second);
        return FALSE;
    }
    RegisterMonitor(info->pName, dll);
    LoadMonitorDll(dll);
    // Windows clears the last error when a monitor is added.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
    if (!Enter("DeleteMonitorW", Arg(pName) + u"," + Arg(pEnvironment) + u"," + Arg(pMonitorName))) return FALSE;
    if (!LocalServer(pName)) return FALSE;
    if (EnvIndex(pEnvironment) < 0) return FALSE;
    if (!pMonitorName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SpoolMonitor* m = FindMonitor(pMonitorName);
    if (!m) {
        SetLastError(ERROR_UNKNOWN_PRINT_MONITOR);
        return FALSE;
    }
    for (auto& port : MonitorPorts(*m)) {
        for (auto& p : S().printers) {
            if (!p.info.connection && PrinterUsesPort(p.info, port)) {
                SetLastError(ERROR_PRINT_MONITOR_IN_USE);
                return FALSE;
            }
        }
    }
    std::u16string dll = m->dll;
    S().portlessMonitors.erase(Upper(m->name));
    auto& list = S().monitors;
    list.erase(list.begin() + (m - list.data()));
    // The same DLL may serve another registered monitor; then it stays loaded.
    for (auto& other : list)
        if (SameName(other.dll, dll)) return TRUE;
    if (!S().keepLoaded.count(Upper(dll))) UnloadMonitorDll(dll);
    return TRUE;
}

}  // extern "C"
