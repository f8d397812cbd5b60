// Test-only layer over winspool.drv under Wine: a test copy of install.exe loads qgrspool.drv
// from the system directory instead of winspool.drv (the default-printer calls by ordinals 203
// and 204, as winspool.drv exports them). Every call goes on to Wine's winspool.drv; the few calls
// where Wine 8 departs from the documented Windows behaviour get that behaviour here:
//  - AddPrinterW without a data type uses the print processor's default ("RAW") instead of
//    leaving a half-made printer, and refuses an existing name (1802);
//  - DeletePrinterDriverExW refuses a driver that printers use (3001), reports an unknown
//    driver (1797) and honours DPD_DELETE_UNUSED_FILES / DPD_DELETE_ALL_FILES;
//  - DeleteMonitorW refuses a monitor whose port a printer uses (3008);
//  - SetPrinterW level 0 with PRINTER_CONTROL_PURGE deletes the queued jobs.
// For the tests it can also refuse drivers (QGR_REFUSE_DRIVERS) and end the process before a
// given call (QGR_KILL_BEFORE).
#include <windows.h>
#include <winspool.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

template <typename Call>
std::vector<BYTE> Enumerate(Call call, DWORD& count) {
  DWORD needed = 0;
  count = 0;
  std::vector<BYTE> block;
  if (call(nullptr, 0, &needed, &count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return block;
  block.resize(needed);
  if (!call(block.data(), needed, &needed, &count)) {
    count = 0;
    block.clear();
  }
  return block;
}

std::vector<BYTE> Printers(DWORD& count) {
  return Enumerate(
      [](BYTE* b, DWORD s, DWORD* n, DWORD* c) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, b, s, n, c);
      },
      count);
}

bool PortListHas(const wchar_t* list, const std::wstring& port) {
  if (!list) return false;
  std::wstring all(list);
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = all.find(L',', start);
    std::wstring one = all.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
    while (!one.empty() && one[0] == L' ') one.erase(0, 1);
    if (lstrcmpiW(one.c_str(), port.c_str()) == 0) return true;
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  return false;
}

