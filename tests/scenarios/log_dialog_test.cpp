// The log dialog at the end of install and uninstall runs: when it shows, what it shows, how it
// closes, and that the exit code never depends on it.
#include <winsim/core.h>
#include <winsim/files.h>
#include <winsim/registry.h>
#include <winsim/spooler.h>
#include <winsim/user.h>

#include <string>

#include "run/install_context.h"
#include "frontend/log_dialog.h"
#include "scenarios/scenario_support.h"

namespace {

using namespace qgrtest;

const char kCleanTitle[] = "Quillgraph build 2430- Install log.";
const char kErrorTitle[] = "Quillgraph build 2430- Install error log!";

class LogDialogTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpScenarioMachine(); }
};

TEST_F(LogDialogTest, ShiftAtTheEndOfACleanRunShowsTheLogAndKeepsTheExitCode) {
    winsim::SetKeyDown(VK_SHIFT);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    ASSERT_EQ(DialogCount(), 1u);
    const winsim::DialogRecord& install = winsim::Dialogs().back();
    EXPECT_EQ(install.templateId, 101);
    EXPECT_EQ(install.owner, nullptr);
    EXPECT_EQ(Utf8(install.title), kCleanTitle);
    EXPECT_TRUE(install.ended);
    EXPECT_EQ(install.result, 1) << "closed with its Close button";
    EXPECT_EQ(LastDialogLog().rfind(u"Quillgraph 2430\r\n>Check Spooler\r\n", 0), 0u);

    EXPECT_EQ(RunInstaller(u"un"), 2);
    ASSERT_EQ(DialogCount(), 2u);
    EXPECT_EQ(Utf8(LastDialogTitle()), kCleanTitle);
    EXPECT_EQ(LastDialogLog().find(u">>0010"), std::u16string::npos) << "the uninstall writes no >>0010";

    // Files left for the reboot: still 101 with the dialog.
    SetUpScenarioMachine();
    winsim::SetKeyDown(VK_SHIFT);
    std::u16string staged = std::u16string(kDriverDirX64Slash) + u"vmqui64.dll";
    winsim::WriteTestFile(staged, "old");
    winsim::HoldFile(staged, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 101);
    EXPECT_EQ(Utf8(LastDialogTitle()), kCleanTitle);
    ExpectAllBlocksReleased();
}

TEST_F(LogDialogTest, NoShiftAndNoErrorsShowsNothing) {
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_EQ(RunInstaller(u"un"), 2);
    EXPECT_EQ(DialogCount(), 0u);
    EXPECT_EQ(winsim::CallCount("GetAsyncKeyState"), 2u);
}

TEST_F(LogDialogTest, ErrorsShowTheErrorLogWithoutAskingForShift) {
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    ASSERT_EQ(DialogCount(), 1u);
    EXPECT_EQ(Utf8(LastDialogTitle()), kErrorTitle);
    EXPECT_EQ(winsim::CallCount("GetAsyncKeyState"), 0u);
    std::u16string log = LastDialogLog();
    EXPECT_NE(log.find(u"Error(15): Can`t add printer 'qgrServer'"), std::u16string::npos) << Utf8(log);
    EXPECT_EQ(log.substr(log.size() - 2), u"\r\n");
    ExpectAllBlocksReleased();
}

// Nobody could close it: the run ends with its exit code instead of waiting for ever.
TEST_F(LogDialogTest, NoDialogWhereNoUserCanSeeIt) {
    winsim::SetWindowStationVisible(false);
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    winsim::SetKeyDown(VK_SHIFT);
    EXPECT_EQ(RunInstaller(u"un"), 2);
    EXPECT_EQ(DialogCount(), 0u);
    ExpectAllBlocksReleased();

    // When the station cannot be asked, the dialog shows as it always did.
    SetUpScenarioMachine();
    winsim::InjectFault("GetUserObjectInformationW", ERROR_ACCESS_DENIED);
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    EXPECT_EQ(DialogCount(), 1u);
    EXPECT_EQ(Utf8(LastDialogTitle()), kErrorTitle);
}

TEST_F(LogDialogTest, ClosingFromTheCaptionEndsTheRunTheSameWay) {
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    winsim::SetDialogClose(winsim::DialogClose::Cancel);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    ASSERT_EQ(DialogCount(), 1u);
    EXPECT_TRUE(winsim::Dialogs().back().ended);
    EXPECT_EQ(winsim::Dialogs().back().result, 0);
    ExpectAllBlocksReleased();
}

TEST_F(LogDialogTest, ADialogThatCannotBeCreatedChangesNothing) {
    winsim::SetKeyDown(VK_SHIFT);
    winsim::InjectFault("DialogBoxParamW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RunInstaller(u"un"), 2);
    winsim::InjectFault("AddPrinterW", ERROR_ACCESS_DENIED);
    winsim::InjectFault("DialogBoxParamW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(RunInstaller(u"in"), 100);
    ExpectAllBlocksReleased();
}

TEST_F(LogDialogTest, ProcedureIgnoresOtherCommandsAndMessages) {
    winsim::SetKeyDown(VK_SHIFT);
    INT_PTR answers = 0;
    bool endedEarly = true;
    winsim::SetDialogCloser([&](HWND dialog) {
        answers += winsim::SendToDialog(dialog, WM_COMMAND, IDC_LOG_TEXT, 0);
        answers += winsim::SendToDialog(dialog, WM_COMMAND, 0x10000 | 3, 0);  // id 3 with a code
        answers += winsim::SendToDialog(dialog, WM_CLOSE, 0, 0);
        endedEarly = winsim::Dialogs().back().ended;
        answers += winsim::SendToDialog(dialog, WM_COMMAND, (BN_CLICKED << 16) | IDOK, 0);
    });
    winsim::SetDialogClose(winsim::DialogClose::Callback);
    EXPECT_EQ(RunInstaller(u"in"), 1);
    EXPECT_FALSE(endedEarly);
    EXPECT_EQ(answers, 0) << "the procedure returns 0 for every message";
    EXPECT_TRUE(winsim::Dialogs().back().ended);
    EXPECT_EQ(winsim::Dialogs().back().result, 1);
}

TEST(LogDialogProcedure, EmptyLogAndTitleWithoutBlankBeforeTheHyphen) {
    SetUpScenarioMachine();
    InstallContext ctx = BlankContext();
    ctx.errorCount = 3;
    winsim::SetDialogClose(winsim::DialogClose::CloseButton);
    DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_LOG_DIALOG), nullptr, LogDialogProc, reinterpret_cast<LPARAM>(&ctx));
    ASSERT_EQ(DialogCount(), 1u);
    const winsim::DialogRecord& dialog = winsim::Dialogs().back();
    ASSERT_EQ(dialog.controlText.count(IDC_LOG_TEXT), 1u) << "the text box is always set";
    EXPECT_EQ(dialog.Text(IDC_LOG_TEXT), u"");
    EXPECT_EQ(Utf8(dialog.title), kErrorTitle);
    EXPECT_EQ(dialog.messages.front(), static_cast<UINT>(WM_INITDIALOG));
}

}  // namespace
