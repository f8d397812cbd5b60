#include <algorithm>

#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include "monitor/monitor_install.h"
#include "monitor/monitor_removal.h"
#include "monitor/port_parking.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

const std::u16string kPathLine = u"Auto calculated monitor file name: C:\\Windows\\system32\\vmqmon64.dll";

class MonitorRemovalTest : public HealthyMachineTest {
protected:
    void TearDown() override { EndContext(ctx); }
    // Enumerates, removes, releases the enumeration.
    void Remove() {
        MonitorEnum monitors;
        EnumerateMonitors(monitors, ctx);
        FreeText(ctx.log);
        DeleteProductMonitor(ctx, monitors);
        if (monitors.monitors != nullptr) GlobalFree(monitors.monitors);
    }
    std::u16string SnapshotPort(size_t i) { return ctx.printerEnum.printers[i].pPortName; }
    InstallContext ctx{};
};

TEST_F(MonitorRemovalTest, BuildIsTheFourthVersionComponent) {
    StartContext(ctx);
    winsim::SetProductVersion(kSystemMonitorDll, 7, 8, 9, 2416);
    EXPECT_EQ(ReadFileBuild(kSystemMonitorDll), 2416);
    winsim::SetProductVersion(kSystemMonitorDll, 0, 0, 0, 65535);
    EXPECT_EQ(ReadFileBuild(kSystemMonitorDll), 65535);
    winsim::ClearVersion(kSystemMonitorDll);
    EXPECT_EQ(ReadFileBuild(kSystemMonitorDll), -1);
    EXPECT_EQ(ReadFileBuild(u"C:\\Windows\\system32\\missing.dll"), -1);
}

TEST_F(MonitorRemovalTest, UninstallRemovesWithoutVersionCheck) {
    RemoveAllMonitors();
    InstallMonitorDirectly(2430);
    StartContext(ctx);
    Remove();
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeleteMonitor"},
                                         {1, u"------- 1 existing monitors ----------"},
                                         {1, u"1. QuillgraphServer:"},
                                         {1, u"---------------------------------------"},
                                         {1, u"Port monitor is found. Index=1"},
                                         {1, u"Trying to get monitor filename from MONITOR_INFO_2"},
                                         {1, kPathLine},
                                         {1, u"There is no check for monitor version"},
                                         {1, u"Monitor was removed :)"}}));
    EXPECT_FALSE(winsim::MonitorExists(kMonitorName));
    EXPECT_FALSE(winsim::FileExists(kSystemMonitorDll));
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(MonitorRemovalTest, AbsentMonitorIsNotAnError) {
    RemoveAllMonitors();
    winsim::CopyTestFile(ModuleFile(kMonitorDll), kSystemMonitorDll);
    StartContext(ctx);
    Remove();
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">DeleteMonitor"},
                           {1, u"BTW, there is no port monitors on this system."},
                           {1, u"No Quillgraph port monitor was found."},
                           {1, u"Computing monitor filename"},
                           {1, kPathLine},
                           {1, u"There is no check for monitor version"},
                           {1, u"Can't delete monitor and monitor was not found. So everything should be ok"}}));
    EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll));
    EXPECT_EQ(ctx.errorCount, 0);
}

struct BuildCase {
    int build;  // 0: no version resource, -1: no file at all
    bool registered;
    std::u16string verdict;
    bool kept;
    int installMonitor, copyMonitor;
};

class MonitorBuildWindowTest : public MonitorRemovalTest, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(MonitorBuildWindowTest, KeepsOnlyCompatibleBuilds) {
    const BuildCase& c = GetParam();
    if (c.registered) InstallMonitorDirectly(2430);
    if (c.build >= 0) winsim::CopyTestFile(ModuleFile(kMonitorDll), kSystemMonitorDll);
    if (c.build > 0) winsim::SetProductVersion(kSystemMonitorDll, 1, 0, 0, static_cast<WORD>(c.build));
    if (c.build == 0) winsim::ClearVersion(kSystemMonitorDll);
    if (c.build < 0) winsim::RemoveTestFile(kSystemMonitorDll);
    StartContext(ctx);
    ctx.reinstallMode = 1;
    Remove();

