// Helpers shared by winsim's kernel parts (files, registry, heaps, texts); not for tests.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim {
namespace kernel {

// Code page 1252 both ways; unmappable UTF-16 units become '?'.
char16_t FromCp1252(unsigned char c);
std::u16string Cp1252ToU16(std::string_view s);
std::string U16ToCp1252(std::u16string_view s);

// A wide C string (NULL gives empty).
std::u16string FromW(LPCWSTR s);
std::u16string FromA(LPCSTR s);

// Hex text for call records.
std::u16string Hex(uint64_t v);
std::u16string Dec(int64_t v);

// A LocalAlloc block that is accounted but neither recorded nor subject to faults
// (FormatMessageW's own allocation).
void* AccountedLocalAlloc(size_t bytes, bool zero);

// A VS_VERSIONINFO block (header, key, fixed info) and a file's bytes without it.
std::string MakeVersionBlock(WORD a, WORD b, WORD c, WORD d);
std::string WithoutVersionBlock(const std::string& bytes);
// The product version a.b.c.d of a file's bytes as one number (a in the top 16 bits), 0 without one.
uint64_t VersionOfBytes(const std::string& bytes);

// An image header ("MZ" stub and the PE machine field) at the start of a file's bytes.
std::string MakeImageHeader(WORD machine);
std::string WithoutImageHeader(const std::string& bytes);
WORD ImageMachine(const std::string& bytes);  // 0 without a header
inline constexpr WORD kMachineX64 = 0x8664;
inline constexpr WORD kMachineX86 = 0x014C;

// Files, for the reboot and the registry.
bool MoveTestFile(std::u16string_view from, std::u16string_view to, bool replace);
void EndAllHolds();
// "C:\x\..\y" style clean-up: '/' to '\', no doubled or trailing separators.
std::u16string NormalizePath(std::u16string_view path);

// Appends the strings of one reboot-time operation to PendingFileRenameOperations.
bool AppendPendingRename(const std::u16string& source, const std::u16string& destination);

// Services at a reboot: every service is set to its boot state (auto-start ones running),
// without state-change notifications or start/stop counts; OnReboot listeners follow.
void ServicesRestartForReboot();

}  // namespace kernel
}  // namespace winsim
