// The event every install and uninstall run leaves in the Application event log: its type, id
// (the exit code) and text (the run's log), written after the dialog, and nothing that a
// failing event log could change about the run.
#include <winsim/core.h>
#include <winsim/eventlog.h>
#include <winsim/files.h>
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

struct RunCase {
    const char* name;
    const char16_t* command;
    std::function<void()> arrange;
    int exitCode;
    WORD type;
    bool userSees = true;  // else a non-interactive window station: no dialog at all
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
        {"install waiting for a reboot", u"in_notray", lockStagedHelp, 101, EVENTLOG_INFORMATION_TYPE},
        {"clean uninstall", u"un", [] { SetUpInstalledProduct(); }, 2, EVENTLOG_INFORMATION_TYPE},
        {"uninstall waiting for a reboot", u"uninstall",
         [] {
             SetUpInstalledProduct();
             winsim::HoldFile(kMonitorDll, FILE_SHARE_READ, ERROR_ACCESS_DENIED);
         },
         101, EVENTLOG_INFORMATION_TYPE},
        {"uninstall with an error", u"un", [] { winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED); }, 100,
         EVENTLOG_ERROR_TYPE},
        {"unattended install with an error", u"in", [] { winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED); },
         100, EVENTLOG_ERROR_TYPE, false},
        {"unattended clean uninstall", u"un", [] { SetUpInstalledProduct(); }, 2, EVENTLOG_INFORMATION_TYPE, false},
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
        winsim::SetWindowStationVisible(c.userSees);
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
        if (c.userSees) {
            ASSERT_EQ(DialogCount(), 1u);
            EXPECT_EQ(Utf8(event.strings[0]), Utf8(LastDialogLog())) << "the event carries the whole log";
            // After the dialog: a run that hangs in the dialog has not reported yet.
            EXPECT_EQ(winsim::CallSequence({"DialogBoxParamW", "RegisterEventSourceW", "ReportEventW",
                                            "DeregisterEventSource"}),
                      (std::vector<std::string>{"DialogBoxParamW", "RegisterEventSourceW", "ReportEventW",
                                                "DeregisterEventSource"}));
        } else {
            EXPECT_EQ(DialogCount(), 0u);
            if (c.exitCode == 100) {
                EXPECT_NE(event.strings[0].find(u"Error("), std::u16string::npos) << Utf8(event.strings[0]);
            }
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

// A log longer than ReportEventW accepts goes in cut to its start; the run's log stays whole.
TEST_F(EventLogTest, ALongLogIsCutToWhatTheEventLogAccepts) {
    for (size_t length : {winsim::kMaxEventString - 1, winsim::kMaxEventString, winsim::kMaxEventString + 1,
                          size_t{100000}}) {
        SCOPED_TRACE(length);
        SetUp();
        std::u16string text;
        for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(u'a' + i % 26));
        InstallContext ctx = BlankContext();
        Assign(ctx.log, text.c_str());
        ctx.errorCount = 2;
        ReportRunToEventLog(ctx, 100);
        ASSERT_EQ(winsim::Events().size(), 1u);
        EXPECT_EQ(winsim::Events()[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(winsim::Events()[0].strings[0], text.substr(0, winsim::kMaxEventString));
        EXPECT_EQ(LogText(ctx), text);
        FreeText(ctx.log);
        ExpectAllBlocksReleased();
    }
}

}  // namespace
