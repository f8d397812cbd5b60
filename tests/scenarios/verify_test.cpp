// "verify": 104 for the whole product and no event; 3 and one warning event naming what is
// missing for each part taken away; and in every case nothing on the machine changes.
#include <winsim/core.h>
#include <winsim/eventlog.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/spooler.h>

#include <functional>
#include <string>
#include <vector>

#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

const char16_t kJournalKey[] = u"SOFTWARE\\Corvane Software KFT\\Quillgraph\\InstallJournal";

struct Case {
    const char* name;
    std::function<void()> takeAway;  // before the printer is added
    std::vector<std::u16string> named;  // empty: the product is whole
    const char16_t* port = kProductPort;
    const char16_t* word = u"verify";
};

void DeleteDriver(const char16_t* environment) {
    DeletePrinterDriverExW(nullptr, const_cast<LPWSTR>(environment), const_cast<LPWSTR>(kProductDriver), 0, 0);
}

// A call whose name says it changes the machine (the event log's own calls aside).
bool ChangesTheMachine(const std::string& api) {
    for (const char* prefix : {"Add", "Delete", "Set", "RegSet", "RegDelete", "RegCreate", "Move", "Copy", "Write",
                               "CreateProcess", "CreateMutex", "Start", "Control", "Post", "DialogBox", "Release"})
        if (api.rfind(prefix, 0) == 0) return true;
    return false;
}

TEST(VerifyTest, AnswersWhetherTheProductIsWholeAndNamesWhatIsMissing) {
    const std::u16string x86Driver = winsim::DriverDirectory(winsim::kEnvX86) + u"\\3\\vmqdrv32.dll";
    const Case cases[] = {
        {"whole", [] {}, {}},
        {"whole, word in capitals", [] {}, {}, kProductPort, u"VERIFY"},
        {"whole, empty journal key", [] { winsim::CreateRegKey(HKEY_LOCAL_MACHINE, kJournalKey); }, {}},
        {"monitor not registered",
         [] { DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kProductPort)); },
         {u"Monitor QuillgraphServer: not registered"}},
        {"monitor DLL missing", [] { winsim::RemoveTestFile(kMonitorDll); },
         {u"C:\\Windows\\system32\\vmqmon64.dll missing"}},
        {"monitor DLL too old", [] { winsim::SetProductVersion(kMonitorDll, 1, 0, 0, 2400); },
         {u"vmqmon64.dll: build 2400, not 2416-2430"}},
        {"monitor DLL scheduled for deletion",
         [] { SetPendingRenames({u"\\??\\C:\\Windows\\System32\\VMQMON64.DLL", u""}); },
         {u"vmqmon64.dll: goes at the next reboot"}},
        {"x64 driver missing", [] { DeleteDriver(winsim::kEnvX64); },
         {u"Driver Quillgraph Server (Windows x64) not installed"}},
        {"x86 driver missing", [] { DeleteDriver(winsim::kEnvX86); },
         {u"Driver Quillgraph Server (Windows NT x86) not installed"}},
        {"x86 driver of another build", [&] { winsim::SetProductVersion(x86Driver, 1, 0, 0, 2429); },
         {u"Driver Quillgraph Server (Windows NT x86): build 2429, not 2430"}},
        {"printer on another port", [] {}, {u"No product printer on QuillgraphServer:"},
         u"file:"},
        {"autostart value missing", [] { winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue); },
         {u"Run value QuillgraphTray missing"}},
        {"autostart value names another tray",
         [] { winsim::SetRegString(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue, u"C:\\Old\\qgrtray.exe"); },
         {u"Run value QuillgraphTray names C:\\Old\\qgrtray.exe, not " + std::u16string(kTrayExe)}},
        {"tray executable missing", [] { winsim::RemoveTestFile(kTrayExe); },
         {std::u16string(kTrayExe) + u" missing"}},
        {"journal entry left as a value",
         [] { winsim::SetRegString(HKEY_LOCAL_MACHINE, kJournalKey, u"1", u"qgrServer"); },
         {u"Install journal: 1 entries left"}},
        {"journal entry left as a key",
         [] { winsim::CreateRegKey(HKEY_LOCAL_MACHINE, std::u16string(kJournalKey) + u"\\1"); },
         {u"Install journal: 1 entries left"}},
        {"two parts missing",
         [] {
             DeleteDriver(winsim::kEnvX86);
             winsim::RemoveRegValue(HKEY_LOCAL_MACHINE, kRunKey, kTrayValue);
         },
         {u"(Windows NT x86) not installed\r\n", u"Run value QuillgraphTray missing\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUpScenarioMachine();
        SetUpInstalledProduct();
        c.takeAway();
        winsim::SpoolPrinter printer;
        printer.name = u"qgrServer";
        printer.portName = c.port;
        printer.driverName = kProductDriver;
        winsim::AddTestPrinter(printer);
        winsim::ClearCalls();

        EXPECT_EQ(RunInstaller(c.word), c.named.empty() ? 104 : 3);

        for (const winsim::Call& call : winsim::Calls()) EXPECT_FALSE(ChangesTheMachine(call.api)) << call.api;
        EXPECT_EQ(winsim::TotalSlept(), 0u);
        EXPECT_EQ(DialogCount(), 0u);
        ExpectAllBlocksReleased();
        if (c.named.empty()) {
            EXPECT_TRUE(winsim::Events().empty());
            continue;
        }
        ASSERT_EQ(winsim::Events().size(), 1u);
        const winsim::EventRecord& event = winsim::Events()[0];
        EXPECT_EQ(Utf8(event.source), "Quillgraph Installer");
        EXPECT_EQ(event.type, EVENTLOG_WARNING_TYPE);
        EXPECT_EQ(event.eventId, 3u);
        ASSERT_EQ(event.strings.size(), 1u);
        const std::u16string& text = event.strings[0];
        EXPECT_EQ(text.rfind(u"Quillgraph 2430 verify: the product is not whole\r\n", 0), 0u) << Utf8(text);
        size_t lines = 0;
        for (size_t at = text.find(u"\r\n"); at != std::u16string::npos; at = text.find(u"\r\n", at + 2)) ++lines;
        EXPECT_EQ(lines, 1 + c.named.size()) << Utf8(text);
        for (const std::u16string& part : c.named) EXPECT_NE(text.find(part), std::u16string::npos) << Utf8(text);
    }
}

// What a real install leaves is whole; what a real uninstall leaves is not.
TEST(VerifyTest, AgreesWithInstallAndUninstall) {
    SetUpScenarioMachine();
    EXPECT_EQ(RunInstaller(u"verify"), 3);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_EQ(RunInstaller(u"verify"), 104);
    EXPECT_EQ(RunInstaller(u"un"), 2);
    EXPECT_EQ(RunInstaller(u"verify"), 3);
}

}  // namespace
