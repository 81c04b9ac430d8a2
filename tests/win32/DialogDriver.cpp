#include "tests/win32/DialogDriver.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/win32/WinPath.h"

namespace quorvel::test {

using win32::Narrow;
using win32::ToWin32Path;

namespace {

DialogDriver* g_running = nullptr;
// Ticks of 10 ms after the last step before an open dialog counts as hung (about a minute).
constexpr int kMaxIdleTicks = 6000;

}  // namespace

DialogDriver::DialogDriver() : app(::GetModuleHandleW(nullptr)) { app.InitCommonControls(8, 0xFF); }

int DialogDriver::Run(std::vector<Step> steps) {
    m_steps = std::move(steps);
    m_next = 0;
    m_idleTicks = 0;
    CQuorvelDlg logic(app.MainDialogPort());
    dlg = &logic;
    g_running = this;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, OnTimer);
    const int result = app.DoModal(logic);
    ::KillTimer(nullptr, timer);
    g_running = nullptr;
    dlg = nullptr;
    EXPECT_EQ(m_next, m_steps.size()) << "the dialog ended before all steps ran";
    return result;
}

void CALLBACK DialogDriver::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_running) g_running->Tick();
}

void DialogDriver::Tick() {
    const HWND main = app.Main().Handle();
    if (!main) return;
    CloseBoxes(main);
    // A step that opens a modal loop (a message box, the picker) is still running.
    if (m_inStep) return;
    if (m_next < m_steps.size()) {
        m_inStep = true;
        m_steps[m_next++](main);
        m_inStep = false;
    } else if (++m_idleTicks == kMaxIdleTicks) {
        ADD_FAILURE() << "the dialog is still open after the last step";
        ::EndDialog(main, -2);
    }
}

namespace {

struct BoxSearch {
    HWND main;
    std::vector<HWND> found;
};

// Collects the thread's visible dialog boxes besides the main dialog and the folder picker.
BOOL CALLBACK CollectBox(HWND hwnd, LPARAM search) {
    auto* s = reinterpret_cast<BoxSearch*>(search);
    if (hwnd != s->main && ::IsWindowVisible(hwnd) && ClassName(hwnd) == "#32770" &&
        !::FindWindowExW(hwnd, nullptr, L"SysTreeView32", nullptr))
        s->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

void DialogDriver::CloseBoxes(HWND main) {
    BoxSearch search{main, {}};
    ::EnumThreadWindows(::GetCurrentThreadId(), CollectBox, reinterpret_cast<LPARAM>(&search));
    for (HWND box : search.found) {
        if (std::find(m_closed.begin(), m_closed.end(), box) != m_closed.end()) continue;
        m_closed.push_back(box);
        SeenBox seen;
        seen.caption = WindowText(box);
        for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            if (!::IsWindowVisible(child)) continue;
            const std::string cls = ClassName(child);
            if (cls == "Button") ++seen.buttons;
            if (cls != "Static") continue;
            if (::SendMessageW(child, STM_GETICON, 0, 0)) seen.hasIcon = true;
            else if (const std::string t = WindowText(child); !t.empty()) seen.text += (seen.text.empty() ? "" : "\n") + t;
        }
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        boxes.push_back(seen);
    }
}

std::string WindowText(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return Narrow(text);
}

std::string ClassName(HWND hwnd) {
    wchar_t name[256];
    return Narrow({name, static_cast<std::size_t>(::GetClassNameW(hwnd, name, 256))});
}

std::wstring ShownText(HWND list, int row, int column) {
    wchar_t buffer[1024] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 1024;
    const auto n = ::SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return {buffer, static_cast<std::size_t>(n)};
}

void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }

void PostKey(HWND hwnd, WPARAM key) {
    ::PostMessageW(hwnd, WM_KEYDOWN, key, 1);
    ::PostMessageW(hwnd, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

bool SaveScreenshot(HWND hwnd, const std::string& path) {
    RECT rc;
    ::GetWindowRect(hwnd, &rc);
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    const HDC screen = ::GetDC(nullptr);
    const HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    bool ok = bitmap && ::BitBlt(memory, 0, 0, width, height, screen, rc.left, rc.top, SRCCOPY);
    ::GdiFlush();
    if (ok) {
        const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
        const DWORD size = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) + size, 0, 0,
                              static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER))};
        const HANDLE out = ::CreateFileW(ToWin32Path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ok = out != INVALID_HANDLE_VALUE && ::WriteFile(out, &file, sizeof file, &written, nullptr) &&
             ::WriteFile(out, &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
             ::WriteFile(out, bits, size, &written, nullptr);
        if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    }
    ::SelectObject(memory, old);
    if (bitmap) ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace quorvel::test
