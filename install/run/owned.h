// Owners of handles and blocks: one line per resource kind. The release keeps the thread's last
// error, because the run writes its error line after the failing operation has cleaned up, and
// the line must describe the call that failed, not the close.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsvc.h>

template <typename T, T Invalid>
struct InvalidIs {
    static T Value() { return Invalid; }
};
// INVALID_HANDLE_VALUE is a cast, so it cannot be a template argument.
struct InvalidFileHandle {
    static HANDLE Value() { return INVALID_HANDLE_VALUE; }
};

template <typename T, typename Invalid, void (*Release)(T)>
class Owned {
public:
    Owned() : value_(Invalid::Value()) {}
    explicit Owned(T value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) : value_(other.release()) {}
    Owned& operator=(Owned&& other) {
        reset(other.release());
        return *this;
    }
    ~Owned() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid::Value(); }
    // For out parameters: releases what is held and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }
    // Gives up ownership; the caller releases.
    T release() {
        T value = value_;
        value_ = Invalid::Value();
        return value;
    }
    void reset(T value = Invalid::Value()) {
        if (value_ != Invalid::Value()) {
            DWORD lastError = GetLastError();
            Release(value_);
            SetLastError(lastError);
        }
        value_ = value;
    }

private:
    T value_;
};

namespace release {
inline void Handle(HANDLE h) { CloseHandle(h); }
inline void Printer(HANDLE h) { ClosePrinter(h); }
inline void Key(HKEY h) { RegCloseKey(h); }
inline void Service(SC_HANDLE h) { CloseServiceHandle(h); }
inline void EventSource(HANDLE h) { DeregisterEventSource(h); }
template <typename T>
void GlobalOf(T* p) {
    GlobalFree(p);
}
template <typename T>
void LocalOf(T* p) {
    LocalFree(p);
}
template <typename T>
void HeapOf(T* p) {
    HeapFree(GetProcessHeap(), 0, p);
}
}  // namespace release

// Kernel objects: a file opened with CreateFileW (invalid is INVALID_HANDLE_VALUE), a mutex,
// process or thread (invalid is null).
typedef Owned<HANDLE, InvalidFileHandle, release::Handle> OwnedFile;
typedef Owned<HANDLE, InvalidIs<HANDLE, nullptr>, release::Handle> OwnedHandle;
typedef Owned<HANDLE, InvalidIs<HANDLE, nullptr>, release::Printer> OwnedPrinter;
typedef Owned<HKEY, InvalidIs<HKEY, nullptr>, release::Key> OwnedKey;
typedef Owned<SC_HANDLE, InvalidIs<SC_HANDLE, nullptr>, release::Service> OwnedService;
typedef Owned<HANDLE, InvalidIs<HANDLE, nullptr>, release::EventSource> OwnedEventSource;
// Blocks of the global heap (GlobalAlloc), the local heap (LocalAlloc and the system's own
// allocations such as FormatMessageW's) and the process heap (HeapAlloc).
template <typename T>
using OwnedGlobal = Owned<T*, InvalidIs<T*, nullptr>, release::GlobalOf<T>>;
template <typename T>
using OwnedLocal = Owned<T*, InvalidIs<T*, nullptr>, release::LocalOf<T>>;
template <typename T>
using OwnedHeap = Owned<T*, InvalidIs<T*, nullptr>, release::HeapOf<T>>;

// OpenPrinterW with `access` (0: no defaults record, the user's default access); an empty owner
// when it is refused, with the last error of the refusal.
inline OwnedPrinter OpenPrinterHandle(LPCWSTR name, DWORD access = 0) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    HANDLE handle = nullptr;
    if (!OpenPrinterW(const_cast<LPWSTR>(name), &handle, access != 0 ? &defaults : nullptr)) return OwnedPrinter();
    return OwnedPrinter(handle);
}
