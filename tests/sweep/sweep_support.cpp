#include "sweep/sweep_support.h"

#include <winsim/core.h>
#include <winsim/eventlog.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <cstdio>
#include <functional>
#include <set>

namespace qgrsweep {

using namespace qgrtest;

namespace {

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
const char16_t* const kOtherFiles[] = {u"C:\\Other\\stale.tmp", u"C:\\Other\\update.new", u"C:\\Other\\app.dll"};

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

    winsim::WriteTestFile(kOtherFiles[0], "stale");
    winsim::WriteTestFile(kOtherFiles[1], "update");
    winsim::WriteTestFile(kOtherFiles[2], "app");
}

const std::string kScheduledOtherFile = "other program's file C:\\Other\\stale.tmp";
const char kDeletedAsScheduled[] = "(deleted as scheduled)";

std::vector<std::u16string> OtherPendingStrings() {
    return {kOtherDeletion, u"", kOtherRenameFrom, kOtherRenameTo};
}

// ---- starting machines ---------------------------------------------------------------------

void Fresh() {}

// Where a product printer keeps its SubKey: both places (as the product writes it), only the
// plain value, or only under "DsUser" (as older builds and other tools left it).
enum SubKeyPlace { kBoth, kPlainOnly, kDsUserOnly };

struct ProductPrinterRow {
    const char16_t* name;
    const char* subKey;
    SubKeyPlace place;
    const char16_t* comment;
    const char16_t* location;
    const char16_t* shareName;  // null: not shared
    bool isDefault;
};

// Every kind of setting a reinstall must carry over.
const ProductPrinterRow kSettingsPrinters[] = {
    {u"qgrServer", "k-server", kBoth, u"main", u"floor 1", nullptr, true},
    {u"Quillgraph Second", "k-second", kBoth, u"second", u"floor 2", u"ShareB", false},
    {u"Quillgraph Plain", "k-plain", kPlainOnly, u"", u"", nullptr, false},
    {u"Quillgraph DsUser", "k-dsuser", kDsUserOnly, u"ds", u"", nullptr, false},
};

void AddProductPrinter(const ProductPrinterRow& row) {
    winsim::SpoolPrinter printer;
    printer.name = row.name;
    printer.portName = kProductPort;
    printer.driverName = kProductDriver;
    printer.comment = std::u16string(row.comment);
    printer.location = std::u16string(row.location);
    if (row.shareName) {
        printer.shareName = std::u16string(row.shareName);
        printer.attributes |= PRINTER_ATTRIBUTE_SHARED;
    }
    winsim::AddTestPrinter(printer);
    std::string value = std::string(row.subKey) + std::string(1, '\0');
    if (row.place != kDsUserOnly) winsim::SetTestPrinterData(row.name, "", "SubKey", REG_SZ, value);
    if (row.place != kPlainOnly) winsim::SetTestPrinterData(row.name, "DsUser", "SubKey", REG_SZ, value);
    std::u16string key = std::u16string(kSettingsKey) + u"\\" + winsim::ToU16(row.subKey);
    winsim::SetRegString(HKEY_CURRENT_USER, key, u"deleted", u"1");
    if (row.isDefault) winsim::SetTestDefaultPrinter(row.name);
}

void Installed() {
    SetUpInstalledProduct();
    for (const ProductPrinterRow& row : kSettingsPrinters) AddProductPrinter(row);
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

void InstalledOnePrinter() {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"qgrServer", "k-server");
}

void ScheduleMonitorDllDeletion() {
    std::vector<std::u16string> strings = OtherPendingStrings();
    strings.push_back(u"\\??\\" + std::u16string(kMonitorDll));
    strings.push_back(u"");
    SetPendingRenames(strings);
}

void ProductFilePending() {
    SetUpInstalledProduct();
    ScheduleMonitorDllDeletion();
}

// The product's own DLL waits for deletion at reboot: the install must cancel that or say so.
void InstalledMonitorDllScheduled() {
    Installed();
    ScheduleMonitorDllDeletion();
}

// A spooler that answers a short ANSI read of printer data with the size of the stored UTF-16:
// a SubKey of 40 characters (82 bytes wide, more than the 64-byte read) must survive.
void InstalledLongSubKeyWideSizes() {
    Installed();
    const std::string subKey(40, 'l');
    AddProductPrinter({u"Quillgraph Long", subKey.c_str(), kBoth, u"long", u"", nullptr, false});
    winsim::AnsiPrinterDataAsksWideSize(true);
}

// A tray application that ignores every request to quit.
void InstalledHungTray() {
    InstalledOnePrinter();
    for (DWORD pid : winsim::RunningProcesses(u"qgrtray.exe")) winsim::EndProcess(pid);
    winsim::TrayAppConfig config;
    config.mutexName = kTrayMutex;
    config.windowClass = kTrayWindowClass;
    config.windowTitle = u"Quillgraph";
    config.quitDelayMs = winsim::kNever;
    winsim::StartTrayApp(kTrayExe, config);
}

// A spooler that takes 8 s to stop, within the installer's 10 s of polling.
void InstalledSlowSpooler() {
    Installed();
    winsim::ScriptService(kSpooler).msToStop = 8000;
}

// ---- other parties acting during a run (winsim::BeforeCall) --------------------------------

const char kRunMutex[] = "Global\\Quillgraph.Install.Run";
const char16_t kUserPrinter[] = u"Printer a User Added";
const char kUserPrinterKey[] = "printer a user added";
const char kNotAddedYet[] = "(not added yet)";
std::string userPrinterAsAdded;  // its record just after the user added it

std::string Record(const std::map<std::string, std::string>& fields);
std::map<std::string, std::string> PrinterFields(const winsim::SpoolPrinter& p);
int MachineAnswer(const char16_t* command);

// A user adds another maker's printer between the run's two reads of the printer list.
void UserAddsPrinterDuringSnapshot() {
    Installed();
    winsim::BeforeCall("EnumPrintersW", [] {
        winsim::SpoolPrinter printer;
        printer.name = kUserPrinter;
        printer.portName = kOtherPort;
        printer.driverName = kOtherDriver;
        printer.comment = u"added during the install";
        winsim::AddTestPrinter(printer);
        userPrinterAsAdded = Record(PrinterFields(*winsim::FindPrinter(kUserPrinter)));
    }, 1);
}

// onInit started in the middle of an install: in its turn it deletes every program's scheduled
// files and restarts the spooler while product files wait; without the turn it only reads.
void OnInitDuringInstall() {
    Installed();
    winsim::BeforeCall("AddPrinterDriverExW", [] {
        if (winsim::MutexOwner(kRunMutex) != 0) return;
        winsim::RemoveTestFile(kOtherFiles[0]);
        if (MachineAnswer(u"onInit") != 200) return;
        winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
        winsim::SetServiceState(kSpooler, SERVICE_RUNNING);
    });
}

// An install started while another one holds the run turn: it waits for the first to end (a
// minute later). The first is another process; a nested run of the entry routine would share
// this process's ownership of the mutex.
const uint64_t kFirstRunMs = 60000;
void InstallWhileAnotherRuns() {
    Installed();
    DWORD first = winsim::StartProcess(u"C:\\Users\\Public\\install.exe");
    winsim::ProcessCreateMutex(first, kRunMutex, true);
    winsim::ScheduleAfter(kFirstRunMs, [first] { winsim::EndProcess(first); });
}

// The longest each command may wait, summed from its bounded waits: a spooler wait is 50 polls
// of 200 ms, a restart two of them; a copy destination is retried for 10 s; the help windows get
// 100 rounds of 50 ms; the tray gets 20 quit requests of up to 5 s and one last wait of 5 s, 10
// deletion attempts 100 ms apart and a 1 s pause for a missing Run value.
const uint64_t kSpoolerWaitMs = 50 * 200;
const uint64_t kRestartMs = 2 * kSpoolerWaitMs;
const uint64_t kCopyMs = 10000;
const uint64_t kHelpWindowsMs = 100 * 50;
const uint64_t kTrayMs = (20 + 1) * 5000 + 10 * 100 + 1000;
// Removal: monitor and both drivers with a restart each; install: a restart for locked files
// before and after, the monitor DLL copied twice around a restart, five registration pauses and
// three driver files per environment.
const uint64_t kRemovalMs = kHelpWindowsMs + kSpoolerWaitMs + kTrayMs + 3 * kRestartMs;
const uint64_t kStartupCheckMaxWaitMs = 2 * kRestartMs;

// ---- what is observed ----------------------------------------------------------------------

std::string Text(const std::u16string& text) { return winsim::ToUtf8(text); }
std::string Field(const std::optional<std::u16string>& text) { return text ? Text(*text) : "(none)"; }

// Bytes as readable text: printable ASCII as is, the rest as \xNN.
std::string Bytes(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// A file's whole content (version resource and image header included), short.
std::string FileContent(const std::u16string& path) {
    if (!winsim::FileExists(path)) return "(no file)";
    std::string raw = winsim::FileRawBytes(path);
    // Small files (every bystander's) byte for byte; a product image by its size and hash.
    if (raw.size() <= 64) return std::to_string(raw.size()) + " bytes '" + Bytes(raw) + "'";
    return std::to_string(raw.size()) + " bytes #" + std::to_string(std::hash<std::string>{}(raw));
}

std::map<std::string, std::string> PrinterFields(const winsim::SpoolPrinter& p) {
    std::map<std::string, std::string> f = {
        {"share", Field(p.shareName)},
        {"port", Text(p.portName)},
        {"driver", Text(p.driverName)},
        {"comment", Field(p.comment)},
        {"location", Field(p.location)},
        {"separator", Field(p.sepFile)},
        {"parameters", Field(p.parameters)},
        {"processor", Text(p.printProcessor)},
        {"datatype", Text(p.datatype)},
        {"attributes", std::to_string(p.attributes)},
        {"priority", std::to_string(p.priority) + "/" + std::to_string(p.defaultPriority)},
        {"times", std::to_string(p.startTime) + "-" + std::to_string(p.untilTime)},
        {"status", std::to_string(p.status)},
        {"jobs", std::to_string(p.jobs)},
        {"pending deletion", p.pendingDeletion ? "yes" : "no"},
    };
    for (const auto& [key, values] : p.data)
        for (const auto& [name, value] : values)
            f["data " + key + "\\" + name] = std::to_string(value.type) + ":" + Bytes(value.bytes);
    return f;
}

std::map<std::string, std::string> DriverFields(const winsim::SpoolDriver& d) {
    std::map<std::string, std::string> f = {
        {"version", std::to_string(d.version)},     {"monitor", Text(d.monitorName)},
        {"datatype", Text(d.defaultDataType)},      {"driver file", Text(d.driverPath)},
        {"data file", Text(d.dataFile)},            {"config file", Text(d.configFile)},
        {"help file", Text(d.helpFile)},
    };
    for (size_t i = 0; i < d.dependentFiles.size(); ++i) f["dependent " + std::to_string(i)] = Text(d.dependentFiles[i]);
    for (const std::u16string& path : {d.driverPath, d.dataFile, d.configFile, d.helpFile})
        if (!path.empty()) f["content of " + Text(path)] = FileContent(path);
    return f;
}

bool IsOthers(const std::u16string& pendingString) {
    return pendingString.find(u"C:\\Other\\") != std::u16string::npos;
}

std::string PendingPairs(bool others) {
    auto strings = winsim::PendingRenameStrings();
    std::string out;
    std::set<std::string> own;  // the product's own pairs: which, not how often
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        std::string pair = Text(strings[i]) + " -> " + Text(strings[i + 1]);
        if (IsOthers(strings[i]) != others) continue;
        if (others)
            out += (out.empty() ? "" : "; ") + pair;
        else
            own.insert(pair);
    }
    for (const std::string& pair : own) out += (out.empty() ? "" : "; ") + pair;
    return out;
}

std::string Quoted(const std::u16string& name) { return "'" + Text(name) + "'"; }

std::string Record(const std::map<std::string, std::string>& fields) {
    std::string out;
    for (const auto& [k, v] : fields) out += k + "=" + v + "|";
    return out;
}

}  // namespace

