// What the Windows tests share: fixture folders, and the real main dialog (template 102 from
// this program's resources, the Win32 backend, CQuorvelDlg) driven step by step on its thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filelib/WekVerify.h"
#include "platform/win32/Win32Backend.h"
#include "base/WinPath.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"

namespace quorvel::test {

// The names in `folder`, without the dot entries; with `remove`, removes them too.
inline std::set<std::string> Names(const std::string& folder, bool remove = false) {
    std::set<std::string> names;
    WIN32_FIND_DATAW data;
    const std::wstring wide = win32::ToWin32Path(folder);
    const HANDLE find = ::FindFirstFileW((wide + L"\\*").c_str(), &data);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
        const std::wstring name = data.cFileName, path = wide + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        names.insert(win32::Narrow(name));
        if (!remove) continue;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (::DeleteFileW(path.c_str())) continue;
        Names(win32::Narrow(path), true);  // a folder: emptied, then removed
        ::RemoveDirectoryW(path.c_str());
    }
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    return names;
}

inline DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(win32::ToWin32Path(path).c_str()); }

// The whole file, or "" when it cannot be read.
inline std::string ReadAll(const std::string& path) {
    std::ifstream in(win32::ToWin32Path(path).c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh folder under the system's temporary folder, removed with all it holds afterwards.
class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        wchar_t base[MAX_PATH + 1];
        m_path = win32::Narrow({base, ::GetTempPathW(MAX_PATH + 1, base)}) + "quorvel-test-" +
                 std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
        EXPECT_TRUE(::CreateDirectoryW(win32::ToWin32Path(m_path).c_str(), nullptr)) << m_path;
    }
    ~TempFolder() {
        Names(m_path, true);
        ::RemoveDirectoryW(win32::ToWin32Path(m_path).c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string Sub(const std::string& rel) const { return m_path + "\\" + rel; }
    // Creates folder `rel` with its parents.
    std::string Folder(const std::string& rel) const {
        for (std::size_t sep = rel.find('\\'); sep != std::string::npos; sep = rel.find('\\', sep + 1))
            ::CreateDirectoryW(win32::ToWin32Path(Sub(rel.substr(0, sep))).c_str(), nullptr);
        EXPECT_TRUE(::CreateDirectoryW(win32::ToWin32Path(Sub(rel)).c_str(), nullptr)) << Sub(rel);
        return Sub(rel);
    }
    // A valid .olv file of `version`, with the recoverable fault if asked.
    std::string Olv(const std::string& rel, int version, bool fault = false) const {
        const int status = WekWriteSample(Sub(rel).c_str(), version, {"alpha", "beta", std::string("\0\xff", 2)}, fault);
        EXPECT_EQ(status, WEK_OK) << Sub(rel);
        return Sub(rel);
    }

private:
    std::string m_path;
};

inline std::string WindowText(HWND hwnd) {
    wchar_t text[1024];
    return win32::Narrow({text, static_cast<std::size_t>(::GetWindowTextW(hwnd, text, 1024))});
}

inline std::string ClassName(HWND hwnd) {
    wchar_t name[256];
    return win32::Narrow({name, static_cast<std::size_t>(::GetClassNameW(hwnd, name, 256))});
}

// Runs the main dialog and calls one step per timer tick, so that the modal loop has handled
// what a step posted before the next one starts. Message and About boxes that open meanwhile
// are shown to `onBox`, described in `boxes` and closed; the folder pickers are left alone.
// Popup menus that open are shown to `onMenu` once each, which must close them (by a key).
class DialogDriver {
public:
    using Step = std::function<void(HWND dlg)>;
    DialogDriver() : app(::GetModuleHandleW(nullptr)) { app.InitCommonControls(8, 0xFF); }

    // DoModal's result. A dialog still open a minute after the last step fails and is closed.
    // The dialog's events go to `handler`, or to the real dialog logic when it is null.
    int Run(std::vector<Step> steps, IDialogHandler* handler = nullptr) {
        m_steps = std::move(steps);
        CQuorvelDlg logic(app.MainDialogPort());
        if (setUp) setUp(logic);
        s_running = this;
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, Tick);
        const int result = app.DoModal(handler ? *handler : logic);
        ::KillTimer(nullptr, timer);
        s_running = nullptr;
        EXPECT_EQ(m_next, m_steps.size()) << "the dialog ended before all steps ran";
        return result;
    }

    // A step that waits: it runs on every tick until `done` holds. After half a minute it
    // fails the test and ends the dialog.
    Step Until(std::function<bool(HWND dlg)> done, std::string what) {
        auto ticks = std::make_shared<int>(0);
        return [this, done, what, ticks](HWND dlg) {
            if (done(dlg)) return;
            if (++*ticks < 3000) {
                m_again = true;
                return;
            }
            ADD_FAILURE() << "never came: " << what;
            ::EndDialog(dlg, -3);
        };
    }

    win32::Win32App app;
    // Called with the real dialog logic before its run starts (to replace its file work).
    std::function<void(CQuorvelDlg& logic)> setUp;
    // The boxes in the order they opened: the caption, then a line for each visible static
    // that shows something (its text or "(icon)"), then one "[button]" for each button.
    std::vector<std::string> boxes;
    std::function<void(HWND box)> onBox = [](HWND) {};
    std::function<void(HWND menu)> onMenu = [](HWND menu) { ::PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0); };

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        DialogDriver* const self = s_running;
        const HWND main = self ? self->app.Main().Handle() : nullptr;
        if (!main) return;
        // The thread's dialog boxes besides the main dialog and the picker; closing hides them.
        for (HWND box = nullptr; (box = ::FindWindowExW(nullptr, box, L"#32770", nullptr));) {
            if (box == main || !::IsWindowVisible(box) || ::GetWindowThreadProcessId(box, nullptr) != ::GetCurrentThreadId() ||
                ::FindWindowExW(box, nullptr, L"SysTreeView32", nullptr) || WindowText(box) == text::kPickerTitle)
                continue;
            std::string texts, buttons;
            for (HWND c = ::GetWindow(box, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
                if (!::IsWindowVisible(c)) continue;
                if (ClassName(c) == "Button") buttons += "\n[button]";
                else if (::SendMessageW(c, STM_GETICON, 0, 0)) texts += "\n(icon)";
                else if (const std::string text = WindowText(c); !text.empty()) texts.append("\n").append(text);
            }
            self->boxes.push_back(WindowText(box) + texts + buttons);
            self->onBox(box);
            ::SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        // Menus of this thread, each shown once while it is open.
        for (HWND menu = nullptr; (menu = ::FindWindowExW(nullptr, menu, L"#32768", nullptr));) {
            if (!::IsWindowVisible(menu) || ::GetWindowThreadProcessId(menu, nullptr) != ::GetCurrentThreadId()) {
                self->m_menusSeen.erase(menu);
            } else if (self->m_menusSeen.insert(menu).second) {
                self->onMenu(menu);
            }
        }
        // A step that opens a modal loop (a message box, the picker, a menu) is still running.
        if (self->m_inStep) return;
        if (self->m_next < self->m_steps.size()) {
            self->m_inStep = true;
            self->m_steps[self->m_next++](main);
            self->m_inStep = false;
            if (std::exchange(self->m_again, false)) --self->m_next;
        } else if (++self->m_idleTicks == 6000) {
            ADD_FAILURE() << "the dialog is still open after the last step";
            ::EndDialog(main, -2);
        }
    }

    static inline DialogDriver* s_running = nullptr;
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    std::set<HWND> m_menusSeen;
    bool m_inStep = false;
    bool m_again = false;
    int m_idleTicks = 0;
};

// A list cell as the control shows it (LVM_GETITEMTEXTW).
inline std::wstring ShownText(HWND list, int row, int column) {
    wchar_t text[1024] = {};
    ListView_GetItemText(list, row, column, text, 1024);
    return text;
}

// Clicks the way the mouse does; returns when the button's handler has run.
inline void Click(HWND button) { ::SendMessageW(button, BM_CLICK, 0, 0); }

// Saves what the screen shows of the window as a 24-bit BMP; false on failure.
inline bool SaveScreenshot(HWND hwnd, const std::string& path) {
    RECT rc;
    ::GetWindowRect(hwnd, &rc);
    BITMAPINFOHEADER info{sizeof info, rc.right - rc.left, rc.bottom - rc.top, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::string pixels(((static_cast<std::size_t>(info.biWidth) * 3 + 3) & ~std::size_t{3}) * static_cast<std::size_t>(info.biHeight), '\0');
    const HDC screen = ::GetDC(nullptr), memory = ::CreateCompatibleDC(screen);
    const HBITMAP bitmap = ::CreateCompatibleBitmap(screen, info.biWidth, info.biHeight);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    bool ok = ::BitBlt(memory, 0, 0, info.biWidth, info.biHeight, screen, rc.left, rc.top, SRCCOPY);
    ::SelectObject(memory, old);
    ok = ok && ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(info.biHeight), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    const DWORD headers = sizeof(BITMAPFILEHEADER) + sizeof info;
    const BITMAPFILEHEADER file{0x4D42, headers + static_cast<DWORD>(pixels.size()), 0, 0, headers};
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file).write(reinterpret_cast<const char*>(&info), sizeof info) << pixels;
    return ok && out.good();
}

// Dispatches this thread's messages until `done` holds, for at most about ten seconds.
inline void PumpUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
        if (!done()) ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

// Posts a key press and release, for the dialog's modal loop to handle.
inline void PostKey(HWND hwnd, WPARAM key) {
    ::PostMessageW(hwnd, WM_KEYDOWN, key, 1);
    ::PostMessageW(hwnd, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
}

}  // namespace quorvel::test
