// Whole install and uninstall runs: exit code, the complete log, the machine afterwards and the
// heaps.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <string>
#include <tuple>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;
using Lines = std::vector<std::pair<int, std::u16string>>;

void Add(Lines& lines, const Lines& more) { lines.insert(lines.end(), more.begin(), more.end()); }

Lines CopyLines(int indent, const std::u16string& file, const std::u16string& dir, int report) {
    return {{indent, u">CopyFile " + file + u" to " + dir + u" [" + (report ? u"1" : u"0") + u"])"},
            {indent + 1, u"Copy Succeeded :)"}};
}

Lines AddDriverLines(int indent, bool x64) {
    std::u16string dir = x64 ? kDriverDirX64Slash : kDriverDirX86Slash;
    Lines lines = {{indent, u">Add Printer Driver"}};
    Add(lines, CopyLines(indent + 1, x64 ? u"vmqdrv64.dll" : u"vmqdrv32.dll", dir, 1));
    Add(lines, CopyLines(indent + 1, x64 ? u"vmqui64.dll" : u"vmqui32.dll", dir, 1));
    Add(lines, CopyLines(indent + 1, u"vmqhelp.chm", dir, 1));
    lines.push_back({indent + 1, u"OK :)"});
    return lines;
}

Lines AddPrinterLines(int indent, const std::u16string& name) {
    return {{indent, u">AddPrinter(" + name + u")"},
            {indent + 1, u"Let's check our port monitors"},
            {indent + 1, u"Port monitor is found"},
            {indent + 1, u"OK :)"}};
}

Lines DeleteDriverLines(int indent, const std::u16string& environment, bool installed) {
    Lines lines = {{indent, u">DeletePrinterDriver for " + environment}};
    if (installed) {
        lines.push_back({indent + 1, u"------------ 1 existing drivers-----------"});
        lines.push_back({indent + 1, u"1. Quillgraph Server"});
        lines.push_back({indent + 1, u"-------------------------------------------"});
        lines.push_back({indent + 1, u"Driver is found. Index=1"});
        lines.push_back({indent + 1, u"OK :)"});
    } else {
        lines.push_back({indent + 1, u"BTW, there is no printer drivers on this system."});
        lines.push_back({indent + 1, u"No Quillgraph driver was found"});
    }
    return lines;
}

Lines MonitorListLines(int indent, bool withProduct) {
    Lines lines = {{indent, withProduct ? u"------- 3 existing monitors ----------" : u"------- 2 existing monitors ----------"},
                   {indent, u"1. Local Port"},
                   {indent, u"2. Standard TCP/IP Port"}};
    if (withProduct) lines.push_back({indent, u"3. QuillgraphServer:"});
    lines.push_back({indent, u"---------------------------------------"});
    return lines;
}

// The removal part shared by every run on this machine, from ">UnInstall Server" on.
Lines UninstallServerHead(int indent, int monitors) {
    return {{indent, u">UnInstall Server"},
            {indent + 1, u"EnumMonitors"},
            {indent + 1, std::u16string(1, static_cast<char16_t>(u'0' + monitors)) + u" Monitors found"},
            {indent + 1, u"EnumPrinterDrivers for Windows x64"},
            {indent + 1, u"EnumPrinterDrivers for Windows NT x86"}};
}

Lines DeletePrinterLines(int indent, const std::u16string& name) {
    return {{indent, u">DeletePrinter(" + name + u")"}, {indent + 1, u"OK"}};
}

// A REG_SZ value's bytes: the UTF-16 text and its terminator.
std::string WideBytes(const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(char16_t));
}

std::u16string PrinterData(const std::u16string& printer, const std::string& key) {
    DWORD type = 0;
    std::string bytes;
    if (!winsim::GetTestPrinterData(printer, key, "SubKey", &type, &bytes) || type != REG_SZ) return u"<none>";
    return winsim::ToU16(std::string(bytes.c_str()));
}

std::vector<std::u16string> CallArgsOf(std::string_view api) {
    std::vector<std::u16string> args;
    for (const auto& call : winsim::Calls())
        if (call.api == api) args.push_back(call.args);
    return args;
}

class FullRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpScenarioMachine();
        winsim::SetKeyDown(VK_SHIFT);  // the dialog then shows the whole log of a clean run
    }
};

