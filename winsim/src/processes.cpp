// Processes, named mutexes, waits in virtual time and the time-driven actions of simulated
// programs.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/user.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "kernel_internal.h"
#include "user_internal.h"

namespace winsim {
namespace {

struct Action {
    uint64_t when;
    uint64_t seq;
    std::function<void()> run;
};

struct Process {
    std::u16string image;
    std::u16string commandLine;
    bool running = true;
    DWORD exitCode = STILL_ACTIVE;
    bool held = false;
    int hold = 0;
    uint64_t holdAfterExit = 0;
};

struct Mutex {
    std::string name;  // empty for an unnamed mutex
    DWORD owner = 0;
    int recursion = 0;
    bool abandoned = false;
    int selfHandles = 0;
    std::set<DWORD> processRefs;
    std::string sddl;  // the creator's DACL, empty for the default
};

struct ProcState {
    std::vector<Action> actions;
    uint64_t nextSeq = 0;
    bool running = false;
    uint64_t actionTime = 0;
    std::map<std::u16string, ProgramStart> programs;  // by folded file name
    std::vector<ProcessStart> starts;
    std::map<DWORD, Process> processes;
    DWORD nextPid = 1000;
    DWORD session = 1;
    std::map<uint64_t, Mutex> mutexes;
    uint64_t nextMutex = 1;
};

ProcState& S() {
    static ProcState state;
    return state;
}

// Waits without an end give up after this much virtual time instead of hanging the test.
constexpr uint64_t kInfiniteWaitCap = 3600ull * 1000;
constexpr uint64_t kWaitStep = 10;

void RunDueActions() {
    auto& s = S();
    if (s.running) return;
    s.running = true;
    for (;;) {
        auto it = std::min_element(s.actions.begin(), s.actions.end(), [](const Action& a, const Action& b) {
            return a.when != b.when ? a.when < b.when : a.seq < b.seq;
        });
        if (it == s.actions.end() || it->when > Now()) break;
        Action a = std::move(*it);
        s.actions.erase(it);
        s.actionTime = a.when;
        a.run();
    }
    s.running = false;
}

Mutex* FindMutex(std::string_view name) {
    for (auto& [id, m] : S().mutexes)
        if (!m.name.empty() && m.name == name) return &m;
    return nullptr;
}

uint64_t FindMutexId(std::string_view name) {
    for (auto& [id, m] : S().mutexes)
        if (!m.name.empty() && m.name == name) return id;
    return 0;
}

// Rights one SDDL entry names: generic rights map as for a mutant object.
DWORD SddlRights(const std::string& text) {
    if (text.rfind("0x", 0) == 0) return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 16));
    DWORD rights = 0;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        std::string code = text.substr(i, 2);
        if (code == "GA") rights |= MUTEX_ALL_ACCESS;
        if (code == "GR") rights |= READ_CONTROL | MUTEX_MODIFY_STATE;  // MUTANT_QUERY_STATE
        if (code == "GW") rights |= READ_CONTROL;
        if (code == "GE") rights |= READ_CONTROL | SYNCHRONIZE;
    }
    return rights;
}

// What the code under test (an elevated administrator) is granted by a DACL.
DWORD GrantedToCaller(const std::string& sddl) {
    if (sddl.empty()) return MUTEX_ALL_ACCESS;
    DWORD granted = 0;
    for (size_t open = sddl.find('('); open != std::string::npos; open = sddl.find('(', open + 1)) {
        size_t close = sddl.find(')', open);
        if (close == std::string::npos) break;
        std::vector<std::string> fields(1);
        for (char c : sddl.substr(open + 1, close - open - 1)) {
            if (c == ';') fields.emplace_back();
            else fields.back() += c;
        }
        if (fields.size() != 6 || fields[0] != "A") continue;
        const std::string& sid = fields[5];
        if (sid == "BA" || sid == "AU" || sid == "WD") granted |= SddlRights(fields[2]);
    }
    return granted;
}

// An object lives while anyone has a handle to it.
void DropIfUnused(uint64_t id) {
    auto it = S().mutexes.find(id);
    if (it != S().mutexes.end() && it->second.selfHandles == 0 && it->second.processRefs.empty())
        S().mutexes.erase(it);
}

