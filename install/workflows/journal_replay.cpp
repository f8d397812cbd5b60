// Replaying the install journal at the start of an install or uninstall run.
#include "workflows/journal_replay.h"

#include "monitor/monitor_enum.h"
#include "monitor/port_parking.h"
#include "printers/printer_enumeration.h"
#include "run/install_context.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "services/install_journal.h"

namespace {

PRINTER_INFO_2W* FindInSnapshot(InstallContext& ctx, LPCWSTR name) {
    for (DWORD i = 0; ctx.printerEnum.printers != nullptr && i < ctx.printerEnum.printerCount; ++i)
        if (SameText(ctx.printerEnum.printers[i].pPrinterName, name)) return &ctx.printerEnum.printers[i];
    return nullptr;
}

void ReplayPrinter(InstallContext& ctx, JournalEntry& entry, PRINTER_INFO_2W* found) {
    if (found == nullptr) {
        OwnedGlobal<SavedPrinter> saved(static_cast<SavedPrinter*>(GlobalAlloc(GPTR, sizeof(SavedPrinter))));
        OwnedGlobal<CHAR> subKey(saved ? static_cast<LPSTR>(GlobalAlloc(GPTR, lstrlenA(entry.subKey) + 1)) : nullptr);
        if (!subKey) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            LogError(ctx, kErrJournal, "Can't add printer '%s' again from the install journal", entry.name);
            return;
        }
        lstrcpyA(subKey.get(), entry.subKey);
        saved.get()->subKey = subKey.release();
        saved.get()->printer = &entry.record;
        saved.get()->subKeyPlaces = entry.subKeyPlaces;
        saved.get()->next = ctx.savedSettings;
        ctx.savedSettings = saved.release();
        LogPrint(ctx, "Printer %s is added again from the install journal", entry.name);
        return;
    }
    if (!IsProductPrinter(*found) || IsPrinterConnection(*found)) {
        JournalRemove(kJournalPrinter, entry.name);
        LogPrint(ctx, "Printer %s is no printer of the product now: its journal entry is dropped", entry.name);
        return;
    }
    // Added again bare before the run was stopped: the journal still has its settings.
    found->pComment = entry.record.pComment;
    found->pLocation = entry.record.pLocation;
    found->pShareName = entry.record.pShareName;
    found->Attributes |= entry.record.Attributes & (PRINTER_ATTRIBUTE_DEFAULT | PRINTER_ATTRIBUTE_SHARED);
    LogPrint(ctx, "Printer %s gets its settings from the install journal", entry.name);
}

// The port list as the parking left it: the product's port replaced by "file:".
bool ParkedForm(LPCWSTR ports, LPWSTR out) {
    lstrcpyW(out, ports);
    PRINTER_INFO_2W record = {};
    record.pPortName = out;
    return ParkPortName(record);
}

void ReplayParked(InstallContext& ctx, JournalEntry& entry, PRINTER_INFO_2W* found) {
    if (found == nullptr) {
        JournalRemove(kJournalParked, entry.name);
        LogPrint(ctx, "Printer %s no longer exists: its journal entry is dropped", entry.name);
        return;
    }
    // The entry's block holds the list before the parking; the record gets it, in its parked
    // form, so that moving it back can grow it in place.
    OwnedGlobal<WCHAR> parked(static_cast<LPWSTR>(GlobalAlloc(GPTR, (lstrlenW(entry.ports) + 1) * sizeof(WCHAR))));
    if (!parked) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LogError(ctx, kErrJournal, "Can't move printer '%s' back from the install journal", entry.name);
        return;
    }
    // Changed since by someone else: theirs to keep.
    if (!ParkedForm(entry.ports, parked.get()) || !SameText(found->pPortName, parked.get())) {
        JournalRemove(kJournalParked, entry.name);
        LogPrint(ctx, "Printer %s has other ports now: its journal entry is dropped", entry.name);
        return;
    }
    lstrcpyW(entry.ports, parked.get());
    found->pPortName = entry.ports;
    LogPrint(ctx, "Printer %s was left on the port file: and is moved back", entry.name);
    if (ProductMonitorRegistered(ctx)) {
        RestorePortName(*found);
        PortUpdate result = UpdatePrinterPort(ctx, *found);
        if (result != kPortRefused) {
            JournalRemove(kJournalParked, entry.name);
            return;
        }
        ParkPortName(*found);
    }
    // Without the product's port yet: the run moves it back once the port is there, or, when the
    // product goes, leaves it its own ports.
    if (!AddParkedPrinter(ctx, found)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LogError(ctx, kErrJournal, "Can't move printer '%s' back from the install journal", entry.name);
    }
}

}  // namespace

void ReplayJournal(InstallContext& ctx) {
    JournalEntry* entries = nullptr;
    int dropped = 0;
    if (!ReadJournal(entries, dropped)) {
        LogError(ctx, kErrJournal, "Can't read the install journal");
        return;
    }
    if (dropped > 0) LogPrint(ctx, "%d unreadable entries of the install journal dropped", dropped);
    ctx.journal = entries;
    for (JournalEntry* entry = entries; entry != nullptr; entry = entry->next) {
        PRINTER_INFO_2W* found = FindInSnapshot(ctx, entry->name);
        if (entry->kind == kJournalParked) {
            ReplayParked(ctx, *entry, found);
        } else if (ctx.reinstallMode) {
            ReplayPrinter(ctx, *entry, found);
        } else {
            JournalRemove(kJournalPrinter, entry->name);
            LogPrint(ctx, "Printer %s of the install journal is not added again: the product is removed",
                     entry->name);
        }
    }
}
