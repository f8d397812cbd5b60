#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>

#include <string>
#include <vector>

#include "run/install_context.h"
#include "services/pending_files.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectedLog;
using qgrtest::LogText;

std::vector<std::u16string> Paths(const PathList& list) {
    std::vector<std::u16string> paths;
    for (PathNode* node = list; node != nullptr; node = node->next) paths.push_back(node->path);
    return paths;
}

// The value's raw bytes from UTF-16 units (lets a test drop terminators or add odd bytes).
std::string Bytes(const std::u16string& units, size_t extraBytes = 0) {
    std::string bytes(reinterpret_cast<const char*>(units.data()), units.size() * 2);
    bytes.append(extraBytes, '\0');
    return bytes;
}

// The platform's multi-string form: every string terminated, then one more terminator.
std::u16string MultiString(const std::vector<std::u16string>& strings) {
    std::u16string units;
    for (const auto& s : strings) units += s + u'\0';
    return units + u'\0';
}

void SetPending(const std::string& bytes, DWORD type = REG_MULTI_SZ) {
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, type, bytes);
}

class PendingFilesTest : public qgrtest::HealthyMachineTest {
protected:
    void TearDown() override {
        FreePendingRenames(table);
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    InstallContext ctx = qgrtest::BlankContext();
    PendingRenameTable table{nullptr, nullptr, 0};
};

// ---- PathList ----

TEST_F(PendingFilesTest, PathListKeepsEachPathOnceNewestFirst) {
    PathList list = nullptr;
    PathListAdd(list, u"C:\\a.dll");
    PathListAdd(list, u"C:\\b.dll");
    PathListAdd(list, u"C:\\a.dll");
    PathListAdd(list, u"C:\\A.DLL");  // case matters
    EXPECT_EQ(Paths(list), (std::vector<std::u16string>{u"C:\\A.DLL", u"C:\\b.dll", u"C:\\a.dll"}));
    PathListFree(list);
}

TEST_F(PendingFilesTest, PathListIgnoresEmptyPaths) {
    PathList list = nullptr;
    PathListAdd(list, u"");
    PathListAdd(list, nullptr);
    EXPECT_EQ(list, nullptr);
    PathListFree(nullptr);
}

TEST_F(PendingFilesTest, DuplicateStringCopiesOrGivesNone) {
    EXPECT_EQ(DuplicateString(nullptr), nullptr);
    EXPECT_EQ(DuplicateString(u""), nullptr);
    const char16_t* original = u"C:\\x\\y.dll";
    LPWSTR copy = DuplicateString(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_EQ(std::u16string(copy), original);
    GlobalFree(copy);
}

TEST_F(PendingFilesTest, DeletePendingFilesDropsDeletedAndMissingFiles) {
    winsim::WriteTestFile(u"C:\\d\\gone.dll", "x");
    winsim::WriteTestFile(u"C:\\d\\locked.dll", "x");
    int hold = winsim::HoldFile(u"C:\\d\\locked.dll", 0, ERROR_ACCESS_DENIED);
    PathListAdd(ctx.pendingDeletes, u"C:\\d\\gone.dll");
    PathListAdd(ctx.pendingDeletes, u"C:\\d\\locked.dll");
    PathListAdd(ctx.pendingDeletes, u"C:\\d\\missing.dll");
    ctx.logIndent = 2;
    DeletePendingFiles(ctx);
    EXPECT_EQ(Paths(ctx.pendingDeletes), (std::vector<std::u16string>{u"C:\\d\\locked.dll"}));
    EXPECT_FALSE(winsim::FileExists(u"C:\\d\\gone.dll"));
    EXPECT_TRUE(winsim::FileExists(u"C:\\d\\locked.dll"));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{2, u"DeleteFile-try"}}));
    EXPECT_EQ(ctx.errorCount, 0);

    winsim::ReleaseHold(hold);
    DeletePendingFiles(ctx);
    EXPECT_EQ(ctx.pendingDeletes, nullptr);
    EXPECT_FALSE(winsim::FileExists(u"C:\\d\\locked.dll"));
    ctx.logIndent = 0;
}

TEST_F(PendingFilesTest, DeletePendingFilesOnAnEmptyListOnlyLogs) {
    DeletePendingFiles(ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"DeleteFile-try"}}));
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
}

// ---- the reboot-time operations ----

TEST_F(PendingFilesTest, NoValueGivesAnEmptyTable) {
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue);
    table = PendingRenameTable{reinterpret_cast<LPWSTR*>(0x1), reinterpret_cast<int*>(0x2), 77};  // ignored
    ReadPendingRenames(table);
    EXPECT_EQ(table.pairCount, 0);
    EXPECT_EQ(table.paths, nullptr);
    EXPECT_EQ(table.isFile, nullptr);
}

