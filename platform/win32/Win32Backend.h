// The Win32 backend: the main dialog of template 102 as the port of the dialog logic, its
// list and progress controls, the About box of template 100, and the start-up services.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ui/Port.h"
#include "platform/win32/Controls.h"
#include "platform/win32/PaintPacer.h"
#include "platform/win32/RowStore.h"
#include "platform/win32/Win32FileSystem.h"

namespace quorvel::win32 {

// The file list, a list view in owner-data mode: the rows live here (RowStore), byte for byte,
// and the control only asks for the few it shows (LVN_GETDISPINFOW), so GetItemText returns
// exactly what was set and a million rows cost little. Changes reach the screen through the
// dialog's paint pacer: the row count, the row to scroll into view and the changed rows are
// handed to the control when the window paints, from its message loop, at most once a frame
// and at the loop's next look at human speed.
// While the control paints, a path too long for its column is handed over with its middle
// left out, so that the file name stays visible; every other request (a screen reader's, an
// automatic column width) gets the whole text. Each row's info tip is its whole text.
class Win32List : public IListView {
public:
    explicit Win32List(PaintPacer& pacer) : m_pacer(pacer) {}
    // Binds the control (which must have the owner-data style) and forgets the rows of an
    // earlier window.
    void Attach(HWND hwnd);
    // IListView, as ui/Port.h states it. UpdateWindow asks the pacer for a paint, which the
    // window's message loop does at its next look (the dialog logic looks at least every 15 ms).
    void DeleteAllItems() override;
    void DeleteItem(int nItem) override;
    int GetItemCount() const override { return m_rows.Count(); }
    int InsertItem(int nItem, const std::string& text) override;
    void SetItemText(int nItem, int nSubItem, const std::string& text) override;
    std::string GetItemText(int nItem, int nSubItem) const override;
    void SetItemData(int nItem, std::intptr_t data) override { m_rows.SetData(nItem, data); }
    std::intptr_t GetItemData(int nItem) const override { return m_rows.Data(nItem); }
    void EnsureVisible(int nItem) override;
    void UpdateWindow() override { m_pacer.Request(); }
    void InsertColumn(int nCol, const std::string& heading, int nWidth) override;
    int GetClientWidth() const override;
    int GetVScrollWidth() const override { return ::GetSystemMetrics(SM_CXVSCROLL); }

    // Hands the control what changed since its last paint (row count, row to show, changed
    // rows); the caller then lets it paint. Part of the pacer's paint.
    void ApplyPending();

    // Answers the control's LVN_GETDISPINFOW request with a row's text for display.
    void OnGetDispInfo(NMLVDISPINFOW& info) const;
    // Follows the control's painting (NM_CUSTOMDRAW); the result for DWLP_MSGRESULT.
    LRESULT OnCustomDraw(const NMCUSTOMDRAW& draw);
    // Answers LVN_GETINFOTIPW: for the first column the whole path, with the row's "Version"
    // text on a second line (classic list views ask for the first column only); for another
    // column that cell's whole text. Cut to the control's buffer.
    void OnGetInfoTip(NMLVGETINFOTIPW& tip) const;

