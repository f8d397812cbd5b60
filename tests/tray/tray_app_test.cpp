#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/user.h>

#include "support/product_support.h"
#include "support/test_support.h"
#include "tray/tray_app.h"

using namespace qgrtest;

namespace {

const char kMutex[] = "{6E2D41B7-9C3A-4F85-B1D0-7A5E92C3F416}";
const char16_t kWindowClass[] = u"qgs::{D83A5C19-2E7F-4B60-9A14-C5F0E7B2318D}";

winsim::TrayAppConfig TrayConfig() {
    winsim::TrayAppConfig config;
    config.mutexName = kMutex;
    config.windowClass = kWindowClass;
    config.windowTitle = u"Quillgraph";
    return config;
}

std::string Utf16Bytes(std::u16string_view text) {
    std::u16string terminated(text);
    terminated.push_back(0);
    return std::string(reinterpret_cast<const char*>(terminated.data()), terminated.size() * 2);
}

class TrayTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        winsim::WriteTestFile(kTrayExe, "tray");
        winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", kTrayExe);
    }
    bool RunValueExists() { return winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray"); }
    // Virtual milliseconds that RemoveTray took.
    uint64_t TimedRemove(LPCWSTR keepExecutable = nullptr) {
        uint64_t start = winsim::Now();
        RemoveTray(keepExecutable);
        return winsim::Now() - start;
    }
};

TEST(TrayPathTest, OneDirectoryAboveTheInstaller) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"C:\\App\\drv\\", u"C:\\App\\qgrtray.exe"},
        {u"C:\\drv\\", u"C:\\qgrtray.exe"},
        {u"C:\\App\\drv", u"C:\\App\\qgrtray.exe"},
        {u"C:/App/drv/", u"C:/App\\qgrtray.exe"},
        // No full directory above the installer: no path, never a bare name.
        {u"drv\\", u""},
        {u"\\drv\\", u""},
        {u"C:", u""},
        {u"", u""},
    };
    for (const auto& [dir, expected] : cases) {
        TextBuffer moduleDir = nullptr;
        Assign(moduleDir, dir.c_str());
        TextBuffer path = TrayPath(moduleDir);
        EXPECT_EQ(std::u16string(TextOf(path)), expected) << Utf8(dir);
        FreeText(path);
        FreeText(moduleDir);
    }
}

TEST_F(TrayTest, InstallRegistersAndStartsTheTray) {
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray");
    winsim::RegisterTrayApp(u"qgrtray.exe", TrayConfig());
    InstallContext ctx;
    StartContext(ctx);
    InstallTray(ctx);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, Utf16Bytes(kTrayExe));
    ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
    const winsim::ProcessStart& start = winsim::ProcessStarts()[0];
    EXPECT_EQ(start.applicationName, u"");
    EXPECT_EQ(start.commandLine, u"\"" + std::u16string(kTrayExe) + u"\"");
    EXPECT_EQ(start.creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(start.cb, 104u);
    EXPECT_EQ(start.startFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(start.showWindow, SW_SHOW);
    EXPECT_TRUE(start.started);
    EXPECT_EQ(winsim::MutexOwner(kMutex), start.pid);
    EXPECT_EQ(LogText(ctx), u"") << "the tray steps log nothing";
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Process), 0u);
    EndContext(ctx);
}

// The command line holds the whole path, so the program started is the one registered.
TEST_F(TrayTest, LongPathIsNeverCut) {
    std::u16string dir = u"C:\\";
    for (int i = 0; i < 6; ++i) dir += std::u16string(50, static_cast<char16_t>(u'a' + i)) + u"\\";
    InstallContext ctx;
    StartContext(ctx);
    Assign(ctx.moduleDir, (dir + u"drv\\").c_str());
    InstallTray(ctx);
    std::u16string expected = dir + u"qgrtray.exe";
    ASSERT_GT(expected.size(), 259u);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", &type, &bytes));
    EXPECT_EQ(bytes, Utf16Bytes(expected));
    ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
    EXPECT_EQ(winsim::ProcessStarts()[0].commandLine, u"\"" + expected + u"\"");
    EndContext(ctx);
}

