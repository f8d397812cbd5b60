// The end of the code under test's process, as Windows ends one: the call at the kill point is
// not made, what was written stays, every handle and block goes, owned mutexes are abandoned.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>
#include <winsim/core.h>
#include <winsim/eventlog.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

namespace {

const char kShared[] = "Shared Mutex";

// Takes one of everything, writes "abc" and then "def" to a file; returns 7.
int Body() {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kShared);
    WaitForSingleObject(mutex, 0);
    HANDLE own = CreateMutexA(nullptr, TRUE, "Own Mutex");
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    HANDLE printer = nullptr;
    std::u16string server;
    OpenPrinterW(server.data(), &printer, nullptr);
    HANDLE source = RegisterEventSourceW(nullptr, u"Test");
    GlobalAlloc(GMEM_FIXED, 8);
    LocalAlloc(LMEM_FIXED, 8);
    HeapAlloc(GetProcessHeap(), 0, 8);
    HANDLE file = CreateFileW(u"C:\\out.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(file, "abc", 3, &n, nullptr);
    WriteFile(file, "def", 3, &n, nullptr);
    (void)own, (void)scm, (void)source;
    return 7;
}

TEST(ProcessEndTest, KillBeforeACallEndsTheProcessAsWindowsDoes) {
    winsim::Reset();
    winsim::SetServiceState(u"spooler", SERVICE_RUNNING);
    DWORD other = winsim::StartProcess(u"C:\\other.exe");
    winsim::ProcessCreateMutex(other, kShared, false);
    winsim::ClearCalls();
    // Once undisturbed: the index of the second WriteFile.
    int result = 0;
    ASSERT_TRUE(winsim::RunProcess(Body, &result));
    EXPECT_EQ(result, 7);
    size_t secondWrite = winsim::Calls().size() - 1;
    ASSERT_EQ(winsim::Calls()[secondWrite].api, "WriteFile");
    winsim::EndCurrentProcess();
    EXPECT_EQ(winsim::MutexOwner(kShared), 0u);

    winsim::ClearCalls();
    winsim::KillBeforeCall(secondWrite);
    result = 0;
    EXPECT_FALSE(winsim::RunProcess(Body, &result));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(winsim::Calls().size(), secondWrite);  // the call at the kill point was not made
    EXPECT_EQ(winsim::FileBytes(u"C:\\out.txt"), "abc");
    EXPECT_EQ(winsim::OpenFileHandles(), 0u);
    EXPECT_EQ(winsim::OpenRegKeys(), 0u);
    EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
    EXPECT_EQ(winsim::OpenEventSources(), 0u);
    for (auto kind : {winsim::ObjectKind::File, winsim::ObjectKind::Mutex, winsim::ObjectKind::Printer})
        EXPECT_EQ(winsim::OpenHandleCount(kind), 0u);
    EXPECT_EQ(winsim::LiveGlobalBlocks() + winsim::LiveLocalBlocks() + winsim::LiveHeapBlocks(), 0u);
    EXPECT_EQ(winsim::BadFrees(), 0u);
    // The mutex only this process had open is gone; the shared one is abandoned to the next waiter.
    EXPECT_FALSE(winsim::MutexExists("Own Mutex"));
    EXPECT_EQ(winsim::MutexOwner(kShared), 0u);
    HANDLE again = CreateMutexA(nullptr, FALSE, kShared);
    EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_ABANDONED));
    // A kill armed past the last call never fires.
    winsim::EndCurrentProcess();
    winsim::KillBeforeCall(1000);
    EXPECT_TRUE(winsim::RunProcess(Body, &result));
    EXPECT_EQ(winsim::FileBytes(u"C:\\out.txt"), "abcdef");
    // A process that ran to its end gives back at its exit what it did not release itself.
    winsim::EndCurrentProcess();
    EXPECT_EQ(winsim::LiveGlobalBlocks() + winsim::LiveLocalBlocks() + winsim::LiveHeapBlocks(), 0u);
}

}  // namespace
