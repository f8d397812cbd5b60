// Taking the product off the machine; every step logs its failures and the next step goes on.
#pragma once
struct InstallContext;
// Tray application, printers (settings saved first), driver, port monitor, then a pass over the
// locked files; the server form (both environments) when the context asks for it.
void UnInstall(InstallContext& ctx);
void UnInstallServer(InstallContext& ctx);
// UnInstall, then parked printers lose the product's port, the platform's scheduled deletions
// run, and the locked files are tried again around a spooler restart; what stays is left in
// pendingDeletes for the reboot.
void UnInstallWithRestart(InstallContext& ctx);
