// Single-fault sweep over whole runs: for every platform call a clean run makes, the same run
// again with exactly that call failing, then a clean install. After each run the machine must be
// usable, every bystander untouched and the exit code honest.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

// ---- the machine: bystanders every scenario carries ---------------------------------------

const char16_t kOtherMonitor[] = u"Other Port Monitor";
const char16_t kOtherMonitorDll[] = u"othermon.dll";
const char16_t kOtherPort[] = u"OTHER1:";
const char16_t kOtherDriver[] = u"Other Maker Driver";
const char16_t kOtherPrinter[] = u"Other Maker Printer";
const char16_t kPortSharer[] = u"Port Sharer";
const char16_t kPortSharerPorts[] = u"OTHER1:,QuillgraphServer:";
const char16_t kConnection[] = u"\\\\PRINTSRV\\qgrServer";
const char16_t kOtherDeletion[] = u"\\??\\C:\\Other\\stale.tmp";
const char16_t kOtherRenameFrom[] = u"\\??\\C:\\Other\\update.new";
const char16_t kOtherRenameTo[] = u"!\\??\\C:\\Other\\app.dll";

void AddBystanders() {
    winsim::WriteTestFile(std::u16string(kSystemDirSlash) + kOtherMonitorDll, "other monitor");
    winsim::SetMonitorDllPorts(kOtherMonitorDll, {kOtherPort});
    winsim::AddTestMonitor(kOtherMonitor, kOtherMonitorDll);
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86}) {
        winsim::SpoolDriver driver;
        driver.name = kOtherDriver;
        driver.environment = env;
        driver.driverPath = winsim::DriverDirectory(env) + u"\\3\\othdrv.dll";
        driver.configFile = winsim::DriverDirectory(env) + u"\\3\\othui.dll";
        driver.dataFile = driver.driverPath;
        winsim::WriteTestFile(driver.driverPath, "other driver");
        winsim::WriteTestFile(driver.configFile, "other ui");
        winsim::AddTestDriver(driver);
    }
    winsim::SpoolPrinter other;
    other.name = kOtherPrinter;
    other.portName = kOtherPort;
    other.driverName = kOtherDriver;
    other.comment = u"front desk";
    other.location = u"hall";
    other.shareName = u"Desk";
    other.attributes |= PRINTER_ATTRIBUTE_SHARED;
    winsim::AddTestPrinter(other);
    winsim::SetTestPrinterData(kOtherPrinter, "", "SubKey", REG_SZ, std::string("other-key", 10));
    winsim::AddJobs(kOtherPrinter, 2);
    winsim::SetTestDefaultPrinter(kOtherPrinter);

    winsim::SpoolPrinter sharer;
    sharer.name = kPortSharer;
    sharer.portName = kPortSharerPorts;
    sharer.driverName = kOtherDriver;
    winsim::AddTestPrinter(sharer);

    // A connection to another machine's product printer: what is done to it is done there.
    winsim::SpoolPrinter remote;
    remote.name = u"qgrServer";
    remote.portName = kProductPort;
    remote.driverName = kProductDriver;
    remote.comment = u"shared by the print server";
    remote.jobs = 3;
    winsim::AddTestConnection(u"PRINTSRV", remote);

    winsim::WriteTestFile(u"C:\\Other\\stale.tmp", "stale");
    winsim::WriteTestFile(u"C:\\Other\\update.new", "update");
    winsim::WriteTestFile(u"C:\\Other\\app.dll", "app");
}

std::vector<std::u16string> OtherPendingStrings() {
    return {kOtherDeletion, u"", kOtherRenameFrom, kOtherRenameTo};
}

// ---- scenarios --------------------------------------------------------------------------

enum class Kind { Install, Uninstall, Query };

struct Scenario {
    const char* name;
    const char16_t* command;
    Kind kind;
    void (*prepare)();
    // Longest virtual time the command may wait, from its bounded waits.
    uint64_t maxWaitMs;
    // The command's purpose is to change the default printer.
    bool setsDefault;
};

