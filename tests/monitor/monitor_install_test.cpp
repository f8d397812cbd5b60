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

const std::u16string kCopyLine0 = u">CopyFile vmqmon64.dll to C:\\Windows\\system32\\ [0])";
const std::u16string kCopyLine1 = u">CopyFile vmqmon64.dll to C:\\Windows\\system32\\ [1])";
const std::u16string kRetryLine = u"AddMonitor - failed. Trying to wait and install again";

class MonitorInstallTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        ProvideProductPort();
        StartContext(ctx);
    }
    void TearDown() override { EndContext(ctx); }
    InstallContext ctx{};
};

TEST_F(MonitorInstallTest, CopiesAndRegisters) {
    AddProductMonitor(ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddMonitor"},
                                         {1, u"Copy monitor file"},
                                         {1, kCopyLine0},
                                         {2, u"Copy Succeeded :)"},
                                         {1, u"AddMonitor - OK :)"}}));
    EXPECT_EQ(winsim::FileBytes(kSystemMonitorDll), ProductFileBytes(kMonitorDll));
    ASSERT_EQ(winsim::Monitors().size(), 3u);
    EXPECT_EQ(winsim::Monitors()[2].name, kMonitorName);
    EXPECT_EQ(winsim::Monitors()[2].dll, kMonitorDll);
    EXPECT_TRUE(winsim::PortExists(kMonitorName));
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(MonitorInstallTest, SkipsTheCopyOfAKeptDll) {
    winsim::WriteTestFile(kSystemMonitorDll, "kept build");
    winsim::SetFileMachine(kSystemMonitorDll, winsim::Machine::X64);
    ctx.copyMonitor = 0;
    AddProductMonitor(ctx);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">AddMonitor"}, {1, u"Skip copy monitor file"}, {1, u"AddMonitor - OK :)"}}));
    EXPECT_EQ(winsim::FileBytes(kSystemMonitorDll), "kept build");
    EXPECT_TRUE(winsim::MonitorExists(kMonitorName));
}

// The removal kept a compatible DLL, but it has gone since (a scheduled deletion): copy anyway.
TEST_F(MonitorInstallTest, CopiesAKeptDllThatHasGone) {
    ctx.copyMonitor = 0;
    AddProductMonitor(ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddMonitor"},
                                         {1, u"Copy monitor file"},
                                         {1, kCopyLine0},
                                         {2, u"Copy Succeeded :)"},
                                         {1, u"AddMonitor - OK :)"}}));
    EXPECT_TRUE(winsim::MonitorExists(kMonitorName));
}

TEST_F(MonitorInstallTest, RetriesRegistrationEvery50ms) {
    winsim::InjectFault("AddMonitorW", ERROR_ACCESS_DENIED, 2);
    uint64_t before = winsim::TotalSlept();
    AddProductMonitor(ctx);
    EXPECT_EQ(LinesStartingWith(ctx, u"AddMonitor"),
              (std::vector<std::u16string>{kRetryLine, kRetryLine, u"AddMonitor - OK :)"}));
    EXPECT_EQ(winsim::TotalSlept() - before, 100u);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(MonitorInstallTest, FiveFailuresGiveError11AndLeaveParkedPrinters) {
    winsim::SetMonitorDllLoadError(kMonitorDll, ERROR_PROC_NOT_FOUND);
    PRINTER_INFO_2W parked{};
    WCHAR port[] = u"file:\0\0\0\0\0\0\0\0\0\0\0\0";
    parked.pPrinterName = const_cast<LPWSTR>(u"Parked");
    parked.pPortName = port;
    PRINTER_INFO_2W* list[] = {&parked, nullptr};
    ctx.portPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, sizeof(list)));
    ctx.portPrinters[0] = list[0];
    ctx.portPrinters[1] = nullptr;
    uint64_t before = winsim::TotalSlept();
    winsim::ClearCalls();
    AddProductMonitor(ctx);
    std::vector<std::u16string> lines = LogLines(ctx);
    std::vector<std::u16string> tail(lines.end() - 6, lines.end());
    std::u16string retry = u"  " + kRetryLine;
    EXPECT_EQ(tail, (std::vector<std::u16string>{
                        retry, retry, retry, retry, retry,
                        u"  " + ErrorText(11, u"Can`t install a local port monitor'QuillgraphServer:'",
                                          kTextProcNotFound)}));
    EXPECT_EQ(winsim::TotalSlept() - before, 200u);
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(winsim::CallCount("OpenPrinterW"), 0u);
    EXPECT_EQ(std::u16string(port), u"file:");
    EXPECT_TRUE(winsim::FileExists(kSystemMonitorDll)) << "a copied DLL stays";
    EXPECT_EQ(ctx.logIndent, 0);
}