    std::vector<std::u16string> lines = LogLines(ctx);
    auto verdictAt = std::find(lines.begin(), lines.end(), u"  " + kPathLine);
    ASSERT_NE(verdictAt, lines.end());
    ASSERT_NE(verdictAt + 1, lines.end());
    EXPECT_EQ(verdictAt[1], u"  " + c.verdict);
    EXPECT_EQ(ctx.installMonitor, c.installMonitor);
    EXPECT_EQ(ctx.copyMonitor, c.copyMonitor);
    if (c.kept) {
        ASSERT_EQ(lines.end() - verdictAt, 3);
        EXPECT_EQ(verdictAt[2], u"  InstallMonitor == " + winsim::ToU16(std::to_string(c.installMonitor)) +
                                    u", CopyMonitor == " + winsim::ToU16(std::to_string(c.copyMonitor)));
        EXPECT_EQ(winsim::CallCount("DeleteMonitorW"), 0u);
        EXPECT_EQ(winsim::MonitorExists(kMonitorName), c.registered);
        EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll));
        EXPECT_EQ(ctx.portPrinters, nullptr);
    } else {
        EXPECT_EQ(winsim::CallCount("DeleteMonitorW"), 1u);
        EXPECT_FALSE(winsim::MonitorExists(kMonitorName));
        if (c.registered) {
            EXPECT_FALSE(winsim::FileExists(kSystemMonitorDll));
        }
    }
    EXPECT_EQ(ctx.errorCount, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, MonitorBuildWindowTest,
    ::testing::Values(
        BuildCase{2415, true, u"Version (2415) is not supported, proceed with reinstall", false, 1, 1},
        BuildCase{2416, true, u"Version (2416) is compatible, proceed without uninstall", true, 0, 1},
        BuildCase{2430, true, u"Version (2430) is compatible, proceed without uninstall", true, 0, 1},
        BuildCase{2431, true, u"Version (2431) is not supported, proceed with reinstall", false, 1, 1},
        BuildCase{2416, false, u"Version (2416) is compatible, proceed without uninstall", true, 1, 0},
        BuildCase{2430, false, u"Version (2430) is compatible, proceed without uninstall", true, 1, 0},
        BuildCase{2431, false, u"Version (2431) is not supported, proceed with reinstall", false, 1, 1},
        BuildCase{0, true, u"Version is unknown, proceed with reinstall", false, 1, 1},
        BuildCase{-1, true, u"Version is unknown, proceed with reinstall", false, 1, 1}));

// Printers on the product's port are parked on "file:" and come back after the registration.
TEST_F(MonitorRemovalTest, ParksPrintersOnFilePortAndBack) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    InstallOtherDriver();
    winsim::SpoolPrinter alone = ProductPrinter(u"Alone");
    alone.comment = u"first";
    winsim::AddTestPrinter(alone);
    winsim::AddTestPrinter(ProductPrinter(u"After", u"LPT1:,QuillgraphServer:"));
    winsim::SpoolPrinter other = ProductPrinter(u"Other", u"COM1:");
    other.driverName = u"Other Driver";
    winsim::AddTestPrinter(other);
    winsim::AddTestPrinter(ProductPrinter(u"Before", u"QuillgraphServer:,COM1:"));
    StartContext(ctx);
    ASSERT_EQ(ctx.printerEnum.printerCount, 4u);
    LPWSTR storage[4];
    for (int i = 0; i < 4; ++i) storage[i] = ctx.printerEnum.printers[i].pPortName;

    Remove();
    std::vector<std::u16string> lines = LogLines(ctx);
    std::vector<std::u16string> tail(lines.end() - 5, lines.end());
    EXPECT_EQ(tail, (std::vector<std::u16string>{u"  Can't delete monitor from the first try",
                                                 u"  SetPrinter(Alone) - ok", u"  SetPrinter(After) - ok",
                                                 u"  SetPrinter(Before) - ok", u"  Monitor was removed :)"}));
    EXPECT_EQ(SnapshotPort(0), u"file:");
    EXPECT_EQ(SnapshotPort(1), u"LPT1:,file:");
    EXPECT_EQ(SnapshotPort(2), u"COM1:");
    EXPECT_EQ(SnapshotPort(3), u"file:,COM1:");
    EXPECT_EQ(winsim::FindPrinter(u"After")->portName, u"LPT1:,file:");
    EXPECT_EQ(winsim::FindPrinter(u"Before")->portName, u"file:,COM1:");
    EXPECT_EQ(winsim::FindPrinter(u"Alone")->comment, u"first");
    ASSERT_NE(ctx.portPrinters, nullptr);
    EXPECT_EQ(ctx.portPrinters[0], &ctx.printerEnum.printers[0]);
    EXPECT_EQ(ctx.portPrinters[1], &ctx.printerEnum.printers[1]);
    EXPECT_EQ(ctx.portPrinters[2], &ctx.printerEnum.printers[3]);
    EXPECT_EQ(ctx.portPrinters[3], nullptr);
    EXPECT_EQ(winsim::CallCount("DeleteMonitorW"), 2u);

    FreeText(ctx.log);
    AddProductMonitor(ctx);
    lines = LogLines(ctx);
    tail.assign(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::u16string>{u"  AddMonitor - OK :)", u"  SetPrinter(Alone) - ok",
                                                 u"  SetPrinter(After) - ok", u"  SetPrinter(Before) - ok"}));
    EXPECT_EQ(SnapshotPort(0), u"QuillgraphServer:");
    EXPECT_EQ(SnapshotPort(1), u"LPT1:,QuillgraphServer:");
    EXPECT_EQ(SnapshotPort(3), u"QuillgraphServer:,COM1:");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ctx.printerEnum.printers[i].pPortName, storage[i]) << "edited in place";
    // Strings that follow in the block are untouched by the edits.
    EXPECT_EQ(std::u16string(ctx.printerEnum.printers[0].pDriverName), kDriverName);
    EXPECT_EQ(std::u16string(ctx.printerEnum.printers[0].pComment), u"first");
    EXPECT_EQ(winsim::FindPrinter(u"Alone")->portName, u"QuillgraphServer:");
    EXPECT_EQ(winsim::FindPrinter(u"After")->portName, u"LPT1:,QuillgraphServer:");
    EXPECT_EQ(winsim::FindPrinter(u"Before")->portName, u"QuillgraphServer:,COM1:");
    EXPECT_EQ(winsim::FindPrinter(u"Other")->portName, u"COM1:");
    EXPECT_EQ(ctx.errorCount, 0);
}

