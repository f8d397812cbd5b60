// Copying one product file from beside the installer into a target directory.
#pragma once

#include <windows.h>

struct InstallContext;

// outPath (optional) receives the full destination path; outCapacity is its size in units.
HRESULT CopyFileToDir(InstallContext& ctx, LPCWSTR destinationDir, LPCWSTR fileName, LPWSTR outPath,
                      DWORD outCapacity, bool reportOpenErrors);
HANDLE CreateFileWithTimeout(InstallContext& ctx, LPCWSTR path);

// An existing file, not a directory.
bool IsExistingFile(LPCWSTR path);
