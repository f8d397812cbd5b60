// Test-side control of the simulated file system, modules and version resources.
// Paths compare without regard to the case of A-Z; '/' and '\' are the same separator.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace winsim {

inline constexpr char16_t kDefaultSystemDir[] = u"C:\\Windows\\system32";
inline constexpr char16_t kDefaultModulePath[] = u"C:\\Program Files\\Quillgraph\\drv\\install.exe";

// What GetSystemDirectoryW and GetModuleFileNameW report.
void SetSystemDirectory(std::u16string path);
void SetModulePath(std::u16string path);

// The 8.3 alias of an existing file's or directory's last component ("PROGRA~1"): every path
// that names the alias opens the same object, and GetLongPathNameW turns it back into the long name.
// GetFullPathNameW resolves a relative path against the current directory, the system directory.
void SetShortName(std::u16string_view path, std::u16string_view shortName);

// Directories are created with their parents; files create their parent directories.
void MakeDirectory(std::u16string_view path);
void WriteTestFile(std::u16string_view path, std::string_view bytes);
bool FileExists(std::u16string_view path);       // an existing file, not a directory
bool DirectoryExists(std::u16string_view path);
std::string FileBytes(std::u16string_view path);  // empty when missing; without image header and version resource
std::string FileRawBytes(std::u16string_view path);  // every byte, image header and version resource included
bool RemoveTestFile(std::u16string_view path);    // ignores holders
bool CopyTestFile(std::u16string_view from, std::u16string_view to);  // ignores holders
std::vector<std::u16string> FilesUnder(std::u16string_view dir);      // full paths, sorted

// Version resource: the file's product version a.b.c.d (and file version alike). It is part
// of the file's raw bytes, so copies made through CreateFileW/ReadFile/WriteFile or
// CopyTestFile keep it; WriteTestFile replaces it with the new contents. A missing file is
// created empty.
void SetProductVersion(std::u16string_view path, WORD a, WORD b, WORD c, WORD d);
void ClearVersion(std::u16string_view path);

// Machine type of an image file, read from its header as the loader does. The header is the
// first bytes of the file's raw contents, so copies keep it; WriteTestFile replaces it. A file
// without one (a help file, a text file) is Machine::None and does not load.
enum class Machine { None, X64, X86 };
void SetFileMachine(std::u16string_view path, Machine machine);  // a missing file is created empty
Machine FileMachine(std::u16string_view path);  // None for a missing file

// FILE_ATTRIBUTE_READONLY etc. of an existing file (directories keep theirs).
void SetTestFileAttributes(std::u16string_view path, DWORD attributes);

// Another process holds the file open (or has it loaded as a DLL). While held, opens that
// conflict with `shareMode` fail with ERROR_SHARING_VIOLATION and DeleteFileW fails with
// `deleteError` (ERROR_ACCESS_DENIED for a loaded image, ERROR_SHARING_VIOLATION for an open file).
// The holder reads the file: opens must share reading with it, and it must share what they ask
// for. A holder whose shareMode has FILE_SHARE_DELETE does not block deletion unless its
// deleteError is ERROR_ACCESS_DENIED (a loaded image, which MoveFileExW may still rename; the
// hold follows the file). SimulateReboot ends every hold.
int HoldFile(std::u16string_view path, DWORD shareMode, DWORD deleteError = ERROR_SHARING_VIOLATION);
void ReleaseHold(int hold);
bool IsHeld(std::u16string_view path);

// Number of file handles the code under test has open.
size_t OpenFileHandles();

// The next WriteFile writes at most `bytes` bytes and still succeeds, reporting the count.
// (A failing write: InjectFault("WriteFile", error).)
void ShortWriteNext(DWORD bytes);

// The handle GetModuleHandleW(NULL) returns (the installer's hInstance).
HMODULE ModuleInstance();

}  // namespace winsim