// A snapshot printer deleted earlier in the run cannot be parked and is not kept on the list (no
// retry, no claim that it sits on "file:"); SetPrinterW failing is logged.
TEST_F(MonitorRemovalTest, ParkingReportsPrintersItCannotUpdate) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Gone"));
    winsim::AddTestPrinter(ProductPrinter(u"Stuck"));
    StartContext(ctx);
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE gone = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Gone"), &gone, &defaults));
    ASSERT_TRUE(DeletePrinter(gone));
    ClosePrinter(gone);
    winsim::InjectFault("SetPrinterW", ERROR_ACCESS_DENIED);
    winsim::ClearCalls();
    Remove();
    // "Stuck" kept the port in use, so after error 12 it is moved back.
    EXPECT_EQ(CallArgs("OpenPrinterW").size(), 3u);
    EXPECT_EQ(LinesStartingWith(ctx, u"SetPrinter("),
              (std::vector<std::u16string>{u"SetPrinter(Stuck) - failed", u"SetPrinter(Stuck) - ok"}));
    EXPECT_EQ(LinesStartingWith(ctx, u"Can't open printer"),
              (std::vector<std::u16string>{u"Can't open printer Gone"}));
    EXPECT_EQ(LinesStartingWith(ctx, u"Printer Gone"), std::vector<std::u16string>{});
    EXPECT_EQ(ctx.portPrinters, nullptr);
}

// The second attempt fails too, the spooler is restarted, the third fails: error 12, and the
// printers parked for the removal go back to the port that is still there.
TEST_F(MonitorRemovalTest, ThreeAttemptsWithRestartThenError12) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Parked"));
    StartContext(ctx);
    // Added after the snapshot: parking cannot move it, so the port stays in use.
    winsim::AddTestPrinter(ProductPrinter(u"Late"));
    winsim::ClearCalls();
    Remove();
    EXPECT_EQ(winsim::CallSequence({"DeleteMonitorW", "ControlService", "StartServiceW"}),
              (std::vector<std::string>{"DeleteMonitorW", "DeleteMonitorW", "ControlService", "StartServiceW",
                                        "DeleteMonitorW"}));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    std::vector<std::u16string> lines = LogLines(ctx);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], u"  " + ErrorText(12, u"Can`t remove the port monitor 'QuillgraphServer:'",
                                                          kTextMonitorInUse));
    EXPECT_EQ(lines.back(), u"  SetPrinter(Parked) - ok");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_TRUE(winsim::MonitorExists(kMonitorName));
    EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll));
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(winsim::FindPrinter(u"Parked")->portName, u"QuillgraphServer:");
    EXPECT_EQ(ctx.portPrinters, nullptr);
}

