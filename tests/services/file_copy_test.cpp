#include <winsim/core.h>
#include <winsim/files.h>

#include <string>
#include <vector>

#include "run/install_context.h"
#include "services/file_copy.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectedLog;
using qgrtest::LogText;

const std::u16string kTarget = u"C:\\Windows\\system32";
const std::u16string kTargetFile = u"C:\\Windows\\system32\\vmqmon64.dll";

// Makes GetTickCount run ahead of the virtual clock by `extra` ms per sleep, as if every
// open call itself took that long.
DWORD g_extraTicksPerSleep = 0;
void SlowOpensBy(DWORD extra) {
    static bool registered = [] {
        winsim::OnClockAdvance([](uint64_t) {
            if (g_extraTicksPerSleep != 0) winsim::SetTickCount(GetTickCount() + g_extraTicksPerSleep);
        });
        return true;
    }();
    (void)registered;
    g_extraTicksPerSleep = extra;
}

class FileCopyTest : public qgrtest::HealthyMachineTest {
protected:
    void SetUp() override {
        qgrtest::HealthyMachineTest::SetUp();
        SlowOpensBy(0);
        Assign(ctx.moduleDir, qgrtest::kModuleDir);
        winsim::MakeDirectory(kTarget);
    }
    void TearDown() override {
        SlowOpensBy(0);
        EXPECT_EQ(ctx.logIndent, 0);
        EXPECT_EQ(winsim::OpenFileHandles(), 0u);
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    HRESULT Copy(bool report, LPWSTR out = nullptr, DWORD capacity = 0, const std::u16string& dir = kTarget) {
        return CopyFileToDir(ctx, dir.c_str(), u"vmqmon64.dll", out, capacity, report);
    }
    InstallContext ctx = qgrtest::BlankContext();
};

TEST_F(FileCopyTest, CopiesTheFileAndReportsThePath) {
    WCHAR out[MAX_PATH];
    EXPECT_EQ(Copy(true, out, MAX_PATH), S_OK);
    EXPECT_EQ(std::u16string(out), kTargetFile);
    EXPECT_EQ(winsim::FileBytes(kTargetFile), qgrtest::ProductFileBytes(u"vmqmon64.dll"));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])"},
                                         {1, u"Copy Succeeded :)"}}));
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(FileCopyTest, TrailingBackslashIsNotDoubled) {
    WCHAR out[MAX_PATH];
    EXPECT_EQ(Copy(false, out, MAX_PATH, kTarget + u"\\"), S_OK);
    EXPECT_EQ(std::u16string(out), kTargetFile);
    EXPECT_EQ(qgrtest::LogLines(ctx)[0], u">CopyFile vmqmon64.dll to C:\\Windows\\system32\\ [0])");
}

// A directory that could not be read leaves a bare name: nothing is opened in the current
// directory, and the end that has no directory fails with its own error line.
TEST_F(FileCopyTest, PathsWithoutADirectoryAreNeverOpened) {
    const char16_t kNotFound[] = u" - (The system cannot find the path specified.)";
    struct Case {
        const char16_t* moduleDir;
        std::u16string target;
        std::u16string error;
    } cases[] = {
        {u"", kTarget, u"Error(10): Cant't open source file: vmqmon64.dll"},
        {u"C:install.exe", kTarget, u"Error(10): Cant't open source file: vmqmon64.dll"},
        {qgrtest::kModuleDir, u"", u"Error(9): Cant't open destination file: vmqmon64.dll"},
        {qgrtest::kModuleDir, u"system32", u"Error(9): Cant't open destination file: system32\\vmqmon64.dll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qgrtest::Utf8(c.error));
        Assign(ctx.moduleDir, c.moduleDir);
        for (bool report : {false, true}) {
            FreeText(ctx.log);
            ctx.errorCount = 0;
            winsim::ClearCalls();
            EXPECT_EQ(Copy(report, nullptr, 0, c.target), E_FAIL);
            EXPECT_EQ(winsim::CallCount("CreateFileW"), 0u);
            auto lines = qgrtest::LogLines(ctx);
            ASSERT_EQ(lines.size(), report ? 3u : 2u);
            if (report) {
                EXPECT_EQ(lines[1], u"  " + c.error + kNotFound);
            }
            EXPECT_EQ(lines.back(), u"  Copy Failed :(");
        }
    }
}

TEST_F(FileCopyTest, SizesAroundTheChunkAreCopiedExactly) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{3 * 8192}}) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
        winsim::WriteTestFile(qgrtest::ModuleFile(u"vmqmon64.dll"), bytes);
        winsim::ClearCalls();
        EXPECT_EQ(Copy(true), S_OK) << size;
        EXPECT_TRUE(winsim::FileExists(kTargetFile));
        EXPECT_EQ(winsim::FileBytes(kTargetFile), bytes) << size;
        // Reads until one comes back short: an exact multiple ends on an empty read.
        EXPECT_EQ(winsim::CallCount("ReadFile"), size / 8192 + 1) << size;
    }
    EXPECT_EQ(ctx.errorCount, 0);
}

