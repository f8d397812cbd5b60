// Registry values read with the two-call pattern.
#include "run/two_call_query.h"

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
