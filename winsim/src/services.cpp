// The Service Control Manager: services with states that scripts can slow down or refuse,
// SC handles with their access rights, and state-change listeners.
#include <winsim/core.h>
#include <winsim/services.h>

#include <cstdint>
#include <map>
#include <vector>

#include "kernel_internal.h"

namespace winsim {
namespace {

struct Service {
    std::u16string name;
    DWORD state = SERVICE_STOPPED;
    ServiceScript script;
    bool autoStart = false;
    int starts = 0;
    int stops = 0;
    DWORD pendingTarget = 0;  // the state a pending transition ends in
    uint64_t doneAt = 0;      // virtual time at which it ends; UINT64_MAX: never
    DWORD checkPoint = 0;
};

struct ScHandle {
    bool manager;
    std::u16string service;  // upper-case name
    DWORD access;
};

struct ScmState {
    std::map<std::u16string, Service> services;  // by upper-case name
    std::map<uintptr_t, ScHandle> handles;
    uintptr_t nextHandle = 0x50000000;
};

ScmState& State() {
    static ScmState state;
    return state;
}

std::vector<std::function<void(std::u16string_view, DWORD)>>& Listeners() {
    static std::vector<std::function<void(std::u16string_view, DWORD)>> listeners;
    return listeners;
}

Service& Get(std::u16string_view name) {
    std::u16string key = UpperPath(name);
    auto it = State().services.find(key);
    if (it == State().services.end()) {
        Service s;
        s.name = std::u16string(name);
        it = State().services.emplace(key, s).first;
    }
    return it->second;
}

void ChangeState(Service& s, DWORD state) {
    if (s.state == state) return;
    if (state == SERVICE_RUNNING) ++s.starts;
    if (state == SERVICE_STOPPED) ++s.stops;
    s.state = state;
    s.checkPoint = 0;
    std::u16string name = s.name;
    auto listeners = Listeners();
    for (auto& l : listeners) l(name, state);
}

void Fill(const Service& s, LPSERVICE_STATUS status) {
    if (!status) return;
    bool pending = s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING;
    *status = SERVICE_STATUS{};
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = s.state;
    status->dwControlsAccepted = s.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status->dwCheckPoint = pending ? s.checkPoint : 0;
    status->dwWaitHint = pending ? 2000 : 0;
}

bool Pending(const Service& s) { return s.state == SERVICE_START_PENDING || s.state == SERVICE_STOP_PENDING; }

// Begins a transition: at once when the script says 0 ms, else through the pending state until
// the virtual clock reaches its end (negative: never).
void Begin(Service& s, DWORD pending, DWORD target, int ms) {
    if (ms == 0) {
        ChangeState(s, target);
        return;
    }
    ChangeState(s, pending);
    s.pendingTarget = target;
    s.doneAt = ms < 0 ? UINT64_MAX : Now() + static_cast<uint64_t>(ms);
}

// Ends a pending transition whose time has come; queries do not move it.
void Settle(Service& s) {
    if (Pending(s) && Now() >= s.doneAt) ChangeState(s, s.pendingTarget);
}

// One status query: a pending service reports progress.
void Poll(Service& s) {
    Settle(s);
    if (Pending(s)) ++s.checkPoint;
}

struct ClockHook {
    ClockHook() {
        OnClockAdvance([](uint64_t) {
            std::vector<std::u16string> keys;
            for (auto& [key, s] : State().services) keys.push_back(key);
            for (auto& key : keys) {
                auto it = State().services.find(key);
                if (it != State().services.end()) Settle(it->second);
            }
        });
    }
} clockHook;

DWORD Granted(DWORD access) {
    DWORD g = access;
    if (access & GENERIC_READ)
        g |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_EXECUTE)
        g |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL;
    if (access & GENERIC_WRITE) g |= SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_ALL) g |= SERVICE_ALL_ACCESS;
    return g;
}

SC_HANDLE NewScHandle(ScHandle h) {
    uintptr_t id = State().nextHandle;
    State().nextHandle += 4;
    State().handles[id] = std::move(h);
    return reinterpret_cast<SC_HANDLE>(id);
}

ScHandle* Lookup(SC_HANDLE h) {
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == State().handles.end() ? nullptr : &it->second;
}

