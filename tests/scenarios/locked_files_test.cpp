// Locked files across whole runs: retries, spooler restarts, deletions scheduled for the reboot,
// and an install between an uninstall and the reboot that would have deleted the new monitor.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

const char16_t kStagedHelpX86[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\vmqhelp.chm";

std::u16string Nt(std::u16string_view path) { return u"\\??\\" + std::u16string(path); }

bool Scheduled(std::u16string_view path) {
    auto strings = winsim::PendingRenameStrings();
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        if (winsim::UpperPath(strings[i]) == winsim::UpperPath(Nt(path)) && strings[i + 1].empty()) return true;
    }
    return false;
}

// A holder that lets the file be rewritten but not deleted.
int HoldAgainstDeletion(std::u16string_view path) {
    return winsim::HoldFile(path, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_ACCESS_DENIED);
}

class LockedFilesTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpScenarioMachine(); }
};

TEST_F(LockedFilesTest, FilesStillLockedAtTheEndAreScheduledForTheReboot) {
    winsim::WriteTestFile(kStagedHelpX86, "old help");
    HoldAgainstDeletion(kStagedHelpX86);
    EXPECT_EQ(RunInstaller(u"in"), 101);
    EXPECT_TRUE(Scheduled(kStagedHelpX86));
    EXPECT_EQ(winsim::CallCount("MoveFileExW"), 1u);
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1) << "one restart, after a plain pass failed";
    EXPECT_EQ(DialogCount(), 0u);
    ExpectAllBlocksReleased();
}

TEST_F(LockedFilesTest, ErrorsWinOverFilesScheduledForTheReboot) {
    winsim::WriteTestFile(kStagedHelpX86, "old help");
    HoldAgainstDeletion(kStagedHelpX86);
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    EXPECT_TRUE(Scheduled(kStagedHelpX86));
    ASSERT_EQ(DialogCount(), 1u);
    EXPECT_EQ(Utf8(LastDialogTitle()), "Quillgraph build 2430- Install error log!");
    EXPECT_NE(LastDialogLog().find(u"      Error(15): Can`t add printer 'qgrServer' - (Access is denied.)\r\n"),
              std::u16string::npos)
        << Utf8(LastDialogLog());
    ExpectAllBlocksReleased();
}

TEST_F(LockedFilesTest, UninstallSchedulesALockedMonitorDllAndAnswers101) {
    SetUpInstalledProduct();
    winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"un"), 101);
    EXPECT_FALSE(winsim::MonitorExists(kProductPort));
    EXPECT_TRUE(winsim::FileExists(kMonitorDll));
    EXPECT_TRUE(Scheduled(kMonitorDll));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    ExpectAllBlocksReleased();
}

TEST_F(LockedFilesTest, MonitorDllLockedAcrossTheReinstallRestartIsDroppedNotScheduled) {
    SetUpInstalledProduct();
    winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2400);  // not compatible: the removal runs
    HoldAgainstDeletion(kMonitorDll);
    EXPECT_EQ(RunInstaller(u"in"), 1);

    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1) << "one restart for the locked DLL";
    EXPECT_EQ(winsim::CallCount("MoveFileExW"), 0u);
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
    EXPECT_EQ(winsim::FileBytes(kMonitorDll), ProductFileBytes(u"vmqmon64.dll")) << "rewritten in place";
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    ExpectAllBlocksReleased();
}

TEST_F(LockedFilesTest, InstallBeforeTheRebootKeepsTheFreshMonitorDll) {
    // An uninstall found the monitor DLL locked and scheduled it; other programs have their own
    // reboot-time operations waiting.
    SetUpInstalledProduct();
    winsim::WriteTestFile(u"C:\\Other\\stale.tmp", "stale");
    winsim::WriteTestFile(u"C:\\Other\\update.new", "update");
    winsim::HoldFile(u"C:\\Other\\stale.tmp", FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    MoveFileExW(u"C:\\Other\\stale.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(u"C:\\Other\\update.new", u"C:\\Other\\app.dll", MOVEFILE_DELAY_UNTIL_REBOOT);
    int hold = winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    ASSERT_EQ(RunInstaller(u"un"), 101);
    ASSERT_TRUE(Scheduled(kMonitorDll));
    std::vector<std::u16string> othersBefore = winsim::PendingRenameStrings();

    // The holder goes away; the install deletes the old DLL now and copies a fresh one, although
    // the old one was of a compatible build.
    winsim::ReleaseHold(hold);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_EQ(winsim::FileBytes(kMonitorDll), ProductFileBytes(u"vmqmon64.dll"));
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    EXPECT_FALSE(Scheduled(kMonitorDll));
    // Every other pair is still there, in its order.
    std::vector<std::u16string> expected;
    for (size_t i = 0; i + 1 < othersBefore.size(); i += 2) {
        if (winsim::UpperPath(othersBefore[i]) == winsim::UpperPath(Nt(kMonitorDll))) continue;
        expected.push_back(othersBefore[i]);
        expected.push_back(othersBefore[i + 1]);
    }
    EXPECT_EQ(winsim::PendingRenameStrings(), expected);
    EXPECT_EQ(expected.size(), 4u);

    winsim::SimulateReboot();
    EXPECT_EQ(winsim::FileBytes(kMonitorDll), ProductFileBytes(u"vmqmon64.dll")) << "the fresh DLL survives";
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\stale.tmp"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\update.new"));
    EXPECT_EQ(winsim::FileBytes(u"C:\\Other\\app.dll"), "update");
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
    ExpectAllBlocksReleased();
}

