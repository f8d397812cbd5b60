#include <gtest/gtest.h>
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/spooler.h>

#include "printers/printer_checks.h"
#include "support/product_support.h"
#include "support/test_support.h"

using namespace qgrtest;

namespace {

class PrinterChecksTest : public HealthyMachineTest {
protected:
    void SetUp() override {
        HealthyMachineTest::SetUp();
        InstallMonitorDirectly();
        InstallOtherDriver();
    }
    void TearDown() override { ExpectAllBlocksReleased(); }
    void AddOther(std::u16string name) {
        winsim::SpoolPrinter printer = ProductPrinter(std::move(name), u"LPT1:");
        printer.driverName = u"Other Driver";
        winsim::AddTestPrinter(printer);
    }
};

TEST_F(PrinterChecksTest, DefaultPrinterCheck) {
    InstallDriverDirectly();
    EXPECT_TRUE(CheckDefaultPrinter()) << "no default printer";
    AddOther(u"Laser");
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    winsim::SetTestDefaultPrinter(u"Laser");
    EXPECT_TRUE(CheckDefaultPrinter());
    winsim::SetTestDefaultPrinter(u"Office");
    EXPECT_FALSE(CheckDefaultPrinter());
    winsim::InjectFault("OpenPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CheckDefaultPrinter()) << "an unreadable default is not a product printer";
}

struct DriverBuildCase {
    WORD build;  // 0: no version resource
    bool passes;
};

class DriverBuildTest : public PrinterChecksTest, public ::testing::WithParamInterface<DriverBuildCase> {};

TEST_P(DriverBuildTest, NeedsBuild2416OrLater) {
    InstallDriverDirectly(GetParam().build);
    AddOther(u"Laser");
    winsim::AddTestPrinter(ProductPrinter(u"Office"));
    EXPECT_EQ(CheckDriver(), GetParam().passes);
}

INSTANTIATE_TEST_SUITE_P(Builds, DriverBuildTest,
                         ::testing::Values(DriverBuildCase{2415, false}, DriverBuildCase{2416, true},
                                           DriverBuildCase{2430, true}, DriverBuildCase{0, false}));

TEST_F(PrinterChecksTest, DriverCheckLooksOnlyAtTheFirstProductPrinter) {
    EXPECT_FALSE(CheckDriver()) << "no product printer";
    InstallDriverDirectly(2430);
    winsim::AddTestPrinter(ProductPrinter(u"First"));
    winsim::AddTestPrinter(ProductPrinter(u"Second"));
    winsim::ClearCalls();
    winsim::InjectFault("OpenPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CheckDriver());
    EXPECT_EQ(winsim::CallCount("OpenPrinterW"), 1u);
    EXPECT_TRUE(CheckDriver());
}

TEST_F(PrinterChecksTest, DefSetPicksTheFirstProductPrinter) {
    SetProductDefault();
    EXPECT_EQ(winsim::DefaultPrinter(), u"");
    InstallDriverDirectly();
    AddOther(u"Laser");
    winsim::AddTestPrinter(ProductPrinter(u"First"));
    winsim::AddTestPrinter(ProductPrinter(u"Second"));
    winsim::SetTestDefaultPrinter(u"Laser");
    SetProductDefault();
    EXPECT_EQ(winsim::DefaultPrinter(), u"First");
}

// The name buffer holds 260 units: a product printer named with 259 is seen as the default,
// one with a longer name counts as no default printer.
TEST_F(PrinterChecksTest, DefaultPrinterNameBufferHolds259Units) {
    InstallDriverDirectly();
    std::u16string fits(259, u'F');
    std::u16string tooLong(260, u'T');
    winsim::AddTestPrinter(ProductPrinter(fits));
    winsim::AddTestPrinter(ProductPrinter(tooLong));
    winsim::SetTestDefaultPrinter(fits);
    winsim::ClearCalls();
    EXPECT_FALSE(CheckDefaultPrinter());
    EXPECT_EQ(CallArgs("GetDefaultPrinterW"), std::vector<std::u16string>{u"260"});
    EXPECT_EQ(CallArgs("OpenPrinterW"), std::vector<std::u16string>{fits + u",0"});
    winsim::SetTestDefaultPrinter(tooLong);
    EXPECT_TRUE(CheckDefaultPrinter());
}

}  // namespace
