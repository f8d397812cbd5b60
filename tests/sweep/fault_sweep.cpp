// Single-fault sweep over whole runs: for every platform call a clean run makes, the same run
// again with exactly that call failing, then a clean install. After each run the machine must be
// usable, every bystander untouched and the exit code honest; after the clean install it must
// equal the golden machine (the command undisturbed, then the same clean install).
#include <winsim/core.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sweep/sweep_support.h"

namespace {

using namespace qgrsweep;

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
        {"GetFullPathNameW", ERROR_INVALID_NAME},
        {"GetLongPathNameW", ERROR_ACCESS_DENIED},
        {"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY},
        {"GetSystemDirectoryW", ERROR_NOT_ENOUGH_MEMORY},
        {"LoadLibraryExW", ERROR_MOD_NOT_FOUND},
        {"GetProcAddress", ERROR_PROC_NOT_FOUND},
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
        {"RegFlushKey", ERROR_ACCESS_DENIED},
        {"RegDeleteKeyW", ERROR_ACCESS_DENIED},
        {"RegQueryInfoKeyW", ERROR_ACCESS_DENIED},
        {"GetCurrentProcessId", 0},  // cannot fail
        {"ProcessIdToSessionId", ERROR_ACCESS_DENIED},
        {"RegEnumValueW", ERROR_ACCESS_DENIED},
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
        {"GetPrinterDataExA", ERROR_ACCESS_DENIED},
        {"SetPrinterDataA", ERROR_ACCESS_DENIED},
        {"SetPrinterDataExA", ERROR_ACCESS_DENIED},
        {"GetDefaultPrinterW", RPC_S_SERVER_UNAVAILABLE},  // ERROR_FILE_NOT_FOUND would mean "no default"
        {"SetDefaultPrinterW", ERROR_INVALID_PRINTER_NAME},
        // event log
        {"RegisterEventSourceW", ERROR_ACCESS_DENIED},
        {"ReportEventW", ERROR_NOT_ENOUGH_MEMORY},
        {"DeregisterEventSource", 0},  // a close
        // processes and windows
        {"CreateMutexA", ERROR_ACCESS_DENIED},
        {"OpenMutexA", ERROR_FILE_NOT_FOUND},  // the holder closed it in between
        {"ConvertStringSecurityDescriptorToSecurityDescriptorA", ERROR_NOT_ENOUGH_MEMORY},
        {"WaitForSingleObject", ERROR_INVALID_HANDLE},
        {"CreateProcessW", ERROR_ACCESS_DENIED},
        {"FindWindowW", ERROR_ACCESS_DENIED},
        {"PostMessageW", ERROR_ACCESS_DENIED},  // a window of a higher integrity level
        {"GetAsyncKeyState", ERROR_ACCESS_DENIED},
        {"IsWindow", 0},      // answers only yes or no
        {"ReleaseMutex", 0},  // fails only for a mutex the caller does not own
    };
    return table;
}

// Further errors the documentation gives for situations the installer handles, each tried once
// at the first and at the second call of the API (the second call of a size query and its read).
const std::map<std::string, std::vector<DWORD>>& ErrorVariants() {
    static const std::map<std::string, std::vector<DWORD>> table = {
        {"RegQueryValueExW", {ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND}},
        {"RegQueryValueExA", {ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND}},
        {"RegOpenKeyExA", {ERROR_FILE_NOT_FOUND}},
        {"EnumPrintersW", {ERROR_INSUFFICIENT_BUFFER}},
        {"EnumMonitorsW", {ERROR_INSUFFICIENT_BUFFER}},
        {"EnumPrinterDriversW", {ERROR_INSUFFICIENT_BUFFER}},
        {"GetPrinterW", {ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PRINTER_NAME}},
        {"GetPrinterDriverW", {ERROR_INSUFFICIENT_BUFFER, ERROR_UNKNOWN_PRINTER_DRIVER}},
        // Not ERROR_FILE_NOT_FOUND or ERROR_MORE_DATA for the printer data: they are answers about
        // the value (there is none; it needs this many bytes), which a fault cannot give truly.
        {"OpenPrinterW", {ERROR_INVALID_PRINTER_NAME}},
        {"AddPrinterW", {ERROR_PRINTER_ALREADY_EXISTS}},
        {"GetDefaultPrinterW", {ERROR_INSUFFICIENT_BUFFER}},
        {"CreateFileW", {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND}},
        {"DeleteFileW", {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND}},
        {"WriteFile", {ERROR_DISK_FULL}},
        {"MoveFileExW", {ERROR_SHARING_VIOLATION}},
        {"OpenServiceW", {ERROR_SERVICE_DOES_NOT_EXIST}},
        {"ControlService", {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, ERROR_DEPENDENT_SERVICES_RUNNING}},
        {"StartServiceW", {ERROR_SERVICE_ALREADY_RUNNING}},
        {"OpenMutexA", {ERROR_ACCESS_DENIED}},
        // wait results, not errors: the holder keeps the object, or ended without releasing it
        {"WaitForSingleObject", {WAIT_TIMEOUT, WAIT_ABANDONED}},
    };
    return table;
}

// ---- the sweep ---------------------------------------------------------------------------

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

