// Test-side control of the system message texts that FormatMessageW returns.
// Texts are the en-US ones, each ending in "\r\n"; codes without a text make FormatMessageW
// fail with ERROR_MR_MID_NOT_FOUND. A FACILITY_WIN32 HRESULT (0x8007xxxx) gives the text of
// its Win32 code. Reset restores the table.
#pragma once

#include <windows.h>

#include <string>

namespace winsim {

// Replaces a code's text exactly as given (no "\r\n" is added), or gives a code a text.
void SetMessageText(DWORD code, std::u16string text);
// The code has no text any more: FormatMessageW fails with ERROR_MR_MID_NOT_FOUND.
void RemoveMessageText(DWORD code);
// The text FormatMessageW would give, "\r\n" included; empty when there is none.
std::u16string SystemMessageText(DWORD code);

}  // namespace winsim
