// The in-memory file system: case-insensitive paths, directories, attributes, open handles
// with share modes, other processes' holds, and MoveFileExW including reboot-time operations.
#include <winsim/core.h>
#include <winsim/files.h>

#include <algorithm>
#include <map>
#include <memory>

#include "kernel_internal.h"

namespace winsim {
namespace {

struct Node {
    bool directory = false;
    std::u16string path;  // as created, normalized
    std::string bytes;    // raw contents, version resource included
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
};

struct OpenFile {
    std::shared_ptr<Node> node;
    DWORD access;
    DWORD share;
    uint64_t position = 0;
};

struct Hold {
    std::u16string key;
    DWORD share;
    DWORD deleteError;
};

struct FileState {
    std::map<std::u16string, std::shared_ptr<Node>> nodes;  // by upper-case key
    std::map<uint64_t, OpenFile> opens;
    uint64_t nextOpen = 1;
    std::map<int, Hold> holds;
    int nextHold = 1;
    bool shortWrite = false;
    DWORD shortWriteBytes = 0;
    std::map<std::u16string, std::u16string> shortNames;  // upper "parent\ALIAS" -> long component
};

FileState& State() {
    static FileState state;
    return state;
}

const DWORD kReadAccess = GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | 0x0001 /*FILE_READ_DATA*/ |
                          0x0020 /*FILE_EXECUTE*/;
const DWORD kWriteAccess = GENERIC_WRITE | GENERIC_ALL | 0x0002 /*FILE_WRITE_DATA*/ | 0x0004 /*FILE_APPEND_DATA*/;
const DWORD kDeleteAccess = DELETE | GENERIC_ALL;
// Another process that has a file open or loaded reads it.
const DWORD kHolderAccess = GENERIC_READ;

// Component by component, an alias becomes its long name; `out` keeps the case it was given.
std::u16string ResolveShortNames(const std::u16string& normalized) {
    if (State().shortNames.empty()) return normalized;
    std::u16string out, key;
    size_t start = 0;
    while (start <= normalized.size()) {
        size_t end = normalized.find(u'\\', start);
        if (end == std::u16string::npos) end = normalized.size();
        std::u16string part = normalized.substr(start, end - start);
        auto it = State().shortNames.find(key + u"\\" + UpperPath(part));
        if (it != State().shortNames.end() && !part.empty()) part = it->second;
        if (start > 0) {
            out += u'\\';
            key += u'\\';
        }
        out += part;
        key += UpperPath(part);
        start = end + 1;
    }
    return out;
}

std::u16string Key(std::u16string_view path) { return UpperPath(ResolveShortNames(kernel::NormalizePath(path))); }

bool IsDriveRoot(const std::u16string& key) {
    return key.size() == 2 && key[1] == u':' && key[0] >= u'A' && key[0] <= u'Z';
}

std::u16string ParentKey(const std::u16string& key) {
    size_t pos = key.rfind(u'\\');
    return pos == std::u16string::npos ? std::u16string() : key.substr(0, pos);
}

std::shared_ptr<Node> Find(const std::u16string& key) {
    auto it = State().nodes.find(key);
    return it == State().nodes.end() ? nullptr : it->second;
}

bool DirKeyExists(const std::u16string& key) {
    if (key.empty() || IsDriveRoot(key)) return true;
    auto n = Find(key);
    return n && n->directory;
}

void MakeDirs(const std::u16string& normalized) {
    std::u16string key = UpperPath(normalized);
    if (DirKeyExists(key)) return;
    size_t pos = normalized.rfind(u'\\');
    if (pos != std::u16string::npos) MakeDirs(normalized.substr(0, pos));
    auto node = std::make_shared<Node>();
    node->directory = true;
    node->path = normalized;
    node->attributes = FILE_ATTRIBUTE_DIRECTORY;
    State().nodes[key] = node;
}

bool Conflicts(DWORD accessA, DWORD shareA, DWORD accessB, DWORD shareB) {
    auto one = [](DWORD access, DWORD otherShare) {
        return ((access & kReadAccess) && !(otherShare & FILE_SHARE_READ)) ||
               ((access & kWriteAccess) && !(otherShare & FILE_SHARE_WRITE)) ||
               ((access & kDeleteAccess) && !(otherShare & FILE_SHARE_DELETE));
    };
    return one(accessA, shareB) || one(accessB, shareA);
}

// Would an open with (access, share) of the file at `key` clash with an existing one?
bool ShareConflict(const std::u16string& key, const std::shared_ptr<Node>& node, DWORD access, DWORD share) {
    for (auto& [id, h] : State().holds)
        if (h.key == key && Conflicts(access, share, kHolderAccess, h.share)) return true;
    for (auto& [id, o] : State().opens)
        if (o.node == node && Conflicts(access, share, o.access, o.share)) return true;
    return false;
}

// Why a file cannot lose its name now (0: it can), for deletion and rename.
DWORD UnlinkBlocker(const std::u16string& key, const std::shared_ptr<Node>& node, bool rename) {
    for (auto& [id, h] : State().holds) {
        if (h.key != key) continue;
        // A loaded image can be renamed but never deleted.
        if (h.deleteError == ERROR_ACCESS_DENIED) {
            if (!rename) return ERROR_ACCESS_DENIED;
            continue;
        }
        if (!(h.share & FILE_SHARE_DELETE)) return h.deleteError ? h.deleteError : ERROR_SHARING_VIOLATION;
    }
    for (auto& [id, o] : State().opens)
        if (o.node == node && !(o.share & FILE_SHARE_DELETE)) return ERROR_SHARING_VIOLATION;
    return 0;
}

DWORD MissingError(const std::u16string& key) {
    return DirKeyExists(ParentKey(key)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

OpenFile* LookupOpen(HANDLE h) {
    uint64_t id = 0;
    if (!LookupHandle(h, ObjectKind::File, &id)) return nullptr;
    auto it = State().opens.find(id);
    return it == State().opens.end() ? nullptr : &it->second;
}

// Moves the node (and a directory's contents) from one key to another; holds follow.
void Relink(const std::u16string& fromKey, const std::u16string& toKey, const std::u16string& toPath) {
    auto& nodes = State().nodes;
    std::vector<std::pair<std::u16string, std::shared_ptr<Node>>> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
        bool under = it->first == fromKey ||
                     (it->first.size() > fromKey.size() && it->first.compare(0, fromKey.size(), fromKey) == 0 &&
                      it->first[fromKey.size()] == u'\\');
        if (!under) {
            ++it;
            continue;
        }
        std::u16string rest = it->first.substr(fromKey.size());
        it->second->path = toPath + it->second->path.substr(it->second->path.size() - rest.size());
        moved.emplace_back(toKey + rest, it->second);
        it = nodes.erase(it);
    }
    for (auto& [k, n] : moved) nodes[k] = n;
    for (auto& [id, h] : State().holds)
        if (h.key == fromKey) h.key = toKey;
}

struct Registrar {
    Registrar() {
        OnCloseHandle(ObjectKind::File, [](uint64_t id) { State().opens.erase(id); });
    }
} registrar;

ResetHook filesReset(0, [] {
    State() = FileState{};
    MakeDirs(kernel::NormalizePath(kDefaultSystemDir));
    std::u16string module = kernel::NormalizePath(kDefaultModulePath);
    MakeDirs(module.substr(0, module.rfind(u'\\')));
});

}  // namespace

namespace kernel {

std::u16string NormalizePath(std::u16string_view path) {
    std::u16string p(path);
    for (auto& c : p)
        if (c == u'/') c = u'\\';
    // Split into components, dropping empty and "." ones and resolving "..".
    bool absolute = !p.empty() && p[0] == u'\\';
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(u'\\', start);
        if (end == std::u16string::npos) end = p.size();
        std::u16string part = p.substr(start, end - start);
        if (part == u"..") {
            if (parts.size() > 1 || (parts.size() == 1 && !(parts[0].size() == 2 && parts[0][1] == u':')))
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::u16string out = absolute ? u"\\" : u"";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += u'\\';
        out += parts[i];
    }
    return out;
}

bool MoveTestFile(std::u16string_view from, std::u16string_view to, bool replace) {
    std::u16string fromKey = Key(from), toPath = NormalizePath(to), toKey = UpperPath(toPath);
    auto src = Find(fromKey);
    if (!src) return false;
    if (fromKey == toKey) {
        src->path = toPath;
        return true;
    }
    auto dst = Find(toKey);
    if (dst) {
        if (!replace || dst->directory) return false;
        State().nodes.erase(toKey);
    }
    MakeDirs(toPath.substr(0, toPath.rfind(u'\\') == std::u16string::npos ? 0 : toPath.rfind(u'\\')));
    Relink(fromKey, toKey, toPath);
    return true;
}

void EndAllHolds() { State().holds.clear(); }

}  // namespace kernel

void SetShortName(std::u16string_view path, std::u16string_view shortName) {
    std::u16string key = Key(path);
    auto node = Find(key);
    if (!node) return;
    std::u16string longName = node->path.substr(node->path.rfind(u'\\') + 1);
    State().shortNames[ParentKey(key) + u"\\" + UpperPath(shortName)] = longName;
}

void MakeDirectory(std::u16string_view path) { MakeDirs(kernel::NormalizePath(path)); }

void WriteTestFile(std::u16string_view path, std::string_view bytes) {
    std::u16string normalized = kernel::NormalizePath(path);
    std::u16string key = UpperPath(normalized);
    size_t slash = normalized.rfind(u'\\');
    if (slash != std::u16string::npos) MakeDirs(normalized.substr(0, slash));
    auto node = Find(key);
    if (!node || node->directory) {
        node = std::make_shared<Node>();
        node->path = normalized;
        State().nodes[key] = node;
    }
    node->bytes = std::string(bytes);
}

bool FileExists(std::u16string_view path) {
    auto n = Find(Key(path));
    return n && !n->directory;
}

bool DirectoryExists(std::u16string_view path) { return DirKeyExists(Key(path)); }

std::string FileBytes(std::u16string_view path) {
    auto n = Find(Key(path));
    if (!n || n->directory) return {};
    return kernel::WithoutImageHeader(kernel::WithoutVersionBlock(n->bytes));
}

std::string FileRawBytes(std::u16string_view path) {
    auto n = Find(Key(path));
    return n && !n->directory ? n->bytes : std::string();
}

bool RemoveTestFile(std::u16string_view path) {
    std::u16string key = Key(path);
    auto n = Find(key);
    if (!n || n->directory) return false;
    State().nodes.erase(key);
    return true;
}

bool CopyTestFile(std::u16string_view from, std::u16string_view to) {
    auto src = Find(Key(from));
    if (!src || src->directory) return false;
    WriteTestFile(to, src->bytes);
    Find(Key(to))->attributes = src->attributes;
    return true;
}

std::vector<std::u16string> FilesUnder(std::u16string_view dir) {
    std::u16string prefix = Key(dir) + u"\\";
    std::vector<std::u16string> out;
    for (auto& [key, node] : State().nodes)
        if (!node->directory && key.compare(0, prefix.size(), prefix) == 0) out.push_back(node->path);
    std::sort(out.begin(), out.end(), [](const std::u16string& a, const std::u16string& b) {
        return UpperPath(a) < UpperPath(b);
    });
    return out;
}

void SetProductVersion(std::u16string_view path, WORD a, WORD b, WORD c, WORD d) {
    std::u16string key = Key(path);
    if (!Find(key)) WriteTestFile(path, "");
    auto n = Find(key);
    n->bytes = kernel::WithoutVersionBlock(n->bytes) + kernel::MakeVersionBlock(a, b, c, d);
}

void ClearVersion(std::u16string_view path) {
    auto n = Find(Key(path));
    if (n && !n->directory) n->bytes = kernel::WithoutVersionBlock(n->bytes);
}

void SetFileMachine(std::u16string_view path, Machine machine) {
    std::u16string key = Key(path);
    if (!Find(key)) WriteTestFile(path, "");
    auto n = Find(key);
    std::string rest = kernel::WithoutImageHeader(n->bytes);
    WORD code = machine == Machine::X64 ? kernel::kMachineX64 : machine == Machine::X86 ? kernel::kMachineX86 : 0;
    n->bytes = code ? kernel::MakeImageHeader(code) + rest : rest;
}

Machine FileMachine(std::u16string_view path) {
    auto n = Find(Key(path));
    if (!n || n->directory) return Machine::None;
    switch (kernel::ImageMachine(n->bytes)) {
        case kernel::kMachineX64: return Machine::X64;
        case kernel::kMachineX86: return Machine::X86;
        default: return Machine::None;
    }
}

void SetTestFileAttributes(std::u16string_view path, DWORD attributes) {
    auto n = Find(Key(path));
    if (n && !n->directory) n->attributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY);
}

int HoldFile(std::u16string_view path, DWORD shareMode, DWORD deleteError) {
    int id = State().nextHold++;
    State().holds[id] = Hold{Key(path), shareMode, deleteError};
    return id;
}

void ReleaseHold(int hold) { State().holds.erase(hold); }

bool IsHeld(std::u16string_view path) {
    std::u16string key = Key(path);
    for (auto& [id, h] : State().holds)
        if (h.key == key) return true;
    return false;
}

size_t OpenFileHandles() { return State().opens.size(); }

void ShortWriteNext(DWORD bytes) {
    State().shortWrite = true;
    State().shortWriteBytes = bytes;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    RecordCall("CreateFileW", kernel::FromW(lpFileName) + u"," + kernel::Hex(dwDesiredAccess) + u"," +
                                  kernel::Dec(dwShareMode) + u"," + kernel::Dec(dwCreationDisposition));
    if (TakeFault("CreateFileW")) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING || !lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path = kernel::NormalizePath(lpFileName);
    std::u16string key = UpperPath(path);
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto node = Find(key);
    if ((node && node->directory) || IsDriveRoot(key)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!DirKeyExists(ParentKey(key))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool truncate = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & kWriteAccess)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD lastError = 0;
    if (node) {
        if (dwCreationDisposition == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if ((node->attributes & FILE_ATTRIBUTE_READONLY) && ((dwDesiredAccess & kWriteAccess) || truncate)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // Documented: CREATE_ALWAYS refuses an existing hidden or system file unless the caller
        // asks for those same attributes.
        const DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (dwCreationDisposition == CREATE_ALWAYS &&
            (node->attributes & kKeptAttributes & ~dwFlagsAndAttributes) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (ShareConflict(key, node, dwDesiredAccess, dwShareMode)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        if (truncate) node->bytes.clear();
        if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
            lastError = ERROR_ALREADY_EXISTS;
    } else {
        if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        // A name held by another process that has not created it yet is still refused.
        if (ShareConflict(key, nullptr, dwDesiredAccess, dwShareMode)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        node = std::make_shared<Node>();
        node->path = path;
        node->attributes = (dwFlagsAndAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                    FILE_ATTRIBUTE_SYSTEM)) |
                           FILE_ATTRIBUTE_ARCHIVE;
        State().nodes[key] = node;
    }
    uint64_t id = State().nextOpen++;
    State().opens[id] = OpenFile{node, dwDesiredAccess, dwShareMode, 0};
    // Only the two "always" dispositions report on success whether the file was there.
    if (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS) SetLastError(lastError);
    return NewHandle(ObjectKind::File, id);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    RecordCall("ReadFile", kernel::Dec(nNumberOfBytesToRead));
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (TakeFault("ReadFile")) return FALSE;
    OpenFile* f = LookupOpen(hFile);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((!lpNumberOfBytesRead && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(f->access & kReadAccess)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::string& bytes = f->node->bytes;
    uint64_t available = f->position < bytes.size() ? bytes.size() - f->position : 0;
    DWORD n = static_cast<DWORD>(std::min<uint64_t>(available, nNumberOfBytesToRead));
    if (n) std::copy_n(bytes.data() + f->position, n, static_cast<char*>(lpBuffer));
    f->position += n;
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = n;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    RecordCall("WriteFile", kernel::Dec(nNumberOfBytesToWrite));
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (TakeFault("WriteFile")) return FALSE;
    OpenFile* f = LookupOpen(hFile);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((!lpNumberOfBytesWritten && !lpOverlapped) || (!lpBuffer && nNumberOfBytesToWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(f->access & kWriteAccess)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    DWORD n = nNumberOfBytesToWrite;
    if (State().shortWrite) {
        State().shortWrite = false;
        n = std::min(n, State().shortWriteBytes);
    }
    std::string& bytes = f->node->bytes;
    if (bytes.size() < f->position + n) bytes.resize(f->position + n);
    if (n) std::copy_n(static_cast<const char*>(lpBuffer), n, bytes.begin() + static_cast<std::ptrdiff_t>(f->position));
    f->position += n;
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = n;
    return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    RecordCall("DeleteFileW", kernel::FromW(lpFileName));
    if (TakeFault("DeleteFileW")) return FALSE;
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string key = Key(lpFileName);
    auto node = Find(key);
    if (!node) {
        SetLastError(key.empty() ? ERROR_PATH_NOT_FOUND : MissingError(key));
        return FALSE;
    }
    if (node->directory || (node->attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (DWORD blocked = UnlinkBlocker(key, node, false)) {
        SetLastError(blocked);
        return FALSE;
    }
    // Open handles that share deletion keep the data; the name goes at once.
    State().nodes.erase(key);
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    RecordCall("GetFileAttributesW", kernel::FromW(lpFileName));
    if (TakeFault("GetFileAttributesW")) return INVALID_FILE_ATTRIBUTES;
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::u16string key = Key(lpFileName);
    if (IsDriveRoot(key)) return FILE_ATTRIBUTE_DIRECTORY;
    auto node = Find(key);
    if (!node) {
        SetLastError(key.empty() ? ERROR_PATH_NOT_FOUND : MissingError(key));
        return INVALID_FILE_ATTRIBUTES;
    }
    return node->directory ? FILE_ATTRIBUTE_DIRECTORY : node->attributes;
}

namespace {

// Both return the length without the terminator, or the size needed with it when it does not fit.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD units) {
    if (!buffer || units <= text.size()) return static_cast<DWORD>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

}  // namespace

// Text only: '/' becomes '\', "." and ".." are resolved, a relative path joins the current
// directory; whether anything exists is not asked, and aliases stay as written.
DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart) {
    RecordCall("GetFullPathNameW", kernel::FromW(lpFileName));
    if (TakeFault("GetFullPathNameW")) return 0;
    std::u16string path = kernel::FromW(lpFileName);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    for (auto& c : path)
        if (c == u'/') c = u'\\';
    std::u16string full;
    bool drive = path.size() >= 2 && path[1] == u':';
    if (path.rfind(u"\\\\", 0) == 0) {
        full = u"\\" + kernel::NormalizePath(path.substr(1));
    } else if (drive && path.size() >= 3 && path[2] == u'\\') {
        full = kernel::NormalizePath(path);
    } else if (!drive && path[0] == u'\\') {
        full = kernel::NormalizePath(std::u16string(kDefaultSystemDir).substr(0, 2) + path);
    } else {
        full = kernel::NormalizePath(std::u16string(kDefaultSystemDir) + u"\\" + (drive ? path.substr(2) : path));
    }
    if (full.size() == 2 && full[1] == u':') full += u'\\';
    DWORD result = CopyOut(full, lpBuffer, nBufferLength);
    if (lpFilePart) {
        size_t slash = full.rfind(u'\\');
        *lpFilePart = result < nBufferLength && slash + 1 < full.size() ? lpBuffer + slash + 1 : nullptr;
    }
    return result;
}

// Every component must exist; an alias becomes its long name, the others keep their case.
DWORD WINAPI GetLongPathNameW(LPCWSTR lpszShortPath, LPWSTR lpszLongPath, DWORD cchBuffer) {
    RecordCall("GetLongPathNameW", kernel::FromW(lpszShortPath));
    if (TakeFault("GetLongPathNameW")) return 0;
    if (!lpszShortPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string longPath = ResolveShortNames(kernel::NormalizePath(lpszShortPath));
    std::u16string key = UpperPath(longPath);
    if (!IsDriveRoot(key) && !Find(key)) {
        SetLastError(DirKeyExists(ParentKey(key)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::u16string given = kernel::FromW(lpszShortPath);
    if (!given.empty() && (given.back() == u'\\' || given.back() == u'/')) longPath += u'\\';
    return CopyOut(longPath, lpszLongPath, cchBuffer);
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    RecordCall("MoveFileExW", kernel::FromW(lpExistingFileName) + u"," + kernel::FromW(lpNewFileName) + u"," +
                                  kernel::Hex(dwFlags));
    if (TakeFault("MoveFileExW")) return FALSE;
    if (!lpExistingFileName || !*lpExistingFileName ||
        ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) && (dwFlags & MOVEFILE_COPY_ALLOWED))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        // Only recorded now; the reboot checks nothing either, it simply tries.
        std::u16string source = u"\\??\\" + kernel::NormalizePath(lpExistingFileName);
        std::u16string destination;
        if (lpNewFileName && *lpNewFileName) {
            destination = u"\\??\\" + kernel::NormalizePath(lpNewFileName);
            if (dwFlags & MOVEFILE_REPLACE_EXISTING) destination = u"!" + destination;
        }
        if (!kernel::AppendPendingRename(source, destination)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        return TRUE;
    }
    if (!lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string fromKey = Key(lpExistingFileName);
    std::u16string toPath = kernel::NormalizePath(lpNewFileName), toKey = UpperPath(toPath);
    auto src = Find(fromKey);
    if (!src) {
        SetLastError(MissingError(fromKey));
        return FALSE;
    }
    if (toKey.empty() || !DirKeyExists(ParentKey(toKey))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    // Another drive needs a copy, which only MOVEFILE_COPY_ALLOWED permits (and never for a directory).
    auto drive = [](const std::u16string& k) { return k.size() >= 2 && k[1] == u':' ? k.substr(0, 2) : u""; };
    if (drive(fromKey) != drive(toKey) && (!(dwFlags & MOVEFILE_COPY_ALLOWED) || src->directory)) {
        const DWORD kNotSameDevice = 17;
        SetLastError(kNotSameDevice);
        return FALSE;
    }
    if (DWORD blocked = src->directory ? 0 : UnlinkBlocker(fromKey, src, true)) {
        SetLastError(blocked);
        return FALSE;
    }
    auto dst = Find(toKey);
    if (dst && dst != src) {
        if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (dst->directory || src->directory || (dst->attributes & FILE_ATTRIBUTE_READONLY)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (DWORD blocked = UnlinkBlocker(toKey, dst, false)) {
            SetLastError(blocked == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    kernel::MoveTestFile(lpExistingFileName, lpNewFileName, true);
    return TRUE;
}

}  // extern "C"