TEST_F(PendingFilesTest, UnopenableKeyGivesAnEmptyTable) {
    SetPending(Bytes(MultiString({u"\\??\\C:\\a.dll", u""})));
    winsim::InjectFault("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    ReadPendingRenames(table);
    EXPECT_EQ(table.pairCount, 0);
    EXPECT_EQ(table.paths, nullptr);
}

TEST_F(PendingFilesTest, ScheduledDeletionIsCarriedOutNow) {
    winsim::WriteTestFile(u"C:\\Windows\\system32\\old.dll", "x");
    std::string value = Bytes(MultiString({u"\\??\\C:\\Windows\\system32\\old.dll", u""}));
    SetPending(value);
    ReadPendingRenames(table);
    ASSERT_EQ(table.pairCount, 1);
    EXPECT_EQ(std::u16string(table.paths[0]), u"\\??\\C:\\Windows\\system32\\old.dll");  // kept as stored
    EXPECT_EQ(table.paths[1], nullptr);
    EXPECT_EQ(table.isFile[0], 1);
    EXPECT_EQ(table.isFile[1], 0);
    EXPECT_EQ(winsim::CallCount("RegCloseKey"), 1u);

    DeleteScheduledFilesNow(table);
    EXPECT_FALSE(winsim::FileExists(u"C:\\Windows\\system32\\old.dll"));
    EXPECT_EQ(table.isFile[0], 0);
    DWORD type = 0;
    std::string after;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                    &type, &after));
    EXPECT_EQ(after, value);  // the value is never written
}

