// The command line: every command word and its case rule, the parent window argument, the
// help windows closed before install and uninstall runs.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/services.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

const char16_t kHelpClass[] = u"HH Parent";
const char16_t kHelpTitle[] = u"Quillgraph Help";

std::u16string Hex(uintptr_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
    return winsim::ToU16(buffer);
}

std::u16string Hex(HWND window) { return Hex(reinterpret_cast<uintptr_t>(window)); }

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpScenarioMachine(); }

    // A machine with the product installed and one product printer "Alpha".
    void SetUpProductWithPrinter() {
        SetUpInstalledProduct();
        AddInstalledPrinter(u"Alpha", "s1");
        winsim::SpoolPrinter other;
        other.name = u"Office";
        other.portName = u"LPT1:";
        other.driverName = u"Other Driver";
        winsim::AddTestPrinter(other);
        auto x64 = winsim::FindDriver(kProductDriver, winsim::kEnvX64);
        ASSERT_TRUE(x64.has_value());
    }

    // Arguments of every recorded IsWindow call.
    std::vector<std::u16string> IsWindowArguments() {
        std::vector<std::u16string> args;
        for (const auto& call : winsim::Calls())
            if (call.api == "IsWindow") args.push_back(call.args);
        return args;
    }

};

TEST_F(CommandLineTest, NoWordDoesNothing) {
    EXPECT_EQ(RunInstaller(u""), 6);
    EXPECT_EQ(DialogCount(), 0u);
    EXPECT_TRUE(winsim::Printers().empty());
    EXPECT_EQ(winsim::CallCount("OpenSCManagerW"), 0u);
    EXPECT_EQ(winsim::CallCount("FindWindowW"), 0u);
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, InstallWordsInAnyCaseRunTheInstall) {
    for (const char16_t* word : {u"in", u"install", u"serverinstall", u"in_notray", u"IN", u"Install",
                                 u"ServerInstall", u"In_NoTray", u"iN_nOtRaY"}) {
        SetUpScenarioMachine();
        EXPECT_EQ(RunInstaller(word), 1) << Utf8(word);
        EXPECT_TRUE(winsim::PrinterExists(u"qgrServer")) << Utf8(word);
        EXPECT_TRUE(winsim::MonitorExists(kProductPort)) << Utf8(word);
        ExpectAllBlocksReleased();
    }
}

TEST_F(CommandLineTest, OnlyTheLettersAToZFoldAndNothingElseIsAWord) {
    // Dotted capital I, a fullwidth letter, a trailing blank kept by quoting, a longer word.
    for (const char16_t* word : {u"\u0130n", u"\uFF49n", u"\"in \"", u"installx", u"unin", u"remove_tray", u"-in"}) {
        SetUpScenarioMachine();
        EXPECT_EQ(RunInstaller(word), 6) << Utf8(word);
        EXPECT_TRUE(winsim::Printers().empty()) << Utf8(word);
        EXPECT_EQ(winsim::CallCount("OpenSCManagerW"), 0u) << Utf8(word);
    }
}

TEST_F(CommandLineTest, UninstallWordsInAnyCase) {
    for (const char16_t* word : {u"un", u"uninstall", u"UN", u"UnInstall"}) {
        SetUpScenarioMachine();
        SetUpProductWithPrinter();
        EXPECT_EQ(RunInstaller(word), 2) << Utf8(word);
        EXPECT_FALSE(winsim::PrinterExists(u"Alpha")) << Utf8(word);
        EXPECT_FALSE(winsim::MonitorExists(kProductPort)) << Utf8(word);
        EXPECT_TRUE(winsim::PrinterExists(u"Office")) << Utf8(word);
        ExpectAllBlocksReleased();
    }
}

