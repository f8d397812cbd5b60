// Registering, starting and stopping the tray application.
#pragma once

#include "run/install_log.h"

struct InstallContext;

// The name of the tray application's value under the machine's Run key.
inline constexpr WCHAR kTrayAutostartValue[] = TEXT("QuillgraphTray");

// "qgrtray.exe" in the parent of the installer's directory, as a full path the caller frees; none
// when that directory is unknown or memory ran out.
TextBuffer TrayPath(const TextBuffer& moduleDir);
// The path the autostart value names (REG_SZ, read up to its first zero), or the empty text when
// it is absent, empty, of another type or unreadable; the caller frees the text.
TextBuffer ReadTrayAutostart();
// Registers the tray application under the machine's Run key and starts it; failures are silent.
void InstallTray(InstallContext& ctx);
// Stops the tray application and removes its autostart, deleting the executable it names.
void RemoveTray();
// Stops the tray application and removes its autostart; the executable the autostart names is
// deleted unless it is `keepExecutable` (A to Z folded): the file an install run registers and
// starts again at its end.
void RemoveTray(LPCWSTR keepExecutable);
