// Named mutexes and waits in virtual time, processes, the tray-style program and the help viewer.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/user.h>

#include <string>

namespace {

using namespace winsim;

constexpr char kMutex[] = "{Test-Mutex}";
constexpr char16_t kTrayPath[] = u"C:\\App\\tray.exe";
constexpr char16_t kTrayClass[] = u"test::TrayClass";
constexpr UINT kQuit = WM_USER + 2;

class UserProcessTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }

    TrayAppConfig Tray(uint64_t quitDelay, uint64_t hold = 0) {
        TrayAppConfig c;
        c.mutexName = kMutex;
        c.windowClass = kTrayClass;
        c.quitMessage = kQuit;
        c.quitDelayMs = quitDelay;
        c.holdExeAfterQuitMs = hold;
        return c;
    }

    // Starts the tray through CreateProcessW as an installer would and closes the handles.
    DWORD LaunchTray(const TrayAppConfig& config) {
        WriteTestFile(kTrayPath, "MZ");
        RegisterTrayApp(u"TRAY.EXE", config);
        std::u16string cmd = u"\"" + std::u16string(kTrayPath) + u"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                   nullptr, &si, &pi));
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        return pi.dwProcessId;
    }
};

TEST_F(UserProcessTest, CreateMutexNewExistingAndLifetime) {
    SetLastError(1234);
    HANDLE a = CreateMutexA(nullptr, FALSE, kMutex);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);

    // Opening an existing one ignores bInitialOwner.
    HANDLE b = CreateMutexA(nullptr, TRUE, kMutex);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(MutexOwner(kMutex), 0u);

    // Object names are case-sensitive; unnamed mutexes never collide.
    HANDLE other = CreateMutexA(nullptr, FALSE, "{test-mutex}");
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE u1 = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE u2 = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_NE(u1, u2);

    // The object goes away with its last handle.
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(MutexExists(kMutex));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_FALSE(MutexExists(kMutex));
    HANDLE again = CreateMutexA(nullptr, FALSE, kMutex);
    EXPECT_EQ(GetLastError(), 0u);
    for (HANDLE h : {other, u1, u2, again}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(OpenHandleCount(ObjectKind::Mutex), 0u);

    EXPECT_EQ(CallCount("CreateMutexA"), 6u);
    EXPECT_EQ(Calls()[1].args, u"1,{Test-Mutex}");
}

TEST_F(UserProcessTest, CreateMutexInitialOwnerAndFault) {
    HANDLE h = CreateMutexA(nullptr, TRUE, kMutex);
    EXPECT_EQ(MutexOwner(kMutex), kCurrentProcess);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(MutexOwner(kMutex), 0u);
    CloseHandle(h);

    InjectFault("CreateMutexA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, kMutex), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MutexExists(kMutex));
}

TEST_F(UserProcessTest, WaitOnFreeMutexOwnsItRecursively) {
    HANDLE h = CreateMutexA(nullptr, FALSE, kMutex);
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(MutexOwner(kMutex), kCurrentProcess);

    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(MutexOwner(kMutex), kCurrentProcess);  // still one level held
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(MutexOwner(kMutex), 0u);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(h);
}

TEST_F(UserProcessTest, WaitTimesOutInVirtualTimeWhileAnotherProcessOwns) {
    DWORD pid = StartProcess(u"C:\\other.exe");
    ASSERT_TRUE(ProcessCreateMutex(pid, kMutex, true));
    HANDLE h = CreateMutexA(nullptr, FALSE, kMutex);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Now(), 0u);
    EXPECT_EQ(WaitForSingleObject(h, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Now(), 5000u);
    EXPECT_EQ(TotalSlept(), 0u);  // waiting is not sleeping
    EXPECT_EQ(MutexOwner(kMutex), pid);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    CloseHandle(h);
}

TEST_F(UserProcessTest, ReleaseDuringWaitEndsItAtThatMoment) {
    DWORD pid = StartProcess(u"C:\\other.exe");
    ProcessCreateMutex(pid, kMutex, true);
    HANDLE h = CreateMutexA(nullptr, FALSE, kMutex);
    ScheduleAfter(1234, [pid] { ProcessReleaseMutex(pid, kMutex); });
    EXPECT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Now(), 1234u);
    EXPECT_EQ(MutexOwner(kMutex), kCurrentProcess);
    EXPECT_EQ(Calls().back().args, u"mutex:{Test-Mutex},5000");
    CloseHandle(h);
}

