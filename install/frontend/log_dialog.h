// The log dialog (resource 101).
#pragma once

#include <windows.h>

#include "resources/resource.h"

INT_PTR CALLBACK LogDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