TEST_F(MonitorRemovalTest, APrinterThatCannotGoBackAfterError12IsNamed) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Stuck"));
    winsim::AddTestPrinter(ProductPrinter(u"Back"));
    StartContext(ctx);
    winsim::AddTestPrinter(ProductPrinter(u"Late"));
    winsim::InjectFault("SetPrinterW", ERROR_ACCESS_DENIED, 2, 2);  // both parked, then one refused twice
    Remove();
    std::vector<std::u16string> lines = LogLines(ctx);
    std::vector<std::u16string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::u16string>{u"  SetPrinter(Stuck) - failed", u"  SetPrinter(Stuck) - failed",
                                                 u"  " + ErrorText(22, u"Printer Stuck is left on the port file:",
                                                                   u"Access is denied."),
                                                 u"  SetPrinter(Back) - ok"}));
    EXPECT_EQ(winsim::FindPrinter(u"Stuck")->portName, u"file:");
    EXPECT_EQ(winsim::FindPrinter(u"Back")->portName, u"QuillgraphServer:");
    EXPECT_EQ(ctx.errorCount, 2);
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(MonitorRemovalTest, RestartLetsTheThirdAttemptSucceed) {
    InstallMonitorDirectly();
    StartContext(ctx);
    winsim::InjectFault("DeleteMonitorW", RPC_S_SERVER_UNAVAILABLE, 2);
    winsim::ClearCalls();
    Remove();
    EXPECT_EQ(winsim::CallSequence({"DeleteMonitorW", "ControlService", "StartServiceW"}),
              (std::vector<std::string>{"DeleteMonitorW", "DeleteMonitorW", "ControlService", "StartServiceW",
                                        "DeleteMonitorW"}));
    EXPECT_EQ(ctx.portPrinters, nullptr) << "no printer in the snapshot: nothing parked";
    EXPECT_EQ(LogLines(ctx).back(), u"  Monitor was removed :)");
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_FALSE(winsim::MonitorExists(kMonitorName));
}

TEST_F(MonitorRemovalTest, LockedDllAfterRemovalWaitsInPendingDeletes) {
    InstallMonitorDirectly();
    winsim::KeepMonitorDllLoaded(kMonitorDll);
    StartContext(ctx);
    Remove();
    EXPECT_EQ(LogLines(ctx).back(), u"  Monitor was removed :)");
    ASSERT_NE(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(std::u16string(ctx.pendingDeletes->path), kSystemMonitorDll);
    EXPECT_EQ(ctx.pendingDeletes->next, nullptr);
    EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll));
}

// A registered monitor without a DLL name leaves only the system directory as the path, an
// unknown system directory only the bare DLL name: nothing may be read, deleted or queued then.
TEST_F(MonitorRemovalTest, MonitorPathWithoutNameOrDirectoryDeletesNothing) {
    struct Case {
        const char16_t* dllName;
        bool systemDirKnown;
        std::u16string path;
    } cases[] = {{u"", true, u"C:\\Windows\\system32\\"}, {kMonitorDll, false, kMonitorDll}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.path));
        SetUpHealthyMachine();
        winsim::AddTestMonitor(kMonitorName, c.dllName);
        winsim::WriteTestFile(kSystemMonitorDll, "dll");
        winsim::SetProductVersion(kSystemMonitorDll, 1, 0, 0, 2430);
        StartContext(ctx);
        if (!c.systemDirKnown) FreeText(ctx.systemDir);
        ctx.reinstallMode = 1;
        Remove();
        EXPECT_EQ(LinesStartingWith(ctx, u"Auto calculated"),
                  std::vector<std::u16string>{u"Auto calculated monitor file name: " + c.path});
        EXPECT_EQ(LinesStartingWith(ctx, u"Version"),
                  std::vector<std::u16string>{u"Version is unknown, proceed with reinstall"});
        EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
        EXPECT_EQ(ctx.pendingDeletes, nullptr);
        EXPECT_FALSE(winsim::MonitorExists(kMonitorName));
        EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Windows\\system32"));
        EndContext(ctx);
    }
}

