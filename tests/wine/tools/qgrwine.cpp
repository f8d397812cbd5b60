// Helper of the end-to-end tests under Wine: runs the installer and reports its full exit
// code, reads and closes the log dialog, seeds and inspects spooler, registry and file state.
// Console program; one subcommand per call; output is UTF-8 "key=value" lines.
#include <windows.h>
#include <winspool.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char kTrayMutex[] = "{6E2D41B7-9C3A-4F85-B1D0-7A5E92C3F416}";
const wchar_t kTrayClass[] = L"qgs::{D83A5C19-2E7F-4B60-9A14-C5F0E7B2318D}";
const wchar_t kReleaseEvent[] = L"qgrwine-release";
const wchar_t kFocusTitle[] = L"qgrwine focus";

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

void Out(const std::string& s) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
}
void Line(const std::string& key, const std::wstring& value) { Out(key + "=" + Utf8(value) + "\n"); }
void Line(const std::string& key, const std::string& value) { Out(key + "=" + value + "\n"); }
std::wstring Str(const wchar_t* s) { return s ? std::wstring(s) : std::wstring(L"(null)"); }
std::string Num(unsigned long v) { return std::to_string(v); }
std::string Hex(unsigned long v) {
  char buf[16];
  wsprintfA(buf, "0x%08lx", v);
  return buf;
}

// Two-call pattern for the spooler's enumerations.
template <typename Call>
std::vector<BYTE> Enumerate(Call call, DWORD& count) {
  DWORD needed = 0;
  count = 0;
  std::vector<BYTE> block;
  if (call(nullptr, 0, &needed, &count)) return block;
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return block;
  block.resize(needed);
  if (!call(block.data(), needed, &needed, &count)) {
    count = 0;
    block.clear();
  }
  return block;
}

std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring q = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

// run <timeout ms> <exe> [args...]: the full 32-bit exit code (wine's own is cut to 8 bits).
int Run(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[2]));
  std::wstring cmd = Quote(argv[3]);
  for (int i = 4; i < argc; ++i) cmd += L" " + Quote(argv[i]);
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof(pi));
  DWORD start = GetTickCount();
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    Line("error", "CreateProcessW " + Num(GetLastError()));
    return 3;
  }
  CloseHandle(pi.hThread);
  DWORD wait = WaitForSingleObject(pi.hProcess, timeout);
  if (wait != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 0xDEAD);
    CloseHandle(pi.hProcess);
    Line("exitcode", std::string("timeout"));
    return 124;
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  Line("elapsed_ms", Num(GetTickCount() - start));
  Line("exitcode", Num(code) + " (" + Hex(code) + ")");
  return 0;
}

struct DialogSearch {
  const wchar_t* prefix;
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  DialogSearch* search = reinterpret_cast<DialogSearch*>(param);
  wchar_t cls[64] = {0};
  wchar_t title[512] = {0};
  GetClassNameW(window, cls, 64);
  if (lstrcmpW(cls, L"#32770") != 0) return TRUE;
  GetWindowTextW(window, title, 512);
  if (std::wstring(title).rfind(search->prefix, 0) == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

std::wstring WindowText(HWND window) {
  // WM_GETTEXT works across processes; GetWindowTextW does not for other processes' controls.
  LRESULT n = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  LRESULT got = SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(got));
  return text;
}

// dialog <title prefix> <timeout ms> [keep]: finds the log dialog, prints its title and the
// text of control 1001, then presses its Close button (unless "keep").
int Dialog(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  DialogSearch search = {argv[2], nullptr};
  DWORD timeout = static_cast<DWORD>(_wtoi(argv[3]));
  DWORD start = GetTickCount();
  while (!search.found) {
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found) break;
    if (GetTickCount() - start > timeout) {
      Line("dialog", std::string("none"));
      return 1;
    }
    Sleep(50);
  }
  HWND dialog = search.found;
  Line("dialog", std::string("found"));
  Line("title", WindowText(dialog));
  HWND edit = GetDlgItem(dialog, 1001);
  Line("edit", std::string(edit ? "1001" : "missing"));
  Out("text-begin\n" + Utf8(edit ? WindowText(edit) : std::wstring()) + "\ntext-end\n");
  LONG style = edit ? GetWindowLongW(edit, GWL_STYLE) : 0;
  Line("edit.readonly", std::string((style & ES_READONLY) ? "1" : "0"));
  if (argc > 4 && lstrcmpW(argv[4], L"keep") == 0) return 0;
  HWND close = GetDlgItem(dialog, IDOK);
  Line("button", close ? WindowText(close) : std::wstring(L"missing"));
  if (!close) return 1;
  // A click on the button, delivered as the button's own notification to the dialog.
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(close));
  start = GetTickCount();
  while (IsWindow(dialog)) {
    if (GetTickCount() - start > 5000) {
      Line("closed", std::string("0"));
      return 1;
    }
    Sleep(20);
  }
  Line("closed", std::string("1"));
  return 0;
}

