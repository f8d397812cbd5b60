#include "scenarios/scenario_support.h"

#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include "frontend/entry.h"

namespace qgrtest {

namespace {

winsim::TrayAppConfig TrayConfig() {
    winsim::TrayAppConfig config;
    config.mutexName = kTrayMutex;
    config.windowClass = kTrayWindowClass;
    config.windowTitle = u"Quillgraph";
    config.quitMessage = WM_USER + 2;
    return config;
}

}  // namespace

void SetUpScenarioMachine() {
    SetUpHealthyMachine();
    winsim::SetMonitorDllPorts(u"vmqmon64.dll", {kProductPort});
    winsim::SetMonitorDllPorts(u"vmqmon32.dll", {kProductPort});
    winsim::WriteTestFile(kTrayExe, "tray");
    winsim::RegisterTrayApp(u"qgrtray.exe", TrayConfig());
    winsim::CreateRegKey(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey);
    winsim::CreateRegKey(HKEY_LOCAL_MACHINE, kRunKey);
}

int RunInstaller(std::u16string_view arguments) {
    std::u16string commandLine = u"\"" + std::u16string(kModulePath) + u"\"";
    if (!arguments.empty()) commandLine += u" " + std::u16string(arguments);
    winsim::SetCommandLine(commandLine);
    return RunEntry(nullptr, GetCommandLineW());
}

void SetUpInstalledProduct() {
    winsim::CopyTestFile(ModuleFile(u"vmqmon64.dll"), kMonitorDll);
    winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2430);
    winsim::AddTestMonitor(kProductPort, u"vmqmon64.dll");
    for (const char16_t* env : {winsim::kEnvX64, winsim::kEnvX86}) {
        bool x64 = std::u16string_view(env) == winsim::kEnvX64;
        std::u16string dir = winsim::DriverDirectory(env) + u"\\3\\";
        winsim::SpoolDriver driver;
        driver.name = kProductDriver;
        driver.environment = env;
        driver.driverPath = dir + (x64 ? u"vmqdrv64.dll" : u"vmqdrv32.dll");
        driver.dataFile = driver.driverPath;
        driver.configFile = dir + (x64 ? u"vmqui64.dll" : u"vmqui32.dll");
        driver.helpFile = dir + u"vmqhelp.chm";
        winsim::Machine machine = x64 ? winsim::Machine::X64 : winsim::Machine::X86;
        winsim::WriteTestFile(driver.driverPath, "driver");
        winsim::SetFileMachine(driver.driverPath, machine);
        winsim::SetProductVersion(driver.driverPath, 1, 0, 0, 2430);
        winsim::WriteTestFile(driver.configFile, "ui");
        winsim::SetFileMachine(driver.configFile, machine);
        winsim::WriteTestFile(driver.helpFile, "help");
        winsim::AddTestDriver(driver);
    }
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, kTrayExe);
    StartTray();
}

void AddInstalledPrinter(std::u16string_view name, std::string_view subKey, std::u16string_view comment,
                         std::u16string_view location) {
    winsim::SpoolPrinter printer;
    printer.name = std::u16string(name);
    printer.portName = kProductPort;
    printer.driverName = kProductDriver;
    printer.comment = std::u16string(comment);
    printer.location = std::u16string(location);
    winsim::AddTestPrinter(printer);
    std::string value = std::string(subKey) + std::string(1, '\0');
    winsim::SetTestPrinterData(name, "", "SubKey", REG_SZ, value);
    winsim::SetTestPrinterData(name, "DsUser", "SubKey", REG_SZ, value);
    std::u16string key = std::u16string(kSettingsKey) + u"\\" + winsim::ToU16(subKey);
    winsim::SetRegString(HKEY_CURRENT_USER, key, u"deleted", u"1");
}

void SetPendingRenames(const std::vector<std::u16string>& strings) {
    winsim::SetRegMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, strings);
}

std::u16string LastDialogLog() {
    const auto& dialogs = winsim::Dialogs();
    return dialogs.empty() ? std::u16string() : dialogs.back().Text(1001);
}

std::u16string LastDialogTitle() {
    const auto& dialogs = winsim::Dialogs();
    return dialogs.empty() ? std::u16string() : dialogs.back().title;
}

size_t DialogCount() { return winsim::Dialogs().size(); }

std::vector<std::pair<int, std::u16string>> ContextStartLines() {
    std::vector<std::pair<int, std::u16string>> lines = {{0, u"Quillgraph 2430"}, {0, u">Check Spooler"}};
    for (auto& line : DriverDirLines(0, true)) lines.push_back(line);
    return lines;
}

std::vector<std::pair<int, std::u16string>> DriverDirLines(int indent, bool x64) {
    std::u16string dir = x64 ? kDriverDirX64Slash : kDriverDirX86Slash;
    return {{indent, u"PrinterDriverDirectory(1):" + dir.substr(0, dir.size() - 1)},
            {indent, u"PrinterDriverDirectory(2):" + dir}};
}

DWORD StartTray() { return winsim::StartTrayApp(kTrayExe, TrayConfig()); }

bool TrayRunning() { return !winsim::RunningProcesses(u"qgrtray.exe").empty(); }

}  // namespace qgrtest
