#include <winsim/core.h>
#include <winsim/services.h>

#include <string>
#include <vector>

#include "run/install_context.h"
#include "services/spooler_service.h"
#include "support/test_support.h"

namespace {

using qgrtest::ExpectedLog;
using qgrtest::kSpooler;
using qgrtest::LogText;

// Arguments of every recorded call of `api`, in order.
std::vector<std::u16string> ArgsOf(const std::string& api) {
    std::vector<std::u16string> args;
    for (const auto& call : winsim::Calls())
        if (call.api == api) args.push_back(call.args);
    return args;
}

class SpoolerServiceTest : public qgrtest::HealthyMachineTest {
protected:
    // As on Windows, the polls that succeed overwrite the last error: the lines keep the failure's.
    void SetUp() override {
        HealthyMachineTest::SetUp();
        winsim::SuccessClearsLastError(true);
    }
    void TearDown() override {
        FreeContext(ctx);
        EXPECT_EQ(ctx.logIndent, 0);
    }
    winsim::ServiceScript& Script() { return winsim::ScriptService(kSpooler); }
    InstallContext ctx = qgrtest::BlankContext();
};

// ---- CheckSpooler ----

TEST_F(SpoolerServiceTest, CheckOfARunningSpoolerStartsNothing) {
    EXPECT_TRUE(CheckSpooler(ctx));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Check Spooler"}}));
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
    EXPECT_EQ(winsim::TotalSlept(), 0u);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(SpoolerServiceTest, CheckStartsAStoppedSpoolerAndWaits) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    Script().msToStart = 600;
    ctx.logIndent = 2;
    EXPECT_TRUE(CheckSpooler(ctx));
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{2, u">Check Spooler"}}));
    EXPECT_EQ(winsim::TotalSlept(), 3u * 200u);
    EXPECT_EQ(ctx.logIndent, 2);
    ctx.logIndent = 0;
}

TEST_F(SpoolerServiceTest, CheckWithAFailedStatusQueryAssumesRunning) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    winsim::InjectFault("QueryServiceStatus", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CheckSpooler(ctx));
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(SpoolerServiceTest, CheckWithoutServiceManagerIsError1) {
    winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CheckSpooler(ctx));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Check Spooler"},
                                         {1, u"Error(1): Can't open service manager. - (Access is denied.)"}}));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 0u);
}

TEST_F(SpoolerServiceTest, CheckWithoutTheServiceIsError2) {
    winsim::InjectFault("OpenServiceW", ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(CheckSpooler(ctx));
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">Check Spooler"},
                           {1, u"Error(2): Can't open the spooler - (The specified service does not exist as an "
                               u"installed service.)"}}));
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 1u);  // the manager
}

TEST_F(SpoolerServiceTest, CheckThatCannotStartTheSpoolerIsError4AfterTenSeconds) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    Script().startError = ERROR_SERVICE_DISABLED;
    EXPECT_FALSE(CheckSpooler(ctx));
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">Check Spooler"},
                           {1, u"Error(4): Can't start the spooler - (The service cannot be started, either because "
                               u"it is disabled or because it has no enabled devices associated with it.)"}}));
    EXPECT_EQ(winsim::TotalSlept(), 50u * 200u);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 2u);
}

// ---- StartSpoolerAndWait ----

TEST_F(SpoolerServiceTest, StartAndWaitPollsAtMostFiftyTimes) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    Script().msToStart = 10000;  // running exactly at the last poll, 50 x 200 ms in
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
    SC_HANDLE service = OpenServiceW(manager, u"spooler", 0x14);
    EXPECT_TRUE(StartSpoolerAndWait(service));
    EXPECT_EQ(winsim::TotalSlept(), 50u * 200u);

    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    Script().msToStart = 10200;
    uint64_t before = winsim::TotalSlept();
    EXPECT_FALSE(StartSpoolerAndWait(service));
    EXPECT_EQ(winsim::TotalSlept() - before, 50u * 200u);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// Another program sends the stop control: the spooler is then stop-pending for `polls` waits of
// 200 ms (negative: for good).
void OtherProgramStopsSpooler(int polls) {
    winsim::ScriptService(kSpooler).msToStop = polls < 0 ? -1 : polls * 200;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
    SC_HANDLE service = OpenServiceW(manager, u"spooler", SERVICE_STOP);
    SERVICE_STATUS status = {};
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    winsim::ScriptService(kSpooler).msToStop = 0;
    winsim::ClearCalls();
}

