// The simulated event log: sources opened on this machine only, ReportEventW's refusals
// (documented parameter checks, the per-string limit) and what it records.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/eventlog.h>

#include <string>
#include <vector>

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { winsim::Reset(); }
};

TEST_F(EventLogTest, SourcesOpenOnTheLocalMachineOnly) {
    struct Case {
        LPCWSTR server;
        LPCWSTR source;
        DWORD error;  // 0: a handle
    };
    for (Case c : {Case{nullptr, u"Quillgraph Installer", 0}, Case{u"", u"Any Name", 0},
                   Case{u"\\\\OTHER-PC", u"Quillgraph Installer", RPC_S_SERVER_UNAVAILABLE},
                   Case{nullptr, nullptr, ERROR_INVALID_PARAMETER}, Case{nullptr, u"", ERROR_INVALID_PARAMETER}}) {
        SetLastError(0);
        HANDLE h = RegisterEventSourceW(c.server, c.source);
        EXPECT_EQ(h != nullptr, c.error == 0);
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (h) {
            EXPECT_TRUE(DeregisterEventSource(h));
        }
    }
    EXPECT_EQ(winsim::OpenEventSources(), 0u);
    SetLastError(0);
    EXPECT_FALSE(DeregisterEventSource(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(EventLogTest, ReportEventWChecksItsParametersAndRecordsTheEvent) {
    HANDLE h = RegisterEventSourceW(nullptr, u"Source A");
    ASSERT_NE(h, nullptr);
    std::u16string longest(winsim::kMaxEventString, u'x');
    std::u16string tooLong(winsim::kMaxEventString + 1, u'x');
    LPCWSTR good[] = {u"one", u"two"};
    LPCWSTR atLimit[] = {longest.c_str()};
    LPCWSTR overLimit[] = {u"fine", tooLong.c_str()};
    LPCWSTR withNull[] = {nullptr};
    char raw[] = "abc";
    struct Case {
        HANDLE handle;
        WORD type;
        WORD count;
        LPCWSTR* strings;
        DWORD dataSize;
        void* data;
        DWORD error;  // 0: written
    };
    std::vector<Case> cases = {
        {h, EVENTLOG_ERROR_TYPE, 2, good, 3, raw, 0},
        {h, EVENTLOG_INFORMATION_TYPE, 1, atLimit, 0, nullptr, 0},
        {h, EVENTLOG_SUCCESS, 0, nullptr, 0, nullptr, 0},
        {h, EVENTLOG_INFORMATION_TYPE, 2, overLimit, 0, nullptr, ERROR_INVALID_PARAMETER},
        {h, EVENTLOG_INFORMATION_TYPE, 1, withNull, 0, nullptr, ERROR_INVALID_PARAMETER},
        {h, EVENTLOG_INFORMATION_TYPE, 1, nullptr, 0, nullptr, ERROR_INVALID_PARAMETER},
        {h, EVENTLOG_INFORMATION_TYPE, 0, nullptr, 4, nullptr, ERROR_INVALID_PARAMETER},
        {h, 0x0003, 0, nullptr, 0, nullptr, ERROR_INVALID_PARAMETER},
        {nullptr, EVENTLOG_ERROR_TYPE, 0, nullptr, 0, nullptr, ERROR_INVALID_HANDLE},
    };
    size_t written = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = cases[i];
        SetLastError(0);
        BOOL ok = ReportEventW(c.handle, c.type, 7, 4000 + static_cast<DWORD>(i), nullptr, c.count, c.dataSize,
                               c.strings, c.data);
        EXPECT_EQ(ok != FALSE, c.error == 0);
        if (c.error) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (ok) ++written;
        ASSERT_EQ(winsim::Events().size(), written) << "a refused event is not written";
    }
    const winsim::EventRecord& first = winsim::Events()[0];
    EXPECT_EQ(first.source, u"Source A");
    EXPECT_EQ(first.log, u"Application");
    EXPECT_EQ(first.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(first.category, 7);
    EXPECT_EQ(first.eventId, 4000u);
    EXPECT_EQ(first.strings, (std::vector<std::u16string>{u"one", u"two"}));
    EXPECT_EQ(first.data, "abc");
    EXPECT_EQ(winsim::Events()[1].strings[0].size(), winsim::kMaxEventString);

    // A closed source takes no more events.
    ASSERT_TRUE(DeregisterEventSource(h));
    EXPECT_FALSE(ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    winsim::Reset();
    EXPECT_TRUE(winsim::Events().empty());
}

}  // namespace
