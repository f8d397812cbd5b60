// The driver check, the default-printer check and def.set.
#pragma once

bool CheckDefaultPrinter();
bool CheckDriver();
void SetProductDefault();
