// The product check behind "verify": every part a complete install leaves, read without
// changing anything, without a log and without waiting.
#include "workflows/product_check.h"

#include <windows.h>
#include <winspool.h>

#include <cstdarg>

#include "monitor/monitor_enum.h"
#include "monitor/monitor_removal.h"
#include "monitor/port_parking.h"
#include "printers/printer_driver.h"
#include "printers/printer_enumeration.h"
#include "run/install_context.h"
#include "services/install_journal.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "services/pending_files.h"
#include "tray/tray_app.h"

namespace {

// What a run destroys and has not rebuilt yet; an entry left means an unfinished run.

// The lines found so far; counted apart from the text, which may fail to grow.
struct Findings {
    TextBuffer& text;
    int count;
};

void NoteMissing(Findings& missing, LPCSTR format, ...) {
    WCHAR line[kMaxLogLine + 1];
    va_list args;
    va_start(args, format);
    FormatTextV(line, kMaxLogLine + 1, format, args);
    va_end(args);
    Append(missing.text, line);
    Append(missing.text, TEXT("\r\n"));
    ++missing.count;
}

bool FileExists(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A reboot-time operation deletes or moves the file away.
bool ScheduledToGo(LPCWSTR path) {
    PendingRenameTable table;
    ReadPendingRenames(table);
    bool scheduled = false;
    for (int pair = 0; pair < table.pairCount && !scheduled; ++pair) {
        LPCWSTR source = table.paths[2 * pair];
        scheduled = source != nullptr && SameTextIgnoringAsciiCase(StripNtPrefix(source), path);
    }
    FreePendingRenames(table);
    return scheduled;
}

// The enumeration writes its failures into a log; `scratch` is one that nobody reads.
void CheckMonitor(InstallContext& scratch, Findings& missing) {
    MonitorEnum monitors;
    EnumerateMonitors(monitors, scratch);
    int index = FindProductMonitor(monitors);
    LPCWSTR dll = index >= 0 ? reinterpret_cast<const MONITOR_INFO_2W*>(monitors.monitors)[index].pDLLName : nullptr;
    if (index < 0) {
        NoteMissing(missing, "Monitor %s not registered", kProductMonitorName);
    } else if (dll == nullptr || *dll == 0) {
        NoteMissing(missing, "Monitor %s names no DLL", kProductMonitorName);
    } else if (scratch.systemDir == nullptr) {
        NoteMissing(missing, "System directory unreadable");
    } else {
        TextBuffer path = CopyText(scratch.systemDir);
        Append(path, FileNamePart(dll));
        int build = ReadFileBuild(TextOf(path));
        if (!FileExists(TextOf(path)))
            NoteMissing(missing, "%s missing", TextOf(path));
        else if (!IsCompatibleMonitorBuild(build))
            NoteMissing(missing, "%s: build %d, not %d-%d", TextOf(path), build,
                        kOldestCompatibleMonitorBuild, BuildNumber);
        if (ScheduledToGo(TextOf(path)))
            NoteMissing(missing, "%s: goes at the next reboot", TextOf(path));
        FreeText(path);
    }
    ReleaseMonitors(monitors);
}

void CheckDriver(LPCWSTR environment, Findings& missing) {
    DriverEnum drivers;
    EnumerateDrivers(drivers, environment);
    int index = FindProductDriver(drivers);
    if (index < 0) {
        NoteMissing(missing, "Driver %s (%s) not installed", kProductDriverName, environment);
    } else {
        LPCWSTR file = reinterpret_cast<const DRIVER_INFO_6W*>(drivers.drivers)[index].pDriverPath;
        int build = file != nullptr ? ReadFileBuild(file) : -1;
        if (build != BuildNumber)
            NoteMissing(missing, "Driver %s (%s): build %d, not %d", kProductDriverName, environment, build,
                        BuildNumber);
    }
    ReleaseDrivers(drivers);
}

// A connection is another machine's printer, and one pending deletion is already gone.
void CheckPrinters(Findings& missing) {
    PrinterEnumeration printers = {nullptr, 0};
    EnumeratePrinters(printers);
    OwnedGlobal<PRINTER_INFO_2W> snapshot(printers.printers);
    for (DWORD i = 0; printers.printers != nullptr && i < printers.printerCount; ++i) {
        const PRINTER_INFO_2W& printer = printers.printers[i];
        if (IsProductPrinter(printer) && !IsPrinterConnection(printer) && UsesProductPort(printer) &&
            (printer.Status & PRINTER_STATUS_PENDING_DELETION) == 0)
            return;
    }
    NoteMissing(missing, "No product printer on %s", kProductPortName);
}

void CheckTray(const InstallContext& scratch, Findings& missing) {
    if (scratch.moduleDir == nullptr) {
        NoteMissing(missing, "Installer directory unreadable");
        return;
    }
    TextBuffer tray = TrayPath(scratch.moduleDir);
    TextBuffer registered = ReadTrayAutostart();
    if (registered == nullptr)
        NoteMissing(missing, "Run value %s missing", kTrayAutostartValue);
    else if (!SameTextIgnoringAsciiCase(TextOf(registered), TextOf(tray)))
        NoteMissing(missing, "Run value %s names %s, not %s", kTrayAutostartValue, TextOf(registered),
                    TextOf(tray));
    if (!FileExists(TextOf(tray))) NoteMissing(missing, "%s missing", TextOf(tray));
    FreeText(registered);
    FreeText(tray);
}

void CheckJournal(Findings& missing) {
    OwnedKey journal;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_QUERY_VALUE, journal.put());
    if (status == ERROR_FILE_NOT_FOUND) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    if (status == ERROR_SUCCESS)
        status = RegQueryInfoKeyW(journal.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        NoteMissing(missing, "Install journal unreadable (%d)", static_cast<int>(status));
    else if (subkeys != 0 || values != 0)
        NoteMissing(missing, "Install journal: %u entries left", subkeys + values);
}

}  // namespace

bool CheckProductWhole(TextBuffer& text) {
    InstallContext scratch;
    ClearContext(scratch);
    ReadModuleDir(scratch);
    ReadSystemDir(scratch);
    Findings missing = {text, 0};
    CheckMonitor(scratch, missing);
    CheckDriver(kEnvironmentX64, missing);
    CheckDriver(kEnvironmentX86, missing);
    CheckPrinters(missing);
    CheckTray(scratch, missing);
    CheckJournal(missing);
    FreeContext(scratch);
    return missing.count == 0;
}
