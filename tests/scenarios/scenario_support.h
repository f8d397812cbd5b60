// Whole runs through the entry routine on the simulated machine: the machine a run meets, the
// product as an earlier run left it, and what a test reads back afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace qgrtest {

inline constexpr char16_t kSystemDirSlash[] = u"C:\\Windows\\system32\\";
inline constexpr char16_t kMonitorDll[] = u"C:\\Windows\\system32\\vmqmon64.dll";
inline constexpr char16_t kDriverDirX64Slash[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\x64\\";
inline constexpr char16_t kDriverDirX86Slash[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\";
inline constexpr char16_t kTrayExe[] = u"C:\\Program Files\\Quillgraph\\qgrtray.exe";
inline constexpr char kTrayMutex[] = "{6E2D41B7-9C3A-4F85-B1D0-7A5E92C3F416}";
inline constexpr char16_t kTrayWindowClass[] = u"qgs::{D83A5C19-2E7F-4B60-9A14-C5F0E7B2318D}";
inline constexpr char16_t kRunKey[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char16_t kTrayValue[] = u"QuillgraphTray";
inline constexpr char16_t kSettingsKey[] = u"Software\\Corvane Software KFT\\Quillgraph\\Quillgraphs";
inline constexpr char16_t kJournalKeyPath[] = u"SOFTWARE\\Corvane Software KFT\\Quillgraph\\InstallJournal";
inline constexpr char16_t kProductDriver[] = u"Quillgraph Server";
inline constexpr char16_t kProductPort[] = u"QuillgraphServer:";

// The healthy machine plus what a whole run meets: the monitor DLL provides the product's
// port, the tray application is a known program beside the installer's folder, and the
// registry has the Session Manager and Run keys.
void SetUpScenarioMachine();

// Runs the entry routine on the command line `"<module path>" <arguments>` (arguments may be
// empty) and returns its exit code.
int RunInstaller(std::u16string_view arguments);

// The product as an earlier install left it: monitor DLL in the system directory and
// registered, the driver in both environments, the autostart value, the tray running.
void SetUpInstalledProduct();
// One product printer with its "SubKey" in both places and its settings key marked deleted.
void AddInstalledPrinter(std::u16string_view name, std::string_view subKey, std::u16string_view comment = u"",
                         std::u16string_view location = u"");

// PendingFileRenameOperations as raw UTF-16 strings (an empty destination is an empty string).
void SetPendingRenames(const std::vector<std::u16string>& strings);

// The log shown by the last dialog (the dialog shows the run's whole log).
std::u16string LastDialogLog();
std::u16string LastDialogTitle();
size_t DialogCount();

// Expected log lines of the start of every run (context built on a healthy machine).
std::vector<std::pair<int, std::u16string>> ContextStartLines();
// The two driver-directory lines of an environment at `indent`.
std::vector<std::pair<int, std::u16string>> DriverDirLines(int indent, bool x64);

// Runs the tray application as the product started it.
DWORD StartTray();
bool TrayRunning();

}  // namespace qgrtest