TEST_F(TrayTest, OldWindowsGetsNoTrayUnlessBothEnvironments) {
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray");
    winsim::SetOsVersion(5, 1, 2600);
    InstallContext ctx;
    StartContext(ctx);
    ctx.bothEnvironments = 0;
    winsim::ClearCalls();
    InstallTray(ctx);
    EXPECT_EQ(CallArgs("GetVersionExA"), std::vector<std::u16string>{u"148"});
    EXPECT_FALSE(RunValueExists());
    EXPECT_TRUE(winsim::ProcessStarts().empty());

    ctx.bothEnvironments = 1;
    winsim::ClearCalls();
    InstallTray(ctx);
    EXPECT_EQ(winsim::CallCount("GetVersionExA"), 0u);
    EXPECT_TRUE(RunValueExists());
    EXPECT_EQ(winsim::ProcessStarts().size(), 1u);

    winsim::SetOsVersion(6, 2, 9200);
    ctx.bothEnvironments = 0;
    InstallTray(ctx);
    EXPECT_EQ(winsim::ProcessStarts().size(), 2u);
    EndContext(ctx);
}

TEST_F(TrayTest, NotRunningDeletesAtOnce) {
    winsim::ClearCalls();
    uint64_t took = TimedRemove();
    EXPECT_EQ(took, 0u);
    EXPECT_EQ(winsim::CallCount("FindWindowW"), 0u);
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists());
    EXPECT_FALSE(winsim::MutexExists(kMutex)) << "our handle is closed";
}

TEST_F(TrayTest, RunningTrayIsAskedToQuit) {
    DWORD pid = winsim::StartTrayApp(kTrayExe, TrayConfig());
    uint64_t took = TimedRemove();
    EXPECT_LT(took, 5000u);
    ASSERT_EQ(winsim::PostedMessages().size(), 1u);
    EXPECT_EQ(winsim::PostedMessages()[0].msg, 0x402u);
    EXPECT_EQ(winsim::PostedMessages()[0].wParam, 0u);
    EXPECT_EQ(winsim::PostedMessages()[0].lParam, 0);
    EXPECT_FALSE(winsim::ProcessRunning(pid));
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists());
}

TEST_F(TrayTest, HangingTrayIsWaitedForBoundedTimes) {
    winsim::TrayAppConfig config = TrayConfig();
    config.quitDelayMs = winsim::kNever;
    DWORD pid = winsim::StartTrayApp(kTrayExe, config);
    uint64_t took = TimedRemove();
    // 20 waits of 5 s with the window found, one more, then 10 deletions 100 ms apart.
    EXPECT_EQ(took, 20u * 5000u + 5000u + 9u * 100u);
    EXPECT_EQ(winsim::PostedMessages().size(), 20u);
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 10u);
    EXPECT_TRUE(winsim::ProcessRunning(pid));
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists()) << "the autostart goes whatever happened";
}

TEST_F(TrayTest, ExecutableHeldAfterQuittingIsRetried) {
    winsim::TrayAppConfig config = TrayConfig();
    config.holdExeAfterQuitMs = 250;
    winsim::StartTrayApp(kTrayExe, config);
    winsim::ClearCalls();
    TimedRemove();
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
    EXPECT_GT(winsim::CallCount("DeleteFileW"), 1u);
    EXPECT_LE(winsim::CallCount("DeleteFileW"), 10u);
}

TEST_F(TrayTest, MissingValuePausesAndDeletesNothing) {
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray");
    winsim::ClearCalls();
    EXPECT_EQ(TimedRemove(), 1000u);
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
    EXPECT_EQ(winsim::CallCount("RegDeleteValueA"), 1u);
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
}

TEST_F(TrayTest, KeepingTheExecutableStillStopsTheTray) {
    DWORD pid = winsim::StartTrayApp(kTrayExe, TrayConfig());
    TimedRemove(kTrayExe);
    EXPECT_FALSE(winsim::ProcessRunning(pid));
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists());
}