// A start refused because a stop was still pending is repeated once the stop is over, inside
// the same 50 polls.
TEST_F(SpoolerServiceTest, StartRefusedByAPendingStopIsRepeatedWhenStopped) {
    struct Case {
        int stopPolls;
        bool running;
        size_t starts;
    } cases[] = {{3, true, 2}, {49, true, 2}, {50, false, 1}, {-1, false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stopPolls);
        qgrtest::SetUpHealthyMachine();
        OtherProgramStopsSpooler(c.stopPolls);
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
        SC_HANDLE service = OpenServiceW(manager, u"spooler", 0x14);
        EXPECT_EQ(StartSpoolerAndWait(service), c.running);
        EXPECT_EQ(winsim::IsServiceRunning(kSpooler), c.running);
        EXPECT_EQ(winsim::CallCount("StartServiceW"), c.starts);
        EXPECT_LE(winsim::TotalSlept(), 50u * 200u);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
}

// A stop that outlasts the bracket's wait: the end step still brings the spooler back.
TEST_F(SpoolerServiceTest, RestartWhoseStopOutlastsTheWaitStillStartsTheSpooler) {
    Script().msToStop = 55 * 200;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
    EXPECT_EQ(qgrtest::LogLines(ctx), (std::vector<std::u16string>{u">Restart Spooler",
                                                                    u"Error(3): Can't stop the spooler"}));
}

// The stop control meets a spooler that is already stopping (1061): no error when the status
// shows the stop under way; any other state still is error 5.
TEST_F(SpoolerServiceTest, StopControlRefusedWhileStoppingIsExcused) {
    struct Case {
        DWORD state;
        std::vector<std::u16string> lines;
    } cases[] = {
        {SERVICE_STOP_PENDING, {u">Restart Spooler"}},
        {SERVICE_START_PENDING,
         {u">Restart Spooler",
          u"Error(5): ControlService failed with code 1061 (0x425) - (The service cannot accept control messages "
          u"at this time.)",
          u"Error(3): Can't stop the spooler - (The service cannot accept control messages at this time.)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        FreeContext(ctx);
        ctx = qgrtest::BlankContext();
        qgrtest::SetUpHealthyMachine();
        winsim::SuccessClearsLastError(true);
        if (c.state == SERVICE_STOP_PENDING) {
            OtherProgramStopsSpooler(3);
        } else {
            winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
            Script().msToStart = 100 * 200;
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF0001);
            SC_HANDLE service = OpenServiceW(manager, u"spooler", SERVICE_START);
            StartServiceW(service, 0, nullptr);
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
        }
        SpoolerRestart restart;
        BeginSpoolerRestart(restart, &ctx);
        EndSpoolerRestart(restart);
        EXPECT_EQ(qgrtest::LogLines(ctx), c.lines);
    }
}

// ---- SpoolerRestart ----

TEST_F(SpoolerServiceTest, RestartStopsThenStartsTheSpooler) {
    Script().msToStop = 400;
    Script().msToStart = 400;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EXPECT_EQ(winsim::ServiceState(kSpooler), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(restart.stopRequested, 1);
    EndSpoolerRestart(restart);
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
    EXPECT_EQ(winsim::ServiceStops(kSpooler), 1);
    EXPECT_EQ(winsim::ServiceStarts(kSpooler), 1);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Restart Spooler"}}));
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 2u);
}

TEST_F(SpoolerServiceTest, RestartOfAStoppedSpoolerIgnores1062) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    SpoolerRestart restart;
    ctx.logIndent = 1;
    BeginSpoolerRestart(restart, &ctx);
    EXPECT_EQ(winsim::TotalSlept(), 0u);  // the first poll sees it stopped
    EXPECT_EQ(ctx.logIndent, 1);          // the marker does not indent
    EndSpoolerRestart(restart);
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{1, u">Restart Spooler"}}));
    EXPECT_EQ(ctx.errorCount, 0);
    ctx.logIndent = 0;
}

TEST_F(SpoolerServiceTest, RefusedStopControlIsError5ThenError3AfterTenSeconds) {
    Script().controlError = ERROR_DEPENDENT_SERVICES_RUNNING;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EXPECT_EQ(winsim::TotalSlept(), 50u * 200u);
    EXPECT_EQ(restart.stopRequested, 1);
    EndSpoolerRestart(restart);
    EXPECT_EQ(LogText(ctx),
              ExpectedLog({{0, u">Restart Spooler"},
                           {0, u"Error(5): ControlService failed with code 1051 (0x41b) - (A stop control has been "
                               u"sent to a service that other running services are dependent on.)"},
                           {0, u"Error(3): Can't stop the spooler - (A stop control has been sent to a service that "
                               u"other running services are dependent on.)"}}));
    EXPECT_EQ(ctx.errorCount, 2);
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 1u);  // the stop still counts as requested
    EXPECT_TRUE(winsim::IsServiceRunning(kSpooler));
}

