// Reinstall over N product printers on the simulated machine: CPU time of the run, virtual time
// it waited and the number of spooler calls, so that growth with N can be read off.
#include <windows.h>
#include <winspool.h>

#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <ctime>
#include <cstdio>
#include <set>
#include <string>

#include "frontend/entry.h"

namespace {

const char16_t kModuleDir[] = u"C:\\Program Files\\Quillgraph\\drv\\";
const char16_t kModulePath[] = u"C:\\Program Files\\Quillgraph\\drv\\install.exe";
const char16_t kSystemDir[] = u"C:\\Windows\\system32\\";

const std::set<std::string>& SpoolerApis() {
    static const std::set<std::string> apis = {
        "EnumMonitorsW",     "AddMonitorW",      "DeleteMonitorW",     "EnumPrinterDriversW",
        "AddPrinterDriverExW", "DeletePrinterDriverExW", "GetPrinterDriverW", "GetPrinterDriverDirectoryW",
        "EnumPrintersW",     "OpenPrinterW",     "ClosePrinter",       "AddPrinterW",
        "DeletePrinter",     "GetPrinterW",      "SetPrinterW",        "GetPrinterDataA",
        "SetPrinterDataA",   "GetPrinterDataExA", "SetPrinterDataExA", "GetDefaultPrinterW",
        "SetDefaultPrinterW"};
    return apis;
}

// The product installed as an earlier run left it, with `printers` product printers.
void SetUpInstalledProduct(int printers) {
    winsim::Reset();
    winsim::SetModulePath(kModulePath);
    for (const char16_t* name : {u"vmqmon64.dll", u"vmqdrv64.dll", u"vmqui64.dll", u"vmqmon32.dll",
                                 u"vmqdrv32.dll", u"vmqui32.dll", u"vmqhelp.chm"}) {
        std::u16string path = std::u16string(kModuleDir) + name;
        winsim::WriteTestFile(path, "stand-in");
        std::u16string_view n(name);
        if (n.find(u"64.dll") != std::u16string_view::npos) winsim::SetFileMachine(path, winsim::Machine::X64);
        if (n.find(u"32.dll") != std::u16string_view::npos) winsim::SetFileMachine(path, winsim::Machine::X86);
        winsim::SetProductVersion(path, 1, 0, 0, 2430);
    }
    winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
    winsim::SetMonitorDllPorts(u"vmqmon64.dll", {u"QuillgraphServer:"});
    winsim::CopyTestFile(std::u16string(kModuleDir) + u"vmqmon64.dll", std::u16string(kSystemDir) + u"vmqmon64.dll");
    winsim::SetProductVersion(std::u16string(kSystemDir) + u"vmqmon64.dll", 1, 0, 0, 2430);
    winsim::AddTestMonitor(u"QuillgraphServer:", u"vmqmon64.dll");
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86}) {
        winsim::SpoolDriver driver;
        driver.name = u"Quillgraph Server";
        driver.environment = env;
        winsim::AddTestDriver(driver);
    }
    for (int i = 0; i < printers; ++i) {
        winsim::SpoolPrinter printer;
        printer.name = u"Quillgraph " + winsim::ToU16(std::to_string(i + 1));
        printer.portName = u"QuillgraphServer:";
        printer.driverName = u"Quillgraph Server";
        winsim::AddTestPrinter(printer);
        std::string subKey = "printer" + std::to_string(i + 1);
        winsim::SetTestPrinterData(printer.name, "", "SubKey", REG_SZ, subKey + std::string(1, '\0'));
    }
    winsim::SetCommandLine(u"\"" + std::u16string(kModulePath) + u"\" in");
    winsim::ClearCalls();
}

}  // namespace

int main() {
    std::printf("%8s %8s %12s %14s %14s %10s\n", "printers", "exit", "cpu ms", "waited ms", "spooler calls",
                "calls/N");
    for (int printers : {1, 10, 100, 1000}) {
        SetUpInstalledProduct(printers);
        uint64_t sleptBefore = winsim::TotalSlept();
        std::clock_t start = std::clock();
        int code = RunEntry(nullptr, GetCommandLineW());
        std::clock_t end = std::clock();
        size_t spoolerCalls = 0;
        for (const winsim::Call& call : winsim::Calls()) {
            if (SpoolerApis().count(call.api)) ++spoolerCalls;
        }
        double cpuMs = 1000.0 * static_cast<double>(end - start) / CLOCKS_PER_SEC;
        std::printf("%8d %8d %12.1f %14llu %14zu %10.1f\n", printers, code, cpuMs,
                    static_cast<unsigned long long>(winsim::TotalSlept() - sleptBefore), spoolerCalls,
                    static_cast<double>(spoolerCalls) / printers);
    }
    return 0;
}