// ---- scenarios -----------------------------------------------------------------------------

const uint64_t kInstallMaxWaitMs =
    kRemovalMs + 2 * kRestartMs + (2 * kCopyMs + kRestartMs) + 4 * 50 + 6 * kCopyMs;
const uint64_t kUninstallMaxWaitMs = kRemovalMs + kRestartMs;

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"fresh install", u"in", Kind::Install, Fresh, kInstallMaxWaitMs, false, 1},
        {"reinstall", u"in", Kind::Install, Installed, kInstallMaxWaitMs, false, 1},
        {"reinstall, staged file locked", u"in", Kind::Install, InstalledWithLockedStagedFile, kInstallMaxWaitMs, false, 1},
        {"reinstall over an older monitor", u"in", Kind::Install, InstalledOlderMonitor, kInstallMaxWaitMs, false, 1},
        {"uninstall", u"un", Kind::Uninstall, Installed, kUninstallMaxWaitMs, false, 1},
        {"onInit", u"onInit", Kind::Query, ProductFilePending, kStartupCheckMaxWaitMs, false, 1},
        {"onChkDrv", u"onChkDrv", Kind::Query, InstalledOnePrinter, 0, false, 1},
        {"def.set", u"def.set", Kind::Query, InstalledOnePrinter, 0, true, 1},
        {"removetray", u"removetray", Kind::Query, InstalledOnePrinter, kTrayMs, false, 1},
        {"verify", u"verify", Kind::Query, InstalledOnePrinter, 0, false, 1},
        {"reinstall, monitor DLL scheduled for deletion", u"in", Kind::Install, InstalledMonitorDllScheduled,
         kInstallMaxWaitMs, false, 4},
        {"reinstall, spooler asks a wide size for a long SubKey", u"in", Kind::Install, InstalledLongSubKeyWideSizes,
         kInstallMaxWaitMs, false, 4},
        {"reinstall, spooler slow to stop", u"in", Kind::Install, InstalledSlowSpooler, kInstallMaxWaitMs, false, 4},
        {"removetray, tray never quits", u"removetray", Kind::Query, InstalledHungTray, kTrayMs, false, 4},
        {"reinstall, tray never quits", u"in", Kind::Install, InstalledHungTray, kInstallMaxWaitMs, false, 4},
        {"reinstall, a user adds a printer", u"in", Kind::Install, UserAddsPrinterDuringSnapshot, kInstallMaxWaitMs, false, 4},
        {"reinstall, onInit started meanwhile", u"in", Kind::Install, OnInitDuringInstall, kInstallMaxWaitMs, false, 4},
        {"reinstall while another install runs", u"in", Kind::Install, InstallWhileAnotherRuns, kInstallMaxWaitMs + kFirstRunMs, false, 4},
    };
    return scenarios;
}

