// Shared state and helpers of the simulated spooler (spooler_*.cpp).
#pragma once

#include <winsim/core.h>
#include <winsim/spooler.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::spool {

struct Printer {
    uint64_t id;
    SpoolPrinter info;
    uint64_t nextJobEnd = 0;  // virtual time at which the job printing now ends (jobMs > 0)
};

// What a printer handle stands for: a printer, or the print server itself (printerId 0), as
// opened from one run of the spooler (`run`): a restarted spooler knows none of the handles
// the last one gave out.
struct HandleInfo {
    uint64_t printerId;
    ACCESS_MASK access;
    uint64_t run = 0;
};

struct State {
    std::vector<SpoolMonitor> monitors;                          // registration order
    std::map<std::u16string, std::vector<std::u16string>> dllPorts;  // key: upper-cased DLL
    std::map<std::u16string, DWORD> dllLoadErrors;
    std::set<std::u16string> keepLoaded;
    std::map<std::u16string, int> holds;  // DLLs the spooler has loaded, with their hold
    // Monitors (upper-cased) registered while another monitor of the same DLL was: the DLL's
    // ports belong to the monitor that created them, so these own none.
    std::set<std::u16string> portlessMonitors;
    std::vector<SpoolDriver> drivers[2];  // by environment index
    std::vector<Printer> printers;        // creation order
    std::map<uint64_t, HandleInfo> handles;
    uint64_t nextPrinterId = 1;
    uint64_t nextHandleId = 1;
    uint64_t run = 0;  // counts spooler stops; handles of an earlier run are dead
    uint64_t oldDriverFiles = 0;
    std::u16string defaultPrinter;
    bool reportDefault = false;  // the spooler does not set PRINTER_ATTRIBUTE_DEFAULT itself
    bool ansiDataWideSize = false;
};

State& S();

// ---- text -------------------------------------------------------------------
std::u16string Upper(std::u16string_view s);
std::string UpperA(std::string_view s);
bool SameName(std::u16string_view a, std::u16string_view b);
std::u16string Str(LPCWSTR p);  // NULL gives ""
std::optional<std::u16string> OptStr(LPCWSTR p);
std::u16string Arg(LPCWSTR p);  // for the call record: NULL gives "(null)"
std::u16string Arg(LPCSTR p);
std::u16string Num(uint64_t n);
std::vector<std::u16string> SplitList(std::u16string_view list, char16_t sep);
// A double-NUL-terminated list into strings and back (the stored text keeps one NUL between
// entries and one at the end, so that packing adds the final terminator).
std::vector<std::u16string> FromMultiSz(LPCWSTR p);
std::optional<std::u16string> ToMultiSz(const std::vector<std::u16string>& list);

// ---- call entry -------------------------------------------------------------------
// Records the call, then applies an injected fault and the spooler-running check. False means
// the call fails with the last error already set.
bool Enter(std::string_view api, std::u16string_view args);
bool LocalServer(LPCWSTR name);  // NULL or empty; else sets ERROR_INVALID_NAME
// 0 for "Windows x64" (and NULL or ""), 1 for "Windows NT x86"; -1 sets ERROR_INVALID_ENVIRONMENT.
int EnvIndex(LPCWSTR env);
int EnvIndex(std::u16string_view env);
const char16_t* EnvName(int index);
std::u16string DriverDir(int index);
std::u16string SystemDir();

// ---- packed result blocks ------------------------------------------------------
// One record: its fixed part with every string pointer null, and the strings to place with
// the offsets of their pointers. A string that is nullopt leaves its pointer null.
struct Record {
    std::vector<BYTE> fixed;
    std::vector<std::pair<size_t, std::optional<std::u16string>>> strings;
    // Binary members (a device mode), placed after the records, 8-byte aligned.
    std::vector<std::pair<size_t, std::string>> blobs;
};
template <typename T>
Record MakeRecord(const T& value) {
    Record r;
    r.fixed.resize(sizeof(T));
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    r.fixed.assign(p, p + sizeof(T));
    return r;
}
// Packs the records at the start of the buffer and their strings downwards from its end.
// Sets *needed; FALSE with ERROR_INSUFFICIENT_BUFFER when the buffer is missing or small.
BOOL Pack(const std::vector<Record>& records, LPBYTE buffer, DWORD size, LPDWORD needed);

// ---- lookups ------------------------------------------------------------------------
SpoolMonitor* FindMonitor(std::u16string_view name);
std::vector<std::u16string> MonitorPorts(const SpoolMonitor& m);
// Registers a monitor; it owns its DLL's ports unless a registered monitor shares the DLL.
void RegisterMonitor(std::u16string_view name, std::u16string_view dll);
bool PortKnown(std::u16string_view port);
SpoolDriver* FindDriverIn(int env, std::u16string_view name);
Printer* FindPrinterByName(std::u16string_view name);
Printer* FindPrinterById(uint64_t id);
// The printer behind a printer handle; sets ERROR_INVALID_HANDLE (unknown or server handle, or
// a handle from before a spooler restart) or ERROR_INVALID_PRINTER_NAME (printer deleted
// since) and returns null.
Printer* PrinterOf(HANDLE h, HandleInfo** info = nullptr);
// For the call record: the printer's name, "(server)" or "(invalid)"; touches no error.
std::u16string HandleName(HANDLE h);
void RemovePrinter(uint64_t id);
// Ends `count` jobs of a printer (all with count 0); its last job ends a pending deletion.
void EndJobs(Printer* p, DWORD count);
// The device mode a printer gets from its driver when none is given: dmSize + dmDriverExtra
// bytes, named after the printer.
std::string DefaultDevMode(std::u16string_view printer);
// A caller's device mode as stored (its dmSize + dmDriverExtra bytes); false (and
// ERROR_INVALID_PARAMETER) when dmSize is too small for the members up to dmFields.
bool ReadDevMode(const DEVMODEW* dm, std::string* bytes);
DWORD ReportedAttributes(const Printer& p);

// ---- printer data -------------------------------------------------------------------------
// String values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are stored as UTF-16; the ANSI calls
// see them in code page 1252, one byte per unit. Other types are stored as given.
std::string StoredForm(DWORD type, const std::string& ansiBytes);
std::string AnsiView(const PrinterValue& value);

// ---- monitor DLLs ----------------------------------------------------------------------
std::u16string MonitorDllPath(std::u16string_view dll);
void LoadMonitorDll(std::u16string_view dll);
void UnloadMonitorDll(std::u16string_view dll);
void ReleaseAllHolds();
void LoadRegisteredMonitors();

void ResetSpooler();

}  // namespace winsim::spool