// Writing a retry line may fail to grow the log and leave its own error; the error line must
// still describe AddMonitorW.
TEST_F(MonitorInstallTest, Error11DescribesAddMonitorEvenWhenTheLogCannotGrow) {
    winsim::WriteTestFile(kSystemMonitorDll, "kept build");
    ctx.copyMonitor = 0;
    winsim::SetMonitorDllLoadError(kMonitorDll, ERROR_PROC_NOT_FOUND);
    winsim::InjectFault("HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY, -1);
    winsim::ClearCalls();
    AddProductMonitor(ctx);
    winsim::ClearFaults();
    EXPECT_GT(winsim::CallCount("HeapReAlloc"), 0u);
    std::vector<std::u16string> described;
    for (const auto& call : winsim::Calls()) {
        if (call.api == "FormatMessageW") described.push_back(call.args.substr(call.args.find(u',') + 1, 3));
    }
    EXPECT_EQ(described, std::vector<std::u16string>{u"127"});
    EXPECT_EQ(ctx.errorCount, 1);
}

// The spooler still holds the old DLL after its monitor went: the quiet copy fails, the copy
// inside a spooler restart reports and succeeds.
TEST_F(MonitorInstallTest, LockedDllIsCopiedWhileTheSpoolerIsStopped) {
    InstallMonitorDirectly();
    winsim::WriteTestFile(kSystemMonitorDll, "old build");
    winsim::KeepMonitorDllLoaded(kMonitorDll);
    ASSERT_TRUE(TryDeleteMonitor(u"Windows x64"));
    ASSERT_TRUE(winsim::SpoolerHoldsDll(kMonitorDll));
    AddProductMonitor(ctx);
    std::vector<std::u16string> lines = LogLines(ctx);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[1], u"  Copy monitor file");
    EXPECT_EQ(lines[2], u"  " + kCopyLine0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"    Copy Failed :("), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"  >Restart Spooler"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"  " + kCopyLine1), lines.end());
    EXPECT_EQ(lines.back(), u"  AddMonitor - OK :)");
    EXPECT_EQ(winsim::FileBytes(kSystemMonitorDll), ProductFileBytes(kMonitorDll));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
    EXPECT_EQ(ctx.errorCount, 0);
}

// The spooler is given the current environment's monitor DLL by its bare name, and parked
// printers are reopened with full access and set back at level 2 with no command.
TEST_F(MonitorInstallTest, RegistersForTheCurrentEnvironmentAndRestoresWithFullAccess) {
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Parked"));
    EndContext(ctx);
    StartContext(ctx);
    ASSERT_EQ(ctx.printerEnum.printerCount, 1u);
    ASSERT_TRUE(ParkPortName(ctx.printerEnum.printers[0]));
    ctx.portPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2W*)));
    ctx.portPrinters[0] = &ctx.printerEnum.printers[0];
    winsim::ClearCalls();
    AddProductMonitor(ctx);
    EXPECT_EQ(CallArgs("AddMonitorW"),
              std::vector<std::u16string>{u"(null),2,QuillgraphServer:,Windows x64,vmqmon64.dll"});
    EXPECT_EQ(CallArgs("OpenPrinterW"), std::vector<std::u16string>{u"Parked," + Dec(PRINTER_ALL_ACCESS)});
    EXPECT_EQ(CallArgs("SetPrinterW"),
              std::vector<std::u16string>{
                  u"Parked,2,0,Parked,QuillgraphServer:,Quillgraph Server,(null),(null),(null),WinPrint,RAW,0x40"});
    EXPECT_EQ(winsim::FindPrinter(u"Parked")->portName, kMonitorName);
    EXPECT_EQ(CallArgs("ClosePrinter"), std::vector<std::u16string>{u"Parked"});
}

