// Command line splitting, the process command line and the reported OS version.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/user.h>

#include <algorithm>
#include <cstring>

#include "user_internal.h"

namespace winsim {
namespace {

struct ShellState {
    std::u16string commandLine = u"\"" + std::u16string(kDefaultModulePath) + u"\"";
    // An application without a compatibility manifest is told Windows 8 on later systems.
    DWORD major = 6, minor = 2, build = 9200, platform = VER_PLATFORM_WIN32_NT;
    std::string csd;
};

ShellState& S() {
    static ShellState state;
    return state;
}

ResetHook resetHook(2, [] { S() = ShellState{}; });

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::vector<std::u16string> SplitCommandLine(std::u16string_view cmd) {
    std::vector<std::u16string> args;
    size_t i = 0;
    std::u16string cur;
    // The program name: up to the closing quote, or to white space; backslashes are literal.
    if (i < cmd.size() && cmd[i] == u'"') {
        for (++i; i < cmd.size() && cmd[i] != u'"'; ++i) cur += cmd[i];
        if (i < cmd.size()) ++i;
    } else {
        for (; i < cmd.size() && !IsBlank(cmd[i]); ++i) cur += cmd[i];
    }
    args.push_back(cur);
    for (;;) {
        while (i < cmd.size() && IsBlank(cmd[i])) ++i;
        if (i >= cmd.size()) break;
        cur.clear();
        bool quoted = false;
        while (i < cmd.size() && (quoted || !IsBlank(cmd[i]))) {
            if (cmd[i] == u'\\') {
                size_t n = 0;
                while (i < cmd.size() && cmd[i] == u'\\') ++n, ++i;
                if (i < cmd.size() && cmd[i] == u'"') {
                    cur.append(n / 2, u'\\');
                    if (n % 2)
                        cur += u'"';
                    else
                        quoted = !quoted;
                    ++i;
                } else {
                    cur.append(n, u'\\');
                }
            } else if (cmd[i] == u'"') {
                quoted = !quoted;
                ++i;
            } else {
                cur += cmd[i++];
            }
        }
        args.push_back(cur);
    }
    return args;
}

}  // namespace

void SetCommandLine(std::u16string commandLine) { S().commandLine = std::move(commandLine); }

void SetOsVersion(DWORD major, DWORD minor, DWORD build, DWORD platformId, std::string csdVersion) {
    auto& s = S();
    s.major = major;
    s.minor = minor;
    s.build = build;
    s.platform = platformId;
    s.csd = std::move(csdVersion);
}

}  // namespace winsim

using namespace winsim;

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");

extern "C" {

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
    RecordCall("CommandLineToArgvW", user::FromNullable(lpCmdLine));
    if (TakeFault("CommandLineToArgvW")) return nullptr;
    if (!pNumArgs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::u16string> args;
    if (!lpCmdLine || !*lpCmdLine) {
        std::vector<WCHAR> path(32768);
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return nullptr;
        args.emplace_back(path.data(), n);
    } else {
        args = SplitCommandLine(lpCmdLine);
    }
    // One block: the pointer array (with a null after the last) followed by the strings.
    size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
    for (auto& a : args) bytes += (a.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!block) return nullptr;
    auto** argv = reinterpret_cast<LPWSTR*>(block);
    auto* text = reinterpret_cast<WCHAR*>(block + (args.size() + 1) * sizeof(LPWSTR));
    for (size_t k = 0; k < args.size(); ++k) {
        argv[k] = text;
        std::memcpy(text, args[k].data(), args[k].size() * sizeof(WCHAR));
        text[args[k].size()] = 0;
        text += args[k].size() + 1;
    }
    argv[args.size()] = nullptr;
    *pNumArgs = static_cast<int>(args.size());
    return argv;
}

LPWSTR WINAPI GetCommandLineW(void) {
    RecordCall("GetCommandLineW");
    return S().commandLine.data();
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    RecordCall("GetVersionExA",
               lpVersionInformation ? user::Dec(lpVersionInformation->dwOSVersionInfoSize) : u"null");
    if (TakeFault("GetVersionExA")) return FALSE;
    if (!lpVersionInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // OSVERSIONINFOA (148) or OSVERSIONINFOEXA (156), nothing else.
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != 148 && size != 156) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto& s = S();
    lpVersionInformation->dwMajorVersion = s.major;
    lpVersionInformation->dwMinorVersion = s.minor;
    lpVersionInformation->dwBuildNumber = s.build;
    lpVersionInformation->dwPlatformId = s.platform;
    std::memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
    std::memcpy(lpVersionInformation->szCSDVersion, s.csd.data(),
                std::min(s.csd.size(), sizeof lpVersionInformation->szCSDVersion - 1));
    if (size == 156) {
        // wServicePackMajor, wServicePackMinor, wSuiteMask, wProductType (workstation), wReserved
        unsigned char ex[8] = {0, 0, 0, 0, 0x00, 0x01, 1, 0};
        std::memcpy(reinterpret_cast<unsigned char*>(lpVersionInformation) + 148, ex, sizeof ex);
    }
    return TRUE;
}

}  // extern "C"