TEST_F(FullRunTest, FreshInstall) {
    int code = RunInstaller(u"in");
    EXPECT_EQ(code, 1);

    Lines lines = ContextStartLines();
    lines.push_back({0, u">>0010"});
    lines.push_back({0, u">ReInstall"});
    lines.push_back({2, u">UnInstall"});
    Add(lines, UninstallServerHead(3, 2));
    lines.push_back({4, u">DeleteAllPrinters"});
    Add(lines, DeleteDriverLines(4, u"Windows x64", false));
    lines.push_back({4, u">DeleteMonitor"});
    Add(lines, MonitorListLines(5, false));
    Add(lines, {{5, u"No Quillgraph port monitor was found."},
                {5, u"Computing monitor filename"},
                {5, u"Auto calculated monitor file name: C:\\Windows\\system32\\vmqmon64.dll"},
                {5, u"Version is unknown, proceed with reinstall"},
                {5, u"Can't delete monitor and monitor was not found. So everything should be ok"}});
    Add(lines, DriverDirLines(4, false));
    Add(lines, DeleteDriverLines(4, u"Windows NT x86", false));
    Add(lines, DriverDirLines(4, true));
    Add(lines, {{2, u">AddMonitor"}, {3, u"Copy monitor file"}});
    Add(lines, CopyLines(3, u"vmqmon64.dll", kSystemDirSlash, 0));
    lines.push_back({3, u"AddMonitor - OK :)"});
    Add(lines, AddDriverLines(2, true));
    Add(lines, DriverDirLines(2, false));
    Add(lines, AddDriverLines(2, false));
    Add(lines, DriverDirLines(2, true));
    Add(lines, AddPrinterLines(2, u"qgrServer"));
    EXPECT_EQ(Utf8(LastDialogLog()), Utf8(ExpectedLog(lines)));
    EXPECT_EQ(Utf8(LastDialogTitle()), "Quillgraph build 2430- Install log.");

    // The machine afterwards.
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    EXPECT_EQ(winsim::FileBytes(kMonitorDll), ProductFileBytes(u"vmqmon64.dll"));
    auto x64 = winsim::FindDriver(kProductDriver, winsim::kEnvX64);
    auto x86 = winsim::FindDriver(kProductDriver, winsim::kEnvX86);
    ASSERT_TRUE(x64 && x86);
    EXPECT_EQ(winsim::FileBytes(x64->driverPath), ProductFileBytes(u"vmqdrv64.dll"));
    EXPECT_EQ(winsim::FileBytes(x86->configFile), ProductFileBytes(u"vmqui32.dll"));
    // The staged copies are gone from the driver directories.
    EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverDirX64Slash) + u"vmqdrv64.dll"));
    EXPECT_FALSE(winsim::FileExists(std::u16string(kDriverDirX86Slash) + u"vmqhelp.chm"));
    auto printers = winsim::Printers();
    ASSERT_EQ(printers.size(), 1u);
    EXPECT_EQ(printers[0].name, u"qgrServer");
    EXPECT_EQ(printers[0].portName, kProductPort);
    EXPECT_EQ(printers[0].driverName, kProductDriver);
    EXPECT_TRUE(printers[0].attributes & PRINTER_ATTRIBUTE_SHARED);
    EXPECT_EQ(printers[0].shareName.value_or(u""), u"qgrServer");
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
    DWORD type = 0;
    std::string run;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, &type, &run));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(run, WideBytes(kTrayExe));
    EXPECT_TRUE(TrayRunning());
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 0);
    // A healthy fresh install waits only for the tray removal's 1 s pause when the autostart
    // value is missing: no help window, spooler running, no retries.
    EXPECT_EQ(winsim::TotalSlept(), 1000u);
    EXPECT_EQ(winsim::CallCount("Sleep"), 1u);
    ExpectAllBlocksReleased();
}