// Only this installation's executable is kept (A to Z folded, however it is spelled); an older
// location's goes, and a value without a full path names nothing that may be deleted.
TEST_F(TrayTest, KeepsOnlyTheExecutableAskedFor) {
    winsim::SetShortName(u"C:\\Program Files", u"PROGRA~1");
    const std::pair<std::u16string, bool> cases[] = {{u"C:\\PROGRAM FILES\\Quillgraph\\QGRTRAY.EXE", true},
                                                     {u"C:\\Old\\qgrtray.exe", false},
                                                     {u"qgrtray.exe", true},
                                                     {u"C:/Program Files/Quillgraph/qgrtray.exe", true},
                                                     {u"C:\\PROGRA~1\\Quillgraph\\qgrtray.exe", true},
                                                     {u"C:\\Program Files\\drv\\..\\Quillgraph\\qgrtray.exe", true}};
    for (const auto& [registered, kept] : cases) {
        SCOPED_TRACE(Utf8(registered));
        winsim::WriteTestFile(kTrayExe, "tray");
        if (!winsim::FileExists(registered)) winsim::WriteTestFile(registered, "tray");
        winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", registered);
        RemoveTray(kTrayExe);
        EXPECT_EQ(winsim::FileExists(registered), kept);
        EXPECT_FALSE(RunValueExists());
    }
}

TEST_F(TrayTest, KeepingTheExecutableStillPausesForAMissingValue) {
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray");
    uint64_t before = winsim::TotalSlept();
    RemoveTray(kTrayExe);
    EXPECT_EQ(winsim::TotalSlept() - before, 1000u);
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
}

// The value is data anyone may have changed: only our own executable is deleted.
TEST_F(TrayTest, DeletesOnlyAFileNamedQgrtray) {
    winsim::WriteTestFile(u"C:\\Windows\\system32\\notepad.exe", "system file");
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", u"C:\\Windows\\system32\\notepad.exe");
    TimedRemove();
    EXPECT_TRUE(winsim::FileExists(u"C:\\Windows\\system32\\notepad.exe"));
    EXPECT_FALSE(RunValueExists());

    winsim::SetRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", REG_EXPAND_SZ, Utf16Bytes(kTrayExe));
    TimedRemove();
    EXPECT_TRUE(winsim::FileExists(kTrayExe)) << "not a REG_SZ";
    EXPECT_FALSE(RunValueExists());

    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", u"");
    winsim::ClearCalls();
    TimedRemove();
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
    EXPECT_FALSE(RunValueExists());

    winsim::WriteTestFile(u"C:\\Other\\QGRTRAY.EXE", "tray elsewhere");
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", u"C:\\Other\\QGRTRAY.EXE");
    TimedRemove();
    EXPECT_FALSE(winsim::FileExists(u"C:\\Other\\QGRTRAY.EXE")) << "the name compares without case";
}

// A value that fills the 264-character buffer without a terminator is cut inside the buffer;
// a longer one does not fit and is not read at all.
TEST_F(TrayTest, OversizedValuesAreNeverOverread) {
    std::u16string dir = u"C:\\" + std::u16string(264 - 3 - 12, u'd');
    std::u16string exact = dir + u"\\qgrtray.exe";
    ASSERT_EQ(exact.size(), 264u);
    winsim::WriteTestFile(exact, "tray");
    winsim::SetRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", REG_SZ,
                        std::string(reinterpret_cast<const char*>(exact.data()), exact.size() * 2));
    TimedRemove();
    EXPECT_TRUE(winsim::FileExists(exact)) << "the cut name is no longer qgrtray.exe";
    EXPECT_FALSE(RunValueExists());

    std::u16string longer = u"C:\\" + std::u16string(300, u'e') + u"\\qgrtray.exe";
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", longer);
    winsim::ClearCalls();
    EXPECT_EQ(TimedRemove(), 1000u) << "a read that fails pauses";
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
    EXPECT_FALSE(RunValueExists());
}

