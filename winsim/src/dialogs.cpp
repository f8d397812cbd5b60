// Modal dialogs: DialogBoxParamW runs the procedure and closes the dialog as the test chose.
#include <winsim/core.h>
#include <winsim/user.h>

#include <algorithm>
#include <cstdio>

#include "user_internal.h"

namespace winsim {
namespace {

struct Running {
    HWND hwnd;
    DLGPROC proc;
    size_t record;
    WORD templateId;
};

struct DialogState {
    std::vector<DialogRecord> records;
    std::vector<Running> running;  // nested modal dialogs, innermost last
    DialogClose how = DialogClose::CloseButton;
    std::function<void(HWND)> closer;
    std::map<WORD, std::vector<int>> templates;
};

DialogState& S() {
    static DialogState state;
    return state;
}

Running* FindRunning(HWND hwnd) {
    for (auto& r : S().running)
        if (r.hwnd == hwnd) return &r;
    return nullptr;
}

ResetHook resetHook(2, [] { S() = DialogState{}; });
// A dialog on screen when its process ends is gone without WM_DESTROY or EndDialog.
ProcessEndHook end([] { S().running.clear(); });

constexpr WPARAM Command(WORD id, WORD code) { return static_cast<WPARAM>(id) | (static_cast<WPARAM>(code) << 16); }

}  // namespace

namespace user {

bool IsRunningDialog(HWND hwnd) { return FindRunning(hwnd) != nullptr; }

void NoteDialogTitle(HWND hwnd, std::u16string_view title) {
    if (Running* r = FindRunning(hwnd)) S().records[r->record].title = std::u16string(title);
}

}  // namespace user

std::u16string DialogRecord::Text(int controlId) const {
    auto it = controlText.find(controlId);
    return it == controlText.end() ? std::u16string() : it->second;
}

void SetDialogClose(DialogClose how) { S().how = how; }

void SetDialogCloser(std::function<void(HWND)> closer) {
    S().closer = std::move(closer);
    S().how = DialogClose::Callback;
}

INT_PTR SendToDialog(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    Running* r = FindRunning(dialog);
    if (!r) return 0;
    S().records[r->record].messages.push_back(msg);
    DLGPROC proc = r->proc;
    return proc ? proc(dialog, msg, wParam, lParam) : 0;
}

void DeclareDialogTemplate(WORD templateId, std::vector<int> controlIds) {
    S().templates[templateId] = std::move(controlIds);
}

const std::vector<DialogRecord>& Dialogs() { return S().records; }

}  // namespace winsim

using namespace winsim;

extern "C" {

INT_PTR WINAPI DialogBoxParamW(HINSTANCE, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    const uintptr_t templateValue = reinterpret_cast<uintptr_t>(lpTemplateName);
    const bool byId = (templateValue >> 16) == 0;
    const WORD templateId = byId ? static_cast<WORD>(templateValue) : 0;
    const std::u16string templateName = byId ? u"" : std::u16string(lpTemplateName);
    RecordCall("DialogBoxParamW", (byId ? user::Dec(templateId) : templateName) + u"," +
                                      user::Hex(reinterpret_cast<uintptr_t>(hWndParent)));
    if (TakeFault("DialogBoxParamW")) return -1;
    if (hWndParent && !WindowExists(hWndParent)) {
        // Documented: an invalid owner gives 0, not -1, for compatibility.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto& s = S();
    if (!s.templates.empty() && (!byId || !s.templates.count(templateId))) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return -1;
    }

    HWND hwnd = CreateTopWindow(kCurrentProcess, u"#32770", u"");
    DialogRecord rec;
    rec.hwnd = hwnd;
    rec.templateId = templateId;
    rec.templateName = templateName;
    rec.owner = hWndParent;
    rec.initParam = dwInitParam;
    rec.closedBy = s.how;
    s.records.push_back(rec);
    const size_t index = s.records.size() - 1;
    s.running.push_back(Running{hwnd, lpDialogFunc, index, templateId});

    SendToDialog(hwnd, WM_INITDIALOG, 0, dwInitParam);
    // EndDialog during WM_INITDIALOG ends the dialog before it is shown.
    if (!s.records[index].ended) {
        switch (s.how) {
            case DialogClose::CloseButton:
                SendToDialog(hwnd, WM_COMMAND, Command(IDOK, BN_CLICKED), 0);
                break;
            case DialogClose::Cancel:
                SendToDialog(hwnd, WM_COMMAND, Command(IDCANCEL, 0), 0);
                break;
            case DialogClose::Callback:
                if (s.closer) {
                    auto closer = s.closer;
                    closer(hwnd);
                }
                break;
        }
    }
    SendToDialog(hwnd, WM_DESTROY, 0, 0);
    s.running.erase(std::remove_if(s.running.begin(), s.running.end(),
                                   [hwnd](const Running& r) { return r.hwnd == hwnd; }),
                    s.running.end());
    DestroyTopWindow(hwnd);
    const DialogRecord& done = s.records[index];
    if (!done.ended) {
        // On Windows the modal loop would never return; say so instead of hanging the test.
        std::fprintf(stderr, "winsim: dialog procedure did not call EndDialog\n");
        return -1;
    }
    return done.result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    RecordCall("EndDialog", user::Hex(reinterpret_cast<uintptr_t>(hDlg)) + u"," + user::Dec(nResult));
    if (TakeFault("EndDialog")) return FALSE;
    Running* r = FindRunning(hDlg);
    if (!r) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    DialogRecord& rec = S().records[r->record];
    rec.ended = true;
    rec.result = nResult;
    return TRUE;
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
    std::u16string text = user::FromNullable(lpString);
    RecordCall("SetDlgItemTextW",
               user::Hex(reinterpret_cast<uintptr_t>(hDlg)) + u"," + user::Dec(nIDDlgItem) + u"," + text);
    if (TakeFault("SetDlgItemTextW")) return FALSE;
    if (!WindowExists(hDlg)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Running* r = FindRunning(hDlg);
    if (!r) {
        // Plain windows here have no child controls.
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return FALSE;
    }
    auto& s = S();
    if (!s.templates.empty()) {
        const auto& ids = s.templates[r->templateId];
        if (std::find(ids.begin(), ids.end(), nIDDlgItem) == ids.end()) {
            SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
            return FALSE;
        }
    }
    s.records[r->record].controlText[nIDDlgItem] = text;
    return TRUE;
}

}  // extern "C"
