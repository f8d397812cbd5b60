// Registering, starting and stopping the tray application.
#pragma once

#include "run/install_log.h"

struct InstallContext;

TextBuffer TrayPath(const TextBuffer& moduleDir);
void InstallTray(InstallContext& ctx);
void RemoveTray();
// deleteExecutable false: stop the tray application and remove its autostart but keep its
// executable (an install run registers and starts that same file again at its end).
void RemoveTray(bool deleteExecutable);
