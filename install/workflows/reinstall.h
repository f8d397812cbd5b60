// The install run's workflow.
#pragma once
struct InstallContext;
// Removes what is installed (keeping a compatible monitor), deletes what waits for deletion, then
// installs monitor, driver in both environments, printers with their settings and the tray
// application; what stays locked is left in pendingDeletes for the reboot.
void ReInstall(InstallContext& ctx);
