#include <exception>
#include <string>

#include "platform/win32/Controls.h"
#include "base/WinPath.h"
#include "ui/res/Texts.h"

namespace quorvel::win32 {

namespace {

// Tells the user about an error that no handler caught; the window stays usable.
void ReportUnexpected(HWND hwnd, const char* what) {
    const std::wstring text = L"An unexpected error occurred:\n" + Widen(what);
    ::MessageBoxW(hwnd, text.c_str(), Widen(text::kAppName).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace

INT_PTR Dialog::DoModal(HINSTANCE instance, int templateId, HWND owner) {
    return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId), owner, Proc,
                             reinterpret_cast<LPARAM>(this));
}

bool Dialog::OnCommand(int id, int /*code*/) {
    if (id != IDOK && id != IDCANCEL) return false;
    End(id);
    return true;
}

INT_PTR Dialog::OnMessage(UINT, WPARAM, LPARAM) { return FALSE; }

INT_PTR Dialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam));
    default:
        return OnMessage(msg, wParam, lParam);
    }
}

INT_PTR CALLBACK Dialog::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
        reinterpret_cast<Dialog*>(lParam)->m_hwnd = hwnd;
    }
    // Messages that arrive before WM_INITDIALOG (WM_SETFONT) get default processing.
    auto* self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return FALSE;

    INT_PTR result = FALSE;
    // Unwinding through the system's code is undefined: errors stop here and are shown.
    try {
        result = self->Dispatch(msg, wParam, lParam);
    } catch (const std::exception& e) {
        ReportUnexpected(hwnd, e.what());
    } catch (...) {
        ReportUnexpected(hwnd, "unknown exception");
    }
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->m_hwnd = nullptr;
    }
    return result;
}

}  // namespace quorvel::win32
