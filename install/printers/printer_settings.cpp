// Carrying the product printers' SubKey, comment, location, default and sharing over a reinstall.
#include "printers/printer_settings.h"

#include "run/install_context.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "printers/printer_enumeration.h"
#include "printers/printer_queues.h"
#include "services/install_journal.h"

namespace {

const DWORD kSubKeyBytes = 64;
// The most a spooler may ask for a SubKey that fits kSubKeyBytes as ANSI: two bytes a character.
const DWORD kWideSubKeyBytes = 2 * kSubKeyBytes;
const int kAnsiBufferBytes = 260;
const CHAR kSubKeyValue[] = "SubKey";
const CHAR kDsUserKey[] = "DsUser";
const CHAR kSettingsKey[] = "Software\\Corvane Software KFT\\Quillgraph";
const CHAR kPrinterKeyPrefix[] = "Quillgraphs\\";
const CHAR kDeletedValue[] = "deleted";
const WCHAR kFallbackPrinter[] = TEXT("qgrServer");

void ZeroBytes(CHAR* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i) bytes[i] = 0;
}

// Usable only as a REG_SZ that ends inside the bytes read.
bool IsTerminatedString(DWORD status, DWORD type, const CHAR* data) {
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    for (DWORD i = 0; i < kSubKeyBytes; ++i) {
        if (data[i] == 0) return true;
    }
    return false;
}

DWORD QuerySubKey(HANDLE printer, LPCSTR key, DWORD* type, CHAR* data, DWORD size, DWORD* needed) {
    LPBYTE bytes = reinterpret_cast<LPBYTE>(data);
    if (key == nullptr) return GetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), type, bytes, size, needed);
    return GetPrinterDataExA(printer, key, kSubKeyValue, type, bytes, size, needed);
}

// A read that tells the value is not there to be kept: none, not a text, or too long.
bool MeansAbsent(DWORD status) {
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA;
}

// One SubKey value (plain when `key` is null) into the 64-byte `output`: 1 when read, 0 when
// there is none to keep, -1 (the last error set) when the read failed. A spooler may ask for room
// for a wide text (two bytes a character) although it hands back ANSI: the value is then read
// again with that room and kept if its text fits 64 bytes.
int ReadSubKeyFrom(HANDLE printer, LPCSTR key, LPSTR output) {
    DWORD type = 0;
    DWORD needed = 0;
    ZeroBytes(output, kSubKeyBytes);
    DWORD status = QuerySubKey(printer, key, &type, output, kSubKeyBytes, &needed);
    if (IsTerminatedString(status, type, output)) return 1;
    if (status == ERROR_MORE_DATA && needed <= kWideSubKeyBytes) {
        CHAR wider[kWideSubKeyBytes];
        ZeroBytes(wider, kWideSubKeyBytes);
        type = 0;
        status = QuerySubKey(printer, key, &type, wider, needed, &needed);
        ZeroBytes(output, kSubKeyBytes);
        if (IsTerminatedString(status, type, wider)) {
            for (DWORD i = 0; i < kSubKeyBytes; ++i) output[i] = wider[i];
            return 1;
        }
    }
    ZeroBytes(output, kSubKeyBytes);
    if (MeansAbsent(status)) return 0;
    SetLastError(status);
    return -1;
}

bool HasText(LPCWSTR text) { return text != nullptr && text[0] != 0; }

bool ShareUnder(HANDLE printer, PRINTER_INFO_2W& record, LPWSTR shareName) {
    record.Attributes |= PRINTER_ATTRIBUTE_SHARED;
    record.pShareName = shareName;
    return SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&record), 0) != FALSE;
}

// The first failure of a run of steps, kept for the error line that follows them.
struct FirstFailure {
    DWORD error = 0;
    bool failed = false;
    void Check(bool ok) {
        if (ok || failed) return;
        failed = true;
        error = GetLastError();
    }
};

