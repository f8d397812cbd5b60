// Test-side control of the simulated machine: reset, virtual clock, faults on demand and the
// record of every API call. Each subsystem of winsim registers its reset with ResetHook.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// Puts the whole machine back to its initial state (every subsystem, clock, faults, calls).
void Reset();

// A subsystem's reset, run by Reset() by stage (kernel state 0, services 1, spooler and
// processes 2), then registration order. Use as a namespace-scope static; listeners
// (OnClockAdvance, OnCloseHandle, ...) are registered the same way, once, not per Reset.
struct ResetHook {
    ResetHook(int stage, std::function<void()> reset);
};

// ---- virtual clock -------------------------------------------------------
// Milliseconds since the machine started; Sleep advances it, GetTickCount reads it (mod 2^32).
uint64_t Now();
void AdvanceClock(uint64_t ms);
void SetTickCount(DWORD ticks);  // next GetTickCount returns this; lets tests cross the wrap
// Sum of all Sleep() durations since Reset.
uint64_t TotalSlept();
// Called (with the elapsed ms) every time the clock moves, so that simulated parties
// (services, the tray application) can act on time.
void OnClockAdvance(std::function<void(uint64_t now)> listener);

// ---- faults --------------------------------------------------------------
// The next `times` calls of `api` (e.g. "CreateFileW") fail with `error`, after `skip` calls
// that behave normally. A negative `times` means every call from then on.
// WaitForSingleObject takes a wait result as its "error": WAIT_TIMEOUT makes a timed wait on a
// mutex or process wait its whole time and time out; WAIT_ABANDONED ends the mutex's holder
// (another process) without its releasing it, and the wait gets it abandoned. Any other error
// is WAIT_FAILED.
void InjectFault(std::string_view api, DWORD error, int times = 1, int skip = 0);
void ClearFaults();
// Used by API implementations: true when the call must fail; the last error is set already.
bool TakeFault(std::string_view api);

// ---- last error ------------------------------------------------------------
// On: every recorded call that succeeds leaves ERROR_SUCCESS as the thread's last error, as many
// Windows calls do, so code that reads the last error after a later call sees it clobbered. Off
// (the default): a successful call leaves the last error as it was, unless its documentation
// says what it sets. Either way the calls that return their error (registry, printer data) and
// the string and sleep helpers leave it alone, and another party acting through BeforeCall does
// not touch this thread's value.
void SuccessClearsLastError(bool on);

// ---- call record ---------------------------------------------------------
struct Call {
    std::string api;
    std::u16string args;  // key arguments, comma separated, as the implementation formats them
};
void RecordCall(std::string_view api, std::u16string_view args = {});
// With QGR_CALL_TRACE naming a directory, every recorded call and every traced text is appended
// to <directory>/<program name>, so two builds' runs of the suite can be compared line by line.
void Trace(std::u16string_view text);
const std::vector<Call>& Calls();
// Another party acting between two calls of the code under test: `action` runs once, when the
// (skip+1)th following call of `api` is recorded, before that call does its work.
void BeforeCall(std::string_view api, std::function<void()> action, int skip = 0);
// The party acts whether or not the code under test gets that far: the actions whose call never
// came run now, in the order they were registered.
void FlushBeforeCalls();
void ClearCalls();
// Number of recorded calls of `api`.
size_t CallCount(std::string_view api);
// Names of the recorded calls in order, optionally only those in `filter`.
std::vector<std::string> CallSequence(const std::vector<std::string>& filter = {});

// ---- the end of the code under test's process ---------------------------
// Windows ends a process (TerminateProcess, a deployment tool's time-out, a power cut for what
// the process held) without running any more of its code: mutexes it owns are abandoned (the
// next wait gets WAIT_ABANDONED), every handle it has open (files, mutexes, processes,
// printers, registry keys, services, event sources) is closed, its heap blocks are released and
// its windows destroyed. What it already wrote stays written, a half-written file included.
//
// KillBeforeCall(n): inside RunProcess, the call that would be the (n+1)th recorded call from
// now (any API: n counts every recorded call, so the sweeps pick the index of the call they
// mean from an undisturbed run's record) is not made; the process ends there instead and
// RunProcess returns. The code under test is not unwound (its guards' calls could be kill points
// too): from the kill point on, every call it makes fails with ERROR_PROCESS_ABORTED without being
// recorded or changing anything, and the process ends when the body returns to RunProcess.
void KillBeforeCall(size_t n);
// Runs `body` as the code under test's process. True when it ran to its end (its result in
// *result); false when it was killed (the process is ended and *result is untouched).
bool RunProcess(const std::function<int()>& body, int* result);
// Ends the code under test's process now, as a kill does; also what a test calls after a run
// whose process would have exited (releasing what it forgot, as Windows does at the exit).
void EndCurrentProcess();
// A subsystem's part of the process end (close its handles, abandon its objects). Register
// once, at namespace scope, like ResetHook.
struct ProcessEndHook {
    explicit ProcessEndHook(std::function<void()> release);
};

// ---- kernel object handles -----------------------------------------------
// One table for every HANDLE-typed object (files, mutexes, processes, threads, printers).
enum class ObjectKind { File, Mutex, Process, Thread, Printer };
HANDLE NewHandle(ObjectKind kind, uint64_t id);
// The object id behind a handle of that kind, or false.
bool LookupHandle(HANDLE h, ObjectKind kind, uint64_t* id);
// Removes the handle from the table; returns false for an unknown handle.
bool ForgetHandle(HANDLE h);
size_t OpenHandleCount(ObjectKind kind);
// CloseHandle dispatches on the kind; a subsystem registers what closing means for its kind.
void OnCloseHandle(ObjectKind kind, std::function<void(uint64_t id)> close);

// ---- text helpers for winsim and tests ----------------------------------
std::u16string ToU16(std::string_view ascii_or_utf8);
std::string ToUtf8(std::u16string_view s);
std::u16string UpperPath(std::u16string_view s);  // A-Z folding, '/' to '\'

}  // namespace winsim
