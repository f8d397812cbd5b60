#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/spooler.h>

#include "printers/printer_queues.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

class PrinterQueuesTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        InstallDriverDirectly();
    }
    void TearDown() override { EndContext(ctx); }
    InstallContext ctx{};
};

TEST_F(PrinterQueuesTest, AddsAProductPrinterAndReturnsItOpen) {
    InstallMonitorDirectly();
    StartContext(ctx);
    winsim::ClearCalls();
    HANDLE printer = AddProductPrinter(ctx, u"Office");
    ASSERT_NE(printer, nullptr);
    EXPECT_EQ(CallArgs("AddPrinterW"),
              // No share name, an empty comment, no location, no data type (the spooler picks one), no attributes.
              std::vector<std::u16string>{
                  u"(null),2,Office,QuillgraphServer:,Quillgraph Server,(null),,(null),WinPrint,(null),0x0"});
    EXPECT_EQ(CallArgs("EnumMonitorsW"), (std::vector<std::u16string>{u"(null),2", u"(null),2"}));
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddPrinter(Office)"},
                                         {1, u"Let's check our port monitors"},
                                         {1, u"Port monitor is found"},
                                         {1, u"OK :)"}}));
    auto added = winsim::FindPrinter(u"Office");
    ASSERT_TRUE(added.has_value());
    EXPECT_EQ(added->portName, kMonitorName);
    EXPECT_EQ(added->driverName, kDriverName);
    EXPECT_EQ(added->printProcessor, u"WinPrint");
    EXPECT_EQ(added->comment, u"");
    EXPECT_FALSE(added->shareName.has_value() && !added->shareName->empty());
    EXPECT_EQ(SetPrinterDataA(printer, const_cast<LPSTR>("Probe"), REG_SZ, reinterpret_cast<LPBYTE>(const_cast<char*>("x")), 2),
              static_cast<DWORD>(ERROR_SUCCESS));
    ClosePrinter(printer);
}

TEST_F(PrinterQueuesTest, MissingMonitorIsListedAndTheSpoolerRefusesThePort) {
    StartContext(ctx);
    HANDLE printer = AddProductPrinter(ctx, u"Office");
    EXPECT_EQ(printer, nullptr);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddPrinter(Office)"},
                                         {1, u"Let's check our port monitors"},
                                         {1, u"No Quillgraph port monitor was found."},
                                         {1, u"------- 2 existing monitors ----------"},
                                         {1, u"1. Local Port"},
                                         {1, u"2. Standard TCP/IP Port"},
                                         {1, u"---------------------------------------"},
                                         {1, ErrorText(15, u"Can`t add printer 'Office'", kTextUnknownPort)}}));
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(ctx.logIndent, 0);
}

TEST_F(PrinterQueuesTest, NoMonitorsAtAll) {
    RemoveAllMonitors();
    StartContext(ctx);
    EXPECT_EQ(AddProductPrinter(ctx, u"Office"), nullptr);
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">AddPrinter(Office)"},
                                         {1, u"Let's check our port monitors"},
                                         {1, u"1. EnumMonitors returns true"},
                                         {1, u"No Quillgraph port monitor was found."},
                                         {1, u"BTW, there is no port monitors on this system."},
                                         {1, ErrorText(15, u"Can`t add printer 'Office'", kTextUnknownPort)}}));
}

TEST_F(PrinterQueuesTest, ExistingPrinterIsRefused) {
    InstallMonitorDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    StartContext(ctx);
    EXPECT_EQ(AddProductPrinter(ctx, u"Office"), nullptr);
    EXPECT_EQ(LogLines(ctx).back(), u"  " + ErrorText(15, u"Can`t add printer 'Office'", kTextPrinterExists));
}

TEST_F(PrinterQueuesTest, NullNameIsShownAsStar) {
    InstallMonitorDirectly();
    StartContext(ctx);
    EXPECT_EQ(AddProductPrinter(ctx, nullptr), nullptr);
    DeleteProductPrinter(ctx, nullptr);
    std::vector<std::u16string> lines = LogLines(ctx);
    EXPECT_EQ(lines.front(), u">AddPrinter(*)");
    EXPECT_EQ(LinesStartingWith(ctx, u">DeletePrinter"), std::vector<std::u16string>{u">DeletePrinter(*)"});
}

// A paused printer with jobs refuses deletion; the purge empties it first, paused or not.
TEST_F(PrinterQueuesTest, PurgesQueuedJobsBeforeDeleting) {
    InstallMonitorDirectly();
    winsim::SpoolPrinter busy = ProductPrinter(u"Busy");
    busy.status = PRINTER_STATUS_PAUSED;
    winsim::AddTestPrinter(busy);
    winsim::AddJobs(u"Busy", 3);
    StartContext(ctx);
    winsim::ClearCalls();
    DeleteProductPrinter(ctx, u"Busy");
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinter(Busy)"}, {1, u"OK"}}));
    EXPECT_EQ(winsim::CallSequence({"OpenPrinterW", "SetPrinterW", "DeletePrinter", "ClosePrinter"}),
              (std::vector<std::string>{"OpenPrinterW", "SetPrinterW", "DeletePrinter", "ClosePrinter"}));
    // Opened for deletion and administration only; purged with level 0 and command 3.
    EXPECT_EQ(CallArgs("OpenPrinterW"), std::vector<std::u16string>{u"Busy," + Dec(DELETE | PRINTER_ACCESS_ADMINISTER)});
    EXPECT_EQ(CallArgs("SetPrinterW"), std::vector<std::u16string>{u"Busy,0,3"});
    EXPECT_FALSE(winsim::PrinterExists(u"Busy")) << "purged first, so not left pending";
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(PrinterQueuesTest, UnknownPrinterGivesError16) {
    StartContext(ctx);
    DeleteProductPrinter(ctx, u"Nowhere");
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinter(Nowhere)"},
                                         {1, ErrorText(16, u"Can`t open printer 'Nowhere'", kTextInvalidPrinterName)}}));
    EXPECT_EQ(ctx.errorCount, 1);
}

TEST_F(PrinterQueuesTest, RefusedDeletionGivesError17AndClosesTheHandle) {
    InstallMonitorDirectly();
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    StartContext(ctx);
    winsim::InjectFault("DeletePrinter", ERROR_ACCESS_DENIED);
    DeleteProductPrinter(ctx, u"Office");
    EXPECT_EQ(LogText(ctx), ExpectedLog({{0, u">DeletePrinter(Office)"},
                                         {1, ErrorText(17, u"Can`t delete printer 'Office'", kTextAccessDenied)}}));
    EXPECT_TRUE(winsim::PrinterExists(u"Office"));
    EXPECT_EQ(winsim::OpenHandleCount(winsim::ObjectKind::Printer), 0u);
    EXPECT_EQ(ctx.errorCount, 1);
}

}  // namespace
