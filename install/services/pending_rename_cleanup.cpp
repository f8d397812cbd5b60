// Cancelling the platform's reboot-time deletion of a file that the run has just put back.
#include <windows.h>

#include "run/text_compare.h"
#include "services/pending_files.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// End of the zero-terminated string at `start`, or `units` when it has no terminator.
DWORD StringEnd(const WCHAR* data, DWORD start, DWORD units) {
    DWORD end = start;
    while (end < units && data[end] != 0) ++end;
    return end;
}

void CopyBytes(BYTE* to, const BYTE* from, DWORD count) {
    for (DWORD i = 0; i < count; ++i) to[i] = from[i];
}

bool OnlyZeros(const BYTE* bytes, DWORD size) {
    for (DWORD i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// Copies `raw` to `out` without the deletion pairs of `path`; returns how many were left out.
// The scan stops at an empty source (the end of the operations) or at a string without a
// terminator; whatever follows is kept as it is.
int FilterDeletions(const BYTE* raw, DWORD size, LPCWSTR path, BYTE* out, DWORD& outSize) {
    const WCHAR* data = reinterpret_cast<const WCHAR*>(raw);
    const DWORD units = size / sizeof(WCHAR);
    int removed = 0;
    outSize = 0;
    DWORD pos = 0;
    while (pos < units) {
        DWORD sourceEnd = StringEnd(data, pos, units);
        if (sourceEnd == pos || sourceEnd == units) break;
        DWORD destinationStart = sourceEnd + 1;
        DWORD destinationEnd = StringEnd(data, destinationStart, units);
        if (destinationEnd == units) break;
        DWORD next = destinationEnd + 1;
        if (destinationEnd == destinationStart && SameTextIgnoringAsciiCase(StripNtPrefix(data + pos), path)) {
            ++removed;
        } else {
            CopyBytes(out + outSize, raw + pos * sizeof(WCHAR), (next - pos) * sizeof(WCHAR));
            outSize += (next - pos) * sizeof(WCHAR);
        }
        pos = next;
    }
    CopyBytes(out + outSize, raw + pos * sizeof(WCHAR), size - pos * sizeof(WCHAR));
    outSize += size - pos * sizeof(WCHAR);
    return removed;
}

}  // namespace

int RemoveScheduledDeletesOf(LPCWSTR path) {
    if (!path || path[0] == 0) return 0;
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) return -1;

    int result = 0;
    DWORD type = 0;
    DWORD size = 0;
    status = RegQueryValueExW(key, TEXT("PendingFileRenameOperations"), NULL, &type, NULL, &size);
    if (status == ERROR_SUCCESS && size != 0) {
        BYTE* raw = static_cast<BYTE*>(GlobalAlloc(GPTR, size));
        BYTE* filtered = static_cast<BYTE*>(GlobalAlloc(GPTR, size));
        DWORD readSize = size;
        if (!raw || !filtered) {
            result = -1;
        } else if (RegQueryValueExW(key, TEXT("PendingFileRenameOperations"), NULL, &type, raw, &readSize) !=
                   ERROR_SUCCESS) {
            result = -1;  // changed under us or unreadable: leave it alone
        } else {
            DWORD filteredSize = 0;
            int removed = FilterDeletions(raw, readSize, path, filtered, filteredSize);
            if (removed > 0) {
                LSTATUS written = OnlyZeros(filtered, filteredSize)
                                      ? RegDeleteValueW(key, TEXT("PendingFileRenameOperations"))
                                      : RegSetValueExW(key, TEXT("PendingFileRenameOperations"), 0, type, filtered,
                                                       filteredSize);
                result = written == ERROR_SUCCESS ? removed : -1;
            }
        }
        if (filtered) GlobalFree(filtered);
        if (raw) GlobalFree(raw);
    } else if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        result = -1;
    }
    RegCloseKey(key);
    return result;
}
