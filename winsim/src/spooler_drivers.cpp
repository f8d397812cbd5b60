// Printer drivers: EnumPrinterDriversW, AddPrinterDriverExW, DeletePrinterDriverExW,
// GetPrinterDriverW, GetPrinterDriverDirectoryW.
#include "spooler_internal.h"

#include "kernel_internal.h"

#include <winsim/files.h>
#include <winsim/registry.h>

#include <cstddef>

using namespace winsim;
using namespace winsim::spool;

namespace {

std::u16string FileName(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string DirectoryOf(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string_view::npos ? std::u16string() : std::u16string(path.substr(0, slash));
}

// Where the spooler takes a driver file from. Without APD_COPY_FROM_DIRECTORY every file must
// have been staged in the environment's driver directory: a bare name stands for a file there,
// and a full path elsewhere is not looked at. Empty: the file cannot be taken.
std::u16string SourcePath(int env, const std::u16string& name, DWORD flags) {
    if (name.find_first_of(u"\\/") == std::u16string::npos) return DriverDir(env) + u"\\" + name;
    if (flags & APD_COPY_FROM_DIRECTORY) return name;
    if (UpperPath(kernel::NormalizePath(DirectoryOf(name))) != UpperPath(DriverDir(env))) return {};
    return name;
}

std::u16string InstalledPath(int env, const std::u16string& source) {
    return DriverDir(env) + u"\\3\\" + FileName(source);
}

// The build of a file's version resource (a.b.c.d as one number), 0 without one.
uint64_t FileVersionOf(const std::u16string& path) { return kernel::VersionOfBytes(FileRawBytes(path)); }

std::vector<std::u16string> DriverFiles(const SpoolDriver& d) {
    std::vector<std::u16string> files;
    auto add = [&](const std::u16string& f) {
        if (f.empty()) return;
        for (auto& g : files)
            if (SameName(f, g)) return;
        files.push_back(f);
    };
    add(d.driverPath);
    add(d.dataFile);
    add(d.configFile);
    add(d.helpFile);
    for (auto& f : d.dependentFiles) add(f);
    return files;
}

std::optional<std::u16string> NonEmpty(const std::u16string& s) {
    if (s.empty()) return std::nullopt;
    return s;
}

// One DRIVER_INFO_2W record (the driver of an open printer) or DRIVER_INFO_6W (enumeration);
// the other levels are not modelled.
Record DriverRecord(const SpoolDriver& d, DWORD level) {
    Record r;
    auto common = [&](auto info) {
        using T = decltype(info);
        info.cVersion = d.version;
        r = MakeRecord(info);
        r.strings.emplace_back(offsetof(T, pName), d.name);
        r.strings.emplace_back(offsetof(T, pEnvironment), d.environment);
        r.strings.emplace_back(offsetof(T, pDriverPath), d.driverPath);
        r.strings.emplace_back(offsetof(T, pDataFile), d.dataFile);
        r.strings.emplace_back(offsetof(T, pConfigFile), d.configFile);
    };
    if (level == 2) {
        common(DRIVER_INFO_2W{});
        return r;
    }
    DRIVER_INFO_6W info{};
    info.ftDriverDate = d.driverDate;
    info.dwlDriverVersion = d.driverVersion;
    common(info);
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pHelpFile), NonEmpty(d.helpFile));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pDependentFiles), ToMultiSz(d.dependentFiles));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pMonitorName), NonEmpty(d.monitorName));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pDefaultDataType), NonEmpty(d.defaultDataType));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pszzPreviousNames), ToMultiSz(d.previousNames));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pszMfgName), NonEmpty(d.mfgName));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pszOEMUrl), NonEmpty(d.oemUrl));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pszHardwareID), NonEmpty(d.hardwareId));
    r.strings.emplace_back(offsetof(DRIVER_INFO_6W, pszProvider), NonEmpty(d.provider));
    return r;
}

