// Top-level windows, posted messages, key state and modal dialogs.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/core.h>
#include <winsim/user.h>

#include <string>

namespace {

using namespace winsim;

class UserUiTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
};

TEST_F(UserUiTest, FindWindowMatchesClassTitleAnyAndIgnoresCase) {
    HWND a = CreateTopWindow(0, u"ClassA", u"Alpha");
    HWND b = CreateTopWindow(0, u"ClassB", u"Beta");
    HWND blank = CreateTopWindow(0, u"ClassA", u"");

    EXPECT_EQ(FindWindowW(nullptr, nullptr), blank);  // topmost = newest
    EXPECT_EQ(FindWindowW(u"classb", nullptr), b);
    EXPECT_EQ(FindWindowW(nullptr, u"ALPHA"), a);
    EXPECT_EQ(FindWindowW(u"ClassA", u"Alpha"), a);
    EXPECT_EQ(FindWindowW(u"ClassA", u""), blank);  // an empty title is a title, not a wildcard
    EXPECT_EQ(FindWindowW(u"ClassA", u"Beta"), nullptr);
    EXPECT_EQ(FindWindowW(u"ClassC", nullptr), nullptr);
    EXPECT_EQ(Calls()[1].args, u"classb,*");

    EXPECT_TRUE(SetWindowTextW(a, u"Renamed"));
    EXPECT_EQ(FindWindowW(nullptr, u"Alpha"), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, u"renamed"), a);

    DestroyTopWindow(blank);
    EXPECT_FALSE(IsWindow(blank));
    EXPECT_EQ(FindWindowW(u"ClassA", nullptr), a);
    EXPECT_FALSE(IsWindow(nullptr));

    InjectFault("FindWindowW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindWindowW(u"ClassA", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(UserUiTest, PostMessageDeliversToOwnerAndRejectsBadWindows) {
    std::vector<UINT> got;
    HWND w = CreateTopWindow(0, u"C", u"T", [&](HWND, UINT msg, WPARAM, LPARAM) { got.push_back(msg); });
    Sleep(40);
    EXPECT_TRUE(PostMessageW(w, WM_USER + 2, 3, 4));
    ASSERT_EQ(PostedMessages().size(), 1u);
    EXPECT_EQ(PostedMessages()[0].hwnd, w);
    EXPECT_EQ(PostedMessages()[0].msg, static_cast<UINT>(WM_USER + 2));
    EXPECT_EQ(PostedMessages()[0].wParam, 3u);
    EXPECT_EQ(PostedMessages()[0].lParam, 4);
    EXPECT_EQ(PostedMessages()[0].time, 40u);
    EXPECT_EQ(got, std::vector<UINT>{WM_USER + 2});

    DestroyTopWindow(w);
    SetLastError(0);
    EXPECT_FALSE(PostMessageW(w, WM_CLOSE, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(0x1234), WM_CLOSE, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(PostedMessages().size(), 1u);
    EXPECT_EQ(got.size(), 1u);

    SetLastError(0);
    EXPECT_FALSE(SetWindowTextW(w, u"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(UserUiTest, AsyncKeyStateReportsHeldKeysInTheTopBit) {
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
    SetKeyDown(VK_SHIFT);
    SHORT state = GetAsyncKeyState(VK_SHIFT);
    EXPECT_LT(state, 0);
    EXPECT_EQ(static_cast<unsigned short>(state) & 0x8000u, 0x8000u);
    EXPECT_EQ(GetAsyncKeyState(VK_CONTROL), 0);
    SetKeyDown(VK_SHIFT, false);
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT), 0);
}

// A dialog procedure in the style of a log dialog: text and title at init, 1 for the Close
// button, 0 for cancel; every message returns 0.
struct Seen {
    HWND dialog = nullptr;
    LPARAM init = 0;
    HWND foundDuringInit = nullptr;
};
Seen g_seen;

INT_PTR CALLBACK LogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        g_seen.dialog = dlg;
        g_seen.init = lParam;
        SetDlgItemTextW(dlg, 1001, u"line one\r\nline two\r\n");
        SetWindowTextW(dlg, u"Build 7- Install error log!");
        g_seen.foundDuringInit = FindWindowW(u"#32770", u"Build 7- Install error log!");
    } else if (msg == WM_COMMAND) {
        if (LOWORD(wParam) == IDOK) EndDialog(dlg, 1);
        if (LOWORD(wParam) == IDCANCEL) EndDialog(dlg, 0);
    }
    return 0;
}

INT_PTR CALLBACK IgnoringProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

INT_PTR CALLBACK EndsAtInitProc(HWND dlg, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) EndDialog(dlg, 42);
    return 0;
}

TEST_F(UserUiTest, WindowStationFlagsTellWhetherWindowsReachAUser) {
    HWINSTA station = GetProcessWindowStation();
    ASSERT_NE(station, nullptr);
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed));
    EXPECT_EQ(needed, sizeof(USEROBJECTFLAGS));
    EXPECT_EQ(flags.dwFlags, static_cast<DWORD>(WSF_VISIBLE));

    SetWindowStationVisible(false);
    ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr));
    EXPECT_EQ(flags.dwFlags, 0u);

    // Too small: the size needed and nothing copied.
    flags.dwFlags = 77;
    needed = 0;
    EXPECT_FALSE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags) - 1, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, sizeof(USEROBJECTFLAGS));
    EXPECT_EQ(flags.dwFlags, 77u);
    EXPECT_FALSE(GetUserObjectInformationW(nullptr, UOI_FLAGS, &flags, sizeof(flags), &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    Reset();
    ASSERT_TRUE(GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr));
    EXPECT_EQ(flags.dwFlags, static_cast<DWORD>(WSF_VISIBLE)) << "visible again after a reset";
}

