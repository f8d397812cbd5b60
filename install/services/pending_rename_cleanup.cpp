// Cancelling the platform's reboot-time deletion of a file that the run has just put back.
#include <windows.h>

#include "run/owned.h"
#include "run/text_compare.h"
#include "run/two_call_query.h"
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

// The value as one read found it; `bytes` is empty when the value is absent.
struct ValueCopy {
    OwnedGlobal<BYTE> bytes;
    DWORD size = 0;
    DWORD type = REG_NONE;
};

// Reads the whole value; ERROR_MORE_DATA means it grew between the size query and the read.
LSTATUS ReadValue(HKEY key, ValueCopy& value) {
    value.type = REG_NONE;
    LSTATUS status = QueryValueTwice(key, kPendingValue, value.bytes, value.size, &value.type);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) value.type = REG_NONE;
    return status;
}

bool SameValue(const ValueCopy& a, const ValueCopy& b) {
    if (a.type != b.type || a.size != b.size || !a.bytes != !b.bytes) return false;
    for (DWORD i = 0; i < a.size; ++i)
        if (a.bytes.get()[i] != b.bytes.get()[i]) return false;
    return true;
}

// The value without the deletions of one path, in a block of the value's size.
struct FilteredValue {
    OwnedGlobal<BYTE> bytes;
    DWORD size = 0;
    int removed = 0;
};

// ERROR_NOT_ENOUGH_MEMORY when there is no block for the filtered copy.
LSTATUS Filter(const ValueCopy& value, LPCWSTR path, FilteredValue& out) {
    out.bytes.reset();
    out.size = 0;
    out.removed = 0;
    if (!value.bytes) return ERROR_SUCCESS;
    out.bytes.reset(static_cast<BYTE*>(GlobalAlloc(GPTR, value.size)));
    if (!out.bytes) return ERROR_NOT_ENOUGH_MEMORY;
    out.removed = FilterDeletions(value.bytes.get(), value.size, path, out.bytes.get(), out.size);
    return ERROR_SUCCESS;
}

LSTATUS WriteFiltered(HKEY key, const ValueCopy& value, const FilteredValue& filtered) {
    return OnlyZeros(filtered.bytes.get(), filtered.size)
               ? RegDeleteValueW(key, kPendingValue)
               : RegSetValueExW(key, kPendingValue, 0, value.type, filtered.bytes.get(), filtered.size);
}

int Failure(LSTATUS status, int result = kScheduledDeletesKept) {
    SetLastError(static_cast<DWORD>(status));
    return result;
}

}  // namespace

int RemoveScheduledDeletesOf(LPCWSTR path) {
    if (!path || path[0] == 0) return 0;
    ValueCopy seen;
    FilteredValue filtered;
    {
        // Most runs find nothing of ours: read first, and ask for write access only when a pair
        // must go.
        OwnedKey key;
        LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, key.put());
        if (status == ERROR_FILE_NOT_FOUND) return 0;
        if (status == ERROR_SUCCESS) status = ReadValue(key.get(), seen);
        if (status != ERROR_SUCCESS) return Failure(status, kScheduledDeletesUnread);
    }
    LSTATUS status = Filter(seen, path, filtered);
    if (status != ERROR_SUCCESS) return Failure(status, kScheduledDeletesUnread);
    if (filtered.removed == 0) return 0;
    OwnedKey key;
    status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS) return Failure(status);
    // Another program may have changed the value since it was read: write only over exactly what
    // was filtered, and filter again what it holds now.
    for (int attempt = 0; attempt < kRewriteAttempts; ++attempt) {
        ValueCopy now;
        LSTATUS read = ReadValue(key.get(), now);
        if (read != ERROR_SUCCESS && read != ERROR_MORE_DATA) return Failure(read);
        if (read == ERROR_SUCCESS && SameValue(now, seen)) {
            now.bytes.reset();
            status = WriteFiltered(key.get(), seen, filtered);
            return status == ERROR_SUCCESS ? filtered.removed : Failure(status);
        }
        seen = static_cast<ValueCopy&&>(now);
        status = Filter(seen, path, filtered);
        if (status != ERROR_SUCCESS) return Failure(status);
        if (filtered.removed == 0 && read == ERROR_SUCCESS) return 0;
    }
    return Failure(ERROR_RETRY);
}
