// The install journal in HKLM: one value per printer, named by its kind and the printer's name.
#include "services/install_journal.h"

#include "run/owned.h"
#include "run/path_list.h"
#include "run/product.h"
#include "run/text_compare.h"
#include "run/two_call_query.h"

namespace {

const WCHAR kPrinterPrefix[] = TEXT("printer:");
const WCHAR kParkedPrefix[] = TEXT("parked:");
const DWORD kFormat = 1;
// Value names are at most 16383 units.
const DWORD kNameUnits = 16384;

// A printer entry: this header, the SubKey's bytes (padded to whole units), then comment,
// location and share name, each with its terminator; `present` says which of them the printer
// had at all.
struct PrinterHeader {
    DWORD format;
    DWORD attributes;
    DWORD subKeyPlaces;
    DWORD subKeyBytes;
    DWORD present;
};
const DWORD kHasComment = 1;
const DWORD kHasLocation = 2;
const DWORD kHasShareName = 4;

LPCWSTR PrefixOf(JournalKind kind) { return kind == kJournalPrinter ? kPrinterPrefix : kParkedPrefix; }

// prefix + name in a global block, or null.
LPWSTR ValueName(JournalKind kind, LPCWSTR name) {
    int prefix = lstrlenW(PrefixOf(kind));
    int length = lstrlenW(name);
    LPWSTR text = static_cast<LPWSTR>(GlobalAlloc(GPTR, (static_cast<SIZE_T>(prefix) + length + 1) * sizeof(WCHAR)));
    if (text == nullptr) return nullptr;
    lstrcpyW(text, PrefixOf(kind));
    lstrcpyW(text + prefix, name);
    return text;
}

bool WriteValue(JournalKind kind, LPCWSTR name, DWORD type, const BYTE* data, DWORD size) {
    OwnedGlobal<WCHAR> valueName(ValueName(kind, name));
    if (!valueName) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    OwnedKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                     key.put(), nullptr);
    if (status == ERROR_SUCCESS) status = RegSetValueExW(key.get(), valueName.get(), 0, type, data, size);
    // A power cut must not keep the deletion that follows and lose this entry.
    if (status == ERROR_SUCCESS) status = RegFlushKey(key.get());
    if (status != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

int Units(LPCWSTR text) { return text != nullptr ? lstrlenW(text) + 1 : 1; }

void CopyBytes(void* to, const void* from, DWORD count) {
    for (DWORD i = 0; i < count; ++i) static_cast<BYTE*>(to)[i] = static_cast<const BYTE*>(from)[i];
}

// The text after `prefix` when `text` starts with it and goes on; else null.
LPCWSTR AfterPrefix(LPCWSTR text, LPCWSTR prefix) {
    for (; *prefix; ++prefix, ++text)
        if (*text != *prefix) return nullptr;
    return *text != 0 ? text : nullptr;
}

enum Decoded { kNotAnEntry, kEntry, kNoMemory };

WCHAR* PutText(WCHAR* at, LPCWSTR text) {
    if (text != nullptr)
        for (; *text; ++text) *at++ = *text;
    *at++ = 0;
    return at;
}

// The terminated text at `at` (which then points past it), or null when none ends before `end`.
LPWSTR TakeText(LPWSTR& at, LPWSTR end) {
    LPWSTR start = at;
    while (at < end && *at != 0) ++at;
    if (at == end) return nullptr;
    ++at;
    return start;
}

// Fills a printer entry from the value's bytes.
Decoded DecodePrinter(JournalEntry& entry, const BYTE* data, DWORD size) {
    PrinterHeader header;
    if (size < sizeof(header)) return kNotAnEntry;
    CopyBytes(&header, data, sizeof(header));
    DWORD subKeyRoom = (header.subKeyBytes + 1) & ~1UL;
    if (header.format != kFormat || header.subKeyBytes == 0 || header.subKeyBytes > kJournalSubKeyBytes ||
        sizeof(header) + subKeyRoom > size)
        return kNotAnEntry;
    CopyBytes(entry.subKey, data + sizeof(header), header.subKeyBytes);
    entry.subKey[header.subKeyBytes] = 0;
    if (lstrlenA(entry.subKey) != static_cast<int>(header.subKeyBytes)) return kNotAnEntry;
    DWORD textBytes = size - static_cast<DWORD>(sizeof(header)) - subKeyRoom;
    entry.strings = static_cast<LPWSTR>(GlobalAlloc(GPTR, textBytes + sizeof(WCHAR)));
    if (entry.strings == nullptr) return kNoMemory;
    CopyBytes(entry.strings, data + sizeof(header) + subKeyRoom, textBytes);
    LPWSTR at = entry.strings;
    LPWSTR end = entry.strings + textBytes / sizeof(WCHAR);
    LPWSTR comment = TakeText(at, end);
    LPWSTR location = TakeText(at, end);
    LPWSTR shareName = TakeText(at, end);
    if (shareName == nullptr) return kNotAnEntry;
    entry.subKeyPlaces = header.subKeyPlaces;
    entry.record.pPrinterName = entry.name;
    entry.record.pDriverName = const_cast<LPWSTR>(kProductDriverName);
    entry.record.pPortName = const_cast<LPWSTR>(kProductPortName);
    entry.record.pPrintProcessor = const_cast<LPWSTR>(kPrintProcessor);
    entry.record.pComment = (header.present & kHasComment) ? comment : nullptr;
    entry.record.pLocation = (header.present & kHasLocation) ? location : nullptr;
    entry.record.pShareName = (header.present & kHasShareName) ? shareName : nullptr;
    entry.record.Attributes = header.attributes;
    return kEntry;
}

Decoded DecodeParked(JournalEntry& entry, const BYTE* data, DWORD size, DWORD type) {
    DWORD units = size / sizeof(WCHAR);
    if (type != REG_SZ || units < 2) return kNotAnEntry;
    entry.ports = static_cast<LPWSTR>(GlobalAlloc(GPTR, (units + 1) * sizeof(WCHAR)));
    if (entry.ports == nullptr) return kNoMemory;
    CopyBytes(entry.ports, data, units * sizeof(WCHAR));
    return entry.ports[0] != 0 ? kEntry : kNotAnEntry;
}

void FreeEntry(JournalEntry* entry) {
    entry->next = nullptr;
    FreeJournal(entry);
}

// The entry a value stands for, in `entry` when the result is kEntry.
Decoded Decode(LPCWSTR valueName, const BYTE* data, DWORD size, DWORD type, JournalEntry*& entry) {
    entry = nullptr;
    JournalKind kind = kJournalPrinter;
    LPCWSTR printer = AfterPrefix(valueName, kPrinterPrefix);
    if (printer == nullptr) {
        kind = kJournalParked;
        printer = AfterPrefix(valueName, kParkedPrefix);
    }
    if (printer == nullptr || data == nullptr) return kNotAnEntry;
    JournalEntry* decoded = static_cast<JournalEntry*>(GlobalAlloc(GPTR, sizeof(JournalEntry)));
    if (decoded == nullptr) return kNoMemory;
    decoded->kind = kind;
    decoded->name = DuplicateString(printer);
    Decoded result = kNoMemory;
    if (decoded->name != nullptr)
        result = kind == kJournalPrinter ? DecodePrinter(*decoded, data, size) : DecodeParked(*decoded, data, size, type);
    if (result == kEntry)
        entry = decoded;
    else
        FreeEntry(decoded);
    return result;
}

}  // namespace

bool JournalPrinter(const PRINTER_INFO_2W& printer, LPCSTR subKey, DWORD subKeyPlaces) {
    DWORD subKeyBytes = static_cast<DWORD>(lstrlenA(subKey));
    if (subKeyBytes == 0 || subKeyBytes > kJournalSubKeyBytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD subKeyRoom = (subKeyBytes + 1) & ~1UL;
    DWORD textUnits = Units(printer.pComment) + Units(printer.pLocation) + Units(printer.pShareName);
    DWORD size = static_cast<DWORD>(sizeof(PrinterHeader)) + subKeyRoom + textUnits * sizeof(WCHAR);
    OwnedGlobal<BYTE> data(static_cast<BYTE*>(GlobalAlloc(GPTR, size)));
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    PrinterHeader header = {kFormat, printer.Attributes, subKeyPlaces, subKeyBytes,
                            (printer.pComment ? kHasComment : 0) | (printer.pLocation ? kHasLocation : 0) |
                                (printer.pShareName ? kHasShareName : 0)};
    CopyBytes(data.get(), &header, sizeof(header));
    CopyBytes(data.get() + sizeof(header), subKey, subKeyBytes);
    WCHAR* at = reinterpret_cast<WCHAR*>(data.get() + sizeof(header) + subKeyRoom);
    at = PutText(at, printer.pComment);
    at = PutText(at, printer.pLocation);
    PutText(at, printer.pShareName);
    return WriteValue(kJournalPrinter, printer.pPrinterName, REG_BINARY, data.get(), size);
}

bool JournalParked(LPCWSTR name, LPCWSTR ports) {
    DWORD size = static_cast<DWORD>(Units(ports) * sizeof(WCHAR));
    return WriteValue(kJournalParked, name, REG_SZ, reinterpret_cast<const BYTE*>(ports), size);
}

void JournalRemove(JournalKind kind, LPCWSTR name) {
    OwnedGlobal<WCHAR> valueName(ValueName(kind, name));
    OwnedKey key;
    if (!valueName || RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    // Not flushed: an entry that outlives its printer's rebuild only repeats what is done.
    RegDeleteValueW(key.get(), valueName.get());
}

bool ReadJournal(JournalEntry*& entries, int& dropped) {
    entries = nullptr;
    dropped = 0;
    OwnedKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kJournalKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    OwnedGlobal<WCHAR> name(static_cast<LPWSTR>(GlobalAlloc(GPTR, kNameUnits * sizeof(WCHAR))));
    if (!name) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    JournalEntry** tail = &entries;
    for (DWORD index = 0;; ++index) {
        DWORD units = kNameUnits;
        status = RegEnumValueW(key.get(), index, name.get(), &units, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        OwnedGlobal<BYTE> data;
        DWORD size = 0;
        DWORD type = REG_NONE;
        if (status == ERROR_SUCCESS) status = QueryValueTwice(key.get(), name.get(), data, size, &type);
        if (status != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(status));
            FreeJournal(entries);
            entries = nullptr;
            return false;
        }
        JournalEntry* entry = nullptr;
        Decoded decoded = Decode(name.get(), data.get(), size, type, entry);
        if (decoded == kEntry) {
            *tail = entry;
            tail = &entry->next;
        } else if (decoded == kNotAnEntry) {
            // Not an entry this installer wrote: gone, and the enumeration goes on at this index.
            RegDeleteValueW(key.get(), name.get());
            ++dropped;
            --index;
        } else {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            FreeJournal(entries);
            entries = nullptr;
            return false;
        }
    }
}
