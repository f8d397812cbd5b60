// Kill sweep over whole runs: for every machine-changing call an undisturbed run makes (and once
// after the last), the same run again with its process ended before that call, as Windows ends
// one; then a clean recovery run, which must end in the golden machine (the command undisturbed,
// then the same recovery). Double kills end the recovery too, at each of its own points, before
// one more clean run.
//
// Usage: kill_sweep [stride [second stride]]. With a stride k only every k-th kill point of each
// list is swept (the first always); the second stride samples the recovery's own points of the
// double kills, which grow with the square of the run's length.
#include <winsim/core.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "sweep/sweep_support.h"

namespace {

using namespace qgrsweep;

// ---- which calls change the machine ------------------------------------------------------

bool Always(const std::u16string&) { return true; }
// "<path>,<access hex>,<share>,<disposition>": opened for writing, or created.
bool OpensForWrite(const std::u16string& args) {
    size_t access = args.rfind(u",0x");
    if (access == std::u16string::npos) return true;
    unsigned long mask = std::strtoul(winsim::ToUtf8(args.substr(access + 3)).c_str(), nullptr, 16);
    int disposition = args.back() - u'0';
    return (mask & (GENERIC_WRITE | GENERIC_ALL | 0x0006)) != 0 || disposition != OPEN_EXISTING;
}

struct Changer {
    const char* api;
    bool (*changes)(const std::u16string& args);
};

// Every call that leaves something behind on the machine: the spooler, the registry, files,
// services, other processes and the event log.
const Changer kChangers[] = {
    {"AddMonitorW", Always},      {"DeleteMonitorW", Always},         {"AddPrinterDriverExW", Always},
    {"DeletePrinterDriverExW", Always}, {"AddPrinterW", Always},      {"DeletePrinter", Always},
    {"SetPrinterW", Always},      {"SetPrinterDataA", Always},        {"SetPrinterDataExA", Always},
    {"SetDefaultPrinterW", Always}, {"RegCreateKeyExW", Always},      {"RegSetValueExW", Always},
    {"RegSetValueExA", Always},   {"RegDeleteValueW", Always},        {"RegDeleteValueA", Always},
    {"RegDeleteKeyW", Always},    {"RegDeleteKeyA", Always},          {"RegFlushKey", Always},
    {"DeleteFileW", Always},      {"MoveFileExW", Always},            {"CreateFileW", OpensForWrite},
    {"WriteFile", Always},        {"ControlService", Always},         {"StartServiceW", Always},
    {"CreateProcessW", Always},   {"PostMessageW", Always},           {"ReportEventW", Always},
};

// Calls that only read, or change nothing but the process itself (which its end takes back).
const std::set<std::string> kReadOnly = {
    "GlobalAlloc", "LocalAlloc", "HeapAlloc", "HeapReAlloc", "CommandLineToArgvW", "FormatMessageW",
    "MultiByteToWideChar", "GetProcessHeap", "GlobalFree", "LocalFree", "HeapFree", "CloseHandle", "ClosePrinter",
    "CloseServiceHandle", "RegCloseKey", "lstrlenW", "lstrlenA", "lstrcatW", "lstrcatA", "lstrcpyW", "lstrcpyA",
    "lstrcmpW", "lstrcmpiW", "GetCommandLineW", "Sleep", "ReadFile", "GetFileAttributesW", "GetFullPathNameW",
    "GetLongPathNameW", "GetModuleFileNameW",
    "GetSystemDirectoryW", "GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueW", "RegOpenKeyExA",
    "RegOpenKeyExW", "RegQueryValueExW", "RegQueryValueExA", "OpenSCManagerW", "OpenServiceW", "QueryServiceStatus",
    "EnumMonitorsW", "EnumPrinterDriversW", "EnumPrintersW", "GetPrinterDriverDirectoryW", "GetPrinterDriverW",
    "OpenPrinterW", "GetPrinterW", "GetPrinterDataA", "GetPrinterDataExA", "GetDefaultPrinterW",
    "RegisterEventSourceW", "DeregisterEventSource", "CreateMutexA", "OpenMutexA",
    "ConvertStringSecurityDescriptorToSecurityDescriptorA", "WaitForSingleObject", "FindWindowW",
    "GetAsyncKeyState", "IsWindow", "ReleaseMutex", "DialogBoxParamW", "SetWindowTextW", "SetDlgItemTextW",
    "EndDialog", "GetVersionExA", "GetModuleHandleW", "GetProcessWindowStation", "GetUserObjectInformationW",
    "RegEnumValueW", "LoadLibraryExW", "GetProcAddress",
};

std::set<std::string> unknownApis;

struct KillPoint {
    size_t index;      // KillBeforeCall's n
    std::string text;  // "before <api> #<n> (<args>)" or "after the last change"
};

// A kill before every machine-changing call, and one after the last (before the call that
// follows it; when none follows, the run ends undisturbed and only its process end remains).
std::vector<KillPoint> KillPoints(const std::vector<winsim::Call>& calls, size_t stride) {
    std::vector<KillPoint> points;
    std::map<std::string, int> seen;
    size_t last = 0;
    bool any = false;
    for (size_t i = 0; i < calls.size(); ++i) {
        const winsim::Call& call = calls[i];
        int n = ++seen[call.api];
        const Changer* changer = nullptr;
        for (const Changer& c : kChangers)
            if (call.api == c.api) changer = &c;
        if (!changer) {
            if (!kReadOnly.count(call.api)) unknownApis.insert(call.api);
            continue;
        }
        if (!changer->changes(call.args)) continue;
        points.push_back({i, "before " + call.api + " #" + std::to_string(n) + " (" + winsim::ToUtf8(call.args) + ")"});
        last = i;
        any = true;
    }
    points.push_back({any ? last + 1 : 0, "after the last change"});
    std::vector<KillPoint> sampled;
    for (size_t i = 0; i < points.size(); i += stride) sampled.push_back(points[i]);
    return sampled;
}

struct Sweep {
    Tally tally;
    size_t stride = 1;
    size_t secondStride = 1;
};

// The scenario's command killed at `first`; then, when `second` is given, the recovery killed
// there too; then a clean recovery. Returns the calls of the first recovery run.
std::vector<winsim::Call> KillAndRecover(Sweep& sweep, const Scenario& scenario, const char16_t* recovery,
                                         const KillPoint& first, const KillPoint* second, const Machine& golden,
                                         const Machine* undone) {
    std::string point = "kill " + first.text;
    if (second) point += ", recovery killed " + second->text;
    point += ", then " + winsim::ToUtf8(recovery);
    SetUpScenario(scenario);
    RunStart start = ReadStart();
    int exitCode = 0;
    winsim::KillBeforeCall(first.index);
    RunCommand(scenario.command, &exitCode);
    ++sweep.tally.runs;
    ++sweep.tally.points;
    // What the process held went with it.
    std::string left = LeftOverBlocks();
    if (HandlesText() != start.handles) left += " handles: " + HandlesText();
    if (!left.empty()) Violation(sweep.tally, scenario.name, point, "killed run left " + left);
    winsim::ClearCalls();
    if (second) {
        winsim::KillBeforeCall(second->index);
        RunCommand(recovery, &exitCode);
        ++sweep.tally.runs;
        ++sweep.tally.points;
    }
    RunStart next = ReadStart();
    Kind kind = std::u16string(recovery) == u"in" ? Kind::Install : Kind::Uninstall;
    RunCommand(recovery, &exitCode, [&] {
        CheckRun(sweep.tally, scenario, kind, exitCode, next,
                 kind == Kind::Install ? kInstallMaxWaitMs : kUninstallMaxWaitMs, false, point, "recovery");
    });
    ++sweep.tally.runs;
    std::vector<std::string> differences = Differences(ReadMachine(), golden, undone);
    if (!differences.empty())
        Violation(sweep.tally, scenario.name, point, "against the golden machine: " + JoinDifferences(differences));
    return winsim::Calls();
}

void SweepScenario(Sweep& sweep, const Scenario& scenario) {
    SetUpScenario(scenario);
    int exitCode = 0;
    RunCommand(scenario.command, &exitCode);
    std::vector<KillPoint> points = KillPoints(winsim::Calls(), sweep.stride * scenario.sampleEvery);
    std::vector<const char16_t*> recoveries = {u"in"};
    if (scenario.kind == Kind::Uninstall) recoveries.push_back(u"un");
    for (const char16_t* recovery : recoveries) {
        Machine golden = GoldenMachine(scenario, scenario.command, recovery);
        // A recovery by another command does not redo what the killed one was for.
        Machine undoneMachine = GoldenMachine(scenario, nullptr, recovery);
        const Machine* undone = std::u16string(recovery) == scenario.command ? nullptr : &undoneMachine;
        for (const KillPoint& first : points) {
            auto recoveryCalls = KillAndRecover(sweep, scenario, recovery, first, nullptr, golden, undone);
            for (const KillPoint& second : KillPoints(recoveryCalls, sweep.secondStride * scenario.sampleEvery))
                KillAndRecover(sweep, scenario, recovery, first, &second, golden, undone);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines before a crash still show
    Sweep sweep;
    if (argc > 1) sweep.stride = std::max(1, std::atoi(argv[1]));
    sweep.secondStride = argc > 2 ? std::max(1, std::atoi(argv[2])) : sweep.stride;
    for (const Scenario& scenario : Scenarios())
        if (scenario.kind != Kind::Query) SweepScenario(sweep, scenario);
    for (const auto& api : unknownApis) {
        ++sweep.tally.violations;
        std::printf("violation: %s is in neither list of the kill sweep\n", api.c_str());
    }
    std::printf("kill sweep: %d runs, %d kill points, %d violations\n", sweep.tally.runs, sweep.tally.points,
                sweep.tally.violations);
    return sweep.tally.violations == 0 ? 0 : 1;
}
