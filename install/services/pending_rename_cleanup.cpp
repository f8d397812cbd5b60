// Cancelling the platform's reboot-time deletion of a file that the run has just put back.
#include <windows.h>

#include "run/text_compare.h"
#include "services/pending_files.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
LPCWSTR const kPendingValue = TEXT("PendingFileRenameOperations");
// Read-modify-write passes when the value keeps changing under us.
const int kRewriteAttempts = 3;

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

// The value as one read found it; `bytes` is null when the value is absent.
struct ValueCopy {
    BYTE* bytes;
    DWORD size;
    DWORD type;
};

void FreeValue(ValueCopy& value) {
    if (value.bytes) GlobalFree(value.bytes);
    value = ValueCopy{nullptr, 0, REG_NONE};
}

// Reads the whole value; ERROR_MORE_DATA means it grew between the size query and the read.
LSTATUS ReadValue(HKEY key, ValueCopy& value) {
    value = ValueCopy{nullptr, 0, REG_NONE};
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, kPendingValue, NULL, &value.type, NULL, &size);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    if (size == 0) return ERROR_SUCCESS;
    value.bytes = static_cast<BYTE*>(GlobalAlloc(GPTR, size));
    if (!value.bytes) return ERROR_NOT_ENOUGH_MEMORY;
    value.size = size;
    status = RegQueryValueExW(key, kPendingValue, NULL, &value.type, value.bytes, &value.size);
    if (status != ERROR_SUCCESS) FreeValue(value);
    return status;
}

bool SameValue(const ValueCopy& a, const ValueCopy& b) {
    if (a.type != b.type || a.size != b.size || (a.bytes == nullptr) != (b.bytes == nullptr)) return false;
    for (DWORD i = 0; i < a.size; ++i)
        if (a.bytes[i] != b.bytes[i]) return false;
    return true;
}

// Deletions of `path` in `value`, and the value without them in `out` (a block of value.size).
int Filter(const ValueCopy& value, LPCWSTR path, BYTE* out, DWORD& outSize) {
    outSize = 0;
    return value.bytes ? FilterDeletions(value.bytes, value.size, path, out, outSize) : 0;
}

LSTATUS WriteFiltered(HKEY key, const ValueCopy& value, const BYTE* filtered, DWORD filteredSize) {
    return OnlyZeros(filtered, filteredSize) ? RegDeleteValueW(key, kPendingValue)
                                             : RegSetValueExW(key, kPendingValue, 0, value.type, filtered, filteredSize);
}

}  // namespace

int RemoveScheduledDeletesOf(LPCWSTR path) {
    if (!path || path[0] == 0) return 0;
    // Most runs find nothing of ours: read first, and ask for write access only when a pair must go.
    HKEY key = NULL;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return 0;
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return -1;
    }
    ValueCopy seen;
    status = ReadValue(key, seen);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return -1;
    }
    BYTE* filtered = seen.bytes ? static_cast<BYTE*>(GlobalAlloc(GPTR, seen.size)) : nullptr;
    DWORD filteredSize = 0;
    int removed = filtered ? Filter(seen, path, filtered, filteredSize) : 0;
    if (seen.bytes && !filtered) status = ERROR_NOT_ENOUGH_MEMORY;
    if (removed > 0) status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                                            KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    int result = status == ERROR_SUCCESS ? removed : -1;
    if (removed > 0 && status == ERROR_SUCCESS) {
        // Another program may have changed the value since it was read: write only over exactly
        // what was filtered, and filter again what it holds now.
        result = -1;
        status = ERROR_RETRY;
        for (int attempt = 0; attempt < kRewriteAttempts; ++attempt) {
            ValueCopy now;
            LSTATUS read = ReadValue(key, now);
            if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) {
                status = read;
                break;
            }
            if (read == ERROR_SUCCESS && SameValue(now, seen)) {
                FreeValue(now);
                status = WriteFiltered(key, seen, filtered, filteredSize);
                result = status == ERROR_SUCCESS ? removed : -1;
                break;
            }
            FreeValue(seen);
            seen = now;
            if (filtered) GlobalFree(filtered);
            filtered = seen.bytes ? static_cast<BYTE*>(GlobalAlloc(GPTR, seen.size)) : nullptr;
            if (seen.bytes && !filtered) {
                status = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            removed = Filter(seen, path, filtered, filteredSize);
            if (removed == 0 && read == ERROR_SUCCESS) {
                status = ERROR_SUCCESS;
                result = 0;
                break;
            }
            status = ERROR_RETRY;
        }
        RegCloseKey(key);
    }
    if (filtered) GlobalFree(filtered);
    FreeValue(seen);
    if (result < 0) SetLastError(static_cast<DWORD>(status));
    return result;
}
