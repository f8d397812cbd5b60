// Version resources. A file's version resource travels with its bytes (appended as a
// VS_VERSIONINFO block, as the resource sits inside a real image), so copies keep it.
#include <winsim/core.h>
#include <winsim/files.h>

#include <cstring>

#include "kernel_internal.h"

namespace winsim {
namespace kernel {
namespace {

// wLength, wValueLength, wType, "VS_VERSION_INFO\0", one WORD of padding, VS_FIXEDFILEINFO.
const size_t kKeyOffset = 6;
const size_t kFixedOffset = 40;
const size_t kBlockSize = kFixedOffset + sizeof(VS_FIXEDFILEINFO);
const char16_t kKey[] = u"VS_VERSION_INFO";

void PutWord(std::string& s, size_t at, WORD v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

WORD GetWord(const unsigned char* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

// True when `p` starts a version block of ours (header, key and signature all present).
bool IsVersionBlock(const unsigned char* p, size_t available) {
    if (available < kBlockSize) return false;
    if (GetWord(p) < kBlockSize || GetWord(p + 2) != sizeof(VS_FIXEDFILEINFO)) return false;
    for (size_t i = 0; i < 16; ++i)
        if (GetWord(p + kKeyOffset + 2 * i) != static_cast<WORD>(kKey[i])) return false;
    DWORD signature;
    std::memcpy(&signature, p + kFixedOffset, sizeof signature);
    return signature == VS_FFI_SIGNATURE;
}

bool EndsWithBlock(const std::string& bytes) {
    return bytes.size() >= kBlockSize &&
           IsVersionBlock(reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size() - kBlockSize, kBlockSize);
}

}  // namespace

std::string MakeVersionBlock(WORD a, WORD b, WORD c, WORD d) {
    std::string block(kBlockSize, '\0');
    PutWord(block, 0, static_cast<WORD>(kBlockSize));
    PutWord(block, 2, static_cast<WORD>(sizeof(VS_FIXEDFILEINFO)));
    PutWord(block, 4, 0);
    for (size_t i = 0; i < 16; ++i) PutWord(block, kKeyOffset + 2 * i, static_cast<WORD>(kKey[i]));
    VS_FIXEDFILEINFO info{};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = VS_FFI_STRUCVERSION;
    info.dwFileVersionMS = info.dwProductVersionMS = (static_cast<DWORD>(a) << 16) | b;
    info.dwFileVersionLS = info.dwProductVersionLS = (static_cast<DWORD>(c) << 16) | d;
    info.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    info.dwFileOS = VOS_NT_WINDOWS32;
    info.dwFileType = VFT_DLL;
    std::memcpy(&block[kFixedOffset], &info, sizeof info);
    return block;
}

uint64_t VersionOfBytes(const std::string& bytes) {
    if (!EndsWithBlock(bytes)) return 0;
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, bytes.data() + bytes.size() - kBlockSize + kFixedOffset, sizeof info);
    return (static_cast<uint64_t>(info.dwProductVersionMS) << 32) | info.dwProductVersionLS;
}

std::string WithoutVersionBlock(const std::string& bytes) {
    return EndsWithBlock(bytes) ? bytes.substr(0, bytes.size() - kBlockSize) : bytes;
}

namespace {
// "MZ", the stub's filler, then "PE\0\0" and the COFF machine field.
const char kImageMagic[] = {'M', 'Z', '\x90', '\0', 'P', 'E', '\0', '\0'};
const size_t kImageHeaderSize = sizeof(kImageMagic) + 2;

bool HasImageHeader(const std::string& bytes) {
    return bytes.size() >= kImageHeaderSize && std::memcmp(bytes.data(), kImageMagic, sizeof(kImageMagic)) == 0;
}
}  // namespace

std::string MakeImageHeader(WORD machine) {
    std::string header(kImageMagic, sizeof(kImageMagic));
    header.push_back(static_cast<char>(machine & 0xFF));
    header.push_back(static_cast<char>(machine >> 8));
    return header;
}

std::string WithoutImageHeader(const std::string& bytes) {
    return HasImageHeader(bytes) ? bytes.substr(kImageHeaderSize) : bytes;
}

WORD ImageMachine(const std::string& bytes) {
    if (!HasImageHeader(bytes)) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + sizeof(kImageMagic);
    return GetWord(p);
}

}  // namespace kernel
}  // namespace winsim

using namespace winsim;

namespace {

const DWORD kInfoSize = 2 * 92 + 4;  // room for an ANSI copy as version.dll reserves

// 0 when the file has a version block, else the error GetFileVersionInfo* report.
DWORD VersionBlockOf(LPCWSTR path, std::string* block) {
    if (!path) return ERROR_INVALID_PARAMETER;
    std::u16string p = kernel::NormalizePath(path);
    if (!FileExists(p)) {
        if (DirectoryExists(p)) return ERROR_ACCESS_DENIED;
        size_t slash = p.rfind(u'\\');
        bool parent = slash == std::u16string::npos || DirectoryExists(p.substr(0, slash));
        return parent ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    std::string raw = FileRawBytes(p);
    std::string stripped = kernel::WithoutVersionBlock(raw);
    if (stripped.size() == raw.size()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    *block = raw.substr(stripped.size());
    return 0;
}

}  // namespace

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
    RecordCall("GetFileVersionInfoSizeW", kernel::FromW(lptstrFilename));
    if (lpdwHandle) *lpdwHandle = 0;
    if (TakeFault("GetFileVersionInfoSizeW")) return 0;
    std::string block;
    if (DWORD error = VersionBlockOf(lptstrFilename, &block)) {
        SetLastError(error);
        return 0;
    }
    return kInfoSize;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
    (void)dwHandle;
    RecordCall("GetFileVersionInfoW", kernel::FromW(lptstrFilename) + u"," + kernel::Dec(dwLen));
    if (TakeFault("GetFileVersionInfoW")) return FALSE;
    if (!lpData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string block;
    if (DWORD error = VersionBlockOf(lptstrFilename, &block)) {
        SetLastError(error);
        return FALSE;
    }
    // A larger buffer is truncated per the documentation; one that cannot hold the fixed
    // part would leave VerQueryValueW reading past it, so it is refused.
    if (dwLen < block.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD n = dwLen < kInfoSize ? dwLen : kInfoSize;
    std::memset(lpData, 0, n);
    std::memcpy(lpData, block.data(), block.size());
    return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    RecordCall("VerQueryValueW", kernel::FromW(lpSubBlock));
    if (TakeFault("VerQueryValueW")) return FALSE;
    if (!pBlock || !lpSubBlock || !lplpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const unsigned char* p = static_cast<const unsigned char*>(pBlock);
    std::u16string sub = lpSubBlock;
    std::string probe(reinterpret_cast<const char*>(p), 92);
    if (kernel::WithoutVersionBlock(probe).size() == probe.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (sub != u"\\" && sub != u"/") {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    *lplpBuffer = const_cast<unsigned char*>(p + 40);
    if (puLen) *puLen = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
}

}  // extern "C"
