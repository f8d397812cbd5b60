// The platform's reboot-time file operations (PendingFileRenameOperations), read-only.
#include "services/pending_files.h"

#include "run/owned.h"
#include "run/two_call_query.h"
#include "services/file_copy.h"

namespace {

LPCSTR const kSessionManagerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
LPCWSTR const kPendingValue = TEXT("PendingFileRenameOperations");

// Units of the string at `position`, stopping at its terminator or at the end of the data.
DWORD MeasureString(const WCHAR* data, DWORD units, DWORD position) {
    DWORD end = position;
    while (end < units && data[end] != 0) ++end;
    return end - position;
}

LPWSTR CopyUnits(const WCHAR* text, DWORD length) {
    LPWSTR copy = static_cast<LPWSTR>(GlobalAlloc(GPTR, (static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR)));
    if (copy == nullptr) return nullptr;
    for (DWORD i = 0; i < length; ++i) copy[i] = text[i];
    return copy;
}

}  // namespace

LPCWSTR StripNtPrefix(LPCWSTR path) {
    if (path != nullptr && path[0] == TEXT('\\') && path[1] == TEXT('?') && path[2] == TEXT('?') &&
        path[3] == TEXT('\\'))
        return path + 4;
    return path;
}

DWORD ReadPendingRenameValue(BYTE** raw, HKEY key) {
    OwnedKey owned(key);
    OwnedGlobal<BYTE> block;
    DWORD size = 0;
    QueryValueTwice(owned.get(), kPendingValue, block, size, nullptr);
    *raw = block.release();
    return *raw != nullptr ? size : 0;
}

void ReadPendingRenames(PendingRenameTable& table) {
    table.paths = nullptr;
    table.isFile = nullptr;
    table.pairCount = 0;

    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    BYTE* bytes = nullptr;
    DWORD size = ReadPendingRenameValue(&bytes, key);
    OwnedGlobal<BYTE> raw(bytes);
    if (!raw) return;

    const WCHAR* data = reinterpret_cast<const WCHAR*>(raw.get());
    DWORD units = size / sizeof(WCHAR);
    // Characters before the final terminator; a value of 0 or 1 bytes has none.
    DWORD limit = size >= 2 ? (size - 2) / 2 : 0;

    DWORD strings = 0;
    for (DWORD position = 0; position < limit; ++strings)
        position += MeasureString(data, units, position) + 1;

    DWORD pairs = strings / 2;
    if (pairs == 0 || pairs > 0x3FFFFFFF) return;
    OwnedGlobal<LPWSTR> paths(static_cast<LPWSTR*>(GlobalAlloc(GPTR, 2 * pairs * sizeof(LPWSTR))));
    OwnedGlobal<int> isFile(static_cast<int*>(GlobalAlloc(GPTR, 2 * pairs * sizeof(int))));
    if (!paths || !isFile) return;
    table.paths = paths.release();
    table.isFile = isFile.release();
    table.pairCount = static_cast<int>(pairs);

    DWORD index = 0;
    bool complete = true;
    for (DWORD position = 0; position < limit && index < 2 * pairs; ++index) {
        DWORD length = MeasureString(data, units, position);
        if (length > 0) {
            table.paths[index] = CopyUnits(data + position, length);
            if (table.paths[index] == nullptr) complete = false;
            table.isFile[index] = table.paths[index] != nullptr && IsExistingFile(StripNtPrefix(table.paths[index])) ? 1 : 0;
        }
        position += length + 1;
    }
    raw.reset();
    // A destination that could not be copied would read as empty, turning a rename into a
    // deletion: a table with a gap is no table at all.
    if (!complete) FreePendingRenames(table);
}

namespace {

// "X:\...": any other form (\??\UNC\..., a device) would reach DeleteFileW as a path relative to
// the current directory.
bool IsLocalFullPath(LPCWSTR path) {
    bool drive = (path[0] >= TEXT('A') && path[0] <= TEXT('Z')) || (path[0] >= TEXT('a') && path[0] <= TEXT('z'));
    return drive && path[1] == TEXT(':') && path[2] == TEXT('\\');
}

}  // namespace

void DeleteScheduledFilesNow(PendingRenameTable& table) {
    for (int pair = 0; pair < table.pairCount; ++pair) {
        int source = 2 * pair;
        if (table.isFile[source] == 1 && table.paths[source] != nullptr && table.paths[source + 1] == nullptr) {
            LPCWSTR path = StripNtPrefix(table.paths[source]);
            if (IsLocalFullPath(path) && DeleteFileW(path)) table.isFile[source] = 0;
        }
    }
}

void FreePendingRenames(PendingRenameTable& table) {
    if (table.paths != nullptr) {
        for (int i = 0; i < 2 * table.pairCount; ++i)
            if (table.paths[i] != nullptr) GlobalFree(table.paths[i]);
        GlobalFree(table.paths);
    }
    if (table.isFile != nullptr) GlobalFree(table.isFile);
    table.paths = nullptr;
    table.isFile = nullptr;
    table.pairCount = 0;
}
