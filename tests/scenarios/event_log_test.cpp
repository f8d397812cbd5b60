// The event every install and uninstall run leaves in the Application event log: its type, id
// (the exit code) and text (the run's log), written before the dialog, the source's message file
// registered by an install and removed by an uninstall, and nothing that a failing event log
// could change about the run.
#include <winsim/core.h>
#include <winsim/eventlog.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/user.h>

#include <functional>
#include <string>
#include <vector>

#include "frontend/event_report.h"
#include "run/install_log.h"
#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

const char16_t kStagedHelpX86[] = u"C:\\Windows\\system32\\spool\\DRIVERS\\W32X86\\vmqhelp.chm";
const char16_t kSourceKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillgraph Installer";

struct RunCase {
    const char* name;
    const char16_t* command;
    std::function<void()> arrange;
    int exitCode;
    WORD type;
    bool stationVisible = true;  // else a non-interactive window station: no dialog at all
    DWORD session = 1;           // session 0 (services, SYSTEM tasks): no dialog either
};

std::vector<RunCase> RunCases() {
    auto lockStagedHelp = [] {
        winsim::WriteTestFile(kStagedHelpX86, "old help");
        winsim::HoldFile(kStagedHelpX86, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_ACCESS_DENIED);
    };
    return {
        {"clean install", u"in", [] {}, 1, EVENTLOG_INFORMATION_TYPE},
        {"install word in capitals", u"SERVERINSTALL", [] {}, 1, EVENTLOG_INFORMATION_TYPE},
        {"install with an error", u"install", [] { winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED); }, 100,
         EVENTLOG_ERROR_TYPE},
        {"install waiting for a reboot", u"in_notray", lockStagedHelp, 101, EVENTLOG_WARNING_TYPE},
        {"clean uninstall", u"un", [] { SetUpInstalledProduct(); }, 2, EVENTLOG_INFORMATION_TYPE},
        {"uninstall waiting for a reboot", u"uninstall",
         [] {
             SetUpInstalledProduct();
             winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
         },
         101, EVENTLOG_WARNING_TYPE},
        {"uninstall with an error", u"un", [] { winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED); }, 100,
         EVENTLOG_ERROR_TYPE},
        {"unattended install with an error", u"in", [] { winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED); },
         100, EVENTLOG_ERROR_TYPE, false},
        {"unattended clean uninstall", u"un", [] { SetUpInstalledProduct(); }, 2, EVENTLOG_INFORMATION_TYPE, false},
        {"install with an error in session 0", u"in", [] { winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED); },
         100, EVENTLOG_ERROR_TYPE, true, 0},
    };
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpScenarioMachine();
        winsim::SetKeyDown(VK_SHIFT);  // the dialog then shows the log of every run a user sees
    }
};

TEST_F(EventLogTest, EveryInstallAndUninstallRunReportsItsOutcome) {
    for (const RunCase& c : RunCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        winsim::SetWindowStationVisible(c.stationVisible);
        winsim::SetSessionId(c.session);
        const bool userSees = c.stationVisible && c.session != 0;
        const bool install = std::u16string_view(c.command).substr(0, 2) != u"un";
        winsim::SetRegString(HKEY_LOCAL_MACHINE, kSourceKey, u"EventMessageFile", u"C:\\Old\\install.exe");
        c.arrange();
        winsim::ClearCalls();
        ASSERT_EQ(RunInstaller(c.command), c.exitCode);

        ASSERT_EQ(winsim::Events().size(), 1u);
        const winsim::EventRecord& event = winsim::Events()[0];
        EXPECT_EQ(Utf8(event.log), "Application");
        EXPECT_EQ(Utf8(event.source), "Quillgraph Installer");
        EXPECT_EQ(event.type, c.type);
        EXPECT_EQ(event.eventId, static_cast<DWORD>(c.exitCode));
        EXPECT_EQ(event.category, 0);
        EXPECT_TRUE(event.data.empty());
        ASSERT_EQ(event.strings.size(), 1u);
        EXPECT_EQ(event.strings[0].rfind(u"Quillgraph 2430\r\n", 0), 0u) << Utf8(event.strings[0]);
        if (userSees) {
            ASSERT_EQ(DialogCount(), 1u);
            EXPECT_EQ(Utf8(event.strings[0]), Utf8(LastDialogLog())) << "the event carries the whole log";
            // Before the dialog: a run left open in its dialog, or killed there, has reported.
            EXPECT_EQ(winsim::CallSequence({"DialogBoxParamW", "RegisterEventSourceW", "ReportEventW",
                                            "DeregisterEventSource"}),
                      (std::vector<std::string>{"RegisterEventSourceW", "ReportEventW", "DeregisterEventSource",
                                                "DialogBoxParamW"}));
        } else {
            EXPECT_EQ(DialogCount(), 0u);
            if (c.exitCode == 100) {
                EXPECT_NE(event.strings[0].find(u"Error("), std::u16string::npos) << Utf8(event.strings[0]);
            }
        }
        // The message file: this installer after an install, no registration after an uninstall.
        std::string bytes;
        DWORD type = 0;
        if (install) {
            ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kSourceKey, u"EventMessageFile", &type, &bytes));
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(kModulePath), sizeof(kModulePath)));
            ASSERT_TRUE(winsim::GetRegValue(HKEY_LOCAL_MACHINE, kSourceKey, u"TypesSupported", &type, &bytes));
            EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
            EXPECT_EQ(bytes, std::string("\x07\0\0\0", 4));
        } else {
            EXPECT_FALSE(winsim::RegKeyExists(HKEY_LOCAL_MACHINE, kSourceKey));
        }
        EXPECT_EQ(winsim::OpenEventSources(), 0u);
        ExpectAllBlocksReleased();
    }
}