void Fresh() {}

void Installed() {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"qgrServer", "k-server", u"main", u"floor 1");
    AddInstalledPrinter(u"Quillgraph Second", "k-second", u"second", u"floor 2");
}

// A monitor of an older build is replaced: printers on its port are parked and moved back.
void InstalledOlderMonitor() {
    Installed();
    winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2400);
}

void InstalledWithLockedStagedFile() {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"qgrServer", "k-server");
    const char16_t staged[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\vmqhelp.chm";
    winsim::WriteTestFile(staged, "old help");
    winsim::HoldFile(staged, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_ACCESS_DENIED);
}

void ProductFilePending() {
    SetUpInstalledProduct();
    std::vector<std::u16string> strings = OtherPendingStrings();
    strings.push_back(u"\\??\\" + std::u16string(kMonitorDll));
    strings.push_back(u"");
    SetPendingRenames(strings);
}

void InstalledOnePrinter() {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"qgrServer", "k-server");
}

// The longest each command may wait, summed from its bounded waits: a spooler wait is 50 polls
// of 200 ms, a restart two of them; a copy destination is retried for 10 s; the help windows get
// 100 rounds of 50 ms; the tray gets 20 quit requests of up to 5 s, 10 deletion attempts 100 ms
// apart and a 1 s pause for a missing Run value.
const uint64_t kSpoolerWaitMs = 50 * 200;
const uint64_t kRestartMs = 2 * kSpoolerWaitMs;
const uint64_t kCopyMs = 10000;
const uint64_t kHelpWindowsMs = 100 * 50;
const uint64_t kTrayMs = 20 * 5000 + 10 * 100 + 1000;
// Removal: monitor and both drivers with a restart each; install: a restart for locked files
// before and after, the monitor DLL copied twice around a restart, five registration pauses and
// three driver files per environment.
const uint64_t kRemovalMs = kHelpWindowsMs + kSpoolerWaitMs + kTrayMs + 3 * kRestartMs;
const uint64_t kInstallMaxWaitMs = kRemovalMs + 2 * kRestartMs + (2 * kCopyMs + kRestartMs) + 4 * 50 + 6 * kCopyMs;
const uint64_t kUninstallMaxWaitMs = kRemovalMs + kRestartMs;
const uint64_t kStartupCheckMaxWaitMs = 2 * kRestartMs;

const Scenario kScenarios[] = {
    {"fresh install", u"in", Kind::Install, Fresh, kInstallMaxWaitMs, false},
    {"reinstall", u"in", Kind::Install, Installed, kInstallMaxWaitMs, false},
    {"reinstall, staged file locked", u"in", Kind::Install, InstalledWithLockedStagedFile, kInstallMaxWaitMs, false},
    {"reinstall over an older monitor", u"in", Kind::Install, InstalledOlderMonitor, kInstallMaxWaitMs, false},
    {"uninstall", u"un", Kind::Uninstall, Installed, kUninstallMaxWaitMs, false},
    {"onInit", u"onInit", Kind::Query, ProductFilePending, kStartupCheckMaxWaitMs, false},
    {"onChkDrv", u"onChkDrv", Kind::Query, InstalledOnePrinter, 0, false},
    {"def.set", u"def.set", Kind::Query, InstalledOnePrinter, 0, true},
    {"removetray", u"removetray", Kind::Query, InstalledOnePrinter, kTrayMs, false},
    {"verify", u"verify", Kind::Query, InstalledOnePrinter, 0, false},
};

void SetUpScenario(const Scenario& scenario) {
    SetUpScenarioMachine();
    AddBystanders();
    SetPendingRenames(OtherPendingStrings());
    scenario.prepare();
    winsim::ClearCalls();
}

// ---- what is observed ----------------------------------------------------------------------

