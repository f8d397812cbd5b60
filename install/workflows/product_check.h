// Is the product on this machine whole? The answer behind "verify": it reads and changes nothing.
#pragma once

#include "run/text_buffer.h"

// Appends one line (ending in CR LF) to `missing` for each part of the product that is missing
// or broken; true when there is none. The parts: the port monitor with its DLL in the system
// directory, of a compatible build and not scheduled to go at the next reboot; the driver in
// both environments at this installer's build; a product printer on the product's port; the
// autostart value naming this installation's tray executable, which exists; an empty install
// journal.
bool CheckProductWhole(TextBuffer& missing);