void SetUpScenario(const Scenario& scenario) {
    SetUpScenarioMachine();
    // As many Windows calls do: an error line must describe the call that failed.
    winsim::SuccessClearsLastError(true);
    AddBystanders();
    SetPendingRenames(OtherPendingStrings());
    userPrinterAsAdded.clear();
    scenario.prepare();
    winsim::ClearCalls();
}

bool RunCommand(const char16_t* command, int* exitCode, const std::function<void()>& beforeEnd) {
    // A killed process has ended already; one that ran to its end exits, which releases what it
    // forgot (after `beforeEnd` has seen it).
    // Another party's action whose call the run never reached happens after it.
    if (!winsim::RunProcess([command] { return RunInstaller(command); }, exitCode)) {
        winsim::FlushBeforeCalls();
        return false;
    }
    if (beforeEnd) beforeEnd();
    winsim::EndCurrentProcess();
    winsim::FlushBeforeCalls();
    return true;
}

// ---- invariants of one run -----------------------------------------------------------------

void Violation(Tally& tally, const char* scenario, const std::string& point, const std::string& what) {
    ++tally.violations;
    std::printf("violation: %s, %s: %s\n", scenario, point.c_str(), what.c_str());
}

namespace {

std::string SharerPorts() {
    auto p = winsim::FindPrinter(kPortSharer);
    return p ? Text(p->portName) : "";
}

// Everything that belongs to someone else, as text; equal texts mean untouched.
// A port list with its "file:" entry back on the product's port.
std::string Unparked(const std::string& ports) {
    size_t at = ports.find("file:");
    return at == std::string::npos ? ports : ports.substr(0, at) + Text(kProductPort) + ports.substr(at + 5);
}

std::map<std::string, std::string> ReadBystanders() {
    std::map<std::string, std::string> b;
    auto record = Record;
    if (auto p = winsim::FindPrinter(kOtherPrinter)) b["other maker's printer"] = record(PrinterFields(*p));
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86})
        if (auto d = winsim::FindDriver(kOtherDriver, env)) b["other maker's driver"] += record(DriverFields(*d));
    for (const auto& m : winsim::Monitors())
        if (m.name == kOtherMonitor) b["other port monitor"] = Text(m.name + u"|" + m.dll);
    b["other port monitor"] += FileContent(std::u16string(kSystemDirSlash) + kOtherMonitorDll);
    if (auto p = winsim::FindPrinter(kConnection)) b["printer connection"] = record(PrinterFields(*p));
    auto userPrinter = winsim::FindPrinter(kUserPrinter);
    b[kUserPrinterKey] = userPrinter ? record(PrinterFields(*userPrinter)) : kNotAddedYet;
    b["other program's pending operations"] = PendingPairs(true);
    // The default printer is the user's choice unless it is one the product deletes and restores.
    auto defaultPrinter = winsim::FindPrinter(winsim::DefaultPrinter());
    if (!defaultPrinter || defaultPrinter->driverName != kProductDriver || defaultPrinter->connection)
        b["default printer"] = Text(winsim::DefaultPrinter());
    b["port list of " + Quoted(kPortSharer)] = SharerPorts();
    // The files of its pending rename; its scheduled deletion may be carried out early.
    for (const char16_t* file : {kOtherFiles[1], kOtherFiles[2]}) b["other program's file " + Text(file)] = FileContent(file);
    // Its scheduled deletion may be carried out early; otherwise it stays as it is.
    b[kScheduledOtherFile] = winsim::FileExists(kOtherFiles[0]) ? FileContent(kOtherFiles[0]) : kDeletedAsScheduled;
    return b;
}

