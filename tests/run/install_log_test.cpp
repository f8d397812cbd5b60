#include <winsim/core.h>
#include <winsim/heap.h>

#include <string>

#include "run/install_context.h"
#include "support/test_support.h"

namespace {

using qgrtest::BlankContext;
using qgrtest::ExpectedLog;
using qgrtest::LogText;

class InstallLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        qgrtest::ResetMachine();
        ctx = BlankContext();
    }
    void TearDown() override {
        FreeContext(ctx);
        qgrtest::ExpectAllBlocksReleased();
    }
    InstallContext ctx;
};

TEST_F(InstallLogTest, LinesAreIndentedTwoSpacesPerLevelUpToTen) {
    LogLine(ctx, u"zero");
    ctx.logIndent = 1;
    LogLine(ctx, u"one");
    ctx.logIndent = 12;
    LogLine(ctx, u"twelve");
    ctx.logIndent = -1;
    LogLine(ctx, u"minus");
    ctx.logIndent = 3;
    LogLine(ctx, nullptr);
    LogLine(ctx, u"");
    EXPECT_EQ(LogText(ctx), u"zero\r\n"
                            u"  one\r\n"
                            u"                    twelve\r\n"
                            u"minus\r\n"
                            u"      \r\n"
                            u"      \r\n");
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(InstallLogTest, PrintFormatsWithoutCountingErrors) {
    ctx.logIndent = 2;
    LogPrint(ctx, ">CopyFile %s to %s [%d])", u"vmqmon64.dll", u"C:\\Windows\\system32\\", 1);
    LogPrint(ctx, "Error(3): looks like one");
    EXPECT_EQ(LogText(ctx), ExpectedLog({{2, u">CopyFile vmqmon64.dll to C:\\Windows\\system32\\ [1])"},
                                         {2, u"Error(3): looks like one"}}));
    EXPECT_EQ(ctx.errorCount, 0);
}

TEST_F(InstallLogTest, ErrorLineWithoutALastErrorEndsWithTheMessage) {
    SetLastError(0);
    LogError(ctx, 15, "Can`t add printer '%s'", u"qgrServer");
    EXPECT_EQ(LogText(ctx), u"Error(15): Can`t add printer 'qgrServer'\r\n");
    EXPECT_EQ(ctx.errorCount, 1);
}

TEST_F(InstallLogTest, ErrorLineCarriesTheDescriptionWithoutItsLineBreak) {
    ctx.logIndent = 1;
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(ctx, 12, "Can`t remove the port monitor 'QuillgraphServer:'");
    // The system text ends in CR LF; the line must stay one line.
    EXPECT_EQ(LogText(ctx), u"  Error(12): Can`t remove the port monitor 'QuillgraphServer:' - (Access is denied.)\r\n");
    EXPECT_EQ(ctx.errorCount, 1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // left for the caller
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);  // the description was released
    // The system's own text in US English, whatever the user's language; inserts left alone.
    ASSERT_EQ(winsim::CallCount("FormatMessageW"), 1u);
    for (const auto& call : winsim::Calls())
        if (call.api == "FormatMessageW") {
            EXPECT_EQ(call.args, u"0x1300,5,0x409");
        }
}

TEST_F(InstallLogTest, ErrorLineWithoutASystemDescription) {
    SetLastError(0x20001234);  // a code the system has no text for
    LogError(ctx, 16, "Can`t open printer '%s'", u"P");
    EXPECT_EQ(LogText(ctx), u"Error(16): Can`t open printer 'P' - ( No Description )\r\n");
    EXPECT_EQ(ctx.errorCount, 1);
}

TEST_F(InstallLogTest, ErrorCountGrowsByOnePerErrorLine) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogError(ctx, 10, "Cant't open source file: %s", u"a.dll");
    LogPrint(ctx, "plain");
    SetLastError(ERROR_SHARING_VIOLATION);
    LogError(ctx, 9, "Cant't open destination file: %s", u"C:\\x\\a.dll");
    EXPECT_EQ(ctx.errorCount, 2);
    EXPECT_EQ(qgrtest::LogLines(ctx),
              (std::vector<std::u16string>{
                  u"Error(10): Cant't open source file: a.dll - (The system cannot find the file specified.)",
                  u"plain",
                  u"Error(9): Cant't open destination file: C:\\x\\a.dll - (The process cannot access the file "
                  u"because it is being used by another process.)"}));
}

TEST_F(InstallLogTest, OverlongLinesAreCutAt1023Units) {
    std::u16string longText(3000, u'p');
    LogPrint(ctx, "%s", longText.c_str());
    EXPECT_EQ(LogText(ctx), std::u16string(1023, u'p') + u"\r\n");
}

TEST_F(InstallLogTest, OverlongErrorLinesAreCutAt1023Units) {
    std::u16string longName(2000, u'n');
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(ctx, 17, "Can`t delete printer '%s'", longName.c_str());
    std::u16string expected = u"Error(17): Can`t delete printer '" + longName;
    expected.resize(1023);
    EXPECT_EQ(LogText(ctx), expected + u"\r\n");
    EXPECT_EQ(ctx.errorCount, 1);

    // A message that leaves some room: the description is cut instead.
    std::u16string nearlyFull(1000, u'm');
    LogError(ctx, 17, "%s", nearlyFull.c_str());
    std::u16string second = u"Error(17): " + nearlyFull + u" - (Access is denied.)";
    second.resize(1023);
    EXPECT_EQ(qgrtest::LogLines(ctx).back(), second);
}

}  // namespace
