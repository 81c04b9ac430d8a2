// The Windows headers as the backend uses them: wide-character API only, no min/max macros.
// The port's member names MessageBox, LoadString and SetDlgItemText collide with the headers'
// A/W macros, so those macros are removed; the backend calls the W functions by name.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#undef MessageBox
#undef LoadString
#undef SetDlgItemText