// Ports a monitor provides, from its registry key (Wine keeps them there).
std::vector<std::wstring> MonitorPorts(const wchar_t* monitor) {
  std::vector<std::wstring> ports;
  std::wstring path = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\") + monitor + L"\\Ports";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return ports;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ports.push_back(name);
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace

extern "C" {

// With QGR_KILL_BEFORE=<function>:<n>, the process ends before the n-th call of that function
// reaches the spooler, as a power cut or a deployment tool's time-out ends it: no clean-up, no
// further call. Exit code 99, which the installer never returns.
static void KillBefore(const wchar_t* function) {
  wchar_t setting[64] = {0};
  DWORD length = GetEnvironmentVariableW(L"QGR_KILL_BEFORE", setting, 64);
  if (length == 0 || length >= 64) return;
  std::wstring target(setting);
  size_t colon = target.find(L':');
  if (colon == std::wstring::npos || target.compare(0, colon, function) != 0) return;
  static long calls = 0;
  if (++calls == std::wcstol(target.c_str() + colon + 1, nullptr, 10)) TerminateProcess(GetCurrentProcess(), 99);
}

HANDLE WINAPI Shim_AddPrinterW(LPWSTR server, DWORD level, LPBYTE info) {
  KillBefore(L"AddPrinterW");
  if (level != 2 || !info) return AddPrinterW(server, level, info);
  PRINTER_INFO_2W copy = *reinterpret_cast<PRINTER_INFO_2W*>(info);
  HANDLE existing = nullptr;
  if (copy.pPrinterName && OpenPrinterW(copy.pPrinterName, &existing, nullptr)) {
    ClosePrinter(existing);
    SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
    return nullptr;
  }
  if (!copy.pDatatype) copy.pDatatype = const_cast<wchar_t*>(L"RAW");
  return AddPrinterW(server, 2, reinterpret_cast<LPBYTE>(&copy));
}

BOOL WINAPI Shim_DeletePrinterDriverExW(LPWSTR server, LPWSTR env, LPWSTR driver, DWORD flags, DWORD version) {
  if (server || !driver) return DeletePrinterDriverExW(server, env, driver, flags, version);
  DWORD count = 0;
  std::vector<BYTE> printers = Printers(count);
  const PRINTER_INFO_2W* p = reinterpret_cast<const PRINTER_INFO_2W*>(printers.data());
  for (DWORD i = 0; i < count; ++i) {
    if (p[i].pDriverName && lstrcmpiW(p[i].pDriverName, driver) == 0) {
      SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
      return FALSE;
    }
  }
  DWORD n = 0;
  std::vector<BYTE> drivers = Enumerate(
      [env](BYTE* b, DWORD s, DWORD* nd, DWORD* c) { return EnumPrinterDriversW(nullptr, env, 3, b, s, nd, c); }, n);
  const DRIVER_INFO_3W* d = reinterpret_cast<const DRIVER_INFO_3W*>(drivers.data());
  const DRIVER_INFO_3W* found = nullptr;
  for (DWORD i = 0; i < n; ++i)
    if (d[i].pName && lstrcmpiW(d[i].pName, driver) == 0) found = &d[i];
  if (!found) {
    SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return FALSE;
  }
  std::vector<std::wstring> files;
  for (const wchar_t* f : {found->pDriverPath, found->pDataFile, found->pConfigFile, found->pHelpFile})
    if (f && *f) files.push_back(f);
  for (const wchar_t* dep = found->pDependentFiles; dep && *dep; dep += lstrlenW(dep) + 1) files.push_back(dep);
  if (!DeletePrinterDriverExW(server, env, driver, 0, 0)) return FALSE;
  if (flags & (DPD_DELETE_UNUSED_FILES | DPD_DELETE_ALL_FILES)) {
    for (const std::wstring& f : files) {
      // A loaded file goes at the next reboot, as the spooler does it.
      if (!DeleteFileW(f.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MoveFileExW(f.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI Shim_DeleteMonitorW(LPWSTR server, LPWSTR env, LPWSTR monitor) {
  KillBefore(L"DeleteMonitorW");
  if (!server && monitor) {
    std::vector<std::wstring> ports = MonitorPorts(monitor);
    DWORD count = 0;
    std::vector<BYTE> printers = Printers(count);
    const PRINTER_INFO_2W* p = reinterpret_cast<const PRINTER_INFO_2W*>(printers.data());
    for (DWORD i = 0; i < count; ++i)
      for (const std::wstring& port : ports)
        if (PortListHas(p[i].pPortName, port)) {
          SetLastError(ERROR_PRINT_MONITOR_IN_USE);
          return FALSE;
        }
  }
  return DeleteMonitorW(server, env, monitor);
}

BOOL WINAPI Shim_SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  if (level != 0 || command != PRINTER_CONTROL_PURGE) return SetPrinterW(printer, level, info, command);
  DWORD count = 0;
  std::vector<BYTE> jobs = Enumerate(
      [printer](BYTE* b, DWORD s, DWORD* n, DWORD* c) { return EnumJobsW(printer, 0, 0xFFFF, 1, b, s, n, c); }, count);
  if (jobs.empty() && count == 0 && GetLastError() == ERROR_INVALID_HANDLE) return FALSE;
  const JOB_INFO_1W* j = reinterpret_cast<const JOB_INFO_1W*>(jobs.data());
  for (DWORD i = 0; i < count; ++i) SetJobW(printer, j[i].JobId, 0, nullptr, JOB_CONTROL_DELETE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// With QGR_REFUSE_DRIVERS set, what a policy that blocks third-party printer drivers answers.
BOOL WINAPI Shim_AddPrinterDriverExW(LPWSTR server, DWORD level, LPBYTE info, DWORD flags) {
  if (GetEnvironmentVariableW(L"QGR_REFUSE_DRIVERS", nullptr, 0) != 0) {
    SetLastError(3014);  // ERROR_PRINTER_DRIVER_BLOCKED
    return FALSE;
  }
  return AddPrinterDriverExW(server, level, info, flags);
}

BOOL WINAPI Shim_DeletePrinter(HANDLE printer) {
  KillBefore(L"DeletePrinter");
  return DeletePrinter(printer);
}

// Plain pass-through for everything else the installer imports.
#define PASS(ret, name, params, args) \
  ret WINAPI Shim_##name params { return name args; }

PASS(BOOL, AddMonitorW, (LPWSTR a, DWORD b, LPBYTE c), (a, b, c))
PASS(BOOL, ClosePrinter, (HANDLE a), (a))
PASS(BOOL, EnumMonitorsW, (LPWSTR a, DWORD b, LPBYTE c, DWORD d, LPDWORD e, LPDWORD f), (a, b, c, d, e, f))
PASS(BOOL, EnumPrinterDriversW, (LPWSTR a, LPWSTR b, DWORD c, LPBYTE d, DWORD e, LPDWORD f, LPDWORD g),
     (a, b, c, d, e, f, g))
PASS(BOOL, EnumPrintersW, (DWORD a, LPWSTR b, DWORD c, LPBYTE d, DWORD e, LPDWORD f, LPDWORD g),
     (a, b, c, d, e, f, g))
PASS(BOOL, GetDefaultPrinterW, (LPWSTR a, LPDWORD b), (a, b))
PASS(DWORD, GetPrinterDataA, (HANDLE a, LPSTR b, LPDWORD c, LPBYTE d, DWORD e, LPDWORD f), (a, b, c, d, e, f))
PASS(DWORD, GetPrinterDataExA, (HANDLE a, LPCSTR b, LPCSTR c, LPDWORD d, LPBYTE e, DWORD f, LPDWORD g),
     (a, b, c, d, e, f, g))
PASS(BOOL, GetPrinterDriverDirectoryW, (LPWSTR a, LPWSTR b, DWORD c, LPBYTE d, DWORD e, LPDWORD f),
     (a, b, c, d, e, f))
PASS(BOOL, GetPrinterDriverW, (HANDLE a, LPWSTR b, DWORD c, LPBYTE d, DWORD e, LPDWORD f), (a, b, c, d, e, f))
PASS(BOOL, GetPrinterW, (HANDLE a, DWORD b, LPBYTE c, DWORD d, LPDWORD e), (a, b, c, d, e))
PASS(BOOL, OpenPrinterW, (LPWSTR a, LPHANDLE b, LPPRINTER_DEFAULTSW c), (a, b, c))
PASS(BOOL, SetDefaultPrinterW, (LPCWSTR a), (a))
PASS(DWORD, SetPrinterDataA, (HANDLE a, LPSTR b, DWORD c, LPBYTE d, DWORD e), (a, b, c, d, e))
PASS(DWORD, SetPrinterDataExA, (HANDLE a, LPCSTR b, LPCSTR c, DWORD d, LPBYTE e, DWORD f), (a, b, c, d, e, f))

}  // extern "C"
