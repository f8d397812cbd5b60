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

// Calls `release` on `value` and sets the last error back to what it was before.
void ReleaseKeepingLastError(void (*release)(void*), void* value);

template <typename T, typename Invalid, void (*Release)(void*)>
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
    // Not noexcept: the host tests end a simulated process at any call, a release included, by
    // unwinding to their harness.
    ~Owned() noexcept(false) { reset(); }

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
        if (value_ != Invalid::Value()) ReleaseKeepingLastError(Release, value_);
        value_ = value;
    }

private:
    T value_;
};

namespace release {
void Handle(void* h);
void Printer(void* h);
void Key(void* h);
void Service(void* h);
void EventSource(void* h);
void Global(void* block);
void Local(void* block);
void Heap(void* block);
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
using OwnedGlobal = Owned<T*, InvalidIs<T*, nullptr>, release::Global>;
template <typename T>
using OwnedLocal = Owned<T*, InvalidIs<T*, nullptr>, release::Local>;
template <typename T>
using OwnedHeap = Owned<T*, InvalidIs<T*, nullptr>, release::Heap>;

// OpenPrinterW with `access` (0: no defaults record, the user's default access); an empty owner
// when it is refused, with the last error of the refusal.
OwnedPrinter OpenPrinterHandle(LPCWSTR name, DWORD access = 0);
