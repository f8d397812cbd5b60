// The spooler and version functions, bound once at start-up from the system directory only.
// Neither winspool.drv nor version.dll is a KnownDLL: imported statically, they would be looked
// for beside install.exe first, and whoever can write there would run code elevated.
#pragma once

#include <windows.h>

// Loaded in this order: Wine's winspool.drv imports version.dll, and Wine 8 looks for a DLL's
// imports beside the program even when the DLL itself was asked for from the system directory
// only; a DLL already loaded is found by its name.
enum SystemDll { kVersionDll, kWinspoolDll, kSystemDllCount };

// Every function the installer calls from those DLLs: DLL, name, ordinal (0: bound by name).
#define QGR_SYSTEM_FUNCTIONS(X)                   \
    X(kWinspoolDll, AddMonitorW, 0)               \
    X(kWinspoolDll, AddPrinterDriverExW, 0)       \
    X(kWinspoolDll, AddPrinterW, 0)               \
    X(kWinspoolDll, ClosePrinter, 0)              \
    X(kWinspoolDll, DeleteMonitorW, 0)            \
    X(kWinspoolDll, DeletePrinter, 0)             \
    X(kWinspoolDll, DeletePrinterDriverExW, 0)    \
    X(kWinspoolDll, EnumMonitorsW, 0)             \
    X(kWinspoolDll, EnumPrinterDriversW, 0)       \
    X(kWinspoolDll, EnumPrintersW, 0)             \
    X(kWinspoolDll, GetDefaultPrinterW, 203)      \
    X(kWinspoolDll, GetPrinterDataA, 0)           \
    X(kWinspoolDll, GetPrinterDataExA, 0)         \
    X(kWinspoolDll, GetPrinterDriverDirectoryW, 0) \
    X(kWinspoolDll, GetPrinterDriverW, 0)         \
    X(kWinspoolDll, GetPrinterW, 0)               \
    X(kWinspoolDll, OpenPrinterW, 0)              \
    X(kWinspoolDll, SetDefaultPrinterW, 204)      \
    X(kWinspoolDll, SetPrinterDataA, 0)           \
    X(kWinspoolDll, SetPrinterDataExA, 0)         \
    X(kWinspoolDll, SetPrinterW, 0)               \
    X(kVersionDll, GetFileVersionInfoSizeW, 0)    \
    X(kVersionDll, GetFileVersionInfoW, 0)        \
    X(kVersionDll, VerQueryValueW, 0)

enum SystemFunction {
#define QGR_SYSTEM_FUNCTION_INDEX(dll, name, ordinal) kFn##name,
    QGR_SYSTEM_FUNCTIONS(QGR_SYSTEM_FUNCTION_INDEX)
#undef QGR_SYSTEM_FUNCTION_INDEX
    kSystemFunctionCount
};

// The bound addresses; NULL for a function that was not found. The Windows build calls through
// them; the host build links winsim's functions directly and only binds.
extern FARPROC g_systemFunctions[kSystemFunctionCount];

// What could not be bound first: the DLL, the function (NULL when the DLL itself did not load)
// and the error of the failing call.
struct BindFailure {
    LPCWSTR dll;
    LPCSTR function;
    DWORD error;
};

// Binds every function it can; false when one or more are missing, the first described in
// `failure`.
bool BindSystemFunctions(BindFailure& failure);
