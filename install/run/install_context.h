// The run's record: directories, current spooler environment, flags, log and the lists
// that operations hand to each other.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_log.h"
#include "run/path_list.h"
#include "run/product.h"

// The printer snapshot: one global-heap block of level-2 records.
struct PrinterEnumeration {
    PRINTER_INFO_2W* printers;
    DWORD printerCount;
};

// A connection to a printer of another machine: the run never saves, deletes, purges or
// re-ports it, since every such change would land on that machine.
bool IsPrinterConnection(const PRINTER_INFO_2W& printer);

// One printer whose settings are carried across a reinstall; `printer` points into the snapshot.
struct SavedPrinter {
    LPSTR subKey;
    PRINTER_INFO_2W* printer;
    DWORD subKeyPlaces;  // where the SubKey was read: plain 1, under "DsUser" 2
    SavedPrinter* next;
};

enum JournalKind { kJournalPrinter = 1, kJournalParked = 2 };
// The longest SubKey, terminator excluded.
const DWORD kJournalSubKeyBytes = 63;

// One entry of the install journal, as the run read it.
struct JournalEntry {
    JournalKind kind;
    LPWSTR name;
    // A product printer: the record to add it again from (name, comment, location, share name,
    // attributes, the product's driver), and its SubKey.
    PRINTER_INFO_2W record;
    CHAR subKey[kJournalSubKeyBytes + 1];
    DWORD subKeyPlaces;
    // A parked printer: its port list before the parking, in a block that the replay may edit.
    LPWSTR ports;
    LPWSTR strings;  // the record's texts
    JournalEntry* next;
};
void FreeJournal(JournalEntry* entries);
// The entry of that kind and printer name in the list, or null.
JournalEntry* FindJournalEntry(JournalEntry* entries, JournalKind kind, LPCWSTR name);

struct InstallContext {
    TextBuffer moduleDir;
    TextBuffer systemDir;
    TextBuffer log;
    TextBuffer driverDir;
    LPCWSTR environment;
    LPCWSTR monitorFile;
    LPCWSTR driverFile;
    LPCWSTR helpFile;
    LPCWSTR uiFile;
    BYTE isX64;
    BYTE reinstallMode;
    BYTE installMonitor;
    BYTE copyMonitor;
    LONG errorCount;
    LONG logIndent;
    BYTE bothEnvironments;
    PathList pendingDeletes;
    SavedPrinter* savedSettings;
    PrinterEnumeration printerEnum;
    PRINTER_INFO_2W** portPrinters;
    // The journal entries the run found at its start; records of savedSettings may point here.
    JournalEntry* journal;
    // 0, or why the snapshot could not tell the default printer.
    DWORD defaultPrinterError;
};

// Init flags.
const DWORD kInitBothEnvironments = 1;
const DWORD kInitStartX64 = 2;

// The module instance handle the entry routine received.
extern HINSTANCE g_moduleInstance;

// The installer's own directory (separator kept) into moduleDir, or a plain line; the system
// directory with a trailing backslash into systemDir, or error 7.
void ReadModuleDir(InstallContext& ctx);
void ReadSystemDir(InstallContext& ctx);
// Switches the context to an environment: its file names and its driver directory (logged; error
// 6 when the spooler does not tell it).
void SelectEnvironment(InstallContext& ctx, bool x64);
// `step` in the other environment, then the first one again. A function, not a guard: the switch
// back writes the log and asks the spooler, work that belongs in the run's order of calls, not in
// whatever unwinds a scope.
template <typename Step>
void InOtherEnvironment(InstallContext& ctx, Step step) {
    SelectEnvironment(ctx, !ctx.isX64);
    step();
    SelectEnvironment(ctx, !ctx.isX64);
}
void FreePrinterEnumeration(PrinterEnumeration& printers);
// Releases the entries and their SubKey copies, not the snapshot records they point to.
void FreeSavedSettings(SavedPrinter* entry);
// Empties every field: no texts, lists or snapshot, indent and error count 0.
void ClearContext(InstallContext& ctx);
// Releases everything the context owns; the context may then be built again.
void FreeContext(InstallContext& ctx);
