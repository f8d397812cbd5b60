#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/heap.h>
#include <winsim/spooler.h>

#include "monitor/monitor_enum.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

class MonitorEnumTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        ctx = BlankContext();
    }
    void TearDown() override { FreeText(ctx.log); }
    InstallContext ctx;
};

// Level-2 records over test-owned strings; null entries stay null.
struct FakeMonitors {
    std::vector<std::u16string> names;
    std::vector<MONITOR_INFO_2W> records;
    std::vector<MONITOR_INFO_1W> records1;
    MonitorEnum Enum(DWORD level, const std::vector<bool>& present) {
        records.clear();
        records1.clear();
        for (size_t i = 0; i < names.size(); ++i) {
            LPWSTR name = present[i] ? names[i].data() : nullptr;
            records.push_back(MONITOR_INFO_2W{name, nullptr, nullptr});
            records1.push_back(MONITOR_INFO_1W{name});
        }
        BYTE* block = level == 1 ? reinterpret_cast<BYTE*>(records1.data()) : reinterpret_cast<BYTE*>(records.data());
        return MonitorEnum{block, level, static_cast<DWORD>(names.size()), 0};
    }
};

TEST_F(MonitorEnumTest, MachineWithoutMonitorsGivesEmptyRecord) {
    RemoveAllMonitors();
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"1. EnumMonitors returns true"}}));
    EXPECT_EQ(monitors.monitors, nullptr);
    EXPECT_EQ(monitors.monitorCount, 0u);
    EXPECT_EQ(monitors.level, 2u);
    EXPECT_EQ(FindProductMonitor(monitors), -1);
}

TEST_F(MonitorEnumTest, FindsTheProductMonitorAndListsAll) {
    winsim::AddTestMonitor(u"QuillgraphServer:x", u"other.dll");
    InstallMonitorDirectly();
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    ASSERT_EQ(monitors.monitorCount, 4u);
    EXPECT_EQ(LogText(ctx), u"");
    EXPECT_EQ(FindProductMonitor(monitors), 3);
    LogMonitorList(ctx, monitors);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"------- 4 existing monitors ----------"},
                                         {0, u"1. Local Port"},
                                         {0, u"2. Standard TCP/IP Port"},
                                         {0, u"3. QuillgraphServer:x"},
                                         {0, u"4. QuillgraphServer:"},
                                         {0, u"---------------------------------------"}}));
    GlobalFree(monitors.monitors);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
}

TEST_F(MonitorEnumTest, LookupIsExactAndFollowsTheLevel) {
    FakeMonitors fake;
    fake.names = {u"quillgraphserver:", u"QuillgraphServer", u"", u"QuillgraphServer:"};
    EXPECT_EQ(FindProductMonitor(fake.Enum(2, {true, true, false, true})), 3);
    EXPECT_EQ(FindProductMonitor(fake.Enum(1, {true, true, false, true})), 3);
    EXPECT_EQ(FindProductMonitor(fake.Enum(3, {true, true, false, true})), -1);
    EXPECT_EQ(FindProductMonitor(fake.Enum(2, {true, true, false, false})), -1);

    LogMonitorList(ctx, fake.Enum(2, {true, true, false, true}));
    std::vector<std::u16string> lines = LogLines(ctx);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[3], u"3. ***EMPTY***");
}

TEST_F(MonitorEnumTest, FailedSizeQueryIsLoggedWithTheSystemText) {
    winsim::InjectFault("EnumMonitorsW", ERROR_ACCESS_DENIED);
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    // The system text keeps its own line break.
    EXPECT_EQ(LogText(ctx), u"2. EnumMonitors  failed with code: Access is denied.\r\n\r\n");
    EXPECT_EQ(monitors.monitors, nullptr);
    EXPECT_EQ(monitors.monitorCount, 0u);
    EXPECT_EQ(ctx.errorCount, 0);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

TEST_F(MonitorEnumTest, FailedSecondCallReleasesTheBlock) {
    InstallMonitorDirectly();
    winsim::InjectFault("EnumMonitorsW", ERROR_ACCESS_DENIED, 1, 1);
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    EXPECT_EQ(LogText(ctx), u"3. EnumMonitors  failed with code: Access is denied.\r\n\r\n");
    EXPECT_EQ(monitors.monitors, nullptr);
    EXPECT_EQ(monitors.monitorCount, 0u);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
}

TEST_F(MonitorEnumTest, AllocationFailureLeavesOutOfMemory) {
    InstallMonitorDirectly();
    winsim::InjectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"3. EnumMonitors - can't allocate memory for buffer"}}));
    EXPECT_EQ(GetLastError(), 0x8007000Eu);
    EXPECT_EQ(monitors.monitors, nullptr);
    EXPECT_EQ(monitors.monitorCount, 0u);
}

// The text is asked for in US English from the system table; an error without a text gets the
// fixed placeholder, which has no line break of its own.
TEST_F(MonitorEnumTest, FailureWithoutSystemTextUsesThePlaceholder) {
    winsim::InjectFault("EnumMonitorsW", 0x20001234);
    winsim::ClearCalls();
    MonitorEnum monitors;
    EnumerateMonitors(monitors, ctx);
    EXPECT_EQ(CallArgs("FormatMessageW"), std::vector<std::u16string>{Hex(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM) + u"," +
                                                                    Dec(0x20001234) + u"," + Hex(0x409)});
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u"2. EnumMonitors  failed with code: No Error or no description"}}));
    EXPECT_EQ(GetLastError(), 0x20001234u) << "the last error still describes EnumMonitorsW";
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

}  // namespace
