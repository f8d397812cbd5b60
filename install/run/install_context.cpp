// The run's context: its directories, environment switch and release.
#include "run/install_context.h"

#include <winspool.h>

#include "run/text_compare.h"
#include "run/two_call_query.h"

HINSTANCE g_moduleInstance = nullptr;

namespace {

// Longest path Windows can hand back, plus its terminator.
const DWORD kLongestPathUnits = 32768;

struct EnvironmentNames {
    LPCWSTR environment;
    LPCWSTR monitorFile;
    LPCWSTR driverFile;
    LPCWSTR uiFile;
};

const EnvironmentNames kX64Names = {kEnvironmentX64, TEXT("vmqmon64.dll"), TEXT("vmqdrv64.dll"),
                                    TEXT("vmqui64.dll")};
const EnvironmentNames kX86Names = {kEnvironmentX86, TEXT("vmqmon32.dll"), TEXT("vmqdrv32.dll"),
                                    TEXT("vmqui32.dll")};

// Room for the reported bytes, rounded up to whole units, and one more character.
SIZE_T DirectoryRoom(DWORD needed) { return ((static_cast<SIZE_T>(needed) + 1) / sizeof(WCHAR) + 1) * sizeof(WCHAR); }

bool EndsWithBackslash(LPCWSTR text) {
    int length = lstrlenW(text);
    return length > 0 && text[length - 1] == TEXT('\\');
}

}  // namespace

// The module's own directory, separator kept. The path is read into a buffer that holds
// the longest Windows path, so a deep install location is never cut to a wrong directory.
void ReadModuleDir(InstallContext& ctx) {
    TextBuffer path = nullptr;
    Resize(path, kLongestPathUnits - 1);
    if (path == nullptr) {
        LogPrint(ctx, "Can`t retrieve installer directory.");
        return;
    }
    DWORD length = GetModuleFileNameW(g_moduleInstance, path->text, kLongestPathUnits);
    if (length == 0 || length >= kLongestPathUnits) {
        FreeText(path);
        LogPrint(ctx, "Can`t retrieve installer directory.");
        return;
    }
    DWORD keep = 0;
    for (DWORD i = 0; i < length; ++i) {
        WCHAR c = path->text[i];
        if (c == TEXT('\\') || c == TEXT('/') || c == TEXT(':')) keep = i + 1;
    }
    Resize(path, keep);
    ctx.moduleDir = path;
}

void ReadSystemDir(InstallContext& ctx) {
    WCHAR buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    TextBuffer longer = nullptr;
    LPCWSTR directory = buffer;
    if (length >= MAX_PATH) {
        // Too small: the result is the size needed, terminator included.
        UINT needed = length;
        Resize(longer, needed);
        if (longer == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            length = 0;
        } else {
            length = GetSystemDirectoryW(longer->text, needed);
            if (length >= needed) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                length = 0;
            }
            directory = longer->text;
        }
    }
    if (length == 0) {
        LogError(ctx, kErrSystemDirectory, "Can`t retrieve system directory.");
    } else {
        Assign(ctx.systemDir, directory);
        // Without its backslash a file name would run into the directory's last name.
        if (TextLength(ctx.systemDir) == 0 || (!EndsWithBackslash(directory) && !Append(ctx.systemDir, TEXT("\\")))) {
            FreeText(ctx.systemDir);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            LogError(ctx, kErrSystemDirectory, "Can`t retrieve system directory.");
        }
    }
    FreeText(longer);
}

void SelectEnvironment(InstallContext& ctx, bool x64) {
    const EnvironmentNames& names = x64 ? kX64Names : kX86Names;
    ctx.isX64 = x64 ? 1 : 0;
    ctx.environment = names.environment;
    ctx.monitorFile = names.monitorFile;
    ctx.driverFile = names.driverFile;
    ctx.uiFile = names.uiFile;
    ctx.helpFile = kHelpFileName;

    QueryAnswer answer;
    QueryCall call = [](void* environment, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        return GetPrinterDriverDirectoryW(nullptr, static_cast<LPWSTR>(environment), 1, buffer, size, needed);
    };
    QueryResult result = QueryTwice(answer, call, const_cast<LPWSTR>(ctx.environment), DirectoryRoom);
    if (result != QueryResult::Filled) {
        LogError(ctx, kErrDriverDirectory, "Can`t retrieve printer driver directory.");
        return;
    }
    LPWSTR directory = reinterpret_cast<LPWSTR>(answer.block.get());
    SIZE_T units = answer.blockBytes / sizeof(WCHAR);
    // The spare unit stays a zero even if the spooler left no terminator.
    directory[units - 1] = 0;
    LogPrint(ctx, "PrinterDriverDirectory(1):%s", directory);
    int length = lstrlenW(directory);
    if (length > 0 && directory[length - 1] != TEXT('\\') && static_cast<SIZE_T>(length) + 2 <= units) {
        directory[length] = TEXT('\\');
        directory[length + 1] = 0;
    }
    LogPrint(ctx, "PrinterDriverDirectory(2):%s", directory);
    Assign(ctx.driverDir, directory);
}

bool IsPrinterConnection(const PRINTER_INFO_2W& printer) {
    LPCWSTR name = printer.pPrinterName;
    bool remoteName = name != nullptr && name[0] == TEXT('\\') && name[1] == TEXT('\\');
    return (printer.Attributes & PRINTER_ATTRIBUTE_NETWORK) != 0 || remoteName;
}

void FreeSavedSettings(SavedPrinter* entry) {
    // The records the entries point to belong to the printer snapshot and stay.
    while (entry != nullptr) {
        SavedPrinter* next = entry->next;
        if (entry->subKey != nullptr) GlobalFree(entry->subKey);
        GlobalFree(entry);
        entry = next;
    }
}

void FreePrinterEnumeration(PrinterEnumeration& printers) {
    if (printers.printers != nullptr) GlobalFree(printers.printers);
    printers.printers = nullptr;
    printers.printerCount = 0;
}

void ClearContext(InstallContext& ctx) { ctx = InstallContext{}; }

void FreeJournal(JournalEntry* entries) {
    while (entries != nullptr) {
        JournalEntry* next = entries->next;
        if (entries->name) GlobalFree(entries->name);
        if (entries->strings) GlobalFree(entries->strings);
        if (entries->ports) GlobalFree(entries->ports);
        GlobalFree(entries);
        entries = next;
    }
}

JournalEntry* FindJournalEntry(JournalEntry* entries, JournalKind kind, LPCWSTR name) {
    for (JournalEntry* entry = entries; entry != nullptr; entry = entry->next)
        if (entry->kind == kind && SameText(entry->name, name)) return entry;
    return nullptr;
}

void FreeContext(InstallContext& ctx) {
    if (ctx.portPrinters != nullptr) GlobalFree(ctx.portPrinters);
    ctx.portPrinters = nullptr;
    FreePrinterEnumeration(ctx.printerEnum);
    FreeSavedSettings(ctx.savedSettings);
    ctx.savedSettings = nullptr;
    FreeJournal(ctx.journal);
    ctx.journal = nullptr;
    PathListFree(ctx.pendingDeletes);
    ctx.pendingDeletes = nullptr;
    FreeText(ctx.driverDir);
    FreeText(ctx.log);
    FreeText(ctx.systemDir);
    FreeText(ctx.moduleDir);
}