// The service behind a service handle that carries `right`, else null with the last error set.
Service* ServiceFor(SC_HANDLE h, DWORD right) {
    ScHandle* sc = Lookup(h);
    if (!sc || sc->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((sc->access & right) != right) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto it = State().services.find(sc->service);
    if (it == State().services.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

std::u16string NameOf(SC_HANDLE h) {
    ScHandle* sc = Lookup(h);
    if (!sc) return u"?";
    return sc->manager ? u"SCM" : State().services[sc->service].name;
}

// A control already sent goes on; only the process's handles end.
ProcessEndHook servicesEnd([] { State().handles.clear(); });

ResetHook servicesReset(1, [] {
    State() = ScmState{};
    Service& spooler = Get(u"Spooler");
    spooler.state = SERVICE_RUNNING;
    spooler.autoStart = true;
});

bool IsLocalMachine(LPCWSTR machine) {
    if (!machine || !*machine) return true;
    std::u16string name = UpperPath(machine);
    if (name.compare(0, 2, u"\\\\") == 0) name.erase(0, 2);
    return name == UpperPath(kComputerName) || name == u"." || name == u"LOCALHOST";
}

}  // namespace

ServiceScript& ScriptService(std::u16string_view name) { return Get(name).script; }

void SetServiceState(std::u16string_view name, DWORD state) {
    Service& s = Get(name);
    s.doneAt = 0;
    ChangeState(s, state);
}

DWORD ServiceState(std::u16string_view name) {
    auto it = State().services.find(UpperPath(name));
    return it == State().services.end() ? 0 : it->second.state;
}

bool IsServiceRunning(std::u16string_view name) { return ServiceState(name) == SERVICE_RUNNING; }

int ServiceStarts(std::u16string_view name) {
    auto it = State().services.find(UpperPath(name));
    return it == State().services.end() ? 0 : it->second.starts;
}

int ServiceStops(std::u16string_view name) {
    auto it = State().services.find(UpperPath(name));
    return it == State().services.end() ? 0 : it->second.stops;
}

void OnServiceStateChange(std::function<void(std::u16string_view name, DWORD state)> listener) {
    Listeners().push_back(std::move(listener));
}

size_t OpenServiceHandles() { return State().handles.size(); }

namespace kernel {

void ServicesRestartForReboot() {
    for (auto& [key, s] : State().services) {
        s.state = s.autoStart ? SERVICE_RUNNING : SERVICE_STOPPED;
        s.doneAt = 0;
        s.checkPoint = 0;
    }
}

}  // namespace kernel
}  // namespace winsim

using namespace winsim;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    RecordCall("OpenSCManagerW", kernel::FromW(lpMachineName) + u"," + kernel::Hex(dwDesiredAccess));
    if (TakeFault("OpenSCManagerW")) return nullptr;
    if (!IsLocalMachine(lpMachineName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpDatabaseName && UpperPath(lpDatabaseName) != u"SERVICESACTIVE") {
        const DWORD kDatabaseDoesNotExist = 1065;
        SetLastError(kDatabaseDoesNotExist);
        return nullptr;
    }
    // Windows clears the last error when the manager opens.
    SetLastError(ERROR_SUCCESS);
    return NewScHandle(ScHandle{true, {}, dwDesiredAccess});
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    RecordCall("OpenServiceW", kernel::FromW(lpServiceName) + u"," + kernel::Hex(dwDesiredAccess));
    if (TakeFault("OpenServiceW")) return nullptr;
    ScHandle* manager = Lookup(hSCManager);
    if (!manager || !manager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::u16string key = UpperPath(lpServiceName);
    auto it = State().services.find(key);
    if (it == State().services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (it->second.script.openError) {
        SetLastError(it->second.script.openError);
        return nullptr;
    }
    return NewScHandle(ScHandle{false, key, Granted(dwDesiredAccess)});
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    RecordCall("QueryServiceStatus", NameOf(hService));
    if (TakeFault("QueryServiceStatus")) return FALSE;
    Service* s = ServiceFor(hService, SERVICE_QUERY_STATUS);
    if (!s) return FALSE;
    if (!lpServiceStatus) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Poll(*s);
    Fill(*s, lpServiceStatus);
    return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
    (void)lpServiceArgVectors;
    RecordCall("StartServiceW", NameOf(hService) + u"," + kernel::Dec(dwNumServiceArgs));
    if (TakeFault("StartServiceW")) return FALSE;
    Service* s = ServiceFor(hService, SERVICE_START);
    if (!s) return FALSE;
    // A service whose process is still there (running, starting or stopping) cannot start again.
    if (s->state != SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (s->script.startError) {
        SetLastError(s->script.startError);
        return FALSE;
    }
    Begin(*s, SERVICE_START_PENDING, SERVICE_RUNNING, s->script.msToStart);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    RecordCall("ControlService", NameOf(hService) + u"," + kernel::Dec(dwControl));
    if (TakeFault("ControlService")) return FALSE;
    // Only the stop control is modelled; the others are refused as a service refuses a control
    // it does not accept.
    const DWORD kInvalidServiceControl = 1052;
    Service* s = ServiceFor(hService, dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0);
    if (!s) return FALSE;
    if (!lpServiceStatus) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Fill(*s, lpServiceStatus);
    if (s->state == SERVICE_STOPPED) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (s->state == SERVICE_START_PENDING || s->state == SERVICE_STOP_PENDING) {
        SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return FALSE;
    }
    if (dwControl != SERVICE_CONTROL_STOP) {
        SetLastError(kInvalidServiceControl);
        return FALSE;
    }
    if (s->script.controlError) {
        SetLastError(s->script.controlError);
        return FALSE;
    }
    Begin(*s, SERVICE_STOP_PENDING, SERVICE_STOPPED, s->script.msToStop);
    Fill(*s, lpServiceStatus);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    RecordCall("CloseServiceHandle", NameOf(hSCObject));
    if (TakeFault("CloseServiceHandle")) return FALSE;
    if (!hSCObject || State().handles.erase(reinterpret_cast<uintptr_t>(hSCObject)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