// What a user set on a product printer and a reinstall carries over.
// A server install shares every product printer: a share name counts only where one was set.
std::string ProductSettings(const winsim::SpoolPrinter& p, bool withShare = true) {
    bool shared = withShare && (p.attributes & PRINTER_ATTRIBUTE_SHARED) != 0;
    return (shared ? "share " + Field(p.shareName) + ", " : "") + "comment " + Field(p.comment) + ", location " +
           Field(p.location);
}

}  // namespace

RunStart ReadStart() {
    RunStart start{ReadBystanders(), HandlesText(), {}, {}, winsim::Now(), winsim::FileExists(kTrayExe)};
    for (const auto& p : winsim::Printers())
        if (p.driverName == kProductDriver && !p.pendingDeletion && !p.connection) {
            start.productPrinters.push_back(p.name);
            start.productSettings[p.name] = ProductSettings(p);
        }
    // Printers an interrupted run deleted are in the install journal: an install brings them back.
    const std::string prefix = "\\printer:";
    for (const std::string& line : winsim::RegTreeLines(HKEY_LOCAL_MACHINE, kJournalKeyPath)) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::u16string name = winsim::ToU16(line.substr(prefix.size(), line.find('=') - prefix.size()));
        // Its settings are the journal's, not the bare printer's (the golden machine judges them).
        start.productSettings.erase(name);
        if (std::find(start.productPrinters.begin(), start.productPrinters.end(), name) == start.productPrinters.end())
            start.productPrinters.push_back(name);
    }
    return start;
}