TEST_F(UserProcessTest, OwnerEndingWithoutReleaseAbandonsTheMutex) {
    DWORD pid = StartProcess(u"C:\\other.exe");
    ProcessCreateMutex(pid, kMutex, true);
    HANDLE h = CreateMutexA(nullptr, FALSE, kMutex);
    ScheduleAfter(300, [pid] { EndProcess(pid, 1); });
    EXPECT_EQ(WaitForSingleObject(h, 5000), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(Now(), 300u);
    EXPECT_EQ(MutexOwner(kMutex), kCurrentProcess);  // abandoned means acquired
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // abandonment reported once
    ReleaseMutex(h);

    CloseHandle(h);

    // Abandoned before anyone waits: the first wait reports it without waiting.
    DWORD second = StartProcess(u"C:\\other.exe");
    ProcessCreateMutex(second, "{Second}", true);
    HANDLE h2 = CreateMutexA(nullptr, FALSE, "{Second}");
    EndProcess(second);
    EXPECT_EQ(MutexOwner("{Second}"), 0u);
    uint64_t before = Now();
    EXPECT_EQ(WaitForSingleObject(h2, 1000), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(Now(), before);
    CloseHandle(h2);
}

TEST_F(UserProcessTest, WaitOnBadHandlesFails) {
    HANDLE h = CreateMutexA(nullptr, FALSE, kMutex);
    CloseHandle(h);
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), h, INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 100), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(Now(), 0u);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(UserProcessTest, CreateProcessRecordsAndFailsForMissingFile) {
    std::u16string cmd = u"\"C:\\Missing\\tray.exe\" /x";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION pi{};
    SetLastError(0);
    EXPECT_FALSE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                                nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(pi.hProcess, nullptr);

    WriteTestFile(u"C:\\Program Files\\App\\tray.exe", "MZ");
    cmd = u"\"C:\\Program Files\\App\\tray.exe\"";
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                               nullptr, &si, &pi));
    ASSERT_EQ(ProcessStarts().size(), 2u);
    const ProcessStart& failed = ProcessStarts()[0];
    EXPECT_FALSE(failed.started);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const ProcessStart& ok = ProcessStarts()[1];
    EXPECT_TRUE(ok.started);
    EXPECT_EQ(ok.applicationName, u"");
    EXPECT_EQ(ok.commandLine, cmd);
    EXPECT_EQ(ok.imagePath, u"C:\\Program Files\\App\\tray.exe");
    EXPECT_EQ(ok.creationFlags, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(ok.cb, 104u);
    EXPECT_EQ(ok.startFlags, static_cast<DWORD>(STARTF_USESHOWWINDOW));
    EXPECT_EQ(ok.showWindow, SW_SHOW);
    EXPECT_EQ(ok.pid, pi.dwProcessId);
    EXPECT_TRUE(ProcessRunning(pi.dwProcessId));

    EXPECT_EQ(OpenHandleCount(ObjectKind::Process), 1u);
    EXPECT_EQ(OpenHandleCount(ObjectKind::Thread), 1u);
    EXPECT_TRUE(CloseHandle(pi.hProcess));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_EQ(OpenHandleCount(ObjectKind::Process), 0u);
    EXPECT_EQ(OpenHandleCount(ObjectKind::Thread), 0u);

    InjectFault("CreateProcessW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RunningProcesses(u"tray.exe").size(), 1u);
}

TEST_F(UserProcessTest, UnquotedCommandLineTriesEachPrefix) {
    WriteTestFile(u"C:\\Program Files\\App\\tool.exe", "MZ");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::u16string cmd = u"C:\\Program Files\\App\\tool.exe arg";
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(ProcessStarts().back().imagePath, u"C:\\Program Files\\App\\tool.exe");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    // The shorter candidate wins when it exists: the classic unquoted-path trap.
    WriteTestFile(u"C:\\Program", "MZ");
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(ProcessStarts().back().imagePath, u"C:\\Program");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    // An explicit application name is taken as it stands.
    std::u16string args = u"x y";
    ASSERT_TRUE(CreateProcessW(u"C:\\Program Files\\App\\tool.exe", args.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    EXPECT_EQ(ProcessStarts().back().imagePath, u"C:\\Program Files\\App\\tool.exe");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_FALSE(CreateProcessW(u"C:\\Program Files\\App\\tool", args.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(CreateProcessW(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::u16string tooLong = u"C:\\Program Files\\App\\tool.exe " + std::u16string(32767, u'x');
    EXPECT_FALSE(CreateProcessW(nullptr, tooLong.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(UserProcessTest, ProcessHandleIsSignalledWhenItEnds) {
    WriteTestFile(u"C:\\App\\plain.exe", "MZ");
    std::u16string cmd = u"C:\\App\\plain.exe";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(ProcessExitCode(pi.dwProcessId), static_cast<DWORD>(STILL_ACTIVE));

    // A running image cannot be deleted.
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(u"C:\\App\\plain.exe"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ScheduleAfter(250, [&] { EndProcess(pi.dwProcessId, 7); });
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(Now(), 350u);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ProcessExitCode(pi.dwProcessId), 7u);
    EXPECT_TRUE(DeleteFileW(u"C:\\App\\plain.exe"));
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
}

TEST_F(UserProcessTest, TrayQuitsAfterDelayAndKeepsExecutableHeld) {
    DWORD pid = LaunchTray(Tray(700, 250));
    EXPECT_EQ(MutexOwner(kMutex), pid);
    HWND w = FindWindowW(kTrayClass, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(WindowProcess(w), pid);

    HANDLE m = CreateMutexA(nullptr, FALSE, kMutex);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(PostMessageW(w, kQuit, 0, 0));
    EXPECT_TRUE(IsWindow(w));  // not before the delay
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Now(), 700u);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(ProcessRunning(pid));
    EXPECT_EQ(FindWindowW(kTrayClass, nullptr), nullptr);
    CloseHandle(m);

    // The executable stays locked for 250 ms after the process ended.
    EXPECT_FALSE(DeleteFileW(kTrayPath));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Sleep(200);
    EXPECT_FALSE(DeleteFileW(kTrayPath));
    Sleep(50);
    EXPECT_TRUE(DeleteFileW(kTrayPath));
}

TEST_F(UserProcessTest, TrayWithZeroDelayQuitsWithinThePost) {
    DWORD pid = LaunchTray(Tray(0));
    HANDLE m = CreateMutexA(nullptr, FALSE, kMutex);
    HWND w = FindWindowW(kTrayClass, nullptr);
    // Other messages do not make it quit.
    EXPECT_TRUE(PostMessageW(w, kQuit + 1, 0, 0));
    EXPECT_TRUE(ProcessRunning(pid));
    EXPECT_TRUE(PostMessageW(w, kQuit, 0, 0));
    EXPECT_FALSE(ProcessRunning(pid));
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Now(), 0u);
    EXPECT_TRUE(DeleteFileW(kTrayPath));
    CloseHandle(m);
}

TEST_F(UserProcessTest, TrayThatNeverQuitsKeepsEverything) {
    DWORD pid = LaunchTray(Tray(kNever));
    HANDLE m = CreateMutexA(nullptr, FALSE, kMutex);
    HWND w = FindWindowW(kTrayClass, nullptr);
    EXPECT_TRUE(PostMessageW(w, kQuit, 0, 0));
    EXPECT_EQ(WaitForSingleObject(m, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
    Sleep(60000);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_TRUE(ProcessRunning(pid));
    EXPECT_EQ(MutexOwner(kMutex), pid);
    EXPECT_FALSE(DeleteFileW(kTrayPath));
    CloseHandle(m);
}

TEST_F(UserProcessTest, TrayQuittingWithoutReleaseAbandonsMutex) {
    TrayAppConfig config = Tray(100);
    config.releaseMutexOnQuit = false;
    LaunchTray(config);
    HANDLE m = CreateMutexA(nullptr, FALSE, kMutex);
    PostMessageW(FindWindowW(kTrayClass, nullptr), kQuit, 0, 0);
    EXPECT_EQ(WaitForSingleObject(m, 5000), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_EQ(Now(), 100u);
    CloseHandle(m);
}

TEST_F(UserProcessTest, SecondTrayInstanceLeavesAtOnce) {
    DWORD first = LaunchTray(Tray(0));
    DWORD second = LaunchTray(Tray(0));
    EXPECT_TRUE(ProcessRunning(first));
    EXPECT_FALSE(ProcessRunning(second));
    EXPECT_EQ(WindowCount(kTrayClass), 1u);
    EXPECT_EQ(MutexOwner(kMutex), first);

    // Started directly by the test, the same contract holds.
    EndProcess(first);
    EXPECT_FALSE(MutexExists(kMutex));
    DWORD direct = StartTrayApp(kTrayPath, Tray(0));
    EXPECT_EQ(MutexOwner(kMutex), direct);
    EXPECT_EQ(RunningProcesses(u"tray.exe"), std::vector<DWORD>{direct});
}

TEST_F(UserProcessTest, RebootEndsEveryProcess) {
    DWORD tray = LaunchTray(Tray(kNever));
    DWORD help = StartHelpViewer({u"HelpClass", u"Help", kNever});
    SimulateReboot();
    EXPECT_FALSE(ProcessRunning(tray));
    EXPECT_FALSE(ProcessRunning(help));
    EXPECT_EQ(WindowCount(), 0u);
    EXPECT_FALSE(MutexExists(kMutex));
    EXPECT_FALSE(IsHeld(kTrayPath));
}

TEST_F(UserProcessTest, HelpViewerClosesOnSystemClose) {
    DWORD now = StartHelpViewer({u"HelpClass", u"Product Help", 0});
    DWORD later = StartHelpViewer({u"HelpClass", u"Other Help", 120});
    DWORD never = StartHelpViewer({u"HelpClass", u"Stuck Help", kNever});

    HWND w = FindWindowW(u"helpclass", u"PRODUCT HELP");
    ASSERT_EQ(w, HelpViewerWindow(now));
    EXPECT_TRUE(PostMessageW(w, WM_COMMAND, SC_CLOSE, 0));  // not a system command
    EXPECT_TRUE(IsWindow(w));
    // The low four bits of a system command do not matter.
    EXPECT_TRUE(PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE | 2, 0));
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(ProcessRunning(now));

    HWND w2 = HelpViewerWindow(later);
    EXPECT_TRUE(PostMessageW(w2, WM_SYSCOMMAND, SC_CLOSE, 0));
    Sleep(119);
    EXPECT_TRUE(IsWindow(w2));
    Sleep(1);
    EXPECT_FALSE(IsWindow(w2));
    EXPECT_EQ(HelpViewerWindow(later), nullptr);

    HWND w3 = HelpViewerWindow(never);
    EXPECT_TRUE(PostMessageW(w3, WM_SYSCOMMAND, SC_CLOSE, 0));
    Sleep(10000);
    EXPECT_TRUE(IsWindow(w3));
    EXPECT_EQ(FindWindowW(u"HelpClass", nullptr), w3);
}

}  // namespace
