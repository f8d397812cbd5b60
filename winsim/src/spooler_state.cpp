// Spooler state: reset, helpers shared by the API files, monitor DLL loading across spooler
// stops and starts, and the test-side control API.
#include "spooler_internal.h"

#include "kernel_internal.h"

#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace winsim::spool {
namespace {

constexpr char16_t kSpoolerService[] = u"spooler";
// Ports of the built-in "Local Port" monitor.
const std::vector<std::u16string> kLocalPorts = {u"FILE:", u"LPT1:", u"COM1:"};

// A stopping spooler finishes the deletions it kept pending (their jobs are lost with them), and
// the handles it gave out mean nothing to the next one.
void SpoolerStopped() {
    ++S().run;
    std::vector<uint64_t> pending;
    for (auto& p : S().printers)
        if (p.info.pendingDeletion) pending.push_back(p.id);
    for (uint64_t id : pending) RemovePrinter(id);
}

// Jobs print one after another while the spooler runs and the printer is not paused; a job
// held up starts again from the beginning.
void PrintJobs(uint64_t now) {
    std::vector<uint64_t> busy;
    for (auto& p : S().printers)
        if (p.info.jobs > 0 && p.info.jobMs > 0) busy.push_back(p.id);
    bool running = IsServiceRunning(kSpoolerService);
    for (uint64_t id : busy) {
        Printer* p = FindPrinterById(id);
        if (!running || (p->info.status & PRINTER_STATUS_PAUSED)) {
            p->nextJobEnd = now + p->info.jobMs;
            continue;
        }
        while (p && p->info.jobs > 0 && now >= p->nextJobEnd) {
            p->nextJobEnd += p->info.jobMs;
            EndJobs(p, 1);
            p = FindPrinterById(id);
        }
    }
}

void RegisterListeners() {
    static bool done = false;
    if (done) return;
    done = true;
    OnServiceStateChange([](std::u16string_view name, DWORD state) {
        if (!SameName(name, kSpoolerService)) return;
        if (state == SERVICE_STOPPED) {
            ReleaseAllHolds();
            SpoolerStopped();
        }
        if (state == SERVICE_RUNNING) LoadRegisteredMonitors();
    });
    OnReboot([] {
        // A reboot ends every holder; what the spooler holds now is only what it loads again.
        S().holds.clear();
        SpoolerStopped();
        if (IsServiceRunning(kSpoolerService)) LoadRegisteredMonitors();
    });
    OnClockAdvance(PrintJobs);
}

ResetHook resetHook(2, [] { ResetSpooler(); });

// CloseHandle refuses printer handles; this runs only when the process ends.
struct PrinterHandles {
    PrinterHandles() {
        OnCloseHandle(ObjectKind::Printer, [](uint64_t id) { S().handles.erase(id); });
    }
} printerHandles;

}  // namespace

State& S() {
    static State state;
    return state;
}

void ResetSpooler() {
    RegisterListeners();
    S() = State{};
    std::u16string sys = SystemDir();
    WriteTestFile(sys + u"\\localspl.dll", "MZ localspl");
    WriteTestFile(sys + u"\\tcpmon.dll", "MZ tcpmon");
    for (int env = 0; env < 2; ++env) MakeDirectory(DriverDir(env) + u"\\3");
    RegisterMonitor(u"Local Port", u"localspl.dll");
    RegisterMonitor(u"Standard TCP/IP Port", u"tcpmon.dll");
    S().dllPorts[Upper(u"localspl.dll")] = kLocalPorts;
    if (IsServiceRunning(kSpoolerService)) LoadRegisteredMonitors();
}

// ---- text -----------------------------------------------------------------------

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return out;
}

