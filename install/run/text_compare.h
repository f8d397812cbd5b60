// Comparisons of names and paths that decide which file is deleted and which command runs.
#pragma once

#include <windows.h>

// Equal texts, unit by unit, terminator included and case kept; false when either is null.
// lstrcmpW would compare by the locale's sort weights and pass over some units entirely.
bool SameText(LPCWSTR a, LPCWSTR b);

// Equal texts when only the letters A to Z are folded; every other unit must match exactly.
// False when either is null.
bool SameTextIgnoringAsciiCase(LPCWSTR a, LPCWSTR b);

// The part of a path after its last '\', '/' or ':'; the whole text when it has none.
LPCWSTR FileNamePart(LPCWSTR path);

// A path that names its drive and root ("X:\...") or a share or device ("\\..."): anything else
// is resolved against the current directory, which a run must never copy from or delete in.
bool IsFullPath(LPCWSTR path);
