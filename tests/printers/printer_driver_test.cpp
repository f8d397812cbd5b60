#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <algorithm>

#include "printers/printer_driver.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

const std::u16string kDriverDir = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";

std::u16string CopyLine(std::u16string_view file) {
    return u">CopyFile " + std::u16string(file) + u" to " + kDriverDir + u" [1])";
}

class PrinterDriverTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        StartContext(ctx);
    }
    void TearDown() override { EndContext(ctx); }
    void Delete() {
        DriverEnum drivers;
        EnumerateDrivers(drivers, ctx.environment);
        DeleteProductDriver(ctx, drivers);
        if (drivers.drivers != nullptr) GlobalFree(drivers.drivers);
    }
    InstallContext ctx{};
};

TEST_F(PrinterDriverTest, InstallsFromStagedFilesAndDeletesThem) {
    AddProductDriver(ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Add Printer Driver"},
                                         {1, CopyLine(u"vmqdrv64.dll")},
                                         {2, u"Copy Succeeded :)"},
                                         {1, CopyLine(u"vmqui64.dll")},
                                         {2, u"Copy Succeeded :)"},
                                         {1, CopyLine(u"vmqhelp.chm")},
                                         {2, u"Copy Succeeded :)"},
                                         {1, u"OK :)"}}));
    auto driver = winsim::FindDriver(kDriverName);
    ASSERT_TRUE(driver.has_value());
    EXPECT_EQ(driver->version, 3u);
    EXPECT_EQ(driver->driverPath, kDriverDir + u"3\\vmqdrv64.dll");
    EXPECT_EQ(driver->dataFile, kDriverDir + u"3\\vmqdrv64.dll");
    EXPECT_EQ(driver->configFile, kDriverDir + u"3\\vmqui64.dll");
    EXPECT_EQ(driver->helpFile, kDriverDir + u"3\\vmqhelp.chm");
    EXPECT_EQ(driver->mfgName, u"Corvane Software Kft.");
    EXPECT_EQ(driver->provider, u"Corvane Software Kft.");
    EXPECT_EQ(driver->oemUrl.rfind(u"https://", 0), 0u);
    EXPECT_TRUE(driver->monitorName.empty());
    EXPECT_TRUE(driver->dependentFiles.empty());
    EXPECT_EQ(winsim::FileBytes(driver->configFile), ProductFileBytes(u"vmqui64.dll"));
    for (auto file : {u"vmqdrv64.dll", u"vmqui64.dll", u"vmqhelp.chm"})
        EXPECT_FALSE(winsim::FileExists(kDriverDir + file)) << Utf8(file);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(PrinterDriverTest, MissingHelpFileStillInstalls) {
    winsim::RemoveTestFile(ModuleFile(u"vmqhelp.chm"));
    AddProductDriver(ctx);
    std::vector<std::u16string> lines = LogLines(ctx);
    std::vector<std::u16string> tail(lines.end() - 4, lines.end());
    EXPECT_EQ(tail, (std::vector<std::u16string>{
                        u"  " + CopyLine(u"vmqhelp.chm"),
                        u"    " + ErrorText(10, u"Cant't open source file: vmqhelp.chm", kTextFileNotFound),
                        u"    Copy Failed :(", u"  OK :)"}));
    auto driver = winsim::FindDriver(kDriverName);
    ASSERT_TRUE(driver.has_value());
    EXPECT_TRUE(driver->helpFile.empty());
    EXPECT_EQ(ctx.pendingDeletes, nullptr) << "the empty help path is never queued";
    EXPECT_EQ(ctx.errorCount, 1);
}

TEST_F(PrinterDriverTest, MissingUiDllInstallsNothing) {
    winsim::RemoveTestFile(ModuleFile(u"vmqui64.dll"));
    winsim::ClearCalls();
    AddProductDriver(ctx);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">Add Printer Driver"},
                           {1, CopyLine(u"vmqdrv64.dll")},
                           {2, u"Copy Succeeded :)"},
                           {1, CopyLine(u"vmqui64.dll")},
                           {2, ErrorText(10, u"Cant't open source file: vmqui64.dll", kTextFileNotFound)},
                           {2, u"Copy Failed :("}}));
    EXPECT_EQ(winsim::CallCount("AddPrinterDriverExW"), 0u);
    EXPECT_TRUE(winsim::FileExists(kDriverDir + u"vmqdrv64.dll")) << "the staged driver DLL stays";
    EXPECT_FALSE(winsim::FindDriver(kDriverName).has_value());
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(PrinterDriverTest, RefusedDriverGivesError13AndStillCleansUp) {
    winsim::InjectFault("AddPrinterDriverExW", RPC_S_SERVER_UNAVAILABLE);
    AddProductDriver(ctx);
    EXPECT_EQ(LogLines(ctx).back(),
              u"  " + ErrorText(13, u"Can`t install a printer driver 'Quillgraph Server'", kTextRpcUnavailable));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_FALSE(winsim::FileExists(kDriverDir + u"vmqdrv64.dll"));
    EXPECT_FALSE(winsim::FileExists(kDriverDir + u"vmqhelp.chm"));
}

