// Binding of the spooler and version functions at start-up (see system_functions.h).
#include "frontend/system_functions.h"

#include <windows.h>

namespace {

const LPCWSTR kDllNames[kSystemDllCount] = {TEXT("winspool.drv"), TEXT("version.dll")};

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
    bool tried[kSystemDllCount] = {};
    for (int i = 0; i < kSystemFunctionCount; ++i) {
        const FunctionEntry& entry = kFunctions[i];
        g_systemFunctions[i] = NULL;
        if (!tried[entry.dll]) {
            tried[entry.dll] = true;
            // Never unloaded: the process uses them until it ends.
            modules[entry.dll] = LoadLibraryExW(kDllNames[entry.dll], NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
            if (!modules[entry.dll] && complete) failure = {kDllNames[entry.dll], NULL, GetLastError()};
            if (!modules[entry.dll]) complete = false;
        }
        if (!modules[entry.dll]) continue;
        // The default-printer functions are bound by their ordinals, as the DLL has always
        // exported them.
        LPCSTR which = entry.ordinal != 0 ? MAKEINTRESOURCEA(entry.ordinal) : entry.name;
        g_systemFunctions[i] = GetProcAddress(modules[entry.dll], which);
        if (!g_systemFunctions[i] && complete) failure = {kDllNames[entry.dll], entry.name, GetLastError()};
        if (!g_systemFunctions[i]) complete = false;
    }
    return complete;
}
