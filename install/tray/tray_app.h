// Registering, starting and stopping the tray application.
#pragma once

#include "run/install_log.h"

struct InstallContext;

TextBuffer TrayPath(const TextBuffer& moduleDir);
void InstallTray(InstallContext& ctx);
void RemoveTray();
// Stops the tray application and removes its autostart; the executable the autostart names is
// deleted unless it is `keepExecutable` (A to Z folded): the file an install run registers and
// starts again at its end.
void RemoveTray(LPCWSTR keepExecutable);