TEST_F(SpoolerServiceTest, AccessDeniedStopShowsTheCodeTwice) {
    Script().controlError = ERROR_ACCESS_DENIED;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    auto lines = qgrtest::LogLines(ctx);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], u"Error(5): ControlService failed with code 5 (0x5) - (Access is denied.)");
}

TEST_F(SpoolerServiceTest, SpoolerThatNeverStopsIsError3) {
    Script().msToStop = -1;
    SetLastError(0);
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EXPECT_EQ(winsim::TotalSlept(), 10000u);
    EXPECT_EQ(winsim::CallCount("QueryServiceStatus"), 51u);
    EndSpoolerRestart(restart);
    // Still stop-pending at the end: the start that follows cannot bring it back either.
    EXPECT_EQ(qgrtest::LogLines(ctx),
              (std::vector<std::u16string>{u">Restart Spooler", u"Error(3): Can't stop the spooler",
                                           u"Error(4): Can't start the spooler - (An instance of the service is already "
                                           u"running.)"}));
    EXPECT_EQ(ctx.errorCount, 2);
}

TEST_F(SpoolerServiceTest, RestartThatCannotStartAgainIsError4) {
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    Script().startError = ERROR_SERVICE_DISABLED;
    EndSpoolerRestart(restart);
    EXPECT_EQ(qgrtest::LogLines(ctx).back(),
              u"Error(4): Can't start the spooler - (The service cannot be started, either because it is disabled "
              u"or because it has no enabled devices associated with it.)");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 2u);
}

TEST_F(SpoolerServiceTest, RestartWithoutServiceManagerIsError1AndStartsNothing) {
    winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED);
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EXPECT_FALSE(restart.serviceManager);
    EXPECT_FALSE(restart.spoolerService);
    EndSpoolerRestart(restart);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Restart Spooler"},
                                         {0, u"Error(1): Can't open service manager. - (Access is denied.)"}}));
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 0u);
}

TEST_F(SpoolerServiceTest, RestartWithoutTheServiceIsError2) {
    winsim::InjectFault("OpenServiceW", ERROR_ACCESS_DENIED);
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">Restart Spooler"},
                                         {0, u"Error(2): Can't open the spooler - (Access is denied.)"}}));
    EXPECT_EQ(winsim::CallCount("ControlService"), 0u);
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
    EXPECT_EQ(winsim::CallCount("CloseServiceHandle"), 1u);
}

TEST_F(SpoolerServiceTest, RestartWithoutContextIsSilent) {
    Script().controlError = ERROR_ACCESS_DENIED;
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, nullptr);
    Script().startError = ERROR_SERVICE_DISABLED;
    EndSpoolerRestart(restart);
    EXPECT_EQ(ctx.log, nullptr);
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(winsim::TotalSlept(), 10000u);  // the stop wait ran; the spooler never stopped

    Script().controlError = 0;
    Script().msToStop = -1;
    BeginSpoolerRestart(restart, nullptr);
    EndSpoolerRestart(restart);
    EXPECT_EQ(winsim::TotalSlept(), 30000u);  // both waits ran, both failed, nothing logged
    EXPECT_EQ(ctx.log, nullptr);
    EXPECT_EQ(ctx.errorCount, 0);

    winsim::ClearCalls();
    winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED);
    BeginSpoolerRestart(restart, nullptr);
    EndSpoolerRestart(restart);
    EXPECT_EQ(winsim::CallCount("StartServiceW"), 0u);
}

// ---- rights asked for ----

// More rights than needed fail for a user without them; fewer make the stop or start fail.
TEST_F(SpoolerServiceTest, EachHandleAsksForExactlyItsRights) {
    winsim::SetServiceState(kSpooler, SERVICE_STOPPED);
    winsim::ClearCalls();
    EXPECT_TRUE(CheckSpooler(ctx));
    EXPECT_EQ(ArgsOf("OpenSCManagerW"), std::vector<std::u16string>{u",0xF0001"});
    EXPECT_EQ(ArgsOf("OpenServiceW"), std::vector<std::u16string>{u"spooler,0x14"});

    winsim::ClearCalls();
    SpoolerRestart restart;
    BeginSpoolerRestart(restart, &ctx);
    EndSpoolerRestart(restart);
    EXPECT_EQ(ArgsOf("OpenSCManagerW"), std::vector<std::u16string>{u",0xF0001"});
    EXPECT_EQ(ArgsOf("OpenServiceW"), std::vector<std::u16string>{u"spooler,0x34"});
    EXPECT_EQ(ArgsOf("ControlService"), std::vector<std::u16string>{u"Spooler,1"});
    EXPECT_EQ(ctx.errorCount, 0);
}

}  // namespace
