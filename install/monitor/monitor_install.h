// Copying and registering the product's port monitor; moving parked printers back.
#pragma once

struct InstallContext;

void AddProductMonitor(InstallContext& ctx);
