// The Qt 6 Widgets backend: IAppPort and the main dialog's IDialogPort. It builds the windows
// from the layout table and forwards every click, key and window event to the toolkit-free
// handler; it decides nothing about the dialog's logic itself.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QIcon>

#include "ui/Port.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/qt/ListConventions.h"
#include "platform/qt/QtList.h"
#include "platform/qt/RepaintPacer.h"

class QDialog;
class QObject;
class QWidget;

namespace quorvel::qt {

class MainWindow;

// The main dialog window and the services the dialog logic uses.
class QtDialogPort : public IDialogPort {
public:
    // Builds the (hidden) main window from the layout table, sized for its screen; needs a
    // QApplication.
    QtDialogPort();
    ~QtDialogPort() override;

    // The list (control 1001) and the progress bar (control 1003).
    IListView& List() override { return m_list; }
    IProgressBar& Progress() override { return m_progress; }
    // Unknown ids are ignored. A text shows at once, even while a handler is busy.
    void SetDlgItemText(int nId, const std::string& text) override;
    // Unknown ids are ignored.
    void EnableDlgItem(int nId, bool bEnable) override;
    // False for unknown ids.
    bool IsDlgItemEnabled(int nId) const override;
    // Unknown ids are ignored.
    void GotoDlgItem(int nId) override;
    // Adds the item to the menu that a right click on the dialog's background opens; Linux
    // window managers keep the title bar's menu to themselves. Always true.
    bool AppendSystemMenu(int nCommand, const std::string& text) override;
    // A fixed handle that stands for the drawn application icon.
    IconHandle LoadAppIcon() override;
    // Sets the window icon when `hIcon` is the application icon; other handles are ignored.
    // One QIcon carries all sizes, so the big and the small icon are the same call.
    void SetIcon(IconHandle hIcon, bool bBig) override;
    // The About menu text for its id, empty for any other.
    std::string LoadString(int nId) override;
    // A modal QMessageBox: caption "quorvel", one OK button, no icon.
    void MessageBox(const std::string& text) override;
    // A modal folder-only QFileDialog with nothing chosen that opens at the user's home folder,
    // or at the folder chosen last while it exists: the desktop's own where the platform theme
    // has one, Qt's otherwise. Returns the path's bytes as the file system holds them; nothing
    // on cancel or when no folder has that path.
    std::optional<std::string> BrowseForFolder(const std::string& title) override;
    // A modal save QFileDialog for text files with `name` proposed in the home folder, later in
    // the folder saved to last; it asks before replacing a file. The path's bytes, or nothing.
    std::optional<std::string> SaveFileDialog(const std::string& title, const std::string& name) override;
    // Counted; the override cursor is pushed at 0 -> 1 and popped at 1 -> 0. Extra Ends are ignored.
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    // Repaints the whole window, paced to one repaint per display frame.
    void RedrawWindow() override;
    // Dispatches every pending event (input included) and returns.
    void PumpMessages() override;
    // Runs one round of the event loop, waiting for events when none are pending.
    void WaitForEvents() override;
    void FinishPendingInput() override;
    // Posts one wake-up event to the GUI thread unless one is already on its way.
    void Wake() override;
    // The About box, modal, built from the About template.
    void RunAboutBox() override;
    // Ends the modal run with `nResult`; does nothing when it is not running.
    void EndDialog(int nResult) override;
    // The close command routes to the handler's OnCancel, as a dialog's close does; others do nothing.
    void DefaultSysCommand(unsigned nId, std::intptr_t lParam) override;
    // Whether the window is minimised.
    bool IsIconic() const override;
    // Qt paints the dialog itself; nothing to add.
    void DefaultPaint() override {}
    // A context that draws nothing: Linux desktops show a minimised window's icon themselves.
    std::unique_ptr<IPaintContext> BeginPaint() override;
    // The style's large icon size (32 pixels on common styles).
    int GetIconWidth() const override;
    int GetIconHeight() const override;
    // The window's size; it has no frame of its own inside the desktop's decoration.
    int GetClientWidth() const override;
    int GetClientHeight() const override;
    // readdir enumeration of the real file system.
    IFileSystem& FileSystem() override { return m_fileSystem; }

    // Runs OnInitDialog, puts the focus on "Browse", then runs the window modally until
    // EndDialog, calling OnWindowShown once the run is under way; returns EndDialog's result.
    // F1 sends the About command to the handler.
    int RunModal(IDialogHandler& handler);

    // The drawn application icon (16, 32 and 48 pixels).
    const QIcon& AppIcon() const { return m_icon; }
    // The main window, for tests and the benchmark.
    QDialog& Window();
    // The control with id `nId`, or null.
    QWidget* Control(int nId) const;
    // Every control in template order, statics without id included.
    const std::vector<QWidget*>& Controls() const { return m_controls; }
    // The concrete list, progress bar and repaint pacer, for tests and the benchmark.
    QtListView& ListView() { return m_list; }
    QtProgressBar& ProgressBar() { return m_progress; }
    RepaintPacer& Pacer() { return m_pacer; }
    // The list's row menu, copy and folder opening.
    ListConventions& ListActions() { return m_listConventions; }
    // Open Begin/End wait-cursor pairs.
    int WaitCursorDepth() const { return m_waitDepth; }

    // Test seam: when set, BrowseForFolder returns its answer instead of showing the picker.
    std::function<std::optional<std::string>(const std::string& title)> folderPickerForTest;

    // Sizes the window for the work area of its screen (see FitToWorkArea).
    void FitToScreen();

private:
    void PaintNow();
    // The box that says a folder could not be shown; it does not block the window.
    void ShowFolderNotOpened(const std::string& folder, const char* reason);
    void ShowMenu(const QPoint& globalPos);

    QIcon m_icon;
    std::unique_ptr<MainWindow> m_window;
    std::vector<QWidget*> m_controls;
    RepaintPacer m_pacer;
    QtListView m_list;
    QtProgressBar m_progress;
    ListConventions m_listConventions;
    posix::PosixFileSystem m_fileSystem;
    std::atomic<bool> m_wakePosted{false};
    std::unique_ptr<QObject> m_wakeTarget;   // receives the wake-up events on the GUI thread
    QString m_pickerStart;
    QString m_saveStart;
    std::vector<std::pair<int, std::string>> m_menu;
    IDialogHandler* m_handler = nullptr;
    int m_waitDepth = 0;
    bool m_windowDirty = false;
    bool m_running = false;
};

// The application-level services and the one main dialog.
class QtBackend : public IAppPort {
public:
    // Creates the main dialog and makes the drawn icon the application's icon; needs a QApplication.
    QtBackend();

    // Qt registers its widgets itself; always true.
    bool InitCommonControls(unsigned dwSize, unsigned dwICC) override;
    // Becomes the organisation name that QSettings would file settings under; nothing is stored.
    void SetRegistryKey(const std::string& key) override;
    // The one main dialog.
    IDialogPort& MainDialogPort() override { return m_dialog; }
    // See QtDialogPort::RunModal.
    int DoModal(IDialogHandler& handler) override { return m_dialog.RunModal(handler); }

    // The same, with its Qt-specific access for tests and the benchmark.
    QtDialogPort& Dialog() { return m_dialog; }

private:
    QtDialogPort m_dialog;
};

}  // namespace quorvel::qt
