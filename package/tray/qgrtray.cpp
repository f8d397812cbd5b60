// Quillgraph tray application: one instance per machine (named mutex), a hidden window of the
// agreed class that the installer asks to quit with message 0x402, and a notification-area
// icon with an Exit item.
#include <windows.h>
#include <shellapi.h>

namespace {

const char kMutexName[] = "{6E2D41B7-9C3A-4F85-B1D0-7A5E92C3F416}";
const WCHAR kWindowClass[] = L"qgs::{D83A5C19-2E7F-4B60-9A14-C5F0E7B2318D}";
const UINT kQuitMessage = WM_USER + 2;  // 0x402, posted by the installer
const UINT kIconMessage = WM_APP + 1;
const UINT kIconId = 1;
const UINT kExitCommand = 100;

UINT g_taskbarCreated = 0;
bool g_iconShown = false;

void ShowIcon(HWND window, DWORD action) {
  NOTIFYICONDATAW data;
  ZeroMemory(&data, sizeof(data));
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = kIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kIconMessage;
  data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
  lstrcpynW(data.szTip, L"Quillgraph", sizeof(data.szTip) / sizeof(data.szTip[0]));
  if (action == NIM_DELETE) {
    if (g_iconShown) Shell_NotifyIconW(NIM_DELETE, &data);
    g_iconShown = false;
    return;
  }
  // Without a notification area (no shell yet) the icon comes when the taskbar is created.
  g_iconShown = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

void ShowMenu(HWND window) {
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  AppendMenuW(menu, MF_STRING, kExitCommand, L"Exit");
  POINT at;
  GetCursorPos(&at);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(window);
  UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr));
  DestroyMenu(menu);
  if (chosen == kExitCommand) DestroyWindow(window);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kQuitMessage) {
    DestroyWindow(window);
    return 0;
  }
  if (message == kIconMessage) {
    if (lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU) ShowMenu(window);
    return 0;
  }
  if (g_taskbarCreated != 0 && message == g_taskbarCreated) {
    ShowIcon(window, NIM_ADD);
    return 0;
  }
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kExitCommand) DestroyWindow(window);
      return 0;
    case WM_ENDSESSION:
      if (wParam) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ShowIcon(window, NIM_DELETE);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, kMutexName);
  if (!mutex) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;
  }

  WNDCLASSEXW wc;
  ZeroMemory(&wc, sizeof(wc));
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.lpszClassName = kWindowClass;
  g_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  HWND window = nullptr;
  if (RegisterClassExW(&wc))
    window = CreateWindowExW(0, kWindowClass, L"Quillgraph", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                             nullptr, instance, nullptr);
  if (!window) {
    // Nobody could ask us to quit: do not keep the mutex that marks us as running.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return 1;
  }
  ShowIcon(window, NIM_ADD);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return 0;
}