TEST_F(PendingFilesTest, EveryKindOfPairIsTreatedByItsRule) {
    winsim::WriteTestFile(u"C:\\f\\one.dll", "1");
    winsim::WriteTestFile(u"C:\\f\\two.dll", "2");
    winsim::WriteTestFile(u"C:\\f\\renamed.dll", "3");
    winsim::WriteTestFile(u"C:\\f\\last.dll", "4");
    winsim::WriteTestFile(u"C:\\f\\locked.dll", "5");
    winsim::MakeDirectory(u"C:\\f\\folder");
    winsim::WriteTestFile(u"UNC\\srv\\share\\f.dll", "6");  // where the unprefixed UNC form lands
    int hold = winsim::HoldFile(u"C:\\f\\locked.dll", 0, ERROR_ACCESS_DENIED);
    SetPending(Bytes(MultiString({
        u"\\??\\C:\\f\\one.dll", u"",                           // prefixed deletion
        u"C:\\f\\two.dll", u"",                                 // unprefixed deletion
        u"\\??\\C:\\f\\renamed.dll", u"!\\??\\C:\\f\\new.dll",  // rename: never deleted
        u"\\??\\C:\\f\\folder", u"",                            // a directory
        u"\\??\\C:\\f\\absent.dll", u"",                        // nothing there
        u"\\??\\C:\\f\\locked.dll", u"",                        // cannot be deleted now
        u"\\??\\UNC\\srv\\share\\f.dll", u"",                 // not a local full path
        u"\\??\\C:\\f\\last.dll", u"",                          // the last pair counts too
    })));
    ReadPendingRenames(table);
    ASSERT_EQ(table.pairCount, 8);
    EXPECT_EQ(std::vector<int>(table.isFile, table.isFile + 16),
              (std::vector<int>{1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(std::u16string(table.paths[5]), u"!\\??\\C:\\f\\new.dll");

    DeleteScheduledFilesNow(table);
    winsim::ReleaseHold(hold);
    EXPECT_FALSE(winsim::FileExists(u"C:\\f\\one.dll"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\f\\two.dll"));
    EXPECT_TRUE(winsim::FileExists(u"C:\\f\\renamed.dll"));
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\f\\folder"));
    EXPECT_TRUE(winsim::FileExists(u"C:\\f\\locked.dll"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\f\\last.dll"));
    EXPECT_TRUE(winsim::FileExists(u"UNC\\srv\\share\\f.dll"));
    EXPECT_EQ(std::vector<int>(table.isFile, table.isFile + 16),
              (std::vector<int>{0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0}));
}

TEST_F(PendingFilesTest, OddLastStringIsLeftOut) {
    SetPending(Bytes(MultiString({u"C:\\a", u"", u"C:\\odd"})));
    ReadPendingRenames(table);
    ASSERT_EQ(table.pairCount, 1);
    EXPECT_EQ(std::u16string(table.paths[0]), u"C:\\a");
    EXPECT_EQ(table.paths[1], nullptr);
}

TEST_F(PendingFilesTest, TypeOfTheValueIsIgnored) {
    SetPending(Bytes(MultiString({u"C:\\a", u"C:\\b"})), REG_BINARY);
    ReadPendingRenames(table);
    EXPECT_EQ(table.pairCount, 1);
}

TEST_F(PendingFilesTest, TinyValuesGiveAnEmptyTable) {
    for (std::string bytes : {std::string(), std::string(1, 'A'), std::string(2, '\0'), std::string("A\0", 2),
                              std::string("A\0\0", 3)}) {
        SetPending(bytes);
        ReadPendingRenames(table);
        EXPECT_EQ(table.pairCount, 0) << bytes.size();
        EXPECT_EQ(table.paths, nullptr);
        FreePendingRenames(table);
    }
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
}

TEST_F(PendingFilesTest, LastStringWithoutTerminatorEndsWithTheData) {
    winsim::WriteTestFile(u"C:\\f\\src.dll", "s");
    SetPending(Bytes(u"C:\\f\\src.dll" + std::u16string(1, u'\0') + u"C:\\f\\dst.dll"));
    ReadPendingRenames(table);
    ASSERT_EQ(table.pairCount, 1);
    EXPECT_EQ(std::u16string(table.paths[0]), u"C:\\f\\src.dll");
    EXPECT_EQ(std::u16string(table.paths[1]), u"C:\\f\\dst.dll");
    EXPECT_EQ(table.isFile[0], 1);

    // An odd trailing byte is not half a character.
    FreePendingRenames(table);
    SetPending(Bytes(u"C:\\f\\src.dll" + std::u16string(1, u'\0') + u"C:\\x", 1));
    ReadPendingRenames(table);
    ASSERT_EQ(table.pairCount, 1);
    EXPECT_EQ(std::u16string(table.paths[1]), u"C:\\x");
}

TEST_F(PendingFilesTest, ValueThatGrowsBetweenTheQueriesGivesAnEmptyTable) {
    winsim::WriteTestFile(u"C:\\f\\a.dll", "a");
    SetPending(Bytes(MultiString({u"C:\\f\\a.dll", u""})));
    winsim::InjectFault("RegQueryValueExW", ERROR_MORE_DATA, 1, 1);
    ReadPendingRenames(table);
    EXPECT_EQ(table.pairCount, 0);
    EXPECT_EQ(table.paths, nullptr);
    EXPECT_EQ(winsim::CallCount("RegCloseKey"), 1u);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
    DeleteScheduledFilesNow(table);
    EXPECT_TRUE(winsim::FileExists(u"C:\\f\\a.dll"));
}

TEST_F(PendingFilesTest, ReadValueReportsTheSizeAndClosesTheKey) {
    std::string value = Bytes(MultiString({u"C:\\a", u""}));
    SetPending(value);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    BYTE* raw = nullptr;
    EXPECT_EQ(ReadPendingRenameValue(&raw, key), value.size());
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), value.size()), value);
    GlobalFree(raw);
    EXPECT_EQ(winsim::CallCount("RegCloseKey"), 1u);
}

TEST_F(PendingFilesTest, ValueIsOnlyReadWithReadRightsAndNeverWritten) {
    winsim::WriteTestFile(u"C:\\f\\a.dll", "a");
    std::string value = Bytes(MultiString({u"\\??\\C:\\f\\a.dll", u""}));
    SetPending(value);
    winsim::ClearCalls();
    ReadPendingRenames(table);
    DeleteScheduledFilesNow(table);
    EXPECT_FALSE(winsim::FileExists(u"C:\\f\\a.dll"));
    std::vector<std::u16string> opens;
    for (const auto& call : winsim::Calls()) {
        if (call.api.rfind("RegOpenKeyEx", 0) == 0 || call.api.rfind("RegCreateKeyEx", 0) == 0) opens.push_back(call.args);
        EXPECT_EQ(call.api.rfind("RegSetValue", 0), std::string::npos) << call.api;
        EXPECT_EQ(call.api.rfind("RegDeleteValue", 0), std::string::npos) << call.api;
    }
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].find(u"SYSTEM\\CurrentControlSet\\Control\\Session Manager,0,0x20019"), std::u16string::npos)
        << qgrtest::Utf8(opens[0]);
    EXPECT_EQ(winsim::CallCount("RegOpenKeyExA"), 1u);
    std::string after;
    DWORD type = 0;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, &type,
                                    &after));
    EXPECT_EQ(after, value);
}

TEST_F(PendingFilesTest, StripNtPrefixRemovesOnlyTheNtForm) {
    EXPECT_EQ(std::u16string(StripNtPrefix(u"\\??\\C:\\a")), u"C:\\a");
    EXPECT_EQ(std::u16string(StripNtPrefix(u"\\\\?\\C:\\a")), u"\\\\?\\C:\\a");
    EXPECT_EQ(std::u16string(StripNtPrefix(u"\\??")), u"\\??");
    EXPECT_EQ(std::u16string(StripNtPrefix(u"C:\\a")), u"C:\\a");
}

}  // namespace