TEST_F(FullRunTest, ReinstallOverTwoProductPrinters) {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"Alpha", "s1", u"first comment", u"room 1");
    AddInstalledPrinter(u"Beta", "s2", u"second comment", u"room 2");
    winsim::SpoolPrinter other;
    other.name = u"Office";
    other.portName = u"LPT1:";
    other.driverName = u"Other Driver";
    winsim::SpoolDriver otherDriver;
    otherDriver.name = u"Other Driver";
    winsim::AddTestDriver(otherDriver);
    winsim::AddTestPrinter(other);
    winsim::SetTestDefaultPrinter(u"Alpha");

    int code = RunInstaller(u"install");
    EXPECT_EQ(code, 1);

    Lines lines = ContextStartLines();
    lines.push_back({0, u">>0010"});
    lines.push_back({0, u">ReInstall"});
    lines.push_back({2, u">UnInstall"});
    Add(lines, UninstallServerHead(3, 3));
    lines.push_back({4, u">DeleteAllPrinters"});
    Add(lines, DeletePrinterLines(5, u"Alpha"));
    Add(lines, DeletePrinterLines(5, u"Beta"));
    Lines x64Driver = {{4, u">DeletePrinterDriver for Windows x64"},
                       {5, u"------------ 2 existing drivers-----------"},
                       {5, u"1. Quillgraph Server"},
                       {5, u"2. Other Driver"},
                       {5, u"-------------------------------------------"},
                       {5, u"Driver is found. Index=1"},
                       {5, u"OK :)"}};
    Add(lines, x64Driver);
    lines.push_back({4, u">DeleteMonitor"});
    Add(lines, MonitorListLines(5, true));
    Add(lines, {{5, u"Port monitor is found. Index=3"},
                {5, u"Trying to get monitor filename from MONITOR_INFO_2"},
                {5, u"Auto calculated monitor file name: C:\\Windows\\system32\\vmqmon64.dll"},
                {5, u"Version (2430) is compatible, proceed without uninstall"},
                {5, u"InstallMonitor == 0, CopyMonitor == 1"}});
    Add(lines, DriverDirLines(4, false));
    Add(lines, DeleteDriverLines(4, u"Windows NT x86", true));
    Add(lines, DriverDirLines(4, true));
    Add(lines, AddDriverLines(2, true));
    Add(lines, DriverDirLines(2, false));
    Add(lines, AddDriverLines(2, false));
    Add(lines, DriverDirLines(2, true));
    Add(lines, AddPrinterLines(2, u"Beta"));
    Add(lines, AddPrinterLines(2, u"Alpha"));
    EXPECT_EQ(Utf8(LastDialogLog()), Utf8(ExpectedLog(lines)));

    // Both printers are back with their settings; the other printer was never touched.
    for (auto [name, subKey, comment, location] :
         {std::tuple{u"Alpha", "s1", u"first comment", u"room 1"}, std::tuple{u"Beta", "s2", u"second comment", u"room 2"}}) {
        auto printer = winsim::FindPrinter(name);
        ASSERT_TRUE(printer) << Utf8(name);
        EXPECT_EQ(printer->portName, kProductPort);
        EXPECT_EQ(printer->driverName, kProductDriver);
        EXPECT_EQ(printer->comment.value_or(u""), comment);
        EXPECT_EQ(printer->location.value_or(u""), location);
        EXPECT_EQ(printer->shareName.value_or(u""), name);
        EXPECT_EQ(PrinterData(name, ""), winsim::ToU16(subKey));
        EXPECT_EQ(PrinterData(name, "DsUser"), winsim::ToU16(subKey));
        EXPECT_FALSE(winsim::RegValueExists(HKEY_CURRENT_USER,
                                            std::u16string(kSettingsKey) + u"\\" + winsim::ToU16(subKey), u"deleted"));
    }
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_TRUE(winsim::PrinterExists(u"Office"));
    EXPECT_EQ(winsim::DefaultPrinter(), u"Alpha");
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    EXPECT_TRUE(winsim::FindDriver(kProductDriver, winsim::kEnvX64));
    EXPECT_TRUE(winsim::FindDriver(kProductDriver, winsim::kEnvX86));
    EXPECT_TRUE(winsim::FindDriver(u"Other Driver", winsim::kEnvX64));
    EXPECT_TRUE(winsim::FileExists(kTrayExe)) << "an install keeps the tray executable it starts again";
    EXPECT_TRUE(TrayRunning());
    EXPECT_EQ(winsim::RunningProcesses(u"qgrtray.exe").size(), 1u);
    ExpectAllBlocksReleased();
}

