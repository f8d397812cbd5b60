// Test-side control of the simulated processes, named mutexes, top-level windows, dialogs,
// key state, command line and OS version.
//
// The code under test is the "current process" (kCurrentProcess). Other processes are
// simulated programs: a behaviour registered for an executable file name runs when
// CreateProcessW (or StartProcess) starts that file. Programs act on virtual time through
// ScheduleAt, so Sleep/WaitForSingleObject in the code under test lets them move.
//
// WaitForSingleObject advances the clock in steps of at most 10 ms (stopping exactly at a
// program's next scheduled action) until the object is signalled or the timeout passes. An
// INFINITE wait that is still unsignalled after one virtual hour returns WAIT_FAILED with a
// message on stderr instead of hanging the test.
//
// Recorded call arguments (RecordCall), for tests that assert them:
//   CreateMutexA        "<initialOwner 0|1>,<name>"
//   OpenMutexA          "<access hex>,<name>"
//   ReleaseMutex        "<mutex name or empty>"
//
// Mutex security: a creator may give a DACL in SDDL form, "D:" followed by "(A;;<rights>;;;<SID>)"
// entries, rights GA/GR/GW/GE or hex, SIDs SY, BA, AU, WD. The code under test runs as an
// elevated administrator (BA, AU, WD, not SY). Without a DACL everyone has full access. Opening
// an existing mutex through CreateMutexA asks for MUTEX_ALL_ACCESS and fails with
// ERROR_ACCESS_DENIED when less is granted; OpenMutexA asks for what it names.
//   WaitForSingleObject "<kind:name-or-pid>,<ms>"   e.g. "mutex:Foo,5000", "process:1004,-1"
//   CreateProcessW      "<app or empty>,<command line>,<flags hex>"
//   FindWindowW         "<class or *>,<title or *>"
//   PostMessageW        "<hwnd hex>,<msg hex>,<wParam hex>,<lParam hex>"
//   DialogBoxParamW     "<template id or name>,<owner hwnd hex>"
//   SetWindowTextW / SetDlgItemTextW "<hwnd hex>[,<id>],<text>"
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#ifndef ERROR_NOT_OWNER
#define ERROR_NOT_OWNER 288L
#endif
#ifndef ERROR_CONTROL_ID_NOT_FOUND
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif
#ifndef STILL_ACTIVE
#define STILL_ACTIVE 259L
#endif
#ifndef BN_CLICKED
#define BN_CLICKED 0
#endif
#ifndef HWND_BROADCAST
#define HWND_BROADCAST ((HWND)0xffff)
#endif

