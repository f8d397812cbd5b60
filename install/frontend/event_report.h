// The outcome of an install or uninstall run, left in the Application event log.
#pragma once

#include <windows.h>

#include "run/text_buffer.h"

struct InstallContext;

// The event source name an administrator filters on.
#define QGR_EVENT_SOURCE TEXT("Quillgraph Installer")

// One event: type error when the run logged errors, warning when files wait for a reboot (101),
// else information; event id = exit code; the run's log as its one string. Called as soon as
// the exit code is known, before the log dialog, so that a run nobody closes has reported; a
// failure changes nothing.
void ReportRunToEventLog(const InstallContext& ctx, int exitCode);
// One event of `type` with id `exitCode` and `text` as its one string; a text longer than an
// event takes keeps its head and its tail with a marker between them.
void ReportToEventLog(WORD type, int exitCode, const TextBuffer& text);

// The source under the Application log with this executable as its message file (one message,
// "%1", for every event id the installer writes), so that Event Viewer shows the text alone.
// Failures are ignored: the events are written all the same.
void RegisterEventMessages();
void UnregisterEventMessages();