TEST_F(PrinterDriverTest, LockedStagedFileJoinsPendingDeletes) {
    winsim::WriteTestFile(kDriverDir + u"vmqui64.dll", "old");
    int hold = winsim::HoldFile(kDriverDir + u"vmqui64.dll", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                ERROR_ACCESS_DENIED);
    AddProductDriver(ctx);
    EXPECT_EQ(LogLines(ctx).back(), u"  OK :)");
    ASSERT_NE(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(std::u16string(ctx.pendingDeletes->path), kDriverDir + u"vmqui64.dll");
    EXPECT_EQ(ctx.pendingDeletes->next, nullptr);
    winsim::ReleaseHold(hold);
}

TEST_F(PrinterDriverTest, AbsentDriverIsNotRemoved) {
    ctx.environment = u"Windows NT x86";
    winsim::ClearCalls();
    Delete();
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinterDriver for Windows NT x86"},
                                         {1, u"BTW, there is no printer drivers on this system."},
                                         {1, u"No Quillgraph driver was found"}}));
    EXPECT_EQ(winsim::CallCount("DeletePrinterDriverExW"), 0u);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(PrinterDriverTest, RemovesTheDriverAndItsFiles) {
    InstallOtherDriver();
    InstallDriverDirectly();
    Delete();
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinterDriver for Windows x64"},
                                         {1, u"------------ 2 existing drivers-----------"},
                                         {1, u"1. Other Driver"},
                                         {1, u"2. Quillgraph Server"},
                                         {1, u"-------------------------------------------"},
                                         {1, u"Driver is found. Index=2"},
                                         {1, u"OK :)"}}));
    EXPECT_FALSE(winsim::FindDriver(kDriverName).has_value());
    EXPECT_FALSE(winsim::FileExists(kDriverDir + u"3\\vmqdrv64.dll"));
    EXPECT_TRUE(winsim::FindDriver(u"Other Driver").has_value());
}

TEST_F(PrinterDriverTest, FailedRemovalRestartsTheSpoolerOnce) {
    InstallDriverDirectly();
    winsim::InjectFault("DeletePrinterDriverExW", ERROR_ACCESS_DENIED);
    winsim::ClearCalls();
    Delete();
    std::vector<std::u16string> lines = LogLines(ctx);
    EXPECT_EQ(lines[lines.size() - 3], u"  Can't delete driver. Trying to restart spooler");
    EXPECT_EQ(lines[lines.size() - 2], u"  >Restart Spooler");
    EXPECT_EQ(lines.back(), u"  OK :)");
    EXPECT_EQ(winsim::CallSequence({"DeletePrinterDriverExW", "ControlService", "StartServiceW"}),
              (std::vector<std::string>{"DeletePrinterDriverExW", "ControlService", "StartServiceW",
                                        "DeletePrinterDriverExW"}));
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(PrinterDriverTest, DriverInUseGivesError14) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Busy"));
    Delete();
    EXPECT_EQ(LogLines(ctx).back(),
              u"  " + ErrorText(14, u"Can`t remove the printer-driver 'Quillgraph Server'", kTextDriverInUse));
    EXPECT_EQ(winsim::CallCount("DeletePrinterDriverExW"), 2u);
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    EXPECT_TRUE(winsim::FindDriver(kDriverName).has_value());
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(ctx.logIndent, 0);
}

// Hand-made records: exact, case-sensitive names in every layout.
TEST_F(PrinterDriverTest, LookupIsExactInEveryLevel) {
    std::u16string names[] = {u"quillgraph server", u"Quillgraph Server ", u"Quillgraph Server"};
    DRIVER_INFO_1W one[3];
    DRIVER_INFO_3W three[3] = {};
    DRIVER_INFO_6W six[3] = {};
    for (int i = 0; i < 3; ++i) {
        one[i].pName = names[i].data();
        three[i].pName = names[i].data();
        six[i].pName = names[i].data();
    }
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(one), 1, 3, 0}), 2);
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(three), 3, 3, 0}), 2);
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(six), 6, 3, 0}), 2);
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(six), 7, 3, 0}), -1);
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(six), 6, 2, 0}), -1);
    six[2].pName = nullptr;
    EXPECT_EQ(FindProductDriver(DriverEnum{reinterpret_cast<BYTE*>(six), 6, 3, 0}), -1);
    EXPECT_EQ(FindProductDriver(DriverEnum{nullptr, 6, 0, 0}), -1);
}

TEST_F(PrinterDriverTest, ListsNamelessRecordsAndRemovesNothingWithoutAMatch) {
    std::u16string other = u"Quillgraph Server2";
    DRIVER_INFO_6W six[2] = {};
    six[0].pName = other.data();
    winsim::ClearCalls();
    DriverEnum drivers{reinterpret_cast<BYTE*>(six), 6, 2, 0};
    DeleteProductDriver(ctx, drivers);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinterDriver for Windows x64"},
                                         {1, u"------------ 2 existing drivers-----------"},
                                         {1, u"1. Quillgraph Server2"},
                                         {1, u"2. ***EMPTY***"},
                                         {1, u"-------------------------------------------"},
                                         {1, u"No Quillgraph driver was found"}}));
    EXPECT_EQ(winsim::CallCount("DeletePrinterDriverExW"), 0u);
}