std::u16string Field(const std::optional<std::u16string>& text) { return text ? u"'" + *text + u"'" : u"-"; }

std::u16string Describe(const winsim::SpoolPrinter& p) {
    std::u16string out = p.name + u"|" + Field(p.shareName) + u"|" + p.portName + u"|" + p.driverName + u"|" +
                         Field(p.comment) + u"|" + Field(p.location) + u"|" + Field(p.sepFile) + u"|" +
                         Field(p.parameters) + u"|" + p.printProcessor + u"|" + p.datatype + u"|" +
                         winsim::ToU16(std::to_string(p.attributes) + "|" + std::to_string(p.priority) + "|" +
                                       std::to_string(p.defaultPriority) + "|" + std::to_string(p.status) + "|" +
                                       std::to_string(p.jobs) + "|" + std::to_string(p.pendingDeletion));
    for (const auto& [key, values] : p.data)
        for (const auto& [name, value] : values)
            out += winsim::ToU16("|" + key + "\\" + value.name + "=" + std::to_string(value.type) + ":" + value.bytes);
    return out;
}

std::u16string Describe(const winsim::SpoolDriver& d) {
    std::u16string out = d.name + u"|" + d.environment + u"|" + winsim::ToU16(std::to_string(d.version)) + u"|" +
                         d.driverPath + u"|" + d.dataFile + u"|" + d.configFile + u"|" + d.helpFile + u"|" +
                         d.monitorName + u"|" + d.defaultDataType;
    for (const auto& f : d.dependentFiles) out += u"|" + f;
    return out;
}

// Everything that belongs to someone else, as text; equal texts mean untouched.
struct Bystanders {
    std::u16string otherPrinter, otherDriver, otherMonitor, defaultPrinter, sharerPorts, connection;
    std::vector<std::u16string> pending;
    bool renameFilesKept = false;
};

Bystanders ReadBystanders() {
    Bystanders b;
    if (auto p = winsim::FindPrinter(kOtherPrinter)) b.otherPrinter = Describe(*p);
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86})
        if (auto d = winsim::FindDriver(kOtherDriver, env)) b.otherDriver += Describe(*d) + u";";
    for (const auto& m : winsim::Monitors())
        if (m.name == kOtherMonitor) b.otherMonitor = m.name + u"|" + m.dll;
    b.defaultPrinter = winsim::DefaultPrinter();
    if (auto p = winsim::FindPrinter(kPortSharer)) b.sharerPorts = p->portName;
    if (auto p = winsim::FindPrinter(kConnection)) b.connection = Describe(*p);
    // The other program's pairs, in order; the product's own pairs do not count.
    auto strings = winsim::PendingRenameStrings();
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (strings[i].find(u"C:\\Other\\") == std::u16string::npos) continue;
        b.pending.push_back(strings[i]);
        b.pending.push_back(strings[i + 1]);
    }
    b.renameFilesKept = winsim::FileExists(u"C:\\Other\\update.new") && winsim::FileExists(u"C:\\Other\\app.dll");
    return b;
}

struct HandleCounts {
    size_t files, keys, services, printers, mutexes, processes, threads;
    bool operator==(const HandleCounts& o) const {
        return files == o.files && keys == o.keys && services == o.services && printers == o.printers &&
               mutexes == o.mutexes && processes == o.processes && threads == o.threads;
    }
};

HandleCounts OpenHandles() {
    return {winsim::OpenFileHandles(),
            winsim::OpenRegKeys(),
            winsim::OpenServiceHandles(),
            winsim::OpenHandleCount(winsim::ObjectKind::Printer),
            winsim::OpenHandleCount(winsim::ObjectKind::Mutex),
            winsim::OpenHandleCount(winsim::ObjectKind::Process),
            winsim::OpenHandleCount(winsim::ObjectKind::Thread)};
}