TEST_F(CommandLineTest, DefSetOnlyInSmallLetters) {
    SetUpProductWithPrinter();
    winsim::SetTestDefaultPrinter(u"Office");
    // A locale comparison would also take "def.set" with a soft hyphen in it.
    for (const char16_t* word : {u"Def.set", u"DEF.SET", u"def.Set", u"def.seT", u"def.\u00ADset"}) {
        EXPECT_EQ(RunInstaller(word), 6) << Utf8(word);
        EXPECT_EQ(winsim::DefaultPrinter(), u"Office") << Utf8(word);
    }
    EXPECT_EQ(RunInstaller(u"def.set"), 4);
    EXPECT_EQ(winsim::DefaultPrinter(), u"Alpha");
    // Without a product printer it still answers 4 and changes nothing.
    SetUpScenarioMachine();
    EXPECT_EQ(RunInstaller(u"def.set"), 4);
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, DriverCheck) {
    EXPECT_EQ(RunInstaller(u"onChkDrv"), 3) << "no product printer";
    SetUpProductWithPrinter();
    EXPECT_EQ(RunInstaller(u"onChkDrv"), 103);
    EXPECT_EQ(RunInstaller(u"ONCHKDRV"), 103);
    auto x64 = winsim::FindDriver(kProductDriver, winsim::kEnvX64);
    winsim::SetProductVersion(x64->driverPath, 1, 0, 0, 2415);
    EXPECT_EQ(RunInstaller(u"onchkdrv"), 3);
    EXPECT_EQ(DialogCount(), 0u);
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, StartupQuery) {
    // A scheduled deletion of an unlocked product file: deleted now, no restart, then the
    // default-printer test: no default printer at all answers 102.
    std::u16string oldDriver = winsim::DriverDirectory(winsim::kEnvX64) + u"\\3\\vmqdrv64.dll";
    winsim::WriteTestFile(oldDriver, "old");
    SetPendingRenames({u"\\??\\" + oldDriver, u""});
    EXPECT_EQ(RunInstaller(u"onInit"), 102);
    EXPECT_FALSE(winsim::FileExists(oldDriver));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 0);

    // The default printer is a product printer: 3; another printer: 102.
    SetUpScenarioMachine();
    SetUpProductWithPrinter();
    winsim::SetTestDefaultPrinter(u"Alpha");
    EXPECT_EQ(RunInstaller(u"ONINIT"), 3);
    winsim::SetTestDefaultPrinter(u"Office");
    EXPECT_EQ(RunInstaller(u"oninit"), 102);

    // A pending rename of a product file: two spooler restarts and 200.
    winsim::WriteTestFile(u"C:\\Temp\\vmqui64.dll", "new");
    SetPendingRenames({u"\\??\\C:\\Temp\\vmqui64.dll", u"!\\??\\C:\\Windows\\system32\\vmqui64.dll"});
    int stopsBefore = winsim::ServiceStops(kSpooler);
    EXPECT_EQ(RunInstaller(u"onInit"), 200);
    EXPECT_EQ(winsim::ServiceStops(kSpooler) - stopsBefore, 2);
    EXPECT_EQ(winsim::ServiceState(kSpooler), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(DialogCount(), 0u);
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, RemoveTrayAnswersLikeAnUnknownWord) {
    SetUpInstalledProduct();
    ASSERT_TRUE(TrayRunning());
    EXPECT_EQ(RunInstaller(u"RemoveTray"), 6);
    EXPECT_FALSE(TrayRunning());
    EXPECT_FALSE(winsim::RegValueExists(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue));
    EXPECT_FALSE(winsim::FileExists(kTrayExe));
    EXPECT_TRUE(winsim::MonitorExists(kProductPort)) << "nothing else is removed";
    EXPECT_EQ(RunInstaller(u"whatever"), 6);
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, ParentWindowOnlyFromExactlyThreeElementsAndOnlyWhenItIsAWindow) {
    HWND owner = winsim::CreateTopWindow(0, u"SetupWindow", u"Setup");
    std::u16string number = winsim::ToU16(std::to_string(reinterpret_cast<uintptr_t>(owner)));
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED, -1);  // every run shows its dialog

    ASSERT_EQ(RunInstaller(u"in " + number), 100);
    ASSERT_EQ(DialogCount(), 1u);
    EXPECT_EQ(winsim::Dialogs().back().owner, owner);

    // Leading blanks and a sign are read; reading stops at the first non-digit.
    SetUpScenarioMachine();
    owner = winsim::CreateTopWindow(0, u"SetupWindow", u"Setup");
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED, -1);
    EXPECT_EQ(RunInstaller(u"un \" +" + number + u"xyz\""), 2);
    EXPECT_EQ(IsWindowArguments().back(), Hex(owner));
    EXPECT_EQ(RunInstaller(u"in \"\t" + number + u"7x\""), 100);
    EXPECT_EQ(IsWindowArguments().back(), Hex(reinterpret_cast<uintptr_t>(owner) * 10 + 7)) << "7 is a digit";
    EXPECT_EQ(winsim::Dialogs().back().owner, nullptr);

    // Not a window: the install runs, the dialog has no owner.
    EXPECT_EQ(RunInstaller(u"in 12345"), 100);
    EXPECT_EQ(winsim::Dialogs().back().owner, nullptr);

    // A fourth element: the number is never used, not even asked about.
    winsim::ClearCalls();
    EXPECT_EQ(RunInstaller(u"in " + number + u" extra"), 100);
    EXPECT_EQ(winsim::Dialogs().back().owner, nullptr);
    EXPECT_TRUE(IsWindowArguments().empty());
    ExpectAllBlocksReleased();
}