// A 40-character SubKey over a reinstall, on a spooler whose ANSI read asks for n + 1 bytes and
// on one that asks for the 2 x (n + 1) bytes of the stored UTF-16. The installer reads with a
// 64-byte buffer: the wide answer (82 bytes) is more data than that, both reads fail, the
// printer counts as one without a SubKey and is not added again; "qgrServer" takes its place
// and the settings key keeps its "deleted" mark.
// A spooler that asks for room for a wide text when the ANSI read is short of it: the value is
// read again with that room, so a 40-character SubKey survives the reinstall either way.
TEST_F(FullRunTest, ReinstallKeepsALongSubKeyWhateverTheAnsiReadSize) {
    const std::string subKey(40, 'k');
    for (bool wideSize : {false, true}) {
        SCOPED_TRACE(wideSize);
        SetUpScenarioMachine();
        SetUpInstalledProduct();
        AddInstalledPrinter(u"Alpha", subKey);
        winsim::AnsiPrinterDataAsksWideSize(wideSize);

        EXPECT_EQ(RunInstaller(u"install"), 1);
        std::u16string settings = std::u16string(kSettingsKey) + u"\\" + winsim::ToU16(subKey);
        EXPECT_TRUE(winsim::PrinterExists(u"Alpha"));
        EXPECT_EQ(PrinterData(u"Alpha", ""), winsim::ToU16(subKey));
        EXPECT_EQ(PrinterData(u"Alpha", "DsUser"), winsim::ToU16(subKey));
        EXPECT_FALSE(winsim::RegValueExists(HKEY_CURRENT_USER, settings, u"deleted"));
        EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
        // Saved before the deletion, read back after the restore: each read asks once more with
        // the room the spooler named.
        std::vector<std::u16string> reads = {u"Alpha,SubKey,64", u"Alpha,SubKey,64"};
        if (wideSize) reads = {u"Alpha,SubKey,64", u"Alpha,SubKey,82", u"Alpha,SubKey,64", u"Alpha,SubKey,82"};
        EXPECT_EQ(CallArgsOf("GetPrinterDataA"), reads);
        EXPECT_TRUE(LastDialogLog().find(u"Error(") == std::u16string::npos);
        ExpectAllBlocksReleased();
    }
}

TEST_F(FullRunTest, Uninstall) {
    SetUpInstalledProduct();
    AddInstalledPrinter(u"Alpha", "s1");
    int code = RunInstaller(u"uninstall");
    EXPECT_EQ(code, 2);

    Lines lines = ContextStartLines();
    lines.push_back({0, u">UnInstall"});
    Add(lines, UninstallServerHead(1, 3));
    lines.push_back({2, u">DeleteAllPrinters"});
    Add(lines, DeletePrinterLines(3, u"Alpha"));
    Add(lines, DeleteDriverLines(2, u"Windows x64", true));
    lines.push_back({2, u">DeleteMonitor"});
    Add(lines, MonitorListLines(3, true));
    Add(lines, {{3, u"Port monitor is found. Index=3"},
                {3, u"Trying to get monitor filename from MONITOR_INFO_2"},
                {3, u"Auto calculated monitor file name: C:\\Windows\\system32\\vmqmon64.dll"},
                {3, u"There is no check for monitor version"},
                {3, u"Monitor was removed :)"}});
    Add(lines, DriverDirLines(2, false));
    Add(lines, DeleteDriverLines(2, u"Windows NT x86", true));
    Add(lines, DriverDirLines(2, true));
    EXPECT_EQ(Utf8(LastDialogLog()), Utf8(ExpectedLog(lines)));

    EXPECT_FALSE(winsim::MonitorExists(kProductPort));
    EXPECT_FALSE(winsim::FileExists(kMonitorDll));
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX64).empty());
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX86).empty());
    EXPECT_TRUE(winsim::Printers().empty());
    EXPECT_FALSE(winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue));
    EXPECT_FALSE(TrayRunning());
    EXPECT_FALSE(winsim::FileExists(kTrayExe)) << "the uninstall deletes the tray executable";
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
    ExpectAllBlocksReleased();
}

// An install over a product whose tray ran from another location deletes that executable and
// keeps (and starts) its own.
TEST_F(FullRunTest, InstallDeletesATrayExecutableOfAnOlderLocation) {
    const char16_t kOldTray[] = u"C:\\Old Quillgraph\\qgrtray.exe";
    SetUpInstalledProduct();
    winsim::WriteTestFile(kOldTray, "old tray");
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, kOldTray);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_FALSE(winsim::FileExists(kOldTray));
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
    std::string value;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, nullptr, &value));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value.data()), value.size() / 2 - 1), kTrayExe);
    EXPECT_TRUE(TrayRunning());
}

}  // namespace