// One run of the scenario's command from its start with the given faults, followed by a clean
// install that must repair the machine into the golden one. Returns whether the faulted run
// asked for error texts.
bool RunOnce(Tally& tally, const Scenario& scenario, const Machine& golden, const Machine* undone,
             const std::vector<Fault>& faults) {
    SetUpScenario(scenario);
    RunStart start = ReadStart();
    for (const Fault& f : faults) winsim::InjectFault(f.api, f.error, 1, static_cast<int>(f.skip));
    if (!faults.empty()) ++tally.points;
    std::string fault = Describe(faults);
    // A wait made to time out waited its whole time ("<object>,<ms>").
    uint64_t maxWaitMs = scenario.maxWaitMs;
    for (const Fault& f : faults)
        if (f.api == "WaitForSingleObject" && f.error == WAIT_TIMEOUT)
            maxWaitMs += std::strtoull(winsim::ToUtf8(f.args.substr(f.args.rfind(u',') + 1)).c_str(), nullptr, 10);
    int exitCode = 0;
    // A run's invariants are checked before its process ends: what it left open is its fault.
    RunCommand(scenario.command, &exitCode, [&] {
        CheckRun(tally, scenario, scenario.kind, exitCode, start, maxWaitMs, Allowed(faults, "autostart"),
                 fault, "faulted run");
    });
    bool describedErrors = winsim::CallCount("FormatMessageW") > 0;
    ++tally.runs;
    winsim::ClearFaults();

    // The next clean install repairs whatever the faulted run left, and harms no more. What the
    // faulted run changed of a bystander is reported above, not again here.
    RunStart next = ReadStart();
    RunCommand(u"in", &exitCode, [&] {
        if (exitCode != 1 && exitCode != 101)
            Violation(tally, scenario.name, fault, "recovery: install exited " + std::to_string(exitCode));
        CheckRun(tally, scenario, Kind::Install, exitCode, next, kInstallMaxWaitMs, false, fault, "recovery");
    });
    ++tally.runs;
    std::vector<std::string> differences = Differences(ReadMachine(), golden, undone);
    if (!differences.empty()) Violation(tally, scenario.name, fault, "recovery against the golden machine: " + JoinDifferences(differences));
    return describedErrors;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines before a crash still show
    Tally tally;
    std::set<std::string> unknown;
    // Fault pairs per scenario, and a stride k that fails only every k-th call (the first always):
    // the sanitizer build samples what the plain one sweeps in full.
    const int pairsPerScenario = argc > 1 ? std::atoi(argv[1]) : 250;
    const size_t stride = argc > 2 ? static_cast<size_t>(std::max(1, std::atoi(argv[2]))) : 1;
    size_t swept = 0;
    std::mt19937 rng(17);
    int variantRuns = 0, pairRuns = 0;
    for (const Scenario& scenario : Scenarios()) {
        Machine golden = GoldenMachine(scenario, scenario.command, u"in");
        // A command other than the install: the install that follows does not redo it.
        Machine undoneMachine = GoldenMachine(scenario, nullptr, u"in");
        const Machine* undone = std::u16string(scenario.command) == u"in" ? nullptr : &undoneMachine;
        SetUpScenario(scenario);
        int exitCode = 0;
        RunCommand(scenario.command, &exitCode);
        std::vector<winsim::Call> calls = winsim::Calls();
        RunOnce(tally, scenario, golden, undone, {});
        std::vector<Fault> points;
        std::map<std::string, size_t> seen;
        for (const winsim::Call& call : calls) {
            size_t skip = seen[call.api]++;
            auto entry = FaultTable().find(call.api);
            if (entry == FaultTable().end()) {
                unknown.insert(call.api);
                continue;
            }
            if (entry->second == 0 || (&call - calls.data()) % scenario.sampleEvery != 0) continue;
            Fault fault{call.api, skip, entry->second, call.args};
            points.push_back(fault);
            if (swept++ % stride != 0) continue;
            // A run that met the fault and describes it in the log asks for the system's text,
            // which needs memory of its own: once more with that request failing too.
            if (RunOnce(tally, scenario, golden, undone, {fault}))
                RunOnce(tally, scenario, golden, undone, {fault, Fault{"FormatMessageW", 0, ERROR_NOT_ENOUGH_MEMORY, u""}});
            auto variants = ErrorVariants().find(call.api);
            if (variants != ErrorVariants().end() && skip < 2) {
                for (DWORD error : variants->second) {
                    RunOnce(tally, scenario, golden, undone, {Fault{call.api, skip, error, call.args}});
                    ++variantRuns;
                }
            }
        }
        // Second faults: a sample of pairs, the second on a later call of the same run, so that
        // retries and recovery paths meet a fault too. The same seed gives the same sample.
        for (int pair = 0; pair < pairsPerScenario / scenario.sampleEvery && points.size() >= 2; ++pair) {
            size_t first = rng() % (points.size() - 1);
            size_t second = first + 1 + rng() % (points.size() - first - 1);
            Fault a = points[first], b = points[second];
            // A second fault in the same API counts its calls after the first one's.
            if (b.api == a.api) b.skip -= a.skip + 1;
            RunOnce(tally, scenario, golden, undone, {a, b});
            ++pairRuns;
        }
    }
    for (const auto& api : unknown) {
        ++tally.violations;
        std::printf("violation: %s has no entry in the fault table\n", api.c_str());
    }
    std::printf("fault sweep: %d runs, %d faulted calls (%d error variants, %d pairs), %d violations\n",
                tally.runs, tally.points, variantRuns, pairRuns, tally.violations);
    return tally.violations == 0 ? 0 : 1;
}