std::string HandlesText() {
    using winsim::ObjectKind;
    std::string out = "files " + std::to_string(winsim::OpenFileHandles()) + ", keys " +
                      std::to_string(winsim::OpenRegKeys()) + ", services " +
                      std::to_string(winsim::OpenServiceHandles()) + ", event sources " +
                      std::to_string(winsim::OpenEventSources());
    const std::pair<const char*, ObjectKind> kinds[] = {{"printers", ObjectKind::Printer},
                                                        {"mutexes", ObjectKind::Mutex},
                                                        {"processes", ObjectKind::Process},
                                                        {"threads", ObjectKind::Thread}};
    for (const auto& [name, kind] : kinds) out += std::string(", ") + name + " " + std::to_string(winsim::OpenHandleCount(kind));
    return out;
}

std::string LeftOverBlocks() {
    if (!winsim::LiveGlobalBlocks() && !winsim::LiveLocalBlocks() && !winsim::LiveHeapBlocks()) return "";
    return "heap not balanced (global " + std::to_string(winsim::LiveGlobalBlocks()) + ", local " +
           std::to_string(winsim::LiveLocalBlocks()) + ", heap " + std::to_string(winsim::LiveHeapBlocks()) + ")";
}

namespace {

bool ProductPrinterOnProductPort(const std::u16string& name) {
    auto p = winsim::FindPrinter(name);
    return p && !p->pendingDeletion && p->driverName == kProductDriver && p->portName == kProductPort;
}

std::string MissingFromCompleteProduct(const std::vector<std::u16string>& printersBefore, bool allowAutostart) {
    std::string missing;
    if (!winsim::MonitorExists(kProductPort)) missing += " monitor";
    if (!winsim::FindDriver(kProductDriver, winsim::kEnvX64)) missing += " x64-driver";
    if (!winsim::FindDriver(kProductDriver, winsim::kEnvX86)) missing += " x86-driver";
    // The product's printers it met, or "qgrServer" on a machine without one.
    std::vector<std::u16string> expected = printersBefore;
    if (expected.empty()) expected.push_back(u"qgrServer");
    for (const auto& name : expected)
        if (!ProductPrinterOnProductPort(name)) missing += " printer:" + Text(name);
    if (!winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue) && !allowAutostart) missing += " autostart";
    return missing;
}