std::string ReadSubKey(HANDLE printer, bool keyed) {
  char value[260] = {0};
  DWORD type = 0, needed = 0;
  DWORD rc = keyed ? GetPrinterDataExA(printer, "DsUser", "SubKey", &type, reinterpret_cast<BYTE*>(value),
                                       sizeof(value) - 1, &needed)
                   : GetPrinterDataA(printer, const_cast<char*>("SubKey"), &type, reinterpret_cast<BYTE*>(value),
                                     sizeof(value) - 1, &needed);
  if (rc != ERROR_SUCCESS) return "(none)";
  if (type != REG_SZ) return "(type " + Num(type) + ")";
  return value;
}

void InspectPrinters() {
  DWORD count = 0;
  std::vector<BYTE> block = Enumerate(
      [](BYTE* buf, DWORD size, DWORD* needed, DWORD* n) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, buf, size, needed, n);
      },
      count);
  Line("printers", Num(count));
  const PRINTER_INFO_2W* info = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i) {
    const PRINTER_INFO_2W& p = info[i];
    std::wstring line = Str(p.pPrinterName) + L"|port=" + Str(p.pPortName) + L"|driver=" + Str(p.pDriverName) +
                        L"|comment=" + Str(p.pComment) + L"|location=" + Str(p.pLocation) + L"|share=" +
                        Str(p.pShareName) + L"|datatype=" + Str(p.pDatatype) + L"|processor=" +
                        Str(p.pPrintProcessor);
    Out("printer=" + Utf8(line) + "|attributes=" + Hex(p.Attributes) + "\n");
    HANDLE h = nullptr;
    if (OpenPrinterW(p.pPrinterName, &h, nullptr)) {
      Out("subkey=" + Utf8(Str(p.pPrinterName)) + "|plain=" + ReadSubKey(h, false) + "|dsuser=" +
          ReadSubKey(h, true) + "\n");
      ClosePrinter(h);
    } else {
      Out("subkey=" + Utf8(Str(p.pPrinterName)) + "|open-failed=" + Num(GetLastError()) + "\n");
    }
  }
}

void InspectDrivers(const wchar_t* env) {
  DWORD count = 0;
  std::vector<BYTE> block = Enumerate(
      [env](BYTE* buf, DWORD size, DWORD* needed, DWORD* n) {
        return EnumPrinterDriversW(nullptr, const_cast<wchar_t*>(env), 3, buf, size, needed, n);
      },
      count);
  Line("drivers[" + Utf8(env) + "]", Num(count));
  const DRIVER_INFO_3W* info = reinterpret_cast<const DRIVER_INFO_3W*>(block.data());
  for (DWORD i = 0; i < count; ++i) {
    const DRIVER_INFO_3W& d = info[i];
    Line("driver[" + Utf8(env) + "]", Str(d.pName) + L"|version=" + std::to_wstring(d.cVersion) + L"|driver=" +
                                          Str(d.pDriverPath) + L"|data=" + Str(d.pDataFile) + L"|config=" +
                                          Str(d.pConfigFile) + L"|help=" + Str(d.pHelpFile));
  }
}

std::wstring DriverDir(const wchar_t* env) {
  wchar_t dir[MAX_PATH * 2] = {0};
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(env), 1, reinterpret_cast<BYTE*>(dir),
                                  sizeof(dir), &needed))
    return std::wstring();
  return dir;
}

void InspectFile(const std::wstring& path) {
  DWORD attr = GetFileAttributesW(path.c_str());
  Line("file", path + (attr == INVALID_FILE_ATTRIBUTES ? L"|missing" : L"|exists"));
}

