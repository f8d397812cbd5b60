// Binding of the spooler and version functions at start-up (see system_functions.h).
#include "frontend/system_functions.h"

#include <windows.h>

namespace {

const LPCWSTR kDllNames[kSystemDllCount] = {TEXT("version.dll"), TEXT("winspool.drv")};

struct FunctionEntry {
    SystemDll dll;
    LPCSTR name;
    WORD ordinal;
};

const FunctionEntry kFunctions[kSystemFunctionCount] = {
#define QGR_SYSTEM_FUNCTION_ENTRY(dll, name, ordinal) {dll, #name, ordinal},
    QGR_SYSTEM_FUNCTIONS(QGR_SYSTEM_FUNCTION_ENTRY)
#undef QGR_SYSTEM_FUNCTION_ENTRY
};

}  // namespace

FARPROC g_systemFunctions[kSystemFunctionCount];

bool BindSystemFunctions(BindFailure& failure) {
    failure = {NULL, NULL, 0};
    bool complete = true;
    HMODULE modules[kSystemDllCount] = {};
    // By full path: a bare name would also match a module of that name already loaded from
    // elsewhere (under Wine, user32.dll imports version.dll while the process starts).
    WCHAR path[MAX_PATH];
    UINT directory = GetSystemDirectoryW(path, MAX_PATH);
    for (int dll = 0; dll < kSystemDllCount; ++dll) {
        if (directory > 0 && directory + 1 + lstrlenW(kDllNames[dll]) < MAX_PATH) {
            path[directory] = TEXT('\\');
            lstrcpyW(path + directory + 1, kDllNames[dll]);
            // Never unloaded: the process uses them until it ends.
            modules[dll] = LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
        } else if (directory > 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);  // a system directory longer than any path
        }
        if (modules[dll] == NULL && complete) failure = {kDllNames[dll], NULL, GetLastError()};
        if (modules[dll] == NULL) complete = false;
    }
    for (int i = 0; i < kSystemFunctionCount; ++i) {
        const FunctionEntry& entry = kFunctions[i];
        g_systemFunctions[i] = NULL;
        if (modules[entry.dll] == NULL) continue;
        // The default-printer functions are bound by their ordinals, as the DLL has always
        // exported them.
        LPCSTR which = entry.ordinal != 0 ? MAKEINTRESOURCEA(entry.ordinal) : entry.name;
        g_systemFunctions[i] = GetProcAddress(modules[entry.dll], which);
        if (g_systemFunctions[i] == NULL && complete) failure = {kDllNames[entry.dll], entry.name, GetLastError()};
        if (g_systemFunctions[i] == NULL) complete = false;
    }
    return complete;
}
