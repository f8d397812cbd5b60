// The simulated Service Control Manager: scripted stops and starts, refusals, access rights,
// handle checks and state-change notifications.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/services.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<std::u16string, DWORD>>* g_changes = nullptr;

class ServicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        static bool registered = false;
        if (!registered) {
            winsim::OnServiceStateChange([](std::u16string_view name, DWORD state) {
                if (g_changes) g_changes->emplace_back(std::u16string(name), state);
            });
            registered = true;
        }
        winsim::Reset();
        g_changes = &changes;
        manager = OpenSCManagerW(nullptr, nullptr, STANDARD_RIGHTS_REQUIRED | SC_MANAGER_CONNECT);
        ASSERT_NE(manager, nullptr);
        spooler = OpenServiceW(manager, u"spooler", SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP);
        ASSERT_NE(spooler, nullptr);
    }
    void TearDown() override {
        g_changes = nullptr;
        CloseServiceHandle(spooler);
        CloseServiceHandle(manager);
        EXPECT_EQ(winsim::OpenServiceHandles(), 0u);
    }

    DWORD Query() {
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(spooler, &status));
        return status.dwCurrentState;
    }

    std::vector<std::pair<std::u16string, DWORD>> changes;
    SC_HANDLE manager = nullptr;
    SC_HANDLE spooler = nullptr;
};

TEST_F(ServicesTest, SpoolerRunsAfterResetAndStopsAtOnceByDefault) {
    EXPECT_TRUE(winsim::IsServiceRunning(u"Spooler"));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
    ASSERT_TRUE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(Query(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(winsim::ServiceStops(u"spooler"), 1);
    EXPECT_EQ(winsim::ServiceStarts(u"spooler"), 1);
    EXPECT_EQ(changes, (std::vector<std::pair<std::u16string, DWORD>>{{u"Spooler", SERVICE_STOPPED},
                                                                      {u"Spooler", SERVICE_RUNNING}}));
}

// A transition takes virtual time, not status queries: a loop that polls without sleeping never
// sees it end, and the state changes when the clock gets there even if nobody asks.
TEST_F(ServicesTest, ScriptedStopAndStartTakeVirtualTime) {
    winsim::ScriptService(u"spooler").msToStop = 400;
    winsim::ScriptService(u"spooler").msToStart = 200;
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Query(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    // The documented refusals while the stop is pending.
    EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    Sleep(399);
    EXPECT_EQ(Query(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    Sleep(1);
    EXPECT_EQ(winsim::ServiceState(u"spooler"), static_cast<DWORD>(SERVICE_STOPPED)) << "without a query";
    EXPECT_EQ(Query(), static_cast<DWORD>(SERVICE_STOPPED));

    ASSERT_TRUE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(Query(), static_cast<DWORD>(SERVICE_START_PENDING));
    winsim::AdvanceClock(200);
    EXPECT_EQ(Query(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(changes.size(), 4u);
    EXPECT_EQ(changes[0].second, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(changes[1].second, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(changes[2].second, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(changes[3].second, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServicesTest, ServiceThatNeverStopsStaysPendingAndCannotStart) {
    winsim::ScriptService(u"spooler").msToStop = -1;
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(Query(), static_cast<DWORD>(SERVICE_STOP_PENDING));
        Sleep(1000);
    }
    EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    EXPECT_EQ(winsim::ServiceStops(u"spooler"), 0);
}

TEST_F(ServicesTest, RefusalsUseTheScriptedCodesAndLeaveTheState) {
    winsim::ScriptService(u"spooler").controlError = ERROR_DEPENDENT_SERVICES_RUNNING;
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
    EXPECT_TRUE(winsim::IsServiceRunning(u"spooler"));

    winsim::SetServiceState(u"spooler", SERVICE_STOPPED);
    winsim::ScriptService(u"spooler").startError = ERROR_SERVICE_DISABLED;
    EXPECT_FALSE(StartServiceW(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
    EXPECT_EQ(winsim::ServiceState(u"spooler"), static_cast<DWORD>(SERVICE_STOPPED));

    winsim::ScriptService(u"spooler").openError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(OpenServiceW(manager, u"Spooler", SERVICE_START), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ServicesTest, AccessRightsAndHandlesAreChecked) {
    SC_HANDLE queryOnly = OpenServiceW(manager, u"SPOOLER", SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, nullptr);
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(queryOnly, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(StartServiceW(queryOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseServiceHandle(queryOnly));
    EXPECT_FALSE(CloseServiceHandle(queryOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseServiceHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager), &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_EQ(OpenServiceW(manager, u"NoSuchService", SERVICE_START), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(OpenSCManagerW(u"\\\\OTHER-PC", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    SC_HANDLE local = OpenSCManagerW(u"\\\\WINSIM-PC", nullptr, SC_MANAGER_CONNECT);
    EXPECT_NE(local, nullptr);
    CloseServiceHandle(local);

    winsim::InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
