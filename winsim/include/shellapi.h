// Shell subset (shell32).
#pragma once
#include <windows.h>

extern "C" {
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
}
