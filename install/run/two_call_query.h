// The two-call pattern of the spooler's enumerations and queries, and of registry values: a size
// query without a buffer, then a zero-filled global-heap block of the size asked for and the
// second call.
#pragma once

#include <windows.h>

#include "run/owned.h"

enum class QueryResult {
    Filled,         // the block holds the answer
    AnsweredEmpty,  // the size query itself succeeded: nothing to read
    Failed,         // a call failed; the last error is its error
    NoMemory,       // no block; the last error is E_OUTOFMEMORY
};

inline SIZE_T ExactRoom(DWORD needed) { return needed; }

// What a two-call query left: its block (unless the result is Filled its contents mean nothing,
// but it may still hold the last attempt's memory, released by its owner, so that an error line
// written first still finds the failed call's error), the block's size and the last size the
// spooler reported.
struct QueryAnswer {
    OwnedGlobal<BYTE> block;
    SIZE_T blockBytes = 0;
    DWORD needed = 0;
};

// `call(context, buffer, size, &needed)` makes the spooler call and returns its BOOL. The block
// is sized by `room` (at least `needed`); `passes` > 1 asks again while the second call still
// finds the buffer too small (something grew in between).
typedef BOOL (*QueryCall)(void* context, LPBYTE buffer, DWORD size, DWORD* needed);
QueryResult QueryTwice(QueryAnswer& answer, QueryCall call, void* context, SIZE_T (*room)(DWORD) = ExactRoom,
                       int passes = 1);

// One registry value (REG_* bytes) into a fresh zero-filled global block: ERROR_SUCCESS with
// `block` null for an empty value, or the status of the failing query (ERROR_MORE_DATA: the value
// grew between the two queries) with `block` null. `size` is what the read delivered, never
// more than the block. `type` may be null.
LSTATUS QueryValueTwice(HKEY key, LPCWSTR name, OwnedGlobal<BYTE>& block, DWORD& size, DWORD* type);
