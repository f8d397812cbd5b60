// PathList: the run's own list of files still to delete.
#include "run/path_list.h"

#include "run/text_compare.h"

LPWSTR DuplicateString(LPCWSTR text) {
    if (text == nullptr || text[0] == 0) return nullptr;
    int length = lstrlenW(text);
    LPWSTR copy = static_cast<LPWSTR>(GlobalAlloc(GPTR, (static_cast<SIZE_T>(length) + 1) * sizeof(WCHAR)));
    if (copy == nullptr) return nullptr;
    for (int i = 0; i < length; ++i) copy[i] = text[i];
    return copy;
}

void PathListAdd(PathList& list, LPCWSTR path) {
    if (path == nullptr || path[0] == 0) return;  // nothing a deletion could act on
    for (PathNode* node = list; node != nullptr; node = node->next)
        if (SameText(node->path, path)) return;
    PathNode* node = static_cast<PathNode*>(GlobalAlloc(GPTR, sizeof(PathNode)));
    if (node == nullptr) return;
    node->path = DuplicateString(path);
    if (node->path == nullptr) {
        GlobalFree(node);
        return;
    }
    node->next = list;
    list = node;
}

void PathListFree(PathNode* node) {
    // Walks instead of recursing, so a long list cannot exhaust the stack.
    while (node != nullptr) {
        PathNode* next = node->next;
        if (node->path != nullptr) GlobalFree(node->path);
        GlobalFree(node);
        node = next;
    }
}