void ReleaseImage(DWORD pid) {
    auto it = S().processes.find(pid);
    if (it == S().processes.end() || !it->second.held) return;
    it->second.held = false;
    ReleaseHold(it->second.hold);
}

DWORD NewProcess(std::u16string image, std::u16string commandLine) {
    auto& s = S();
    DWORD pid = s.nextPid;
    s.nextPid += 4;
    Process p;
    p.image = std::move(image);
    p.commandLine = std::move(commandLine);
    // A running image cannot be deleted or written.
    if (FileExists(p.image)) {
        p.hold = HoldFile(p.image, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
        p.held = true;
    }
    s.processes[pid] = std::move(p);
    return pid;
}

void RunProgram(DWORD pid) {
    auto& s = S();
    auto p = s.processes.find(pid);
    if (p == s.processes.end()) return;
    auto prog = s.programs.find(user::FoldCase(user::FileNameOf(p->second.image)));
    if (prog == s.programs.end()) return;
    ProgramStart start = prog->second;
    start(ProcessInfo{pid, p->second.image, p->second.commandLine});
}

bool HasExtension(std::u16string_view name) {
    auto file = user::FileNameOf(name);
    return file.find(u'.') != std::u16string::npos;
}

bool HasDirectory(std::u16string_view name) {
    return name.find(u'\\') != std::u16string_view::npos || name.find(u'/') != std::u16string_view::npos ||
           name.find(u':') != std::u16string_view::npos;
}

// A name from the command line gets ".exe" when it has neither a directory nor an extension.
std::u16string WithDefaultExtension(std::u16string name) {
    if (!HasDirectory(name) && !HasExtension(name)) name += u".exe";
    return name;
}

// The module a command line starts: the quoted first token, or for an unquoted line each
// prefix ending at white space in turn, as the system tries them.
std::u16string ResolveCommandLine(std::u16string_view cmd) {
    if (!cmd.empty() && cmd[0] == u'"') {
        size_t end = cmd.find(u'"', 1);
        std::u16string name(cmd.substr(1, end == std::u16string_view::npos ? std::u16string_view::npos : end - 1));
        name = WithDefaultExtension(name);
        return FileExists(name) ? name : std::u16string();
    }
    for (size_t i = 0; i <= cmd.size(); ++i) {
        if (i < cmd.size() && cmd[i] != u' ' && cmd[i] != u'\t') continue;
        if (i == 0) return {};
        std::u16string name = WithDefaultExtension(std::u16string(cmd.substr(0, i)));
        if (FileExists(name)) return name;
    }
    return {};
}

std::u16string Describe(const Mutex& m) { return u"mutex:" + ToU16(m.name); }

ResetHook resetHook(2, [] { S() = ProcState{}; });

// Handles are closed first (a mutex nobody else has open goes with its last handle); one that
// another process still has open and this one owned is abandoned.
ProcessEndHook end([] {
    for (auto& [id, m] : S().mutexes) {
        if (m.owner != kCurrentProcess) continue;
        m.owner = 0;
        m.recursion = 0;
        m.abandoned = true;
    }
});

struct Listeners {
    Listeners() {
        OnClockAdvance([](uint64_t) { RunDueActions(); });
        OnCloseHandle(ObjectKind::Mutex, [](uint64_t id) {
            auto it = S().mutexes.find(id);
            if (it == S().mutexes.end()) return;
            --it->second.selfHandles;
            DropIfUnused(id);
        });
        OnReboot([] {
            // Nothing survives a reboot: programs end without their quit behaviour.
            std::vector<DWORD> pids;
            for (auto& [pid, p] : S().processes)
                if (p.running) pids.push_back(pid);
            for (DWORD pid : pids) EndProcess(pid, 0);
            for (auto& [pid, p] : S().processes) ReleaseImage(pid);
            S().actions.clear();
            user::DestroyAllWindows();
        });
    }
} listeners;

}  // namespace

namespace user {

DWORD StartBareProcess(std::u16string imagePath, std::u16string commandLine) {
    return NewProcess(std::move(imagePath), std::move(commandLine));
}

uint64_t EffectiveNow() { return S().running ? S().actionTime : Now(); }

uint64_t NextActionTime() {
    uint64_t next = kNever;
    for (auto& a : S().actions) next = std::min(next, a.when);
    return next;
}

std::u16string Hex(uint64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
    return ToU16(buf);
}

std::u16string Dec(int64_t value) { return ToU16(std::to_string(value)); }

std::u16string FoldCase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return out;
}

