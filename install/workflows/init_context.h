// Building the run's context: it checks the spooler and takes the printer snapshot, so it
// stands above the services and printers it calls.
#pragma once

#include "run/install_context.h"

InstallContext& InitContext(InstallContext& ctx, DWORD flags);
