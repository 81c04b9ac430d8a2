// The port through which the toolkit-free dialog logic talks to a windowing backend
// (Qt, Win32) or to the scripted double used by tests and benchmarks.
//
// Strings are byte strings: UTF-8 on Windows, raw file-name bytes on Linux. A backend
// converts or escapes them only for display and always hands back the bytes it was given.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "scan/FileSystem.h"

namespace quorvel {

// A report list with a "File" and a "Version" column. Rows carry an integer item data.
class IListView {
public:
    virtual ~IListView() = default;
    // Removes every row.
    virtual void DeleteAllItems() = 0;
    // Removes one row; out-of-range indexes are ignored.
    virtual void DeleteItem(int nItem) = 0;
    // Number of rows.
    virtual int GetItemCount() const = 0;
    // Inserts a row at nItem (clamped to the end) with column-0 text and item data 0; returns its index.
    virtual int InsertItem(int nItem, const std::string& text) = 0;
    // Sets a column's text of a row; out-of-range rows are ignored.
    virtual void SetItemText(int nItem, int nSubItem, const std::string& text) = 0;
    // A column's text of a row, exactly as set; empty for out-of-range rows.
    virtual std::string GetItemText(int nItem, int nSubItem) const = 0;
    // Sets a row's item data; texts stay.
    virtual void SetItemData(int nItem, std::intptr_t data) = 0;
    // A row's item data; 0 for out-of-range rows.
    virtual std::intptr_t GetItemData(int nItem) const = 0;
    // The row after nItem in index order (-1 starts at the first), or -1 after the last.
    int GetNextItem(int nItem) const {
        const int next = nItem < 0 ? 0 : nItem + 1;
        return next < GetItemCount() ? next : -1;
    }
    // Scrolls the row fully into view.
    virtual void EnsureVisible(int nItem) = 0;
    // Makes the current rows visible now, without waiting for the event loop.
    virtual void UpdateWindow() = 0;
    // Appends a left-aligned column of the given pixel width.
    virtual void InsertColumn(int nCol, const std::string& heading, int nWidth) = 0;
    // Width of the list's client area in pixels.
    virtual int GetClientWidth() const = 0;
    // Width of a vertical scroll bar in pixels (the system metric).
    virtual int GetVScrollWidth() const = 0;
};

// A progress bar with a full-int range.
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    // Sets the range; positions are clamped into it.
    virtual void SetRange(int nLower, int nUpper) = 0;
    // Sets the position.
    virtual void SetPos(int nPos) = 0;
    // Repaints now.
    virtual void UpdateWindow() = 0;
};

// A paint context opened on a minimised window.
class IPaintContext {
public:
    virtual ~IPaintContext() = default;
    // Asks the window to erase its icon background with this context.
    virtual void EraseIconBackground() = 0;
    // Draws the application icon with its top-left corner at (x, y).
    virtual void DrawIcon(int x, int y) = 0;
};

using IconHandle = std::uintptr_t;

