// The install journal: what a run destroys and must build again (the product printers it deletes,
// the printers it parks on "file:") is written to HKLM and flushed before the destructive call,
// and removed once rebuilt. A run that is stopped in between leaves its entries for the next
// run to replay.
#pragma once

#include <windows.h>
#include <winspool.h>

#include "run/install_context.h"

inline constexpr WCHAR kJournalKey[] = TEXT("SOFTWARE\\Corvane Software KFT\\Quillgraph\\InstallJournal");

// Where a printer's SubKey was read from.
const DWORD kSubKeyPlain = 1;
const DWORD kSubKeyDsUser = 2;

// Writes and flushes one entry, replacing an earlier one of the printer; false, with the last
// error of the failing call, when it could not be made to last.
bool JournalPrinter(const PRINTER_INFO_2W& printer, LPCSTR subKey, DWORD subKeyPlaces);
bool JournalParked(LPCWSTR name, LPCWSTR ports);
// Removes the printer's entry of that kind; one that is not there is no error.
void JournalRemove(JournalKind kind, LPCWSTR name);
// Every entry in the order written, as a list the caller releases with FreeJournal (the context
// does for its own). False, with
// the last error, when the journal exists but cannot be read; an entry that does not decode is
// removed and counted in `dropped`.
bool ReadJournal(JournalEntry*& entries, int& dropped);
