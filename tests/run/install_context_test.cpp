#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <string>

#include "run/install_context.h"
#include "workflows/init_context.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectedLog;
using qgrtest::LogLines;
using qgrtest::LogText;

const std::u16string kX64Dir = winsim::kDriverDirX64;
const std::u16string kX86Dir = winsim::kDriverDirX86;

std::u16string Text(const TextBuffer& buffer) { return std::u16string(TextOf(buffer), TextLength(buffer)); }

class InstallContextTest : public qgrtest::HealthyMachineTest {
protected:
    void TearDown() override {
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    InstallContext ctx = qgrtest::BlankContext();
};

TEST_F(InstallContextTest, HealthyMachineLog) {
    InitContext(ctx, 3);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"Quillgraph 2430"},
                                         {0, u">Check Spooler"},
                                         {0, u"PrinterDriverDirectory(1):" + kX64Dir},
                                         {0, u"PrinterDriverDirectory(2):" + kX64Dir + u"\\"}}));
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(ctx.logIndent, 0);
    EXPECT_EQ(Text(ctx.moduleDir), qgrtest::kModuleDir);
    EXPECT_EQ(Text(ctx.systemDir), u"C:\\Windows\\system32\\");
    EXPECT_EQ(Text(ctx.driverDir), kX64Dir + u"\\");
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows x64");
    EXPECT_EQ(std::u16string(ctx.monitorFile), u"vmqmon64.dll");
    EXPECT_EQ(std::u16string(ctx.driverFile), u"vmqdrv64.dll");
    EXPECT_EQ(std::u16string(ctx.uiFile), u"vmqui64.dll");
    EXPECT_EQ(std::u16string(ctx.helpFile), u"vmqhelp.chm");
    EXPECT_EQ(ctx.isX64, 1);
    EXPECT_EQ(ctx.bothEnvironments, 1);
    EXPECT_EQ(ctx.reinstallMode, 0);
    EXPECT_EQ(ctx.installMonitor, 1);
    EXPECT_EQ(ctx.copyMonitor, 1);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.savedSettings, nullptr);
    EXPECT_EQ(ctx.portPrinters, nullptr);
    EXPECT_EQ(winsim::ServiceStarts(qgrtest::kSpooler), 0);
}

TEST_F(InstallContextTest, PreviousContentIsIgnored) {
    // Garbage in every pointer must neither be freed nor kept.
    ctx.moduleDir = reinterpret_cast<TextBuffer>(0x1);
    ctx.log = reinterpret_cast<TextBuffer>(0x2);
    ctx.pendingDeletes = reinterpret_cast<PathList>(0x3);
    ctx.printerEnum.printers = reinterpret_cast<PRINTER_INFO_2W*>(0x4);
    ctx.printerEnum.printerCount = 99;
    ctx.portPrinters = reinterpret_cast<PRINTER_INFO_2W**>(0x5);
    ctx.errorCount = 7;
    ctx.logIndent = 4;
    InitContext(ctx, 3);
    EXPECT_EQ(LogLines(ctx).front(), u"Quillgraph 2430");
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.portPrinters, nullptr);
    EXPECT_EQ(ctx.printerEnum.printerCount, 0u);
}

TEST_F(InstallContextTest, StartsAStoppedSpooler) {
    winsim::SetServiceState(qgrtest::kSpooler, SERVICE_STOPPED);
    InitContext(ctx, 3);
    EXPECT_TRUE(winsim::IsServiceRunning(qgrtest::kSpooler));
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(LogLines(ctx).size(), 4u);
    EXPECT_EQ(Text(ctx.driverDir), kX64Dir + u"\\");
}

TEST_F(InstallContextTest, InitFlagsChooseTheStartEnvironment) {
    InitContext(ctx, 1);
    EXPECT_EQ(ctx.isX64, 0);
    EXPECT_EQ(ctx.bothEnvironments, 1);
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows NT x86");
    EXPECT_EQ(std::u16string(ctx.monitorFile), u"vmqmon32.dll");
    EXPECT_EQ(std::u16string(ctx.driverFile), u"vmqdrv32.dll");
    EXPECT_EQ(std::u16string(ctx.uiFile), u"vmqui32.dll");
    EXPECT_EQ(Text(ctx.driverDir), kX86Dir + u"\\");
    FreeContext(ctx);
    InitContext(ctx, 2);
    EXPECT_EQ(ctx.isX64, 1);
    EXPECT_EQ(ctx.bothEnvironments, 0);
}

