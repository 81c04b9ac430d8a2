// Runs the real main dialog (template 102 from this program's resources, the Win32 backend,
// the toolkit-free CQuorvelDlg) and drives it from the dialog's own thread: the steps run one
// per timer tick, so whatever a step posted has been handled by the dialog's modal loop
// before the next one starts. Message boxes and About boxes that open meanwhile are read and
// closed; the folder picker is left alone.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/Win32Backend.h"
#include "ui/QuorvelDlg.h"

namespace quorvel::test {

// A message box or About box as the driver found it before closing it.
struct SeenBox {
    std::string caption;
    std::string text;       // the message; for other boxes their static texts, one per line
    int buttons = 0;        // push buttons in the box
    bool hasIcon = false;   // a visible static showing an icon
};

class DialogDriver {
public:
    using Step = std::function<void(HWND dlg)>;

    DialogDriver();
    // Runs the dialog until it ends and returns DoModal's result. A dialog still open long
    // after the last step fails the test and is closed.
    int Run(std::vector<Step> steps);

    win32::Win32App app;
    CQuorvelDlg* dlg = nullptr;  // the dialog logic while Run runs
    std::vector<SeenBox> boxes;  // in the order they opened

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    void Tick();
    void CloseBoxes(HWND main);

    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    bool m_inStep = false;
    int m_idleTicks = 0;
    std::vector<HWND> m_closed;
};

// The window's text, UTF-8.
std::string WindowText(HWND hwnd);
// The window's class name, UTF-8.
std::string ClassName(HWND hwnd);
// A list cell as the control shows it (LVM_GETITEMTEXTW), UTF-16.
std::wstring ShownText(HWND list, int row, int column);
// Clicks a button the way the mouse does (BM_CLICK), returning when its handler has run.
void Click(HWND button);
// Posts a key press and release to `hwnd`, for the dialog's modal loop to handle.
void PostKey(HWND hwnd, WPARAM key);
// Saves what the screen shows of the window as a 24-bit BMP; false on failure.
bool SaveScreenshot(HWND hwnd, const std::string& path);

}  // namespace quorvel::test
