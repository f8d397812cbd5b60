// Test-side view of the simulated heaps: every block is accounted for, so a test can assert
// that a run released everything it took and wrote nothing past a block's end.
#pragma once

#include <windows.h>

#include <cstddef>

namespace winsim {

size_t LiveGlobalBlocks();   // GlobalAlloc without GlobalFree
size_t LiveLocalBlocks();    // LocalAlloc / FORMAT_MESSAGE_ALLOCATE_BUFFER without LocalFree
size_t LiveHeapBlocks();     // HeapAlloc without HeapFree
size_t HeapBlockSize(const void* block);  // requested size of a live HeapAlloc block, or 0
size_t HeapReallocations();  // HeapReAlloc calls since Reset
size_t GlobalBlockSize(const void* block);  // requested size of a live Global/Local block, or 0
// Frees (and reallocations) of pointers that are not live blocks of that heap, since Reset.
size_t BadFrees();
// Blocks written past their end (into the guard bytes behind every block): those freed since
// Reset with a damaged guard, and live ones whose guard is damaged now.
size_t HeapOverruns();

}  // namespace winsim