TEST_F(EventLogTest, CommandsWithoutARunReportNothing) {
    for (const char16_t* command : {u"", u"onInit", u"onChkDrv", u"def.set", u"removetray", u"bogus", u"DEF.SET"}) {
        SCOPED_TRACE(Utf8(command));
        SetUp();
        RunInstaller(command);
        EXPECT_EQ(winsim::CallCount("RegisterEventSourceW"), 0u);
        EXPECT_TRUE(winsim::Events().empty());
    }
}

// A failing event log leaves the exit code, the dialog and the log as they were.
TEST_F(EventLogTest, FailuresOfTheEventLogChangeNothing) {
    struct Case {
        const char* api;
        size_t events;
    };
    for (const char16_t* command : {u"in", u"un"}) {
        SetUp();
        const int expected = RunInstaller(command);
        const std::u16string expectedLog = LastDialogLog();
        for (Case c : {Case{"RegisterEventSourceW", 0}, Case{"ReportEventW", 0}, Case{"DeregisterEventSource", 1}}) {
            SCOPED_TRACE(std::string(c.api) + " " + Utf8(command));
            SetUp();
            winsim::InjectFault(c.api, ERROR_ACCESS_DENIED, -1);
            EXPECT_EQ(RunInstaller(command), expected);
            EXPECT_EQ(Utf8(LastDialogLog()), Utf8(expectedLog));
            EXPECT_EQ(winsim::Events().size(), c.events);
            if (c.api != std::string("DeregisterEventSource")) {
                EXPECT_EQ(winsim::OpenEventSources(), 0u);
            }
            ExpectAllBlocksReleased();
        }
    }
}

// A log longer than ReportEventW accepts keeps its head and its tail, a marker between them
// saying how much is left out, and no surrogate pair cut in two; the run's log stays whole.
TEST_F(EventLogTest, ALongLogKeepsItsHeadAndTail) {
    struct Case {
        size_t length;
        bool pairs;  // the text is made of surrogate pairs (and one lone unit when odd)
    };
    const size_t max = winsim::kMaxEventString;
    for (Case c : {Case{max - 1, false}, Case{max, false}, Case{max + 1, false}, Case{100000, false},
                   Case{max + 1, true}, Case{max + 2, true}, Case{100001, true}}) {
        SCOPED_TRACE(std::to_string(c.length) + (c.pairs ? " pairs" : ""));
        SetUp();
        std::u16string text;
        for (size_t i = 0; i < c.length; ++i)
            text.push_back(c.pairs ? (i % 2 ? u'\xDE00' : u'\xD83D') : static_cast<char16_t>(u'a' + i % 26));
        InstallContext ctx = BlankContext();
        Assign(ctx.log, text.c_str());
        ctx.errorCount = 2;
        ReportRunToEventLog(ctx, 100);
        ASSERT_EQ(winsim::Events().size(), 1u);
        EXPECT_EQ(winsim::Events()[0].type, EVENTLOG_ERROR_TYPE);
        const std::u16string& got = winsim::Events()[0].strings[0];
        if (c.length <= max) {
            EXPECT_EQ(got, text);
        } else {
            EXPECT_LE(got.size(), max);
            size_t open = got.find(u"\r\n[... ");
            size_t close = got.find(u" characters left out ...]\r\n");
            ASSERT_NE(open, std::u16string::npos);
            ASSERT_NE(close, std::u16string::npos);
            std::u16string head = got.substr(0, open);
            std::u16string tail = got.substr(close + 27);
            EXPECT_EQ(head, text.substr(0, head.size()));
            EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
            EXPECT_EQ(Utf8(got.substr(open + 7, close - open - 7)), std::to_string(c.length - head.size() - tail.size()));
            EXPECT_GT(head.size(), max / 2 - 40);
            EXPECT_GT(tail.size(), max / 2 - 40);
            if (c.pairs) {
                EXPECT_EQ(head.size() % 2, 0u) << "a high surrogate left without its pair";
                EXPECT_EQ(tail.front(), u'\xD83D') << "a low surrogate left without its pair";
            }
        }
        EXPECT_EQ(LogText(ctx), text);
        FreeText(ctx.log);
        ExpectAllBlocksReleased();
    }
}

}  // namespace
