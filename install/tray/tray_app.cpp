// Registering, starting and stopping the tray application.
#include "tray/tray_app.h"

#include "run/install_context.h"
#include "run/owned.h"
#include "run/text_compare.h"
#include "run/two_call_query.h"

namespace {

const CHAR kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const CHAR kRunValueA[] = "QuillgraphTray";
const LPCWSTR kRunValueW = kTrayAutostartValue;
const CHAR kTrayMutex[] = "{6E2D41B7-9C3A-4F85-B1D0-7A5E92C3F416}";
const WCHAR kTrayWindowClass[] = TEXT("qgs::{D83A5C19-2E7F-4B60-9A14-C5F0E7B2318D}");
const UINT kQuitMessage = WM_USER + 2;
const int kQuitAttempts = 20;
const DWORD kMutexWaitMs = 5000;
const DWORD kWindowPollMs = 250;
const DWORD kMissingValuePauseMs = 1000;
const int kDeleteAttempts = 10;
const DWORD kRunValueUnits = 264;

bool IsSeparator(WCHAR c) { return c == TEXT('\\') || c == TEXT('/'); }

// True when the part after the last separator is "qgrtray.exe", ignoring the case of A to Z.
bool NamesTrayExecutable(LPCWSTR path) { return SameTextIgnoringAsciiCase(FileNamePart(path), kTrayFileName); }

// What a path names on disk, in one spelling: full, '\\' only, long names. False when unknown.
bool CanonicalPath(LPCWSTR path, WCHAR (&canonical)[kRunValueUnits]) {
    WCHAR full[kRunValueUnits];
    DWORD units = GetFullPathNameW(path, kRunValueUnits, full, nullptr);
    if (units == 0 || units >= kRunValueUnits) return false;
    units = GetLongPathNameW(full, canonical, kRunValueUnits);
    return units != 0 && units < kRunValueUnits;
}

// The same file may be written another way (a short name, '/'); when either path cannot be made
// canonical, it may be the file to keep.
bool IsFileToKeep(LPCWSTR path, LPCWSTR keepExecutable) {
    if (keepExecutable == nullptr) return false;
    WCHAR canonicalPath[kRunValueUnits];
    WCHAR canonicalKeep[kRunValueUnits];
    if (!CanonicalPath(path, canonicalPath) || !CanonicalPath(keepExecutable, canonicalKeep)) return true;
    return SameTextIgnoringAsciiCase(canonicalPath, canonicalKeep);
}

bool IsWindowsVistaOrLater() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExA(&version)) return false;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6;
}

void AskTrayToQuit(HANDLE mutex) {
    bool windowSeen = false;
    for (int attempt = 1; attempt <= kQuitAttempts; ++attempt) {
        HWND window = FindWindowW(kTrayWindowClass, nullptr);
        if (window != nullptr) {
            PostMessageW(window, kQuitMessage, 0, 0);
            windowSeen = true;
            if (WaitForSingleObject(mutex, kMutexWaitMs) == WAIT_OBJECT_0) return;
        } else if (windowSeen) {
            WaitForSingleObject(mutex, kMutexWaitMs);
            return;
        } else {
            Sleep(kWindowPollMs);
        }
    }
    if (windowSeen) WaitForSingleObject(mutex, kMutexWaitMs);
}

void DeleteTrayExecutable(LPCWSTR path) {
    for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
        if (DeleteFileW(path)) return;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return;
        if (attempt < kDeleteAttempts) Sleep(error == ERROR_ACCESS_DENIED ? 100 : 10);
    }
}

