// Adding and deleting single product printers.
#pragma once

#include <windows.h>

struct InstallContext;

HANDLE AddProductPrinter(InstallContext& ctx, LPCWSTR name);
void DeleteProductPrinter(InstallContext& ctx, LPCWSTR name);
