// Every kind of owner releases what it holds once, and leaves the thread's last error as the
// failing call before it set it: error lines are written after the owners have gone.
#include <winsim/heap.h>
#include <winsim/registry.h>
#include <winsim/services.h>

#include <functional>
#include <string>

#include "run/owned.h"
#include "support/test_support.h"

namespace {

struct OwnerCase {
    const char* kind;
    std::function<void()> acquireAndDrop;  // takes one resource into an owner that goes
    std::function<size_t()> live;          // resources of that kind still held
};

class OwnedTest : public qgrtest::HealthyMachineTest {};

TEST_F(OwnedTest, EveryKindReleasesOnceAndKeepsTheLastError) {
    const OwnerCase cases[] = {
        {"global block", [] { OwnedGlobal<BYTE> b(static_cast<BYTE*>(GlobalAlloc(GPTR, 8))); },
         [] { return winsim::LiveGlobalBlocks(); }},
        {"heap block", [] { OwnedHeap<BYTE> b(static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, 8))); },
         [] { return winsim::LiveHeapBlocks(); }},
        {"registry key",
         [] {
             OwnedKey key;
             ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, key.put()), ERROR_SUCCESS);
         },
         [] { return winsim::OpenRegKeys(); }},
        {"mutex", [] { OwnedHandle m(CreateMutexA(nullptr, FALSE, "owned-test")); },
         [] { return winsim::OpenHandleCount(winsim::ObjectKind::Mutex); }},
        {"printer", [] { OwnedPrinter p = OpenPrinterHandle(nullptr); },
         [] { return winsim::OpenHandleCount(winsim::ObjectKind::Printer); }},
        {"service manager", [] { OwnedService s(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)); },
         [] { return winsim::OpenServiceHandles(); }},
    };
    winsim::SuccessClearsLastError(true);  // as many Windows calls do
    for (const OwnerCase& c : cases) {
        size_t before = c.live();
        c.acquireAndDrop();
        EXPECT_EQ(c.live(), before) << c.kind;
        // A release between a failure and its error line.
        OwnedGlobal<BYTE> block(static_cast<BYTE*>(GlobalAlloc(GPTR, 8)));
        SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
        block.reset();
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE)) << c.kind;
    }
    // Handed on, an owner releases nothing; an empty file owner is INVALID_HANDLE_VALUE.
    OwnedGlobal<BYTE> given(static_cast<BYTE*>(GlobalAlloc(GPTR, 8)));
    BYTE* raw = given.release();
    EXPECT_FALSE(given);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 1u);
    GlobalFree(raw);
    OwnedFile none;
    EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(none);
}

}  // namespace
