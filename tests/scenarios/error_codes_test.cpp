// Every error code of the log, each produced by a whole run: exit code 100, the error dialog,
// the line itself, and the heaps released.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <functional>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

struct ErrorCase {
    int code;
    const char16_t* command;
    std::function<void()> arrange;
    std::u16string line;  // the error line without its indentation
    bool prefixOnly = false;  // a wait that timed out: the description is whatever came before
};

// Lines of the shown log that are error lines of `code`, indentation removed.
std::vector<std::u16string> ErrorLines(const std::u16string& log, int code) {
    std::vector<std::u16string> found;
    std::u16string prefix = u"Error(" + winsim::ToU16(std::to_string(code)) + u"): ";
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find(u"\r\n", start);
        if (end == std::u16string::npos) end = log.size();
        std::u16string line = log.substr(start, end - start);
        size_t text = line.find_first_not_of(u' ');
        if (text != std::u16string::npos && line.compare(text, prefix.size(), prefix) == 0)
            found.push_back(line.substr(text));
        start = end + 2;
    }
    return found;
}

void HoldLockedForRestart() { winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED); }

std::vector<ErrorCase> Cases() {
    const std::u16string x64 = kDriverDirX64Slash;
    return {
        {1, u"in", [] { winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED); },
         u"Error(1): Can't open service manager. - (Access is denied.)"},
        {2, u"in", [] { winsim::InjectFault("OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST); },
         u"Error(2): Can't open the spooler - (The specified service does not exist as an installed service.)"},
        {3, u"un",
         [] {
             SetUpInstalledProduct();
             HoldLockedForRestart();
             winsim::ScriptService(kSpooler).msToStop = -1;
         },
         u"Error(3): Can't stop the spooler", true},
        {4, u"un",
         [] {
             SetUpInstalledProduct();
             HoldLockedForRestart();
             winsim::ScriptService(kSpooler).msToStart = -1;
         },
         u"Error(4): Can't start the spooler", true},
        {5, u"un",
         [] {
             SetUpInstalledProduct();
             HoldLockedForRestart();
             winsim::ScriptService(kSpooler).controlError = ERROR_DEPENDENT_SERVICES_RUNNING;
         },
         u"Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been sent to a service "
         u"that other running services are dependent on.)"},
        {6, u"in", [] { winsim::InjectFault("GetPrinterDriverDirectoryW", ERROR_INVALID_ENVIRONMENT); },
         u"Error(6): Can`t retrieve printer driver directory. - (The environment specified is invalid.)"},
        // The first look-up of the system directory is the start-up's, for the system DLLs.
        {7, u"un", [] { winsim::InjectFault("GetSystemDirectoryW", ERROR_ACCESS_DENIED, 1, 1); },
         u"Error(7): Can`t retrieve system directory. - (Access is denied.)"},
        {8, u"in", [] { winsim::InjectFault("WriteFile", ERROR_DISK_FULL); },
         u"Error(8): CopyFile(..,C:\\Windows\\system32\\vmqmon64.dll) - (There is not enough space on the disk.)"},
        {9, u"in",
         [x64] {
             winsim::WriteTestFile(x64 + u"vmqdrv64.dll", "old");
             winsim::HoldFile(x64 + u"vmqdrv64.dll", FILE_SHARE_READ, ERROR_SHARING_VIOLATION);
         },
         u"Error(9): Cant't open destination file: " + x64 +
             u"vmqdrv64.dll - (The process cannot access the file because it is being used by another process.)"},
        {10, u"in", [] { winsim::RemoveTestFile(ModuleFile(u"vmqhelp.chm")); },
         u"Error(10): Cant't open source file: vmqhelp.chm - (The system cannot find the file specified.)"},
        {11, u"in", [] { winsim::SetMonitorDllLoadError(u"vmqmon64.dll", ERROR_PROC_NOT_FOUND); },
         u"Error(11): Can`t install a local port monitor'QuillgraphServer:' - (The specified procedure could not "
         u"be found.)"},
        {12, u"un",
         [] {
             SetUpInstalledProduct();
             winsim::InjectFault("DeleteMonitorW", ERROR_PRINT_MONITOR_IN_USE, 3);
         },
         u"Error(12): Can`t remove the port monitor 'QuillgraphServer:' - (The specified print monitor is currently "
         u"in use.)"},
        {13, u"in", [] { winsim::InjectFault("AddPrinterDriverExW", ERROR_ACCESS_DENIED); },
         u"Error(13): Can`t install a printer driver 'Quillgraph Server' - (Access is denied.)"},
        {14, u"un",
         [] {
             SetUpInstalledProduct();
             winsim::InjectFault("DeletePrinterDriverExW", ERROR_PRINTER_DRIVER_IN_USE, 2);
         },
         u"Error(14): Can`t remove the printer-driver 'Quillgraph Server' - (The specified printer driver is "
         u"currently in use.)"},
        {15, u"in", [] { winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED); },
         u"Error(15): Can`t add printer 'qgrServer' - (Access is denied.)"},
        {16, u"un",
         [] {
             SetUpInstalledProduct();
             AddInstalledPrinter(u"Alpha", "s1");
             // The settings are read through a first handle; the deletion's own open fails.
             winsim::InjectFault("OpenPrinterW", ERROR_ACCESS_DENIED, 1, 1);
         },
         u"Error(16): Can`t open printer 'Alpha' - (Access is denied.)"},
        {17, u"un",
         [] {
             SetUpInstalledProduct();
             AddInstalledPrinter(u"Alpha", "s1");
             winsim::InjectFault("DeletePrinter", ERROR_ACCESS_DENIED);
         },
         u"Error(17): Can`t delete printer 'Alpha' - (Access is denied.)"},
        {20, u"in", [] { winsim::InjectFault("LoadLibraryExW", ERROR_MOD_NOT_FOUND, 1, 1); },
         u"Error(20): Can't load winspool.drv from the system directory - (The specified module could not be "
         u"found.)"},
        {20, u"in", [] { winsim::InjectFault("GetSystemDirectoryW", ERROR_ACCESS_DENIED); },
         u"Error(20): Can't load version.dll from the system directory - (Access is denied.)"},
        // The eleventh function, bound by its ordinal, is named in the line.
        {20, u"un",
         [] {
             SetUpInstalledProduct();
             winsim::InjectFault("GetProcAddress", ERROR_PROC_NOT_FOUND, 1, 10);
         },
         u"Error(20): Can't find GetDefaultPrinterW in winspool.drv - (The specified procedure could not be "
         u"found.)"},
    };
}

