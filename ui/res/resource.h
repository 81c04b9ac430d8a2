// Resource ids of the main dialog and the About box. Plain #defines only: this header
// is read both by the C++ code and by the Windows resource compiler.
#pragma once

#define IDR_MAINFRAME    128
#define IDD_ABOUTBOX     100
#define IDS_ABOUTBOX     101
#define IDD_MAIN         102
#define IDM_ABOUTBOX     0x0010

#define IDC_BROWSE       1000
#define IDC_FILE_LIST    1001
#define IDC_PROGRESS     1003
#define IDC_STEP2_TEXT   1004

#ifndef IDOK
#define IDOK             1
#endif
#ifndef IDCANCEL
#define IDCANCEL         2
#endif
#ifndef IDC_STATIC
#define IDC_STATIC       (-1)
#endif
