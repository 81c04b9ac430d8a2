#include <algorithm>
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

void Dialog::Centre() {
    RECT window{};
    ::GetWindowRect(m_hwnd, &window);
    const HWND owner = ::GetWindow(m_hwnd, GW_OWNER);
    const bool overOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!::GetMonitorInfoW(::MonitorFromWindow(overOwner ? owner : m_hwnd, MONITOR_DEFAULTTONEAREST), &monitor))
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &monitor.rcWork, 0);
    const RECT area = monitor.rcWork;
    RECT centre = area;
    if (overOwner) ::GetWindowRect(owner, &centre);
    const int cx = window.right - window.left, cy = window.bottom - window.top;
    const int x = std::clamp<int>(centre.left + (centre.right - centre.left - cx) / 2, area.left,
                                  std::max<int>(area.left, area.right - cx));
    const int y = std::clamp<int>(centre.top + (centre.bottom - centre.top - cy) / 2, area.top,
                                  std::max<int>(area.top, area.bottom - cy));
    ::SetWindowPos(m_hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR Dialog::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG: {
        // Dialogs centre themselves once set up, unless the set-up placed them itself; the
        // dialog manager would leave them at the template's position, the screen's corner.
        RECT before{}, after{};
        ::GetWindowRect(m_hwnd, &before);
        const bool result = OnInitDialog();
        if (m_hwnd && ::GetWindowRect(m_hwnd, &after) && before.left == after.left && before.top == after.top)
            Centre();
        return result;
    }
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
