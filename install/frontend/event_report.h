// The outcome of an install or uninstall run, left in the Application event log.
#pragma once

struct InstallContext;

// The event source name an administrator filters on.
#define QGR_EVENT_SOURCE TEXT("Quillgraph Installer")

// One event: type error when the run logged errors, else information; event id = exit code;
// the run's log as its one string. Call after the log dialog; a failure changes nothing.
void ReportRunToEventLog(const InstallContext& ctx, int exitCode);
