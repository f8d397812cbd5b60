// PathList: the run's own list of files still to delete, newest first, each path once.
#pragma once

#include <windows.h>

struct PathNode {
    LPWSTR path;
    PathNode* next;
};
typedef PathNode* PathList;

// A global-heap copy of the text; null for a null or empty text or when memory runs out.
LPWSTR DuplicateString(LPCWSTR text);
void PathListAdd(PathList& list, LPCWSTR path);
void PathListFree(PathNode* node);
