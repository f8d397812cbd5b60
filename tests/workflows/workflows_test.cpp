// The workflows on a context of their own: order of the steps, environments, locked files.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frontend/entry.h"
#include "run/install_context.h"
#include "scenarios/scenario_support.h"
#include "support/test_support.h"
#include "workflows/init_context.h"
#include "workflows/reinstall.h"
#include "workflows/uninstall.h"

namespace {

using qgrtest::LogLines;
using qgrtest::Utf8;

const char16_t kSpooler[] = u"spooler";

// Index of the first recorded call of `api` whose arguments contain `argument`, or -1.
long FirstCall(const std::string& api, const std::u16string& argument = {}) {
    const auto& calls = winsim::Calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].api == api && calls[i].args.find(argument) != std::u16string::npos) return static_cast<long>(i);
    }
    return -1;
}

// Position of `line` (text without indentation) in the log, or -1.
long LineIndex(const std::vector<std::u16string>& lines, const std::u16string& line, long from = 0) {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
        size_t start = lines[i].find_first_not_of(u' ');
        if (start != std::u16string::npos && lines[i].substr(start) == line) return static_cast<long>(i);
    }
    return -1;
}

class WorkflowTest : public ::testing::Test {
protected:
    void SetUp() override { qgrtest::SetUpScenarioMachine(); }
    void TearDown() override {
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    InstallContext ctx{};
};

TEST_F(WorkflowTest, ReInstallOnAFreshSystemRemovesNothingAndInstallsInOrder) {
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    winsim::ClearCalls();
    ReInstall(ctx);

    long addMonitor = FirstCall("AddMonitorW");
    long driverX64 = FirstCall("AddPrinterDriverExW", u"Windows x64");
    long driverX86 = FirstCall("AddPrinterDriverExW", u"Windows NT x86");
    long printer = FirstCall("AddPrinterW");
    long tray = FirstCall("CreateProcessW");
    ASSERT_GE(addMonitor, 0);
    EXPECT_LT(FirstCall("DeleteMonitorW"), addMonitor) << "removal comes before installation";
    EXPECT_LT(addMonitor, driverX64);
    EXPECT_LT(driverX64, driverX86);
    EXPECT_LT(driverX86, printer);
    EXPECT_LT(printer, tray);
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 0) << "nothing was locked";

    EXPECT_EQ(ctx.logIndent, 0);
    EXPECT_EQ(ctx.reinstallMode, 1);
    EXPECT_TRUE(ctx.isX64);
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows x64");
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.errorCount, 0) << Utf8(qgrtest::LogText(ctx));
    EXPECT_TRUE(winsim::PrinterExists(u"qgrServer"));
}

TEST_F(WorkflowTest, ReInstallRegistersAnUnregisteredCompatibleMonitorWithoutCopyingItsDll) {
    winsim::WriteTestFile(qgrtest::kMonitorDll, "monitor DLL already in place");
    winsim::SetFileMachine(qgrtest::kMonitorDll, winsim::Machine::X64);
    winsim::SetProductVersion(qgrtest::kMonitorDll, 1, 0, 0, 2416);
    const std::string inPlace = winsim::FileBytes(qgrtest::kMonitorDll);
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    winsim::ClearCalls();
    ReInstall(ctx);

    EXPECT_EQ(ctx.installMonitor, 1);
    EXPECT_EQ(ctx.copyMonitor, 0);
    auto lines = LogLines(ctx);
    EXPECT_GE(LineIndex(lines, u">AddMonitor"), 0);
    EXPECT_EQ(LineIndex(lines, u">CopyFile vmqmon64.dll to C:\\Windows\\system32\\ [0])"), -1);
    EXPECT_EQ(winsim::FileBytes(qgrtest::kMonitorDll), inPlace) << "kept, not replaced";
    EXPECT_EQ(winsim::CallCount("AddMonitorW"), 1u);
    EXPECT_TRUE(winsim::MonitorExists(u"QuillgraphServer:"));
    EXPECT_EQ(ctx.errorCount, 0) << Utf8(qgrtest::LogText(ctx));
}

