#pragma once
struct InstallContext;
void UnInstall(InstallContext& ctx);
void UnInstallServer(InstallContext& ctx);
void UnInstallWithRestart(InstallContext& ctx);
