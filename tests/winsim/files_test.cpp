// The simulated file system: dispositions and their last errors, share modes against open
// handles and other processes' holds, deletion, MoveFileExW, modules and version resources.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>

#include <string>
#include <vector>

namespace {

const std::u16string kDir = u"C:\\Data";
const std::u16string kFile = u"C:\\Data\\a.dll";

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        winsim::Reset();
        winsim::WriteTestFile(kFile, "hello");
    }

    static HANDLE Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(FilesTest, DispositionsReportTheDocumentedLastErrors) {
    SetLastError(77);
    HANDLE h = Open(u"c:/data/A.DLL", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 77u);  // success with OPEN_EXISTING leaves it
    CloseHandle(h);

    EXPECT_EQ(Open(u"C:\\Data\\none.dll", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(u"C:\\Nowhere\\none.dll", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(kFile, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(Open(kDir, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    h = Open(kFile, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(winsim::FileBytes(kFile), "");  // truncated
    CloseHandle(h);

    h = Open(kFile, GENERIC_READ, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    h = Open(u"C:\\Data\\new.txt", GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(h);
    EXPECT_TRUE(winsim::FileExists(u"C:\\DATA\\NEW.TXT"));
    EXPECT_EQ(winsim::OpenFileHandles(), 0u);
}

TEST_F(FilesTest, ReadOnlyFileRefusesWritingAndDeletion) {
    winsim::SetTestFileAttributes(kFile, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Open(kFile, GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileAttributesW(kFile.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    HANDLE h = Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FilesTest, CreateAlwaysRefusesAHiddenOrSystemFileUnlessAskedWithThoseAttributes) {
    for (DWORD attribute : {DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM}}) {
        winsim::WriteTestFile(kFile, "hello");
        winsim::SetTestFileAttributes(kFile, attribute);
        EXPECT_EQ(Open(kFile, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE) << attribute;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << attribute;
        EXPECT_EQ(winsim::FileBytes(kFile), "hello") << "not truncated";
        HANDLE same = CreateFileW(kFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attribute, nullptr);
        EXPECT_NE(same, INVALID_HANDLE_VALUE) << attribute;
        CloseHandle(same);
        // Other dispositions are not affected.
        winsim::SetTestFileAttributes(kFile, attribute);
        HANDLE truncated = Open(kFile, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
        EXPECT_NE(truncated, INVALID_HANDLE_VALUE) << attribute;
        CloseHandle(truncated);
    }
}

TEST_F(FilesTest, ShareModesAreCheckedAgainstEveryOpenHandle) {
    HANDLE reader = Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // A second reader that shares reading is fine; a writer is not.
    HANDLE reader2 = Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(kFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // A reader that does not share reading conflicts with the readers already there.
    EXPECT_EQ(Open(kFile, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Deleting needs every open handle to share deletion.
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    CloseHandle(reader2);

    // A handle that shares deletion lets the name go and keeps reading the data.
    HANDLE sharing = Open(kFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(sharing, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileW(kFile.c_str()));
    EXPECT_FALSE(winsim::FileExists(kFile));
    char data[8];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(sharing, data, sizeof data, &got, nullptr));
    EXPECT_EQ(std::string(data, got), "hello");
    CloseHandle(sharing);
    winsim::WriteTestFile(kFile, "hello");
    EXPECT_TRUE(DeleteFileW(kFile.c_str()));
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, HoldersRefuseConflictingOpensAndDeletion) {
    int hold = winsim::HoldFile(kFile, FILE_SHARE_READ);
    EXPECT_TRUE(winsim::IsHeld(u"c:\\DATA\\a.dll"));
    EXPECT_EQ(Open(kFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(winsim::FileBytes(kFile), "hello");  // no truncation on refusal
    // The holder reads: an opener must share reading with it.
    EXPECT_EQ(Open(kFile, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    HANDLE h = Open(kFile, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    winsim::ReleaseHold(hold);
    EXPECT_FALSE(winsim::IsHeld(kFile));

    // A loaded image: deletion is refused with the holder's error even when it shares deleting,
    // while a rename goes through and the hold follows the file.
    winsim::HoldFile(kFile, FILE_SHARE_READ | FILE_SHARE_DELETE, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(MoveFileExW(kFile.c_str(), u"C:\\Data\\old.dll", 0));
    EXPECT_TRUE(winsim::IsHeld(u"C:\\Data\\old.dll"));
    EXPECT_FALSE(winsim::IsHeld(kFile));

    // An open file whose holder shares deletion can be deleted.
    winsim::WriteTestFile(kFile, "x");
    winsim::HoldFile(kFile, FILE_SHARE_READ | FILE_SHARE_DELETE);
    EXPECT_TRUE(DeleteFileW(kFile.c_str()));
}

TEST_F(FilesTest, ReadAndWriteNeedTheirAccessAndMoveThePosition) {
    HANDLE h = Open(u"C:\\Data\\out.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 99;
    char buffer[16] = {};
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(WriteFile(h, "abc", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    winsim::ShortWriteNext(2);
    EXPECT_TRUE(WriteFile(h, "defg", 4, &done, nullptr));
    EXPECT_EQ(done, 2u);
    EXPECT_TRUE(WriteFile(h, "XY", 2, &done, nullptr));  // only the next write was short
    EXPECT_EQ(done, 2u);
    winsim::InjectFault("WriteFile", ERROR_DISK_FULL);
    EXPECT_FALSE(WriteFile(h, "z", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    CloseHandle(h);
    EXPECT_EQ(winsim::FileBytes(u"C:\\Data\\out.bin"), "abcdeXY");

    h = Open(u"C:\\Data\\out.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "q", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(ReadFile(h, buffer, 4, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "abcd");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "eXY");
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);  // end of file
    winsim::InjectFault("ReadFile", ERROR_READ_FAULT);
    EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
    CloseHandle(h);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, DeleteAndAttributesDistinguishMissingFileFromMissingPath) {
    EXPECT_EQ(GetFileAttributesW(u"C:\\Data\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"C:\\None\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(kDir.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(DeleteFileW(u"C:\\None\\none"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(kDir.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    winsim::InjectFault("DeleteFileW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(kFile.c_str()));
    EXPECT_TRUE(winsim::FileExists(kFile));
}

TEST_F(FilesTest, ImmediateMoveChecksSourceAndDestination) {
    winsim::WriteTestFile(u"C:\\Data\\b.dll", "b");
    EXPECT_FALSE(MoveFileExW(u"C:\\Data\\none", u"C:\\Data\\c.dll", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileExW(kFile.c_str(), u"C:\\Data\\b.dll", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(MoveFileExW(kFile.c_str(), u"C:\\None\\b.dll", 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(MoveFileExW(kFile.c_str(), nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    winsim::MakeDirectory(u"D:\\Other");
    EXPECT_FALSE(MoveFileExW(kFile.c_str(), u"D:\\Other\\a.dll", 0));
    EXPECT_EQ(GetLastError(), 17u);  // ERROR_NOT_SAME_DEVICE
    EXPECT_TRUE(MoveFileExW(kFile.c_str(), u"D:\\Other\\a.dll", MOVEFILE_COPY_ALLOWED));
    EXPECT_TRUE(MoveFileExW(u"D:\\Other\\a.dll", kFile.c_str(), MOVEFILE_COPY_ALLOWED));
    EXPECT_TRUE(MoveFileExW(kFile.c_str(), u"C:\\Data\\b.dll", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(winsim::FileExists(kFile));
    EXPECT_EQ(winsim::FileBytes(u"C:\\Data\\b.dll"), "hello");
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
}

// Bytes of a REG_MULTI_SZ built from the given strings (each terminated) and the final terminator.
std::string Multi(const std::vector<std::u16string>& strings) {
    std::u16string all;
    for (auto& s : strings) all += s + u'\0';
    all += u'\0';
    return std::string(reinterpret_cast<const char*>(all.data()), all.size() * 2);
}

TEST_F(FilesTest, DelayedOperationsAppendThePlatformsPendingRenameForm) {
    // Existence is not checked when scheduling.
    ASSERT_TRUE(MoveFileExW(u"C:/Data/a.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\Data\\gone.dll", u"C:\\Data\\x.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\Data\\y.dll", u"C:\\Data\\z.dll",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                    &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(bytes, Multi({u"\\??\\C:\\Data\\a.dll", u"", u"\\??\\C:\\Data\\gone.dll", u"\\??\\C:\\Data\\x.dll",
                            u"\\??\\C:\\Data\\y.dll", u"!\\??\\C:\\Data\\z.dll"}));
    EXPECT_TRUE(winsim::FileExists(kFile));  // nothing happens before the reboot

    EXPECT_FALSE(MoveFileExW(kFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A new operation is appended to the stored bytes: foreign values are not re-read and rewritten,
// so one that lacks its final terminator, or ends in an unpaired string, keeps its pairs.
TEST_F(FilesTest, DelayedOperationAppendsToForeignValuesByteForByte) {
    auto units = [](const std::u16string& u) { return std::string(reinterpret_cast<const char*>(u.data()), u.size() * 2); };
    const std::u16string a = u"\\??\\C:\\f\\a.dll", b = u"\\??\\C:\\f\\b.dll";
    const std::u16string added = std::u16string(u"\\??\\C:\\Data\\a.dll") + u'\0' + u'\0' + u'\0';
    struct Case {
        const char* what;
        std::u16string before;  // stored units
        std::u16string kept;    // what stays in front of the new pair
    };
    const std::u16string twoDeletions = a + u'\0' + u'\0' + b + u'\0' + u'\0';
    const Case cases[] = {
        {"well formed", twoDeletions + u'\0', twoDeletions},
        {"without the final terminator", twoDeletions, twoDeletions},
        {"unpaired last string", a + u'\0' + u'\0' + b + u'\0', a + u'\0' + u'\0' + b + u'\0'},
        {"empty value", u"", u""},
        {"terminator only", std::u16string(1, u'\0'), u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, REG_MULTI_SZ,
                            units(c.before));
        ASSERT_TRUE(MoveFileExW(kFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
        std::string bytes;
        ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                        nullptr, &bytes));
        EXPECT_EQ(bytes, units(c.kept + added));
    }
    // The two scheduled deletions stay deletions.
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue, REG_MULTI_SZ,
                        units(twoDeletions));
    ASSERT_TRUE(MoveFileExW(kFile.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(winsim::PendingRenameStrings(),
              (std::vector<std::u16string>{a, u"", b, u"", u"\\??\\C:\\Data\\a.dll", u""}));
}

TEST_F(FilesTest, ModuleFileNameTruncatesAsDocumented) {
    winsim::SetModulePath(u"C:\\App\\drv\\install.exe");  // 22 characters
    WCHAR buffer[64];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 64), 22u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\App\\drv\\install.exe");
    EXPECT_EQ(GetModuleFileNameW(winsim::ModuleInstance(), buffer, 23), 22u);
    EXPECT_EQ(GetLastError(), 0u);
    // Exactly the length: no room for the terminator.
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 22), 22u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(buffer), u"C:\\App\\drv\\install.ex");
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4), 4u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\");
    EXPECT_EQ(GetModuleHandleW(nullptr), winsim::ModuleInstance());
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\App\\drv"));
}

TEST_F(FilesTest, SystemDirectoryTooSmallGivesTheSizeWithTerminator) {
    winsim::SetSystemDirectory(u"D:\\Win\\system32");  // 15 characters
    WCHAR buffer[32] = {u'#'};
    EXPECT_EQ(GetSystemDirectoryW(buffer, 15), 16u);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(GetSystemDirectoryW(nullptr, 0), 16u);
    EXPECT_EQ(GetSystemDirectoryW(buffer, 16), 15u);
    EXPECT_EQ(std::u16string(buffer), u"D:\\Win\\system32");
    EXPECT_TRUE(winsim::DirectoryExists(u"d:\\win\\SYSTEM32"));
}

TEST_F(FilesTest, VersionResourceIsReadThroughTheCallersBlockAndTravelsWithCopies) {
    winsim::SetProductVersion(kFile, 1, 2, 3, 2430);
    EXPECT_EQ(winsim::FileBytes(kFile), "hello");
    DWORD handle = 5;
    DWORD size = GetFileVersionInfoSizeW(kFile.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(kFile.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", reinterpret_cast<LPVOID*>(&info), &len));
    EXPECT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    EXPECT_GE(reinterpret_cast<unsigned char*>(info), block.data());
    EXPECT_LT(reinterpret_cast<unsigned char*>(info), block.data() + size);
    EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(info->dwProductVersionMS, (1u << 16) | 2u);
    EXPECT_EQ(info->dwProductVersionLS, (3u << 16) | 2430u);
    EXPECT_FALSE(GetFileVersionInfoW(kFile.c_str(), 0, 16, block.data()));

    // A copy made with the file calls keeps the resource.
    HANDLE in = CreateFileW(kFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(u"C:\\Data\\copy.dll", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    char buffer[7];
    DWORD got = 0, put = 0;
    while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got) WriteFile(out, buffer, got, &put, nullptr);
    CloseHandle(in);
    CloseHandle(out);
    EXPECT_EQ(winsim::FileBytes(u"C:\\Data\\copy.dll"), "hello");
    EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\Data\\copy.dll", nullptr), size);

    winsim::ClearVersion(kFile);
    EXPECT_EQ(GetFileVersionInfoSizeW(kFile.c_str(), nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\Data\\none.dll", nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilesTest, TestControlsSeeTheTree) {
    winsim::WriteTestFile(u"C:\\Data\\sub\\z.txt", "z");
    winsim::MakeDirectory(u"C:\\Data\\empty\\deeper");
    EXPECT_TRUE(winsim::DirectoryExists(u"C:\\Data\\empty"));
    EXPECT_EQ(winsim::FilesUnder(u"c:\\data"),
              (std::vector<std::u16string>{u"C:\\Data\\a.dll", u"C:\\Data\\sub\\z.txt"}));
    EXPECT_TRUE(winsim::CopyTestFile(u"C:\\Data\\sub\\z.txt", u"C:\\Other\\z.txt"));
    EXPECT_EQ(winsim::FileBytes(u"C:\\Other\\z.txt"), "z");
    EXPECT_FALSE(winsim::CopyTestFile(u"C:\\Data\\missing", u"C:\\Other\\m"));
    EXPECT_TRUE(winsim::RemoveTestFile(u"C:\\Other\\z.txt"));
    EXPECT_FALSE(winsim::RemoveTestFile(u"C:\\Other\\z.txt"));
    EXPECT_FALSE(winsim::FileExists(kDir));
    winsim::Reset();
    EXPECT_FALSE(winsim::FileExists(kFile));
    EXPECT_TRUE(winsim::DirectoryExists(winsim::kDefaultSystemDir));
}

}  // namespace

namespace {

// GetFullPathNameW only rewrites text; GetLongPathNameW asks the disk and expands aliases.
TEST_F(FilesTest, FullAndLongPathNames) {
    winsim::SetShortName(kDir, u"DATA~1");
    struct Case {
        const char16_t* path;
        const char16_t* full;  // GetFullPathNameW
        const char16_t* longPath;  // GetLongPathNameW of `full`, empty when it fails
        DWORD error;
    } cases[] = {
        {u"C:/Data/./x/../a.dll", u"C:\\Data\\a.dll", u"C:\\Data\\a.dll", 0},
        {u"c:\\DATA~1\\A.DLL", u"c:\\DATA~1\\A.DLL", u"c:\\Data\\A.DLL", 0},
        {u"a.dll", u"C:\\Windows\\system32\\a.dll", u"", ERROR_FILE_NOT_FOUND},
        {u"C:\\Nowhere\\a.dll", u"C:\\Nowhere\\a.dll", u"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(winsim::ToUtf8(c.path));
        WCHAR full[MAX_PATH] = {};
        DWORD units = GetFullPathNameW(c.path, MAX_PATH, full, nullptr);
        EXPECT_EQ(std::u16string(full), c.full);
        EXPECT_EQ(units, std::u16string(c.full).size());
        EXPECT_EQ(GetFullPathNameW(c.path, units, full, nullptr), units + 1) << "too small: the size needed";
        WCHAR longPath[MAX_PATH] = {};
        SetLastError(0);
        units = GetLongPathNameW(c.full, longPath, MAX_PATH);
        EXPECT_EQ(std::u16string(longPath), c.longPath);
        EXPECT_EQ(units, std::u16string(c.longPath).size());
        EXPECT_EQ(GetLastError(), c.error);
    }
    // The alias opens the same file.
    EXPECT_EQ(GetFileAttributesW(u"C:\\DATA~1\\a.dll"), GetFileAttributesW(kFile.c_str()));
}

}  // namespace
