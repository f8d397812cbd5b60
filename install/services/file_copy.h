// Copying one product file from beside the installer into a target directory.
#pragma once

#include <windows.h>

struct InstallContext;

// Copies `fileName` from the installer's directory into `destinationDir`. outPath (optional)
// receives the full destination path; outCapacity is its size in units, and a path that does not
// fit is error 8 without a copy. Errors opening either end are logged only when
// `reportOpenErrors`; a failed read or write always is. S_OK when the whole file was copied.
HRESULT CopyFileToDir(InstallContext& ctx, LPCWSTR destinationDir, LPCWSTR fileName, LPWSTR outPath,
                      DWORD outCapacity, bool reportOpenErrors);
// Opens `path` for writing, retrying 100 times 50 ms apart for at most 10 s; the caller closes
// the handle. On failure INVALID_HANDLE_VALUE, with the last error of the failed open.
HANDLE CreateFileWithTimeout(InstallContext& ctx, LPCWSTR path);

// An existing file, not a directory.
bool IsExistingFile(LPCWSTR path);
