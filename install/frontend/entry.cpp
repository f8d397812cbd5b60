// The entry routine: split the command line, pick one action by its command word, run it and
// turn its outcome into the exit code the setup program reads.
#include "frontend/entry.h"

#include <windows.h>
#include <shellapi.h>

#include "frontend/event_report.h"
#include "frontend/install_context.h"
#include "frontend/install_log.h"
#include "frontend/log_dialog.h"
#include "printers/printer_checks.h"
#include "services/pending_files.h"
#include "tray/tray_app.h"
#include "workflows/reinstall.h"
#include "workflows/startup_check.h"
#include "workflows/uninstall.h"

namespace {

const int kExitInstalled = 1;
const int kExitUninstalled = 2;
const int kExitNo = 3;
const int kExitDefaultSet = 4;
const int kExitNothing = 6;
const int kExitErrors = 100;
const int kExitRebootPending = 101;
const int kExitDefaultNotProduct = 102;
const int kExitDriverRecent = 103;
const int kExitFilesWaiting = 200;

// The help viewer may refuse to close; 100 rounds of 50 ms keep a run from hanging on it.
const int kHelpCloseRounds = 100;
const DWORD kHelpCloseWaitMs = 50;

// Command words fold only A to Z; every other unit must match exactly.
bool IsInstallWord(LPCWSTR word) {
    return SameTextIgnoringAsciiCase(word, TEXT("in")) || SameTextIgnoringAsciiCase(word, TEXT("install")) ||
           SameTextIgnoringAsciiCase(word, TEXT("serverinstall")) ||
           SameTextIgnoringAsciiCase(word, TEXT("in_notray"));
}

// Unit by unit, case included; lstrcmpW would compare by the locale's sort weights.
bool SameUnits(LPCWSTR a, LPCWSTR b) {
    for (; *a == *b; ++a, ++b)
        if (*a == 0) return true;
    return false;
}

bool IsBlank(WCHAR c) {
    return c == TEXT(' ') || c == TEXT('\t') || c == TEXT('\n') || c == TEXT('\v') || c == TEXT('\f') ||
           c == TEXT('\r');
}

// Signed decimal with leading blanks and sign; stops at the first non-digit; clamps to 32 bits.
LONG ParseWindowNumber(LPCWSTR text) {
    while (IsBlank(*text)) ++text;
    bool negative = false;
    if (*text == TEXT('+') || *text == TEXT('-')) {
        negative = *text == TEXT('-');
        ++text;
    }
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long value = 0;
    for (; *text >= TEXT('0') && *text <= TEXT('9'); ++text) {
        value = value * 10 + (*text - TEXT('0'));
        if (value > limit) value = limit;  // saturate; later digits cannot bring it back
    }
    return static_cast<LONG>(negative ? -value : value);
}

HWND ParentWindowOf(int argc, LPWSTR* argv) {
    if (argc != 3) return NULL;
    HWND candidate = reinterpret_cast<HWND>(static_cast<LONG_PTR>(ParseWindowNumber(argv[2])));
    return IsWindow(candidate) ? candidate : NULL;
}

bool ShiftHeld() {
    return GetAsyncKeyState(VK_SHIFT) < 0;
}

// Where no user can see a window (a service, a deployment tool running as SYSTEM) the modal
// dialog would never be closed and the run would never end. Unknown counts as visible.
bool WindowsReachAUser() {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station == NULL ||
        !GetUserObjectInformationW(station, UOI_FLAGS, &flags, static_cast<DWORD>(sizeof(flags)), &needed))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Shown when the run logged errors or the user holds Shift, and someone can see it.
void ShowLogIfWanted(InstallContext& ctx, HWND parent) {
    if (ctx.errorCount == 0 && !ShiftHeld()) return;
    if (!WindowsReachAUser()) return;
    DialogBoxParamW(g_moduleInstance, MAKEINTRESOURCEW(IDD_LOG_DIALOG), parent, LogDialogProc,
                    reinterpret_cast<LPARAM>(&ctx));
}

int RunInstall(HWND parent) {
    CloseHelpWindows();
    InstallContext ctx;
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    LogPrint(ctx, TEXT(">>0010"));
    ReInstall(ctx);
    DWORD scheduled = ScheduleDeletesAtReboot(ctx);
    ShowLogIfWanted(ctx, parent);
    int code = ctx.errorCount != 0 ? kExitErrors : scheduled > 0 ? kExitRebootPending : kExitInstalled;
    ReportRunToEventLog(ctx, code);
    FreeContext(ctx);
    return code;
}

int Dispatch(int argc, LPWSTR* argv) {
    if (argc < 2) return kExitNothing;
    LPCWSTR word = argv[1];
    HWND parent = ParentWindowOf(argc, argv);

    bool installMode = IsInstallWord(word);
    if (SameTextIgnoringAsciiCase(word, TEXT("onChkDrv"))) {
        return CheckDriver() ? kExitDriverRecent : kExitNo;
    }
    if (SameTextIgnoringAsciiCase(word, TEXT("onInit"))) {
        if (StartupCheck()) return kExitFilesWaiting;
        return CheckDefaultPrinter() ? kExitDefaultNotProduct : kExitNo;
    }
    if (SameTextIgnoringAsciiCase(word, TEXT("un")) || SameTextIgnoringAsciiCase(word, TEXT("uninstall"))) {
        CloseHelpWindows();
        DWORD scheduled = 0;
        if (RunUninstall(parent, scheduled)) return kExitErrors;
        return scheduled > 0 ? kExitRebootPending : kExitUninstalled;
    }
    if (SameTextIgnoringAsciiCase(word, TEXT("removetray"))) {
        RemoveTray();
        return kExitNothing;
    }
    if (installMode) return RunInstall(parent);
    if (SameUnits(word, TEXT("def.set"))) {
        SetProductDefault();
        return kExitDefaultSet;
    }
    return kExitNothing;
}

}  // namespace

int RunEntry(HINSTANCE instance, LPCWSTR commandLine) {
    g_moduleInstance = instance;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    int code = argv ? Dispatch(argc, argv) : kExitNothing;
    // The process ends right after this; releasing here keeps the host runs' heap balanced.
    if (argv) LocalFree(argv);
    return code;
}

void CloseHelpWindows() {
    for (int round = 0; round < kHelpCloseRounds; ++round) {
        HWND help = FindWindowW(TEXT("HH Parent"), TEXT("Quillgraph Help"));
        if (!help) return;
        PostMessageW(help, WM_SYSCOMMAND, SC_CLOSE, 0);
        Sleep(kHelpCloseWaitMs);
    }
}

DWORD ScheduleDeletesAtReboot(InstallContext& ctx) {
    DWORD scheduled = 0;
    for (PathNode* node = ctx.pendingDeletes; node; node = node->next) {
        if (node->path && MoveFileExW(node->path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)) ++scheduled;
    }
    if (ctx.pendingDeletes) PathListFree(ctx.pendingDeletes);
    ctx.pendingDeletes = NULL;
    return scheduled;
}

bool RunUninstall(HWND parent, DWORD& scheduled) {
    InstallContext ctx;
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    UnInstallWithRestart(ctx);
    scheduled = ScheduleDeletesAtReboot(ctx);
    ShowLogIfWanted(ctx, parent);
    bool errors = ctx.errorCount != 0;
    ReportRunToEventLog(ctx, errors ? kExitErrors : scheduled > 0 ? kExitRebootPending : kExitUninstalled);
    FreeContext(ctx);
    return errors;
}