// Every setting back on the printer just added; false, with the last error of the first step that
// failed, when any of them is missing.
bool RestoreOne(InstallContext& ctx, HANDLE printer, const SavedPrinter& saved) {
    const PRINTER_INFO_2W& old = *saved.printer;
    FirstFailure failure;
    bool subKeyWritten = WriteSubKey(printer, saved.subKey);
    failure.Check(subKeyWritten);
    if (subKeyWritten) {
        CHAR path[kAnsiBufferBytes];
        ZeroBytes(path, sizeof(path));
        lstrcpyA(path, kPrinterKeyPrefix);
        LPSTR value = path + lstrlenA(kPrinterKeyPrefix);
        ReadSubKey(printer, value);
        if (value[0] != 0) ClearDeletedMark(path);
    }
    PrinterInfo current;
    OwnedGlobal<PRINTER_INFO_2W> owned(QueryPrinterInfo(current, printer).info);
    failure.Check(static_cast<bool>(owned));
    if (owned) {
        PRINTER_INFO_2W& record = *owned.get();
        record.pComment = old.pComment;
        record.pLocation = old.pLocation;
        failure.Check(SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&record), 0) != FALSE);
        if ((old.Attributes & PRINTER_ATTRIBUTE_DEFAULT) != 0 && SameText(old.pDriverName, kProductDriverName))
            failure.Check(SetDefaultPrinterW(record.pPrinterName) != FALSE);
        // An empty share name is no share name: sharing under it would fail.
        if (ctx.bothEnvironments)
            failure.Check(ShareUnder(printer, record, HasText(old.pShareName) ? old.pShareName : old.pPrinterName));
    }
    SetLastError(failure.error);
    return !failure.failed;
}

}  // namespace

int ReadSubKey(HANDLE printer, LPSTR output) {
    int plain = ReadSubKeyFrom(printer, nullptr, output);
    if (plain != 0) return plain > 0 ? static_cast<int>(kSubKeyPlain) : -1;
    int dsUser = ReadSubKeyFrom(printer, kDsUserKey, output);
    if (dsUser != 0) return dsUser > 0 ? static_cast<int>(kSubKeyDsUser) : -1;
    return 0;
}

bool WriteSubKey(HANDLE printer, LPCSTR value) {
    DWORD size = static_cast<DWORD>(lstrlenA(value)) + 1;
    LPBYTE data = reinterpret_cast<LPBYTE>(const_cast<LPSTR>(value));
    DWORD plain = SetPrinterDataA(printer, const_cast<LPSTR>(kSubKeyValue), REG_SZ, data, size);
    DWORD dsUser = SetPrinterDataExA(printer, kDsUserKey, kSubKeyValue, REG_SZ, data, size);
    SetLastError(plain != ERROR_SUCCESS ? plain : dsUser);
    return plain == ERROR_SUCCESS && dsUser == ERROR_SUCCESS;
}

bool ClearDeletedMark(LPCSTR path) {
    CHAR keyPath[2 * kAnsiBufferBytes];
    if (path == nullptr || lstrlenA(kSettingsKey) + 1 + lstrlenA(path) >= static_cast<int>(sizeof(keyPath)))
        return false;
    lstrcpyA(keyPath, kSettingsKey);
    lstrcatA(keyPath, "\\");
    lstrcatA(keyPath, path);
    OwnedKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return false;
    return RegDeleteValueA(key.get(), kDeletedValue) == ERROR_SUCCESS;
}

