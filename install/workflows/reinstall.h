#pragma once
struct InstallContext;
void ReInstall(InstallContext& ctx);
