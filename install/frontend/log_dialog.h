// The log dialog (resource 101).
#pragma once

#include <windows.h>

#define IDD_LOG_DIALOG 101
#define IDC_LOG_TEXT 1001

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