// A product file (by name) scheduled for deletion at the next reboot: the product is not whole.
std::string OwnFilesScheduledForDeletion() {
    std::string out;
    auto strings = winsim::PendingRenameStrings();
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
        if (!IsOthers(strings[i]) && strings[i + 1].empty()) out += " " + Text(strings[i]);
    return out;
}

// The answer the machine gives to a query command after it ran, or 0 when it has none to check.
int MachineAnswer(const char16_t* command) {
    std::u16string word(command);
    if (word == u"onInit") {
        auto strings = winsim::PendingRenameStrings();
        for (size_t i = 0; i + 1 < strings.size(); i += 2) {
            std::u16string source = strings[i].rfind(u"\\??\\", 0) == 0 ? strings[i].substr(4) : strings[i];
            std::u16string name = winsim::UpperPath(source.substr(source.rfind(u'\\') + 1));
            bool productFile = name == u"VMQMON64.DLL" || name == u"VMQDRV64.DLL" || name == u"VMQUI64.DLL";
            if (productFile && strings[i + 1].empty() && winsim::FileExists(source)) return 200;
        }
        auto defaultPrinter = winsim::FindPrinter(winsim::DefaultPrinter());
        return defaultPrinter && defaultPrinter->driverName == kProductDriver ? 3 : 102;
    }
    if (word == u"onChkDrv") {
        // The scenarios' product driver files are of build 2430: recent whenever a product printer
        // has its driver file.
        for (const auto& p : winsim::Printers()) {
            if (p.driverName != kProductDriver) continue;
            auto d = winsim::FindDriver(kProductDriver, winsim::kEnvX64);
            return d && winsim::FileExists(d->driverPath) ? 103 : 3;
        }
        return 3;
    }
    return 0;
}

std::string LeftOfTheProduct(bool allowAutostart) {
    std::string left;
    if (winsim::MonitorExists(kProductPort)) left += " monitor";
    if (winsim::FindDriver(kProductDriver, winsim::kEnvX64)) left += " x64-driver";
    if (winsim::FindDriver(kProductDriver, winsim::kEnvX86)) left += " x86-driver";
    for (const auto& p : winsim::Printers())
        if (p.driverName == kProductDriver && !p.connection) left += " printer:" + Text(p.name);
    if (winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue) && !allowAutostart) left += " autostart";
    return left;
}


}  // namespace

