// Ready-made simulated programs: a tray-style application and a help viewer.
#include <winsim/core.h>
#include <winsim/user.h>

#include <map>
#include <memory>

#include "user_internal.h"

namespace winsim {
namespace {

struct ProgramState {
    std::map<DWORD, HWND> helpWindows;
};

ProgramState& S() {
    static ProgramState state;
    return state;
}

ResetHook resetHook(2, [] { S() = ProgramState{}; });

void RunTray(const ProcessInfo& info, const TrayAppConfig& config) {
    const DWORD pid = info.pid;
    // Single instance: a second copy sees the mutex and leaves.
    if (!ProcessCreateMutex(pid, config.mutexName, true)) {
        EndProcess(pid, 0);
        return;
    }
    auto quitting = std::make_shared<bool>(false);
    CreateTopWindow(pid, config.windowClass, config.windowTitle,
                    [pid, config, quitting](HWND hwnd, UINT msg, WPARAM, LPARAM) {
                        if (msg != config.quitMessage || *quitting) return;
                        *quitting = true;
                        if (config.quitDelayMs == kNever) return;
                        ScheduleAfter(config.quitDelayMs, [pid, config, hwnd] {
                            if (!ProcessRunning(pid)) return;
                            DestroyTopWindow(hwnd);
                            if (config.releaseMutexOnQuit) ProcessReleaseMutex(pid, config.mutexName);
                            KeepImageHeldAfterExit(pid, config.holdExeAfterQuitMs);
                            EndProcess(pid, 0);
                        });
                    });
}

}  // namespace

void RegisterTrayApp(std::u16string exeFileName, TrayAppConfig config) {
    RegisterProgram(std::move(exeFileName), [config](const ProcessInfo& info) { RunTray(info, config); });
}

DWORD StartTrayApp(std::u16string exePath, TrayAppConfig config) {
    DWORD pid = user::StartBareProcess(exePath, {});
    RunTray(ProcessInfo{pid, exePath, {}}, config);
    return pid;
}

DWORD StartHelpViewer(HelpViewerConfig config) {
    DWORD pid = user::StartBareProcess(u"C:\\Windows\\hh.exe", {});
    auto closing = std::make_shared<bool>(false);
    HWND hwnd = CreateTopWindow(pid, config.windowClass, config.title,
                                [pid, config, closing](HWND self, UINT msg, WPARAM wParam, LPARAM) {
                                    // The low four bits of a system command are the system's own.
                                    bool close = (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) ||
                                                 msg == WM_CLOSE;
                                    if (!close || *closing) return;
                                    *closing = true;
                                    if (config.closeDelayMs == kNever) return;
                                    ScheduleAfter(config.closeDelayMs, [pid, self] {
                                        DestroyTopWindow(self);
                                        EndProcess(pid, 0);
                                    });
                                });
    S().helpWindows[pid] = hwnd;
    return pid;
}

HWND HelpViewerWindow(DWORD pid) {
    auto it = S().helpWindows.find(pid);
    return it != S().helpWindows.end() && WindowExists(it->second) ? it->second : nullptr;
}

}  // namespace winsim
