// Building the run's context: it checks the spooler and takes the printer snapshot, so it
// stands above the services and printers it calls.
#pragma once

#include "run/install_context.h"

// Logs the build line, checks the spooler, selects "Windows x64" (kInitStartX64) or
// "Windows NT x86", reads the installer's and the system's directories and takes the printer
// snapshot. FreeContext releases what it gathered.
InstallContext& InitContext(InstallContext& ctx, DWORD flags);