// The mutex is held but no window of the tray's class shows up: 20 looks 250 ms apart, no
// message and no wait; the rest of the removal goes on, and the running program's executable
// resists the 10 deletions.
TEST_F(TrayTest, MutexWithoutTrayWindowIsLookedFor20Times) {
    winsim::TrayAppConfig config = TrayConfig();
    config.windowClass = u"SomethingElse";
    winsim::StartTrayApp(kTrayExe, config);
    winsim::ClearCalls();
    EXPECT_EQ(TimedRemove(), 20u * 250u + 9u * 100u);
    EXPECT_EQ(CallArgs("CreateMutexA"), std::vector<std::u16string>{u"0," + winsim::ToU16(kMutex)});
    EXPECT_EQ(CallArgs("FindWindowW").size(), 20u);
    EXPECT_EQ(CallArgs("FindWindowW")[0].rfind(std::u16string(kWindowClass) + u",", 0), 0u);
    EXPECT_TRUE(winsim::PostedMessages().empty());
    EXPECT_EQ(winsim::CallCount("WaitForSingleObject"), 0u);
    EXPECT_EQ(CallArgs("RegOpenKeyExA"),
              std::vector<std::u16string>{u"HKLM\\" + std::u16string(kRunKey) + u",0," + Hex(KEY_ALL_ACCESS)});
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 10u);
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists());
}

// A tray that closes its window without releasing the mutex: the first wait ends abandoned or
// timed out, the next look finds no window, and one last wait ends the loop.
TEST_F(TrayTest, WindowGoneAfterTheMessageEndsWithOneMoreWait) {
    winsim::TrayAppConfig config = TrayConfig();
    config.releaseMutexOnQuit = false;
    config.quitDelayMs = 300;
    winsim::StartTrayApp(kTrayExe, config);
    winsim::ClearCalls();
    TimedRemove();
    EXPECT_EQ(winsim::PostedMessages().size(), 1u);
    EXPECT_EQ(winsim::CallCount("FindWindowW"), 2u);
    std::vector<std::u16string> waits = CallArgs("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 2u);
    for (const auto& wait : waits) EXPECT_EQ(wait.substr(wait.rfind(u',')), u",5000");
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
    EXPECT_FALSE(RunValueExists());
}

// Deletion stops at once when the file is already gone, and waits 10 ms after errors other
// than access denied.
TEST_F(TrayTest, DeletionRetriesFollowTheError) {
    winsim::RemoveTestFile(kTrayExe);
    winsim::ClearCalls();
    EXPECT_EQ(TimedRemove(), 0u);
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 1u);
    EXPECT_FALSE(RunValueExists());

    winsim::WriteTestFile(kTrayExe, "tray");
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", kTrayExe);
    winsim::InjectFault("DeleteFileW", ERROR_SHARING_VIOLATION, 3);
    winsim::ClearCalls();
    EXPECT_EQ(TimedRemove(), 30u);
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 4u);
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
}

// A Run key that does not open: nothing is registered but the tray is still started; the
// removal then stops the tray and leaves the file alone.
TEST_F(TrayTest, UnopenableRunKeyIsSkippedSilently) {
    winsim::RegisterTrayApp(u"qgrtray.exe", TrayConfig());
    winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray");
    InstallContext ctx;
    StartContext(ctx);
    winsim::InjectFault("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    InstallTray(ctx);
    EXPECT_FALSE(RunValueExists());
    ASSERT_EQ(winsim::ProcessStarts().size(), 1u);
    DWORD pid = winsim::ProcessStarts()[0].pid;
    EXPECT_TRUE(winsim::ProcessRunning(pid));

    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, u"QuillgraphTray", kTrayExe);
    winsim::InjectFault("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    winsim::ClearCalls();
    RemoveTray(nullptr);
    EXPECT_FALSE(winsim::ProcessRunning(pid));
    EXPECT_EQ(winsim::CallCount("DeleteFileW"), 0u);
    EXPECT_EQ(winsim::CallCount("RegDeleteValueA"), 0u);
    EXPECT_TRUE(winsim::FileExists(kTrayExe));
    EXPECT_EQ(LogText(ctx), u"");
    EndContext(ctx);
}

}  // namespace
