// Resource ids shared by the resource script and the code.
#pragma once

#define IDD_LOG_DIALOG 101
#define IDC_LOG_TEXT 1001