void CheckRun(Tally& tally, const Scenario& scenario, Kind kind, int exitCode, const RunStart& start,
              uint64_t maxWaitMs, bool allowAutostart, const std::string& point, const char* phase) {
    auto fail = [&](const std::string& what) { Violation(tally, scenario.name, point, std::string(phase) + ": " + what); };
    std::string blocks = LeftOverBlocks();
    if (!blocks.empty()) fail(blocks);
    if (winsim::BadFrees()) fail("bad frees");
    if (HandlesText() != start.handles) fail("handle left open: " + HandlesText());
    if (winsim::HeapOverruns()) fail(std::to_string(winsim::HeapOverruns()) + " heap blocks written past their end");
    // The clock moves on every wait, on objects as well as in Sleep.
    if (winsim::Now() - start.time > maxWaitMs) fail("took " + std::to_string(winsim::Now() - start.time) + " ms");
    if (!winsim::IsServiceRunning(kSpooler)) fail("spooler not running at exit");

    auto after = ReadBystanders();
    for (const auto& [what, before] : start.bystanders) {
        if (after[what] == before) continue;
        if (what == kScheduledOtherFile && after[what] == kDeletedAsScheduled) continue;
        // Added during the run: it must be as the user left it.
        if (what == kUserPrinterKey && before == kNotAddedYet && after[what] == userPrinterAsAdded) continue;
        if (what == "default printer" && scenario.setsDefault && kind == Kind::Query) {
            // Its purpose, but only ever for a printer of the product on this machine.
            auto chosen = winsim::FindPrinter(winsim::DefaultPrinter());
            if (!chosen || chosen->driverName != kProductDriver || chosen->connection)
                fail("default printer set to '" + after[what] + "', not a local product printer");
            continue;
        }
        // With the product's port gone its printers' port lists lose it (checked below); a
        // recovery moves a printer left parked back to it.
        if (what == "port list of " + Quoted(kPortSharer) &&
            (!winsim::MonitorExists(kProductPort) || after[what] == Unparked(before)))
            continue;
        fail(what + " changed" + (what == "default printer" ? " to '" + after[what] + "'" : ""));
    }
    std::string sharerPorts = SharerPorts();

    if (kind == Kind::Install && (exitCode == 1 || exitCode == 101)) {
        std::string missing = MissingFromCompleteProduct(start.productPrinters, allowAutostart);
        if (start.trayExecutable && !winsim::FileExists(kTrayExe)) missing += " tray-executable";
        for (const auto& [name, settings] : start.productSettings) {
            auto p = winsim::FindPrinter(name);
            bool wasShared = settings.rfind("share ", 0) == 0;
            if (p && ProductSettings(*p, wasShared) != settings)
                missing += " settings of " + Text(name) + " (" + ProductSettings(*p, wasShared) + ", were " + settings + ")";
        }
        if (!missing.empty()) fail("exit " + std::to_string(exitCode) + " without" + missing);
        std::string scheduled = OwnFilesScheduledForDeletion();
        if (exitCode == 1 && !scheduled.empty()) fail("exit 1 with product files scheduled for deletion:" + scheduled);
    }
    if (kind == Kind::Query) {
        // A disturbed query may not know; what it says yes to must still be so.
        int answer = MachineAnswer(scenario.command);
        bool falseYes = (exitCode == 200 || exitCode == 103) && answer != exitCode;
        if (exitCode == 102 && answer == 3) falseYes = true;  // the default is a product printer
        if (answer != 0 && exitCode != answer && (falseYes || point == "clean run"))
            fail("answered " + std::to_string(exitCode) + ", the machine says " + std::to_string(answer));
    }
    // With the product's port gone, a printer that pooled it with ports of its own keeps those.
    if (kind == Kind::Uninstall && !winsim::MonitorExists(kProductPort) && sharerPorts != Text(kOtherPort))
        fail("port list of " + Quoted(kPortSharer) + " after the uninstall: " + sharerPorts);
    if (kind == Kind::Uninstall && (exitCode == 2 || exitCode == 101)) {
        std::string left = LeftOfTheProduct(allowAutostart);
        if (!left.empty()) fail("exit " + std::to_string(exitCode) + " but left" + left);
    }
}