TEST_F(CommandLineTest, WindowNumberIsSigned32BitWithClamping) {
    // The number is widened with its sign; out-of-range values stop at the 32-bit limits.
    struct Case {
        const char16_t* argument;
        const char16_t* handle;
    };
    for (Case c : {Case{u"-1", u"0xffffffffffffffff"}, Case{u"2147483647", u"0x7fffffff"},
                   Case{u"2147483648", u"0x7fffffff"}, Case{u"99999999999999999999999", u"0x7fffffff"},
                   Case{u"-2147483648", u"0xffffffff80000000"}, Case{u"-99999999999", u"0xffffffff80000000"},
                   Case{u"abc", u"0x0"}, Case{u"4294967297", u"0x7fffffff"}}) {
        winsim::ClearCalls();
        EXPECT_EQ(RunInstaller(std::u16string(u"onChkDrv ") + c.argument), 3);
        auto args = IsWindowArguments();
        ASSERT_EQ(args.size(), 1u) << Utf8(c.argument);
        EXPECT_EQ(args[0], c.handle) << Utf8(c.argument);
    }
}

TEST_F(CommandLineTest, HelpWindowsAreClosedBeforeInstallAndUninstallOnly) {
    // None open: one search, no sleep (the run's only pause is the tray removal's 1 s for the
    // missing Run value).
    EXPECT_EQ(RunInstaller(u"in"), 1);
    size_t searches = 0;
    for (const auto& call : winsim::Calls())
        if (call.api == "FindWindowW" && call.args == u"HH Parent,Quillgraph Help") ++searches;
    EXPECT_EQ(searches, 1u);
    EXPECT_EQ(winsim::TotalSlept(), 1000u);

    // A viewer that closes when asked: one request, one pause.
    SetUpScenarioMachine();
    DWORD viewer = winsim::StartHelpViewer({kHelpClass, kHelpTitle, 0});
    EXPECT_EQ(RunInstaller(u"un"), 2);
    EXPECT_EQ(winsim::HelpViewerWindow(viewer), nullptr);
    size_t closes = 0;
    for (const auto& m : winsim::PostedMessages())
        if (m.msg == WM_SYSCOMMAND && m.wParam == SC_CLOSE && m.lParam == 0) ++closes;
    EXPECT_EQ(closes, 1u);
    // 50 ms after the request, plus the tray removal's 1 s pause for the missing Run value.
    EXPECT_EQ(winsim::TotalSlept(), 1050u);

    // Other commands leave it open.
    SetUpScenarioMachine();
    viewer = winsim::StartHelpViewer({kHelpClass, kHelpTitle, 0});
    EXPECT_EQ(RunInstaller(u"onInit"), 102);
    EXPECT_NE(winsim::HelpViewerWindow(viewer), nullptr);
}

TEST_F(CommandLineTest, HelpWindowThatNeverClosesIsGivenUpAfterAHundredRounds) {
    DWORD viewer = winsim::StartHelpViewer({kHelpClass, kHelpTitle, winsim::kNever});
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_NE(winsim::HelpViewerWindow(viewer), nullptr);
    EXPECT_EQ(winsim::PostedMessages().size(), 100u);
    // 100 rounds of 50 ms, then the tray removal's 1 s pause for the missing Run value.
    EXPECT_EQ(winsim::TotalSlept(), 6000u);
    EXPECT_TRUE(winsim::PrinterExists(u"qgrServer")) << "the install goes on";
}

