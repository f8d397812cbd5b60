#include <winsim/core.h>
#include <winsim/heap.h>
#include <winsim/services.h>
#include <winsim/spooler.h>

#include <string>
#include <vector>

#include "run/install_context.h"
#include "printers/printer_enumeration.h"
#include "support/product_support.h"
#include "support/test_support.h"

namespace {

void AddPrinter(const std::u16string& name, const std::u16string& driver = u"Generic / Text Only") {
    winsim::SpoolPrinter printer;
    printer.name = name;
    printer.portName = u"FILE:";
    printer.driverName = driver;
    winsim::AddTestPrinter(printer);
}

std::vector<std::u16string> Names(const PrinterEnumeration& e) {
    std::vector<std::u16string> names;
    for (DWORD i = 0; i < e.printerCount; ++i) names.push_back(e.printers[i].pPrinterName);
    return names;
}

std::vector<std::u16string> Marked(const PrinterEnumeration& e) {
    std::vector<std::u16string> names;
    for (DWORD i = 0; i < e.printerCount; ++i)
        if (e.printers[i].Attributes & PRINTER_ATTRIBUTE_DEFAULT) names.push_back(e.printers[i].pPrinterName);
    return names;
}

class PrinterEnumerationTest : public qgrtest::HealthyMachineTest {
protected:
    void TearDown() override {
        FreePrinterEnumeration(printers);
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    PrinterEnumeration printers{nullptr, 0};
    InstallContext ctx = qgrtest::BlankContext();
};

TEST_F(PrinterEnumerationTest, ProductPrinterTestIsExact) {
    PRINTER_INFO_2W record{};
    std::u16string driver = u"Quillgraph Server";
    record.pDriverName = &driver[0];
    EXPECT_TRUE(IsProductPrinter(record));
    for (std::u16string other : {u"quillgraph server", u"Quillgraph Server 2", u"Quillgraph Serve", u""}) {
        record.pDriverName = &other[0];
        EXPECT_FALSE(IsProductPrinter(record)) << qgrtest::Utf8(other);
    }
    record.pDriverName = nullptr;
    EXPECT_FALSE(IsProductPrinter(record));
}

TEST_F(PrinterEnumerationTest, EnumerationKeepsTheSpoolersOrder) {
    AddPrinter(u"Zeta");
    AddPrinter(u"Alpha", u"Quillgraph Server");
    AddPrinter(u"Mid");
    EnumeratePrinters(printers);
    EXPECT_EQ(Names(printers), (std::vector<std::u16string>{u"Zeta", u"Alpha", u"Mid"}));
    EXPECT_TRUE(IsProductPrinter(printers.printers[1]));
    EXPECT_EQ(winsim::CallCount("EnumPrintersW"), 2u);

    // A second enumeration releases the first block.
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printerCount, 3u);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 1u);
}

TEST_F(PrinterEnumerationTest, NoPrintersGivesAnEmptyEnumeration) {
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printers, nullptr);
    EXPECT_EQ(printers.printerCount, 0u);
    EXPECT_EQ(winsim::CallCount("EnumPrintersW"), 1u);
}

TEST_F(PrinterEnumerationTest, FailedEnumerationsLeaveItEmpty) {
    AddPrinter(u"P");
    winsim::InjectFault("EnumPrintersW", RPC_S_SERVER_UNAVAILABLE);
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printers, nullptr);

    winsim::InjectFault("EnumPrintersW", RPC_S_SERVER_UNAVAILABLE, 1, 1);
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printers, nullptr);
    EXPECT_EQ(printers.printerCount, 0u);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);

    winsim::InjectFault("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printers, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_OUTOFMEMORY));
}

// A printer added between the two calls makes the second fail with 122: the pattern is asked
// again, four passes at most, and a block is never left behind.
TEST_F(PrinterEnumerationTest, BufferOutgrownBetweenTheCallsIsAskedAgain) {
    struct Case {
        int faults;  // EnumPrintersW calls failing with 122 after the first size query
        DWORD count;
        size_t calls;
    } cases[] = {{1, 2, 4}, {5, 2, 8}, {-1, 0, 8}};
    AddPrinter(u"P");
    AddPrinter(u"Q");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        winsim::ClearCalls();
        winsim::ClearFaults();
        winsim::InjectFault("EnumPrintersW", ERROR_INSUFFICIENT_BUFFER, c.faults, 1);
        EnumeratePrinters(printers);
        EXPECT_EQ(printers.printerCount, c.count);
        EXPECT_EQ(winsim::CallCount("EnumPrintersW"), c.calls);
        EXPECT_EQ(winsim::LiveGlobalBlocks(), c.count != 0 ? 1u : 0u);
    }
    winsim::ClearFaults();
}

