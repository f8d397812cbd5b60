// The running module and the system directory.
#include <winsim/core.h>
#include <winsim/files.h>

#include "kernel_internal.h"

namespace winsim {
namespace {

struct ModuleState {
    std::u16string modulePath = kDefaultModulePath;
    std::u16string systemDir = kDefaultSystemDir;
};

ModuleState& State() {
    static ModuleState state;
    return state;
}

HMODULE const kInstance = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x140000000ull));

ResetHook modulesReset(0, [] { State() = ModuleState{}; });

std::u16string BaseName(const std::u16string& path) {
    size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SetSystemDirectory(std::u16string path) {
    State().systemDir = std::move(path);
    MakeDirectory(State().systemDir);
}

void SetModulePath(std::u16string path) {
    State().modulePath = std::move(path);
    size_t slash = State().modulePath.find_last_of(u"\\/");
    if (slash != std::u16string::npos) MakeDirectory(State().modulePath.substr(0, slash));
}

HMODULE ModuleInstance() { return kInstance; }

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    RecordCall("GetModuleFileNameW", kernel::Dec(nSize));
    if (TakeFault("GetModuleFileNameW")) return 0;
    if (hModule && hModule != kInstance) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!lpFilename && nSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string& path = State().modulePath;
    DWORD length = static_cast<DWORD>(path.size());
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length < nSize) {
        path.copy(lpFilename, length);
        lpFilename[length] = 0;
        return length;
    }
    // Truncated to nSize characters including the terminator; the result is nSize.
    path.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    RecordCall("GetModuleHandleW", kernel::FromW(lpModuleName));
    if (TakeFault("GetModuleHandleW")) return nullptr;
    if (!lpModuleName) return kInstance;
    std::u16string name = UpperPath(lpModuleName);
    std::u16string base = UpperPath(BaseName(State().modulePath));
    std::u16string baseNoExt = base.size() > 4 ? base.substr(0, base.size() - 4) : base;
    if (name == UpperPath(State().modulePath) || name == base || name == baseNoExt) return kInstance;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    RecordCall("GetSystemDirectoryW", kernel::Dec(uSize));
    if (TakeFault("GetSystemDirectoryW")) return 0;
    const std::u16string& dir = State().systemDir;
    UINT length = static_cast<UINT>(dir.size());
    // Too small: the size needed, terminator included, and nothing written.
    if (!lpBuffer || uSize <= length) return length + 1;
    dir.copy(lpBuffer, length);
    lpBuffer[length] = 0;
    return length;
}

}  // extern "C"
