// Last error, virtual clock, faults, call record and the kernel handle table.
#include <winsim/core.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <map>

namespace winsim {
namespace {

struct Fault {
    std::string api;
    DWORD error;
    int times;
    int skip;
};

struct HandleEntry {
    ObjectKind kind;
    uint64_t id;
};

struct CallHook {
    std::string api;
    int skip;
    std::function<void()> action;
};

struct CoreState {
    DWORD lastError = 0;
    uint64_t now = 0;
    uint64_t slept = 0;
    bool tickOverride = false;
    DWORD tickBase = 0;
    uint64_t tickBaseAt = 0;
    std::vector<Fault> faults;
    std::vector<Call> calls;
    std::vector<CallHook> hooks;
    bool successClears = false;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x1000;
    // Recorded calls still to go before the kill; -1: no kill armed.
    int64_t killIn = -1;
    int processDepth = 0;
    // Between the end of a killed process and its caller: the C++ unwinding still runs the
    // installer's destructors, which a dead process never would. Their calls do nothing.
    bool unwinding = false;
};

// Thrown at the kill point and caught by RunProcess: the process's code runs no further.
struct ProcessKilled {};

CoreState& State() {
    static CoreState state;
    return state;
}

// Calls that report their error as their result, or cannot fail, and never set the last error.
bool KeepsLastError(std::string_view api) {
    auto starts = [&](std::string_view prefix) { return api.substr(0, prefix.size()) == prefix; };
    return starts("Reg") || starts("lstr") || api.find("PrinterData") != std::string_view::npos ||
           api == "Sleep" || api == "GetCommandLineW";
}

std::vector<std::pair<int, std::function<void()>>>& ResetHooks() {
    static std::vector<std::pair<int, std::function<void()>>> hooks;
    return hooks;
}

std::vector<std::function<void(uint64_t)>>& ClockListeners() {
    static std::vector<std::function<void(uint64_t)>> listeners;
    return listeners;
}

std::map<ObjectKind, std::function<void(uint64_t)>>& CloseHandlers() {
    static std::map<ObjectKind, std::function<void(uint64_t)>> handlers;
    return handlers;
}

std::vector<std::function<void()>>& ProcessEndHooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

}  // namespace

ResetHook::ResetHook(int stage, std::function<void()> reset) {
    ResetHooks().emplace_back(stage, std::move(reset));
}

void Reset() {
    State() = CoreState{};
    auto hooks = ResetHooks();
    std::stable_sort(hooks.begin(), hooks.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& hook : hooks) hook.second();
}

uint64_t Now() { return State().now; }

void AdvanceClock(uint64_t ms) {
    State().now += ms;
    // Listeners may advance nothing themselves; copy in case one registers another.
    auto listeners = ClockListeners();
    for (auto& l : listeners) l(State().now);
}

void SetTickCount(DWORD ticks) {
    State().tickOverride = true;
    State().tickBase = ticks;
    State().tickBaseAt = State().now;
}

uint64_t TotalSlept() { return State().slept; }

void OnClockAdvance(std::function<void(uint64_t)> listener) {
    ClockListeners().push_back(std::move(listener));
}

void InjectFault(std::string_view api, DWORD error, int times, int skip) {
    // Zero times means no failure; kept, it would never be used up and fail every call.
    if (times == 0) return;
    State().faults.push_back(Fault{std::string(api), error, times, skip});
}

void ClearFaults() { State().faults.clear(); }

bool TakeFault(std::string_view api) {
    if (State().unwinding) {
        State().lastError = ERROR_INVALID_HANDLE;
        return true;
    }
    auto& faults = State().faults;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->api != api) continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        DWORD error = it->error;
        if (it->times > 0 && --it->times == 0) faults.erase(it);
        State().lastError = error;
        return true;
    }
    return false;
}

void Trace(std::u16string_view text) {
    // One file per test program: runs of the whole suite can then be compared call for call.
    static FILE* file = [] {
        const char* dir = std::getenv("QGR_CALL_TRACE");
        if (!dir) return static_cast<FILE*>(nullptr);
        std::string name = std::string(dir) + "/" + program_invocation_short_name;
        return std::fopen(name.c_str(), "w");
    }();
    if (!file) return;
    std::string line = ToUtf8(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file);
}

void RecordCall(std::string_view api, std::u16string_view args) {
    auto& s = State();
    if (s.unwinding) return;
    if (s.killIn >= 0 && s.processDepth > 0 && s.killIn-- == 0) {
        EndCurrentProcess();
        s.unwinding = true;
        throw ProcessKilled{};
    }
    Trace(ToU16(api) + u"(" + std::u16string(args) + u")");
    State().calls.push_back(Call{std::string(api), std::u16string(args)});
    std::vector<std::function<void()>> due;
    auto& hooks = State().hooks;
    for (auto it = hooks.begin(); it != hooks.end();) {
        if (it->api != api) {
            ++it;
        } else if (it->skip > 0) {
            --it->skip;
            ++it;
        } else {
            due.push_back(std::move(it->action));
            it = hooks.erase(it);
        }
    }
    // Another party runs in its own thread: its calls leave this thread's last error alone.
    DWORD saved = State().lastError;
    for (auto& action : due) action();
    State().lastError = saved;
    // Set before the call does its work: a failure sets its own error over it.
    if (State().successClears && !KeepsLastError(api)) State().lastError = ERROR_SUCCESS;
}