bool SavePrinterSettings(InstallContext& ctx, PRINTER_INFO_2W* printer) {
    // A null name would open the print server itself.
    if (printer == nullptr || printer->pPrinterName == nullptr) return true;
    OwnedPrinter handle = OpenPrinterHandle(printer->pPrinterName);
    if (!handle) return false;
    CHAR value[kAnsiBufferBytes];
    ZeroBytes(value, sizeof(value));
    // A failed read is not "no SubKey": the printer would be deleted for nothing to restore.
    int places = ReadSubKey(handle.get(), value);
    if (places < 0) return false;
    // A printer the journal restored without its settings takes its SubKey from there.
    JournalEntry* journalled = FindJournalEntry(ctx.journal, kJournalPrinter, printer->pPrinterName);
    if (value[0] == 0 && journalled != nullptr) {
        lstrcpyA(value, journalled->subKey);
        places = static_cast<int>(journalled->subKeyPlaces);
    }
    if (value[0] == 0) return true;
    OwnedGlobal<SavedPrinter> entry(static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter))));
    OwnedGlobal<CHAR> copy(entry ? static_cast<LPSTR>(GlobalAlloc(GPTR, lstrlenA(value) + 1)) : nullptr);
    if (!copy) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));  // the caller's error line says why nothing was kept
        return false;
    }
    lstrcpyA(copy.get(), value);
    entry.get()->subKey = copy.release();
    entry.get()->printer = printer;
    entry.get()->subKeyPlaces = static_cast<DWORD>(places);
    entry.get()->next = ctx.savedSettings;
    ctx.savedSettings = entry.release();
    return true;
}

void DeleteAllPrinters(InstallContext& ctx) {
    LogSection section(ctx, ">DeleteAllPrinters");
    for (DWORD i = 0; ctx.printerEnum.printers != nullptr && i < ctx.printerEnum.printerCount; ++i) {
        PRINTER_INFO_2W* printer = &ctx.printerEnum.printers[i];
        if (!IsProductPrinter(*printer)) continue;
        if (IsPrinterConnection(*printer)) {
            LogPrint(ctx, "Printer connection %s is left alone", printer->pPrinterName);
            continue;
        }
        // A reinstall adds the printer again only from what was saved: one whose settings could
        // not be saved stays as it is rather than being lost.
        // Which printer is the default is one of the settings too.
        if (ctx.reinstallMode && ctx.defaultPrinterError != 0) {
            SetLastError(ctx.defaultPrinterError);
            LogError(ctx, kErrDeletePrinter, "Can`t delete printer '%s': its settings could not be saved",
                     printer->pPrinterName);
            continue;
        }
        if (!SavePrinterSettings(ctx, printer) && ctx.reinstallMode) {
            LogError(ctx, kErrDeletePrinter, "Can`t delete printer '%s': its settings could not be saved",
                     printer->pPrinterName);
            continue;
        }
        // What is saved lives in this run's memory only: the journal keeps it for the next run
        // should this one be stopped before the printer is back.
        SavedPrinter* saved = ctx.savedSettings;
        if (ctx.reinstallMode && saved != nullptr && saved->printer == printer &&
            !JournalPrinter(*printer, saved->subKey, saved->subKeyPlaces)) {
            LogError(ctx, kErrJournal, "Can't write the install journal: printer '%s' is kept as it is",
                     printer->pPrinterName);
            ctx.savedSettings = saved->next;
            saved->next = nullptr;
            FreeSavedSettings(saved);
            continue;
        }
        DeleteProductPrinter(ctx, printer->pPrinterName);
    }
}

void RestorePrinterSettings(InstallContext& ctx) {
    int restored = 0;
    for (SavedPrinter* saved = ctx.savedSettings; saved != nullptr; saved = saved->next) {
        OwnedPrinter printer(AddProductPrinter(ctx, saved->printer->pPrinterName));
        if (!printer) continue;
        // Settings that did not all go back stay in the journal for the next run.
        if (RestoreOne(ctx, printer.get(), *saved))
            JournalRemove(kJournalPrinter, saved->printer->pPrinterName);
        else
            LogError(ctx, kErrRestoreSettings, "Can't restore all settings of printer '%s'",
                     saved->printer->pPrinterName);
        restored += 1;
    }
    if (restored != 0) return;
    OwnedPrinter printer(AddProductPrinter(ctx, kFallbackPrinter));
    if (!printer || !ctx.bothEnvironments) return;
    PrinterInfo current;
    OwnedGlobal<PRINTER_INFO_2W> owned(QueryPrinterInfo(current, printer.get()).info);
    if (!owned) return;
    PRINTER_INFO_2W& record = *owned.get();
    ShareUnder(printer.get(), record,
               HasText(record.pShareName) ? record.pShareName : const_cast<LPWSTR>(kFallbackPrinter));
}