TEST_F(PrinterDriverTest, DriverRecordOfAnOpenPrinter) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Office"), &printer, nullptr));
    DRIVER_INFO_2W* info = QueryPrinterDriverInfo(printer);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(std::u16string(info->pName), kDriverName);
    EXPECT_EQ(std::u16string(info->pDriverPath), kDriverDir + u"3\\vmqdrv64.dll");
    GlobalFree(info);
    ClosePrinter(printer);
    EXPECT_EQ(QueryPrinterDriverInfo(nullptr), nullptr);
}

// In the 32-bit environment the spooler is given that environment and its own files, and
// removal asks for every file of the driver, any version.
TEST_F(PrinterDriverTest, SecondEnvironmentInstallsAndRemovesItsOwnDriver) {
    SelectEnvironment(ctx, false);
    FreeText(ctx.log);
    winsim::ClearCalls();
    AddProductDriver(ctx);
    // A user-mode (version 3) driver, every file staged in the environment's driver directory.
    std::u16string staged = winsim::DriverDirectory(winsim::kEnvX86) + u"\\";
    EXPECT_EQ(CallArgs("AddPrinterDriverExW"),
              std::vector<std::u16string>{u"(null),6,Quillgraph Server,Windows NT x86,4,v3," + staged + u"vmqdrv32.dll," +
                                          staged + u"vmqdrv32.dll," + staged + u"vmqui32.dll," + staged +
                                          u"vmqhelp.chm,[],(null),(null),Corvane Software Kft.,"
                                          u"https://www.corvane-software.example/quillgraph/,(null),"
                                          u"Corvane Software Kft."});
    EXPECT_EQ(LogLines(ctx).back(), u"  OK :)");
    EXPECT_FALSE(winsim::FindDriver(kDriverName).has_value()) << "nothing for x64";
    std::vector<winsim::SpoolDriver> x86 = winsim::Drivers(winsim::kEnvX86);
    ASSERT_EQ(x86.size(), 1u);
    std::u16string dir = winsim::DriverDirectory(winsim::kEnvX86) + u"\\3\\";
    EXPECT_EQ(x86[0].driverPath, dir + u"vmqdrv32.dll");
    EXPECT_EQ(x86[0].dataFile, dir + u"vmqdrv32.dll");
    EXPECT_EQ(x86[0].configFile, dir + u"vmqui32.dll");
    EXPECT_EQ(x86[0].helpFile, dir + u"vmqhelp.chm");

    winsim::ClearCalls();
    Delete();
    EXPECT_EQ(CallArgs("EnumPrinterDriversW"), (std::vector<std::u16string>{u"(null),Windows NT x86,6",
                                                                           u"(null),Windows NT x86,6"}));
    EXPECT_EQ(CallArgs("DeletePrinterDriverExW"),
              std::vector<std::u16string>{u"(null),Windows NT x86,Quillgraph Server,4,0"});
    EXPECT_TRUE(winsim::Drivers(winsim::kEnvX86).empty());
    EXPECT_EQ(ctx.errorCount, 0);
    SelectEnvironment(ctx, true);
}

// The driver check always asks for the 64-bit driver record at level 2.
TEST_F(PrinterDriverTest, DriverRecordQueryAsksForTheX64Level2Record) {
    InstallMonitorDirectly();
    InstallDriverDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Office"), &printer, nullptr));
    winsim::ClearCalls();
    DRIVER_INFO_2W* info = QueryPrinterDriverInfo(printer);
    EXPECT_EQ(CallArgs("GetPrinterDriverW"),
              (std::vector<std::u16string>{u"Office,Windows x64,2", u"Office,Windows x64,2"}));
    ASSERT_NE(info, nullptr);
    GlobalFree(info);
    winsim::InjectFault("GetPrinterDriverW", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(QueryPrinterDriverInfo(printer), nullptr) << "a failed second call releases its block";
    ClosePrinter(printer);
}

// A driver directory so deep that a staged path would not fit the 260-unit path buffers: the
// first copy fails with error 8 and nothing is given to the spooler.
TEST_F(PrinterDriverTest, StagedPathThatDoesNotFitInstallsNothing) {
    std::u16string deep = u"C:\\" + std::u16string(250, u'd') + u"\\";
    Assign(ctx.driverDir, deep.c_str());
    FreeText(ctx.log);
    winsim::ClearCalls();
    AddProductDriver(ctx);
    std::vector<std::u16string> lines = LogLines(ctx);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], u">Add Printer Driver");
    EXPECT_EQ(lines[2].rfind(u"    Error(8): CopyFile(..," + deep + u"vmqdrv64.dll) - (", 0), 0u);
    EXPECT_EQ(lines[3], u"    Copy Failed :(");
    EXPECT_EQ(winsim::CallCount("AddPrinterDriverExW"), 0u);
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 0u);
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(ctx.logIndent, 0);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
}

}  // namespace