// The DLL comes from the registration, not from the environment's file name; the spooler calls
// name the current environment, and parked printers are opened with full access.
TEST_F(MonitorRemovalTest, RemovesTheRegisteredDllInTheCurrentEnvironment) {
    const char16_t kOldDll[] = u"C:\\Windows\\system32\\qgrmonold.dll";
    winsim::SetMonitorDllPorts(u"qgrmonold.dll", {kMonitorName});
    winsim::WriteTestFile(kOldDll, "old monitor");
    winsim::AddTestMonitor(kMonitorName, u"qgrmonold.dll");
    winsim::CopyTestFile(ModuleFile(kMonitorDll), kSystemMonitorDll);
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"P"));
    StartContext(ctx);
    SelectEnvironment(ctx, false);
    winsim::ClearCalls();
    Remove();
    EXPECT_EQ(LinesStartingWith(ctx, u"Auto calculated"),
              std::vector<std::u16string>{u"Auto calculated monitor file name: " + std::u16string(kOldDll)});
    EXPECT_EQ(CallArgs("DeleteMonitorW"),
              (std::vector<std::u16string>{u"(null),Windows NT x86,QuillgraphServer:",
                                           u"(null),Windows NT x86,QuillgraphServer:"}));
    EXPECT_EQ(CallArgs("OpenPrinterW"), std::vector<std::u16string>{u"P," + Dec(PRINTER_ALL_ACCESS)});
    EXPECT_EQ(CallArgs("SetPrinterW"), std::vector<std::u16string>{u"P,2,0,P,file:,Quillgraph Server,(null),(null),(null),WinPrint,RAW,0x40"});
    EXPECT_EQ(CallArgs("ClosePrinter"), std::vector<std::u16string>{u"P"});
    EXPECT_FALSE(winsim::FileExists(kOldDll));
    EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll)) << "not the DLL of the registration";
    EXPECT_EQ(ctx.errorCount, 0);
    SelectEnvironment(ctx, true);
}

// A spooler that does not come back after the restart counts as error 4; the third attempt
// still runs and its failure is error 12.
TEST_F(MonitorRemovalTest, SpoolerThatStaysDownGivesError4And12) {
    InstallMonitorDirectly();
    StartContext(ctx);
    winsim::InjectFault("DeleteMonitorW", ERROR_ACCESS_DENIED, 2);
    winsim::InjectFault("StartServiceW", ERROR_ACCESS_DENIED, -1);  // every start of the wait
    winsim::ClearCalls();
    Remove();
    EXPECT_EQ(winsim::CallCount("DeleteMonitorW"), 3u);
    std::vector<std::u16string> errors = LinesStartingWith(ctx, u"Error(");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].substr(0, 9), u"Error(4):");
    // The spooler is still down for the third attempt: the line describes that.
    EXPECT_EQ(errors[1], ErrorText(12, u"Can`t remove the port monitor 'QuillgraphServer:'", kTextRpcUnavailable));
    EXPECT_EQ(ctx.errorCount, 2);
    EXPECT_TRUE(winsim::MonitorExists(kMonitorName));
    EXPECT_EQ(ctx.logIndent, 0);
    winsim::ClearFaults();
}

// Another port whose name contains "file:" comes before the parked entry: the product's port
// goes back where it was parked, and the other port keeps its name.
TEST_F(MonitorRemovalTest, RestoreUsesTheParkedEntryNotAFileInsideAnotherPortName) {
    winsim::SetMonitorDllPorts(u"othermon.dll", {u"Xfile:"});
    winsim::AddTestMonitor(u"Other Monitor", u"othermon.dll");
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Both", u"Xfile:,QuillgraphServer:"));
    StartContext(ctx);
    Remove();
    EXPECT_EQ(SnapshotPort(0), u"Xfile:,file:");
    FreeText(ctx.log);
    AddProductMonitor(ctx);
    EXPECT_EQ(SnapshotPort(0), u"Xfile:,QuillgraphServer:");
    EXPECT_EQ(winsim::FindPrinter(u"Both")->portName, u"Xfile:,QuillgraphServer:");
    EXPECT_EQ(LinesStartingWith(ctx, u"SetPrinter("), std::vector<std::u16string>{u"SetPrinter(Both) - ok"});

    // Without a whole "file:" entry the first occurrence is still the one replaced.
    WCHAR port[32] = u"Xfile:yz";
    PRINTER_INFO_2W record{};
    record.pPortName = port;
    EXPECT_TRUE(RestorePortName(record));
    EXPECT_EQ(std::u16string(port), u"XQuillgraphServer:yz");
}

}  // namespace
