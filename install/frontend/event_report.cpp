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

// ReportEventW refuses a longer insertion string; the log's start is kept.
const uint64_t kMaxEventText = 31839;

}  // namespace

void ReportRunToEventLog(const InstallContext& ctx, int exitCode) {
    OwnedEventSource source(RegisterEventSourceW(NULL, QGR_EVENT_SOURCE));
    if (!source) return;
    LPCWSTR text = TextOf(ctx.log);
    OwnedHeap<WCHAR> cut;
    if (TextLength(ctx.log) > kMaxEventText) {
        cut.reset(static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, (kMaxEventText + 1) * sizeof(WCHAR))));
        text = cut ? lstrcpynW(cut.get(), text, static_cast<int>(kMaxEventText + 1)) : TEXT("");
    }
    WORD type = ctx.errorCount != 0 ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    ReportEventW(source.get(), type, 0, static_cast<DWORD>(exitCode), NULL, 1, 0, &text, NULL);
}