bool ProductPrinterOnProductPort(const std::u16string& name) {
    auto p = winsim::FindPrinter(name);
    return p && !p->pendingDeletion && p->driverName == kProductDriver && p->portName == kProductPort;
}

// The printers a complete product has after an install run: the product's printers it met,
// or "qgrServer" on a machine without one.
std::vector<std::u16string> ExpectedProductPrinters(const std::vector<std::u16string>& before) {
    if (!before.empty()) return before;
    return {u"qgrServer"};
}

std::vector<std::u16string> ProductPrinters() {
    std::vector<std::u16string> names;
    for (const auto& p : winsim::Printers())
        if (p.driverName == kProductDriver && !p.pendingDeletion && !p.connection) names.push_back(p.name);
    return names;
}

std::string MissingFromCompleteProduct(const std::vector<std::u16string>& printersBefore, bool allowAutostart) {
    std::string missing;
    if (!winsim::MonitorExists(kProductPort)) missing += " monitor";
    if (!winsim::FindDriver(kProductDriver, winsim::kEnvX64)) missing += " x64-driver";
    if (!winsim::FindDriver(kProductDriver, winsim::kEnvX86)) missing += " x86-driver";
    for (const auto& name : ExpectedProductPrinters(printersBefore))
        if (!ProductPrinterOnProductPort(name)) missing += " printer:" + winsim::ToUtf8(name);
    if (!winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue) && !allowAutostart) missing += " autostart";
    return missing;
}

std::string LeftOfTheProduct(bool allowAutostart) {
    std::string left;
    if (winsim::MonitorExists(kProductPort)) left += " monitor";
    if (winsim::FindDriver(kProductDriver, winsim::kEnvX64)) left += " x64-driver";
    if (winsim::FindDriver(kProductDriver, winsim::kEnvX86)) left += " x86-driver";
    for (const auto& p : winsim::Printers())
        if (p.driverName == kProductDriver && !p.connection) left += " printer:" + winsim::ToUtf8(p.name);
    if (winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue) && !allowAutostart) left += " autostart";
    return left;
}

// ---- the errors a call can fail with ------------------------------------------------------