    // Whether row `nItem` names a file (an absolute path) rather than holding a sentence.
    bool NamesFile(int nItem) const;
    // The selected rows in row order as lines "path<TAB>version" joined by CR LF (no line end
    // after the last); empty when none is selected.
    std::wstring SelectedRowsText() const;
    // The row under a point of the screen, or -1.
    int RowAt(POINT screen) const;
    // The focused row, or else the first selected one, or -1.
    int CurrentRow() const;
    // A row's rectangle on the screen.
    RECT RowRect(int nItem) const;
    // The control window.
    HWND Handle() const { return m_ctl.Handle(); }

private:
    bool Valid(int nItem) const { return m_rows.Valid(nItem); }
    // Marks a row for repainting at the next paint.
    void Touch(int nItem);
    // A path as shown in column 0 during painting: its middle left out when too wide.
    std::wstring ShownPath(const std::wstring& path) const;
    PaintPacer& m_pacer;
    ListView m_ctl;
    RowStore m_rows;
    int m_shown = 0;                    // the control's row count
    int m_showRow = -1;                 // to scroll into view at the next paint, or -1
    int m_touchedFirst = -1, m_touchedLast = -1;  // rows to repaint, or -1
    bool m_painting = false;            // between the control's pre-paint and post-paint
    HDC m_paintDc = nullptr;            // the control's paint context while it paints (may be null)
};

// The progress bar, with the 32-bit range message. Its range and position reach the control
// through the dialog's paint pacer, like the list's rows: every change costs the window system
// a repaint request, and a pass moves the bar once per file.
class Win32Progress : public IProgressBar {
public:
    explicit Win32Progress(PaintPacer& pacer) : m_pacer(pacer) {}
    // Binds the control.
    void Attach(HWND hwnd);
    // IProgressBar, as ui/Port.h states it. UpdateWindow asks the pacer for a paint.
    void SetRange(int nLower, int nUpper) override;
    void SetPos(int nPos) override;
    void UpdateWindow() override { m_pacer.Request(); }
    // Hands the control the range and position set since its last paint. Part of the pacer's paint.
    void ApplyPending();
    // The control window.
    HWND Handle() const { return m_ctl.Handle(); }

private:
    PaintPacer& m_pacer;
    ProgressBar m_ctl;
    int m_lower = 0, m_upper = 100, m_pos = 0;
    bool m_rangeChanged = false, m_posChanged = false;
};

// The main dialog window and the services the dialog logic uses through it.
class MainDialog : public Dialog, public IDialogPort {
public:
    explicit MainDialog(HINSTANCE instance);

    // Runs template 102 modally and routes its events to `handler`; EndDialog's result, or
    // -1 when the window cannot be created.
    int Run(IDialogHandler& handler);

    // IDialogPort, as ui/Port.h states it. DefaultSysCommand and DefaultPaint hand the
    // message being handled to the dialog's default processing once the handler returns.
    IListView& List() override { return m_list; }
    IProgressBar& Progress() override { return m_progress; }
    // A static whose new text needs more room than it has widens (see FitStaticTexts).
    void SetDlgItemText(int nId, const std::string& text) override;
    // A control that has the focus hands it to the file list before it is disabled: a disabled
    // window keeps no focus, and with none the keys would reach no control (Escape would not
    // stop a Browse).
    void EnableDlgItem(int nId, bool bEnable) override;
    bool IsDlgItemEnabled(int nId) const override { return ::IsWindowEnabled(Item(nId)) != 0; }
    // Through the dialog manager (WM_NEXTDLGCTL), so that a push button becomes the default one.
    void GotoDlgItem(int nId) override;
    bool AppendSystemMenu(int nCommand, const std::string& text) override;
    IconHandle LoadAppIcon() override;
    void SetIcon(IconHandle hIcon, bool bBig) override;
    std::string LoadString(int nId) override;
    void MessageBox(const std::string& text) override;
    // The file dialog family's folder picker (a path box, long paths), or the older tree picker
    // where that is missing; titled `title`, opening at the folder chosen last.
    std::optional<std::string> BrowseForFolder(const std::string& title) override;
    // GetSaveFileNameW, asking before it replaces a file.
    std::optional<std::string> SaveFileDialog(const std::string& title, const std::string& name) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    // Paints whatever of the window and its controls is not up to date (every change
    // invalidates what it changes), paced to the screen like the list.
    void RedrawWindow() override;
    // Dispatches every pending message without the dialog manager, so the keys it would
    // handle are handled here: Escape cancels, Enter clicks the focused push button or else
    // "Fix files", F1 opens the About box.
    void PumpMessages() override;
    // Waits (MsgWaitForMultipleObjectsEx) until input or a posted message is there, then pumps.
    void WaitForEvents() override;
    // Posts one wake-up message to the window unless one is already queued.
    void Wake() override;
    void RunAboutBox() override;
    void EndDialog(int nResult) override { End(nResult); }
    void DefaultSysCommand(unsigned, std::intptr_t) override { m_defaultRequested = true; }
    bool IsIconic() const override { return ::IsIconic(Handle()) != 0; }
    void DefaultPaint() override { m_defaultRequested = true; }
    std::unique_ptr<IPaintContext> BeginPaint() override;
    int GetIconWidth() const override { return ::GetSystemMetrics(SM_CXICON); }
    int GetIconHeight() const override { return ::GetSystemMetrics(SM_CYICON); }
    int GetClientWidth() const override;
    int GetClientHeight() const override;
    IFileSystem& FileSystem() override { return m_fileSystem; }