TEST(ErrorCodes, EveryCodeInAWholeRun) {
    for (const ErrorCase& c : Cases()) {
        SCOPED_TRACE("error " + std::to_string(c.code));
        SetUpScenarioMachine();
        c.arrange();
        EXPECT_EQ(RunInstaller(c.command), 100);
        ASSERT_EQ(DialogCount(), 1u);
        EXPECT_EQ(Utf8(LastDialogTitle()), "Quillgraph build 2430- Install error log!");
        std::vector<std::u16string> lines = ErrorLines(LastDialogLog(), c.code);
        ASSERT_FALSE(lines.empty()) << Utf8(LastDialogLog());
        std::u16string shown = c.prefixOnly ? lines.front().substr(0, c.line.size()) : lines.front();
        EXPECT_EQ(Utf8(shown), Utf8(c.line));
        ExpectAllBlocksReleased();
    }
}

TEST(ErrorCodes, SpoolerThatNeverStopsIsWaitedForBoundedTime) {
    // The uninstall's restart for a locked file: 10 s for the stop that never comes, then 10 s
    // for a start that cannot come while the stop is pending; both are reported.
    SetUpScenarioMachine();
    SetUpInstalledProduct();
    HoldLockedForRestart();
    winsim::ScriptService(kSpooler).msToStop = -1;
    uint64_t before = winsim::TotalSlept();
    EXPECT_EQ(RunInstaller(u"un"), 100);
    EXPECT_EQ(winsim::TotalSlept() - before, 2u * 50u * 200u);
    EXPECT_EQ(ErrorLines(LastDialogLog(), 3).size(), 1u);
    EXPECT_EQ(ErrorLines(LastDialogLog(), 4).size(), 1u);
}

}  // namespace
