// Registering, starting and stopping the tray application.
#pragma once

#include "frontend/install_log.h"

struct InstallContext;

TextBuffer TrayPath(const TextBuffer& moduleDir);
void InstallTray(InstallContext& ctx);
void RemoveTray();
