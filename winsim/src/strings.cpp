// lstr* string functions and MultiByteToWideChar (the ANSI code page is 1252).
#include <winsim/core.h>

#include <cstring>
#include <string>

#include "kernel_internal.h"

namespace winsim {
namespace kernel {
namespace {

// 0x80-0x9F of code page 1252; the five undefined bytes map to U+0081 etc. as Windows does.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char16_t FromCp1252(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F) return kCp1252High[c - 0x80];
    return c;
}

std::u16string Cp1252ToU16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out.push_back(FromCp1252(static_cast<unsigned char>(c)));
    return out;
}

std::string U16ToCp1252(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t u : s) {
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            out.push_back(static_cast<char>(u));
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; ++i)
            if (kCp1252High[i] == u) mapped = static_cast<char>(0x80 + i);
        out.push_back(mapped);
    }
    return out;
}

std::u16string FromW(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }
std::u16string FromA(LPCSTR s) { return s ? Cp1252ToU16(s) : std::u16string(); }

std::u16string Hex(uint64_t v) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(digits[v & 0xF]));
        v >>= 4;
    } while (v);
    return u"0x" + out;
}

std::u16string Dec(int64_t v) { return ToU16(std::to_string(v)); }

}  // namespace kernel
}  // namespace winsim

namespace {

// Case folding for A-Z and Latin-1, enough for the names the installer compares.
char16_t Fold(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    if (c == 0xFF) return 0x178;
    return c;
}

bool IsLowerLetter(char16_t c) { return Fold(c) != c; }

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// The soft hyphen has no sort weight: a linguistic comparison passes over it.
std::u16string Weighted(const char16_t* s) {
    std::u16string out;
    for (; *s; ++s)
        if (*s != 0x00AD) out.push_back(*s);
    return out;
}

// Word-sort approximation: letters compare without case first; on a tie the first case
// difference decides, lower case before upper case, as the user locale sorts.
int CompareWide(const char16_t* rawA, const char16_t* rawB, bool ignoreCase) {
    if (!rawA || !rawB) return rawA == rawB ? 0 : (rawA ? 1 : -1);
    const std::u16string weightedA = Weighted(rawA), weightedB = Weighted(rawB);
    const char16_t* a = weightedA.c_str();
    const char16_t* b = weightedB.c_str();
    size_t i = 0;
    for (;; ++i) {
        char16_t fa = Fold(a[i]), fb = Fold(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (!a[i]) break;
    }
    if (ignoreCase) return 0;
    for (size_t k = 0; k < i; ++k) {
        if (a[k] == b[k]) continue;
        return IsLowerLetter(a[k]) ? -1 : 1;
    }
    return 0;
}

int CompareAnsi(LPCSTR a, LPCSTR b, bool ignoreCase) {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
    std::u16string wa = winsim::kernel::Cp1252ToU16(a), wb = winsim::kernel::Cp1252ToU16(b);
    return CompareWide(wa.c_str(), wb.c_str(), ignoreCase);
}

template <typename C>
int Length(const C* s) {
    if (!s) return 0;
    int n = 0;
    while (s[n]) ++n;
    return n;
}

template <typename C>
C* CopyN(C* dst, const C* src, int max) {
    if (!dst || !src) return nullptr;
    if (max <= 0) return dst;
    int i = 0;
    for (; i < max - 1 && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

template <typename C>
C* Cat(C* dst, const C* src) {
    if (!dst || !src) return nullptr;
    int n = Length(dst);
    int i = 0;
    for (; src[i]; ++i) dst[n + i] = src[i];
    dst[n + i] = 0;
    return dst;
}

int DecodeUtf8(const unsigned char* s, int n, bool strict, std::u16string* out) {
    for (int i = 0; i < n;) {
        unsigned char c = s[i];
        char32_t cp = 0;
        int extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F, extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F, extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07, extra = 3;
        } else {
            if (strict) return -1;
            out->push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = i + extra < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (ok && ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                   (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
            ok = false;
        if (!ok) {
            if (strict) return -1;
            out->push_back(0xFFFD);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return static_cast<int>(out->size());
}

}  // namespace

using namespace winsim;

extern "C" {

// String functions are recorded too; the copying ones can be made to fail (NULL, as
// documented for a fault while copying), the others cannot fail.
int WINAPI lstrlenW(LPCWSTR lpString) {
    RecordCall("lstrlenW");
    return Length(lpString);
}

int WINAPI lstrlenA(LPCSTR lpString) {
    RecordCall("lstrlenA");
    return Length(lpString);
}

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
    RecordCall("lstrcmpW");
    return CompareWide(a, b, false);
}

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    RecordCall("lstrcmpiW");
    return CompareWide(a, b, true);
}

int WINAPI lstrcmpA(LPCSTR a, LPCSTR b) {
    RecordCall("lstrcmpA");
    return Sign(CompareAnsi(a, b, false));
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b) {
    RecordCall("lstrcmpiA");
    return Sign(CompareAnsi(a, b, true));
}

LPWSTR WINAPI lstrcpyW(LPWSTR dst, LPCWSTR src) {
    RecordCall("lstrcpyW");
    if (TakeFault("lstrcpyW")) return nullptr;
    return CopyN(dst, src, src ? Length(src) + 1 : 0);
}

LPSTR WINAPI lstrcpyA(LPSTR dst, LPCSTR src) {
    RecordCall("lstrcpyA");
    if (TakeFault("lstrcpyA")) return nullptr;
    return CopyN(dst, src, src ? Length(src) + 1 : 0);
}

LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
    RecordCall("lstrcpynW", kernel::Dec(max));
    if (TakeFault("lstrcpynW")) return nullptr;
    return CopyN(dst, src, max);
}

LPSTR WINAPI lstrcpynA(LPSTR dst, LPCSTR src, int max) {
    RecordCall("lstrcpynA", kernel::Dec(max));
    if (TakeFault("lstrcpynA")) return nullptr;
    return CopyN(dst, src, max);
}

LPWSTR WINAPI lstrcatW(LPWSTR dst, LPCWSTR src) {
    RecordCall("lstrcatW");
    if (TakeFault("lstrcatW")) return nullptr;
    return Cat(dst, src);
}

LPSTR WINAPI lstrcatA(LPSTR dst, LPCSTR src) {
    RecordCall("lstrcatA");
    if (TakeFault("lstrcatA")) return nullptr;
    return Cat(dst, src);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    RecordCall("MultiByteToWideChar", kernel::Dec(CodePage) + u"," + kernel::Dec(cbMultiByte) + u"," +
                                          kernel::Dec(cchWideChar));
    if (TakeFault("MultiByteToWideChar")) return 0;
    const UINT kCp1252 = 1252;
    bool utf8 = CodePage == CP_UTF8;
    if ((CodePage != CP_ACP && CodePage != kCp1252 && !utf8) || !lpMultiByteStr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
        (lpWideCharStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD kUseGlyphChars = 0x4, kComposite = 0x2;
    DWORD allowed = utf8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | kComposite | kUseGlyphChars | MB_ERR_INVALID_CHARS);
    if ((dwFlags & ~allowed) || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & kComposite))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    // -1: the terminator is converted and counted too.
    int n = cbMultiByte == -1 ? static_cast<int>(std::strlen(lpMultiByteStr)) + 1 : cbMultiByte;
    std::u16string out;
    if (utf8) {
        const int kNoUnicodeTranslation = 1113;
        if (DecodeUtf8(reinterpret_cast<const unsigned char*>(lpMultiByteStr), n,
                       (dwFlags & MB_ERR_INVALID_CHARS) != 0, &out) < 0) {
            SetLastError(kNoUnicodeTranslation);
            return 0;
        }
    } else {
        out = kernel::Cp1252ToU16(std::string_view(lpMultiByteStr, static_cast<size_t>(n)));
    }
    int needed = static_cast<int>(out.size());
    if (cchWideChar == 0) return needed;
    if (cchWideChar < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (int i = 0; i < needed; ++i) lpWideCharStr[i] = out[static_cast<size_t>(i)];
    return needed;
}

}  // extern "C"
