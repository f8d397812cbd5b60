// The two-call pattern of spooler queries and registry values.
#include "run/two_call_query.h"

QueryResult QueryTwice(QueryAnswer& answer, QueryCall call, void* context, SIZE_T (*room)(DWORD), int passes) {
    for (int pass = 0; pass < passes; ++pass) {
        answer.block.reset();
        answer.blockBytes = 0;
        answer.needed = 0;
        if (call(context, nullptr, 0, &answer.needed)) return QueryResult::AnsweredEmpty;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return QueryResult::Failed;
        answer.blockBytes = room(answer.needed);
        answer.block.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, answer.blockBytes)));
        if (!answer.block) {
            SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
            return QueryResult::NoMemory;
        }
        if (call(context, answer.block.get(), answer.needed, &answer.needed)) return QueryResult::Filled;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return QueryResult::Failed;
    }
    return QueryResult::Failed;
}

LSTATUS QueryValueTwice(HKEY key, LPCWSTR name, OwnedGlobal<BYTE>& block, DWORD& size, DWORD* type) {
    block.reset();
    size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS || size == 0) return status;
    DWORD allocated = size;
    block.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, allocated)));
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    status = RegQueryValueExW(key, name, nullptr, type, block.get(), &size);
    if (status != ERROR_SUCCESS) {
        block.reset();
        size = 0;
        return status;
    }
    if (size > allocated) size = allocated;
    return ERROR_SUCCESS;
}