TEST_F(LockedFilesTest, InstallBeforeTheRebootKeepsACompatibleMonitorDllThatIsStillLocked) {
    // The uninstall could not delete the DLL and scheduled it; the holder is still there when the
    // install runs, so the DLL (of this build) is kept, not copied, and registered again: its
    // scheduled deletion must go, or the next boot takes the monitor away.
    SetUpInstalledProduct();
    winsim::WriteTestFile(u"C:\\Other\\stale.tmp", "stale");
    winsim::HoldFile(u"C:\\Other\\stale.tmp", FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    MoveFileExW(u"C:\\Other\\stale.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    ASSERT_EQ(RunInstaller(u"un"), 101);
    ASSERT_TRUE(Scheduled(kMonitorDll));

    winsim::SetKeyDown(VK_SHIFT);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    std::u16string log = LastDialogLog();
    EXPECT_NE(log.find(u"InstallMonitor == 1, CopyMonitor == 0\r\n"), std::u16string::npos) << Utf8(log);
    EXPECT_NE(log.find(u"    AddMonitor - OK :)\r\n    Scheduled deletion of C:\\Windows\\system32\\vmqmon64.dll "
                       u"cancelled\r\n"),
              std::u16string::npos)
        << Utf8(log);
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    EXPECT_FALSE(Scheduled(kMonitorDll));
    EXPECT_TRUE(Scheduled(u"C:\\Other\\stale.tmp")) << "other programs' operations stay";

    winsim::SimulateReboot();
    EXPECT_TRUE(winsim::FileExists(kMonitorDll));
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\stale.tmp"));
    ExpectAllBlocksReleased();
}

// The scheduled deletion of the registered monitor's DLL cannot be cancelled: the next boot
// would take the monitor away, so the run reports an error instead of success.
TEST_F(LockedFilesTest, MonitorDllDeletionThatCannotBeCancelledIsAnError) {
    winsim::CopyTestFile(ModuleFile(u"vmqmon64.dll"), kMonitorDll);
    winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2420);
    MoveFileExW(kMonitorDll, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(u"C:\\Other\\a.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    winsim::InjectFault("RegSetValueExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    EXPECT_NE(LastDialogLog().find(u"    Error(19): Can't cancel the scheduled deletion of "
                                   u"C:\\Windows\\system32\\vmqmon64.dll - (Access is denied.)\r\n"),
              std::u16string::npos)
        << Utf8(LastDialogLog());
    EXPECT_TRUE(Scheduled(kMonitorDll));
}

TEST_F(LockedFilesTest, CompatibleDllScheduledForDeletionIsCopiedBeforeItIsRegistered) {
    // Monitor not registered, its DLL of a compatible build but scheduled for deletion by
    // someone: the removal keeps it and skips the copy, the scheduled deletion removes it, and
    // the installation copies it all the same.
    winsim::CopyTestFile(ModuleFile(u"vmqmon64.dll"), kMonitorDll);
    winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2420);
    MoveFileExW(kMonitorDll, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    winsim::SetKeyDown(VK_SHIFT);
    EXPECT_EQ(RunInstaller(u"in"), 1);

    std::u16string log = LastDialogLog();
    EXPECT_NE(log.find(u"InstallMonitor == 1, CopyMonitor == 0\r\n"), std::u16string::npos) << Utf8(log);
    EXPECT_NE(log.find(u"AddMonitor - OK :)\r\n"), std::u16string::npos) << Utf8(log);
    EXPECT_NE(log.find(u"    AddMonitor - OK :)\r\n    Scheduled deletion of C:\\Windows\\system32\\vmqmon64.dll "
                       u"cancelled\r\n    >Add Printer Driver\r\n"),
              std::u16string::npos)
        << Utf8(log);
    EXPECT_EQ(winsim::FileBytes(kMonitorDll), ProductFileBytes(u"vmqmon64.dll"));
    EXPECT_TRUE(winsim::MonitorExists(kProductPort));
    EXPECT_FALSE(Scheduled(kMonitorDll));
    winsim::SimulateReboot();
    EXPECT_TRUE(winsim::FileExists(kMonitorDll));
}

TEST_F(LockedFilesTest, ScheduledDeletionsOfOtherFilesSurviveAnInstallThatCopiesNoMonitor) {
    // The monitor stays registered (compatible): nothing is copied, so the value is not touched.
    SetUpInstalledProduct();
    winsim::WriteTestFile(u"C:\\Other\\stale.tmp", "stale");
    winsim::HoldFile(u"C:\\Other\\stale.tmp", FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    MoveFileExW(u"C:\\Other\\stale.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    auto before = winsim::PendingRenameStrings();
    winsim::ClearCalls();
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_EQ(winsim::PendingRenameStrings(), before);
    size_t pendingWrites = 0;
    for (const winsim::Call& call : winsim::Calls())
        if (call.api.rfind("RegSetValue", 0) == 0 && call.args.find(u"PendingFileRenameOperations") != std::u16string::npos)
            ++pendingWrites;
    EXPECT_EQ(pendingWrites, 0u) << "the reboot-time operations are not written";
}

}  // namespace
