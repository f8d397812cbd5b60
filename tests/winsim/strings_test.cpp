// Texts: lstr* functions, MultiByteToWideChar with code page 1252, FormatMessageW.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/heap.h>
#include <winsim/messages.h>

#include <string>

namespace {

class StringsTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::Reset(); }
};

TEST_F(StringsTest, LstrFunctionsHandleNullAndTruncation) {
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenW(u"abc"), 3);
    WCHAR buffer[8] = {};
    EXPECT_EQ(lstrcpynW(buffer, u"abcdef", 4), buffer);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(lstrcatW(buffer, u"XY"), buffer);
    EXPECT_EQ(std::u16string(buffer), u"abcXY");
    EXPECT_EQ(lstrcpyW(buffer, nullptr), nullptr);
    char narrow[8] = {};
    lstrcpynA(narrow, "hello", 3);
    EXPECT_EQ(std::string(narrow), "he");
    lstrcatA(narrow, "!");
    EXPECT_EQ(std::string(narrow), "he!");
}

TEST_F(StringsTest, ComparisonsAreCaseInsensitiveFirstThenLowerBeforeUpper) {
    EXPECT_EQ(lstrcmpiW(u"Spooler", u"SPOOLER"), 0);
    EXPECT_NE(lstrcmpW(u"Spooler", u"SPOOLER"), 0);
    EXPECT_LT(lstrcmpW(u"a", u"B"), 0);  // not ordinal: 'a' (0x61) sorts before 'B' (0x42)
    EXPECT_LT(lstrcmpW(u"a", u"A"), 0);
    EXPECT_LT(lstrcmpW(u"ab", u"abc"), 0);
    EXPECT_EQ(lstrcmpW(nullptr, nullptr), 0);
    EXPECT_LT(lstrcmpW(nullptr, u""), 0);
    EXPECT_EQ(lstrcmpiA("\xE9T\xC9", "\xC9t\xE9"), 0);
    EXPECT_GT(lstrcmpA("b", "A"), 0);
}

// Linguistic, not ordinal: a character without sort weight makes different texts compare equal.
TEST_F(StringsTest, SoftHyphenCarriesNoWeight) {
    EXPECT_EQ(lstrcmpW(u"def.set", u"def.\u00ADset"), 0);
    EXPECT_EQ(lstrcmpiW(u"\u00ADIn", u"in"), 0);
    EXPECT_EQ(lstrcmpA("co\xADop", "coop"), 0);
    EXPECT_LT(lstrcmpW(u"a\u00AD", u"ab"), 0);
}

TEST_F(StringsTest, AnsiCodePageIs1252IncludingItsUndefinedBytes) {
    const char text[] = "\x80\x81\x8D\x8F\x90\x9D\x9F\xE9";
    WCHAR out[16] = {};
    int n = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, out, 16);
    ASSERT_EQ(n, 9);  // the terminator is converted and counted
    EXPECT_EQ(std::u16string(out, 9), std::u16string(u"\u20AC\u0081\u008D\u008F\u0090\u009D\u0178\u00E9\0", 9));
}

TEST_F(StringsTest, MultiByteToWideCharSizeQueryAndBufferErrors) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 0), 3);
    WCHAR out[4] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, out, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", 2, out, 4), 1);
    EXPECT_EQ(out[0], u'\u00E9');
    // An empty string with -1 still gives its terminator.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "", -1, out, 4), 1);
}

TEST_F(StringsTest, FormatMessageAllocatesAnAccountedLocalBlock) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, ERROR_ACCESS_DENIED, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"Access is denied.\r\n");
    EXPECT_EQ(n, 19u);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 1u);
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

TEST_F(StringsTest, FormatMessageIntoTheCallersBuffer) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    std::u16string expected = u"The system cannot find the file specified.\r\n";
    WCHAR buffer[128];
    EXPECT_EQ(FormatMessageW(flags, nullptr, 2, 0, buffer, 128, nullptr), expected.size());
    EXPECT_EQ(std::u16string(buffer), expected);
    // One unit short of the terminator.
    EXPECT_EQ(FormatMessageW(flags, nullptr, 2, 0, buffer, static_cast<DWORD>(expected.size()), nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageW(flags, nullptr, 0x8007000E, 1033, buffer, 128, nullptr), 71u);
    EXPECT_EQ(std::u16string(buffer), u"Not enough memory resources are available to complete this operation.\r\n");
    EXPECT_GT(FormatMessageW(flags, nullptr, 0x80004005, 1033, buffer, 128, nullptr), 0u);
    EXPECT_EQ(std::u16string(buffer), u"Unspecified error\r\n");
    EXPECT_EQ(FormatMessageW(flags | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, 5, 0, buffer, 128, nullptr), 17u);
    // Only English texts are installed.
    EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0x407, buffer, 128, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 15100u);
}

TEST_F(StringsTest, FormatMessageUnknownRemovedAndReplacedTexts) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    LPWSTR text = nullptr;
    EXPECT_EQ(FormatMessageW(flags, nullptr, 0x12345, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);

    winsim::RemoveMessageText(3006);
    EXPECT_EQ(FormatMessageW(flags, nullptr, 3006, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    winsim::SetMessageText(5, u"No line break");
    ASSERT_EQ(FormatMessageW(flags, nullptr, 5, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 13u);
    EXPECT_EQ(std::u16string(text), u"No line break");
    LocalFree(text);

    winsim::Reset();
    EXPECT_EQ(winsim::SystemMessageText(5), u"Access is denied.\r\n");
    EXPECT_EQ(winsim::SystemMessageText(3006), u"The specified print monitor has already been installed.\r\n");
    winsim::InjectFault("FormatMessageW", 15100);
    EXPECT_EQ(FormatMessageW(flags, nullptr, 5, 0x409, reinterpret_cast<LPWSTR>(&text), 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 15100u);
}

}  // namespace
