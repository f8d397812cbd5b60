// Moving printers between the product's port and "file:" while the monitor is replaced.
#include "monitor/port_parking.h"

#include "run/install_context.h"
#include "run/owned.h"
#include "services/install_journal.h"

namespace {

const int kFilePortLength = 5;      // "file:"
const int kProductPortLength = 17;  // "QuillgraphServer:"

// First occurrence of `needle` in `text` (case-sensitive), or null.
LPWSTR FindText(LPWSTR text, LPCWSTR needle) {
    if (text == nullptr) return nullptr;
    for (; *text; ++text) {
        int i = 0;
        while (needle[i] != 0 && text[i] == needle[i]) ++i;
        if (needle[i] == 0) return text;
    }
    return nullptr;
}

}  // namespace

bool UsesProductPort(const PRINTER_INFO_2W& printer) { return FindText(printer.pPortName, kProductPortName) != nullptr; }

bool ParkPortName(PRINTER_INFO_2W& printer) {
    LPWSTR at = FindText(printer.pPortName, kProductPortName);
    if (at == nullptr) return false;
    for (int i = 0; i < kFilePortLength; ++i) at[i] = kFilePortName[i];
    at[kFilePortLength] = 0;
    LPWSTR rest = at + kProductPortLength;
    int i = 0;
    do {
        at[kFilePortLength + i] = rest[i];
    } while (rest[i++] != 0);
    return true;
}

namespace {

// A "file:" that is a whole entry of the port list, or null.
LPWSTR FindFilePortEntry(LPWSTR list) {
    for (LPWSTR at = FindText(list, kFilePortName); at != nullptr; at = FindText(at + 1, kFilePortName)) {
        WCHAR after = at[kFilePortLength];
        if ((at == list || at[-1] == TEXT(',')) && (after == 0 || after == TEXT(','))) return at;
    }
    return nullptr;
}

}  // namespace

// The storage is the one the parking shrank, so the grown string has its former length. The
// parking left "file:" as a whole entry; a "file:" inside another port's name is not it.
bool RestorePortName(PRINTER_INFO_2W& printer) {
    LPWSTR at = FindFilePortEntry(printer.pPortName);
    if (at == nullptr) at = FindText(printer.pPortName, kFilePortName);
    if (at == nullptr) return false;
    int restLength = lstrlenW(at + kFilePortLength);
    for (int i = restLength; i >= 0; --i) at[kProductPortLength + i] = at[kFilePortLength + i];
    for (int i = 0; i < kProductPortLength; ++i) at[i] = kProductPortName[i];
    return true;
}

PortUpdate UpdatePrinterPort(InstallContext& ctx, PRINTER_INFO_2W& printer) {
    OwnedPrinter handle = OpenPrinterHandle(printer.pPrinterName, PRINTER_ALL_ACCESS);
    if (!handle) {
        LogPrint(ctx, "Can't open printer %s", printer.pPrinterName);
        return GetLastError() == ERROR_INVALID_PRINTER_NAME ? kPrinterGone : kPortRefused;
    }
    if (SetPrinterW(handle.get(), 2, reinterpret_cast<LPBYTE>(&printer), 0)) {
        LogPrint(ctx, "SetPrinter(%s) - ok", printer.pPrinterName);
        return kPortUpdated;
    }
    LogPrint(ctx, "SetPrinter(%s) - failed", printer.pPrinterName);
    return kPortRefused;
}

namespace {

// Hands the record over, a second time if the first is refused; a printer that is still there
// and stays on "file:" prints to a file from now on, which is an error.
PortUpdate UpdateOrName(InstallContext& ctx, PRINTER_INFO_2W& printer) {
    PortUpdate result = UpdatePrinterPort(ctx, printer);
    if (result == kPortRefused) result = UpdatePrinterPort(ctx, printer);
    if (result == kPortRefused)
        LogError(ctx, kErrLeftOnFilePort, "Printer %s is left on the port file:", printer.pPrinterName);
    // Back, or gone with the run's other deletions: nothing left to put back.
    if (result != kPortRefused) JournalRemove(kJournalParked, printer.pPrinterName);
    return result;
}

}  // namespace

bool AddParkedPrinter(InstallContext& ctx, PRINTER_INFO_2W* printer) {
    DWORD existing = 0;
    while (ctx.portPrinters != nullptr && ctx.portPrinters[existing] != nullptr) ++existing;
    PRINTER_INFO_2W** list =
        static_cast<PRINTER_INFO_2W**>(GlobalAlloc(GPTR, (static_cast<SIZE_T>(existing) + 2) * sizeof(PRINTER_INFO_2W*)));
    if (list == nullptr) return false;
    for (DWORD i = 0; i < existing; ++i) list[i] = ctx.portPrinters[i];
    list[existing] = printer;
    if (ctx.portPrinters != nullptr) GlobalFree(ctx.portPrinters);
    ctx.portPrinters = list;
    return true;
}

void DropParkedFilePorts(InstallContext& ctx) {
    if (ctx.portPrinters == nullptr) return;
    for (PRINTER_INFO_2W** entry = ctx.portPrinters; *entry != nullptr; ++entry) {
        PRINTER_INFO_2W& printer = **entry;
        LPWSTR list = printer.pPortName;
        LPWSTR at = FindFilePortEntry(list);
        if (at == nullptr || (at == list && at[kFilePortLength] == 0)) {
            // Its only port is gone: "file:" is where it stays.
            JournalRemove(kJournalParked, printer.pPrinterName);
            continue;
        }
        if (at[kFilePortLength] == TEXT(',')) {
            LPWSTR rest = at + kFilePortLength + 1;
            int i = 0;
            do {
                at[i] = rest[i];
            } while (rest[i++] != 0);
        } else {
            at[-1] = 0;  // the last entry goes with the comma before it
        }
        UpdateOrName(ctx, printer);
    }
    GlobalFree(ctx.portPrinters);
    ctx.portPrinters = nullptr;
}

void RestoreParkedPrinters(InstallContext& ctx) {
    if (ctx.portPrinters == nullptr) return;
    for (PRINTER_INFO_2W** entry = ctx.portPrinters; *entry != nullptr; ++entry) {
        PRINTER_INFO_2W& printer = **entry;
        if (RestorePortName(printer)) UpdateOrName(ctx, printer);
    }
    // Moved back once: a second pass would look for "file:" where there is none.
    GlobalFree(ctx.portPrinters);
    ctx.portPrinters = nullptr;
}
