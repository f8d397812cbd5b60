// Shared between the process, window, dialog and program parts of winsim.
#pragma once

#include <winsim/user.h>

#include <string>
#include <string_view>

namespace winsim::user {

// The time an action was scheduled for while it runs, else Now(): follow-ups keep exact times
// even when the clock jumped past them in one Sleep.
uint64_t EffectiveNow();
// Earliest pending action time, kNever when none.
uint64_t NextActionTime();

// A process that runs no registered program (the caller supplies the behaviour).
DWORD StartBareProcess(std::u16string imagePath, std::u16string commandLine);

void DestroyProcessWindows(DWORD pid);
void DestroyAllWindows();

// Dialog hooks used by the window functions.
bool IsRunningDialog(HWND hwnd);
void NoteDialogTitle(HWND hwnd, std::u16string_view title);

std::u16string Hex(uint64_t value);
std::u16string Dec(int64_t value);
std::u16string FoldCase(std::u16string_view s);  // A-Z to a-z only
std::u16string FileNameOf(std::u16string_view path);
std::u16string FromNullable(const char16_t* s);

}  // namespace winsim::user
