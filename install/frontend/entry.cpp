// The entry routine: split the command line, pick one action by its command word, run it and
// turn its outcome into the exit code the setup program reads.
#include "frontend/entry.h"

#include <windows.h>
#include <shellapi.h>
#include <sddl.h>

#include "frontend/event_report.h"
#include "frontend/log_dialog.h"
#include "frontend/system_functions.h"
#include "printers/printer_checks.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "services/pending_files.h"
#include "tray/tray_app.h"
#include "workflows/init_context.h"
#include "workflows/product_check.h"
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
const int kExitWhole = 104;
const int kExitFilesWaiting = 200;

// The help viewer may refuse to close; 100 rounds of 50 ms keep a run from hanging on it.
const int kHelpCloseRounds = 100;
const DWORD kHelpCloseWaitMs = 50;

// One run at a time changes the machine, in every session: a second install or uninstall
// would interleave its snapshot, deletions and restores with the first one's.
const CHAR kRunMutex[] = "Global\\Quillgraph.Install.Run";
// The longest a run that is not hung can hold the turn, from its bounded waits: help windows
// 5 s, spooler check 10 s, tray shutdown 106 s, six spooler restarts of 20 s, eight file
// copies of up to 10 s, monitor registration 0.2 s: about 321 s.
const DWORD kRunTurnWaitMs = 330000;

// onInit runs before an install and must not keep it waiting long: without the turn it only reads.
const DWORD kInitTurnWaitMs = 30000;

HANDLE g_runTurn = NULL;

// SYSTEM (a deployment agent) and administrators (a user's double click) must both be able to
// wait on the mutex whoever created it; the default security gives the other one no more than
// SYNCHRONIZE, or nothing.
HANDLE CreateRunMutex() {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                              &descriptor, NULL))
        descriptor = NULL;  // default security: the same account still serializes
    OwnedLocal<void> owned(descriptor);
    SECURITY_ATTRIBUTES attributes = {static_cast<DWORD>(sizeof(attributes)), descriptor, FALSE};
    HANDLE mutex = CreateMutexA(descriptor ? &attributes : NULL, FALSE, kRunMutex);
    // Created by an account whose security lets us only wait: waiting is all a turn needs.
    if (mutex == NULL && GetLastError() == ERROR_ACCESS_DENIED) mutex = OpenMutexA(SYNCHRONIZE, FALSE, kRunMutex);
    return mutex;
}

// False only when another run kept the turn for the whole wait. A mutex that cannot be made
// or waited on serializes nothing, and the run goes on as it always did.
bool TakeRunTurn(DWORD waitMs = kRunTurnWaitMs) {
    OwnedHandle mutex(CreateRunMutex());
    if (!mutex) return true;
    DWORD wait = WaitForSingleObject(mutex.get(), waitMs);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {  // abandoned: the holder died
        g_runTurn = mutex.release();
        return true;
    }
    return wait != WAIT_TIMEOUT;
}

// Once the machine is changed: the log dialog may stay open for as long as the user likes.
void EndRunTurn() {
    if (g_runTurn == NULL) return;
    ReleaseMutex(g_runTurn);
    CloseHandle(g_runTurn);
    g_runTurn = NULL;
}

// Command words fold only A to Z; every other unit must match exactly.
bool IsInstallWord(LPCWSTR word) {
    return SameTextIgnoringAsciiCase(word, TEXT("in")) || SameTextIgnoringAsciiCase(word, TEXT("install")) ||
           SameTextIgnoringAsciiCase(word, TEXT("serverinstall")) ||
           SameTextIgnoringAsciiCase(word, TEXT("in_notray"));
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
// dialog would never be closed and the run would never end. Session 0 holds services and
// SYSTEM tasks and no user's desktop, even on a window station that calls itself visible.
// Unknown counts as visible.
bool WindowsReachAUser() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0) return false;
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

// The end of an install or uninstall that changed nothing and logged why.
int EndRefusedRun(InstallContext& ctx, HWND parent) {
    ReportRunToEventLog(ctx, kExitErrors);
    ShowLogIfWanted(ctx, parent);
    FreeContext(ctx);
    return kExitErrors;
}

// An install or uninstall that did not get its turn: nothing changed, one error line.
int ReportAnotherRun(HWND parent) {
    InstallContext ctx = {};
    LogPrint(ctx, "Quillgraph %d", BuildNumber);
    SetLastError(WAIT_TIMEOUT);
    LogError(ctx, kErrAnotherRun, "Another installation is in progress.");
    return EndRefusedRun(ctx, parent);
}

// An install or uninstall without all of its spooler and version functions would stop halfway:
// it changes nothing and says which function or DLL the system directory did not give.
int ReportUnbound(HWND parent, const BindFailure& failure) {
    InstallContext ctx = {};
    LogPrint(ctx, "Quillgraph %d", BuildNumber);
    SetLastError(failure.error);
    if (failure.function == NULL) {
        LogError(ctx, kErrSystemFunction, "Can't load %s from the system directory", failure.dll);
        return EndRefusedRun(ctx, parent);
    }
    WCHAR function[64] = {0};  // the export's ASCII name, widened for the log
    for (int i = 0; i < 63 && failure.function[i] != 0; ++i) function[i] = static_cast<WCHAR>(failure.function[i]);
    LogError(ctx, kErrSystemFunction, "Can't find %s in %s", function, failure.dll);
    return EndRefusedRun(ctx, parent);
}

