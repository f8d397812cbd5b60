// Heap accounting and the detection of frees of pointers that are not live blocks.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/heap.h>

#include <cstring>

namespace {

class HeapTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::Reset(); }
};

TEST_F(HeapTest, GlobalAndLocalBlocksAreCountedUntilFreed) {
    auto* g = static_cast<unsigned char*>(GlobalAlloc(GPTR, 10));
    ASSERT_NE(g, nullptr);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(g[i], 0);
    HLOCAL l = LocalAlloc(LMEM_FIXED, 3);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 1u);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 1u);
    EXPECT_EQ(winsim::GlobalBlockSize(g), 10u);
    EXPECT_EQ(GlobalFree(g), nullptr);
    EXPECT_EQ(LocalFree(l), nullptr);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST_F(HeapTest, FreeingAnUnknownOrFreedPointerFailsWithoutTouchingIt) {
    HGLOBAL g = GlobalAlloc(GMEM_FIXED, 4);
    ASSERT_EQ(GlobalFree(g), nullptr);
    EXPECT_EQ(GlobalFree(g), g);  // double free is reported
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int local = 0;
    EXPECT_EQ(LocalFree(&local), static_cast<HLOCAL>(&local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE heap = GetProcessHeap();
    EXPECT_FALSE(HeapFree(heap, 0, &local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A global block is not a process-heap block.
    HGLOBAL other = GlobalAlloc(GMEM_FIXED, 4);
    EXPECT_FALSE(HeapFree(heap, 0, other));
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 1u);
    GlobalFree(other);
    EXPECT_EQ(winsim::BadFrees(), 4u);
}

TEST_F(HeapTest, ReallocationKeepsContentsZeroesGrowthAndIsCounted) {
    HANDLE heap = GetProcessHeap();
    auto* p = static_cast<char*>(HeapAlloc(heap, 0, 4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcd", 4);
    EXPECT_EQ(winsim::HeapBlockSize(p), 4u);
    auto* q = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, p, 8));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(std::memcmp(q, "abcd\0\0\0\0", 8), 0);
    EXPECT_EQ(winsim::HeapBlockSize(q), 8u);
    EXPECT_EQ(winsim::HeapReallocations(), 1u);
    EXPECT_EQ(winsim::LiveHeapBlocks(), 1u);
    EXPECT_TRUE(HeapFree(heap, 0, q));
    EXPECT_EQ(winsim::LiveHeapBlocks(), 0u);
    EXPECT_EQ(winsim::HeapBlockSize(q), 0u);
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST_F(HeapTest, FaultsFailAllocationsWithTheGivenError) {
    winsim::InjectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    HGLOBAL first = GlobalAlloc(GPTR, 1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(GlobalAlloc(GPTR, 1), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    GlobalFree(first);
    // Zero times injects nothing.
    winsim::InjectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 0);
    HGLOBAL again = GlobalAlloc(GPTR, 1);
    EXPECT_NE(again, nullptr);
    GlobalFree(again);
    winsim::InjectFault("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
    EXPECT_EQ(winsim::LiveHeapBlocks(), 0u);
}

// One unit past the end of a block of any heap is seen: on a live block at the balance check,
// and when the block is freed or reallocated.
TEST_F(HeapTest, OneUnitOverrunIsSeenWithoutASanitizer) {
    HANDLE heap = GetProcessHeap();
    struct Case {
        const char* what;
        void* (*alloc)(size_t);
        void (*release)(void*);
    };
    const Case cases[] = {
        {"global", [](size_t n) -> void* { return GlobalAlloc(GMEM_FIXED, n); }, [](void* p) { GlobalFree(p); }},
        {"local", [](size_t n) -> void* { return LocalAlloc(LMEM_FIXED, n); }, [](void* p) { LocalFree(p); }},
        {"process", [](size_t n) { return HeapAlloc(GetProcessHeap(), 0, n); },
         [](void* p) { HeapFree(GetProcessHeap(), 0, p); }},
        {"reallocated", [](size_t n) { return HeapAlloc(GetProcessHeap(), 0, n); },
         [](void* p) { HeapFree(GetProcessHeap(), 0, HeapReAlloc(GetProcessHeap(), 0, p, 64)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winsim::Reset();
        auto* text = static_cast<char16_t*>(c.alloc(3 * sizeof(char16_t)));
        ASSERT_NE(text, nullptr);
        std::memcpy(text, u"abc", 3 * sizeof(char16_t));  // the block is full, not overrun
        EXPECT_EQ(winsim::HeapOverruns(), 0u);
        text[3] = u'\0';  // the terminator that did not fit
        EXPECT_EQ(winsim::HeapOverruns(), 1u) << "live block";
        c.release(text);
        EXPECT_EQ(winsim::HeapOverruns(), 1u) << "freed block";
    }
    // An exact fit frees cleanly; Reset forgets what was seen.
    auto* exact = static_cast<char*>(HeapAlloc(heap, 0, 4));
    std::memcpy(exact, "abcd", 4);
    EXPECT_TRUE(HeapFree(heap, 0, exact));
    EXPECT_EQ(winsim::HeapOverruns(), 1u);
    winsim::Reset();
    EXPECT_EQ(winsim::HeapOverruns(), 0u);
}

TEST_F(HeapTest, ResetReleasesWhatATestLeft) {
    GlobalAlloc(GPTR, 16);
    HeapAlloc(GetProcessHeap(), 0, 16);
    winsim::Reset();
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
    EXPECT_EQ(winsim::LiveHeapBlocks(), 0u);
}

}  // namespace