void SuccessClearsLastError(bool on) { State().successClears = on; }

void BeforeCall(std::string_view api, std::function<void()> action, int skip) {
    State().hooks.push_back(CallHook{std::string(api), skip, std::move(action)});
}

void FlushBeforeCalls() {
    std::vector<CallHook> pending;
    pending.swap(State().hooks);
    for (auto& hook : pending) hook.action();
}

const std::vector<Call>& Calls() { return State().calls; }

void ClearCalls() { State().calls.clear(); }

size_t CallCount(std::string_view api) {
    size_t n = 0;
    for (auto& c : State().calls)
        if (c.api == api) ++n;
    return n;
}

std::vector<std::string> CallSequence(const std::vector<std::string>& filter) {
    std::vector<std::string> out;
    for (auto& c : State().calls) {
        if (!filter.empty()) {
            bool keep = false;
            for (auto& f : filter) keep = keep || f == c.api;
            if (!keep) continue;
        }
        out.push_back(c.api);
    }
    return out;
}

ProcessEndHook::ProcessEndHook(std::function<void()> release) { ProcessEndHooks().push_back(std::move(release)); }

void KillBeforeCall(size_t n) { State().killIn = static_cast<int64_t>(n); }

bool RunProcess(const std::function<int()>& body, int* result) {
    auto& s = State();
    ++s.processDepth;
    try {
        int r = body();
        --s.processDepth;
        s.killIn = -1;
        if (result) *result = r;
        return true;
    } catch (const ProcessKilled&) {
        --s.processDepth;
        s.unwinding = false;
        return false;
    }
}

void EndCurrentProcess() {
    auto& s = State();
    s.killIn = -1;
    // Every handle goes, each closed as CloseHandle closes its kind.
    std::map<uintptr_t, HandleEntry> handles;
    handles.swap(s.handles);
    for (auto& [value, entry] : handles) {
        auto h = CloseHandlers().find(entry.kind);
        if (h != CloseHandlers().end()) h->second(entry.id);
    }
    for (auto& release : ProcessEndHooks()) release();
}

HANDLE NewHandle(ObjectKind kind, uint64_t id) {
    uintptr_t value = State().nextHandle;
    State().nextHandle += 4;
    State().handles[value] = HandleEntry{kind, id};
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE h, ObjectKind kind, uint64_t* id) {
    auto it = State().handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == State().handles.end() || it->second.kind != kind) return false;
    if (id) *id = it->second.id;
    return true;
}

bool ForgetHandle(HANDLE h) { return State().handles.erase(reinterpret_cast<uintptr_t>(h)) > 0; }

size_t OpenHandleCount(ObjectKind kind) {
    size_t n = 0;
    for (auto& [value, entry] : State().handles)
        if (entry.kind == kind) ++n;
    return n;
}

void OnCloseHandle(ObjectKind kind, std::function<void(uint64_t)> close) {
    CloseHandlers()[kind] = std::move(close);
}

std::u16string ToU16(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        int extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            cp = c & 0x07;
            extra = 3;
        }
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i) cp = (cp << 6) | (s[i] & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::u16string UpperPath(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c == u'/') c = u'\\';
    }
    return out;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

DWORD WINAPI GetLastError(void) { return State().lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { State().lastError = dwErrCode; }

void WINAPI Sleep(DWORD dwMilliseconds) {
    RecordCall("Sleep", ToU16(std::to_string(dwMilliseconds)));
    if (State().unwinding) return;  // a killed process does not wait
    State().slept += dwMilliseconds;
    AdvanceClock(dwMilliseconds);
}

DWORD WINAPI GetTickCount(void) {
    auto& s = State();
    if (s.tickOverride) return static_cast<DWORD>(s.tickBase + (s.now - s.tickBaseAt));
    return static_cast<DWORD>(s.now);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    RecordCall("CloseHandle");
    if (TakeFault("CloseHandle")) return FALSE;
    auto& handles = State().handles;
    auto it = handles.find(reinterpret_cast<uintptr_t>(hObject));
    if (it == handles.end() || it->second.kind == ObjectKind::Printer) {
        State().lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    HandleEntry entry = it->second;
    handles.erase(it);
    auto h = CloseHandlers().find(entry.kind);
    if (h != CloseHandlers().end()) h->second(entry.id);
    return TRUE;
}

}  // extern "C"