    // Paints what the pacer holds back, now (before modal loops; tests).
    void FlushPaint() { m_pacer.Flush(); }
    // The pacer of the list's and the window's repaints.
    PaintPacer& Pacer() { return m_pacer; }

    // Test seam: when set, BrowseForFolder returns its answer instead of showing the picker.
    std::function<std::optional<std::string>(const std::string& title)> folderPickerForTest;
    // Test seam: with true, BrowseForFolder shows the tree picker, as where the file dialog's
    // folder picker is missing.
    bool treePickerForTest = false;
    // Test seam: when set, Run makes the window from this template (a DLGTEMPLATEEX, e.g.
    // template 102 in another font) instead of the resource.
    const void* templateForTest = nullptr;
    // Test seam: when set, SaveFileDialog returns its answer instead of showing the dialog.
    std::function<std::optional<std::string>(const std::string& title, const std::string& name)> fileSaverForTest;
    // Test seam: when set, OpenContainingFolder hands it the file's path instead of the shell.
    std::function<bool(const std::string& path)> folderOpenerForTest;

    // Shows Explorer's window of the folder that holds `path` with the file selected
    // (SHOpenFolderAndSelectItems, else explorer /select,); false when neither starts.
    bool OpenContainingFolder(const std::string& path);
    // Puts `text` on the clipboard as Unicode text; false when the clipboard is not available.
    bool CopyToClipboard(const std::wstring& text);
    // The row menu of row `nItem` at a point of the screen: "Open containing folder", "Copy
    // path" and "Save list as..." (the handler's); rows that name no file have none. Runs the
    // chosen item.
    void ShowRowMenu(int nItem, POINT screen);

protected:
    // Binds the controls, runs the handler's set-up, puts the focus on "Browse", turns on the
    // list's info tips.
    bool OnInitDialog() override;
    // Routes the clicks of "Browse", "Fix files" and "Close" (and Enter and Escape). Enter on
    // a focused push button clicks that button, whichever is the default one.
    bool OnCommand(int id, int code) override;
    // Routes window-menu commands, painting, the drag icon, the wait cursor, the list's texts,
    // info tips, row menu and Ctrl+C, and help (F1) to the About box.
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    // The dialog's keys that no control handles itself: F1 (About) always; with `allKeys`,
    // outside the dialog manager, Escape and Enter too. True when `msg` was one of them and
    // has been turned into its command.
    bool HandleDialogKey(const MSG& msg, bool allKeys);
    // Sees every message of the dialog manager's loops (WH_MSGFILTER) for the F1 key.
    static LRESULT CALLBACK MessageFilter(int code, WPARAM wParam, LPARAM lParam);

    // Runs one handler call; FALSE (default processing) when it asked for the default.
    template <class Call>
    INT_PTR RouteWithDefault(Call call);
    // The pacer's paint: the list's pending changes, then the list or the whole window.
    void PaintNow();

    HINSTANCE m_instance;
    IDialogHandler* m_handler = nullptr;
    PaintPacer m_pacer;
    Win32List m_list;
    Win32Progress m_progress;
    Win32FileSystem m_fileSystem;
    HICON m_icon = nullptr;
    int m_waitDepth = 0;
    HCURSOR m_cursorBeforeWait = nullptr;
    bool m_defaultRequested = false;
    bool m_windowDirty = false;
    std::string m_lastRoot;  // the folder the picker gave last
    std::atomic<bool> m_wakePosted{false};
};

// The application-level services: common controls, the registry base name, the modal run.
class Win32App : public IAppPort {
public:
    // `instance` holds the resources (dialog templates, icon, strings).
    explicit Win32App(HINSTANCE instance) : m_dialog(instance) {}
    // InitCommonControlsEx with exactly the size and class mask given.
    bool InitCommonControls(unsigned dwSize, unsigned dwICC) override;
    // Remembers the name; nothing is read from or written to the registry.
    void SetRegistryKey(const std::string& key) override { m_registryKey = key; }
    // The main dialog's port, usable before the window exists.
    IDialogPort& MainDialogPort() override { return m_dialog; }
    // Runs the main dialog; when its window cannot be created, says so in a message box and
    // returns -1.
    int DoModal(IDialogHandler& handler) override;

    // The main dialog: its window and the folder-picker seam, for tests.
    MainDialog& Main() { return m_dialog; }
    const std::string& RegistryKey() const { return m_registryKey; }

private:
    MainDialog m_dialog;
    std::string m_registryKey;
};

}  // namespace quorvel::win32
