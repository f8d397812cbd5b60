// Releasing the list of saved printer settings.
#include "printers/printer_settings.h"

void FreeSavedSettings(SavedPrinter* entry) {
    // The records the entries point to belong to the printer snapshot and stay.
    while (entry != nullptr) {
        SavedPrinter* next = entry->next;
        if (entry->subKey != nullptr) GlobalFree(entry->subKey);
        GlobalFree(entry);
        entry = next;
    }
}
