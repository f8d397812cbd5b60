// The registry: HKLM/HKCU trees with case-insensitive keys and typed values stored as bytes,
// open key handles with their access rights, PendingFileRenameOperations and the reboot.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>

#include <algorithm>
#include <map>
#include <memory>

#include "kernel_internal.h"

namespace winsim {
namespace {

const LSTATUS kKeyDeleted = 1018;  // kKeyDeleted

struct Value {
    std::u16string name;
    DWORD type;
    std::string bytes;
};

struct Key {
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;  // by upper-case name
    std::vector<Value> values;                                // in creation order
};

struct OpenKey {
    uintptr_t root;
    std::vector<std::u16string> path;  // upper-case components
    REGSAM access;
};

struct RegistryState {
    std::map<uintptr_t, Key> roots;
    std::map<uintptr_t, OpenKey> open;
    uintptr_t nextHandle = 0x40000000;
};

RegistryState& State() {
    static RegistryState state;
    return state;
}

std::vector<std::function<void()>>& RebootListeners() {
    static std::vector<std::function<void()>> listeners;
    return listeners;
}

uintptr_t RootId(HKEY h) { return reinterpret_cast<uintptr_t>(h); }

bool IsRoot(HKEY h) {
    return h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER || h == HKEY_CLASSES_ROOT || h == HKEY_USERS;
}

std::u16string RootName(uintptr_t root) {
    if (root == RootId(HKEY_LOCAL_MACHINE)) return u"HKLM";
    if (root == RootId(HKEY_CURRENT_USER)) return u"HKCU";
    if (root == RootId(HKEY_CLASSES_ROOT)) return u"HKCR";
    return u"HKU";
}

// Key and value names compare ignoring the case of A-Z; '/' is an ordinary character in them.
std::u16string UpperName(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return out;
}

// A key path splits at '\' only.
std::vector<std::u16string> Split(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string upper = UpperName(path);
    size_t start = 0;
    while (start <= upper.size()) {
        size_t end = upper.find(u'\\', start);
        if (end == std::u16string::npos) end = upper.size();
        if (end > start) parts.push_back(upper.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

Key* Walk(uintptr_t root, const std::vector<std::u16string>& path, bool create, bool* created = nullptr) {
    Key* key = &State().roots[root];
    for (auto& part : path) {
        auto it = key->subkeys.find(part);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            if (created) *created = true;
            it = key->subkeys.emplace(part, std::make_unique<Key>()).first;
        }
        key = it->second.get();
    }
    return key;
}

Value* FindValue(Key* key, std::u16string_view name) {
    std::u16string upper = UpperName(name);
    for (auto& v : key->values)
        if (UpperName(v.name) == upper) return &v;
    return nullptr;
}

void PutValue(Key* key, std::u16string_view name, DWORD type, std::string bytes) {
    if (Value* v = FindValue(key, name)) {
        v->type = type;
        v->bytes = std::move(bytes);
        return;
    }
    key->values.push_back(Value{std::u16string(name), type, std::move(bytes)});
}

bool EraseValue(Key* key, std::u16string_view name) {
    std::u16string upper = UpperName(name);
    for (auto it = key->values.begin(); it != key->values.end(); ++it)
        if (UpperName(it->name) == upper) {
            key->values.erase(it);
            return true;
        }
    return false;
}

// The key a handle stands for: a root (full access) or an open key.
bool Resolve(HKEY h, OpenKey* out) {
    if (IsRoot(h)) {
        *out = OpenKey{RootId(h), {}, KEY_ALL_ACCESS};
        return true;
    }
    auto it = State().open.find(RootId(h));
    if (it == State().open.end()) return false;
    *out = it->second;
    return true;
}

REGSAM Granted(REGSAM sam) {
    const REGSAM kMaximumAllowed = 0x02000000;
    REGSAM g = sam & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (sam & GENERIC_READ) g |= KEY_READ;
    if (sam & GENERIC_WRITE) g |= KEY_WRITE;
    if (sam & (GENERIC_ALL | kMaximumAllowed)) g |= KEY_ALL_ACCESS;
    return g;
}

std::u16string Describe(const OpenKey& k, std::u16string_view sub = {}) {
    std::u16string s = RootName(k.root);
    for (auto& p : k.path) s += u"\\" + p;
    if (!sub.empty()) s += u"\\" + std::u16string(sub);
    return s;
}

HKEY NewKeyHandle(OpenKey k) {
    uintptr_t id = State().nextHandle;
    State().nextHandle += 4;
    State().open[id] = std::move(k);
    return reinterpret_cast<HKEY>(id);
}

std::string Bytes16(const std::u16string& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

std::u16string Units(const std::string& bytes) {
    std::u16string s(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return s;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The strings of a multi-string; the list's own final empty string is not one of them.
std::vector<std::u16string> SplitMulti(const std::string& bytes) {
    std::u16string units = Units(bytes);
    std::vector<std::u16string> out;
    size_t pos = 0;
    while (pos < units.size()) {
        size_t end = units.find(u'\0', pos);
        if (end == std::u16string::npos) end = units.size();
        out.push_back(units.substr(pos, end - pos));
        pos = end + 1;
    }
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

std::string JoinMulti(const std::vector<std::u16string>& strings) {
    std::u16string units;
    for (auto& s : strings) units += s + u'\0';
    units += u'\0';
    return Bytes16(units);
}

ProcessEndHook registryEnd([] { State().open.clear(); });

ResetHook registryReset(0, [] {
    State() = RegistryState{};
    CreateRegKey(HKEY_LOCAL_MACHINE, kSessionManagerKey);
    CreateRegKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    CreateRegKey(HKEY_CURRENT_USER, u"Software");
});

LSTATUS OpenKeyCommon(HKEY hKey, const std::u16string& sub, REGSAM sam, PHKEY phkResult) {
    OpenKey parent;
    if (!Resolve(hKey, &parent)) return ERROR_INVALID_HANDLE;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    OpenKey k{parent.root, parent.path, Granted(sam)};
    for (auto& p : Split(sub)) k.path.push_back(p);
    if (!Walk(k.root, k.path, false)) return ERROR_FILE_NOT_FOUND;
    *phkResult = NewKeyHandle(std::move(k));
    return ERROR_SUCCESS;
}

// The key of an open handle that needs `right`; sets *status on failure.
Key* KeyFor(HKEY hKey, REGSAM right, LSTATUS* status) {
    OpenKey k;
    if (!Resolve(hKey, &k)) {
        *status = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if ((k.access & right) != right) {
        *status = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    Key* key = Walk(k.root, k.path, false);
    // The key went away under the handle.
    if (!key) *status = kKeyDeleted;
    return key;
}

LSTATUS QueryCommon(HKEY hKey, const std::u16string& name, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                    LPDWORD lpcbData, bool ansi) {
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    LSTATUS status = ERROR_SUCCESS;
    Key* key = KeyFor(hKey, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    Value* v = FindValue(key, name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    std::string data = v->bytes;
    if (ansi && IsStringType(v->type)) data = kernel::U16ToCp1252(Units(v->bytes));
    if (lpType) *lpType = v->type;
    DWORD size = static_cast<DWORD>(data.size());
    if (!lpData) {
        if (lpcbData) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::copy(data.begin(), data.end(), lpData);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS SetCommon(HKEY hKey, const std::u16string& name, DWORD type, const BYTE* lpData, DWORD cbData, bool ansi) {
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    LSTATUS status = ERROR_SUCCESS;
    Key* key = KeyFor(hKey, KEY_SET_VALUE, &status);
    if (!key) return status;
    std::string bytes(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0);
    if (ansi && IsStringType(type)) bytes = Bytes16(kernel::Cp1252ToU16(bytes));
    PutValue(key, name, type, std::move(bytes));
    return ERROR_SUCCESS;
}

LSTATUS DeleteCommon(HKEY hKey, const std::u16string& name) {
    LSTATUS status = ERROR_SUCCESS;
    Key* key = KeyFor(hKey, KEY_SET_VALUE, &status);
    if (!key) return status;
    return EraseValue(key, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// Registry calls report through their result and leave the thread's last error alone.
LSTATUS Done(LSTATUS status) { return status; }

bool RegFault(std::string_view api, LSTATUS* status) {
    DWORD saved = GetLastError();
    if (!TakeFault(api)) return false;
    *status = static_cast<LSTATUS>(GetLastError());
    SetLastError(saved);
    return true;
}

std::u16string Describe(HKEY h, std::u16string_view sub = {}) {
    OpenKey k;
    if (!Resolve(h, &k)) return u"?" + (sub.empty() ? std::u16string() : u"\\" + std::u16string(sub));
    return Describe(k, sub);
}

}  // namespace

void CreateRegKey(HKEY root, std::u16string_view key) { Walk(RootId(root), Split(key), true); }

bool RegKeyExists(HKEY root, std::u16string_view key) { return Walk(RootId(root), Split(key), false) != nullptr; }

void SetRegValue(HKEY root, std::u16string_view key, std::u16string_view name, DWORD type, std::string bytes) {
    PutValue(Walk(RootId(root), Split(key), true), name, type, std::move(bytes));
}

void SetRegString(HKEY root, std::u16string_view key, std::u16string_view name, std::u16string_view value) {
    SetRegValue(root, key, name, REG_SZ, Bytes16(std::u16string(value) + u'\0'));
}

void SetRegMultiString(HKEY root, std::u16string_view key, std::u16string_view name,
                       const std::vector<std::u16string>& strings) {
    SetRegValue(root, key, name, REG_MULTI_SZ, JoinMulti(strings));
}

bool GetRegValue(HKEY root, std::u16string_view key, std::u16string_view name, DWORD* type, std::string* bytes) {
    Key* k = Walk(RootId(root), Split(key), false);
    Value* v = k ? FindValue(k, name) : nullptr;
    if (!v) return false;
    if (type) *type = v->type;
    if (bytes) *bytes = v->bytes;
    return true;
}

bool RegValueExists(HKEY root, std::u16string_view key, std::u16string_view name) {
    return GetRegValue(root, key, name, nullptr, nullptr);
}

void RemoveRegValue(HKEY root, std::u16string_view key, std::u16string_view name) {
    if (Key* k = Walk(RootId(root), Split(key), false)) EraseValue(k, name);
}

std::vector<std::string> RegTreeLines(HKEY root, std::u16string_view key) {
    std::vector<std::string> lines;
    std::function<void(const Key&, const std::string&)> walk = [&](const Key& k, const std::string& path) {
        for (auto& v : k.values)
            lines.push_back(path + "\\" + ToUtf8(v.name) + "=" + std::to_string(v.type) + ":" + v.bytes);
        for (auto& [name, sub] : k.subkeys) walk(*sub, path + "\\" + ToUtf8(name));
    };
    if (Key* k = Walk(RootId(root), Split(key), false)) walk(*k, "");
    return lines;
}

size_t OpenRegKeys() { return State().open.size(); }

std::vector<std::u16string> PendingRenameStrings() {
    std::string bytes;
    if (!GetRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValue, nullptr, &bytes)) return {};
    return SplitMulti(bytes);
}

void SimulateReboot() {
    // Nothing that ran before the reboot holds anything afterwards.
    kernel::EndAllHolds();
    const std::u16string kPrefix = u"\\??\\";
    auto strip = [&](std::u16string s) {
        if (s.compare(0, kPrefix.size(), kPrefix) == 0) s.erase(0, kPrefix.size());
        return s;
    };
    std::vector<std::u16string> strings = PendingRenameStrings();
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
        std::u16string source = strip(strings[i]);
        std::u16string destination = strings[i + 1];
        if (destination.empty()) {
            RemoveTestFile(source);
            continue;
        }
        bool replace = destination[0] == u'!';
        if (replace) destination.erase(0, 1);
        // A rename onto an existing file without "!" is skipped, as the boot does.
        kernel::MoveTestFile(source, strip(destination), replace);
    }
    RemoveRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValue);
    kernel::ServicesRestartForReboot();
    auto listeners = RebootListeners();
    for (auto& l : listeners) l();
}

void OnReboot(std::function<void()> listener) { RebootListeners().push_back(std::move(listener)); }

namespace kernel {

// The platform appends to the stored bytes; it does not re-read and rewrite the pairs before.
// Only a list terminator behind complete pairs makes way for the new pair (which ends with its
// own); a value that lacks it, or has a string without its pair, keeps every byte.
bool AppendPendingRename(const std::u16string& source, const std::u16string& destination) {
    std::string bytes;
    GetRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValue, nullptr, &bytes);
    if (bytes.size() % 2) bytes.push_back('\0');
    std::u16string units = Units(bytes);
    if (!units.empty() && units.back() == u'\0' && (units.size() == 1 || units[units.size() - 2] == u'\0')) {
        size_t strings = 0;
        for (size_t i = 0; i + 1 < units.size(); ++i)
            if (units[i] == u'\0') ++strings;
        if (strings % 2 == 0) bytes.resize(bytes.size() - 2);
    }
    bytes += Bytes16(source + u'\0' + destination + u'\0' + u'\0');
    SetRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenameValue, REG_MULTI_SZ, bytes);
    return true;
}

}  // namespace kernel
}  // namespace winsim

using namespace winsim;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    RecordCall("RegOpenKeyExW", Describe(hKey, kernel::FromW(lpSubKey)) + u"," + kernel::Dec(ulOptions) + u"," +
                                     kernel::Hex(samDesired));
    if (LSTATUS fault = 0; RegFault("RegOpenKeyExW", &fault)) return fault;
    // The only option an open takes is REG_OPTION_OPEN_LINK.
    if (ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) return Done(ERROR_INVALID_PARAMETER);
    return Done(OpenKeyCommon(hKey, kernel::FromW(lpSubKey), samDesired, phkResult));
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    RecordCall("RegOpenKeyExA", Describe(hKey, kernel::FromA(lpSubKey)) + u"," + kernel::Dec(ulOptions) + u"," +
                                     kernel::Hex(samDesired));
    if (LSTATUS fault = 0; RegFault("RegOpenKeyExA", &fault)) return fault;
    // The only option an open takes is REG_OPTION_OPEN_LINK.
    if (ulOptions & ~static_cast<DWORD>(REG_OPTION_OPEN_LINK)) return Done(ERROR_INVALID_PARAMETER);
    return Done(OpenKeyCommon(hKey, kernel::FromA(lpSubKey), samDesired, phkResult));
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    RecordCall("RegCreateKeyExW", Describe(hKey, kernel::FromW(lpSubKey)) + u"," + kernel::Hex(samDesired));
    if (LSTATUS fault = 0; RegFault("RegCreateKeyExW", &fault)) return fault;
    OpenKey parent;
    if (!Resolve(hKey, &parent)) return Done(ERROR_INVALID_HANDLE);
    if (!lpSubKey || !phkResult) return Done(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    OpenKey k{parent.root, parent.path, Granted(samDesired)};
    for (auto& p : Split(lpSubKey)) k.path.push_back(p);
    bool exists = Walk(k.root, k.path, false) != nullptr;
    if (!exists && !(parent.access & KEY_CREATE_SUB_KEY)) return Done(ERROR_ACCESS_DENIED);
    if (!exists && !Walk(parent.root, parent.path, false)) return Done(kKeyDeleted);
    Walk(k.root, k.path, true);
    if (lpdwDisposition) *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = NewKeyHandle(std::move(k));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    RecordCall("RegQueryValueExW", Describe(hKey) + u"," + kernel::FromW(lpValueName));
    if (LSTATUS fault = 0; RegFault("RegQueryValueExW", &fault)) return fault;
    return Done(QueryCommon(hKey, kernel::FromW(lpValueName), lpReserved, lpType, lpData, lpcbData, false));
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    RecordCall("RegQueryValueExA", Describe(hKey) + u"," + kernel::FromA(lpValueName));
    if (LSTATUS fault = 0; RegFault("RegQueryValueExA", &fault)) return fault;
    return Done(QueryCommon(hKey, kernel::FromA(lpValueName), lpReserved, lpType, lpData, lpcbData, true));
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    RecordCall("RegSetValueExW", Describe(hKey) + u"," + kernel::FromW(lpValueName) + u"," + kernel::Dec(dwType) +
                                     u"," + kernel::Dec(cbData));
    if (LSTATUS fault = 0; RegFault("RegSetValueExW", &fault)) return fault;
    return Done(SetCommon(hKey, kernel::FromW(lpValueName), dwType, lpData, cbData, false));
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    RecordCall("RegSetValueExA", Describe(hKey) + u"," + kernel::FromA(lpValueName) + u"," + kernel::Dec(dwType) +
                                     u"," + kernel::Dec(cbData));
    if (LSTATUS fault = 0; RegFault("RegSetValueExA", &fault)) return fault;
    return Done(SetCommon(hKey, kernel::FromA(lpValueName), dwType, lpData, cbData, true));
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    RecordCall("RegDeleteValueW", Describe(hKey) + u"," + kernel::FromW(lpValueName));
    if (LSTATUS fault = 0; RegFault("RegDeleteValueW", &fault)) return fault;
    return Done(DeleteCommon(hKey, kernel::FromW(lpValueName)));
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    RecordCall("RegDeleteValueA", Describe(hKey) + u"," + kernel::FromA(lpValueName));
    if (LSTATUS fault = 0; RegFault("RegDeleteValueA", &fault)) return fault;
    return Done(DeleteCommon(hKey, kernel::FromA(lpValueName)));
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    RecordCall("RegEnumValueW", Describe(hKey) + u"," + kernel::Dec(dwIndex));
    if (LSTATUS fault = 0; RegFault("RegEnumValueW", &fault)) return fault;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    LSTATUS status = ERROR_SUCCESS;
    Key* key = KeyFor(hKey, KEY_QUERY_VALUE, &status);
    if (!key) return status;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = key->values[dwIndex];
    if (v.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    std::copy(v.name.begin(), v.name.end(), lpValueName);
    lpValueName[v.name.size()] = 0;
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    if (lpType) *lpType = v.type;
    DWORD size = static_cast<DWORD>(v.bytes.size());
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData) std::copy(v.bytes.begin(), v.bytes.end(), lpData);
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    RecordCall("RegFlushKey", Describe(hKey));
    if (LSTATUS fault = 0; RegFault("RegFlushKey", &fault)) return fault;
    OpenKey k;
    return Resolve(hKey, &k) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Deletes a key without subkeys and its values; the handle's own rights do not matter.
LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    RecordCall("RegDeleteKeyW", Describe(hKey, kernel::FromW(lpSubKey)));
    if (LSTATUS fault = 0; RegFault("RegDeleteKeyW", &fault)) return fault;
    OpenKey parent;
    if (!Resolve(hKey, &parent)) return Done(ERROR_INVALID_HANDLE);
    if (!lpSubKey) return Done(ERROR_INVALID_PARAMETER);
    std::vector<std::u16string> path = parent.path;
    for (auto& p : Split(lpSubKey)) path.push_back(p);
    if (path.empty()) return Done(ERROR_ACCESS_DENIED);  // a predefined root key stays
    std::u16string name = path.back();
    path.pop_back();
    Key* container = Walk(parent.root, path, false);
    if (!container) return Done(ERROR_FILE_NOT_FOUND);
    auto it = container->subkeys.find(name);
    if (it == container->subkeys.end()) return Done(ERROR_FILE_NOT_FOUND);
    if (!it->second->subkeys.empty()) return Done(ERROR_ACCESS_DENIED);
    container->subkeys.erase(it);
    return ERROR_SUCCESS;
}

// Counts and longest names of a key: subkeys and value names in characters without the
// terminator, value data in bytes. Keys here have no class and no stored security descriptor.
LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    RecordCall("RegQueryInfoKeyW", Describe(hKey));
    if (LSTATUS fault = 0; RegFault("RegQueryInfoKeyW", &fault)) return fault;
    if (lpReserved || (lpClass && !lpcchClass)) return Done(ERROR_INVALID_PARAMETER);
    LSTATUS status = ERROR_SUCCESS;
    Key* key = KeyFor(hKey, KEY_QUERY_VALUE, &status);
    if (!key) return Done(status);
    if (lpClass) {
        if (*lpcchClass == 0) return Done(ERROR_MORE_DATA);
        lpClass[0] = 0;
    }
    if (lpcchClass) *lpcchClass = 0;
    DWORD longestSubKey = 0, longestName = 0, longestData = 0;
    for (auto& [name, sub] : key->subkeys) longestSubKey = std::max(longestSubKey, static_cast<DWORD>(name.size()));
    for (auto& v : key->values) {
        longestName = std::max(longestName, static_cast<DWORD>(v.name.size()));
        longestData = std::max(longestData, static_cast<DWORD>(v.bytes.size()));
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key->subkeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = longestSubKey;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(key->values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = longestName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = longestData;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    RecordCall("RegCloseKey", Describe(hKey));
    if (LSTATUS fault = 0; RegFault("RegCloseKey", &fault)) return fault;
    if (IsRoot(hKey)) return ERROR_SUCCESS;
    if (State().open.erase(RootId(hKey)) == 0) return Done(ERROR_INVALID_HANDLE);
    return ERROR_SUCCESS;
}

}  // extern "C"
