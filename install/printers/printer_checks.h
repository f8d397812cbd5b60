// The driver check, the default-printer check and def.set.
#pragma once

// True unless the default printer is a product printer (no default, or one that cannot be read,
// counts as another).
bool CheckDefaultPrinter();
// True when the first product printer's driver file is of build 2416 or later.
bool CheckDriver();
// Makes the first product printer the default printer.
void SetProductDefault();
