// The installer's growable UTF-16 text and the run's indented in-memory log.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>

struct InstallContext;

// One heap block: the length, then the text and its terminating zero.
struct TextBlock {
    uint64_t length;
    WCHAR text[1];
};
// Null is the empty text; a block never holds the empty text.
typedef TextBlock* TextBuffer;

// Units of capacity for a text of length n (multiple of 32, room for the terminator).
uint64_t TextCapacity(uint64_t length);
void Resize(TextBuffer& buffer, uint64_t length);
void Assign(TextBuffer& buffer, LPCWSTR text);
void Append(TextBuffer& buffer, LPCWSTR text);
void FreeText(TextBuffer& buffer);
TextBuffer CopyText(const TextBuffer& source);
TextBuffer FromAnsi(LPCSTR text);
TextBuffer ParentPath(const TextBuffer& source);
// The text, or an empty string for the empty text; never null.
LPCWSTR TextOf(const TextBuffer& buffer);
uint64_t TextLength(const TextBuffer& buffer);

// Longest formatted line in units, terminator excluded; longer results are cut.
const int kMaxLogLine = 1023;

// printf-style formatting over UTF-16: %d, %u, %x, %s (UTF-16 string), %%.
// Writes at most capacity - 1 units and a terminator; returns the units written.
int FormatText(LPWSTR buffer, int capacity, LPCWSTR format, ...);
int FormatTextV(LPWSTR buffer, int capacity, LPCWSTR format, va_list args);

void LogLine(InstallContext& ctx, LPCWSTR text);
void LogPrint(InstallContext& ctx, LPCWSTR format, ...);
void LogError(InstallContext& ctx, int code, LPCWSTR format, ...);

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
};