// The 64-bit spooler loads a monitor DLL into its own process: the 32-bit environment's DLL is
// refused as the loader refuses it, five times, and the parked printers stay parked.
TEST_F(MonitorInstallTest, ThirtyTwoBitMonitorDllIsRefusedByTheSixtyFourBitSpooler) {
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Parked", u"file:"));
    EndContext(ctx);
    StartContext(ctx);
    ctx.portPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2W*)));
    ctx.portPrinters[0] = &ctx.printerEnum.printers[0];
    SelectEnvironment(ctx, false);
    winsim::SetMonitorDllPorts(u"vmqmon32.dll", {kMonitorName});
    winsim::ClearCalls();
    AddProductMonitor(ctx);
    EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\system32\\vmqmon32.dll"));
    EXPECT_EQ(CallArgs("AddMonitorW"),
              std::vector<std::u16string>(5, u"(null),2,QuillgraphServer:,Windows NT x86,vmqmon32.dll"));
    EXPECT_EQ(LogLines(ctx).back(), u"  " + ErrorText(11, u"Can`t install a local port monitor'QuillgraphServer:'",
                                                       u"%1 is not a valid Win32 application."));
    EXPECT_FALSE(winsim::MonitorExists(kMonitorName));
    EXPECT_EQ(winsim::CallCount("OpenPrinterW"), 0u);
    EXPECT_EQ(winsim::FindPrinter(u"Parked")->portName, u"file:");
    EXPECT_EQ(ctx.errorCount, 1);
    SelectEnvironment(ctx, true);
}

// A parked printer that has gone since is reported once and the others are still restored.
TEST_F(MonitorInstallTest, UnopenableParkedPrinterIsReportedAndSkipped) {
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Back"));
    EndContext(ctx);
    StartContext(ctx);
    ASSERT_TRUE(ParkPortName(ctx.printerEnum.printers[0]));
    PRINTER_INFO_2W gone{};
    WCHAR port[] = u"file:\0\0\0\0\0\0\0\0\0\0\0\0";
    gone.pPrinterName = const_cast<LPWSTR>(u"Gone");
    gone.pPortName = port;
    PRINTER_INFO_2W moved{};
    WCHAR otherPort[] = u"COM1:";
    moved.pPrinterName = const_cast<LPWSTR>(u"Moved");
    moved.pPortName = otherPort;
    ctx.portPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 4 * sizeof(PRINTER_INFO_2W*)));
    ctx.portPrinters[0] = &gone;
    ctx.portPrinters[1] = &moved;
    ctx.portPrinters[2] = &ctx.printerEnum.printers[0];
    winsim::ClearCalls();
    AddProductMonitor(ctx);
    std::vector<std::u16string> lines = LogLines(ctx);
    std::vector<std::u16string> tail(lines.end() - 3, lines.end());
    EXPECT_EQ(tail, (std::vector<std::u16string>{u"  AddMonitor - OK :)", u"  Can't open printer Gone",
                                                 u"  SetPrinter(Back) - ok"}));
    EXPECT_EQ(std::u16string(port), kMonitorName) << "rewritten before the open is tried";
    EXPECT_EQ(std::u16string(otherPort), u"COM1:");
    EXPECT_EQ(CallArgs("OpenPrinterW"),
              (std::vector<std::u16string>{u"Gone," + Dec(PRINTER_ALL_ACCESS), u"Back," + Dec(PRINTER_ALL_ACCESS)}));
    EXPECT_EQ(ctx.errorCount, 0);
}

}  // namespace
