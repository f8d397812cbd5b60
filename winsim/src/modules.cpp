// The running module, the system directory and the DLLs a process loads at run time.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winspool.h>
#include <winver.h>

#include <vector>

#include "kernel_internal.h"

namespace winsim {
namespace {

// A loaded DLL: one of winsim's system DLLs (index into SystemDlls()), or a file of another
// directory, whose code winsim cannot run: it exports nothing here.
struct LoadedModule {
    std::u16string path;
    int systemDll;
};

struct ModuleState {
    std::u16string modulePath = kDefaultModulePath;
    std::u16string systemDir = kDefaultSystemDir;
    std::vector<LoadedModule> loaded;
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

struct Export {
    const char* name;
    WORD ordinal;  // 0: exported by name only
    FARPROC address;
};

struct SystemDll {
    const char16_t* file;
    std::vector<Export> exports;
};

template <typename Function>
FARPROC Address(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// The system DLLs that are not KnownDLLs and whose functions winsim provides. The default-printer
// functions are exported by ordinal as well.
const std::vector<SystemDll>& SystemDlls() {
    static const std::vector<SystemDll> dlls = {
        {u"winspool.drv",
         {{"AddMonitorW", 0, Address(&AddMonitorW)},
          {"AddPrinterDriverExW", 0, Address(&AddPrinterDriverExW)},
          {"AddPrinterW", 0, Address(&AddPrinterW)},
          {"ClosePrinter", 0, Address(&ClosePrinter)},
          {"DeleteMonitorW", 0, Address(&DeleteMonitorW)},
          {"DeletePrinter", 0, Address(&DeletePrinter)},
          {"DeletePrinterDriverExW", 0, Address(&DeletePrinterDriverExW)},
          {"EnumMonitorsW", 0, Address(&EnumMonitorsW)},
          {"EnumPrinterDriversW", 0, Address(&EnumPrinterDriversW)},
          {"EnumPrintersW", 0, Address(&EnumPrintersW)},
          {"GetDefaultPrinterW", 203, Address(&GetDefaultPrinterW)},
          {"GetPrinterDataA", 0, Address(&GetPrinterDataA)},
          {"GetPrinterDataExA", 0, Address(&GetPrinterDataExA)},
          {"GetPrinterDriverDirectoryW", 0, Address(&GetPrinterDriverDirectoryW)},
          {"GetPrinterDriverW", 0, Address(&GetPrinterDriverW)},
          {"GetPrinterW", 0, Address(&GetPrinterW)},
          {"OpenPrinterW", 0, Address(&OpenPrinterW)},
          {"SetDefaultPrinterW", 204, Address(&SetDefaultPrinterW)},
          {"SetPrinterDataA", 0, Address(&SetPrinterDataA)},
          {"SetPrinterDataExA", 0, Address(&SetPrinterDataExA)},
          {"SetPrinterW", 0, Address(&SetPrinterW)}}},
        {u"version.dll",
         {{"GetFileVersionInfoSizeW", 0, Address(&GetFileVersionInfoSizeW)},
          {"GetFileVersionInfoW", 0, Address(&GetFileVersionInfoW)},
          {"VerQueryValueW", 0, Address(&VerQueryValueW)}}},
    };
    return dlls;
}

const uintptr_t kFirstLoadedModule = 0x7FF800000000ull;
const uintptr_t kModuleSpacing = 0x1000000ull;

HMODULE LoadedHandle(size_t index) {
    return reinterpret_cast<HMODULE>(kFirstLoadedModule + index * kModuleSpacing);
}

// The system DLL a path names, or -1.
int SystemDllAt(const std::u16string& upperPath) {
    const std::vector<SystemDll>& dlls = SystemDlls();
    for (size_t i = 0; i < dlls.size(); ++i)
        if (upperPath == UpperPath(State().systemDir + u"\\" + dlls[i].file)) return static_cast<int>(i);
    return -1;
}

// The same file loaded again gives the same module.
HMODULE Load(const std::u16string& path, int systemDll) {
    std::vector<LoadedModule>& loaded = State().loaded;
    for (size_t i = 0; i < loaded.size(); ++i)
        if (UpperPath(loaded[i].path) == UpperPath(path)) return LoadedHandle(i);
    loaded.push_back({path, systemDll});
    return LoadedHandle(loaded.size() - 1);
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

// A bare name is searched for: with LOAD_LIBRARY_SEARCH_SYSTEM32 in the system directory only,
// otherwise in the application's directory first, then the system directory. A path is taken as
// it is.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    RecordCall("LoadLibraryExW", kernel::FromW(lpLibFileName) + u"," + kernel::Hex(dwFlags));
    if (TakeFault("LoadLibraryExW")) return nullptr;
    if (!lpLibFileName || hFile) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string name = lpLibFileName;
    std::vector<std::u16string> candidates;
    if (name.find_first_of(u"\\/") != std::u16string::npos) {
        candidates.push_back(name);
    } else {
        const std::u16string& self = State().modulePath;
        size_t slash = self.find_last_of(u"\\/");
        if (!(dwFlags & LOAD_LIBRARY_SEARCH_SYSTEM32) && slash != std::u16string::npos)
            candidates.push_back(self.substr(0, slash + 1) + name);
        candidates.push_back(State().systemDir + u"\\" + name);
    }
    for (const std::u16string& path : candidates) {
        int systemDll = SystemDllAt(UpperPath(path));
        if (systemDll >= 0 || FileExists(path)) return Load(path, systemDll);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// By name (case-sensitive) or by ordinal (a value below 0x10000).
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    uintptr_t ordinal = reinterpret_cast<uintptr_t>(lpProcName);
    bool byOrdinal = IS_INTRESOURCE(lpProcName);
    std::u16string what = byOrdinal ? u"#" + kernel::Dec(static_cast<int64_t>(ordinal)) : kernel::FromA(lpProcName);
    uintptr_t offset = reinterpret_cast<uintptr_t>(hModule) - kFirstLoadedModule;
    size_t index = offset / kModuleSpacing;
    bool known = hModule && offset % kModuleSpacing == 0 && index < State().loaded.size();
    RecordCall("GetProcAddress", (known ? BaseName(State().loaded[index].path) : u"?") + u"," + what);
    if (TakeFault("GetProcAddress")) return nullptr;
    if (!known) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    int systemDll = State().loaded[index].systemDll;
    if (systemDll >= 0) {
        for (const Export& e : SystemDlls()[static_cast<size_t>(systemDll)].exports) {
            if (byOrdinal ? e.ordinal != 0 && e.ordinal == ordinal : std::string(e.name) == lpProcName)
                return e.address;
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

}  // extern "C"
