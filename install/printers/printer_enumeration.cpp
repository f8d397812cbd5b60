// The printer snapshot, single-printer queries and the product-printer test.
#include "printers/printer_enumeration.h"

#include "run/install_context.h"
#include "run/text_compare.h"
#include "run/two_call_query.h"

namespace {

const DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
const DWORD kDefaultNameUnits = 255;
// The first two-call pass and three more.
const int kEnumPasses = 4;

SIZE_T RoomWithSpare(DWORD needed) { return static_cast<SIZE_T>(needed) + 32; }

}  // namespace

bool IsProductPrinter(const PRINTER_INFO_2W& printer) { return SameText(printer.pDriverName, kProductDriverName); }

void EnumeratePrinters(PrinterEnumeration& printers) {
    FreePrinterEnumeration(printers);
    DWORD count = 0;
    QueryAnswer answer;
    // A printer added between the size query and the second call makes that call fail with
    // 122; ask again rather than work on an empty snapshot.
    QueryCall call = [](void* count, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        *static_cast<DWORD*>(count) = 0;
        return EnumPrintersW(kEnumFlags, nullptr, 2, buffer, size, needed, static_cast<DWORD*>(count));
    };
    QueryResult result = QueryTwice(answer, call, &count, RoomWithSpare, kEnumPasses);
    if (result != QueryResult::Filled) return;
    printers.printers = reinterpret_cast<PRINTER_INFO_2W*>(answer.block.release());
    printers.printerCount = count;
}

PrinterInfo& QueryPrinterInfo(PrinterInfo& holder, HANDLE printer) {
    holder.info = nullptr;
    QueryAnswer answer;
    QueryCall call = [](void* handle, LPBYTE buffer, DWORD size, DWORD* needed) -> BOOL {
        return GetPrinterW(handle, 2, buffer, size, needed);
    };
    QueryResult result = QueryTwice(answer, call, printer);
    holder.size = answer.needed;
    if (result == QueryResult::Filled) holder.info = reinterpret_cast<PRINTER_INFO_2W*>(answer.block.release());
    return holder;
}

void SnapshotPrinters(InstallContext& ctx) {
    EnumeratePrinters(ctx.printerEnum);
    WCHAR name[kDefaultNameUnits] = {};
    DWORD capacity = kDefaultNameUnits;
    if (!GetDefaultPrinterW(name, &capacity)) {
        // "None" is an answer; anything else leaves the default unknown.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ctx.defaultPrinterError = GetLastError();
        return;
    }
    name[kDefaultNameUnits - 1] = 0;
    for (DWORD i = 0; i < ctx.printerEnum.printerCount; ++i) {
        PRINTER_INFO_2W& record = ctx.printerEnum.printers[i];
        if (SameText(record.pPrinterName, name)) record.Attributes |= PRINTER_ATTRIBUTE_DEFAULT;
    }
}