void InspectPending() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    Line("pending", std::string("(no key)"));
    return;
  }
  DWORD type = 0, size = 0;
  LONG rc = RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS || size == 0) {
    Line("pending", std::string("(none)"));
    RegCloseKey(key);
    return;
  }
  std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
  RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                   &size);
  RegCloseKey(key);
  size_t n = size / sizeof(wchar_t), i = 0;
  while (i < n && data[i]) {
    std::wstring src(&data[i]);
    i += src.size() + 1;
    std::wstring dst = i < n ? std::wstring(&data[i]) : std::wstring();
    i += dst.size() + 1;
    Line("pending", src + L" -> " + (dst.empty() ? std::wstring(L"(delete)") : dst));
  }
}

void InspectRunValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    Line("run", std::string("(no key)"));
    return;
  }
  wchar_t value[1024] = {0};
  DWORD type = 0, size = sizeof(value) - sizeof(wchar_t);
  LONG rc = RegQueryValueExW(key, L"QuillgraphTray", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS)
    Line("run", std::string("(none)"));
  else
    Line("run", std::wstring(value) + L"|type=" + std::to_wstring(type) + L"|bytes=" + std::to_wstring(size));
}

void InspectTray() {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kTrayMutex);
  Line("tray.mutex", std::string(mutex ? "1" : "0"));
  if (mutex) CloseHandle(mutex);
  Line("tray.window", std::string(FindWindowW(kTrayClass, nullptr) ? "1" : "0"));
}