// The error each recorded API fails with here: one the real API returns in that place. An API
// listed with 0 is never failed, and why is said beside it.
const std::map<std::string, DWORD>& FaultTable() {
    static const std::map<std::string, DWORD> table = {
        // memory
        {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY},
        {"FormatMessageW", ERROR_NOT_ENOUGH_MEMORY},
        {"MultiByteToWideChar", ERROR_NOT_ENOUGH_MEMORY},
        {"GetProcessHeap", 0},  // the process heap exists for the life of the process
        // frees and closes fail only for blocks and handles that are not valid; the heap and
        // handle checks catch those
        {"GlobalFree", 0},
        {"LocalFree", 0},
        {"HeapFree", 0},
        {"CloseHandle", 0},
        {"ClosePrinter", 0},
        {"CloseServiceHandle", 0},
        {"RegCloseKey", 0},
        // string routines fail only on invalid pointers
        {"lstrlenW", 0},
        {"lstrlenA", 0},
        {"lstrcatW", 0},
        {"lstrcatA", 0},
        {"lstrcpyW", 0},
        {"lstrcpyA", 0},
        {"lstrcmpW", 0},
        {"lstrcmpiW", 0},
        {"GetCommandLineW", 0},  // returns the process's own block
        {"Sleep", 0},            // returns nothing
        // files
        {"CreateFileW", ERROR_ACCESS_DENIED},
        {"ReadFile", ERROR_READ_FAULT},
        {"WriteFile", ERROR_DISK_FULL},
        {"DeleteFileW", ERROR_ACCESS_DENIED},
        {"MoveFileExW", ERROR_ACCESS_DENIED},
        {"GetFileAttributesW", ERROR_ACCESS_DENIED},
        {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY},
        {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
        {"GetFileVersionInfoSizeW", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"GetFileVersionInfoW", ERROR_ACCESS_DENIED},
        {"VerQueryValueW", ERROR_RESOURCE_TYPE_NOT_FOUND},
        // registry
        {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
        {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
        {"RegCreateKeyExW", ERROR_ACCESS_DENIED},
        {"RegQueryValueExW", ERROR_ACCESS_DENIED},
        {"RegQueryValueExA", ERROR_ACCESS_DENIED},
        {"RegSetValueExW", ERROR_ACCESS_DENIED},
        {"RegSetValueExA", ERROR_ACCESS_DENIED},
        {"RegDeleteValueA", ERROR_ACCESS_DENIED},
        {"RegDeleteValueW", ERROR_ACCESS_DENIED},
        {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
        {"RegQueryInfoKeyW", ERROR_ACCESS_DENIED},
        // services
        {"OpenSCManagerW", ERROR_ACCESS_DENIED},
        {"OpenServiceW", ERROR_ACCESS_DENIED},
        {"QueryServiceStatus", ERROR_ACCESS_DENIED},
        {"StartServiceW", ERROR_SERVICE_REQUEST_TIMEOUT},
        {"ControlService", ERROR_SERVICE_REQUEST_TIMEOUT},
        // spooler: a spooler that went away answers RPC_S_SERVER_UNAVAILABLE
        {"EnumMonitorsW", RPC_S_SERVER_UNAVAILABLE},
        {"EnumPrinterDriversW", RPC_S_SERVER_UNAVAILABLE},
        {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE},
        {"GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE},
        {"GetPrinterDriverW", RPC_S_SERVER_UNAVAILABLE},
        {"AddMonitorW", ERROR_ACCESS_DENIED},
        {"DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE},
        {"AddPrinterDriverExW", ERROR_ACCESS_DENIED},
        {"DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE},
        {"AddPrinterW", ERROR_ACCESS_DENIED},
        {"OpenPrinterW", ERROR_ACCESS_DENIED},
        {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE},
        {"SetPrinterW", ERROR_ACCESS_DENIED},
        {"DeletePrinter", ERROR_ACCESS_DENIED},
        {"GetPrinterDataA", ERROR_ACCESS_DENIED},
        {"SetPrinterDataA", ERROR_ACCESS_DENIED},
        {"SetPrinterDataExA", ERROR_ACCESS_DENIED},
        {"GetDefaultPrinterW", ERROR_FILE_NOT_FOUND},
        {"SetDefaultPrinterW", ERROR_INVALID_PRINTER_NAME},
        // event log
        {"RegisterEventSourceW", ERROR_ACCESS_DENIED},
        {"ReportEventW", ERROR_NOT_ENOUGH_MEMORY},
        {"DeregisterEventSource", 0},  // a close
        // processes and windows
        {"CreateMutexA", ERROR_ACCESS_DENIED},
        {"WaitForSingleObject", ERROR_INVALID_HANDLE},
        {"CreateProcessW", ERROR_ACCESS_DENIED},
        {"FindWindowW", ERROR_ACCESS_DENIED},
        {"PostMessageW", ERROR_ACCESS_DENIED},  // a window of a higher integrity level
        {"GetAsyncKeyState", ERROR_ACCESS_DENIED},
        {"IsWindow", 0},      // answers only yes or no
        {"GetCurrentProcessId", 0},  // cannot fail
        {"ProcessIdToSessionId", ERROR_ACCESS_DENIED},
        {"ReleaseMutex", 0},  // fails only for a mutex the caller does not own
    };
    return table;
}

// ---- the sweep ---------------------------------------------------------------------------

struct Sweep {
    int runs = 0;
    int faulted = 0;
    int violations = 0;
};

void Violation(Sweep& sweep, const Scenario& scenario, const std::string& fault, const std::string& what) {
    ++sweep.violations;
    std::printf("violation: %s, %s: %s\n", scenario.name, fault.c_str(), what.c_str());
}

struct Fault {
    std::string api;
    size_t skip;  // calls of the API that go through before the failing one
    DWORD error;
    std::u16string args;
};

std::string Describe(const std::vector<Fault>& faults) {
    if (faults.empty()) return "clean run";
    std::string text;
    for (const Fault& f : faults) {
        if (!text.empty()) text += " + ";
        text += f.api + " #" + std::to_string(f.skip + 1);
        if (!f.args.empty()) text += " (" + winsim::ToUtf8(f.args) + ")";
        text += " error " + std::to_string(f.error);
    }
    return text;
}

// Silent failures the installer keeps on purpose: a fault in these calls may leave the named part
// of the product as it was, and the run still exits as if it were complete.
struct Allowance {
    const char* api;
    const char16_t* argsContain;
    const char* part;
    const char* why;
};

const Allowance kAllowances[] = {
    {"RegOpenKeyExA", u"CurrentVersion\\Run", "autostart", "registering and removing the tray application is silent"},
    {"RegSetValueExW", u"QuillgraphTray", "autostart", "registering and removing the tray application is silent"},
    {"RegDeleteValueA", u"QuillgraphTray", "autostart", "registering and removing the tray application is silent"},
};

bool Allowed(const std::vector<Fault>& faults, const char* part) {
    for (const Fault& f : faults)
        for (const Allowance& a : kAllowances)
            if (f.api == a.api && std::string(part) == a.part && f.args.find(a.argsContain) != std::u16string::npos)
                return true;
    return false;
}

// What a run started from.
struct RunStart {
    Bystanders bystanders;
    HandleCounts handles;
    std::vector<std::u16string> productPrinters;
};

RunStart ReadStart() { return {ReadBystanders(), OpenHandles(), ProductPrinters()}; }

// Checks every invariant of one finished run; `kind` decides what an honest exit code means.
void CheckRun(Sweep& sweep, const Scenario& scenario, Kind kind, int exitCode, const RunStart& start,
              uint64_t maxWaitMs, const std::vector<Fault>& faults, const std::string& fault, const char* phase) {
    auto fail = [&](const std::string& what) { Violation(sweep, scenario, fault, std::string(phase) + ": " + what); };
    if (winsim::LiveGlobalBlocks() || winsim::LiveLocalBlocks() || winsim::LiveHeapBlocks())
        fail("heap not balanced (global " + std::to_string(winsim::LiveGlobalBlocks()) + ", local " +
             std::to_string(winsim::LiveLocalBlocks()) + ", heap " + std::to_string(winsim::LiveHeapBlocks()) + ")");
    if (winsim::BadFrees()) fail("bad frees");
    if (!(OpenHandles() == start.handles)) fail("handle left open");
    if (winsim::TotalSlept() > maxWaitMs) fail("waited " + std::to_string(winsim::TotalSlept()) + " ms");
    if (!winsim::IsServiceRunning(kSpooler)) fail("spooler not running at exit");

    const Bystanders& before = start.bystanders;
    Bystanders after = ReadBystanders();
    if (after.otherPrinter != before.otherPrinter) fail("other maker's printer changed");
    if (after.otherDriver != before.otherDriver) fail("other maker's driver changed");
    if (after.otherMonitor != before.otherMonitor) fail("other port monitor changed");
    if (after.connection != before.connection) fail("printer connection changed: " + winsim::ToUtf8(after.connection));
    if (after.defaultPrinter != before.defaultPrinter && !(scenario.setsDefault && kind == Kind::Query))
        fail("default printer changed to '" + winsim::ToUtf8(after.defaultPrinter) + "'");
    if (after.pending != before.pending) fail("other program's pending operations changed");
    if (!after.renameFilesKept) fail("other program's rename files touched");
    if (winsim::MonitorExists(kProductPort) && after.sharerPorts != before.sharerPorts)
        fail("port list of '" + winsim::ToUtf8(kPortSharer) + "' not restored: " + winsim::ToUtf8(after.sharerPorts));

    if (kind == Kind::Install && (exitCode == 1 || exitCode == 101)) {
        std::string missing = MissingFromCompleteProduct(start.productPrinters, Allowed(faults, "autostart"));
        if (!missing.empty()) fail("exit " + std::to_string(exitCode) + " without" + missing);
    }
    // With the product's port gone, a printer that pooled it with ports of its own keeps those.
    if (kind == Kind::Uninstall && !winsim::MonitorExists(kProductPort) && after.sharerPorts != kOtherPort)
        fail("port list of '" + winsim::ToUtf8(kPortSharer) + "' after the uninstall: " + winsim::ToUtf8(after.sharerPorts));
    if (kind == Kind::Uninstall && (exitCode == 2 || exitCode == 101)) {
        std::string left = LeftOfTheProduct(Allowed(faults, "autostart"));
        if (!left.empty()) fail("exit " + std::to_string(exitCode) + " but left" + left);
    }
}

// One run of the scenario's command from its start with the given faults, followed by a clean
// install that must repair the machine. Returns whether the faulted run asked for error texts.
bool RunOnce(Sweep& sweep, const Scenario& scenario, const std::vector<Fault>& faults) {
    SetUpScenario(scenario);
    RunStart start = ReadStart();
    for (const Fault& f : faults) winsim::InjectFault(f.api, f.error, 1, static_cast<int>(f.skip));
    if (!faults.empty()) ++sweep.faulted;
    std::string fault = Describe(faults);
    int exitCode = RunInstaller(scenario.command);
    bool describedErrors = winsim::CallCount("FormatMessageW") > 0;
    ++sweep.runs;
    winsim::ClearFaults();
    CheckRun(sweep, scenario, scenario.kind, exitCode, start, scenario.maxWaitMs, faults, fault, "faulted run");

    // The next clean install repairs whatever the faulted run left, and harms no more. What the
    // faulted run changed of a bystander is reported above, not again here.
    RunStart next = ReadStart();
    uint64_t waited = winsim::TotalSlept();
    int recovery = RunInstaller(u"in");
    ++sweep.runs;
    if (recovery != 1 && recovery != 101)
        Violation(sweep, scenario, fault, "recovery: install exited " + std::to_string(recovery));
    CheckRun(sweep, scenario, Kind::Install, recovery, next, waited + kInstallMaxWaitMs, {}, fault, "recovery");
    return describedErrors;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines before a crash still show
    Sweep sweep;
    std::set<std::string> unknown;
    for (const Scenario& scenario : kScenarios) {
        SetUpScenario(scenario);
        RunInstaller(scenario.command);
        std::vector<winsim::Call> calls = winsim::Calls();
        RunOnce(sweep, scenario, {});
        std::map<std::string, size_t> seen;
        for (const winsim::Call& call : calls) {
            size_t skip = seen[call.api]++;
            auto entry = FaultTable().find(call.api);
            if (entry == FaultTable().end()) {
                unknown.insert(call.api);
                continue;
            }
            if (entry->second == 0) continue;
            Fault fault{call.api, skip, entry->second, call.args};
            // A run that met the fault and describes it in the log asks for the system's text,
            // which needs memory of its own: once more with that request failing too.
            if (RunOnce(sweep, scenario, {fault}))
                RunOnce(sweep, scenario, {fault, Fault{"FormatMessageW", 0, ERROR_NOT_ENOUGH_MEMORY, u""}});
        }
    }
    for (const auto& api : unknown) {
        ++sweep.violations;
        std::printf("violation: %s has no entry in the fault table\n", api.c_str());
    }
    std::printf("fault sweep: %d runs, %d faulted calls, %d violations\n", sweep.runs, sweep.faulted,
                sweep.violations);
    return sweep.violations == 0 ? 0 : 1;
}
