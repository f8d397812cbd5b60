// The run's indented in-memory log and its error codes.
#pragma once

#include <windows.h>

#include <cstdarg>

#include "run/owned.h"
#include "run/text_buffer.h"

struct InstallContext;

// Longest formatted line in units, terminator excluded; longer results are cut.
const int kMaxLogLine = 1023;

// printf-style formatting into UTF-16: %d, %u, %x, %s (UTF-16 string), %%. The format itself is
// ASCII, half the size of its wide form in the binary. Writes at most capacity - 1 units and a
// terminator; returns the units written.
int FormatText(LPWSTR buffer, int capacity, LPCSTR format, ...);
int FormatTextV(LPWSTR buffer, int capacity, LPCSTR format, va_list args);

// Lines are indented by two spaces per level of the context's logIndent, ten levels at most,
// and end in CR LF. Writing a line leaves the thread's last error as it was.
void LogLine(InstallContext& ctx, LPCWSTR text);
void LogPrint(InstallContext& ctx, LPCSTR format, ...);
void LogPrintV(InstallContext& ctx, LPCSTR format, va_list args);
// "Error(code): " + the message + the system's text for the thread's last error, which it reads
// first and leaves as it found it; counts in errorCount.
void LogError(InstallContext& ctx, int code, LPCSTR format, ...);

// An operation's part of the log: writes its heading (">AddMonitor"), raises the indent by
// `levels` and lowers it again however the operation returns.
class LogSection {
public:
    LogSection(InstallContext& ctx, LPCSTR format, ...);
    LogSection(InstallContext& ctx, LONG levels, LPCSTR format, ...);
    LogSection(const LogSection&) = delete;
    LogSection& operator=(const LogSection&) = delete;
    ~LogSection();

private:
    InstallContext& ctx_;
    LONG levels_;
};

// The system's English text for `error`, as FormatMessageW hands it over (CR LF kept), or
// nothing; the last error stays as it was.
OwnedLocal<WCHAR> SystemErrorText(DWORD error);

// Error codes of the log's error lines.
enum ErrorCode {
    kErrOpenServiceManager = 1,
    kErrOpenSpooler = 2,
    kErrStopSpooler = 3,
    kErrStartSpooler = 4,
    kErrControlService = 5,
    kErrDriverDirectory = 6,
    kErrSystemDirectory = 7,
    kErrCopyFile = 8,
    kErrOpenDestination = 9,
    kErrOpenSource = 10,
    kErrInstallMonitor = 11,
    kErrRemoveMonitor = 12,
    kErrInstallDriver = 13,
    kErrRemoveDriver = 14,
    kErrAddPrinter = 15,
    kErrOpenPrinter = 16,
    kErrDeletePrinter = 17,
    kErrAnotherRun = 18,
    kErrKeepMonitorFile = 19,
    kErrSystemFunction = 20,
    kErrJournal = 21,
    kErrLeftOnFilePort = 22,
    kErrInstallerDirectory = 23,
    kErrRestoreSettings = 24,
};
