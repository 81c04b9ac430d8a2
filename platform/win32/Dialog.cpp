#include <algorithm>
#include <exception>
#include <string>
#include <vector>

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

INT_PTR Dialog::DoModalIndirect(HINSTANCE instance, const void* dialogTemplate, HWND owner) {
    return ::DialogBoxIndirectParamW(instance, static_cast<const DLGTEMPLATE*>(dialogTemplate), owner, Proc,
                                     reinterpret_cast<LPARAM>(this));
}

namespace {

// A control's rectangle in its dialog's client coordinates.
RECT ClientRect(HWND dlg, HWND control) {
    RECT rc{};
    ::GetWindowRect(control, &rc);
    ::MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// Whether a static shows one line of text (not an icon, a bitmap or a frame).
bool IsTextStatic(HWND control) {
    wchar_t cls[16] = {};
    ::GetClassNameW(control, cls, 16);
    const auto type = static_cast<DWORD>(::GetWindowLongW(control, GWL_STYLE)) & SS_TYPEMASK;
    return std::wstring(cls) == L"Static" && (type == SS_LEFT || type == SS_LEFTNOWORDWRAP || type == SS_SIMPLE);
}

// Pixels the text of `control` needs on one line in its own font.
int TextWidth(HWND control) {
    const int length = ::GetWindowTextLengthW(control);
    if (length <= 0) return 0;
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(control, text.data(), length + 1)));
    const HDC dc = ::GetDC(control);
    const HGDIOBJ font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT rc{0, 0, 0, 0};
    const UINT prefix = (::GetWindowLongW(control, GWL_STYLE) & SS_NOPREFIX) ? DT_NOPREFIX : 0;
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, DT_CALCRECT | DT_SINGLELINE | DT_EXPANDTABS | prefix);
    ::SelectObject(dc, font);
    ::ReleaseDC(control, dc);
    return rc.right - rc.left;
}

}  // namespace

void Dialog::FitStaticTexts(HWND changed) {
    // Measuring asks the window system for a device context: one text, not all, when one changed.
    if (changed) {
        RECT inside{};
        if (!IsTextStatic(changed) || (::GetClientRect(changed, &inside) && TextWidth(changed) <= inside.right)) return;
    }
    struct Placed {
        HWND hwnd;
        RECT rc;
        int grow = 0;   // extra width the control needs
        int shift = 0;  // how far it moves right
    };
    std::vector<Placed> controls;
    for (HWND c = ::GetWindow(m_hwnd, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        Placed p{c, ClientRect(m_hwnd, c)};
        if (IsTextStatic(c)) p.grow = std::max(0, TextWidth(c) - static_cast<int>(p.rc.right - p.rc.left));
        controls.push_back(p);
    }
    if (std::none_of(controls.begin(), controls.end(), [](const Placed& p) { return p.grow > 0; })) return;

    RECT client{};
    ::GetClientRect(m_hwnd, &client);
    int farthest = 0;
    for (const Placed& p : controls) farthest = std::max<int>(farthest, p.rc.right);
    const int margin = std::max<int>(0, client.right - farthest);

    // Left to right: a control moves by what the controls on its left in the same band grow
    // and move; a text that grows pushes what stands beside it, not what is above or below.
    std::sort(controls.begin(), controls.end(), [](const Placed& a, const Placed& b) { return a.rc.left < b.rc.left; });
    for (Placed& p : controls)
        for (const Placed& left : controls)
            if (&left != &p && left.rc.right <= p.rc.left && left.rc.top < p.rc.bottom && p.rc.top < left.rc.bottom)
                p.shift = std::max(p.shift, left.shift + left.grow);

    int right = 0;
    for (const Placed& p : controls) right = std::max<int>(right, p.rc.right + p.shift + p.grow);
    const int wider = std::max(0, right + margin - static_cast<int>(client.right));
    for (Placed& p : controls) {
        // Controls that reached the right margin stay there.
        if (wider > 0 && p.rc.right >= farthest - 1 && p.grow == 0 && p.shift == 0) p.grow = wider;
        if (p.grow == 0 && p.shift == 0) continue;
        ::SetWindowPos(p.hwnd, nullptr, p.rc.left + p.shift, p.rc.top, p.rc.right - p.rc.left + p.grow,
                       p.rc.bottom - p.rc.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (wider > 0) {
        RECT window{};
        ::GetWindowRect(m_hwnd, &window);
        ::SetWindowPos(m_hwnd, nullptr, 0, 0, window.right - window.left + wider, window.bottom - window.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
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
