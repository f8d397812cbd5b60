// Test-side control of the simulated print spooler: port monitors and their ports, printer
// drivers per environment, printers with their data and queued jobs, the default printer.
// Names of monitors, drivers, printers, ports and printer data compare ignoring the case of A-Z,
// as the spooler does; the stored spelling is the one first given.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

inline constexpr char16_t kEnvX64[] = u"Windows x64";
inline constexpr char16_t kEnvX86[] = u"Windows NT x86";
inline constexpr char16_t kDriverDirX64[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64";
inline constexpr char16_t kDriverDirX86[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86";
// Key that the plain GetPrinterDataA / SetPrinterDataA calls use.
inline constexpr char kPrinterDriverDataKey[] = "PrinterDriverData";

struct SpoolMonitor {
    std::u16string name;
    std::u16string dll;  // bare file name, loaded from the system directory
};

struct SpoolDriver {
    std::u16string name;
    std::u16string environment = kEnvX64;
    DWORD version = 3;
    // Full paths of the installed files (in <driver dir>\3 when added through the API).
    std::u16string driverPath, dataFile, configFile, helpFile;
    std::vector<std::u16string> dependentFiles;
    std::u16string monitorName, defaultDataType;
    std::vector<std::u16string> previousNames;
    FILETIME driverDate{};
    DWORDLONG driverVersion = 0;
    std::u16string mfgName, oemUrl, hardwareId, provider;
};

struct PrinterValue {
    std::string name;  // as first written
    DWORD type = REG_NONE;
    std::string bytes;  // as written; string types as UTF-16 (the ANSI calls convert)
};

struct SpoolPrinter {
    std::u16string name;
    std::optional<std::u16string> shareName;
    std::u16string portName;  // may list several ports separated by commas
    std::u16string driverName;
    std::optional<std::u16string> comment, location, sepFile, parameters;
    std::u16string printProcessor = u"WinPrint";
    std::u16string datatype = u"RAW";
    DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;  // never holds PRINTER_ATTRIBUTE_DEFAULT
    DWORD priority = 1, defaultPriority = 0, startTime = 0, untilTime = 0;
    DWORD status = 0;
    DWORD jobs = 0;                // cJobs
    // Each job takes this long to print on the virtual clock while the spooler runs and the
    // printer is not paused; 0: jobs stay until ClearJobs or a purge.
    DWORD jobMs = 0;
    // Deleted while jobs were queued: listed (with PRINTER_STATUS_PENDING_DELETION) and still
    // using its driver and ports until its last job ends or the spooler stops.
    bool pendingDeletion = false;
    // The printer's device mode: dmSize + dmDriverExtra bytes of a DEVMODEW. Empty when added
    // through AddTestPrinter means the driver's default, which is filled in then.
    std::string devMode;
    // A connection to another machine's shared printer ("\\server\share"): reported only with
    // PRINTER_ENUM_CONNECTIONS; its handle reaches that machine's printer, whose port and driver
    // are the server's and hold nothing of this machine's.
    bool connection = false;
    // Printer data: key (upper-cased) -> value name (upper-cased) -> value. The plain calls use
    // kPrinterDriverDataKey.
    std::map<std::string, std::map<std::string, PrinterValue>> data;
};

// ---- monitors and ports ---------------------------------------------------
// Registers a monitor without the checks of AddMonitorW (no DLL needed). While the spooler runs
// its DLL is held as loaded, provided the file is in the system directory at that moment (so
// write the DLL first).
void AddTestMonitor(std::u16string_view name, std::u16string_view dll);
std::vector<SpoolMonitor> Monitors();
bool MonitorExists(std::u16string_view name);
// Ports that a monitor DLL provides once its monitor is registered (by default none). The ports
// belong to the first registered monitor of that DLL; another monitor sharing the DLL owns none
// and can be deleted while they are in use.
void SetMonitorDllPorts(std::u16string_view dll, std::vector<std::u16string> ports);
// AddMonitorW fails with this error for that DLL (e.g. ERROR_PROC_NOT_FOUND); 0 clears it.
void SetMonitorDllLoadError(std::u16string_view dll, DWORD error);
// After DeleteMonitorW the spooler keeps the DLL loaded (held) until it stops.
void KeepMonitorDllLoaded(std::u16string_view dll, bool keep = true);
// Every port that exists now ("FILE:" always).
std::vector<std::u16string> Ports();
bool PortExists(std::u16string_view port);
// True while the spooler has that DLL (system directory) loaded.
bool SpoolerHoldsDll(std::u16string_view dll);

// ---- drivers ----------------------------------------------------------------
// Adds or replaces a driver record as given (no files copied, no checks).
void AddTestDriver(const SpoolDriver& driver);
std::vector<SpoolDriver> Drivers(std::u16string_view environment = kEnvX64);
std::optional<SpoolDriver> FindDriver(std::u16string_view name, std::u16string_view environment = kEnvX64);
// The driver directory of an environment (no "3").
std::u16string DriverDirectory(std::u16string_view environment);

// ---- printers -----------------------------------------------------------------
// Adds a printer as given (no checks; an existing one of that name is replaced).
void AddTestPrinter(const SpoolPrinter& printer);
// A connection to `printer` as shared by `server`: named "\\server\<share or name>", network
// attribute instead of local.
void AddTestConnection(std::u16string_view server, SpoolPrinter printer);
std::vector<SpoolPrinter> Printers();  // creation order, pending deletions included
std::optional<SpoolPrinter> FindPrinter(std::u16string_view name);
bool PrinterExists(std::u16string_view name);
// Direct writes of printer data (no access check); key empty = the plain data. The bytes are
// those an ANSI caller writes: string types are stored converted to UTF-16.
void SetTestPrinterData(std::u16string_view printer, std::string_view key, std::string_view value, DWORD type,
                        std::string bytes);
// Reads a value as the ANSI calls see it, and optionally as stored; false when printer, key or
// value is missing. key empty = the plain data.
bool GetTestPrinterData(std::u16string_view printer, std::string_view key, std::string_view value, DWORD* type,
                        std::string* bytes, std::string* stored = nullptr);
// Queues `count` more jobs; with msEach > 0 each takes that long to print on the virtual clock
// (sets the printer's jobMs). Its last job ending, by the clock or ClearJobs, ends a pending
// deletion; a spooler stop deletes pending printers with their jobs.
void AddJobs(std::u16string_view printer, DWORD count, DWORD msEach = 0);
void ClearJobs(std::u16string_view printer);

// ---- default printer ----------------------------------------------------------
std::u16string DefaultPrinter();  // empty: none
void SetTestDefaultPrinter(std::u16string_view name);  // no checks; empty clears
// Whether GetPrinterW/EnumPrintersW report PRINTER_ATTRIBUTE_DEFAULT on the default printer.
// Off by default: the default printer is found through GetDefaultPrinterW; a test can turn it
// on to see a caller that also trusts the attribute.
void ReportDefaultAttribute(bool on);

// ---- printer data ---------------------------------------------------------------
// How many bytes GetPrinterDataA/ExA ask for a string value of n characters is not documented.
// Off (the default): n + 1, the size of the converted text. On: 2 x (n + 1), the size of the
// stored UTF-16, as a spooler may answer.
void AnsiPrinterDataAsksWideSize(bool on);

}  // namespace winsim
