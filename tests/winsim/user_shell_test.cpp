// Command-line splitting, the process command line and the reported OS version.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/heap.h>
#include <winsim/user.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace winsim;

class UserShellTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }

    // Splits, copies the result out and frees the block.
    std::vector<std::u16string> Split(const char16_t* cmd) {
        int n = -1;
        LPWSTR* argv = CommandLineToArgvW(cmd, &n);
        EXPECT_NE(argv, nullptr);
        if (!argv) return {};
        std::vector<std::u16string> out;
        for (int i = 0; i < n; ++i) out.emplace_back(argv[i]);
        EXPECT_EQ(argv[n], nullptr);
        EXPECT_EQ(LocalFree(argv), nullptr);
        return out;
    }
};

using Args = std::vector<std::u16string>;

TEST_F(UserShellTest, ProgramNameFollowsItsOwnRule) {
    EXPECT_EQ(Split(u"\"C:\\Program Files\\App\\install.exe\" in 123"),
              (Args{u"C:\\Program Files\\App\\install.exe", u"in", u"123"}));
    EXPECT_EQ(Split(u"C:\\dir\\install.exe un"), (Args{u"C:\\dir\\install.exe", u"un"}));
    // Backslashes before a quote in the program name are kept; the quote ends it.
    EXPECT_EQ(Split(u"\"C:\\dir\\\"rest x"), (Args{u"C:\\dir\\", u"rest", u"x"}));
    // Leading white space makes the program name empty.
    EXPECT_EQ(Split(u"  a.exe x"), (Args{u"", u"a.exe", u"x"}));
    // An unterminated quoted program name runs to the end.
    EXPECT_EQ(Split(u"\"C:\\a b\\x.exe"), (Args{u"C:\\a b\\x.exe"}));
}

TEST_F(UserShellTest, ArgumentsFollowQuoteAndBackslashRules) {
    EXPECT_EQ(Split(u"a.exe \"a b\" c"), (Args{u"a.exe", u"a b", u"c"}));
    EXPECT_EQ(Split(u"a.exe a\"b c\"d e"), (Args{u"a.exe", u"ab cd", u"e"}));
    // 2n backslashes + quote: n backslashes, quote toggles.
    EXPECT_EQ(Split(u"a.exe x\\\\\\\\\"y z\""), (Args{u"a.exe", u"x\\\\y z"}));
    // 2n+1 backslashes + quote: n backslashes and a literal quote.
    EXPECT_EQ(Split(u"a.exe x\\\\\\\"y z"), (Args{u"a.exe", u"x\\\"y", u"z"}));
    EXPECT_EQ(Split(u"a.exe \\\"x\\\""), (Args{u"a.exe", u"\"x\""}));
    // Backslashes not before a quote are literal.
    EXPECT_EQ(Split(u"a.exe C:\\a\\\\b\\ c"), (Args{u"a.exe", u"C:\\a\\\\b\\", u"c"}));
    EXPECT_EQ(Split(u"a.exe \"C:\\dir\\\\\" next"), (Args{u"a.exe", u"C:\\dir\\", u"next"}));
    // Empty quoted arguments count; tabs separate; trailing white space is ignored.
    EXPECT_EQ(Split(u"a.exe \"\" x"), (Args{u"a.exe", u"", u"x"}));
    EXPECT_EQ(Split(u"a.exe\tx\t\ty   "), (Args{u"a.exe", u"x", u"y"}));
    EXPECT_EQ(Split(u"a.exe \"open"), (Args{u"a.exe", u"open"}));
}

TEST_F(UserShellTest, EmptyLineGivesModulePathAndResultIsOneLocalBlock) {
    SetModulePath(u"C:\\Somewhere\\prog.exe");
    EXPECT_EQ(Split(u""), (Args{u"C:\\Somewhere\\prog.exe"}));
    EXPECT_EQ(Split(nullptr), (Args{u"C:\\Somewhere\\prog.exe"}));

    size_t before = LiveLocalBlocks();
    int n = 0;
    LPWSTR* argv = CommandLineToArgvW(u"p.exe one two three", &n);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(LiveLocalBlocks(), before + 1);
    // The strings live inside the same block, after the pointer array.
    auto* base = reinterpret_cast<unsigned char*>(argv);
    for (int i = 0; i < n; ++i) {
        auto* s = reinterpret_cast<unsigned char*>(argv[i]);
        EXPECT_GE(s, base + (n + 1) * sizeof(LPWSTR));
    }
    LocalFree(argv);
    EXPECT_EQ(LiveLocalBlocks(), before);
}

TEST_F(UserShellTest, SplitFailures) {
    SetLastError(0);
    EXPECT_EQ(CommandLineToArgvW(u"a b", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    int n = 0;
    InjectFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CommandLineToArgvW(u"a b", &n), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    InjectFault("CommandLineToArgvW", ERROR_OUTOFMEMORY);
    EXPECT_EQ(CommandLineToArgvW(u"a b", &n), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    EXPECT_EQ(LiveLocalBlocks(), 0u);
}

TEST_F(UserShellTest, CommandLineIsSettable) {
    EXPECT_EQ(std::u16string(GetCommandLineW()), u"\"" + std::u16string(kDefaultModulePath) + u"\"");
    SetCommandLine(u"\"C:\\x\\install.exe\" in 42");
    EXPECT_EQ(std::u16string(GetCommandLineW()), u"\"C:\\x\\install.exe\" in 42");
    Reset();
    EXPECT_EQ(std::u16string(GetCommandLineW()), u"\"" + std::u16string(kDefaultModulePath) + u"\"");
}

TEST_F(UserShellTest, VersionChecksSizeAndReportsTheSetVersion) {
    OSVERSIONINFOA v;
    for (DWORD size : {0u, 147u, 149u, 155u, 157u, 284u}) {
        std::memset(&v, 0xAB, sizeof v);
        v.dwOSVersionInfoSize = size;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExA(&v)) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(v.dwMajorVersion, 0xABABABABu) << size;
    }

    std::memset(&v, 0xAB, sizeof v);
    v.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwMajorVersion, 6u);
    EXPECT_EQ(v.dwMinorVersion, 2u);
    EXPECT_EQ(v.dwBuildNumber, 9200u);
    EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(v.szCSDVersion[0], 0);

    SetOsVersion(5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3");
    unsigned char ex[156];
    std::memset(ex, 0xAB, sizeof ex);
    auto* info = reinterpret_cast<OSVERSIONINFOA*>(ex);
    info->dwOSVersionInfoSize = 156;
    ASSERT_TRUE(GetVersionExA(info));
    EXPECT_EQ(info->dwMajorVersion, 5u);
    EXPECT_EQ(info->dwBuildNumber, 2600u);
    EXPECT_STREQ(info->szCSDVersion, "Service Pack 3");
    EXPECT_EQ(ex[154], 1);  // wProductType: workstation

    SetOsVersion(4, 10, 2222, VER_PLATFORM_WIN32_WINDOWS, std::string(200, 'x'));
    v.dwOSVersionInfoSize = 148;
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(std::strlen(v.szCSDVersion), 127u);  // cut to fit with its terminator

    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