TEST_F(InstallContextTest, SwitchingEnvironmentAndBackRestoresEverything) {
    InitContext(ctx, 3);
    std::u16string before = Text(ctx.driverDir);
    size_t lines = LogLines(ctx).size();

    SelectEnvironment(ctx, !ctx.isX64);
    EXPECT_EQ(ctx.isX64, 0);
    EXPECT_EQ(Text(ctx.driverDir), kX86Dir + u"\\");
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows NT x86");
    SelectEnvironment(ctx, !ctx.isX64);

    EXPECT_EQ(ctx.isX64, 1);
    EXPECT_EQ(Text(ctx.driverDir), before);
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows x64");
    EXPECT_EQ(std::u16string(ctx.monitorFile), u"vmqmon64.dll");
    EXPECT_EQ(std::u16string(ctx.driverFile), u"vmqdrv64.dll");
    EXPECT_EQ(std::u16string(ctx.uiFile), u"vmqui64.dll");
    EXPECT_EQ(std::u16string(ctx.helpFile), u"vmqhelp.chm");
    auto all = LogLines(ctx);
    ASSERT_EQ(all.size(), lines + 4);
    EXPECT_EQ(std::vector<std::u16string>(all.end() - 4, all.end()),
              (std::vector<std::u16string>{u"PrinterDriverDirectory(1):" + kX86Dir,
                                           u"PrinterDriverDirectory(2):" + kX86Dir + u"\\",
                                           u"PrinterDriverDirectory(1):" + kX64Dir,
                                           u"PrinterDriverDirectory(2):" + kX64Dir + u"\\"}));
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(InstallContextTest, DriverDirectorySizeQueryFailureIsError6) {
    winsim::InjectFault("GetPrinterDriverDirectoryW", RPC_S_SERVER_UNAVAILABLE);
    InitContext(ctx, 3);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u"Quillgraph 2430"},
                           {0, u">Check Spooler"},
                           {0, u"Error(6): Can`t retrieve printer driver directory. - (The RPC server is unavailable.)"}}));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(ctx.driverDir, nullptr);
    EXPECT_EQ(std::u16string(ctx.helpFile), u"vmqhelp.chm");
    EXPECT_EQ(std::u16string(ctx.environment), u"Windows x64");
}

TEST_F(InstallContextTest, FailedSecondDriverDirectoryCallKeepsThePreviousDirectory) {
    InitContext(ctx, 3);
    winsim::InjectFault("GetPrinterDriverDirectoryW", ERROR_INVALID_ENVIRONMENT, 1, 1);
    SelectEnvironment(ctx, false);
    EXPECT_EQ(LogLines(ctx).back(),
              u"Error(6): Can`t retrieve printer driver directory. - (The environment specified is invalid.)");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(Text(ctx.driverDir), kX64Dir + u"\\");  // unchanged
    EXPECT_EQ(ctx.isX64, 0);
    EXPECT_EQ(std::u16string(ctx.driverFile), u"vmqdrv32.dll");
}

// The directory's block is a spooler result block: an allocation failure reports E_OUTOFMEMORY.
TEST_F(InstallContextTest, DriverDirectoryBlockThatCannotBeAllocatedIsError6) {
    InitContext(ctx, 3);
    size_t globalBefore = winsim::LiveGlobalBlocks();
    winsim::ClearCalls();
    SelectEnvironment(ctx, false);
    EXPECT_EQ(winsim::CallCount("GlobalAlloc"), 1u);
    EXPECT_EQ(winsim::CallCount("GlobalFree"), 1u);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), globalBefore);
    EXPECT_EQ(Text(ctx.driverDir), kX86Dir + u"\\");

    winsim::InjectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    SelectEnvironment(ctx, true);
    EXPECT_EQ(LogLines(ctx).back(), u"Error(6): Can`t retrieve printer driver directory. - (Not enough memory "
                                    u"resources are available to complete this operation.)");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(Text(ctx.driverDir), kX86Dir + u"\\");  // unchanged
    EXPECT_EQ(ctx.isX64, 1);
}

TEST_F(InstallContextTest, SystemDirectoryFailureIsError7) {
    winsim::InjectFault("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
    InitContext(ctx, 3);
    auto lines = LogLines(ctx);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], u"Error(7): Can`t retrieve system directory. - (Access is denied.)");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(ctx.systemDir, nullptr);
}

