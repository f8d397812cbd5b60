// Test-side control of the simulated registry. Key paths are relative to a root key,
// e.g. (HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager").
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

inline constexpr char16_t kSessionManagerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr char16_t kPendingRenameValue[] = u"PendingFileRenameOperations";

void CreateRegKey(HKEY root, std::u16string_view key);
bool RegKeyExists(HKEY root, std::u16string_view key);
void SetRegValue(HKEY root, std::u16string_view key, std::u16string_view name, DWORD type, std::string bytes);
void SetRegString(HKEY root, std::u16string_view key, std::u16string_view name, std::u16string_view value);
void SetRegMultiString(HKEY root, std::u16string_view key, std::u16string_view name,
                       const std::vector<std::u16string>& strings);
bool GetRegValue(HKEY root, std::u16string_view key, std::u16string_view name, DWORD* type, std::string* bytes);
bool RegValueExists(HKEY root, std::u16string_view key, std::u16string_view name);
void RemoveRegValue(HKEY root, std::u16string_view key, std::u16string_view name);

// The strings of PendingFileRenameOperations as stored (with their "\??\" prefixes),
// an empty destination as an empty string; empty when the value is absent.
std::vector<std::u16string> PendingRenameStrings();

// A reboot: ends every file holder, carries out PendingFileRenameOperations in order
// ("\??\" removed; an empty destination deletes, a "!" destination replaces, a rename onto an
// existing file without "!" is skipped), deletes the value, sets every service to its boot
// state (the spooler running; no OnServiceStateChange calls, no start/stop counts), then
// calls the OnReboot listeners in registration order.
void SimulateReboot();
// Parties that must act on a reboot (e.g. the spooler reloading) register here, once.
void OnReboot(std::function<void()> listener);

// Every value under a key and its subkeys, one line each: "<subkey path>\<name>=<type>:<bytes>"
// (path upper-case, relative to `key`; bytes as stored), in key order; empty when the key is absent.
std::vector<std::string> RegTreeLines(HKEY root, std::u16string_view key);

// Key handles the code under test has open (predefined root keys not counted).
size_t OpenRegKeys();

}  // namespace winsim
