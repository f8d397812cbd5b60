// Top-level windows, posted messages and the keyboard state.
#include <winsim/core.h>
#include <winsim/user.h>

#include <set>

#include "user_internal.h"

namespace winsim {
namespace {

struct Window {
    HWND hwnd;
    DWORD pid;
    std::u16string windowClass;
    std::u16string title;
    MessageHandler handler;
    bool alive = true;
};

struct WindowState {
    std::vector<Window> windows;  // creation order; the newest is on top
    uintptr_t nextHandle = 0x20010;
    std::vector<PostedMessage> posted;
    std::set<int> keysDown;
    bool stationVisible = true;
};

// The process's window station: one per process, never closed by its user.
HWINSTA const kWindowStation = reinterpret_cast<HWINSTA>(static_cast<uintptr_t>(0x44));

WindowState& S() {
    static WindowState state;
    return state;
}

Window* Find(HWND hwnd) {
    if (!hwnd) return nullptr;
    for (auto& w : S().windows)
        if (w.hwnd == hwnd && w.alive) return &w;
    return nullptr;
}

ResetHook resetHook(2, [] { S() = WindowState{}; });
ProcessEndHook end([] { user::DestroyProcessWindows(kCurrentProcess); });

}  // namespace

namespace user {

void DestroyProcessWindows(DWORD pid) {
    for (auto& w : S().windows)
        if (w.pid == pid) w.alive = false;
}

void DestroyAllWindows() {
    for (auto& w : S().windows) w.alive = false;
}

}  // namespace user

HWND CreateTopWindow(DWORD pid, std::u16string windowClass, std::u16string title, MessageHandler onMessage) {
    auto& s = S();
    HWND hwnd = reinterpret_cast<HWND>(s.nextHandle);
    s.nextHandle += 0x10;
    s.windows.push_back(Window{hwnd, pid, std::move(windowClass), std::move(title), std::move(onMessage)});
    return hwnd;
}

void DestroyTopWindow(HWND hwnd) {
    if (Window* w = Find(hwnd)) w->alive = false;
}

bool WindowExists(HWND hwnd) { return Find(hwnd) != nullptr; }

std::u16string WindowTitle(HWND hwnd) {
    Window* w = Find(hwnd);
    return w ? w->title : std::u16string();
}

std::u16string WindowClass(HWND hwnd) {
    Window* w = Find(hwnd);
    return w ? w->windowClass : std::u16string();
}

DWORD WindowProcess(HWND hwnd) {
    Window* w = Find(hwnd);
    return w ? w->pid : 0;
}

size_t WindowCount(std::u16string_view windowClass, std::u16string_view title) {
    size_t n = 0;
    std::u16string cls = user::FoldCase(windowClass), ttl = user::FoldCase(title);
    for (auto& w : S().windows) {
        if (!w.alive) continue;
        if (!cls.empty() && user::FoldCase(w.windowClass) != cls) continue;
        if (!ttl.empty() && user::FoldCase(w.title) != ttl) continue;
        ++n;
    }
    return n;
}

const std::vector<PostedMessage>& PostedMessages() { return S().posted; }

void SetKeyDown(int vk, bool down) {
    if (down)
        S().keysDown.insert(vk);
    else
        S().keysDown.erase(vk);
}

void SetWindowStationVisible(bool visible) { S().stationVisible = visible; }

}  // namespace winsim

using namespace winsim;

extern "C" {

HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    RecordCall("FindWindowW", (lpClassName ? std::u16string(lpClassName) : u"*") + u"," +
                                  (lpWindowName ? std::u16string(lpWindowName) : u"*"));
    if (TakeFault("FindWindowW")) return nullptr;
    // Names compare without regard to case; the topmost (newest) match wins.
    std::u16string cls = lpClassName ? user::FoldCase(lpClassName) : u"";
    std::u16string title = lpWindowName ? user::FoldCase(lpWindowName) : u"";
    auto& windows = S().windows;
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (!it->alive) continue;
        if (lpClassName && user::FoldCase(it->windowClass) != cls) continue;
        if (lpWindowName && user::FoldCase(it->title) != title) continue;
        return it->hwnd;
    }
    return nullptr;
}

BOOL WINAPI IsWindow(HWND hWnd) {
    RecordCall("IsWindow", user::Hex(reinterpret_cast<uintptr_t>(hWnd)));
    return Find(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    RecordCall("PostMessageW", user::Hex(reinterpret_cast<uintptr_t>(hWnd)) + u"," + user::Hex(Msg) + u"," +
                                   user::Hex(wParam) + u"," + user::Hex(static_cast<uint64_t>(lParam)));
    if (TakeFault("PostMessageW")) return FALSE;
    std::vector<HWND> targets;
    if (hWnd == HWND_BROADCAST) {
        for (auto& w : S().windows)
            if (w.alive) targets.push_back(w.hwnd);
    } else if (hWnd) {
        if (!Find(hWnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        targets.push_back(hWnd);
    }
    // A null window posts to this thread's own queue, which nothing here reads.
    for (HWND target : targets) {
        S().posted.push_back(PostedMessage{target, Msg, wParam, lParam, Now()});
        Window* w = Find(target);
        if (!w || !w->handler) continue;
        MessageHandler handler = w->handler;  // the handler may destroy windows
        handler(target, Msg, wParam, lParam);
    }
    return TRUE;
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    std::u16string text = user::FromNullable(lpString);
    RecordCall("SetWindowTextW", user::Hex(reinterpret_cast<uintptr_t>(hWnd)) + u"," + text);
    if (TakeFault("SetWindowTextW")) return FALSE;
    Window* w = Find(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    w->title = text;
    user::NoteDialogTitle(hWnd, text);
    return TRUE;
}

HWINSTA WINAPI GetProcessWindowStation(void) {
    RecordCall("GetProcessWindowStation");
    if (TakeFault("GetProcessWindowStation")) return nullptr;
    return kWindowStation;
}

BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded) {
    RecordCall("GetUserObjectInformationW",
               user::Hex(reinterpret_cast<uintptr_t>(hObj)) + u"," + user::Dec(nIndex) + u"," + user::Dec(nLength));
    if (TakeFault("GetUserObjectInformationW")) return FALSE;
    if (hObj != kWindowStation) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only the flags are modelled.
    if (nIndex != UOI_FLAGS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = sizeof(USEROBJECTFLAGS);
    if (lpnLengthNeeded) *lpnLengthNeeded = needed;
    if (!pvInfo || nLength < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    USEROBJECTFLAGS flags = {};
    flags.dwFlags = S().stationVisible ? WSF_VISIBLE : 0;
    *static_cast<USEROBJECTFLAGS*>(pvInfo) = flags;
    return TRUE;
}

SHORT WINAPI GetAsyncKeyState(int vKey) {
    RecordCall("GetAsyncKeyState", user::Hex(static_cast<uint64_t>(vKey)));
    if (TakeFault("GetAsyncKeyState")) return 0;
    // Only the "down now" bit; the "pressed since" bit is documented as unreliable.
    return S().keysDown.count(vKey) ? static_cast<SHORT>(0x8000) : 0;
}

}  // extern "C"
