// The start-up check: product files still waiting in the reboot-time operations.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "workflows/startup_check.h"

namespace {

const char16_t kSpooler[] = u"spooler";

// A hold that ends when the spooler stops, as a file the spooler had loaded.
int g_releaseOnSpoolerStop = -1;

void ReleaseHoldWhenSpoolerStops() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    winsim::OnServiceStateChange([](std::u16string_view name, DWORD state) {
        if (state == SERVICE_STOPPED && winsim::UpperPath(name) == u"SPOOLER" && g_releaseOnSpoolerStop >= 0) {
            winsim::ReleaseHold(g_releaseOnSpoolerStop);
            g_releaseOnSpoolerStop = -1;
        }
    });
}

class StartupCheckTest : public qgrtest::HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        ReleaseHoldWhenSpoolerStops();
        g_releaseOnSpoolerStop = -1;
        winsim::CreateRegKey(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey);
    }
    void TearDown() override { g_releaseOnSpoolerStop = -1; }

    void Pending(const std::vector<std::u16string>& strings) {
        winsim::SetRegMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                  strings);
    }
    int Restarts() { return winsim::ServiceStops(kSpooler); }
};

TEST_F(StartupCheckTest, NothingPendingAnswersFalseWithoutRestart) {
    EXPECT_FALSE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 0);
    EXPECT_EQ(winsim::ServiceStarts(kSpooler), 0);
    qgrtest::ExpectAllBlocksReleased();
}

TEST_F(StartupCheckTest, UnlockedScheduledProductFileIsDeletedNowAndDoesNotCount) {
    winsim::WriteTestFile(u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\vmqdrv64.dll", "old");
    Pending({u"\\??\\C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\vmqdrv64.dll", u""});
    EXPECT_FALSE(StartupCheck(true));
    EXPECT_FALSE(winsim::FileExists(u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\vmqdrv64.dll"));
    EXPECT_EQ(Restarts(), 0);
}

TEST_F(StartupCheckTest, PendingRenameOfProductFileRestartsTwiceAndAnswersTrue) {
    winsim::WriteTestFile(u"C:\\Temp\\vmqui64.dll", "new");
    Pending({u"\\??\\C:\\Temp\\vmqui64.dll", u"!\\??\\C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\vmqui64.dll"});
    EXPECT_TRUE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 2);
    EXPECT_EQ(winsim::ServiceStarts(kSpooler), 2);
    EXPECT_TRUE(winsim::FileExists(u"C:\\Temp\\vmqui64.dll")) << "renames are left to the platform";
    qgrtest::ExpectAllBlocksReleased();
}

TEST_F(StartupCheckTest, LockedDeletionMatchesWithPrefixRemovedAndCaseIgnored) {
    winsim::WriteTestFile(u"C:\\Some\\Dir\\VMQMON64.DLL", "locked");
    winsim::HoldFile(u"C:\\Some\\Dir\\VMQMON64.DLL", FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    Pending({u"\\??\\C:\\Some\\Dir\\VMQMON64.DLL", u""});
    EXPECT_TRUE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 2);
}

TEST_F(StartupCheckTest, FileReleasedByTheFirstRestartAnswersFalseAfterOneRestart) {
    winsim::WriteTestFile(u"C:\\Windows\\system32\\vmqmon64.dll", "loaded");
    g_releaseOnSpoolerStop = winsim::HoldFile(u"C:\\Windows\\system32\\vmqmon64.dll", FILE_SHARE_READ,
                                              ERROR_ACCESS_DENIED);
    Pending({u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u""});
    EXPECT_FALSE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 1);
    EXPECT_FALSE(winsim::FileExists(u"C:\\Windows\\system32\\vmqmon64.dll"));
}

TEST_F(StartupCheckTest, OnlySourcesThatAreExistingProductFilesCount) {
    // A product file as destination, a directory named like a product file, a 32-bit file, a
    // missing source: none of them counts.
    winsim::WriteTestFile(u"C:\\Temp\\update.tmp", "x");
    winsim::MakeDirectory(u"C:\\Temp\\vmqmon64.dll");
    winsim::WriteTestFile(u"C:\\Temp\\vmqmon32.dll", "x");
    winsim::HoldFile(u"C:\\Temp\\vmqmon32.dll", FILE_SHARE_READ, ERROR_ACCESS_DENIED);
    Pending({u"\\??\\C:\\Temp\\update.tmp", u"!\\??\\C:\\Windows\\system32\\vmqmon64.dll",
             u"\\??\\C:\\Temp\\vmqmon64.dll", u"",
             u"\\??\\C:\\Temp\\vmqmon32.dll", u"",
             u"\\??\\C:\\Gone\\vmqdrv64.dll", u"!\\??\\C:\\Gone\\x.dll"});
    EXPECT_FALSE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 0);
}

TEST_F(StartupCheckTest, UnreadableValueCountsAsNothingPending) {
    winsim::WriteTestFile(u"C:\\Temp\\vmqui64.dll", "new");
    Pending({u"\\??\\C:\\Temp\\vmqui64.dll", u"!\\??\\C:\\x.dll"});
    winsim::InjectFault("RegOpenKeyExA", ERROR_ACCESS_DENIED, -1);
    EXPECT_FALSE(StartupCheck(true));
    EXPECT_EQ(Restarts(), 0);
}

}  // namespace