// Reads the value; deletes only what it names if that is our executable at a full path (the
// value is data anyone may edit), and not the one an install run is about to start again.
void DeleteRegisteredExecutable(HKEY runKey, LPCWSTR keepExecutable) {
    WCHAR path[kRunValueUnits];
    for (DWORD i = 0; i < kRunValueUnits; ++i) path[i] = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(path);
    if (RegQueryValueExW(runKey, kRunValueW, nullptr, &type, reinterpret_cast<LPBYTE>(path), &size) != ERROR_SUCCESS) {
        Sleep(kMissingValuePauseMs);
        return;
    }
    DWORD units = size / sizeof(WCHAR);
    path[units < kRunValueUnits ? units : kRunValueUnits - 1] = 0;
    path[kRunValueUnits - 1] = 0;
    if (type != REG_SZ || !IsFullPath(path) || !NamesTrayExecutable(path)) return;
    if (IsFileToKeep(path, keepExecutable)) return;
    DeleteTrayExecutable(path);
}

}  // namespace

TextBuffer TrayPath(const TextBuffer& moduleDir) {
    TextBuffer dir = CopyText(moduleDir);
    uint64_t length = TextLength(dir);
    if (length > 0 && IsSeparator(dir->text[length - 1])) Resize(dir, length - 1);
    TextBuffer path = ParentPath(dir);
    FreeText(dir);
    length = TextLength(path);
    bool whole = length > 0 && (IsSeparator(path->text[length - 1]) || Append(path, TEXT("\\"))) &&
                 Append(path, kTrayFileName);
    // A bare name would be looked for in the current directory and on the search path.
    if (!whole || !IsFullPath(TextOf(path))) FreeText(path);
    return path;
}

TextBuffer ReadTrayAutostart() {
    OwnedKey runKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, runKey.put()) != ERROR_SUCCESS) return nullptr;
    OwnedGlobal<BYTE> block;
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (QueryValueTwice(runKey.get(), kRunValueW, block, size, &type) != ERROR_SUCCESS || !block || type != REG_SZ)
        return nullptr;
    const WCHAR* units = reinterpret_cast<const WCHAR*>(block.get());
    DWORD length = 0;
    while (length < size / sizeof(WCHAR) && units[length] != 0) ++length;
    TextBuffer path = nullptr;
    Resize(path, length);
    for (DWORD i = 0; path != nullptr && i < length; ++i) path->text[i] = units[i];
    return path;
}

void InstallTray(InstallContext& ctx) {
    if (!ctx.bothEnvironments && !IsWindowsVistaOrLater()) return;
    TextBuffer path = TrayPath(ctx.moduleDir);
    if (path == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        LogError(ctx, kErrInstallerDirectory, "Can't register the tray application: the installer's directory is unknown");
        return;
    }

    OwnedKey runKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, runKey.put()) == ERROR_SUCCESS) {
        DWORD bytes = static_cast<DWORD>((TextLength(path) + 1) * sizeof(WCHAR));
        RegSetValueExW(runKey.get(), kRunValueW, 0, REG_SZ, reinterpret_cast<const BYTE*>(TextOf(path)), bytes);
        runKey.reset();
    }

    // The whole path in quotes: a cut path could start some other program.
    TextBuffer commandLine = nullptr;
    Assign(commandLine, TEXT("\""));
    if (!Append(commandLine, TextOf(path)) || !Append(commandLine, TEXT("\""))) FreeText(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    if (commandLine != nullptr &&
        CreateProcessW(nullptr, commandLine->text, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    FreeText(commandLine);
    FreeText(path);
}

void RemoveTray() { RemoveTray(nullptr); }

void RemoveTray(LPCWSTR keepExecutable) {
    bool mutexObtained = false;
    OwnedHandle mutex(CreateMutexA(nullptr, FALSE, kTrayMutex));
    if (mutex) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) AskTrayToQuit(mutex.get());
        mutex.reset();
        mutexObtained = true;
    }
    OwnedKey runKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_ALL_ACCESS, runKey.put()) != ERROR_SUCCESS) return;
    if (mutexObtained) DeleteRegisteredExecutable(runKey.get(), keepExecutable);
    RegDeleteValueA(runKey.get(), kRunValueA);
}