TEST_F(WorkflowTest, UnInstallInOneEnvironmentCountsWithFullStopAndKeepsTheOtherDriver) {
    qgrtest::SetUpInstalledProduct();
    InitContext(ctx, kInitStartX64);  // x64 only
    ctx.logIndent = 0;
    UnInstall(ctx);

    auto lines = LogLines(ctx);
    long start = LineIndex(lines, u">UnInstall");
    ASSERT_GE(start, 0);
    EXPECT_EQ(lines[start + 1], u"  EnumMonitors");
    EXPECT_EQ(lines[start + 2], u"  3 Monitors found.");
    EXPECT_EQ(lines[start + 3], u"  EnumPrinterDrivers for Windows x64");
    EXPECT_EQ(lines[start + 4], u"  1 drivers found");
    EXPECT_EQ(LineIndex(lines, u">UnInstall Server"), -1);
    EXPECT_EQ(LineIndex(lines, u">DeletePrinterDriver for Windows NT x86"), -1);
    EXPECT_FALSE(winsim::FindDriver(u"Quillgraph Server", winsim::kEnvX64).has_value());
    EXPECT_TRUE(winsim::FindDriver(u"Quillgraph Server", winsim::kEnvX86).has_value());
    EXPECT_FALSE(winsim::MonitorExists(u"QuillgraphServer:"));
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(WorkflowTest, UnInstallServerRemovesBothDriversAndReturnsToTheStartEnvironment) {
    qgrtest::SetUpInstalledProduct();
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    UnInstall(ctx);

    auto lines = LogLines(ctx);
    long start = LineIndex(lines, u">UnInstall");
    ASSERT_GE(start, 0);
    EXPECT_EQ(lines[start + 1], u"  >UnInstall Server");
    EXPECT_EQ(lines[start + 2], u"    EnumMonitors");
    EXPECT_EQ(lines[start + 3], u"    3 Monitors found");
    EXPECT_EQ(lines[start + 4], u"    EnumPrinterDrivers for Windows x64");
    EXPECT_EQ(lines[start + 5], u"    EnumPrinterDrivers for Windows NT x86");
    EXPECT_EQ(LineIndex(lines, u"1 drivers found"), -1);
    // The monitor goes before the second environment's driver, and only once.
    long monitor = LineIndex(lines, u">DeleteMonitor");
    long x86 = LineIndex(lines, u">DeletePrinterDriver for Windows NT x86");
    EXPECT_LT(LineIndex(lines, u">DeletePrinterDriver for Windows x64"), monitor);
    EXPECT_LT(monitor, x86);
    EXPECT_EQ(winsim::CallCount("DeleteMonitorW"), 1u);
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX64).empty());
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX86).empty());
    EXPECT_TRUE(ctx.isX64);
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows x64");
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(WorkflowTest, UnInstallWithRestartDeletesScheduledFilesAndRestartsOnlyForLockedOnes) {
    // Someone else's file scheduled for deletion goes now; nothing locked: no restart.
    winsim::WriteTestFile(u"C:\\Other\\stale.dll", "x");
    qgrtest::SetPendingRenames({u"\\??\\C:\\Other\\stale.dll", u""});
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    UnInstallWithRestart(ctx);
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\stale.dll"));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 0);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
}

TEST_F(WorkflowTest, UnInstallWithRestartKeepsWhatStaysLockedForTheReboot) {
    qgrtest::SetUpInstalledProduct();
    winsim::HoldFile(qgrtest::kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    UnInstallWithRestart(ctx);

    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1) << "one restart for the locked file";
    ASSERT_NE(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(std::u16string(ctx.pendingDeletes->path), qgrtest::kMonitorDll);
    EXPECT_EQ(ctx.pendingDeletes->next, nullptr);
    // Two passes after the workflow's own: one plain, one with the spooler stopped.
    auto lines = LogLines(ctx);
    long restart = LineIndex(lines, u">Restart Spooler");
    ASSERT_GE(restart, 0);
    EXPECT_EQ(lines[restart + 1], u"DeleteFile-try");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), u"DeleteFile-try"), 2);
}

