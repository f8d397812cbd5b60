// Helpers for the port monitor, driver, printer and tray tests.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <string_view>
#include <vector>

#include <winsim/spooler.h>

#include "run/install_context.h"
#include "workflows/init_context.h"

namespace qgrtest {

inline constexpr char16_t kSystemDir[] = u"C:\\Windows\\system32\\";
inline constexpr char16_t kMonitorDll[] = u"vmqmon64.dll";
inline constexpr char16_t kSystemMonitorDll[] = u"C:\\Windows\\system32\\vmqmon64.dll";
inline constexpr char16_t kMonitorName[] = u"QuillgraphServer:";
inline constexpr char16_t kDriverName[] = u"Quillgraph Server";
inline constexpr char16_t kTrayExe[] = u"C:\\Program Files\\Quillgraph\\qgrtray.exe";
inline constexpr char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char16_t kSettingsKey[] = u"Software\\Corvane Software KFT\\Quillgraph\\Quillgraphs\\";

// English system texts of the errors the tests provoke.
inline constexpr char16_t kTextFileNotFound[] = u"The system cannot find the file specified.";
inline constexpr char16_t kTextAccessDenied[] = u"Access is denied.";
inline constexpr char16_t kTextProcNotFound[] = u"The specified procedure could not be found.";
inline constexpr char16_t kTextMonitorInUse[] = u"The specified print monitor is currently in use.";
inline constexpr char16_t kTextDriverInUse[] = u"The specified printer driver is currently in use.";
inline constexpr char16_t kTextPrinterExists[] = u"The printer already exists.";
inline constexpr char16_t kTextUnknownPort[] = u"The specified port is unknown.";
inline constexpr char16_t kTextUnknownDriver[] = u"The printer driver is unknown.";
inline constexpr char16_t kTextInvalidPrinterName[] = u"The printer name is invalid.";
inline constexpr char16_t kTextRpcUnavailable[] = u"The RPC server is unavailable.";

// "Error(code): message - (description)" as LogError writes it.
std::u16string ErrorText(int code, std::u16string_view message, std::u16string_view description);

// InitContext with both environments from x64, then the log emptied so that a test sees only
// the lines of the operation under test. Printers must be set up before: it takes the snapshot.
void StartContext(InstallContext& ctx);
// FreeContext, then every heap block must be back.
void EndContext(InstallContext& ctx);

// The product's monitor DLL provides the product's port once registered.
void ProvideProductPort();
// The monitor DLL in the system directory and the monitor registered (as an earlier install left it).
void InstallMonitorDirectly(WORD build = 2430);
// Deletes every registered monitor (the machine starts with "Local Port" and "Standard TCP/IP Port").
void RemoveAllMonitors();
// The product's driver registered for x64, its driver file with that build (0: no version).
void InstallDriverDirectly(WORD build = 2430);
// Another maker's driver "Other Driver" for x64.
void InstallOtherDriver();
// A printer of the product's driver on the given port.
winsim::SpoolPrinter ProductPrinter(std::u16string name, std::u16string port = kMonitorName);

// Key arguments of every recorded call of `api`, in call order.
std::vector<std::u16string> CallArgs(std::string_view api);
// A flag or number as the call record writes it: decimal (access masks of OpenPrinterW, error
// codes) or "0x..." hexadecimal (registry access masks, flags); so expectations name their
// constants: u"P," + Dec(PRINTER_ALL_ACCESS).
std::u16string Dec(uint64_t value);
std::u16string Hex(uint64_t value);

// Lines of `ctx`'s log that start (after the indentation) with `prefix`.
std::vector<std::u16string> LinesStartingWith(const InstallContext& ctx, std::u16string_view prefix);

}  // namespace qgrtest