// ---- the golden machine ----------------------------------------------------------------------

Machine ReadMachine() {
    Machine m;
    for (const auto& p : winsim::Printers()) m["printer " + Quoted(p.name)] = PrinterFields(p);
    m["default printer"][""] = Text(winsim::DefaultPrinter());
    for (const std::string& line : winsim::RegTreeLines(HKEY_CURRENT_USER, kSettingsKey)) {
        size_t eq = line.find('=');
        m["per-user setting " + line.substr(0, eq)][""] = Bytes(line.substr(eq + 1));
    }
    for (const auto& mon : winsim::Monitors())
        m["monitor " + Quoted(mon.name)] = {{"dll", Text(mon.dll)},
                                            {"content", FileContent(std::u16string(kSystemDirSlash) + mon.dll)}};
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86})
        for (const auto& d : winsim::Drivers(env)) m["driver " + Quoted(d.name) + " " + Text(env)] = DriverFields(d);
    std::string bytes;
    DWORD type = 0;
    m["Run value"][""] = winsim::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, &type, &bytes)
                             ? std::to_string(type) + ":" + Bytes(bytes)
                             : "(none)";
    m["tray executable"][""] = FileContent(kTrayExe);
    m["pending operations"]["other program's"] = PendingPairs(true);
    m["pending operations"]["product's"] = PendingPairs(false);
    for (const char16_t* file : kOtherFiles) m["other program's file " + Text(file)][""] = FileContent(file);
    m["spooler"][""] = winsim::IsServiceRunning(kSpooler) ? "running" : "not running";
    return m;
}

std::vector<std::string> Differences(const Machine& actual, const Machine& golden, const Machine* undone) {
    std::vector<std::string> out;
    std::set<std::string> objects;
    for (const Machine* m : {&actual, &golden, undone})
        if (m)
            for (const auto& entry : *m) objects.insert(entry.first);
    auto find = [](const Machine* m, const std::string& object) -> const std::map<std::string, std::string>* {
        if (!m) return nullptr;
        auto it = m->find(object);
        return it == m->end() ? nullptr : &it->second;
    };
    // After an uninstall that kept some of the product's printers, an install adds those again
    // and no "qgrServer": that printer is only for a machine without any.
    bool productPrinterKept = false;
    for (const auto& [object, fields] : actual) {
        auto driver = fields.find("driver");
        if (object != "printer " + Quoted(u"qgrServer") && driver != fields.end() && driver->second == Text(kProductDriver))
            productPrinterKept = true;
    }
    for (const std::string& object : objects) {
        auto a = find(&actual, object), g = find(&golden, object), u = find(undone, object);
        if (!a) {
            bool fallbackPrinter = object == "printer " + Quoted(u"qgrServer") && undone && productPrinterKept;
            if (g && (!undone || u) && !fallbackPrinter) out.push_back(object + " missing");
            continue;
        }
        if (!g && !u) {
            out.push_back(object + " unexpected");
            continue;
        }
        std::set<std::string> names;
        for (auto fields : {a, g, u})
            if (fields)
                for (const auto& entry : *fields) names.insert(entry.first);
        auto value = [](const std::map<std::string, std::string>* fields, const std::string& name) {
            auto it = fields->find(name);
            return it == fields->end() ? std::string("(none)") : it->second;
        };
        for (const std::string& name : names) {
            std::string av = value(a, name);
            if ((g && value(g, name) == av) || (u && value(u, name) == av)) continue;
            out.push_back(object + (name.empty() ? "" : " " + name) + " '" + av + "' != '" + value(g ? g : u, name) + "'");
        }
    }
    return out;
}

std::string JoinDifferences(const std::vector<std::string>& differences) {
    std::string out;
    for (const std::string& d : differences) out += (out.empty() ? "" : "; ") + d;
    return out;
}

Machine GoldenMachine(const Scenario& scenario, const char16_t* command, const char16_t* recovery) {
    SetUpScenario(scenario);
    int exitCode = 0;
    if (command) RunCommand(command, &exitCode);
    else winsim::FlushBeforeCalls();
    RunCommand(recovery, &exitCode);
    return ReadMachine();
}

}  // namespace qgrsweep