// The runs that change the machine take turns on a global mutex: a second one waits for the
// holder (330 s at most), goes on when it is released or its holder died, and otherwise changes
// nothing and exits 100, the install and uninstall words with error 18 in their log.
TEST_F(CommandLineTest, RunsThatChangeTheMachineTakeTurns) {
    const char kRunMutex[] = "Global\\Quillgraph.Install.Run";
    enum Holder { None, ReleasesAfterAMinute, Dies, NeverReleases };
    // A deployment agent's default security: administrators may only wait.
    const char kSystemDefault[] = "D:(A;;GA;;;SY)(A;;GRGE;;;BA)";
    struct Case {
        const char16_t* word;
        Holder holder;
        int code;
        uint64_t waited;  // virtual ms before the run went on (or gave up)
        const char* security = "";
    } cases[] = {
        {u"in", ReleasesAfterAMinute, 1, 60000}, {u"in", Dies, 1, 1000},
        {u"in", NeverReleases, 100, 330000},    {u"un", NeverReleases, 100, 330000},
        {u"removetray", NeverReleases, 100, 330000}, {u"def.set", NeverReleases, 100, 330000},
        {u"onInit", NeverReleases, 102, 30000},  {u"onChkDrv", NeverReleases, 3, 0},
        {u"in", NeverReleases, 100, 330000, kSystemDefault}, {u"in", ReleasesAfterAMinute, 1, 60000, kSystemDefault},
        {u"onInit", Dies, 102, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.word) + " " + std::to_string(c.holder) + " " + c.security);
        SetUpScenarioMachine();
        SetUpInstalledProduct();
        // Another program's file scheduled for deletion: onInit deletes it only with the turn.
        winsim::WriteTestFile(u"C:\\Temp\\old.tmp", "x");
        winsim::SetRegMultiString(HKEY_LOCAL_MACHINE, winsim::kSessionManagerKey, winsim::kPendingRenameValue,
                                  {u"\\??\\C:\\Temp\\old.tmp", u""});
        DWORD holder = winsim::StartProcess(u"C:\\Other\\install.exe");
        winsim::ProcessCreateMutex(holder, kRunMutex, true, c.security);
        if (c.holder == ReleasesAfterAMinute)
            winsim::ScheduleAfter(60000, [&] { winsim::ProcessReleaseMutex(holder, kRunMutex); });
        if (c.holder == Dies) winsim::ScheduleAfter(1000, [&] { winsim::EndProcess(holder); });
        winsim::ClearCalls();
        EXPECT_EQ(RunInstaller(c.word), c.code);
        std::vector<std::u16string> waits;
        for (const auto& call : winsim::Calls())
            if (call.api == "WaitForSingleObject" && call.args.rfind(u"mutex:Global", 0) == 0) waits.push_back(call.args);
        EXPECT_EQ(waits.size(), c.waited != 0 ? 1u : 0u);
        if (c.holder == NeverReleases && c.code == 100) {
            EXPECT_EQ(winsim::Now(), c.waited) << "nothing else waited";
            for (const char* api : {"FindWindowW", "OpenSCManagerW", "EnumPrintersW", "RegOpenKeyExA", "DeleteFileW"})
                EXPECT_EQ(winsim::CallCount(api), 0u) << api;
            EXPECT_TRUE(TrayRunning());
            bool logged = c.word[0] == u'i' || c.word[0] == u'u';
            EXPECT_EQ(DialogCount(), logged ? 1u : 0u);
            if (logged) {
                EXPECT_EQ(LastDialogLog(), u"Quillgraph 2430\r\nError(18): Another installation is in progress. - "
                                           u"(The wait operation timed out.)\r\n");
            }
        } else if (c.code == 1) {
            EXPECT_GE(winsim::Now(), c.waited);
            EXPECT_TRUE(winsim::MonitorExists(kProductPort));
        }
        if (c.word[0] == u'o' && c.word[2] == u'I') {
            EXPECT_EQ(winsim::FileExists(u"C:\\Temp\\old.tmp"), c.holder == NeverReleases) << "deleted only in its turn";
        }
        EXPECT_EQ(winsim::MutexOwner(kRunMutex), c.holder == NeverReleases ? holder : 0u) << "the turn is given back";
    }
}

}  // namespace