// The spooler may hold the source for reading; the destination is replaced, never appended to.
TEST_F(FileCopyTest, OpensSourceForSharedReadingAndReplacesTheDestination) {
    winsim::ClearCalls();
    EXPECT_EQ(Copy(true), S_OK);
    std::vector<std::u16string> opens;
    for (const auto& call : winsim::Calls())
        if (call.api == "CreateFileW") opens.push_back(call.args);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0], qgrtest::ModuleFile(u"vmqmon64.dll") + u",0x80000000,1,3");  // GENERIC_READ, OPEN_EXISTING
    EXPECT_EQ(opens[1], kTargetFile + u",0x40000000,1,2");                         // GENERIC_WRITE, CREATE_ALWAYS
    for (const auto& call : winsim::Calls())
        if (call.api == "ReadFile") {
            EXPECT_EQ(call.args, u"8192");
        }
}

TEST_F(FileCopyTest, ExistingDestinationIsReplaced) {
    winsim::WriteTestFile(kTargetFile, std::string(20000, 'o'));
    EXPECT_EQ(Copy(true), S_OK);
    EXPECT_EQ(winsim::FileBytes(kTargetFile), qgrtest::ProductFileBytes(u"vmqmon64.dll"));
}

TEST_F(FileCopyTest, MissingSourceQuietFailsWithoutErrorLine) {
    winsim::RemoveTestFile(qgrtest::ModuleFile(u"vmqmon64.dll"));
    WCHAR out[MAX_PATH] = {};
    EXPECT_EQ(Copy(false, out, MAX_PATH), E_FAIL);
    EXPECT_EQ(std::u16string(out), kTargetFile);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [0])"},
                                         {1, u"Copy Failed :("}}));
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_FALSE(winsim::FileExists(kTargetFile));
}

TEST_F(FileCopyTest, MissingSourceReportedIsError10) {
    winsim::RemoveTestFile(qgrtest::ModuleFile(u"vmqmon64.dll"));
    EXPECT_EQ(Copy(true), E_FAIL);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])"},
                           {1, u"Error(10): Cant't open source file: vmqmon64.dll - (The system cannot find the file "
                               u"specified.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_EQ(ctx.errorCount, 1);
}

TEST_F(FileCopyTest, DestinationHeldPastTheRetryIsError9) {
    winsim::WriteTestFile(kTargetFile, "old");
    int hold = winsim::HoldFile(kTargetFile, 0);
    EXPECT_EQ(Copy(true), E_FAIL);
    winsim::ReleaseHold(hold);
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 1u + 100u);
    EXPECT_EQ(winsim::TotalSlept(), 99u * 50u);
    // The sleeps alone stay under 10 s: no timeout line.
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])"},
                           {1, u"Error(9): Cant't open destination file: C:\\Windows\\system32\\vmqmon64.dll - (The "
                               u"process cannot access the file because it is being used by another process.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_EQ(winsim::FileBytes(kTargetFile), "old");
}

// A hidden destination cannot be replaced by a plain CREATE_ALWAYS: the copy fails loudly, the
// old file stays.
TEST_F(FileCopyTest, HiddenDestinationIsNotReplacedAndIsError9) {
    winsim::WriteTestFile(kTargetFile, "old");
    winsim::SetTestFileAttributes(kTargetFile, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Copy(true), E_FAIL);
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 1u + 100u);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])"},
                           {1, u"Error(9): Cant't open destination file: C:\\Windows\\system32\\vmqmon64.dll - (Access "
                               u"is denied.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_EQ(winsim::FileBytes(kTargetFile), "old");
}

TEST_F(FileCopyTest, DestinationHeldQuietlyLogsNoError) {
    winsim::WriteTestFile(kTargetFile, "old");
    int hold = winsim::HoldFile(kTargetFile, FILE_SHARE_READ);  // readers only: a writer is refused
    EXPECT_EQ(Copy(false), E_FAIL);
    winsim::ReleaseHold(hold);
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(qgrtest::LogLines(ctx).back(), u"  Copy Failed :(");
}

