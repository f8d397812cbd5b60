// Files that wait for deletion: the run's own list and the platform's reboot-time operations.
#pragma once

#include <windows.h>

#include "run/path_list.h"

struct InstallContext;

// Deletes the files of pendingDeletes; those that stay (in use) stay on the list.
void DeletePendingFiles(InstallContext& ctx);

struct PendingRenameTable {
    LPWSTR* paths;
    int* isFile;
    int pairCount;
};

// The path handed to file calls: without a leading "\??\".
LPCWSTR StripNtPrefix(LPCWSTR path);
// PendingFileRenameOperations of the open Session Manager `key`, which it closes, into a global
// block `*raw` the caller releases (null when absent, empty or unreadable); returns its bytes.
DWORD ReadPendingRenameValue(BYTE** raw, HKEY key);
// The value decoded into (source, destination) pairs with the sources that are existing files
// marked; an empty table when the value is absent or a copy failed. FreePendingRenames releases it.
void ReadPendingRenames(PendingRenameTable& table);
// Deletes now each scheduled deletion (empty destination) whose source is an existing file.
void DeleteScheduledFilesNow(PendingRenameTable& table);
void FreePendingRenames(PendingRenameTable& table);

// Drops from the platform's reboot-time operations every scheduled deletion (empty destination)
// whose source is `path` (NT prefix removed, case of A-Z ignored); every other pair and the rest
// of the value stay byte for byte, and a value left without operations is removed. Returns the
// number of deletions dropped, kScheduledDeletesUnread when the value could not be read (nothing
// is known of a deletion), or kScheduledDeletesKept when one was found and the rewrite failed.
const int kScheduledDeletesKept = -1;
const int kScheduledDeletesUnread = -2;
int RemoveScheduledDeletesOf(LPCWSTR path);