namespace winsim {

// Process id of the code under test.
inline constexpr DWORD kCurrentProcess = 100;
// A delay that never ends (a program that hangs).
inline constexpr uint64_t kNever = ~uint64_t{0};

// ---- time-driven actions ---------------------------------------------------
// Runs `action` once the virtual clock reaches `when` (at once when `when` <= Now()).
// Actions run in time order, ties in scheduling order. Cleared by Reset.
void ScheduleAt(uint64_t when, std::function<void()> action);
void ScheduleAfter(uint64_t ms, std::function<void()> action);

// ---- processes -------------------------------------------------------------
struct ProcessInfo {
    DWORD pid = 0;
    std::u16string imagePath;    // the file that was started
    std::u16string commandLine;  // as passed to CreateProcessW (or StartProcess)
};
// What a program does when it starts (create windows, mutexes, schedule actions).
using ProgramStart = std::function<void(const ProcessInfo&)>;
// Starting a file whose name (after the last separator) equals `exeFileName`, ignoring case,
// runs `start`. A file with no registered program starts and runs until it is ended.
void RegisterProgram(std::u16string exeFileName, ProgramStart start);

// Every CreateProcessW call, successful or not, in order.
struct ProcessStart {
    std::u16string applicationName;  // lpApplicationName, empty for NULL
    std::u16string commandLine;      // lpCommandLine, empty for NULL
    std::u16string imagePath;        // the file resolved to start, empty when none
    DWORD creationFlags = 0;
    bool startupInfoGiven = false;
    DWORD cb = 0;                    // STARTUPINFOW fields
    DWORD startFlags = 0;
    WORD showWindow = 0;
    bool started = false;
    DWORD pid = 0;
    DWORD error = 0;                 // last error when it failed
};
const std::vector<ProcessStart>& ProcessStarts();

// Starts a process directly (the test launches it, nothing is recorded as CreateProcessW).
// The image file need not exist. Returns the new process id.
DWORD StartProcess(std::u16string imagePath, std::u16string commandLine = {});
// Ends a process: its windows are destroyed, mutexes it still owns become abandoned, its
// process and thread handles become signalled. The image hold ends at once.
void EndProcess(DWORD pid, DWORD exitCode = 0);
bool ProcessRunning(DWORD pid);
DWORD ProcessExitCode(DWORD pid);  // STILL_ACTIVE (259) while running
// Running processes, optionally only those started from a file with that name.
std::vector<DWORD> RunningProcesses(std::u16string_view exeFileName = {});
// While a process runs its image file is held (open for read, delete refused with
// ERROR_ACCESS_DENIED), when the file exists. Keeps the hold `ms` after the process ends.
void KeepImageHeldAfterExit(DWORD pid, uint64_t ms);

// ---- named mutexes -----------------------------------------------------------
// A simulated process opens/creates a named mutex; returns false when it existed already
// (the process then has a handle but ownership is not taken).
// `sddl` is the creator's DACL (see above), empty for the default (full access).
bool ProcessCreateMutex(DWORD pid, std::string_view name, bool initialOwner, std::string sddl = {});
// The DACL a mutex was created with, empty for the default.
std::string MutexSecurity(std::string_view name);
// Releases ownership (all recursion levels) held by `pid`; false when it is not the owner.
bool ProcessReleaseMutex(DWORD pid, std::string_view name);
bool MutexExists(std::string_view name);
// Owning process id, 0 when free (or missing); kCurrentProcess for the code under test.
DWORD MutexOwner(std::string_view name);

// ---- windows -----------------------------------------------------------------
// A posted message arrives at the owning program's handler at once (within PostMessageW).
using MessageHandler = std::function<void(HWND, UINT, WPARAM, LPARAM)>;
// A top-level window of process `pid` (kCurrentProcess or 0 for a window of the test).
HWND CreateTopWindow(DWORD pid, std::u16string windowClass, std::u16string title,
                     MessageHandler onMessage = {});
void DestroyTopWindow(HWND hwnd);
bool WindowExists(HWND hwnd);
std::u16string WindowTitle(HWND hwnd);
std::u16string WindowClass(HWND hwnd);
DWORD WindowProcess(HWND hwnd);
// Number of live top-level windows matching class and title (empty matches any; no case).
size_t WindowCount(std::u16string_view windowClass = {}, std::u16string_view title = {});

struct PostedMessage {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    uint64_t time;
};
// Every message successfully posted by PostMessageW, in order.
const std::vector<PostedMessage>& PostedMessages();

// ---- ready-made programs -----------------------------------------------------
// Tray-style application: single instance by its mutex; while running it owns the mutex and
// has one hidden top-level window. On `quitMessage` it quits after `quitDelayMs` (kNever:
// ignores it): window destroyed, mutex released (or left owned when releaseMutexOnQuit is
// false: waiters see WAIT_ABANDONED), process ends; its executable stays held for
// `holdExeAfterQuitMs` more. A second instance finds the mutex and exits at once.
struct TrayAppConfig {
    std::string mutexName;
    std::u16string windowClass;
    std::u16string windowTitle;
    UINT quitMessage = WM_USER + 2;
    uint64_t quitDelayMs = 0;
    uint64_t holdExeAfterQuitMs = 0;
    bool releaseMutexOnQuit = true;
};
void RegisterTrayApp(std::u16string exeFileName, TrayAppConfig config);
DWORD StartTrayApp(std::u16string exePath, TrayAppConfig config);

// Help viewer: one top-level window; on WM_SYSCOMMAND/SC_CLOSE (or WM_CLOSE) it closes after
// `closeDelayMs` (kNever: never) and its process ends.
struct HelpViewerConfig {
    std::u16string windowClass;
    std::u16string title;
    uint64_t closeDelayMs = 0;
};
DWORD StartHelpViewer(HelpViewerConfig config);
// The help viewer's window (null once closed).
HWND HelpViewerWindow(DWORD pid);

// ---- dialogs -----------------------------------------------------------------
// How DialogBoxParamW closes the following dialogs (default CloseButton).
enum class DialogClose {
    CloseButton,  // WM_COMMAND, IDOK / BN_CLICKED
    Cancel,       // WM_COMMAND, IDCANCEL (caption close box, system menu, Esc)
    Callback,     // the closer set with SetDialogCloser
};
void SetDialogClose(DialogClose how);
// The test drives the open dialog: send it messages with SendToDialog. Selects Callback.
void SetDialogCloser(std::function<void(HWND dialog)> closer);
// Calls the running dialog's procedure (as SendMessage would); 0 when not a running dialog.
INT_PTR SendToDialog(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// Optional: the controls of a dialog template. Once any template is declared, DialogBoxParamW
// fails for undeclared templates (ERROR_RESOURCE_NAME_NOT_FOUND) and SetDlgItemTextW for
// undeclared controls (ERROR_CONTROL_ID_NOT_FOUND); otherwise every id is accepted.
void DeclareDialogTemplate(WORD templateId, std::vector<int> controlIds);

struct DialogRecord {
    HWND hwnd = nullptr;
    WORD templateId = 0;          // 0 when named
    std::u16string templateName;  // for a named template
    HWND owner = nullptr;
    LPARAM initParam = 0;
    std::u16string title;                      // last SetWindowTextW on the dialog
    std::map<int, std::u16string> controlText;  // last SetDlgItemTextW per control
    DialogClose closedBy = DialogClose::CloseButton;
    bool ended = false;     // the procedure called EndDialog
    INT_PTR result = 0;     // EndDialog's value
    std::vector<UINT> messages;  // messages sent to the procedure, in order
    std::u16string Text(int controlId) const;
};
// Every dialog shown (created), in order; a dialog still running is included.
const std::vector<DialogRecord>& Dialogs();

// ---- input, command line, version ------------------------------------------------
void SetKeyDown(int vk, bool down = true);
// Whether the process's window station is the interactive one (WSF_VISIBLE); default true. A
// service or a deployment tool running as SYSTEM sees false: its windows reach no user.
void SetWindowStationVisible(bool visible);
// The Remote Desktop Services session of the code under test and of the programs it starts;
// default 1 (the first user's). Services and SYSTEM tasks run in session 0.
void SetSessionId(DWORD session);
// What GetCommandLineW returns; default: the default module path in quotes.
void SetCommandLine(std::u16string commandLine);
// What GetVersionExA reports. Default: an application without a compatibility manifest on
// Windows 10 sees 6.2, build 9200, VER_PLATFORM_WIN32_NT.
void SetOsVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId = VER_PLATFORM_WIN32_NT,
                  std::string csdVersion = {});

}  // namespace winsim
