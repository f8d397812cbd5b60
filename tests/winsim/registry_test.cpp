// The simulated registry: size queries and ERROR_MORE_DATA, ANSI conversions, access rights,
// and the reboot that carries out PendingFileRenameOperations.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>

#include <string>
#include <vector>

namespace {

const char16_t kRun[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::Reset(); }
};

TEST_F(RegistryTest, ResetStateHasTheWellKnownKeysOnly) {
    EXPECT_TRUE(winsim::RegKeyExists(HKEY_LOCAL_MACHINE, u"system\\currentcontrolset\\control\\session manager"));
    EXPECT_TRUE(winsim::RegKeyExists(HKEY_LOCAL_MACHINE, kRun));
    EXPECT_TRUE(winsim::RegKeyExists(HKEY_CURRENT_USER, u"Software"));
    EXPECT_FALSE(winsim::RegKeyExists(HKEY_CURRENT_USER, kRun));
    EXPECT_TRUE(winsim::PendingRenameStrings().empty());
}

TEST_F(RegistryTest, QueryFollowsTheTwoCallPattern) {
    winsim::SetRegString(HKEY_LOCAL_MACHINE, kRun, u"Tray", u"abc");  // 8 bytes with terminator
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRun, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"tray", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 8u);
    BYTE small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Tray", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    WCHAR text[8] = {};
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExW(key, u"Tray", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::u16string(text), u"abc");
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(key, u"Tray", nullptr, nullptr, reinterpret_cast<BYTE*>(text), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::OpenRegKeys(), 0u);
}

TEST_F(RegistryTest, AnsiVariantsConvertNamesAndStringsWithCodePage1252) {
    // "\x80" is the euro sign in code page 1252.
    winsim::SetRegMultiString(HKEY_CURRENT_USER, u"Software\\Q\u20AC", u"M", {u"a\u20AC", u"b"});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\q\x80", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "m", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(size, 6u);  // "a\x80\0b\0\0"
    char data[6];
    EXPECT_EQ(RegQueryValueExA(key, "m", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(data, 6), std::string("a\x80\0b\0\0", 6));
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>("\xE9t\xE9"), 4), ERROR_SUCCESS);
    DWORD dword = 7;
    EXPECT_EQ(RegSetValueExA(key, "D", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    std::string bytes;
    ASSERT_TRUE(winsim::GetRegValue(HKEY_CURRENT_USER, u"Software", u"S", &type, &bytes));
    std::u16string expected = u"\u00E9t\u00E9";
    expected += u'\0';
    EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected.data()), 8));
    ASSERT_TRUE(winsim::GetRegValue(HKEY_CURRENT_USER, u"Software", u"D", &type, &bytes));
    EXPECT_EQ(bytes, std::string("\x07\0\0\0", 4));  // binary data is not converted
}

