// Printers: EnumPrintersW, OpenPrinterW, ClosePrinter, AddPrinterW, DeletePrinter, GetPrinterW,
// SetPrinterW, and the default printer. A printer handle belongs to the spooler run that gave it
// out: after a restart every call on it fails with ERROR_INVALID_HANDLE (RPC_X_SS_CONTEXT_MISMATCH
// has that value), and ClosePrinter only frees the caller's side. Each printer carries a device
// mode, in the level-2 record's block after the records.
#include "spooler_internal.h"

#include <winsim/services.h>

#include <cstddef>

using namespace winsim;
using namespace winsim::spool;

namespace {

const char16_t* const kWinPrintTypes[] = {u"RAW",          u"RAW [FF appended]", u"RAW [FF auto]",
                                          u"NT EMF 1.003", u"NT EMF 1.006",      u"NT EMF 1.007",
                                          u"NT EMF 1.008", u"TEXT",              u"XPS2GDI"};

bool ValidPrinterName(LPCWSTR name) {
    if (!name || !*name) return false;
    std::u16string_view n(name);
    return n.find_first_of(u",\\") == std::u16string_view::npos;
}

std::u16string HexNum(DWORD v) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out;
    do {
        out.insert(out.begin(), digits[v & 0xF]);
        v >>= 4;
    } while (v);
    return out;
}

// The level-2 record as the call record keeps it: names, texts, processor, data type, attributes.
std::u16string PrinterInfoArgs(const PRINTER_INFO_2W& info) {
    return Arg(info.pPrinterName) + u"," + Arg(info.pPortName) + u"," + Arg(info.pDriverName) + u"," +
           Arg(info.pShareName) + u"," + Arg(info.pComment) + u"," + Arg(info.pLocation) + u"," +
           Arg(info.pPrintProcessor) + u"," + Arg(info.pDatatype) + u",0x" + HexNum(info.Attributes);
}

bool KnownDatatype(std::u16string_view type) {
    for (auto t : kWinPrintTypes)
        if (SameName(t, type)) return true;
    return false;
}

// The checks that AddPrinterW and SetPrinterW level 2 share, in the order the spooler makes
// them. `self` is the printer being changed (null when adding).
bool CheckPrinterInfo(const PRINTER_INFO_2W& info, const Printer* self) {
    if (!ValidPrinterName(info.pPrinterName)) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return false;
    }
    Printer* same = FindPrinterByName(info.pPrinterName);
    if (same && same != self) {
        SetLastError(ERROR_PRINTER_ALREADY_EXISTS);
        return false;
    }
    if (!info.pDriverName || !FindDriverIn(0, info.pDriverName)) {
        SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
        return false;
    }
    bool portsOk = info.pPortName && *info.pPortName;
    if (portsOk)
        for (auto& port : SplitList(info.pPortName, u','))
            portsOk = portsOk && !port.empty() && PortKnown(port);
    if (!portsOk) {
        SetLastError(ERROR_UNKNOWN_PORT);
        return false;
    }
    if (!info.pPrintProcessor || !SameName(info.pPrintProcessor, u"WinPrint")) {
        SetLastError(ERROR_UNKNOWN_PRINTPROCESSOR);
        return false;
    }
    if (info.pDatatype && !KnownDatatype(info.pDatatype)) {
        SetLastError(ERROR_INVALID_DATATYPE);
        return false;
    }
    if (info.Priority > 99 || info.DefaultPriority > 99) {
        SetLastError(ERROR_INVALID_PRIORITY);
        return false;
    }
    std::string devMode;
    return !info.pDevMode || ReadDevMode(info.pDevMode, &devMode);
}

// Copies the caller's level-2 record over the stored printer; the driver's and processor's
// names take the stored spelling. A device mode given replaces the printer's; none keeps it
// (SetPrinterW) or takes the driver's default (AddPrinterW, whose printer has none yet).
void ApplyPrinterInfo(const PRINTER_INFO_2W& info, SpoolPrinter* p) {
    if (info.pDevMode)
        ReadDevMode(info.pDevMode, &p->devMode);
    else if (p->devMode.empty())
        p->devMode = DefaultDevMode(info.pPrinterName);
    p->name = info.pPrinterName;
    p->shareName = OptStr(info.pShareName);
    p->portName = info.pPortName;
    p->driverName = FindDriverIn(0, info.pDriverName)->name;
    p->comment = OptStr(info.pComment);
    p->location = OptStr(info.pLocation);
    p->sepFile = OptStr(info.pSepFile);
    p->printProcessor = u"WinPrint";
    p->datatype = info.pDatatype ? std::u16string(info.pDatatype) : std::u16string(u"RAW");
    p->parameters = OptStr(info.pParameters);
    // The default mark belongs to the default printer setting, not to the printer.
    p->attributes = (info.Attributes | PRINTER_ATTRIBUTE_LOCAL) & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_DEFAULT);
    p->priority = info.Priority ? info.Priority : 1;
    p->defaultPriority = info.DefaultPriority;
    p->startTime = info.StartTime;
    p->untilTime = info.UntilTime;
}