int RunInstall(HWND parent) {
    CloseHelpWindows();
    InstallContext ctx;
    InitContext(ctx, kInitBothEnvironments | kInitStartX64);
    LogPrint(ctx, ">>0010");
    ReInstall(ctx);
    DWORD scheduled = ScheduleDeletesAtReboot(ctx);
    RegisterEventMessages();
    EndRunTurn();
    // The dialog changes nothing of the outcome: it is reported first.
    int code = ctx.errorCount != 0 ? kExitErrors : scheduled > 0 ? kExitRebootPending : kExitInstalled;
    ReportRunToEventLog(ctx, code);
    ShowLogIfWanted(ctx, parent);
    FreeContext(ctx);
    return code;
}

// Reads only: no run turn, no log, no dialog, no wait. A warning event names what is missing.
int RunVerify() {
    WCHAR heading[64];
    FormatText(heading, 64, "Quillgraph %d verify: the product is not whole\r\n", BuildNumber);
    TextBuffer text = nullptr;
    Assign(text, heading);
    bool whole = CheckProductWhole(text);
    if (!whole) ReportToEventLog(EVENTLOG_WARNING_TYPE, kExitNo, text);
    FreeText(text);
    return whole ? kExitWhole : kExitNo;
}

// `unbound` describes a missing spooler or version function, or is NULL. The queries go on
// without it: its calls fail, and they answer as for any failed call.
int Dispatch(int argc, LPWSTR* argv, const BindFailure* unbound) {
    if (argc < 2) return kExitNothing;
    LPCWSTR word = argv[1];
    HWND parent = ParentWindowOf(argc, argv);

    bool installMode = IsInstallWord(word);
    if (SameTextIgnoringAsciiCase(word, TEXT("onChkDrv"))) {
        return CheckDriver() ? kExitDriverRecent : kExitNo;
    }
    if (SameTextIgnoringAsciiCase(word, TEXT("onInit"))) {
        // Its deletions and spooler restarts must not land in the middle of another run.
        if (StartupCheck(TakeRunTurn(kInitTurnWaitMs))) return kExitFilesWaiting;
        EndRunTurn();
        return CheckDefaultPrinter() ? kExitDefaultNotProduct : kExitNo;
    }
    if (SameTextIgnoringAsciiCase(word, TEXT("verify"))) return RunVerify();
    if (SameTextIgnoringAsciiCase(word, TEXT("un")) || SameTextIgnoringAsciiCase(word, TEXT("uninstall"))) {
        if (unbound) return ReportUnbound(parent, *unbound);
        if (!TakeRunTurn()) return ReportAnotherRun(parent);
        CloseHelpWindows();
        DWORD scheduled = 0;
        if (RunUninstall(parent, scheduled)) return kExitErrors;
        return scheduled > 0 ? kExitRebootPending : kExitUninstalled;
    }
    // The small commands have no log: the exit code alone says that nothing was done.
    if (SameTextIgnoringAsciiCase(word, TEXT("removetray"))) {
        if (!TakeRunTurn()) return kExitErrors;
        RemoveTray();
        return kExitNothing;
    }
    if (installMode) {
        if (unbound) return ReportUnbound(parent, *unbound);
        if (!TakeRunTurn()) return ReportAnotherRun(parent);
        return RunInstall(parent);
    }
    if (SameText(word, TEXT("def.set"))) {
        if (!TakeRunTurn()) return kExitErrors;
        SetProductDefault();
        return kExitDefaultSet;
    }
    return kExitNothing;
}

}  // namespace

int RunEntry(HINSTANCE instance, LPCWSTR commandLine) {
    g_moduleInstance = instance;
    BindFailure failure;
    bool bound = BindSystemFunctions(failure);
    int argc = 0;
    // The process ends right after this; releasing the block keeps the host runs' heap balanced.
    OwnedLocal<LPWSTR> argv(CommandLineToArgvW(commandLine, &argc));
    int code = argv ? Dispatch(argc, argv.get(), bound ? NULL : &failure) : kExitNothing;
    EndRunTurn();
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
        if (!node->path) continue;
        if (MoveFileExW(node->path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
            ++scheduled;
        else
            LogPrint(ctx, "Can't delete %s now or at the next reboot", node->path);  // left for good
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
    UnregisterEventMessages();
    EndRunTurn();
    bool errors = ctx.errorCount != 0;
    ReportRunToEventLog(ctx, errors ? kExitErrors : scheduled > 0 ? kExitRebootPending : kExitUninstalled);
    ShowLogIfWanted(ctx, parent);
    FreeContext(ctx);
    return errors;
}
