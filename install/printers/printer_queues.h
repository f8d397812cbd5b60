// Adding and deleting single product printers.
#pragma once

#include <windows.h>

struct InstallContext;

// Adds the printer on the product's port with the product's driver; the caller closes the handle
// it returns. Null and error 15 when the spooler refuses.
HANDLE AddProductPrinter(InstallContext& ctx, LPCWSTR name);
// Purges and deletes the printer (errors 16 and 17).
void DeleteProductPrinter(InstallContext& ctx, LPCWSTR name);
