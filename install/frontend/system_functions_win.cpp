// Windows build: the spooler and version functions under their own names, so that the
// installer's calls stay as they are while nothing is imported from winspool.drv or version.dll.
// Each one calls through the address bound at start-up; one that was not found fails as its call
// would, with ERROR_PROC_NOT_FOUND.
#include <windows.h>
#include <winspool.h>
#include <winver.h>

#include "frontend/system_functions.h"

namespace {

// The bound address as the function's own type (through void (*)(), the one function pointer
// type that converts to any other without a warning).
template <typename Function>
Function Bound(SystemFunction index) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(g_systemFunctions[index]));
}

// Kept out of line so that each function below is two jumps and no stack frame.
template <typename Result>
__attribute__((noinline)) Result Missing(Result failed) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return failed;
}

}  // namespace

BOOL WINAPI AddMonitorW(LPWSTR pName, DWORD Level, LPBYTE pMonitorInfo) {
    auto bound = Bound<decltype(&AddMonitorW)>(kFnAddMonitorW);
    return bound ? bound(pName, Level, pMonitorInfo) : Missing<BOOL>(FALSE);
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo, DWORD dwFileCopyFlags) {
    auto bound = Bound<decltype(&AddPrinterDriverExW)>(kFnAddPrinterDriverExW);
    return bound ? bound(pName, Level, pDriverInfo, dwFileCopyFlags) : Missing<BOOL>(FALSE);
}

HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
    auto bound = Bound<decltype(&AddPrinterW)>(kFnAddPrinterW);
    return bound ? bound(pName, Level, pPrinter) : Missing<HANDLE>(NULL);
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    auto bound = Bound<decltype(&ClosePrinter)>(kFnClosePrinter);
    return bound ? bound(hPrinter) : Missing<BOOL>(FALSE);
}

BOOL WINAPI DeleteMonitorW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pMonitorName) {
    auto bound = Bound<decltype(&DeleteMonitorW)>(kFnDeleteMonitorW);
    return bound ? bound(pName, pEnvironment, pMonitorName) : Missing<BOOL>(FALSE);
}

BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
    auto bound = Bound<decltype(&DeletePrinter)>(kFnDeletePrinter);
    return bound ? bound(hPrinter) : Missing<BOOL>(FALSE);
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName, DWORD dwDeleteFlag,
                                   DWORD dwVersionFlag) {
    auto bound = Bound<decltype(&DeletePrinterDriverExW)>(kFnDeletePrinterDriverExW);
    return bound ? bound(pName, pEnvironment, pDriverName, dwDeleteFlag, dwVersionFlag) : Missing<BOOL>(FALSE);
}

BOOL WINAPI EnumMonitorsW(LPWSTR pName, DWORD Level, LPBYTE pMonitor, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    auto bound = Bound<decltype(&EnumMonitorsW)>(kFnEnumMonitorsW);
    return bound ? bound(pName, Level, pMonitor, cbBuf, pcbNeeded, pcReturned) : Missing<BOOL>(FALSE);
}

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                                LPDWORD pcbNeeded, LPDWORD pcReturned) {
    auto bound = Bound<decltype(&EnumPrinterDriversW)>(kFnEnumPrinterDriversW);
    return bound ? bound(pName, pEnvironment, Level, pDriverInfo, cbBuf, pcbNeeded, pcReturned) : Missing<BOOL>(FALSE);
}

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf, LPDWORD pcbNeeded,
                          LPDWORD pcReturned) {
    auto bound = Bound<decltype(&EnumPrintersW)>(kFnEnumPrintersW);
    return bound ? bound(Flags, Name, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned) : Missing<BOOL>(FALSE);
}

BOOL WINAPI GetDefaultPrinterW(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
    auto bound = Bound<decltype(&GetDefaultPrinterW)>(kFnGetDefaultPrinterW);
    return bound ? bound(pszBuffer, pcchBuffer) : Missing<BOOL>(FALSE);
}

