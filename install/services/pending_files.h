// Files that wait for deletion: the run's own list and the platform's reboot-time operations.
#pragma once

#include <windows.h>

struct InstallContext;

struct PathNode {
    LPWSTR path;
    PathNode* next;
};
typedef PathNode* PathList;

LPWSTR DuplicateString(LPCWSTR text);
void PathListAdd(PathList& list, LPCWSTR path);
void PathListFree(PathNode* node);
void DeletePendingFiles(InstallContext& ctx);

struct PendingRenameTable {
    LPWSTR* paths;
    int* isFile;
    int pairCount;
};

// The path handed to file calls: without a leading "\??\".
LPCWSTR StripNtPrefix(LPCWSTR path);
DWORD ReadPendingRenameValue(BYTE** raw, HKEY key);
void ReadPendingRenames(PendingRenameTable& table);
void DeleteScheduledFilesNow(PendingRenameTable& table);
void FreePendingRenames(PendingRenameTable& table);