TEST_F(UserUiTest, DialogClosedByButtonOrCaptionRecordsTitleAndText) {
    HWND owner = CreateTopWindow(0, u"Owner", u"Setup");
    int context = 0;
    g_seen = {};
    INT_PTR r = DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), owner, LogProc, reinterpret_cast<LPARAM>(&context));
    EXPECT_EQ(r, 1);
    EXPECT_EQ(g_seen.init, reinterpret_cast<LPARAM>(&context));
    EXPECT_EQ(g_seen.foundDuringInit, g_seen.dialog);
    EXPECT_FALSE(IsWindow(g_seen.dialog));  // gone once the call returned

    SetDialogClose(DialogClose::Cancel);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, LogProc, 0), 0);

    ASSERT_EQ(Dialogs().size(), 2u);
    const DialogRecord& first = Dialogs()[0];
    EXPECT_EQ(first.templateId, 101);
    EXPECT_EQ(first.owner, owner);
    EXPECT_EQ(first.title, u"Build 7- Install error log!");
    EXPECT_EQ(first.Text(1001), u"line one\r\nline two\r\n");
    EXPECT_EQ(first.Text(1002), u"");
    EXPECT_EQ(first.closedBy, DialogClose::CloseButton);
    EXPECT_TRUE(first.ended);
    EXPECT_EQ(first.result, 1);
    EXPECT_EQ(first.messages, (std::vector<UINT>{WM_INITDIALOG, WM_COMMAND, WM_DESTROY}));
    const DialogRecord& second = Dialogs()[1];
    EXPECT_EQ(second.owner, nullptr);
    EXPECT_EQ(second.closedBy, DialogClose::Cancel);
    EXPECT_EQ(second.result, 0);
    std::vector<std::u16string> recorded;
    for (auto& c : Calls())
        if (c.api == "DialogBoxParamW") recorded.push_back(c.args);
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_NE(recorded[0], u"101,0x0");  // the owner's handle
    EXPECT_EQ(recorded[0].substr(0, 4), u"101,");
    EXPECT_EQ(recorded[1], u"101,0x0");
}

TEST_F(UserUiTest, DialogClosedByTestCallback) {
    SetDialogCloser([](HWND dlg) {
        EXPECT_TRUE(IsWindow(dlg));
        SendToDialog(dlg, WM_COMMAND, 7, 0);  // ignored by the procedure
        SendToDialog(dlg, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, LogProc, 0), 0);
    ASSERT_EQ(Dialogs().size(), 1u);
    EXPECT_EQ(Dialogs()[0].closedBy, DialogClose::Callback);
    EXPECT_EQ(Dialogs()[0].messages,
              (std::vector<UINT>{WM_INITDIALOG, WM_COMMAND, WM_COMMAND, WM_DESTROY}));
}

TEST_F(UserUiTest, DialogFailuresAndProceduresThatDoNotEnd) {
    // An owner that is not a window: 0, as documented for compatibility; nothing shown.
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), reinterpret_cast<HWND>(0x4242), LogProc, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_TRUE(Dialogs().empty());

    InjectFault("DialogBoxParamW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, LogProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(Dialogs().empty());

    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, EndsAtInitProc, 0), 42);
    EXPECT_EQ(Dialogs().back().messages, (std::vector<UINT>{WM_INITDIALOG, WM_DESTROY}));

    // Windows would never return; the record says it did not end.
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, IgnoringProc, 0), -1);
    EXPECT_FALSE(Dialogs().back().ended);

    HWND plain = CreateTopWindow(0, u"C", u"T");
    SetLastError(0);
    EXPECT_FALSE(EndDialog(plain, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(SetDlgItemTextW(reinterpret_cast<HWND>(0x4242), 1001, u"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(SetDlgItemTextW(plain, 1001, u"x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
}

INT_PTR CALLBACK UnknownControlProc(HWND dlg, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_INITDIALOG) {
        EXPECT_TRUE(SetDlgItemTextW(dlg, 1001, u"ok"));
        SetLastError(0);
        EXPECT_FALSE(SetDlgItemTextW(dlg, 1002, u"no such control"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
        EndDialog(dlg, 5);
    }
    return 0;
}

TEST_F(UserUiTest, DeclaredTemplatesLimitTemplatesAndControls) {
    DeclareDialogTemplate(101, {1, 1001});
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(101), nullptr, UnknownControlProc, 0), 5);
    EXPECT_EQ(Dialogs()[0].Text(1001), u"ok");
    EXPECT_EQ(Dialogs()[0].controlText.count(1002), 0u);

    SetLastError(0);
    EXPECT_EQ(DialogBoxParamW(nullptr, MAKEINTRESOURCEW(102), nullptr, UnknownControlProc, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Dialogs().size(), 1u);
}

}  // namespace