TEST_F(WorkflowTest, ReInstallDropsAMonitorDllStillLockedAfterTheRestart) {
    qgrtest::SetUpInstalledProduct();
    winsim::SetProductVersion(qgrtest::kMonitorDll, 1, 0, 0, 2400);  // not compatible: removed
    winsim::HoldFile(qgrtest::kMonitorDll, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_ACCESS_DENIED);
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    ReInstall(ctx);

    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1) << "stopped once before the install steps";
    auto lines = LogLines(ctx);
    long restart = LineIndex(lines, u">Restart Spooler");
    ASSERT_GE(restart, 0);
    EXPECT_LT(restart, LineIndex(lines, u">AddMonitor"));
    EXPECT_EQ(ctx.pendingDeletes, nullptr) << "dropped, not carried to the reboot";
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(WorkflowTest, ReInstallRetriesLockedStagedFilesOnceWithoutAndOnceWithRestart) {
    // A staged driver file that stays locked: one plain pass, then one restart, then it is left.
    std::u16string staged = std::u16string(qgrtest::kDriverDirX86Slash) + u"vmqhelp.chm";
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    winsim::WriteTestFile(staged, "old");
    winsim::HoldFile(staged, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION);
    ReInstall(ctx);

    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    ASSERT_NE(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(std::u16string(ctx.pendingDeletes->path), staged);
    auto lines = LogLines(ctx);
    long tryLine = LineIndex(lines, u"DeleteFile-try", LineIndex(lines, u">AddPrinter(qgrServer)"));
    ASSERT_GE(tryLine, 0);
    EXPECT_EQ(lines[tryLine + 1], u"    >Restart Spooler");
    EXPECT_EQ(lines[tryLine + 2], u"    DeleteFile-try");
}

TEST_F(WorkflowTest, ScheduleDeletesAtRebootCountsOnlyWhatThePlatformAcceptedAndEmptiesTheList) {
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    for (const char16_t* path : {u"C:\\Temp\\a.dll", u"C:\\Temp\\b.dll", u"C:\\Temp\\c.dll"}) {
        winsim::WriteTestFile(path, "x");
        PathListAdd(ctx.pendingDeletes, path);
    }
    winsim::ClearCalls();
    size_t linesBefore = LogLines(ctx).size();
    winsim::InjectFault("MoveFileExW", ERROR_ACCESS_DENIED, 1, 1);  // the second call fails

    EXPECT_EQ(ScheduleDeletesAtReboot(ctx), 2u);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    std::vector<std::u16string> moved;
    for (const auto& call : winsim::Calls())
        if (call.api == "MoveFileExW") moved.push_back(call.args);
    ASSERT_EQ(moved.size(), 3u);
    // Newest first, as the list runs.
    EXPECT_NE(moved[0].find(u"c.dll"), std::u16string::npos);
    EXPECT_NE(moved[2].find(u"a.dll"), std::u16string::npos);
    EXPECT_EQ(winsim::PendingRenameStrings(),
              (std::vector<std::u16string>{u"\\??\\C:\\Temp\\c.dll", u"", u"\\??\\C:\\Temp\\a.dll", u""}));
    // The file that stays for good is named in a plain line; nothing counts as an error.
    auto lines = LogLines(ctx);
    EXPECT_EQ(std::vector<std::u16string>(lines.begin() + static_cast<long>(linesBefore), lines.end()),
              std::vector<std::u16string>{u"Can't delete C:\\Temp\\b.dll now or at the next reboot"});
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(ScheduleDeletesAtReboot(ctx), 0u) << "an empty list schedules nothing";
}

}  // namespace
