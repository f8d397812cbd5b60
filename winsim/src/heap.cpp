// Global, local and process heaps over real malloc'd blocks, with accounting so that tests
// can check that a run released everything, detection of frees of unknown pointers, and guard
// bytes behind every block so that a small overrun shows without a sanitizer.
#include <winsim/core.h>
#include <winsim/heap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "kernel_internal.h"

namespace winsim {
namespace {

enum class HeapKind { Global, Local, Process };

struct Block {
    HeapKind kind;
    size_t size;
};

struct HeapState {
    std::map<const void*, Block> blocks;
    size_t reallocations = 0;
    size_t badFrees = 0;
    size_t overrunsAtFree = 0;
};

// Guard bytes behind each block, as a debug heap fills its tail.
const size_t kGuardBytes = 16;
const unsigned char kGuardByte = 0xFD;

HeapState& State() {
    static HeapState state;
    return state;
}

// Never dereferenced; only compared.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x00A70000));

// malloc(0) may return NULL; every block is a distinct live pointer, guard included.
void* RawBlock(size_t bytes) {
    auto* p = static_cast<unsigned char*>(std::malloc(bytes + kGuardBytes));
    if (p) std::memset(p + bytes, kGuardByte, kGuardBytes);
    return p;
}

bool GuardIntact(const void* p, size_t bytes) {
    const auto* tail = static_cast<const unsigned char*>(p) + bytes;
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (tail[i] != kGuardByte) return false;
    return true;
}

// Checked when a block goes back: Windows' heap would report the corruption here.
void CheckAtFree(const void* p, const Block& b) {
    if (GuardIntact(p, b.size)) return;
    ++State().overrunsAtFree;
    std::fprintf(stderr, "winsim: heap block of %zu bytes was written past its end\n", b.size);
}

void* NewBlock(HeapKind kind, size_t bytes, bool zero) {
    void* p = RawBlock(bytes);
    if (!p) return nullptr;
    if (zero) std::memset(p, 0, bytes);
    State().blocks[p] = Block{kind, bytes};
    return p;
}

size_t Count(HeapKind kind) {
    size_t n = 0;
    for (auto& [p, b] : State().blocks)
        if (b.kind == kind) ++n;
    return n;
}

void FreeAll() {
    for (auto& [p, b] : State().blocks) std::free(const_cast<void*>(p));
    State() = HeapState{};
}

// Blocks left by an earlier test are released so that leak checkers stay quiet.
ResetHook heapReset(0, [] { FreeAll(); });

// Every block belongs to the code under test; its end gives them all back.
ProcessEndHook heapEnd([] {
    auto& s = State();
    for (auto& [p, b] : s.blocks) {
        CheckAtFree(p, b);
        std::free(const_cast<void*>(p));
    }
    s.blocks.clear();
});

// Global and local blocks are the same kind of memory on Windows; either free accepts both.
bool FreeGlobalOrLocal(void* p) {
    auto it = State().blocks.find(p);
    if (it == State().blocks.end() || it->second.kind == HeapKind::Process) {
        ++State().badFrees;
        return false;
    }
    CheckAtFree(p, it->second);
    State().blocks.erase(it);
    std::free(p);
    return true;
}

}  // namespace

size_t HeapOverruns() {
    size_t n = State().overrunsAtFree;
    for (auto& [p, b] : State().blocks)
        if (!GuardIntact(p, b.size)) ++n;
    return n;
}

size_t LiveGlobalBlocks() { return Count(HeapKind::Global); }
size_t LiveLocalBlocks() { return Count(HeapKind::Local); }
size_t LiveHeapBlocks() { return Count(HeapKind::Process); }

size_t HeapBlockSize(const void* block) {
    auto it = State().blocks.find(block);
    if (it == State().blocks.end() || it->second.kind != HeapKind::Process) return 0;
    return it->second.size;
}

size_t GlobalBlockSize(const void* block) {
    auto it = State().blocks.find(block);
    if (it == State().blocks.end() || it->second.kind == HeapKind::Process) return 0;
    return it->second.size;
}

size_t HeapReallocations() { return State().reallocations; }
size_t BadFrees() { return State().badFrees; }

namespace kernel {
void* AccountedLocalAlloc(size_t bytes, bool zero) { return NewBlock(HeapKind::Local, bytes, zero); }
}  // namespace kernel

}  // namespace winsim

using namespace winsim;

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    RecordCall("GlobalAlloc", kernel::Hex(uFlags) + u"," + kernel::Dec(static_cast<int64_t>(dwBytes)));
    if (TakeFault("GlobalAlloc")) return nullptr;
    void* p = NewBlock(HeapKind::Global, dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    RecordCall("GlobalFree");
    if (TakeFault("GlobalFree")) return hMem;
    if (!hMem) return nullptr;
    if (!FreeGlobalOrLocal(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    return nullptr;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    RecordCall("LocalAlloc", kernel::Hex(uFlags) + u"," + kernel::Dec(static_cast<int64_t>(uBytes)));
    if (TakeFault("LocalAlloc")) return nullptr;
    void* p = NewBlock(HeapKind::Local, uBytes, (uFlags & LMEM_ZEROINIT) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    RecordCall("LocalFree");
    if (TakeFault("LocalFree")) return hMem;
    if (!hMem) return nullptr;
    if (!FreeGlobalOrLocal(hMem)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    return nullptr;
}

HANDLE WINAPI GetProcessHeap(void) {
    RecordCall("GetProcessHeap");
    if (TakeFault("GetProcessHeap")) return nullptr;
    return kProcessHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    RecordCall("HeapAlloc", kernel::Hex(dwFlags) + u"," + kernel::Dec(static_cast<int64_t>(dwBytes)));
    if (TakeFault("HeapAlloc")) return nullptr;
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = NewBlock(HeapKind::Process, dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
    RecordCall("HeapReAlloc", kernel::Hex(dwFlags) + u"," + kernel::Dec(static_cast<int64_t>(dwBytes)));
    if (TakeFault("HeapReAlloc")) return nullptr;
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto it = State().blocks.find(lpMem);
    if (!lpMem || it == State().blocks.end() || it->second.kind != HeapKind::Process) {
        ++State().badFrees;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD kInPlaceOnly = 0x00000010;  // HEAP_REALLOC_IN_PLACE_ONLY
    size_t old = it->second.size;
    if ((dwFlags & kInPlaceOnly) && dwBytes > old) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    CheckAtFree(lpMem, it->second);
    // Always move the block, so a stale pointer to the old one shows under AddressSanitizer.
    void* p = RawBlock(dwBytes);
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(p, lpMem, old < dwBytes ? old : dwBytes);
    if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > old) std::memset(static_cast<char*>(p) + old, 0, dwBytes - old);
    State().blocks.erase(it);
    std::free(lpMem);
    State().blocks[p] = Block{HeapKind::Process, dwBytes};
    ++State().reallocations;
    return p;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    RecordCall("HeapFree");
    if (TakeFault("HeapFree")) return FALSE;
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpMem) return TRUE;
    auto it = State().blocks.find(lpMem);
    if (it == State().blocks.end() || it->second.kind != HeapKind::Process) {
        ++State().badFrees;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CheckAtFree(lpMem, it->second);
    State().blocks.erase(it);
    std::free(lpMem);
    return TRUE;
}

}  // extern "C"
