// The printer snapshot, single-printer queries and the product-printer test.
#include "printers/printer_enumeration.h"

#include "run/install_context.h"
#include "run/text_compare.h"

namespace {

const DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
const DWORD kDefaultNameUnits = 255;
// The first two-call pass and three more.
const int kEnumPasses = 4;

}  // namespace

bool IsProductPrinter(const PRINTER_INFO_2W& printer) { return SameText(printer.pDriverName, kProductDriverName); }

void EnumeratePrinters(PrinterEnumeration& printers) {
    FreePrinterEnumeration(printers);
    // A printer added between the size query and the second call makes that call fail with
    // 122; ask again rather than work on an empty snapshot.
    for (int pass = 0; pass < kEnumPasses; ++pass) {
        DWORD needed = 0;
        DWORD count = 0;
        if (EnumPrintersW(kEnumFlags, nullptr, 2, nullptr, 0, &needed, &count)) return;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return;
        void* block = GlobalAlloc(GPTR, static_cast<SIZE_T>(needed) + 32);
        if (block == nullptr) {
            SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
            return;
        }
        printers.printers = static_cast<PRINTER_INFO_2W*>(block);
        count = 0;
        if (EnumPrintersW(kEnumFlags, nullptr, 2, static_cast<LPBYTE>(block), needed, &needed, &count)) {
            printers.printerCount = count;
            return;
        }
        DWORD error = GetLastError();
        FreePrinterEnumeration(printers);
        SetLastError(error);
        if (error != ERROR_INSUFFICIENT_BUFFER) return;
    }
}

PrinterInfo& QueryPrinterInfo(PrinterInfo& holder, HANDLE printer) {
    holder.info = nullptr;
    holder.size = 0;
    if (GetPrinterW(printer, 2, nullptr, 0, &holder.size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return holder;
    void* block = GlobalAlloc(GPTR, holder.size);
    if (block == nullptr) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return holder;
    }
    if (!GetPrinterW(printer, 2, static_cast<LPBYTE>(block), holder.size, &holder.size)) {
        DWORD saved = GetLastError();
        GlobalFree(block);
        SetLastError(saved);
        return holder;
    }
    holder.info = static_cast<PRINTER_INFO_2W*>(block);
    return holder;
}

void SnapshotPrinters(InstallContext& ctx) {
    EnumeratePrinters(ctx.printerEnum);
    WCHAR name[kDefaultNameUnits] = {};
    DWORD capacity = kDefaultNameUnits;
    if (!GetDefaultPrinterW(name, &capacity)) return;
    name[kDefaultNameUnits - 1] = 0;
    for (DWORD i = 0; i < ctx.printerEnum.printerCount; ++i) {
        PRINTER_INFO_2W& record = ctx.printerEnum.printers[i];
        if (SameText(record.pPrinterName, name)) record.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
}