DWORD ReportedStatus(const Printer& p) {
    return p.info.status | (p.info.pendingDeletion ? PRINTER_STATUS_PENDING_DELETION : 0);
}

// The level-2 record; levels 1 and 4 are not modelled.
Record PrinterRecord(const Printer& p) {
    const SpoolPrinter& i = p.info;
    PRINTER_INFO_2W info{};
    info.Attributes = ReportedAttributes(p);
    info.Priority = i.priority;
    info.DefaultPriority = i.defaultPriority;
    info.StartTime = i.startTime;
    info.UntilTime = i.untilTime;
    info.Status = ReportedStatus(p);
    info.cJobs = i.jobs;
    Record r = MakeRecord(info);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pServerName), std::nullopt);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pPrinterName), i.name);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pShareName), i.shareName);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pPortName), i.portName);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pDriverName), i.driverName);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pComment), i.comment);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pLocation), i.location);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pSepFile), i.sepFile);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pPrintProcessor), i.printProcessor);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pDatatype), i.datatype);
    r.strings.emplace_back(offsetof(PRINTER_INFO_2W, pParameters), i.parameters);
    if (!i.devMode.empty()) r.blobs.emplace_back(offsetof(PRINTER_INFO_2W, pDevMode), i.devMode);
    return r;
}

ACCESS_MASK MapPrinterAccess(ACCESS_MASK access) {
    if (access == 0) return PRINTER_ACCESS_USE;
    ACCESS_MASK out = access & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) out |= READ_CONTROL | PRINTER_ACCESS_USE;
    if (access & GENERIC_ALL) out |= PRINTER_ALL_ACCESS;
    return out;
}


HANDLE NewPrinterHandle(uint64_t printerId, ACCESS_MASK access) {
    uint64_t id = S().nextHandleId++;
    S().handles[id] = HandleInfo{printerId, access, S().run};
    return NewHandle(ObjectKind::Printer, id);
}

bool RunCommand(Printer* p, DWORD command) {
    switch (command) {
        case PRINTER_CONTROL_PAUSE:
            // A printer pending deletion cannot be held.
            if (p->info.pendingDeletion) {
                SetLastError(ERROR_INVALID_PRINTER_STATE);
                return false;
            }
            p->info.status |= PRINTER_STATUS_PAUSED;
            return true;
        case PRINTER_CONTROL_RESUME:
            p->info.status &= ~static_cast<DWORD>(PRINTER_STATUS_PAUSED);
            return true;
        case PRINTER_CONTROL_PURGE:
            EndJobs(p, 0);
            return true;
        default:
            SetLastError(ERROR_INVALID_PRINTER_COMMAND);
            return false;
    }
}

}  // namespace

extern "C" {

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
    if (pcReturned) *pcReturned = 0;
    if (!Enter("EnumPrintersW", Num(Flags) + u"," + Arg(Name) + u"," + Num(Level))) return FALSE;
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!LocalServer(Name)) return FALSE;
    std::vector<Record> records;
    bool local = (Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME)) != 0;
    bool connections = (Flags & PRINTER_ENUM_CONNECTIONS) != 0;
    for (auto& p : S().printers) {
        bool take = p.info.connection ? connections : local;
        if (Flags & PRINTER_ENUM_DEFAULT) take = take || SameName(p.info.name, S().defaultPrinter);
        if (Flags & PRINTER_ENUM_SHARED) take = take && (p.info.attributes & PRINTER_ATTRIBUTE_SHARED);
        if (take) records.push_back(PrinterRecord(p));
    }
    if (!Pack(records, pPrinterEnum, cbBuf, pcbNeeded)) return FALSE;
    *pcReturned = static_cast<DWORD>(records.size());
    return TRUE;
}

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    std::u16string args = Arg(pPrinterName) + u"," + Num(pDefault ? pDefault->DesiredAccess : 0);
    // A data type or device mode asked for is recorded too; none is the usual case.
    if (pDefault && (pDefault->pDatatype || pDefault->pDevMode))
        args += u"," + Arg(pDefault->pDatatype) + (pDefault->pDevMode ? u",(devmode)" : u",(null)");
    if (phPrinter) *phPrinter = nullptr;
    if (!Enter("OpenPrinterW", args)) return FALSE;
    if (!phPrinter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ACCESS_MASK desired = pDefault ? pDefault->DesiredAccess : 0;
    // Only a null name stands for the server; an empty one names no printer.
    if (!pPrinterName) {
        *phPrinter = NewPrinterHandle(0, desired ? desired : SERVER_ACCESS_ENUMERATE);
        return TRUE;
    }
    Printer* p = FindPrinterByName(pPrinterName);
    if (!p) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    if (pDefault && pDefault->pDatatype && !KnownDatatype(pDefault->pDatatype)) {
        SetLastError(ERROR_INVALID_DATATYPE);
        return FALSE;
    }
    *phPrinter = NewPrinterHandle(p->id, MapPrinterAccess(desired));
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    RecordCall("ClosePrinter", HandleName(hPrinter));
    if (TakeFault("ClosePrinter")) return FALSE;
    uint64_t id = 0;
    if (!LookupHandle(hPrinter, ObjectKind::Printer, &id)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The handle is the caller's and goes away even when the spooler cannot be told, or is a
    // later run that never gave it out.
    auto it = S().handles.find(id);
    bool stale = it == S().handles.end() || it->second.run != S().run;
    ForgetHandle(hPrinter);
    S().handles.erase(id);
    if (!IsServiceRunning(u"spooler")) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if (stale) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(pPrinter);
    std::u16string args = Arg(pName) + u"," + Num(Level);
    if (info && Level == 2) args += u"," + PrinterInfoArgs(*info);
    if (!Enter("AddPrinterW", args)) return nullptr;
    if (!LocalServer(pName)) return nullptr;
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return nullptr;
    }
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!CheckPrinterInfo(*info, nullptr)) return nullptr;
    Printer p{S().nextPrinterId++, SpoolPrinter{}};
    ApplyPrinterInfo(*info, &p.info);
    S().printers.push_back(p);
    return NewPrinterHandle(p.id, PRINTER_ALL_ACCESS);
}

BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
    if (!Enter("DeletePrinter", HandleName(hPrinter))) return FALSE;
    HandleInfo* h = nullptr;
    Printer* p = PrinterOf(hPrinter, &h);
    if (!p) return FALSE;
    if (!(h->access & DELETE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A held printer would never print its jobs, so it is not marked for deletion.
    if (p->info.jobs > 0 && (p->info.status & PRINTER_STATUS_PAUSED)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (p->info.jobs > 0) {
        // Deleted once its last job is gone.
        p->info.pendingDeletion = true;
        return TRUE;
    }
    RemovePrinter(p->id);
    return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    if (!Enter("GetPrinterW", HandleName(hPrinter) + u"," + Num(Level))) return FALSE;
    Printer* p = PrinterOf(hPrinter);
    if (!p) return FALSE;
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!pcbNeeded) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Pack({PrinterRecord(*p)}, pPrinter, cbBuf, pcbNeeded);
}

BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(pPrinter);
    std::u16string args = HandleName(hPrinter) + u"," + Num(Level) + u"," + Num(Command);
    if (info && Level == 2)
        args += u"," + PrinterInfoArgs(*info);
    else if (pPrinter)
        args += u",(data)";
    if (!Enter("SetPrinterW", args)) return FALSE;
    HandleInfo* h = nullptr;
    Printer* p = PrinterOf(hPrinter, &h);
    if (!p) return FALSE;
    if (!(h->access & PRINTER_ACCESS_ADMINISTER)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A command goes with level 0 only; level 1 is not settable; levels 3 to 9 are not modelled.
    if (Level != 0 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (Level == 0) {
        if (Command == 0) {
            SetLastError(ERROR_INVALID_PRINTER_COMMAND);
            return FALSE;
        }
        // Only PRINTER_CONTROL_SET_STATUS takes data.
        if (pPrinter && Command != PRINTER_CONTROL_SET_STATUS) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return RunCommand(p, Command) ? TRUE : FALSE;
    }
    if (Command != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CheckPrinterInfo(*info, p)) return FALSE;
    bool wasDefault = !S().defaultPrinter.empty() && SameName(p->info.name, S().defaultPrinter);
    ApplyPrinterInfo(*info, &p->info);
    // A renamed default printer stays the default.
    if (wasDefault) S().defaultPrinter = p->info.name;
    return TRUE;
}

BOOL WINAPI GetDefaultPrinterW(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
    if (!Enter("GetDefaultPrinterW", pcchBuffer ? Num(*pcchBuffer) : u"(null)")) return FALSE;
    if (!pcchBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string& name = S().defaultPrinter;
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(name.size() + 1);
    if (!pszBuffer || *pcchBuffer < need) {
        *pcchBuffer = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(name.c_str(), name.c_str() + need, pszBuffer);
    *pcchBuffer = need;
    return TRUE;
}

BOOL WINAPI SetDefaultPrinterW(LPCWSTR pszPrinter) {
    if (!Enter("SetDefaultPrinterW", Arg(pszPrinter))) return FALSE;
    if (!pszPrinter || !*pszPrinter) {
        // No name: keep the current default, or pick one of the installed printers.
        if (!S().defaultPrinter.empty()) return TRUE;
        for (auto& p : S().printers) {
            if (p.info.pendingDeletion) continue;
            S().defaultPrinter = p.info.name;
            return TRUE;
        }
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    Printer* p = FindPrinterByName(pszPrinter);
    if (!p) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    S().defaultPrinter = p->info.name;
    return TRUE;
}

}  // extern "C"
