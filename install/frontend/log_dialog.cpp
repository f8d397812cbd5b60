// The log dialog: the run's whole log, read-only, and a Close button.
#include "frontend/log_dialog.h"

#include <windows.h>

#include "run/install_context.h"
#include "run/install_log.h"
#include "run/product.h"

namespace {
const int kTitleCapacity = 264;
}

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        const InstallContext* ctx = reinterpret_cast<const InstallContext*>(lParam);
        SetDlgItemTextW(dialog, IDC_LOG_TEXT, TextOf(ctx->log));
        WCHAR title[kTitleCapacity];
        FormatText(title, kTitleCapacity, "Quillgraph build %d- Install", BuildNumber);
        lstrcatW(title, ctx->errorCount != 0 ? TEXT(" error log!") : TEXT(" log."));
        SetWindowTextW(dialog, title);
        return 0;  // leave the focus where the dialog manager put it
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            EndDialog(dialog, 1);
        } else if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
        }
        return 0;
    default:
        return 0;
    }
}
