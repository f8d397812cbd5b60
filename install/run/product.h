// Fixed names of the product, shared by every subsystem.
#pragma once

#include <windows.h>

const int BuildNumber = 2430;

inline constexpr WCHAR kProductMonitorName[] = TEXT("QuillgraphServer:");  // also the port name
inline constexpr WCHAR kProductPortName[] = TEXT("QuillgraphServer:");
inline constexpr WCHAR kProductDriverName[] = TEXT("Quillgraph Server");
inline constexpr WCHAR kPrintProcessor[] = TEXT("WinPrint");
inline constexpr WCHAR kFilePortName[] = TEXT("file:");
inline constexpr WCHAR kEnvironmentX64[] = TEXT("Windows x64");
inline constexpr WCHAR kEnvironmentX86[] = TEXT("Windows NT x86");
inline constexpr WCHAR kHelpFileName[] = TEXT("vmqhelp.chm");
inline constexpr WCHAR kTrayFileName[] = TEXT("qgrtray.exe");