void InspectDeletedMarks() {
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Corvane Software KFT\\Quillgraph\\Quillgraphs", 0, KEY_READ,
                    &root) != ERROR_SUCCESS)
    return;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof(name);
    if (RegEnumKeyExA(root, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY key = nullptr;
    bool marked = false;
    if (RegOpenKeyExA(root, name, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      marked = RegQueryValueExA(key, "deleted", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
    Line("settings", std::string(name) + "|deleted=" + (marked ? "1" : "0"));
  }
  RegCloseKey(root);
}

// waittray <timeout ms>: the tray is started without waiting for it; give it time to show its
// window before the state is read.
int WaitTray(int argc, wchar_t** argv) {
  DWORD timeout = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 10000;
  DWORD start = GetTickCount();
  while (!FindWindowW(kTrayClass, nullptr)) {
    if (GetTickCount() - start > timeout) {
      Line("waittray", std::string("timeout"));
      return 1;
    }
    Sleep(50);
  }
  Line("waittray", Num(GetTickCount() - start) + " ms");
  return 0;
}

bool Start(const wchar_t* exe, PROCESS_INFORMATION& pi) {
  std::wstring cmd = Quote(exe);
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof(si));
  si.cb = sizeof(si);
  ZeroMemory(&pi, sizeof(pi));
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  return true;
}

// traycontract <qgrtray.exe>: one instance only, the agreed window class, quits on 0x402 and
// releases the mutex (not abandoned).
int TrayContract(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  PROCESS_INFORMATION first, second;
  if (!Start(argv[2], first)) {
    Line("start", "failed " + Num(GetLastError()));
    return 1;
  }
  DWORD start = GetTickCount();
  HWND window = nullptr;
  while (!(window = FindWindowW(kTrayClass, nullptr)) && GetTickCount() - start < 15000) Sleep(20);
  Line("window", std::string(window ? "found" : "none"));
  if (!window) return 1;
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kTrayMutex);
  Line("mutex", std::string(mutex ? "held" : "none"));
  DWORD code = 0xFFFFFFFF;
  if (Start(argv[2], second)) {
    DWORD w = WaitForSingleObject(second.hProcess, 15000);
    GetExitCodeProcess(second.hProcess, &code);
    CloseHandle(second.hProcess);
    Line("second", std::string(w == WAIT_OBJECT_0 ? "exited " : "running ") + Num(code));
  }
  Line("windows.after.second", std::string(FindWindowW(kTrayClass, nullptr) == window ? "same" : "changed"));
  DWORD posted = GetTickCount();
  PostMessageW(window, 0x402, 0, 0);
  DWORD w = mutex ? WaitForSingleObject(mutex, 5000) : WAIT_FAILED;
  Line("quit", std::string(w == WAIT_OBJECT_0 ? "released" : w == WAIT_ABANDONED ? "abandoned" : "timeout"));
  if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ReleaseMutex(mutex);
  DWORD e = WaitForSingleObject(first.hProcess, 5000);
  GetExitCodeProcess(first.hProcess, &code);
  Line("first", std::string(e == WAIT_OBJECT_0 ? "exited " : "running ") + Num(code));
  Line("exit_ms", Num(GetTickCount() - posted));
  Line("window.after.quit", std::string(FindWindowW(kTrayClass, nullptr) ? "present" : "gone"));
  CloseHandle(first.hProcess);
  if (mutex) CloseHandle(mutex);
  return 0;
}

// inspect [extra files...]: the state an install or uninstall leaves behind.
int Inspect(int argc, wchar_t** argv) {
  DWORD count = 0;
  std::vector<BYTE> block = Enumerate(
      [](BYTE* buf, DWORD size, DWORD* needed, DWORD* n) { return EnumMonitorsW(nullptr, 2, buf, size, needed, n); },
      count);
  Line("monitors", Num(count));
  const MONITOR_INFO_2W* mon = reinterpret_cast<const MONITOR_INFO_2W*>(block.data());
  for (DWORD i = 0; i < count; ++i)
    Line("monitor", Str(mon[i].pName) + L"|env=" + Str(mon[i].pEnvironment) + L"|dll=" + Str(mon[i].pDLLName));
  InspectDrivers(L"Windows x64");
  InspectDrivers(L"Windows NT x86");
  InspectPrinters();
  wchar_t def[512] = {0};
  DWORD n = 512;
  Line("default", GetDefaultPrinterW(def, &n) ? std::wstring(def) : std::wstring(L"(none)"));
  InspectRunValue();
  InspectPending();
  InspectTray();
  InspectDeletedMarks();
  wchar_t sys[MAX_PATH] = {0};
  GetSystemDirectoryW(sys, MAX_PATH);
  InspectFile(std::wstring(sys) + L"\\vmqmon64.dll");
  const wchar_t* x64[] = {L"vmqdrv64.dll", L"vmqui64.dll", L"vmqhelp.chm"};
  const wchar_t* x86[] = {L"vmqdrv32.dll", L"vmqui32.dll", L"vmqhelp.chm"};
  std::wstring d64 = DriverDir(L"Windows x64"), d86 = DriverDir(L"Windows NT x86");
  for (const wchar_t* f : x64) {
    InspectFile(d64 + L"\\" + f);
    InspectFile(d64 + L"\\3\\" + f);
  }
  for (const wchar_t* f : x86) {
    InspectFile(d86 + L"\\" + f);
    InspectFile(d86 + L"\\3\\" + f);
  }
  for (int i = 2; i < argc; ++i) InspectFile(argv[i]);
  return 0;
}

// seed <name> <subkey> <comment> <location> [default] [share=<share name>]: a product printer as
// an earlier install would have left it, with its per-user settings key marked "deleted".
int Seed(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  bool makeDefault = false;
  const wchar_t* shareName = nullptr;
  for (int i = 6; i < argc; ++i) {
    if (lstrcmpW(argv[i], L"default") == 0) makeDefault = true;
    if (wcsncmp(argv[i], L"share=", 6) == 0) shareName = argv[i] + 6;
  }
  PRINTER_INFO_2W info;
  ZeroMemory(&info, sizeof(info));
  info.pPrinterName = argv[2];
  info.pPortName = const_cast<wchar_t*>(L"QuillgraphServer:");
  info.pDriverName = const_cast<wchar_t*>(L"Quillgraph Server");
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  info.pComment = argv[4];
  info.pLocation = argv[5];
  if (shareName) {
    info.Attributes = PRINTER_ATTRIBUTE_SHARED;
    info.pShareName = const_cast<wchar_t*>(shareName);
  }
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!h) {
    Line("seed", "AddPrinterW failed " + Num(GetLastError()));
    return 1;
  }
  std::string sub = Utf8(argv[3]);
  DWORD a = SetPrinterDataA(h, const_cast<char*>("SubKey"), REG_SZ, reinterpret_cast<BYTE*>(&sub[0]),
                            static_cast<DWORD>(sub.size() + 1));
  DWORD b = SetPrinterDataExA(h, "DsUser", "SubKey", REG_SZ, reinterpret_cast<BYTE*>(&sub[0]),
                              static_cast<DWORD>(sub.size() + 1));
  ClosePrinter(h);
  HKEY key = nullptr;
  std::string path = "Software\\Corvane Software KFT\\Quillgraph\\Quillgraphs\\" + sub;
  DWORD one = 1;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExA(key, "deleted", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof(one));
    RegCloseKey(key);
  }
  if (makeDefault && !SetDefaultPrinterW(argv[2])) {
    Line("seed", "SetDefaultPrinterW failed " + Num(GetLastError()));
    return 1;
  }
  Line("seed", "ok|" + Num(a) + "|" + Num(b));
  return (a == 0 && b == 0) ? 0 : 1;
}

