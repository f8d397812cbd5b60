// Exact and A-to-Z-folding comparisons, the file-name part of a path and the full-path test.
#include "run/text_compare.h"

namespace {

WCHAR FoldAsciiCase(WCHAR c) {
    return (c >= TEXT('A') && c <= TEXT('Z')) ? static_cast<WCHAR>(c - TEXT('A') + TEXT('a')) : c;
}

}  // namespace

bool SameText(LPCWSTR a, LPCWSTR b) {
    if (a == nullptr || b == nullptr) return false;
    for (;; ++a, ++b) {
        if (*a != *b) return false;
        if (*a == 0) return true;
    }
}

bool SameTextIgnoringAsciiCase(LPCWSTR a, LPCWSTR b) {
    if (a == nullptr || b == nullptr) return false;
    for (;; ++a, ++b) {
        if (FoldAsciiCase(*a) != FoldAsciiCase(*b)) return false;
        if (*a == 0) return true;
    }
}

LPCWSTR FileNamePart(LPCWSTR path) {
    LPCWSTR name = path;
    for (LPCWSTR p = path; *p; ++p) {
        if (*p == TEXT('\\') || *p == TEXT('/') || *p == TEXT(':')) name = p + 1;
    }
    return name;
}

bool IsFullPath(LPCWSTR path) {
    if (path == nullptr) return false;
    bool drive = (path[0] >= TEXT('A') && path[0] <= TEXT('Z')) || (path[0] >= TEXT('a') && path[0] <= TEXT('z'));
    if (drive && path[1] == TEXT(':')) return path[2] == TEXT('\\') || path[2] == TEXT('/');
    return path[0] == TEXT('\\') && path[1] == TEXT('\\');
}
