#include "support/product_support.h"

#include <cstdio>

#include <winsim/core.h>
#include <winsim/files.h>

#include "support/test_support.h"

namespace qgrtest {

std::u16string ErrorText(int code, std::u16string_view message, std::u16string_view description) {
    return u"Error(" + winsim::ToU16(std::to_string(code)) + u"): " + std::u16string(message) + u" - (" +
           std::u16string(description) + u")";
}

void StartContext(InstallContext& ctx) {
    ctx = BlankContext();
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    FreeText(ctx.log);
}

void EndContext(InstallContext& ctx) {
    FreeContext(ctx);
    ExpectAllBlocksReleased();
}

void ProvideProductPort() { winsim::SetMonitorDllPorts(kMonitorDll, {kMonitorName}); }

void InstallMonitorDirectly(WORD build) {
    ProvideProductPort();
    winsim::CopyTestFile(ModuleFile(kMonitorDll), kSystemMonitorDll);
    winsim::SetProductVersion(kSystemMonitorDll, 1, 0, 0, build);
    winsim::AddTestMonitor(kMonitorName, kMonitorDll);
}

void RemoveAllMonitors() {
    for (const auto& monitor : winsim::Monitors()) {
        std::u16string name = monitor.name;
        DeleteMonitorW(nullptr, const_cast<LPWSTR>(u"Windows x64"), name.data());
    }
}

void InstallOtherDriver() {
    winsim::SpoolDriver driver;
    driver.name = u"Other Driver";
    driver.driverPath = winsim::DriverDirectory(winsim::kEnvX64) + u"\\3\\other.dll";
    winsim::AddTestDriver(driver);
}

void InstallDriverDirectly(WORD build) {
    std::u16string dir = winsim::DriverDirectory(winsim::kEnvX64) + u"\\3\\";
    winsim::SpoolDriver driver;
    driver.name = kDriverName;
    driver.driverPath = dir + u"vmqdrv64.dll";
    driver.dataFile = driver.driverPath;
    driver.configFile = dir + u"vmqui64.dll";
    winsim::WriteTestFile(driver.driverPath, "driver");
    winsim::SetFileMachine(driver.driverPath, winsim::Machine::X64);
    winsim::WriteTestFile(driver.configFile, "ui");
    winsim::SetFileMachine(driver.configFile, winsim::Machine::X64);
    if (build != 0) winsim::SetProductVersion(driver.driverPath, 1, 0, 0, build);
    winsim::AddTestDriver(driver);
}

winsim::SpoolPrinter ProductPrinter(std::u16string name, std::u16string port) {
    winsim::SpoolPrinter printer;
    printer.name = std::move(name);
    printer.portName = std::move(port);
    printer.driverName = kDriverName;
    return printer;
}

std::vector<std::u16string> CallArgs(std::string_view api) {
    std::vector<std::u16string> args;
    for (const auto& call : winsim::Calls())
        if (call.api == api) args.push_back(call.args);
    return args;
}

std::u16string Dec(uint64_t value) { return winsim::ToU16(std::to_string(value)); }

std::u16string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return winsim::ToU16(text);
}

std::vector<std::u16string> LinesStartingWith(const InstallContext& ctx, std::u16string_view prefix) {
    std::vector<std::u16string> found;
    for (const auto& line : LogLines(ctx)) {
        size_t start = line.find_first_not_of(u' ');
        if (start != std::u16string::npos && line.compare(start, prefix.size(), prefix) == 0)
            found.push_back(line.substr(start));
    }
    return found;
}

}  // namespace qgrtest