std::u16string FileNameOf(std::u16string_view path) {
    size_t cut = path.find_last_of(u"\\/");
    return std::u16string(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

std::u16string FromNullable(const char16_t* s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace user

void ScheduleAt(uint64_t when, std::function<void()> action) {
    auto& s = S();
    s.actions.push_back(Action{when, s.nextSeq++, std::move(action)});
    if (when <= Now()) RunDueActions();
}

void ScheduleAfter(uint64_t ms, std::function<void()> action) {
    uint64_t base = user::EffectiveNow();
    ScheduleAt(ms == kNever || base + ms < base ? kNever : base + ms, std::move(action));
}

void RegisterProgram(std::u16string exeFileName, ProgramStart start) {
    S().programs[user::FoldCase(exeFileName)] = std::move(start);
}

const std::vector<ProcessStart>& ProcessStarts() { return S().starts; }

DWORD StartProcess(std::u16string imagePath, std::u16string commandLine) {
    DWORD pid = NewProcess(std::move(imagePath), std::move(commandLine));
    RunProgram(pid);
    return pid;
}

void EndProcess(DWORD pid, DWORD exitCode) {
    auto& s = S();
    auto it = s.processes.find(pid);
    if (it == s.processes.end() || !it->second.running) return;
    it->second.running = false;
    it->second.exitCode = exitCode;
    user::DestroyProcessWindows(pid);
    std::vector<uint64_t> touched;
    for (auto& [id, m] : s.mutexes) {
        if (m.owner == pid) {
            m.owner = 0;
            m.recursion = 0;
            m.abandoned = true;
        }
        if (m.processRefs.erase(pid)) touched.push_back(id);
    }
    for (uint64_t id : touched) DropIfUnused(id);
    uint64_t hold = it->second.holdAfterExit;
    if (hold == 0) {
        ReleaseImage(pid);
    } else if (hold != kNever) {
        ScheduleAfter(hold, [pid] { ReleaseImage(pid); });
    }
}

bool ProcessRunning(DWORD pid) {
    auto it = S().processes.find(pid);
    return it != S().processes.end() && it->second.running;
}

DWORD ProcessExitCode(DWORD pid) {
    auto it = S().processes.find(pid);
    return it == S().processes.end() ? 0 : it->second.exitCode;
}

std::vector<DWORD> RunningProcesses(std::u16string_view exeFileName) {
    std::vector<DWORD> out;
    std::u16string want = user::FoldCase(exeFileName);
    for (auto& [pid, p] : S().processes) {
        if (!p.running) continue;
        if (!want.empty() && user::FoldCase(user::FileNameOf(p.image)) != want) continue;
        out.push_back(pid);
    }
    return out;
}

void KeepImageHeldAfterExit(DWORD pid, uint64_t ms) {
    auto it = S().processes.find(pid);
    if (it != S().processes.end()) it->second.holdAfterExit = ms;
}

bool ProcessCreateMutex(DWORD pid, std::string_view name, bool initialOwner, std::string sddl) {
    if (Mutex* m = FindMutex(name)) {
        m->processRefs.insert(pid);
        return false;
    }
    uint64_t id = S().nextMutex++;
    Mutex& m = S().mutexes[id];
    m.name = std::string(name);
    m.sddl = std::move(sddl);
    m.processRefs.insert(pid);
    if (initialOwner) {
        m.owner = pid;
        m.recursion = 1;
    }
    return true;
}

bool ProcessReleaseMutex(DWORD pid, std::string_view name) {
    Mutex* m = FindMutex(name);
    if (!m || m->owner != pid) return false;
    m->owner = 0;
    m->recursion = 0;
    return true;
}

bool MutexExists(std::string_view name) { return FindMutex(name) != nullptr; }

void SetSessionId(DWORD session) { S().session = session; }
std::string MutexSecurity(std::string_view name) {
    Mutex* m = FindMutex(name);
    return m ? m->sddl : std::string();
}

DWORD MutexOwner(std::string_view name) {
    Mutex* m = FindMutex(name);
    return m ? m->owner : 0;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetCurrentProcessId(void) {
    RecordCall("GetCurrentProcessId");
    return kCurrentProcess;
}

// Every simulated process runs in the session of the code under test; an id that names no
// process (running or ended, its id not yet reused) is an invalid parameter.
BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
    RecordCall("ProcessIdToSessionId", user::Dec(dwProcessId));
    if (TakeFault("ProcessIdToSessionId")) return FALSE;
    if (!pSessionId) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (dwProcessId != kCurrentProcess && S().processes.count(dwProcessId) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pSessionId = S().session;
    return TRUE;
}

// The descriptor block holds the string itself: winsim reads back only what it was given.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR StringSecurityDescriptor,
                                                                 DWORD StringSDRevision,
                                                                 PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                                 PULONG SecurityDescriptorSize) {
    std::string text = StringSecurityDescriptor ? StringSecurityDescriptor : "";
    RecordCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", ToU16(text));
    if (TakeFault("ConvertStringSecurityDescriptorToSecurityDescriptorA")) return FALSE;
    if (!SecurityDescriptor || StringSDRevision != SDDL_REVISION_1 || text.rfind("D:", 0) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    void* block = kernel::AccountedLocalAlloc(text.size() + 1, true);
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(block, text.c_str(), text.size() + 1);
    *SecurityDescriptor = block;
    if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(text.size() + 1);
    return TRUE;
}

HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL, LPCSTR lpName) {
    std::string name = lpName ? lpName : "";
    RecordCall("OpenMutexA", user::Hex(dwDesiredAccess) + u"," + ToU16(name));
    if (TakeFault("OpenMutexA")) return nullptr;
    uint64_t id = name.empty() ? 0 : FindMutexId(name);
    if (id == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if ((GrantedToCaller(S().mutexes[id].sddl) & dwDesiredAccess) != dwDesiredAccess) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ++S().mutexes[id].selfHandles;
    return NewHandle(ObjectKind::Mutex, id);
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
    std::string name = lpName ? lpName : "";
    RecordCall("CreateMutexA", user::Dec(bInitialOwner ? 1 : 0) + u"," + ToU16(name));
    if (TakeFault("CreateMutexA")) return nullptr;
    if (name.size() > MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    uint64_t id = name.empty() ? 0 : FindMutexId(name);
    if (id != 0 && GrantedToCaller(S().mutexes[id].sddl) != MUTEX_ALL_ACCESS) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (id != 0) {
        // An existing named mutex: a new handle, ownership as it stands.
        ++S().mutexes[id].selfHandles;
        HANDLE h = NewHandle(ObjectKind::Mutex, id);
        SetLastError(ERROR_ALREADY_EXISTS);
        return h;
    }
    id = S().nextMutex++;
    Mutex& m = S().mutexes[id];
    m.name = name;
    m.selfHandles = 1;
    if (lpMutexAttributes && lpMutexAttributes->lpSecurityDescriptor)
        m.sddl = static_cast<const char*>(lpMutexAttributes->lpSecurityDescriptor);
    if (bInitialOwner) {
        m.owner = kCurrentProcess;
        m.recursion = 1;
    }
    HANDLE h = NewHandle(ObjectKind::Mutex, id);
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    uint64_t id = 0;
    bool valid = LookupHandle(hMutex, ObjectKind::Mutex, &id);
    auto it = valid ? S().mutexes.find(id) : S().mutexes.end();
    RecordCall("ReleaseMutex", it != S().mutexes.end() ? ToU16(it->second.name) : u"");
    if (TakeFault("ReleaseMutex")) return FALSE;
    if (it == S().mutexes.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Mutex& m = it->second;
    if (m.owner != kCurrentProcess) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m.recursion == 0) m.owner = 0;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    uint64_t id = 0;
    std::u16string what;
    enum { None, OnMutex, OnProcess } kind = None;
    if (LookupHandle(hHandle, ObjectKind::Mutex, &id) && S().mutexes.count(id)) {
        kind = OnMutex;
        what = Describe(S().mutexes[id]);
    } else if (LookupHandle(hHandle, ObjectKind::Process, &id) || LookupHandle(hHandle, ObjectKind::Thread, &id)) {
        kind = OnProcess;
        what = u"process:" + user::Dec(static_cast<int64_t>(id));
    }
    RecordCall("WaitForSingleObject",
               what + u"," + (dwMilliseconds == INFINITE ? std::u16string(u"-1") : user::Dec(dwMilliseconds)));
    const bool infinite = dwMilliseconds == INFINITE;
    const DWORD lastError = GetLastError();
    if (TakeFault("WaitForSingleObject")) {
        // A wait result as the fault: the wait ends as Windows ends it then, and succeeds.
        DWORD result = GetLastError();
        if (result == WAIT_TIMEOUT && kind != None && !infinite) {
            SetLastError(lastError);
            AdvanceClock(dwMilliseconds);
            return WAIT_TIMEOUT;
        }
        if (result == WAIT_ABANDONED && kind == OnMutex) {
            SetLastError(lastError);
            // Its holder ends without releasing it (a crash, a kill): the wait gets it abandoned.
            DWORD holder = S().mutexes[id].owner;
            if (holder != 0 && holder != kCurrentProcess) EndProcess(holder);
            Mutex& m = S().mutexes[id];
            m.abandoned = false;
            m.owner = kCurrentProcess;
            ++m.recursion;
            return WAIT_ABANDONED;
        }
        if (result == WAIT_TIMEOUT || result == WAIT_ABANDONED) SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (kind == None) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const uint64_t deadline = Now() + (infinite ? kInfiniteWaitCap : dwMilliseconds);
    for (;;) {
        if (kind == OnMutex) {
            Mutex& m = S().mutexes[id];
            if (m.owner == 0 || m.owner == kCurrentProcess) {
                DWORD result = m.abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
                m.abandoned = false;
                m.owner = kCurrentProcess;
                ++m.recursion;
                return result;
            }
        } else if (!ProcessRunning(static_cast<DWORD>(id))) {
            return WAIT_OBJECT_0;
        }
        if (Now() >= deadline) break;
        // Small steps let other parties act; stop exactly at a program's next action.
        uint64_t step = std::min(kWaitStep, deadline - Now());
        uint64_t next = user::NextActionTime();
        if (next > Now() && next - Now() < step) step = next - Now();
        AdvanceClock(step);
    }
    if (infinite) {
        std::fprintf(stderr, "winsim: an INFINITE wait on %s never ended\n", ToUtf8(what).c_str());
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID, LPCWSTR,
                           LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
    ProcessStart rec;
    rec.applicationName = user::FromNullable(lpApplicationName);
    rec.commandLine = user::FromNullable(lpCommandLine);
    rec.creationFlags = dwCreationFlags;
    if (lpStartupInfo) {
        rec.startupInfoGiven = true;
        rec.cb = lpStartupInfo->cb;
        rec.startFlags = lpStartupInfo->dwFlags;
        rec.showWindow = lpStartupInfo->wShowWindow;
    }
    RecordCall("CreateProcessW",
               rec.applicationName + u"," + rec.commandLine + u"," + user::Hex(dwCreationFlags));
    auto fail = [&rec](DWORD error) {
        SetLastError(error);
        rec.error = error;
        S().starts.push_back(rec);
        return FALSE;
    };
    if (TakeFault("CreateProcessW")) return fail(GetLastError());
    if ((!lpApplicationName && !lpCommandLine) || !lpStartupInfo || !lpProcessInformation)
        return fail(ERROR_INVALID_PARAMETER);
    if (rec.commandLine.size() > 32767) return fail(ERROR_INVALID_PARAMETER);  // the documented limit
    if (lpApplicationName) {
        // No search and no default extension for an explicit module name.
        rec.imagePath = FileExists(rec.applicationName) ? rec.applicationName : u"";
    } else {
        rec.imagePath = ResolveCommandLine(rec.commandLine);
    }
    if (rec.imagePath.empty()) return fail(ERROR_FILE_NOT_FOUND);

    DWORD pid = NewProcess(rec.imagePath, rec.commandLine.empty() ? rec.applicationName : rec.commandLine);
    rec.started = true;
    rec.pid = pid;
    S().starts.push_back(rec);
    lpProcessInformation->hProcess = NewHandle(ObjectKind::Process, pid);
    lpProcessInformation->hThread = NewHandle(ObjectKind::Thread, pid);
    lpProcessInformation->dwProcessId = pid;
    lpProcessInformation->dwThreadId = pid + 1;
    RunProgram(pid);
    return TRUE;
}

}  // extern "C"
