// Quillgraph port monitor: one port, "QuillgraphServer:", that stores every job it receives
// as a file in the product's data folder (%ProgramData%\Quillgraph\spool).
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

namespace {

const WCHAR kPortName[] = L"QuillgraphServer:";
const WCHAR kMonitorName[] = L"QuillgraphServer:";
const WCHAR kDescription[] = L"Quillgraph virtual printer port";
const WCHAR kPortKey[] = L"Ports\\QuillgraphServer:";
const WCHAR kPortKeyFull[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\QuillgraphServer:\\Ports\\QuillgraphServer:";

struct PortState {
  HANDLE file;
  DWORD jobId;
  WCHAR printer[MAX_PATH];
  WCHAR path[MAX_PATH];
};

void* Alloc(SIZE_T n) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n); }
void Free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

DWORD StringBytes(const WCHAR* s) { return static_cast<DWORD>((lstrlenW(s) + 1) * sizeof(WCHAR)); }

// Strings go to the end of the caller's block, records to its front, as the spooler expects.
WCHAR* PackString(BYTE*& end, const WCHAR* s) {
  DWORD n = StringBytes(s);
  end -= n;
  CopyMemory(end, s, n);
  return reinterpret_cast<WCHAR*>(end);
}

BOOL WINAPI EnumPortsImpl(HANDLE, LPWSTR, DWORD level, LPBYTE ports, DWORD cbBuf, LPDWORD needed,
                          LPDWORD returned) {
  if (!needed || !returned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *returned = 0;
  DWORD size;
  if (level == 1) {
    size = sizeof(PORT_INFO_1W) + StringBytes(kPortName);
  } else if (level == 2) {
    size = sizeof(PORT_INFO_2W) + StringBytes(kPortName) + StringBytes(kMonitorName) +
           StringBytes(kDescription);
  } else {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *needed = size;
  if (!ports || cbBuf < size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* end = ports + size;
  if (level == 1) {
    PORT_INFO_1W* info = reinterpret_cast<PORT_INFO_1W*>(ports);
    info->pName = PackString(end, kPortName);
  } else {
    PORT_INFO_2W* info = reinterpret_cast<PORT_INFO_2W*>(ports);
    info->pPortName = PackString(end, kPortName);
    info->pMonitorName = PackString(end, kMonitorName);
    info->pDescription = PackString(end, kDescription);
    info->fPortType = PORT_TYPE_WRITE;
    info->Reserved = 0;
  }
  *returned = 1;
  return TRUE;
}

BOOL WINAPI OpenPortImpl(HANDLE, LPWSTR name, PHANDLE handle) {
  if (!handle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!name || lstrcmpiW(name, kPortName) != 0) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  PortState* port = static_cast<PortState*>(Alloc(sizeof(PortState)));
  if (!port) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  port->file = INVALID_HANDLE_VALUE;
  *handle = port;
  return TRUE;
}

// Creates the data folder level by level; existing levels are fine.
bool MakeSpoolFolder(WCHAR* dir, DWORD cap) {
  DWORD n = ExpandEnvironmentStringsW(L"%ProgramData%\\Quillgraph\\spool", dir, cap);
  if (n == 0 || n > cap || dir[0] == L'%') {
    // Systems without ProgramData: fall back to the Windows directory's temp.
    n = GetTempPathW(cap - 32, dir);
    if (n == 0 || n > cap - 32) return false;
    lstrcatW(dir, L"Quillgraph");
  }
  for (WCHAR* p = dir; *p; ++p) {
    if ((*p == L'\\' || *p == L'/') && p > dir && p[-1] != L':') {
      WCHAR keep = *p;
      *p = 0;
      CreateDirectoryW(dir, nullptr);
      *p = keep;
    }
  }
  return CreateDirectoryW(dir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

BOOL WINAPI StartDocPortImpl(HANDLE h, LPWSTR printer, DWORD jobId, DWORD, LPBYTE) {
  PortState* port = static_cast<PortState*>(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) {
    CloseHandle(port->file);
    port->file = INVALID_HANDLE_VALUE;
  }
  port->jobId = jobId;
  port->printer[0] = 0;
  if (printer && lstrlenW(printer) < MAX_PATH) lstrcpyW(port->printer, printer);

  WCHAR dir[MAX_PATH];
  if (!MakeSpoolFolder(dir, MAX_PATH - 40)) return FALSE;
  // Job ids repeat across spooler restarts (and are 0 on some spoolers): never overwrite.
  for (DWORD n = 1; n < 10000; ++n) {
    wsprintfW(port->path, L"%s\\job%lu-%lu.prn", dir, jobId, n);
    port->file = CreateFileW(port->path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port->file != INVALID_HANDLE_VALUE) return TRUE;
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return FALSE;
  }
  return FALSE;
}

BOOL WINAPI WritePortImpl(HANDLE h, LPBYTE buffer, DWORD cb, LPDWORD written) {
  PortState* port = static_cast<PortState*>(h);
  if (written) *written = 0;
  if (!port || port->file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD done = 0;
  BOOL ok = WriteFile(port->file, buffer, cb, &done, nullptr);
  if (written) *written = done;
  return ok;
}

BOOL WINAPI ReadPortImpl(HANDLE, LPBYTE, DWORD, LPDWORD read) {
  if (read) *read = 0;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI EndDocPortImpl(HANDLE h) {
  PortState* port = static_cast<PortState*>(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL ok = TRUE;
  if (port->file != INVALID_HANDLE_VALUE) {
    ok = FlushFileBuffers(port->file);
    CloseHandle(port->file);
    port->file = INVALID_HANDLE_VALUE;
  }
  // Tell the spooler the job is through so it leaves the queue.
  if (port->jobId != 0 && port->printer[0]) {
    HANDLE printer = nullptr;
    if (OpenPrinterW(port->printer, &printer, nullptr)) {
      SetJobW(printer, port->jobId, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER);
      ClosePrinter(printer);
    }
  }
  return ok;
}

BOOL WINAPI ClosePortImpl(HANDLE h) {
  PortState* port = static_cast<PortState*>(h);
  if (!port) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (port->file != INVALID_HANDLE_VALUE) CloseHandle(port->file);
  Free(port);
  return TRUE;
}

VOID WINAPI ShutdownImpl(HANDLE) {}

MONITOR2 g_monitor = {};

// Registers our port under the monitor's key; spoolers that route jobs by this key need it.
void RegisterPortKey(PMONITORINIT init) {
  if (init && init->pMonitorReg && init->pMonitorReg->fpCreateKey) {
    HANDLE key = nullptr;
    DWORD disposition = 0;
    LONG rc = init->pMonitorReg->fpCreateKey(init->hckRegistryRoot, kPortKey, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, &disposition, init->hSpooler);
    if (rc == ERROR_SUCCESS) {
      if (init->pMonitorReg->fpCloseKey) init->pMonitorReg->fpCloseKey(key, init->hSpooler);
      return;
    }
  }
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortKeyFull, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) == ERROR_SUCCESS)
    RegCloseKey(key);
}

}  // namespace

extern "C" __declspec(dllexport) LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT init,
                                                                           PHANDLE monitor) {
  if (!init || !monitor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  g_monitor.cbSize = sizeof(MONITOR2);
  g_monitor.pfnEnumPorts = EnumPortsImpl;
  g_monitor.pfnOpenPort = OpenPortImpl;
  g_monitor.pfnStartDocPort = StartDocPortImpl;
  g_monitor.pfnWritePort = WritePortImpl;
  g_monitor.pfnReadPort = ReadPortImpl;
  g_monitor.pfnEndDocPort = EndDocPortImpl;
  g_monitor.pfnClosePort = ClosePortImpl;
  g_monitor.pfnShutdown = ShutdownImpl;
  RegisterPortKey(init);
  *monitor = reinterpret_cast<HANDLE>(&g_monitor);
  return &g_monitor;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
