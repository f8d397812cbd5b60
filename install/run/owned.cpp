// The owners' releases, out of line: one copy of the last-error keeping for every owner.
#include "run/owned.h"

void ReleaseKeepingLastError(void (*release)(void*), void* value) {
    DWORD lastError = GetLastError();
    release(value);
    SetLastError(lastError);
}

namespace release {
void Handle(void* h) { CloseHandle(h); }
void Printer(void* h) { ClosePrinter(h); }
void Key(void* h) { RegCloseKey(static_cast<HKEY>(h)); }
void Service(void* h) { CloseServiceHandle(static_cast<SC_HANDLE>(h)); }
void EventSource(void* h) { DeregisterEventSource(h); }
void Global(void* block) { GlobalFree(block); }
void Local(void* block) { LocalFree(block); }
void Heap(void* block) { HeapFree(GetProcessHeap(), 0, block); }
}  // namespace release

OwnedPrinter OpenPrinterHandle(LPCWSTR name, DWORD access) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    HANDLE handle = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &handle, access != 0 ? &defaults : nullptr)) return OwnedPrinter();
    return OwnedPrinter(handle);
}