std::string UpperA(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

bool SameName(std::u16string_view a, std::u16string_view b) { return Upper(a) == Upper(b); }

std::u16string Str(LPCWSTR p) { return p ? std::u16string(p) : std::u16string(); }

std::optional<std::u16string> OptStr(LPCWSTR p) {
    if (!p) return std::nullopt;
    return std::u16string(p);
}

std::u16string Arg(LPCWSTR p) { return p ? std::u16string(p) : std::u16string(u"(null)"); }

std::u16string Arg(LPCSTR p) { return p ? ToU16(p) : std::u16string(u"(null)"); }

std::u16string Num(uint64_t n) { return ToU16(std::to_string(n)); }

std::vector<std::u16string> SplitList(std::u16string_view list, char16_t sep) {
    std::vector<std::u16string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(sep, start);
        if (end == std::u16string_view::npos) end = list.size();
        out.emplace_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::u16string> FromMultiSz(LPCWSTR p) {
    std::vector<std::u16string> out;
    if (!p) return out;
    while (*p) {
        std::u16string s(p);
        p += s.size() + 1;
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<std::u16string> ToMultiSz(const std::vector<std::u16string>& list) {
    if (list.empty()) return std::nullopt;
    std::u16string out;
    for (auto& s : list) {
        out += s;
        out.push_back(u'\0');
    }
    return out;
}

// ---- call entry -------------------------------------------------------------------

bool Enter(std::string_view api, std::u16string_view args) {
    RecordCall(api, args);
    if (TakeFault(api)) return false;
    if (!IsServiceRunning(kSpoolerService)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    return true;
}

bool LocalServer(LPCWSTR name) {
    if (!name || !*name) return true;
    SetLastError(ERROR_INVALID_NAME);
    return false;
}

int EnvIndex(std::u16string_view env) {
    if (SameName(env, kEnvX64)) return 0;
    if (SameName(env, kEnvX86)) return 1;
    return -1;
}

int EnvIndex(LPCWSTR env) {
    // The client takes an empty environment, like a null one, as its own.
    if (!env || !*env) return 0;
    int index = EnvIndex(std::u16string_view(env));
    if (index < 0) SetLastError(ERROR_INVALID_ENVIRONMENT);
    return index;
}

const char16_t* EnvName(int index) { return index == 1 ? kEnvX86 : kEnvX64; }

std::u16string DriverDir(int index) { return index == 1 ? kDriverDirX86 : kDriverDirX64; }

// The spooler loads from the machine's own system directory, whatever a test tells the
// installer through GetSystemDirectoryW.
std::u16string SystemDir() { return kDefaultSystemDir; }

// ---- packed result blocks ------------------------------------------------------

BOOL Pack(const std::vector<Record>& records, LPBYTE buffer, DWORD size, LPDWORD needed) {
    size_t total = 0;
    for (auto& r : records) {
        total += r.fixed.size();
        for (auto& s : r.strings)
            if (s.second) total += (s.second->size() + 1) * sizeof(char16_t);
    }
    auto aligned = [](size_t n) { return (n + 7) & ~static_cast<size_t>(7); };
    size_t fixedTotal = 0;
    for (auto& r : records) fixedTotal += r.fixed.size();
    size_t blobTotal = 0;
    for (auto& r : records)
        for (auto& b : r.blobs) blobTotal += aligned(b.second.size());
    if (blobTotal) total += blobTotal + aligned(fixedTotal) - fixedTotal;
    if (needed) *needed = static_cast<DWORD>(total);
    if (total == 0) return TRUE;  // nothing to return needs no buffer
    if (!buffer || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    size_t at = 0;
    size_t blobAt = aligned(fixedTotal);
    size_t end = size & ~static_cast<size_t>(1);  // strings stay 2-byte aligned
    for (auto& r : records) {
        BYTE* rec = buffer + at;
        std::memcpy(rec, r.fixed.data(), r.fixed.size());
        at += r.fixed.size();
        for (auto& b : r.blobs) {
            BYTE* ptr = buffer + blobAt;
            std::memcpy(ptr, b.second.data(), b.second.size());
            std::memcpy(rec + b.first, &ptr, sizeof(ptr));
            blobAt += aligned(b.second.size());
        }
        for (auto& s : r.strings) {
            LPWSTR ptr = nullptr;
            if (s.second) {
                size_t bytes = (s.second->size() + 1) * sizeof(char16_t);
                end -= bytes;
                std::memcpy(buffer + end, s.second->c_str(), bytes);
                ptr = reinterpret_cast<LPWSTR>(buffer + end);
            }
            std::memcpy(rec + s.first, &ptr, sizeof(ptr));
        }
    }
    return TRUE;
}

// ---- lookups ------------------------------------------------------------------------

SpoolMonitor* FindMonitor(std::u16string_view name) {
    for (auto& m : S().monitors)
        if (SameName(m.name, name)) return &m;
    return nullptr;
}

std::vector<std::u16string> MonitorPorts(const SpoolMonitor& m) {
    if (S().portlessMonitors.count(Upper(m.name))) return {};
    auto it = S().dllPorts.find(Upper(m.dll));
    return it == S().dllPorts.end() ? std::vector<std::u16string>{} : it->second;
}

void RegisterMonitor(std::u16string_view name, std::u16string_view dll) {
    bool shared = false;
    for (auto& m : S().monitors) shared = shared || (SameName(m.dll, dll) && !SameName(m.name, name));
    if (shared)
        S().portlessMonitors.insert(Upper(name));
    else
        S().portlessMonitors.erase(Upper(name));
    if (SpoolMonitor* m = FindMonitor(name))
        m->dll = std::u16string(dll);
    else
        S().monitors.push_back(SpoolMonitor{std::u16string(name), std::u16string(dll)});
}

bool PortKnown(std::u16string_view port) {
    if (SameName(port, u"FILE:")) return true;
    for (auto& m : S().monitors)
        for (auto& p : MonitorPorts(m))
            if (SameName(p, port)) return true;
    return false;
}

SpoolDriver* FindDriverIn(int env, std::u16string_view name) {
    for (auto& d : S().drivers[env])
        if (SameName(d.name, name)) return &d;
    return nullptr;
}

Printer* FindPrinterByName(std::u16string_view name) {
    for (auto& p : S().printers)
        if (SameName(p.info.name, name)) return &p;
    return nullptr;
}

Printer* FindPrinterById(uint64_t id) {
    for (auto& p : S().printers)
        if (p.id == id) return &p;
    return nullptr;
}

Printer* PrinterOf(HANDLE h, HandleInfo** info) {
    uint64_t id = 0;
    auto it = S().handles.end();
    if (LookupHandle(h, ObjectKind::Printer, &id)) it = S().handles.find(id);
    if (it == S().handles.end() || it->second.printerId == 0 || it->second.run != S().run) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (info) *info = &it->second;
    Printer* p = FindPrinterById(it->second.printerId);
    if (!p) SetLastError(ERROR_INVALID_PRINTER_NAME);
    return p;
}

std::u16string HandleName(HANDLE h) {
    uint64_t id = 0;
    if (!LookupHandle(h, ObjectKind::Printer, &id)) return u"(invalid)";
    auto it = S().handles.find(id);
    if (it == S().handles.end()) return u"(invalid)";
    if (it->second.printerId == 0) return u"(server)";
    Printer* p = FindPrinterById(it->second.printerId);
    return p ? p->info.name : u"(deleted)";
}

void RemovePrinter(uint64_t id) {
    auto& list = S().printers;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->id != id) continue;
        if (SameName(it->info.name, S().defaultPrinter)) S().defaultPrinter.clear();
        list.erase(it);
        return;
    }
}

void EndJobs(Printer* p, DWORD count) {
    p->info.jobs = count == 0 || count >= p->info.jobs ? 0 : p->info.jobs - count;
    if (p->info.jobs == 0 && p->info.pendingDeletion) RemovePrinter(p->id);
}

std::string DefaultDevMode(std::u16string_view printer) {
    const WORD kDriverExtra = 16;
    DEVMODEW dm{};
    for (size_t i = 0; i < printer.size() && i + 1 < CCHDEVICENAME; ++i) dm.dmDeviceName[i] = printer[i];
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmDriverVersion = 0x0300;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = kDriverExtra;
    dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
    dm.dmOrientation = DMORIENT_PORTRAIT;
    dm.dmPaperSize = DMPAPER_A4;
    dm.dmCopies = 1;
    std::string bytes(reinterpret_cast<const char*>(&dm), sizeof(dm));
    for (WORD i = 0; i < kDriverExtra; ++i) bytes.push_back(static_cast<char>(0xD0 + i));  // the driver's own
    return bytes;
}

bool ReadDevMode(const DEVMODEW* dm, std::string* bytes) {
    // The members up to dmFields are the least a device mode has.
    if (dm->dmSize < offsetof(DEVMODEW, dmFields) + sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    bytes->assign(reinterpret_cast<const char*>(dm), static_cast<size_t>(dm->dmSize) + dm->dmDriverExtra);
    return true;
}

DWORD ReportedAttributes(const Printer& p) {
    DWORD a = p.info.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
    if (S().reportDefault && !S().defaultPrinter.empty() && SameName(p.info.name, S().defaultPrinter))
        a |= PRINTER_ATTRIBUTE_DEFAULT;
    return a;
}

// ---- printer data -----------------------------------------------------------------------

std::string StoredForm(DWORD type, const std::string& ansiBytes) {
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return ansiBytes;
    std::u16string wide = kernel::Cp1252ToU16(ansiBytes);
    return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(char16_t));
}

std::string AnsiView(const PrinterValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return value.bytes;
    std::u16string wide(value.bytes.size() / 2, u'\0');
    std::memcpy(&wide[0], value.bytes.data(), wide.size() * sizeof(char16_t));
    return kernel::U16ToCp1252(wide);
}

// ---- monitor DLLs ----------------------------------------------------------------------

std::u16string MonitorDllPath(std::u16string_view dll) {
    if (dll.find(u'\\') != std::u16string_view::npos) return std::u16string(dll);
    return SystemDir() + u"\\" + std::u16string(dll);
}

void LoadMonitorDll(std::u16string_view dll) {
    std::u16string key = Upper(dll);
    if (S().holds.count(key)) return;
    std::u16string path = MonitorDllPath(dll);
    if (!FileExists(path)) return;  // a monitor whose DLL is gone does not load
    // Held as a loaded image: readers may share it, deletion is refused.
    S().holds[key] = HoldFile(path, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
}

void UnloadMonitorDll(std::u16string_view dll) {
    auto it = S().holds.find(Upper(dll));
    if (it == S().holds.end()) return;
    ReleaseHold(it->second);
    S().holds.erase(it);
}

void ReleaseAllHolds() {
    for (auto& [dll, hold] : S().holds) ReleaseHold(hold);
    S().holds.clear();
}

void LoadRegisteredMonitors() {
    for (auto& m : S().monitors) LoadMonitorDll(m.dll);
}

}  // namespace winsim::spool

// ---- test-side control ---------------------------------------------------------------

namespace winsim {

using namespace spool;

void AddTestMonitor(std::u16string_view name, std::u16string_view dll) {
    RegisterMonitor(name, dll);
    if (IsServiceRunning(u"spooler")) LoadMonitorDll(dll);
}

std::vector<SpoolMonitor> Monitors() { return S().monitors; }

bool MonitorExists(std::u16string_view name) { return FindMonitor(name) != nullptr; }

void SetMonitorDllPorts(std::u16string_view dll, std::vector<std::u16string> ports) {
    S().dllPorts[Upper(dll)] = std::move(ports);
}

void SetMonitorDllLoadError(std::u16string_view dll, DWORD error) {
    if (error)
        S().dllLoadErrors[Upper(dll)] = error;
    else
        S().dllLoadErrors.erase(Upper(dll));
}

void KeepMonitorDllLoaded(std::u16string_view dll, bool keep) {
    if (keep)
        S().keepLoaded.insert(Upper(dll));
    else
        S().keepLoaded.erase(Upper(dll));
}

std::vector<std::u16string> Ports() {
    std::vector<std::u16string> out;
    auto add = [&](const std::u16string& p) {
        for (auto& q : out)
            if (SameName(p, q)) return;
        out.push_back(p);
    };
    add(u"FILE:");
    for (auto& m : S().monitors)
        for (auto& p : MonitorPorts(m)) add(p);
    return out;
}

bool PortExists(std::u16string_view port) { return PortKnown(port); }

bool SpoolerHoldsDll(std::u16string_view dll) { return S().holds.count(Upper(dll)) > 0; }

void AddTestDriver(const SpoolDriver& driver) {
    int env = EnvIndex(std::u16string_view(driver.environment));
    if (env < 0) return;
    if (SpoolDriver* d = FindDriverIn(env, driver.name))
        *d = driver;
    else
        S().drivers[env].push_back(driver);
}

std::vector<SpoolDriver> Drivers(std::u16string_view environment) {
    int env = EnvIndex(environment);
    if (env < 0) return {};
    return S().drivers[env];
}

std::optional<SpoolDriver> FindDriver(std::u16string_view name, std::u16string_view environment) {
    int env = EnvIndex(environment);
    if (env < 0) return std::nullopt;
    SpoolDriver* d = FindDriverIn(env, name);
    if (!d) return std::nullopt;
    return *d;
}

std::u16string DriverDirectory(std::u16string_view environment) {
    int env = EnvIndex(environment);
    return env < 0 ? std::u16string() : DriverDir(env);
}

void AddTestPrinter(const SpoolPrinter& given) {
    SpoolPrinter printer = given;
    if (printer.devMode.empty()) printer.devMode = DefaultDevMode(printer.name);
    if (Printer* p = FindPrinterByName(printer.name)) {
        p->info = printer;
        p->nextJobEnd = Now() + printer.jobMs;
        return;
    }
    S().printers.push_back(Printer{S().nextPrinterId++, printer, Now() + printer.jobMs});
}

void AddTestConnection(std::u16string_view server, SpoolPrinter printer) {
    printer.name = u"\\\\" + std::u16string(server) + u"\\" + printer.shareName.value_or(printer.name);
    printer.attributes = (printer.attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL)) | PRINTER_ATTRIBUTE_NETWORK;
    printer.connection = true;
    AddTestPrinter(printer);
}

std::vector<SpoolPrinter> Printers() {
    std::vector<SpoolPrinter> out;
    for (auto& p : S().printers) out.push_back(p.info);
    return out;
}

std::optional<SpoolPrinter> FindPrinter(std::u16string_view name) {
    Printer* p = FindPrinterByName(name);
    if (!p) return std::nullopt;
    return p->info;
}

bool PrinterExists(std::u16string_view name) { return FindPrinterByName(name) != nullptr; }

void SetTestPrinterData(std::u16string_view printer, std::string_view key, std::string_view value, DWORD type,
                        std::string bytes) {
    Printer* p = FindPrinterByName(printer);
    if (!p) return;
    std::string k = UpperA(key.empty() ? std::string_view(kPrinterDriverDataKey) : key);
    p->info.data[k][UpperA(value)] = PrinterValue{std::string(value), type, StoredForm(type, bytes)};
}

bool GetTestPrinterData(std::u16string_view printer, std::string_view key, std::string_view value, DWORD* type,
                        std::string* bytes, std::string* stored) {
    Printer* p = FindPrinterByName(printer);
    if (!p) return false;
    auto k = p->info.data.find(UpperA(key.empty() ? std::string_view(kPrinterDriverDataKey) : key));
    if (k == p->info.data.end()) return false;
    auto v = k->second.find(UpperA(value));
    if (v == k->second.end()) return false;
    if (type) *type = v->second.type;
    if (bytes) *bytes = AnsiView(v->second);
    if (stored) *stored = v->second.bytes;
    return true;
}

void AddJobs(std::u16string_view printer, DWORD count, DWORD msEach) {
    Printer* p = FindPrinterByName(printer);
    if (!p) return;
    if (p->info.jobs == 0 || msEach != p->info.jobMs) p->nextJobEnd = Now() + msEach;
    p->info.jobs += count;
    p->info.jobMs = msEach;
}

void ClearJobs(std::u16string_view printer) {
    if (Printer* p = FindPrinterByName(printer)) EndJobs(p, 0);
}

std::u16string DefaultPrinter() { return S().defaultPrinter; }

void SetTestDefaultPrinter(std::u16string_view name) { S().defaultPrinter = std::u16string(name); }

void ReportDefaultAttribute(bool on) { S().reportDefault = on; }

void AnsiPrinterDataAsksWideSize(bool on) { S().ansiDataWideSize = on; }

}  // namespace winsim