// other <printer> <ports> <driver dll> <ui dll>: another maker's printer (x64 driver "Other Maker
// Driver" made from the given files, copied under names of its own) on a port list of its own.
int Other(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  const std::wstring dir = L"C:\\other";
  CreateDirectoryW(dir.c_str(), nullptr);
  std::wstring driverFile = dir + L"\\othdrv64.dll", uiFile = dir + L"\\othui64.dll";
  if (!CopyFileW(argv[4], driverFile.c_str(), FALSE) || !CopyFileW(argv[5], uiFile.c_str(), FALSE)) {
    Line("other", "CopyFileW failed " + Num(GetLastError()));
    return 1;
  }
  DRIVER_INFO_3W driver;
  ZeroMemory(&driver, sizeof(driver));
  driver.cVersion = 3;
  driver.pName = const_cast<wchar_t*>(L"Other Maker Driver");
  driver.pEnvironment = const_cast<wchar_t*>(L"Windows x64");
  driver.pDriverPath = &driverFile[0];
  driver.pDataFile = &driverFile[0];
  driver.pConfigFile = &uiFile[0];
  if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES)) {
    Line("other", "AddPrinterDriverExW failed " + Num(GetLastError()));
    return 1;
  }
  PRINTER_INFO_2W info;
  ZeroMemory(&info, sizeof(info));
  info.pPrinterName = argv[2];
  info.pPortName = argv[3];
  info.pDriverName = driver.pName;
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (!h) {
    Line("other", "AddPrinterW failed " + Num(GetLastError()));
    return 1;
  }
  ClosePrinter(h);
  Line("other", "ok");
  return 0;
}

// pend <source> [destination]: a reboot-time rename (or deletion) as another program leaves it.
int Pend(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  BOOL ok = MoveFileExW(argv[2], argc > 3 ? argv[3] : nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  Line("pend", ok ? std::string("ok") : "failed " + Num(GetLastError()));
  return ok ? 0 : 1;
}

// hold <dll> <timeout ms>: keeps a DLL loaded, as the spooler holds its monitor, until
// "release" or the timeout.
int Hold(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  HMODULE module = LoadLibraryW(argv[2]);
  if (!module) {
    Line("hold", "LoadLibraryW failed " + Num(GetLastError()));
    return 1;
  }
  Line("hold", std::string("loaded"));
  WaitForSingleObject(release, static_cast<DWORD>(_wtoi(argv[3])));
  FreeLibrary(module);
  CloseHandle(release);
  return 0;
}

int Release() {
  HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReleaseEvent);
  if (!release) return 1;
  SetEvent(release);
  CloseHandle(release);
  return 0;
}

// load <dll>: the DLL loads here and exports the monitor's entry point.
int Load(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HMODULE module = LoadLibraryW(argv[2]);
  if (!module) {
    Line("load", "failed " + Num(GetLastError()));
    return 1;
  }
  bool entry = GetProcAddress(module, "InitializePrintMonitor2") != nullptr;
  Line("load", std::string(entry ? "ok" : "no-entry"));
  FreeLibrary(module);
  return entry ? 0 : 1;
}

