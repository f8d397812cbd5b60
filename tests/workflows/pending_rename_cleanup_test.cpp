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

// The key is opened for reading, and for writing only when a pair of ours must go; a value that
// another program changes after it was read is read and filtered again, three passes at most.
TEST_F(PendingRenameCleanupTest, RewritesOnlyWhatItReadAndRetriesWhenTheValueChanged) {
    const std::vector<std::u16string> ours = {u"\\??\\C:\\Windows\\system32\\vmqmon64.dll", u""};
    const std::vector<std::u16string> other = {u"\\??\\C:\\Other\\a.tmp", u""};
    struct Case {
        const char* name;
        std::vector<std::u16string> start;
        int changes;      // passes before which another program adds a pair
        DWORD setFault;   // RegSetValueExW refused with this
        int result;
        DWORD lastError;  // for a result of -1
        size_t opens;
        DWORD readFault = 0;  // the first RegQueryValueExW refused with this
    } cases[] = {
        {"nothing of ours", other, 0, 0, 0, 0, 1},
        {"changed once", ours, 1, 0, 1, 0, 2},
        {"changed at every pass", ours, 3, 0, -1, ERROR_RETRY, 2},
        {"write refused", {ours[0], ours[1], other[0], other[1]}, 0, ERROR_ACCESS_DENIED, -1, ERROR_ACCESS_DENIED, 2},
        {"read refused", ours, 0, 0, -2, ERROR_ACCESS_DENIED, 1, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetRaw(REG_MULTI_SZ, MultiSz(c.start));
        std::vector<std::u16string> expected = c.start;
        for (int pass = 0; pass < c.changes; ++pass) {
            std::u16string added = u"\\??\\C:\\Other\\new" + winsim::ToU16(std::to_string(pass)) + u".tmp";
            expected.insert(expected.end(), {added, u""});
            // Read-only: size and data (calls 1, 2); then each pass reads twice.
            winsim::BeforeCall("RegQueryValueExW", [expected] { SetRaw(REG_MULTI_SZ, MultiSz(expected)); },
                               2 + 2 * pass);
        }
        if (c.setFault) winsim::InjectFault("RegSetValueExW", c.setFault);
        if (c.readFault) winsim::InjectFault("RegQueryValueExW", c.readFault);
        winsim::ClearCalls();
        SetLastError(0);
        EXPECT_EQ(RemoveScheduledDeletesOf(kDll), c.result);
        EXPECT_EQ(c.result < 0 ? GetLastError() : 0u, c.lastError);
        if (c.result > 0) expected.erase(expected.begin(), expected.begin() + 2);  // ours came first
        EXPECT_EQ(winsim::PendingRenameStrings(), expected);
        auto opens = winsim::CallSequence({"RegOpenKeyExA"});
        EXPECT_EQ(opens.size(), c.opens);
        EXPECT_NE(winsim::Calls().front().args.find(u",0x1"), std::u16string::npos) << "read access first";
        EXPECT_EQ(winsim::OpenRegKeys(), 0u);
        winsim::ClearFaults();
    }
    qgrtest::ExpectAllBlocksReleased();
}

}  // namespace
