// Cancelling the reboot-time deletion of one file without disturbing anyone else's entries.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>

#include <string>
#include <vector>

#include "services/pending_files.h"
#include "support/test_support.h"

namespace {

using qgrtest::Utf8;

const char16_t kDll[] = u"C:\\Windows\\system32\\vmqmon64.dll";

// The raw bytes of a value made of these strings, each with its terminator, plus the final one.
std::string MultiSz(const std::vector<std::u16string>& strings) {
    std::u16string units;
    for (const auto& s : strings) {
        units += s;
        units.push_back(u'\0');
    }
    units.push_back(u'\0');
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

std::string Bytes(const std::u16string& units) {
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(char16_t));
}

void SetRaw(DWORD type, const std::string& bytes) {
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, type, bytes);
}

bool GetRaw(DWORD* type, std::string* bytes) {
    return winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, type,
                               bytes);
}

class PendingRenameCleanupTest : public qgrtest::HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        winsim::CreateRegKey(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey);
    }
};

TEST_F(PendingRenameCleanupTest, DropsOnlyTheFilesDeletionsAndKeepsEveryOtherPairByteForByte) {
    SetRaw(REG_MULTI_SZ, MultiSz({
                             u"\\??\\C:\\Other\\a.tmp", u"",                                  // someone else's deletion
                             u"\\??\\c:\\WINDOWS\\System32\\VMQMON64.DLL", u"",              // ours, other case
                             u"\\??\\C:\\Other\\b.new", u"\\??\\C:\\Other\\b.dll",         // a rename
                             u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u"!\\??\\C:\\x",  // rename of ours: kept
                             u"\\??\\C:\\Windows\\system32\\vmqmon64.dllx", u"",             // longer name: kept
                             u"C:\\Windows\\system32\\vmqmon64.dll", u"",                   // without prefix: ours
                             u"\\\\?\\C:\\Windows\\system32\\vmqmon64.dll", u"",            // other prefix: kept
                         }));

    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 2);

    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(GetRaw(&type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(bytes, MultiSz({
                         u"\\??\\C:\\Other\\a.tmp", u"",
                         u"\\??\\C:\\Other\\b.new", u"\\??\\C:\\Other\\b.dll",
                         u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u"!\\??\\C:\\x",
                         u"\\??\\C:\\Windows\\system32\\vmqmon64.dllx", u"",
                         u"\\\\?\\C:\\Windows\\system32\\vmqmon64.dll", u"",
                     }));
}

TEST_F(PendingRenameCleanupTest, ValueLeftWithoutOperationsIsRemoved) {
    SetRaw(REG_MULTI_SZ, MultiSz({u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u"",
                                  u"\\??\\C:\\WINDOWS\\system32\\vmqmon64.dll", u""}));
    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 2);
    EXPECT_FALSE(winsim::RegValueExists(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue));
}

TEST_F(PendingRenameCleanupTest, NothingToDropLeavesTheValueUntouched) {
    // Absent value: nothing is created.
    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 0);
    EXPECT_FALSE(winsim::RegValueExists(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue));

    // Only other files: not rewritten at all (type and odd trailing bytes as they were).
    std::string raw = MultiSz({u"\\??\\C:\\Other\\a.tmp", u""}) + std::string("\x41", 1);
    SetRaw(REG_BINARY, raw);
    winsim::ClearCalls();
    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 0);
    EXPECT_EQ(winsim::CallCount("RegSetValueExW"), 0u);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(GetRaw(&type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(bytes, raw);
}

TEST_F(PendingRenameCleanupTest, ScanStopsAtTheEndOfTheOperationsAndKeepsWhatFollows) {
    // After the empty source that ends the list nothing is interpreted, not even a pair of ours;
    // an unterminated last string is kept too.
    const std::u16string ours = u"\\??\\C:\\Windows\\system32\\vmqmon64.dll";
    const std::u16string zero(1, u'\0');
    std::u16string after = zero + ours + zero + zero + u"unterminated";
    SetRaw(REG_MULTI_SZ, Bytes(ours + zero + zero + after));

    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 1);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(GetRaw(&type, &bytes));
    EXPECT_EQ(bytes, Bytes(after)) << "everything after our pair must stay as it was";
}

TEST_F(PendingRenameCleanupTest, FailedRewriteIsReportedAndChangesNothing) {
    std::string raw = MultiSz({u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u"", u"\\??\\C:\\Other\\a.tmp", u""});
    SetRaw(REG_MULTI_SZ, raw);
    winsim::InjectFault("RegSetValueExW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), -1);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(GetRaw(&type, &bytes));
    EXPECT_EQ(bytes, raw);
    qgrtest::ExpectAllBlocksReleased();
}

TEST_F(PendingRenameCleanupTest, RebootAfterCleanupSparesTheFileAndRunsTheOthers) {
    winsim::WriteTestFile(kDll, "fresh");
    winsim::WriteTestFile(u"C:\\Other\\a.tmp", "old");
    winsim::WriteTestFile(u"C:\\Other\\b.new", "new");
    MoveFileExW(kDll, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(u"C:\\Other\\a.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExW(u"C:\\Other\\b.new", u"C:\\Other\\b.dll", MOVEFILE_DELAY_UNTIL_REBOOT);

    EXPECT_EQ(RemoveScheduledDeletesOf(kDll), 1);
    winsim::SimulateReboot();

    EXPECT_EQ(winsim::FileBytes(kDll), "fresh");
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\a.tmp"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\b.new"));
    EXPECT_EQ(winsim::FileBytes(u"C:\\Other\\b.dll"), "new");
}

}  // namespace