// version <file>: the product version from the file's version resource.
int Version(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(argv[2], &handle);
  if (size == 0) {
    Line("version", "none " + Num(GetLastError()));
    return 1;
  }
  std::vector<BYTE> data(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT len = 0;
  if (!GetFileVersionInfoW(argv[2], 0, size, data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &len) || !info) {
    Line("version", std::string("unreadable"));
    return 1;
  }
  Line("version", Num(HIWORD(info->dwProductVersionMS)) + "." + Num(LOWORD(info->dwProductVersionMS)) + "." +
                      Num(HIWORD(info->dwProductVersionLS)) + "." + Num(LOWORD(info->dwProductVersionLS)));
  return 0;
}

// deldriver <environment> <driver>: removes a driver registration (flag 0: Wine refuses others).
int DelDriver(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  BOOL ok = DeletePrinterDriverExW(nullptr, argv[2], argv[3], 0, 0);
  Line("deldriver", ok ? std::string("ok") : "failed " + Num(GetLastError()));
  return ok ? 0 : 1;
}

// message <module> <id> <insert>: the module's message <id> formatted with one insertion string,
// as Event Viewer renders an event of a source whose message file the module is.
int Message(int argc, wchar_t** argv) {
  if (argc < 5) return 2;
  HMODULE module = LoadLibraryExW(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    Line("message", "load failed " + Num(GetLastError()));
    return 1;
  }
  wchar_t text[256] = {};
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(argv[4])};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                           static_cast<DWORD>(_wtoi(argv[3])), 0, text, 256, reinterpret_cast<va_list*>(inserts));
  Line("message", n ? "[" + Utf8(text) + "]" : "failed " + Num(GetLastError()));
  FreeLibrary(module);
  return n ? 0 : 1;
}

// print <printer> <text>: one RAW job through the spooler.
int Print(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  HANDLE h = nullptr;
  if (!OpenPrinterW(argv[2], &h, nullptr)) {
    Line("print", "OpenPrinterW failed " + Num(GetLastError()));
    return 1;
  }
  DOC_INFO_1W doc = {const_cast<wchar_t*>(L"qgrwine job"), nullptr, const_cast<wchar_t*>(L"RAW")};
  std::string text = Utf8(argv[3]);
  DWORD written = 0;
  bool ok = StartDocPrinterW(h, 1, reinterpret_cast<BYTE*>(&doc)) != 0;
  ok = ok && StartPagePrinter(h);
  ok = ok && WritePrinter(h, &text[0], static_cast<DWORD>(text.size()), &written) && written == text.size();
  ok = ok && EndPagePrinter(h);
  ok = ok && EndDocPrinter(h);
  DWORD err = GetLastError();
  ClosePrinter(h);
  Line("print", ok ? std::string("ok") : "failed " + Num(err));
  return ok ? 0 : 1;
}

LRESULT CALLBACK FocusProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(w, m, wp, lp);
}

// focus <timeout ms>: a visible window that can take the X focus, so that key presses reach
// Wine's key state; ends on "release" or the timeout.
int Focus(int argc, wchar_t** argv) {
  DWORD timeout = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30000;
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent);
  WNDCLASSW wc;
  ZeroMemory(&wc, sizeof(wc));
  wc.lpfnWndProc = FocusProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"qgrwine.focus";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, kFocusTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100,
                           nullptr, nullptr, wc.hInstance, nullptr);
  if (!w) return 1;
  Line("focus", std::string("shown"));
  DWORD start = GetTickCount();
  MSG msg;
  while (GetTickCount() - start < timeout) {
    if (MsgWaitForMultipleObjects(1, &release, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) break;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  Line("shift", Hex(static_cast<unsigned short>(GetAsyncKeyState(VK_SHIFT))));
  DestroyWindow(w);
  CloseHandle(release);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring cmd = argv[1];
  if (cmd == L"noop") return 0;
  if (cmd == L"run") return Run(argc, argv);
  if (cmd == L"dialog") return Dialog(argc, argv);
  if (cmd == L"inspect") return Inspect(argc, argv);
  if (cmd == L"waittray") return WaitTray(argc, argv);
  if (cmd == L"traycontract") return TrayContract(argc, argv);
  if (cmd == L"seed") return Seed(argc, argv);
  if (cmd == L"other") return Other(argc, argv);
  if (cmd == L"pend") return Pend(argc, argv);
  if (cmd == L"hold") return Hold(argc, argv);
  if (cmd == L"release") return Release();
  if (cmd == L"load") return Load(argc, argv);
  if (cmd == L"version") return Version(argc, argv);
  if (cmd == L"print") return Print(argc, argv);
  if (cmd == L"deldriver") return DelDriver(argc, argv);
  if (cmd == L"message") return Message(argc, argv);
  if (cmd == L"focus") return Focus(argc, argv);
  Line("error", "unknown subcommand " + Utf8(cmd));
  return 2;
}