TEST_F(InstallContextTest, SystemDirectoryKeepsAnExistingTrailingBackslash) {
    winsim::SetSystemDirectory(u"D:\\");
    InitContext(ctx, 3);
    EXPECT_EQ(Text(ctx.systemDir), u"D:\\");
}

TEST_F(InstallContextTest, ModuleDirectoryKeepsItsSeparator) {
    struct Case {
        std::u16string path;
        std::u16string dir;
    } cases[] = {
        {u"C:\\dir\\inst.exe", u"C:\\dir\\"},
        {u"C:\\dir/inst.exe", u"C:\\dir/"},
        {u"C:inst.exe", u"C:"},
        {u"inst.exe", u""},
    };
    for (const auto& c : cases) {
        winsim::SetModulePath(c.path);
        InitContext(ctx, 3);
        EXPECT_EQ(Text(ctx.moduleDir), c.dir) << qgrtest::Utf8(c.path);
        FreeContext(ctx);
    }
}

TEST_F(InstallContextTest, DeepPathsAreNotCut) {
    std::u16string dir = u"C:\\";
    for (int i = 0; i < 30; ++i) dir += u"deep folder " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u"\\";
    ASSERT_GT(dir.size(), 300u);
    winsim::SetModulePath(dir + u"install.exe");
    winsim::SetSystemDirectory(dir + u"system32");
    InitContext(ctx, 3);
    EXPECT_EQ(Text(ctx.moduleDir), dir);
    EXPECT_EQ(Text(ctx.systemDir), dir + u"system32\\");
    EXPECT_EQ(winsim::CallCount("GetSystemDirectoryW"), 2u);  // asked again with the size it reported
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(InstallContextTest, UnreadableInstallerPathIsLoggedNotGuessed) {
    winsim::InjectFault("GetModuleFileNameW", ERROR_ACCESS_DENIED);
    InitContext(ctx, 3);
    EXPECT_EQ(ctx.moduleDir, nullptr);
    EXPECT_EQ(LogLines(ctx).back(), u"Can`t retrieve installer directory.");
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(InstallContextTest, SnapshotIsTakenLast) {
    winsim::SpoolPrinter printer;
    printer.name = u"Office";
    printer.portName = u"LPT1:";
    printer.driverName = u"Generic";
    winsim::AddTestPrinter(printer);
    InitContext(ctx, 3);
    ASSERT_EQ(ctx.printerEnum.printerCount, 1u);
    EXPECT_EQ(std::u16string(ctx.printerEnum.printers[0].pPrinterName), u"Office");
}

TEST_F(InstallContextTest, FreeContextReleasesEverythingItOwns) {
    InitContext(ctx, 3);
    PathListAdd(ctx.pendingDeletes, u"C:\\a.dll");
    PathListAdd(ctx.pendingDeletes, u"C:\\b.dll");
    for (int i = 0; i < 2; ++i) {
        auto* entry = static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter)));
        entry->subKey = static_cast<LPSTR>(GlobalAlloc(GPTR, 64));
        entry->next = ctx.savedSettings;
        ctx.savedSettings = entry;
    }
    ctx.portPrinters = static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, 2 * sizeof(PRINTER_INFO_2W*)));
    FreeContext(ctx);
    EXPECT_EQ(ctx.moduleDir, nullptr);
    EXPECT_EQ(ctx.systemDir, nullptr);
    EXPECT_EQ(ctx.log, nullptr);
    EXPECT_EQ(ctx.driverDir, nullptr);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_EQ(ctx.savedSettings, nullptr);
    EXPECT_EQ(ctx.portPrinters, nullptr);
    EXPECT_EQ(ctx.printerEnum.printers, nullptr);
    EXPECT_EQ(ctx.printerEnum.printerCount, 0u);
    qgrtest::ExpectAllBlocksReleased();
}

TEST_F(InstallContextTest, FreeContextOfAnEmptyContextDoesNothing) {
    winsim::InjectFault("EnumPrintersW", RPC_S_SERVER_UNAVAILABLE);
    InitContext(ctx, 3);
    EXPECT_EQ(ctx.printerEnum.printers, nullptr);
    FreeContext(ctx);
    FreeContext(ctx);  // a second release finds nothing left
    qgrtest::ExpectAllBlocksReleased();
}

}  // namespace
