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

// A reboot: carries out PendingFileRenameOperations in order (delete or rename), clears
// the value, ends every holder and process, and starts auto-start services.
void SimulateReboot();
// Parties that must act on a reboot (e.g. the spooler reloading) register here.
void OnReboot(std::function<void()> listener);

}  // namespace winsim
