// The event log service, local machine only: event sources opened by name, events appended
// to the Application log (where an unregistered source's events go).
#include <winsim/core.h>
#include <winsim/eventlog.h>

#include <map>

#include "kernel_internal.h"

namespace winsim {
namespace {

struct EventLogState {
    std::vector<EventRecord> events;
    std::map<uintptr_t, std::u16string> sources;  // handle -> source name
    uintptr_t nextHandle = 0x60000000;
};

EventLogState& State() {
    static EventLogState state;
    return state;
}

ResetHook reset(0, [] { State() = EventLogState(); });
ProcessEndHook end([] { State().sources.clear(); });

bool KnownType(WORD type) {
    switch (type) {
        case EVENTLOG_SUCCESS:
        case EVENTLOG_ERROR_TYPE:
        case EVENTLOG_WARNING_TYPE:
        case EVENTLOG_INFORMATION_TYPE:
        case EVENTLOG_AUDIT_SUCCESS:
        case EVENTLOG_AUDIT_FAILURE:
            return true;
        default:
            return false;
    }
}

}  // namespace

const std::vector<EventRecord>& Events() { return State().events; }
size_t OpenEventSources() { return State().sources.size(); }

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    RecordCall("RegisterEventSourceW", kernel::FromW(lpUNCServerName) + u"," + kernel::FromW(lpSourceName));
    if (TakeFault("RegisterEventSourceW")) return NULL;
    // Only this machine exists; another server name is one that cannot be reached.
    if (lpUNCServerName && *lpUNCServerName) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return NULL;
    }
    if (!lpSourceName || !*lpSourceName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    uintptr_t id = State().nextHandle;
    State().nextHandle += 4;
    State().sources[id] = kernel::FromW(lpSourceName);
    return reinterpret_cast<HANDLE>(id);
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
    (void)lpUserSid;
    RecordCall("ReportEventW", kernel::Hex(wType) + u"," + kernel::Dec(dwEventID) + u"," + kernel::Dec(wNumStrings));
    if (TakeFault("ReportEventW")) return FALSE;
    auto source = State().sources.find(reinterpret_cast<uintptr_t>(hEventLog));
    if (source == State().sources.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!KnownType(wType) || (wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EventRecord record;
    record.log = u"Application";
    record.source = source->second;
    record.type = wType;
    record.category = wCategory;
    record.eventId = dwEventID;
    record.time = Now();
    for (WORD i = 0; i < wNumStrings; ++i) {
        std::u16string text = kernel::FromW(lpStrings[i]);
        if (!lpStrings[i] || text.size() > kMaxEventString) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        record.strings.push_back(std::move(text));
    }
    if (dwDataSize) record.data.assign(static_cast<const char*>(lpRawData), dwDataSize);
    for (const auto& text : record.strings) Trace(u"event text: " + text);
    State().events.push_back(std::move(record));
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    RecordCall("DeregisterEventSource");
    if (TakeFault("DeregisterEventSource")) return FALSE;
    if (State().sources.erase(reinterpret_cast<uintptr_t>(hEventLog)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
