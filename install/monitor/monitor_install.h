// Copying and registering the product's port monitor; moving parked printers back.
#pragma once

struct InstallContext;

// Copies the monitor DLL into the system directory (unless a kept monitor's DLL is there), registers
// "QuillgraphServer:" (5 attempts 50 ms apart, then error 11) and moves parked printers back.
void AddProductMonitor(InstallContext& ctx);