// Reads the caller's DRIVER_INFO_6W into a record (paths still as given); the other levels
// are not modelled.
bool ReadDriverInfo(DWORD level, LPBYTE p, SpoolDriver* d, LPCWSTR* env) {
    if (level != 6) {
        SetLastError(ERROR_INVALID_LEVEL);
        return false;
    }
    if (!p) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    auto* i6 = reinterpret_cast<DRIVER_INFO_6W*>(p);
    d->name = Str(i6->pName);
    d->driverPath = Str(i6->pDriverPath);
    d->dataFile = Str(i6->pDataFile);
    d->configFile = Str(i6->pConfigFile);
    *env = i6->pEnvironment;
    d->helpFile = Str(i6->pHelpFile);
    d->dependentFiles = FromMultiSz(i6->pDependentFiles);
    d->monitorName = Str(i6->pMonitorName);
    d->defaultDataType = Str(i6->pDefaultDataType);
    d->previousNames = FromMultiSz(i6->pszzPreviousNames);
    d->driverDate = i6->ftDriverDate;
    d->driverVersion = i6->dwlDriverVersion;
    d->mfgName = Str(i6->pszMfgName);
    d->oemUrl = Str(i6->pszOEMUrl);
    d->hardwareId = Str(i6->pszHardwareID);
    d->provider = Str(i6->pszProvider);
    if (d->name.empty() || d->driverPath.empty() || d->dataFile.empty() || d->configFile.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// The call record of a DRIVER_INFO_nW: name and environment first, then (after the copy
// flags) every other member the caller passed.
std::u16string DriverInfoArgs(DWORD level, LPBYTE p) {
    if (!p || level != 6) return {};
    auto* i6 = reinterpret_cast<DRIVER_INFO_6W*>(p);
    return u"," + Arg(i6->pName) + u"," + Arg(i6->pEnvironment);
}

std::u16string DriverInfoDetails(DWORD level, LPBYTE p) {
    if (!p || level != 6) return {};
    auto* i6 = reinterpret_cast<DRIVER_INFO_6W*>(p);
    std::u16string deps;
    for (auto& f : FromMultiSz(i6->pDependentFiles)) deps += (deps.empty() ? u"" : u";") + f;
    return u",v" + Num(i6->cVersion) + u"," + Arg(i6->pDriverPath) + u"," + Arg(i6->pDataFile) + u"," +
           Arg(i6->pConfigFile) + u"," + Arg(i6->pHelpFile) + u",[" + deps + u"]," + Arg(i6->pMonitorName) + u"," +
           Arg(i6->pDefaultDataType) + u"," + Arg(i6->pszMfgName) + u"," + Arg(i6->pszOEMUrl) + u"," +
           Arg(i6->pszHardwareID) + u"," + Arg(i6->pszProvider);
}

// A file the spooler cannot delete because it is loaded is moved aside and deleted at the
// next reboot, so that a new driver can take its place.
void RemoveDriverFile(int env, const std::u16string& path) {
    if (!IsHeld(path)) {
        RemoveTestFile(path);
        return;
    }
    std::u16string aside =
        DriverDir(env) + u"\\3\\Old\\" + Num(++S().oldDriverFiles) + u"\\" + FileName(path);
    if (!CopyTestFile(path, aside)) return;
    RemoveTestFile(path);
    kernel::AppendPendingRename(u"\\??\\" + aside, u"");
}

}  // namespace

extern "C" {

BOOL WINAPI EnumPrinterDriversW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo,
                                DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (pcReturned) *pcReturned = 0;
    if (!Enter("EnumPrinterDriversW", Arg(pName) + u"," + Arg(pEnvironment) + u"," + Num(Level))) return FALSE;
    if (!LocalServer(pName)) return FALSE;
    int env = EnvIndex(pEnvironment);
    if (env < 0) return FALSE;
    if (Level != 6) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<Record> records;
    for (auto& d : S().drivers[env]) records.push_back(DriverRecord(d, Level));
    if (!Pack(records, pDriverInfo, cbBuf, pcbNeeded)) return FALSE;
    *pcReturned = static_cast<DWORD>(records.size());
    return TRUE;
}

BOOL WINAPI AddPrinterDriverExW(LPWSTR pName, DWORD Level, LPBYTE pDriverInfo, DWORD dwFileCopyFlags) {
    if (!Enter("AddPrinterDriverExW", Arg(pName) + u"," + Num(Level) + DriverInfoArgs(Level, pDriverInfo) + u"," +
                                          Num(dwFileCopyFlags) + DriverInfoDetails(Level, pDriverInfo)))
        return FALSE;
    if (!LocalServer(pName)) return FALSE;
    SpoolDriver d;
    LPCWSTR envName = nullptr;
    if (!ReadDriverInfo(Level, pDriverInfo, &d, &envName)) return FALSE;
    int env = EnvIndex(envName);
    if (env < 0) return FALSE;
    d.environment = EnvName(env);
    // Only user-mode drivers (version 3) install; a 64-bit system blocks kernel-mode ones.
    DWORD version = reinterpret_cast<DRIVER_INFO_6W*>(pDriverInfo)->cVersion;
    if (version != 3) {
        SetLastError(version == 2 ? ERROR_KM_DRIVER_BLOCKED
                                  : version > 3 ? ERROR_PRINTER_DRIVER_BLOCKED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    d.version = version;
    const DWORD copyModes = APD_COPY_ALL_FILES | APD_COPY_NEW_FILES | APD_STRICT_UPGRADE | APD_STRICT_DOWNGRADE;
    if ((dwFileCopyFlags & APD_COPY_FROM_DIRECTORY) && !(dwFileCopyFlags & copyModes)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    // Every file must be there, and the code files must be images of the environment's machine,
    // before anything is copied: a failure installs nothing.
    std::vector<std::u16string> sources;
    for (auto& f : DriverFiles(d)) {
        std::u16string src = SourcePath(env, f, dwFileCopyFlags);
        if (src.empty() || !FileExists(src)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        sources.push_back(src);
    }
    Machine machine = env == 0 ? Machine::X64 : Machine::X86;
    for (const std::u16string* code : {&d.driverPath, &d.configFile}) {
        if (FileMachine(SourcePath(env, *code, dwFileCopyFlags)) != machine) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return FALSE;
        }
    }
    for (auto& src : sources) {
        std::u16string dest = InstalledPath(env, src);
        // APD_COPY_ALL_FILES replaces every file; otherwise only newer files replace the installed ones.
        bool copy = (dwFileCopyFlags & APD_COPY_ALL_FILES) || !FileExists(dest) ||
                    FileVersionOf(src) > FileVersionOf(dest);
        if (copy && !CopyTestFile(src, dest)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    auto installed = [&](std::u16string& f) {
        if (!f.empty()) f = InstalledPath(env, SourcePath(env, f, dwFileCopyFlags));
    };
    installed(d.driverPath);
    installed(d.dataFile);
    installed(d.configFile);
    installed(d.helpFile);
    for (auto& f : d.dependentFiles) installed(f);

    if (SpoolDriver* old = FindDriverIn(env, d.name)) {
        d.name = old->name;
        *old = d;
    } else {
        S().drivers[env].push_back(d);
    }
    return TRUE;
}

BOOL WINAPI DeletePrinterDriverExW(LPWSTR pName, LPWSTR pEnvironment, LPWSTR pDriverName, DWORD dwDeleteFlag,
                                   DWORD dwVersionFlag) {
    if (!Enter("DeletePrinterDriverExW", Arg(pName) + u"," + Arg(pEnvironment) + u"," + Arg(pDriverName) + u"," +
                                             Num(dwDeleteFlag) + u"," + Num(dwVersionFlag)))
        return FALSE;
    if (!LocalServer(pName)) return FALSE;
    int env = EnvIndex(pEnvironment);
    if (env < 0) return FALSE;
    if (!pDriverName || !*pDriverName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SpoolDriver* d = FindDriverIn(env, pDriverName);
    if (!d || ((dwDeleteFlag & DPD_DELETE_SPECIFIC_VERSION) && dwVersionFlag != d->version)) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    // Printers of this machine use the drivers of its own environment.
    if (env == 0) {
        for (auto& p : S().printers) {
            if (!p.info.connection && SameName(p.info.driverName, d->name)) {
                SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
                return FALSE;
            }
        }
    }
    std::vector<std::u16string> files = DriverFiles(*d);
    std::vector<std::u16string> shared;
    for (auto& other : S().drivers[env]) {
        if (&other == d) continue;
        for (auto& f : DriverFiles(other))
            for (auto& mine : files)
                if (SameName(f, mine)) shared.push_back(mine);
    }
    if ((dwDeleteFlag & DPD_DELETE_ALL_FILES) && !shared.empty()) {
        SetLastError(ERROR_PRINTER_DRIVER_IN_USE);
        return FALSE;
    }
    auto& list = S().drivers[env];
    list.erase(list.begin() + (d - list.data()));
    if (dwDeleteFlag & (DPD_DELETE_ALL_FILES | DPD_DELETE_UNUSED_FILES)) {
        for (auto& f : files) {
            bool isShared = false;
            for (auto& s : shared) isShared = isShared || SameName(s, f);
            if (!isShared) RemoveDriverFile(env, f);
        }
    }
    return TRUE;
}

BOOL WINAPI GetPrinterDriverW(HANDLE hPrinter, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverInfo, DWORD cbBuf,
                              LPDWORD pcbNeeded) {
    if (!Enter("GetPrinterDriverW", HandleName(hPrinter) + u"," + Arg(pEnvironment) + u"," + Num(Level)))
        return FALSE;
    Printer* p = PrinterOf(hPrinter);
    if (!p) return FALSE;
    int env = EnvIndex(pEnvironment);
    if (env < 0) return FALSE;
    if (Level != 2 && Level != 6) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SpoolDriver* d = FindDriverIn(env, p->info.driverName);
    if (!d) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return FALSE;
    }
    return Pack({DriverRecord(*d, Level)}, pDriverInfo, cbBuf, pcbNeeded);
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR pName, LPWSTR pEnvironment, DWORD Level, LPBYTE pDriverDirectory,
                                       DWORD cbBuf, LPDWORD pcbNeeded) {
    if (!Enter("GetPrinterDriverDirectoryW", Arg(pName) + u"," + Arg(pEnvironment) + u"," + Num(Level)))
        return FALSE;
    if (!LocalServer(pName)) return FALSE;
    int env = EnvIndex(pEnvironment);
    if (env < 0) return FALSE;
    if (Level != 1) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string dir = DriverDir(env);
    DWORD bytes = static_cast<DWORD>((dir.size() + 1) * sizeof(char16_t));
    *pcbNeeded = bytes;
    if (!pDriverDirectory || cbBuf < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(dir.c_str(), dir.c_str() + dir.size() + 1, reinterpret_cast<char16_t*>(pDriverDirectory));
    return TRUE;
}

}  // extern "C"
