#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/registry.h>
#include <winsim/spooler.h>

#include "printers/printer_settings.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

std::string Sz(std::string_view text) { return std::string(text) + '\0'; }

class PrinterSettingsTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        InstallMonitorDirectly();
        InstallDriverDirectly();
        InstallOtherDriver();
    }
    void TearDown() override { EndContext(ctx); }
    void AddMarkedKey(std::u16string_view subKey) {
        winsim::SetRegString(HKEY_CURRENT_USER, kSettingsKey + std::u16string(subKey), u"deleted", u"1");
    }
    bool Marked(std::u16string_view subKey) {
        return winsim::RegValueExists(HKEY_CURRENT_USER, kSettingsKey + std::u16string(subKey), u"deleted");
    }
    std::string Data(std::u16string_view printer, std::string_view key, DWORD* type) {
        std::string bytes;
        *type = REG_NONE;
        if (!winsim::GetTestPrinterData(printer, key, "SubKey", type, &bytes)) return "(missing)";
        return bytes;
    }
    InstallContext ctx{};
};

// A (default, SubKey s1 in the plain data) and B (SubKey s2 only under "DsUser") go and come
// back in the order B, A with everything that identifies them.
TEST_F(PrinterSettingsTest, CarriesTwoPrintersOverAReinstall) {
    winsim::SpoolPrinter a = ProductPrinter(u"A");
    a.comment = u"Front desk";
    a.location = u"Floor 1";
    winsim::AddTestPrinter(a);
    winsim::SpoolPrinter b = ProductPrinter(u"B");
    b.comment = u"Back office";
    b.location = u"Floor 2";
    b.shareName = u"BShare";
    winsim::AddTestPrinter(b);
    winsim::SpoolPrinter c = ProductPrinter(u"C");
    c.driverName = u"Other Driver";
    winsim::AddTestPrinter(c);
    winsim::SetTestPrinterData(u"A", "", "SubKey", REG_SZ, Sz("s1"));
    winsim::SetTestPrinterData(u"B", "DsUser", "SubKey", REG_SZ, Sz("s2"));
    winsim::SetTestDefaultPrinter(u"A");
    AddMarkedKey(u"s1");
    AddMarkedKey(u"s2");
    StartContext(ctx);

    winsim::ClearCalls();
    DeleteAllPrinters(ctx);
    // Saving opens without asking for rights and reads 64 bytes, plain value first.
    EXPECT_EQ(CallArgs("OpenPrinterW"),
              (std::vector<std::u16string>{u"A,0", u"A," + Dec(DELETE | PRINTER_ACCESS_ADMINISTER), u"B,0",
                                           u"B," + Dec(DELETE | PRINTER_ACCESS_ADMINISTER)}));
    EXPECT_EQ(CallArgs("GetPrinterDataA"), (std::vector<std::u16string>{u"A,SubKey,64", u"B,SubKey,64"}));
    EXPECT_EQ(CallArgs("GetPrinterDataExA"), std::vector<std::u16string>{u"B,DsUser,SubKey,64"});
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeleteAllPrinters"},
                                         {1, u">DeletePrinter(A)"},
                                         {2, u"OK"},
                                         {1, u">DeletePrinter(B)"},
                                         {2, u"OK"}}));
    ASSERT_NE(ctx.savedSettings, nullptr);
    EXPECT_STREQ(ctx.savedSettings->subKey, "s2");
    EXPECT_EQ(ctx.savedSettings->printer, &ctx.printerEnum.printers[1]);
    ASSERT_NE(ctx.savedSettings->next, nullptr);
    EXPECT_STREQ(ctx.savedSettings->next->subKey, "s1");
    EXPECT_EQ(ctx.savedSettings->next->printer, &ctx.printerEnum.printers[0]);
    EXPECT_EQ(ctx.savedSettings->next->next, nullptr);
    EXPECT_FALSE(winsim::PrinterExists(u"A"));
    EXPECT_FALSE(winsim::PrinterExists(u"B"));
    EXPECT_TRUE(winsim::PrinterExists(u"C"));

    FreeText(ctx.log);
    winsim::ClearCalls();
    RestorePrinterSettings(ctx);
    EXPECT_EQ(LinesStartingWith(ctx, u">"), (std::vector<std::u16string>{u">AddPrinter(B)", u">AddPrinter(A)"}));
    std::vector<winsim::SpoolPrinter> printers = winsim::Printers();
    ASSERT_EQ(printers.size(), 3u);
    EXPECT_EQ(printers[1].name, u"B");
    EXPECT_EQ(printers[2].name, u"A");
    DWORD type = 0;
    for (auto [name, value] : {std::pair{u"A", "s1"}, std::pair{u"B", "s2"}}) {
        EXPECT_EQ(Data(name, "", &type), Sz(value)) << value;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(Data(name, "DsUser", &type), Sz(value)) << value;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    auto restoredA = winsim::FindPrinter(u"A");
    auto restoredB = winsim::FindPrinter(u"B");
    EXPECT_EQ(restoredA->comment, u"Front desk");
    EXPECT_EQ(restoredA->location, u"Floor 1");
    EXPECT_EQ(restoredB->comment, u"Back office");
    EXPECT_EQ(restoredB->location, u"Floor 2");
    EXPECT_EQ(winsim::DefaultPrinter(), u"A");
    EXPECT_EQ(restoredA->shareName, u"A");
    EXPECT_EQ(restoredB->shareName, u"BShare");
    EXPECT_NE(restoredA->attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
    EXPECT_NE(restoredB->attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
    EXPECT_FALSE(Marked(u"s1"));
    EXPECT_FALSE(Marked(u"s2"));
    std::vector<std::u16string> opened;
    for (const auto& call : winsim::Calls()) {
        if (call.api == "RegOpenKeyExA" && call.args.find(u"Quillgraphs\\") != std::u16string::npos)
            opened.push_back(call.args.substr(call.args.find(u"Quillgraphs\\") + 12, 2));
    }
    EXPECT_EQ(opened, (std::vector<std::u16string>{u"s2", u"s1"}));
    EXPECT_EQ(CallArgs("SetPrinterDataA"), (std::vector<std::u16string>{u"B,SubKey,1,3", u"A,SubKey,1,3"}));
    EXPECT_EQ(CallArgs("SetPrinterDataExA"),
              (std::vector<std::u16string>{u"B,DsUser,SubKey,1,3", u"A,DsUser,SubKey,1,3"}));
    std::vector<std::u16string> settingsKeys;
    for (const auto& args : CallArgs("RegOpenKeyExA"))
        if (args.find(u"Quillgraphs") != std::u16string::npos) settingsKeys.push_back(args);
    EXPECT_EQ(settingsKeys,
              (std::vector<std::u16string>{u"HKCU\\" + std::u16string(kSettingsKey) + u"s2,0," + Hex(KEY_ALL_ACCESS),
                                           u"HKCU\\" + std::u16string(kSettingsKey) + u"s1,0," + Hex(KEY_ALL_ACCESS)}));
    EXPECT_EQ(CallArgs("SetDefaultPrinterW"), std::vector<std::u16string>{u"A"});
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
}

struct SubKeyCase {
    const char* name;
    DWORD plainType;
    std::string plain;  // empty: no plain value
    DWORD dsType;
    std::string ds;     // empty: no "DsUser" value
    const char* saved;  // null: counts as absent
};

class SubKeyReadingTest : public PrinterSettingsTest, public ::testing::WithParamInterface<SubKeyCase> {};

TEST_P(SubKeyReadingTest, OnlyShortRegSzValuesCount) {
    const SubKeyCase& c = GetParam();
    winsim::AddTestPrinter(ProductPrinter(u"P"));
    if (!c.plain.empty()) winsim::SetTestPrinterData(u"P", "", "SubKey", c.plainType, c.plain);
    if (!c.ds.empty()) winsim::SetTestPrinterData(u"P", "DsUser", "SubKey", c.dsType, c.ds);
    StartContext(ctx);
    SavePrinterSettings(ctx, &ctx.printerEnum.printers[0]);
    if (c.saved == nullptr) {
        EXPECT_EQ(ctx.savedSettings, nullptr);
    } else {
        ASSERT_NE(ctx.savedSettings, nullptr);
        EXPECT_STREQ(ctx.savedSettings->subKey, c.saved);
    }
    EXPECT_EQ(LogText(ctx), u"") << "saving writes no log";
}

const std::string k63(63, 'k');
const std::string k64(64, 'k');

INSTANTIATE_TEST_SUITE_P(
    Values, SubKeyReadingTest,
    ::testing::Values(SubKeyCase{"plain63", REG_SZ, Sz(k63), 0, "", k63.c_str()},
                      SubKeyCase{"plain64", REG_SZ, Sz(k64), 0, "", nullptr},
                      SubKeyCase{"plain64DsShort", REG_SZ, Sz(k64), REG_SZ, Sz("ds"), "ds"},
                      SubKeyCase{"binaryThenDs", REG_BINARY, Sz("s1"), REG_SZ, Sz("s2"), "s2"},
                      SubKeyCase{"otherTypesBoth", REG_EXPAND_SZ, Sz("s1"), REG_DWORD, std::string("\1\0\0\0", 4),
                                 nullptr},
                      SubKeyCase{"unterminated64", REG_SZ, k64, 0, "", nullptr},
                      SubKeyCase{"emptyString", REG_SZ, Sz(""), 0, "", nullptr}),
    [](const ::testing::TestParamInfo<SubKeyCase>& info) { return std::string(info.param.name); });

TEST_F(PrinterSettingsTest, PrinterWithoutSubKeyIsReplacedByQgrServer) {
    winsim::AddTestPrinter(ProductPrinter(u"Plain"));
    StartContext(ctx);
    DeleteAllPrinters(ctx);
    EXPECT_EQ(ctx.savedSettings, nullptr);
    EXPECT_FALSE(winsim::PrinterExists(u"Plain"));
    FreeText(ctx.log);
    RestorePrinterSettings(ctx);
    EXPECT_EQ(LinesStartingWith(ctx, u">"), std::vector<std::u16string>{u">AddPrinter(qgrServer)"});
    auto added = winsim::FindPrinter(u"qgrServer");
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(added->shareName, u"qgrServer");
    EXPECT_NE(added->attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
    EXPECT_FALSE(winsim::PrinterExists(u"Plain"));
}

TEST_F(PrinterSettingsTest, OneEnvironmentLeavesQgrServerUnshared) {
    StartContext(ctx);
    ctx.bothEnvironments = 0;
    DeleteAllPrinters(ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeleteAllPrinters"}}));
    RestorePrinterSettings(ctx);
    auto added = winsim::FindPrinter(u"qgrServer");
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(added->attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
}

TEST_F(PrinterSettingsTest, UnaddablePrintersEachGiveError15ThenQgrServerIsTried) {
    winsim::AddTestPrinter(ProductPrinter(u"A"));
    winsim::AddTestPrinter(ProductPrinter(u"B"));
    winsim::SetTestPrinterData(u"A", "", "SubKey", REG_SZ, Sz("s1"));
    winsim::SetTestPrinterData(u"B", "", "SubKey", REG_SZ, Sz("s2"));
    StartContext(ctx);
    DeleteAllPrinters(ctx);
    DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(u"Windows x64"), const_cast<LPWSTR>(u"Quillgraph Server"),
                           DPD_DELETE_ALL_FILES, 0);
    FreeText(ctx.log);
    RestorePrinterSettings(ctx);
    EXPECT_EQ(LinesStartingWith(ctx, u"Error("),
              (std::vector<std::u16string>{ErrorText(15, u"Can`t add printer 'B'", kTextUnknownDriver),
                                           ErrorText(15, u"Can`t add printer 'A'", kTextUnknownDriver),
                                           ErrorText(15, u"Can`t add printer 'qgrServer'", kTextUnknownDriver)}));
    EXPECT_EQ(ctx.errorCount, 3);
}

// The entry is recorded before the deletion, so a printer that could not be deleted is tried
// again, refused as existing, and does not count as restored.
TEST_F(PrinterSettingsTest, UndeletedPrinterKeepsItsEntryButIsNotRestored) {
    winsim::AddTestPrinter(ProductPrinter(u"A"));
    winsim::SetTestPrinterData(u"A", "", "SubKey", REG_SZ, Sz("s1"));
    StartContext(ctx);
    winsim::InjectFault("DeletePrinter", ERROR_ACCESS_DENIED);
    DeleteAllPrinters(ctx);
    ASSERT_NE(ctx.savedSettings, nullptr);
    FreeText(ctx.log);
    RestorePrinterSettings(ctx);
    EXPECT_EQ(LinesStartingWith(ctx, u"Error("),
              std::vector<std::u16string>{ErrorText(15, u"Can`t add printer 'A'", kTextPrinterExists)});
    EXPECT_TRUE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_TRUE(winsim::PrinterExists(u"A"));
}

TEST_F(PrinterSettingsTest, SubKeyHelpersRoundTrip) {
    winsim::AddTestPrinter(ProductPrinter(u"P"));
    StartContext(ctx);
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"P"), &printer, &access));
    char read[64] = "garbage";
    ReadSubKey(printer, read);
    EXPECT_STREQ(read, "");
    EXPECT_TRUE(WriteSubKey(printer, "abc"));
    ReadSubKey(printer, read);
    EXPECT_STREQ(read, "abc");
    ClosePrinter(printer);

    EXPECT_FALSE(ClearDeletedMark("Quillgraphs\\nokey"));
    AddMarkedKey(u"abc");
    EXPECT_TRUE(ClearDeletedMark("Quillgraphs\\abc"));
    EXPECT_FALSE(Marked(u"abc"));
    EXPECT_FALSE(ClearDeletedMark("Quillgraphs\\abc")) << "the value is gone now";
}

// A refused keyed write skips the read-back and the mark, but comment, location, default and
// share still follow, all without a line.
TEST_F(PrinterSettingsTest, FailedSubKeyWriteStillRestoresTheRest) {
    winsim::SpoolPrinter a = ProductPrinter(u"A");
    a.comment = u"Front desk";
    a.location = u"Floor 1";
    winsim::AddTestPrinter(a);
    winsim::SetTestPrinterData(u"A", "", "SubKey", REG_SZ, Sz("s1"));
    winsim::SetTestDefaultPrinter(u"A");
    AddMarkedKey(u"s1");
    StartContext(ctx);
    DeleteAllPrinters(ctx);
    FreeText(ctx.log);
    winsim::InjectFault("SetPrinterDataExA", ERROR_ACCESS_DENIED);
    winsim::ClearCalls();
    RestorePrinterSettings(ctx);
    EXPECT_EQ(winsim::CallCount("SetPrinterDataA"), 1u) << "the plain write is still tried";
    EXPECT_EQ(winsim::CallCount("GetPrinterDataA"), 0u);
    EXPECT_EQ(winsim::CallCount("RegOpenKeyExA"), 0u);
    EXPECT_TRUE(Marked(u"s1"));
    auto restored = winsim::FindPrinter(u"A");
    ASSERT_TRUE(restored.has_value());
    EXPECT_EQ(restored->comment, u"Front desk");
    EXPECT_EQ(restored->location, u"Floor 1");
    EXPECT_EQ(restored->shareName, u"A");
    EXPECT_EQ(winsim::DefaultPrinter(), u"A");
    // The SubKey is missing, so the printer's journal entry stays for the next run.
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddPrinter(A)"},
                                         {1, u"Let's check our port monitors"},
                                         {1, u"Port monitor is found"},
                                         {1, u"OK :)"},
                                         {0, ErrorText(24, u"Can't restore all settings of printer 'A'",
                                                       u"Access is denied.")}}));
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_EQ(ctx.errorCount, 1);
}

// A new printer whose record cannot be read keeps its SubKey, gets nothing else, and still
// counts as restored.
TEST_F(PrinterSettingsTest, UnreadableNewPrinterStillCountsAsRestored) {
    winsim::SpoolPrinter a = ProductPrinter(u"A");
    a.comment = u"Front desk";
    winsim::AddTestPrinter(a);
    winsim::SetTestPrinterData(u"A", "", "SubKey", REG_SZ, Sz("s1"));
    winsim::SetTestDefaultPrinter(u"A");
    StartContext(ctx);
    DeleteAllPrinters(ctx);
    winsim::InjectFault("GetPrinterW", ERROR_ACCESS_DENIED);
    winsim::ClearCalls();
    RestorePrinterSettings(ctx);
    EXPECT_EQ(winsim::CallCount("SetPrinterW"), 0u);
    EXPECT_EQ(winsim::CallCount("SetDefaultPrinterW"), 0u);
    DWORD type = 0;
    EXPECT_EQ(Data(u"A", "DsUser", &type), Sz("s1"));
    EXPECT_EQ(winsim::FindPrinter(u"A")->comment, u"");
    EXPECT_FALSE(winsim::PrinterExists(u"qgrServer"));
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
}

}  // namespace