TEST_F(FileCopyTest, DestinationReleasedDuringTheRetryIsCopied) {
    winsim::WriteTestFile(kTargetFile, "old");
    winsim::InjectFault("CreateFileW", ERROR_SHARING_VIOLATION, 5, 1);  // 5 refusals after the source
    EXPECT_EQ(Copy(true), S_OK);
    EXPECT_EQ(winsim::TotalSlept(), 5u * 50u);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(FileCopyTest, SlowOpensEndTheRetryWithATimeoutLine) {
    int hold = winsim::HoldFile(kTargetFile, 0);
    SlowOpensBy(100);  // each attempt costs 150 ms of ticks
    EXPECT_EQ(Copy(true), E_FAIL);
    winsim::ReleaseHold(hold);
    // Attempt 68 is the first one that ends more than 10 s after the start (67 x 150 > 10000).
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 1u + 68u);
    EXPECT_EQ(qgrtest::LogLines(ctx),
              (std::vector<std::u16string>{
                  u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])", u"  CreateFile - timeout",
                  u"  Error(9): Cant't open destination file: C:\\Windows\\system32\\vmqmon64.dll - (The process "
                  u"cannot access the file because it is being used by another process.)",
                  u"  Copy Failed :("}));
}

TEST_F(FileCopyTest, TickCountWrapDoesNotEndTheRetryEarly) {
    int hold = winsim::HoldFile(kTargetFile, 0);
    winsim::SetTickCount(0xFFFFFFFFu - 1000u);
    EXPECT_EQ(Copy(false), E_FAIL);
    winsim::ReleaseHold(hold);
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 1u + 100u);
    EXPECT_EQ(qgrtest::LogLines(ctx).size(), 2u);
}

TEST_F(FileCopyTest, ShortWriteIsError8AndAFailure) {
    winsim::WriteTestFile(qgrtest::ModuleFile(u"vmqmon64.dll"), std::string(20000, 'd'));
    winsim::InjectFault("WriteFile", ERROR_DISK_FULL, 1, 1);  // the second chunk
    EXPECT_EQ(Copy(false), E_FAIL);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [0])"},
                           {1, u"Error(8): CopyFile(..,C:\\Windows\\system32\\vmqmon64.dll) - (There is not enough "
                               u"space on the disk.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(winsim::CallCount("ReadFile"), 2u);  // the copy stopped at the failed write
}

TEST_F(FileCopyTest, FailedReadIsError8AndAFailure) {
    winsim::WriteTestFile(qgrtest::ModuleFile(u"vmqmon64.dll"), std::string(20000, 'd'));
    winsim::InjectFault("ReadFile", ERROR_READ_FAULT, 1, 1);
    EXPECT_EQ(Copy(false), E_FAIL);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [0])"},
                           {1, u"Error(8): CopyFile(..,C:\\Windows\\system32\\vmqmon64.dll) - (The system cannot read "
                               u"from the specified device.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(winsim::FileBytes(kTargetFile).size(), 8192u);  // the partial file stays
}

TEST_F(FileCopyTest, OutBufferTooSmallFailsWithoutOverflow) {
    WCHAR out[40];
    for (WCHAR& c : out) c = u'#';
    // The path has 32 units: 32 do not fit with the terminator, 33 do.
    ASSERT_EQ(kTargetFile.size(), 32u);
    EXPECT_EQ(Copy(true, out, 32), E_FAIL);
    EXPECT_EQ(out[0], u'\0');
    for (int i = 1; i < 40; ++i) EXPECT_EQ(out[i], u'#') << i;
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">CopyFile vmqmon64.dll to C:\\Windows\\system32 [1])"},
                           {1, u"Error(8): CopyFile(..,C:\\Windows\\system32\\vmqmon64.dll) - (The data area passed to "
                               u"a system call is too small.)"},
                           {1, u"Copy Failed :("}}));
    EXPECT_FALSE(winsim::FileExists(kTargetFile));
    EXPECT_EQ(winsim::CallCount("CreateFileW"), 0u);

    FreeText(ctx.log);
    EXPECT_EQ(Copy(true, out, 33), S_OK);
    EXPECT_EQ(std::u16string(out), kTargetFile);
    EXPECT_EQ(out[33], u'#');
}

}  // namespace
