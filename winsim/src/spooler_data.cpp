// Printer data: GetPrinterDataA/SetPrinterDataA (the "PrinterDriverData" key) and the keyed
// GetPrinterDataExA/SetPrinterDataExA. These return their error instead of setting it. The
// spooler keeps string values in UTF-16; the ANSI calls convert on the way in and out.
#include "spooler_internal.h"

#include <cstring>

#include "kernel_internal.h"

using namespace winsim;
using namespace winsim::spool;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Common entry: record, fault, spooler check, handle. Returns 0 and the printer, or the error.
DWORD EnterData(std::string_view api, HANDLE h, std::u16string_view args, Printer** printer,
                ACCESS_MASK needed) {
    if (!Enter(api, HandleName(h) + u"," + std::u16string(args))) return GetLastError();
    HandleInfo* info = nullptr;
    *printer = PrinterOf(h, &info);
    if (!*printer) return GetLastError();
    if (needed && !(info->access & needed)) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

DWORD GetData(Printer* p, LPCSTR key, LPCSTR value, LPDWORD pType, LPBYTE pData, DWORD nSize, LPDWORD pcbNeeded) {
    if (!value || !pcbNeeded) return ERROR_INVALID_PARAMETER;
    auto k = p->info.data.find(UpperA(key));
    if (k == p->info.data.end()) return ERROR_FILE_NOT_FOUND;
    auto v = k->second.find(UpperA(value));
    if (v == k->second.end()) return ERROR_FILE_NOT_FOUND;
    const PrinterValue& val = v->second;
    if (pType) *pType = val.type;
    std::string bytes = AnsiView(val);
    // The size the ANSI read asks for a string is not documented: the converted size, or the
    // stored UTF-16 size when a test says so.
    size_t needed = IsStringType(val.type) && S().ansiDataWideSize ? val.bytes.size() : bytes.size();
    *pcbNeeded = static_cast<DWORD>(needed);
    if (!pData || nSize < needed) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(pData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

DWORD SetData(Printer* p, LPCSTR key, LPCSTR value, DWORD type, LPBYTE pData, DWORD cbData) {
    if (!value || (cbData && !pData)) return ERROR_INVALID_PARAMETER;
    std::string bytes = StoredForm(type, std::string(reinterpret_cast<const char*>(pData), pData ? cbData : 0));
    auto& values = p->info.data[UpperA(key)];
    auto it = values.find(UpperA(value));
    // A value keeps the spelling of its name from when it was created.
    std::string name = it == values.end() ? std::string(value) : it->second.name;
    values[UpperA(value)] = PrinterValue{name, type, std::move(bytes)};
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI GetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, LPDWORD pType, LPBYTE pData, DWORD nSize,
                             LPDWORD pcbNeeded) {
    Printer* p = nullptr;
    DWORD err = EnterData("GetPrinterDataA", hPrinter, Arg(pValueName) + u"," + Num(nSize), &p, 0);
    if (err) return err;
    return GetData(p, kPrinterDriverDataKey, pValueName, pType, pData, nSize, pcbNeeded);
}

DWORD WINAPI SetPrinterDataA(HANDLE hPrinter, LPSTR pValueName, DWORD Type, LPBYTE pData, DWORD cbData) {
    Printer* p = nullptr;
    DWORD err = EnterData("SetPrinterDataA", hPrinter, Arg(pValueName) + u"," + Num(Type) + u"," + Num(cbData), &p,
                          PRINTER_ACCESS_ADMINISTER);
    if (err) return err;
    return SetData(p, kPrinterDriverDataKey, pValueName, Type, pData, cbData);
}

DWORD WINAPI GetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, LPDWORD pType, LPBYTE pData,
                               DWORD nSize, LPDWORD pcbNeeded) {
    Printer* p = nullptr;
    DWORD err = EnterData("GetPrinterDataExA", hPrinter,
                          Arg(pKeyName) + u"," + Arg(pValueName) + u"," + Num(nSize), &p, 0);
    if (err) return err;
    if (!pKeyName || !*pKeyName) return ERROR_INVALID_PARAMETER;
    return GetData(p, pKeyName, pValueName, pType, pData, nSize, pcbNeeded);
}

DWORD WINAPI SetPrinterDataExA(HANDLE hPrinter, LPCSTR pKeyName, LPCSTR pValueName, DWORD Type, LPBYTE pData,
                               DWORD cbData) {
    Printer* p = nullptr;
    DWORD err = EnterData("SetPrinterDataExA", hPrinter,
                          Arg(pKeyName) + u"," + Arg(pValueName) + u"," + Num(Type) + u"," + Num(cbData), &p,
                          PRINTER_ACCESS_ADMINISTER);
    if (err) return err;
    if (!pKeyName || !*pKeyName) return ERROR_INVALID_PARAMETER;
    return SetData(p, pKeyName, pValueName, Type, pData, cbData);
}

}  // extern "C"
