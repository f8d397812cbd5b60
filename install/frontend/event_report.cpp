// A run nobody watched (a deployment tool, a service account) sees no log dialog, and the
// installer writes no log file: an elevated process writing where users can write is an attack
// surface, and a file beside the installer would outlive the uninstall. The event log keeps
// the outcome instead.
#include "frontend/event_report.h"

#include <windows.h>

#include "run/install_context.h"
#include "run/install_log.h"
#include "run/owned.h"

namespace {

// ReportEventW refuses a longer insertion string.
const uint64_t kMaxEventText = 31839;
const CHAR kCutMarker[] = "\r\n[... %u characters left out ...]\r\n";
const int kMarkerRoom = 64;
const WCHAR kSourceKey[] = TEXT("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") QGR_EVENT_SOURCE;

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

void CopyUnits(WCHAR* to, const WCHAR* from, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) to[i] = from[i];
}

// The start of a long log says what ran, its end how it ended (the errors of the last steps):
// both halves stay, the marker between them says how much of the middle is left out. A pair of
// surrogates is never cut in two.
LPCWSTR CutToEventSize(LPCWSTR text, uint64_t length, OwnedHeap<WCHAR>& cut) {
    WCHAR marker[kMarkerRoom];
    // Room for the widest count the marker can carry.
    uint64_t room = kMaxEventText - FormatText(marker, kMarkerRoom, kCutMarker, static_cast<DWORD>(length));
    uint64_t head = room / 2;
    uint64_t tailStart = length - (room - head);
    if (IsHighSurrogate(text[head - 1])) --head;
    if (IsLowSurrogate(text[tailStart])) ++tailStart;
    int markerLength = FormatText(marker, kMarkerRoom, kCutMarker, static_cast<DWORD>(tailStart - head));
    cut.reset(static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, (kMaxEventText + 1) * sizeof(WCHAR))));
    if (!cut) return TEXT("");
    LPWSTR out = cut.get();
    CopyUnits(out, text, head);
    CopyUnits(out + head, marker, markerLength);
    CopyUnits(out + head + markerLength, text + tailStart, length - tailStart);
    out[head + markerLength + (length - tailStart)] = 0;
    return out;
}

}  // namespace

void ReportToEventLog(WORD type, int exitCode, const TextBuffer& text) {
    OwnedEventSource source(RegisterEventSourceW(NULL, QGR_EVENT_SOURCE));
    if (!source) return;
    LPCWSTR string = TextOf(text);
    OwnedHeap<WCHAR> cut;
    if (TextLength(text) > kMaxEventText) string = CutToEventSize(string, TextLength(text), cut);
    ReportEventW(source.get(), type, 0, static_cast<DWORD>(exitCode), NULL, 1, 0, &string, NULL);
}

void ReportRunToEventLog(const InstallContext& ctx, int exitCode) {
    const int kExitRebootPending = 101;
    WORD type = ctx.errorCount != 0                ? EVENTLOG_ERROR_TYPE
                : exitCode == kExitRebootPending ? EVENTLOG_WARNING_TYPE
                                                  : EVENTLOG_INFORMATION_TYPE;
    ReportToEventLog(type, exitCode, ctx.log);
}

void RegisterEventMessages() {
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(g_moduleInstance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;  // a cut path would name some other file
    OwnedKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, NULL,
                        key.put(), NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key.get(), TEXT("EventMessageFile"), 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                   (length + 1) * static_cast<DWORD>(sizeof(WCHAR)));
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExW(key.get(), TEXT("TypesSupported"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   static_cast<DWORD>(sizeof(types)));
}

void UnregisterEventMessages() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSourceKey); }