// The main dialog's window and the services it uses.
class IDialogPort {
public:
    virtual ~IDialogPort() = default;
    virtual IListView& List() = 0;
    virtual IProgressBar& Progress() = 0;
    // Sets the text of the control with id `nId`.
    virtual void SetDlgItemText(int nId, const std::string& text) = 0;
    // Enables or disables the control with id `nId`.
    virtual void EnableDlgItem(int nId, bool bEnable) = 0;
    // Whether the control with id `nId` is enabled.
    virtual bool IsDlgItemEnabled(int nId) const = 0;
    // Moves the keyboard focus to the control with id `nId` as the dialog's own focus moves do
    // (a push button also becomes the default one, which Enter clicks); unknown ids are ignored.
    virtual void GotoDlgItem(int nId) = 0;
    // Appends a separator and a command item to the window menu; false when there is no such menu.
    virtual bool AppendSystemMenu(int nCommand, const std::string& text) = 0;
    // The application icon (stable for the program's life).
    virtual IconHandle LoadAppIcon() = 0;
    // Sets the window's big or small icon.
    virtual void SetIcon(IconHandle hIcon, bool bBig) = 0;
    // Loads a string resource; empty when absent.
    virtual std::string LoadString(int nId) = 0;
    // Shows a modal message box with one OK button and no icon.
    virtual void MessageBox(const std::string& text) = 0;
    // Shows the folder picker; the chosen folder's path, or nothing when cancelled or
    // when the chosen item has no file-system path.
    virtual std::optional<std::string> BrowseForFolder(const std::string& title) = 0;
    // Shows the save-file dialog with `name` proposed; the chosen file's path (the user has
    // agreed to replace it if it exists), or nothing when cancelled.
    virtual std::optional<std::string> SaveFileDialog(const std::string& title, const std::string& name) = 0;
    // Counted wait cursor: it shows while more Begin than End calls have been made.
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
    // Invalidates the whole window with background erase and repaints it now.
    virtual void RedrawWindow() = 0;
    // Dispatches every pending window message, then returns.
    virtual void PumpMessages() = 0;
    // Dispatches pending window messages; when there are none, first waits until a message
    // arrives or Wake is called. Returns after one round, so the caller looks at its work again.
    // A Wake that came before the call makes it return without waiting.
    virtual void WaitForEvents() = 0;
    // Lets a press of a button that is under way complete (an assistive tool's press releases
    // the button a moment later), so that its click is handled before what comes next. Returns
    // at once when no button is down; waits half a second at most.
    virtual void FinishPendingInput() {}
    // Ends a WaitForEvents that is waiting, or the next one. Safe to call from any thread, and
    // cheap when called often: wake-ups that pile up before the wait are taken as one.
    virtual void Wake() = 0;
    // Runs the About box modally.
    virtual void RunAboutBox() = 0;
    // Ends the modal run with the given result.
    virtual void EndDialog(int nResult) = 0;
    // Default processing of a window-menu command (move, close, ...).
    virtual void DefaultSysCommand(unsigned nId, std::intptr_t lParam) = 0;
    // Whether the window is minimised.
    virtual bool IsIconic() const = 0;
    // Default painting of the dialog.
    virtual void DefaultPaint() = 0;
    // Opens a paint context on the window; closed when destroyed.
    virtual std::unique_ptr<IPaintContext> BeginPaint() = 0;
    // System icon width and height in pixels.
    virtual int GetIconWidth() const = 0;
    virtual int GetIconHeight() const = 0;
    // The window's client width and height in pixels.
    virtual int GetClientWidth() const = 0;
    virtual int GetClientHeight() const = 0;
    // The file system the folder search walks.
    virtual IFileSystem& FileSystem() = 0;
};

// The events a backend routes to the dialog logic, one call per window message or click.
class IDialogHandler {
public:
    virtual ~IDialogHandler() = default;
    virtual bool OnInitDialog() = 0;
    virtual void OnBnClickedBrowse() = 0;
    virtual void OnBnClickedFixFiles() = 0;
    // "Close", Escape, or the window's close command.
    virtual void OnCancel() = 0;
    virtual void OnSysCommand(unsigned nId, std::intptr_t lParam) = 0;
    virtual void OnPaint() = 0;
    virtual IconHandle OnQueryDragIcon() = 0;
    // The window is on screen and its modal run has begun.
    virtual void OnWindowShown() {}
    // "Save list as..." in the list's menu.
    virtual void OnSaveListAs() {}
};

// The application-level platform services used at start-up.
class IAppPort {
public:
    virtual ~IAppPort() = default;
    // Registers the common control classes (size and class mask as the platform defines them).
    virtual bool InitCommonControls(unsigned dwSize, unsigned dwICC) = 0;
    // Names the base key for the platform's profile settings; the program stores nothing there.
    virtual void SetRegistryKey(const std::string& key) = 0;
    // The port of the main dialog window (created by the backend from the layout table).
    virtual IDialogPort& MainDialogPort() = 0;
    // Runs the main dialog modally, routing its events to `handler`; returns the end result.
    virtual int DoModal(IDialogHandler& handler) = 0;
};

}  // namespace quorvel