TEST_F(RegistryTest, AccessRightsAreHonoured) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRun, 0, KEY_READ, &key), ERROR_SUCCESS);
    SetLastError(1234);
    const BYTE data[] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExW(key, u"X", 0, REG_DWORD, data, 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(key, u"X"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), 1234u);  // registry calls report through their result only
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRun, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, u"X", 0, REG_DWORD, data, 4), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"X", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(key, u"x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "x"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nope", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

// The only open option is REG_OPTION_OPEN_LINK; any other bit is refused, and the record keeps
// the option the caller passed.
TEST_F(RegistryTest, OpenRefusesOptionsOtherThanOpenLink) {
    for (DWORD options : {DWORD{1}, DWORD{2}, DWORD{4}, DWORD{0x10}, DWORD{0x80000000}}) {
        HKEY key = nullptr;
        winsim::ClearCalls();
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", options, KEY_READ, &key), ERROR_INVALID_PARAMETER)
            << options;
        EXPECT_EQ(key, nullptr);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", options, KEY_READ, &key), ERROR_INVALID_PARAMETER);
        ASSERT_EQ(winsim::Calls().size(), 2u);
        EXPECT_EQ(winsim::Calls()[0].args,
                  u"HKLM\\SOFTWARE," + winsim::ToU16(std::to_string(options)) + u",0x20019");
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", REG_OPTION_OPEN_LINK, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, CreateKeyReportsItsDisposition) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\a\\b", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    // Creating below a key opened without KEY_CREATE_SUB_KEY is refused.
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, u"C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_TRUE(winsim::RegKeyExists(HKEY_CURRENT_USER, u"Software\\A\\B"));
}

TEST_F(RegistryTest, InjectedFaultIsReturnedAsTheStatus) {
    winsim::InjectFault("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(winsim::CallCount("RegOpenKeyExA"), 2u);
}

TEST_F(RegistryTest, RebootCarriesOutThePendingOperationsInOrder) {
    winsim::WriteTestFile(u"C:\\p\\del.dll", "d");
    winsim::WriteTestFile(u"C:\\p\\a.txt", "a");
    winsim::WriteTestFile(u"C:\\p\\b.txt", "b");
    winsim::WriteTestFile(u"C:\\p\\keep.txt", "k");
    winsim::WriteTestFile(u"C:\\p\\src.txt", "s");
    winsim::HoldFile(u"C:\\p\\del.dll", 0, ERROR_ACCESS_DENIED);
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\del.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    // a -> c, then c -> d: the second only works because the first ran before it.
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\a.txt", u"C:\\p\\c.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\c.txt", u"C:\\p\\d.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    // Onto an existing file: skipped without "!", done with it.
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\src.txt", u"C:\\p\\keep.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\b.txt", u"C:\\p\\d2.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExW(u"C:\\p\\d2.txt", u"C:\\p\\keep.txt",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(winsim::PendingRenameStrings().size(), 12u);
    EXPECT_EQ(winsim::PendingRenameStrings()[1], u"");

    winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
    int listenerCalls = 0;
    bool spoolerRanForListener = false;
    static std::function<void()> hook;
    hook = [&] {
        ++listenerCalls;
        spoolerRanForListener = winsim::IsServiceRunning(u"spooler");
    };
    static bool registered = false;
    if (!registered) {
        winsim::OnReboot([] {
            if (hook) hook();
        });
        registered = true;
    }
    winsim::SimulateReboot();
    hook = nullptr;

    EXPECT_FALSE(winsim::FileExists(u"C:\\p\\del.dll"));
    EXPECT_FALSE(winsim::IsHeld(u"C:\\p\\del.dll"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\p\\a.txt"));
    EXPECT_FALSE(winsim::FileExists(u"C:\\p\\c.txt"));
    EXPECT_EQ(winsim::FileBytes(u"C:\\p\\d.txt"), "a");
    EXPECT_EQ(winsim::FileBytes(u"C:\\p\\src.txt"), "s");
    EXPECT_EQ(winsim::FileBytes(u"C:\\p\\keep.txt"), "b");
    EXPECT_FALSE(winsim::RegValueExists(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue));
    EXPECT_EQ(listenerCalls, 1);
    EXPECT_TRUE(spoolerRanForListener);
    EXPECT_TRUE(winsim::IsServiceRunning(u"spooler"));
}

}  // namespace

namespace {

// Paths split at '\' only: "a/b" is one key, and value names keep '/' as written.
TEST_F(RegistryTest, SlashIsAnOrdinaryCharacterInNames) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\a/b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    BYTE one[] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExW(key, u"x/y", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"x\\y", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(winsim::RegKeyExists(HKEY_CURRENT_USER, u"software\\A/B"));
    EXPECT_FALSE(winsim::RegKeyExists(HKEY_CURRENT_USER, u"Software\\a"));
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\a\\b", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(winsim::RegValueExists(HKEY_CURRENT_USER, u"Software\\a/b", u"X/Y"));
}

}  // namespace