TEST_F(PrinterEnumerationTest, StoppedSpoolerGivesAnEmptyEnumeration) {
    AddPrinter(u"P");
    winsim::SetServiceState(qgrtest::kSpooler, SERVICE_STOPPED);
    EnumeratePrinters(printers);
    EXPECT_EQ(printers.printerCount, 0u);
}

TEST_F(PrinterEnumerationTest, QueryPrinterInfoReadsOneRecord) {
    AddPrinter(u"Office", u"Quillgraph Server");
    HANDLE handle = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(u"Office"), &handle, nullptr));
    PrinterInfo holder{reinterpret_cast<PRINTER_INFO_2W*>(0x1), 5};
    QueryPrinterInfo(holder, handle);
    ASSERT_NE(holder.info, nullptr);
    EXPECT_EQ(std::u16string(holder.info->pPrinterName), u"Office");
    EXPECT_TRUE(IsProductPrinter(*holder.info));
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 1u);
    GlobalFree(holder.info);

    winsim::InjectFault("GetPrinterW", ERROR_ACCESS_DENIED, 1, 1);
    QueryPrinterInfo(holder, handle);
    EXPECT_EQ(holder.info, nullptr);
    EXPECT_EQ(winsim::LiveGlobalBlocks(), 0u);
    ClosePrinter(handle);

    QueryPrinterInfo(holder, nullptr);
    EXPECT_EQ(holder.info, nullptr);
    EXPECT_EQ(holder.size, 0u);
}

TEST_F(PrinterEnumerationTest, SnapshotMarksEveryRecordOfTheDefaultPrinter) {
    AddPrinter(u"Office");
    AddPrinter(u"Home", u"Quillgraph Server");
    winsim::SetTestDefaultPrinter(u"Home");
    SnapshotPrinters(ctx);
    EXPECT_EQ(Names(ctx.printerEnum), (std::vector<std::u16string>{u"Office", u"Home"}));
    EXPECT_EQ(Marked(ctx.printerEnum), (std::vector<std::u16string>{u"Home"}));
}

TEST_F(PrinterEnumerationTest, SnapshotMarkIsCaseSensitive) {
    AddPrinter(u"Office");
    winsim::SetTestDefaultPrinter(u"OFFICE");
    SnapshotPrinters(ctx);
    EXPECT_EQ(ctx.printerEnum.printerCount, 1u);
    EXPECT_TRUE(Marked(ctx.printerEnum).empty());
}

TEST_F(PrinterEnumerationTest, SnapshotWithoutDefaultPrinterMarksNothing) {
    AddPrinter(u"Office");
    SnapshotPrinters(ctx);
    EXPECT_EQ(ctx.printerEnum.printerCount, 1u);
    EXPECT_TRUE(Marked(ctx.printerEnum).empty());
}

TEST_F(PrinterEnumerationTest, SnapshotIgnoresADefaultNameThatDoesNotFit) {
    std::u16string longName(300, u'L');
    AddPrinter(longName);
    winsim::SetTestDefaultPrinter(longName);
    SnapshotPrinters(ctx);
    EXPECT_EQ(ctx.printerEnum.printerCount, 1u);
    EXPECT_TRUE(Marked(ctx.printerEnum).empty());
}

TEST_F(PrinterEnumerationTest, SnapshotKeepsTheSpoolersOwnDefaultBit) {
    winsim::ReportDefaultAttribute(true);
    AddPrinter(u"Office");
    winsim::SetTestDefaultPrinter(u"Office");
    winsim::InjectFault("GetDefaultPrinterW", ERROR_FILE_NOT_FOUND);
    SnapshotPrinters(ctx);
    EXPECT_EQ(Marked(ctx.printerEnum), (std::vector<std::u16string>{u"Office"}));
}

// The name buffer holds 255 units: a name of 254 and its terminator fit, one more does not.
TEST_F(PrinterEnumerationTest, SnapshotDefaultNameBufferHolds254Units) {
    std::u16string fits(254, u'F');
    std::u16string tooLong(255, u'T');
    AddPrinter(fits);
    AddPrinter(tooLong);
    winsim::SetTestDefaultPrinter(fits);
    winsim::ClearCalls();
    SnapshotPrinters(ctx);
    EXPECT_EQ(Marked(ctx.printerEnum), std::vector<std::u16string>{fits});
    EXPECT_EQ(qgrtest::CallArgs("EnumPrintersW"), (std::vector<std::u16string>{u"6,(null),2", u"6,(null),2"}));
    EXPECT_EQ(qgrtest::CallArgs("GetDefaultPrinterW"), std::vector<std::u16string>{u"255"});

    FreePrinterEnumeration(ctx.printerEnum);
    winsim::SetTestDefaultPrinter(tooLong);
    SnapshotPrinters(ctx);
    EXPECT_TRUE(Marked(ctx.printerEnum).empty());
}

}  // namespace
