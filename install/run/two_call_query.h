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

// `call(buffer, size, &needed)` is the spooler call, returning its BOOL. The block is sized by
// `room` (at least `needed`); `passes` > 1 asks again while the second call still finds the
// buffer too small (something grew in between).
template <typename Call>
QueryResult QueryTwice(QueryAnswer& answer, Call call, SIZE_T (*room)(DWORD) = ExactRoom, int passes = 1) {
    for (int pass = 0; pass < passes; ++pass) {
        answer.block.reset();
        answer.blockBytes = 0;
        answer.needed = 0;
        if (call(nullptr, 0, &answer.needed)) return QueryResult::AnsweredEmpty;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return QueryResult::Failed;
        answer.blockBytes = room(answer.needed);
        answer.block.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, answer.blockBytes)));
        if (!answer.block) {
            SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
            return QueryResult::NoMemory;
        }
        if (call(answer.block.get(), answer.needed, &answer.needed)) return QueryResult::Filled;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return QueryResult::Failed;
    }
    return QueryResult::Failed;
}

// One registry value (REG_* bytes) into a fresh zero-filled global block: ERROR_SUCCESS with
// `block` null for an empty value, or the status of the failing query (ERROR_MORE_DATA: the value
// grew between the two queries) with `block` null. `size` is what the read delivered, never
// more than the block. `type` may be null.
LSTATUS QueryValueTwice(HKEY key, LPCWSTR name, OwnedGlobal<BYTE>& block, DWORD& size, DWORD* type);