DWORD WINAPI GetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, LPDWORD pType, LPBYTE pData, DWORD nSize,
                             LPDWORD pcbNeeded) {
    auto bound = Bound<decltype(&GetPrinterDataA)>(kFnGetPrinterDataA);
    return bound ? bound(hPrinter, pValueName, pType, pData, nSize, pcbNeeded) : Missing<DWORD>(ERROR_PROC_NOT_FOUND);
}

DWORD WINAPI GetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, LPDWORD pType, LPBYTE pData,
                               DWORD nSize, LPDWORD pcbNeeded) {
    auto bound = Bound<decltype(&GetPrinterDataExA)>(kFnGetPrinterDataExA);
    return bound ? bound(hPrinter, pKeyName, pValueName, pType, pData, nSize, pcbNeeded)
                 : Missing<DWORD>(ERROR_PROC_NOT_FOUND);
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory,
                                       DWORD cbBuf, LPDWORD pcbNeeded) {
    auto bound = Bound<decltype(&GetPrinterDriverDirectoryW)>(kFnGetPrinterDriverDirectoryW);
    return bound ? bound(pName, pEnvironment, Level, pDriverDirectory, cbBuf, pcbNeeded) : Missing<BOOL>(FALSE);
}

BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                              LPDWORD pcbNeeded) {
    auto bound = Bound<decltype(&GetPrinterDriverW)>(kFnGetPrinterDriverW);
    return bound ? bound(hPrinter, pEnvironment, Level, pDriverInfo, cbBuf, pcbNeeded) : Missing<BOOL>(FALSE);
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    auto bound = Bound<decltype(&GetPrinterW)>(kFnGetPrinterW);
    return bound ? bound(hPrinter, Level, pPrinter, cbBuf, pcbNeeded) : Missing<BOOL>(FALSE);
}

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    auto bound = Bound<decltype(&OpenPrinterW)>(kFnOpenPrinterW);
    return bound ? bound(pPrinterName, phPrinter, pDefault) : Missing<BOOL>(FALSE);
}

BOOL WINAPI SetDefaultPrinterW(LPCWSTR pszPrinter) {
    auto bound = Bound<decltype(&SetDefaultPrinterW)>(kFnSetDefaultPrinterW);
    return bound ? bound(pszPrinter) : Missing<BOOL>(FALSE);
}

DWORD WINAPI SetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, DWORD Type, LPBYTE pData, DWORD cbData) {
    auto bound = Bound<decltype(&SetPrinterDataA)>(kFnSetPrinterDataA);
    return bound ? bound(hPrinter, pValueName, Type, pData, cbData) : Missing<DWORD>(ERROR_PROC_NOT_FOUND);
}

DWORD WINAPI SetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, DWORD Type, LPBYTE pData,
                               DWORD cbData) {
    auto bound = Bound<decltype(&SetPrinterDataExA)>(kFnSetPrinterDataExA);
    return bound ? bound(hPrinter, pKeyName, pValueName, Type, pData, cbData) : Missing<DWORD>(ERROR_PROC_NOT_FOUND);
}

BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
    auto bound = Bound<decltype(&SetPrinterW)>(kFnSetPrinterW);
    return bound ? bound(hPrinter, Level, pPrinter, Command) : Missing<BOOL>(FALSE);
}

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
    auto bound = Bound<decltype(&GetFileVersionInfoSizeW)>(kFnGetFileVersionInfoSizeW);
    return bound ? bound(lptstrFilename, lpdwHandle) : Missing<DWORD>(0);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
    auto bound = Bound<decltype(&GetFileVersionInfoW)>(kFnGetFileVersionInfoW);
    return bound ? bound(lptstrFilename, dwHandle, dwLen, lpData) : Missing<BOOL>(FALSE);
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    auto bound = Bound<decltype(&VerQueryValueW)>(kFnVerQueryValueW);
    return bound ? bound(pBlock, lpSubBlock, lplpBuffer, puLen) : Missing<BOOL>(FALSE);
}
