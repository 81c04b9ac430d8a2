#include "platform/qt/QtBackend.h"

#include <sys/stat.h>

#include <functional>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDialog>
#include <QEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLayout>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>

#include "platform/qt/AppIcon.h"
#include "platform/qt/DialogBuilder.h"
#include "platform/qt/DisplayText.h"
#include "ui/res/Layout.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::qt {

namespace {

// The handle LoadAppIcon hands out for the drawn application icon.
constexpr IconHandle kAppIconHandle = IDR_MAINFRAME;
// The window-menu close command.
constexpr unsigned kScClose = 0xF060;

// A window with a title bar and a close button, no minimise or maximise box, that the user
// may resize (TemplateLayout gives the room to the list); a normal window rather than a
// transient dialog, so it gets a taskbar entry.
constexpr Qt::WindowFlags kMainWindowFlags = Qt::Window | Qt::CustomizeWindowHint |
                                             Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                             Qt::WindowCloseButtonHint;
constexpr Qt::WindowFlags kAboutWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                              Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                              Qt::WindowCloseButtonHint;

class NullPaintContext : public IPaintContext {
public:
    void EraseIconBackground() override {}
    void DrawIcon(int, int) override {}
};

// Takes the wake-up events Wake posts from worker threads; receiving one is all they are for.
class WakeTarget : public QObject {
public:
    explicit WakeTarget(std::atomic<bool>& posted) : m_posted(posted) {}
    static QEvent::Type Type() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    bool event(QEvent* e) override {
        if (e->type() != Type()) return QObject::event(e);
        // Cleared before the waiting handler looks at its work, so a later Wake posts again.
        m_posted.store(false);
        return true;
    }

private:
    std::atomic<bool>& m_posted;
};

}  // namespace

// The main window: Escape, "Close" and the window's close button all come here as reject(),
// which the dialog logic answers (it may defer the close during a fix pass).
class MainWindow : public QDialog {
public:
    MainWindow() { setWindowFlags(kMainWindowFlags); }

    std::function<void()> onCancel;
    std::function<void(const QPoint&)> onContextMenu;
    std::function<void()> onPaint;
    // The size the window was given for its screen; a window resized since is left alone.
    QSize fitted;

    void reject() override {
        if (onCancel) onCancel();
        else QDialog::reject();
    }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override {
        if (onContextMenu) onContextMenu(event->globalPos());
    }
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        // The window manager tells the decoration it puts around the window only once the
        // window is mapped: the window is checked against the work area again then, unless
        // the user has resized it meanwhile.
        for (const int ms : {0, 250, 1000})
            QTimer::singleShot(ms, this, [this] {
                if (size() != fitted) return;
                KeepOnWorkArea(*this);
                fitted = size();
            });
    }
    void paintEvent(QPaintEvent* event) override {
        QDialog::paintEvent(event);
        if (onPaint) onPaint();
    }
};

QtDialogPort::QtDialogPort()
    : m_icon(MakeAppIcon()),
      m_window(std::make_unique<MainWindow>()),
      m_controls(BuildDialog(*m_window, layout::MainDialog(), m_icon)),
      m_pacer([this] { PaintNow(); }),
      m_list(*static_cast<ReportView*>(Control(IDC_FILE_LIST)), m_pacer),
      m_progress(*static_cast<QProgressBar*>(Control(IDC_PROGRESS)), m_pacer),
      m_listConventions(m_list.View(), m_list),
      m_wakeTarget(std::make_unique<WakeTarget>(m_wakePosted)) {
    FitToScreen();
    m_listConventions.onSaveList = [this] {
        if (m_handler) m_handler->OnSaveListAs();
    };
    // While work runs, Browse is disabled, and so is saving the list.
    m_listConventions.canSaveList = [this] { return IsDlgItemEnabled(IDC_BROWSE); };
    m_listConventions.Opener().onFailed = [this](const std::string& folder, const char* reason) {
        ShowFolderNotOpened(folder, reason);
    };
    m_window->onCancel = [this] {
        if (m_handler) m_handler->OnCancel();
    };
    m_window->onContextMenu = [this](const QPoint& pos) { ShowMenu(pos); };
    m_window->onPaint = [this] {
        if (m_handler) m_handler->OnPaint();
    };
    const auto route = [this](int id, void (IDialogHandler::*handler)()) {
        QObject::connect(static_cast<QPushButton*>(Control(id)), &QPushButton::clicked,
                         [this, handler] {
                             if (m_handler) (m_handler->*handler)();
                         });
    };
    route(IDOK, &IDialogHandler::OnBnClickedFixFiles);
    route(IDCANCEL, &IDialogHandler::OnCancel);
    route(IDC_BROWSE, &IDialogHandler::OnBnClickedBrowse);
    // There is no window menu to find About in: F1, the desktop's help key, opens it too.
    QObject::connect(new QShortcut(QKeySequence::HelpContents, m_window.get()),
                     &QShortcut::activated, [this] {
                         if (m_handler) m_handler->OnSysCommand(IDM_ABOUTBOX, 0);
                     });
}

QtDialogPort::~QtDialogPort() = default;

void QtDialogPort::FitToScreen() {
    QScreen* screen = m_window->screen();
    if (!screen) return;
    // The decoration the platform gives windows, where it knows it before they are shown.
    m_window->winId();
    QMargins frame = m_window->windowHandle() ? m_window->windowHandle()->frameMargins() : QMargins();
    if (frame.isNull()) frame = AssumedFrame();
    FitToWorkArea(*m_window, screen->availableGeometry(), frame);
    m_window->fitted = m_window->size();
}

void QtDialogPort::ShowFolderNotOpened(const std::string& folder, const char* reason) {
    const std::string message = text::FormatLine(text::kOpenFolderFailed, folder, reason);
    // Not modal to the program: it comes whenever xdg-open ends, maybe while work runs.
    auto* box = new QMessageBox(QMessageBox::NoIcon, DisplayText(text::kAppName),
                                DisplayText(message), QMessageBox::Ok, m_window.get());
    box->setTextFormat(Qt::PlainText);
    box->setAccessibleDescription(box->text());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

QDialog& QtDialogPort::Window() { return *m_window; }

QWidget* QtDialogPort::Control(int nId) const {
    const auto controls = layout::MainDialog().controls;
    for (std::size_t i = 0; i < controls.size() && i < m_controls.size(); ++i)
        if (controls[i].id == nId) return m_controls[i];
    return nullptr;
}

void QtDialogPort::SetDlgItemText(int nId, const std::string& text) {
    QWidget* w = Control(nId);
    const QString shown = DisplayText(text);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(shown);
        // Handlers change texts while they keep the event loop waiting ("please wait ..."):
        // the text gets the room it needs and shows at once.
        m_window->layout()->activate();
        label->repaint();
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        button->setText(shown);
    } else {
        return;
    }
    w->setAccessibleName(shown);
}

void QtDialogPort::EnableDlgItem(int nId, bool bEnable) {
    if (QWidget* w = Control(nId)) w->setEnabled(bEnable);
}

bool QtDialogPort::IsDlgItemEnabled(int nId) const {
    const QWidget* w = Control(nId);
    return w && w->isEnabledTo(m_window.get());
}

void QtDialogPort::GotoDlgItem(int nId) {
    if (QWidget* w = Control(nId)) w->setFocus(Qt::OtherFocusReason);
}

bool QtDialogPort::AppendSystemMenu(int nCommand, const std::string& text) {
    m_menu.emplace_back(nCommand, text);
    return true;
}

void QtDialogPort::ShowMenu(const QPoint& globalPos) {
    if (m_menu.empty()) return;
    QMenu menu(m_window.get());
    std::map<QAction*, int> commands;
    for (const auto& [command, text] : m_menu) {
        menu.addSeparator();  // a leading separator is collapsed by QMenu
        commands[menu.addAction(DisplayText(text))] = command;
    }
    QAction* chosen = menu.exec(globalPos);
    if (chosen && m_handler) m_handler->OnSysCommand(static_cast<unsigned>(commands[chosen]), 0);
}

IconHandle QtDialogPort::LoadAppIcon() { return kAppIconHandle; }

void QtDialogPort::SetIcon(IconHandle hIcon, bool /*bBig*/) {
    if (hIcon == kAppIconHandle) m_window->setWindowIcon(m_icon);
}

std::string QtDialogPort::LoadString(int nId) {
    return nId == IDS_ABOUTBOX ? text::kAboutMenu : std::string();
}

void QtDialogPort::MessageBox(const std::string& text) {
    // The final state of the pass that leads to the box shows behind it.
    m_pacer.Flush();
    const QString shown = DisplayText(text);
    QMessageBox box(QMessageBox::NoIcon, DisplayText(text::kAppName), shown, QMessageBox::Ok,
                    m_window.get());
    box.setTextFormat(Qt::PlainText);
    box.setAccessibleDescription(shown);
    box.exec();
}

std::optional<std::string> QtDialogPort::BrowseForFolder(const std::string& title) {
    m_pacer.Flush();
    if (folderPickerForTest) return folderPickerForTest(title);
    // The desktop's own picker where the platform theme offers one (the desktop portal, GTK,
    // KDE), Qt's otherwise. It opens where the user is at home, later in the root chosen last.
    if (m_pickerStart.isEmpty() || !QDir(m_pickerStart).exists()) m_pickerStart = QDir::homePath();
    QFileDialog picker(m_window.get(), DisplayText(title), m_pickerStart);
    picker.setFileMode(QFileDialog::Directory);
    picker.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (picker.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = picker.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    const QByteArray path = QFile::encodeName(chosen.first());
    // A name the picker could not decode does not encode back to the same bytes; such a
    // choice leads to no folder and counts as one without a file-system path.
    struct stat st {};
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    m_pickerStart = chosen.first();
    return path.toStdString();
}

std::optional<std::string> QtDialogPort::SaveFileDialog(const std::string& title, const std::string& name) {
    m_pacer.Flush();
    if (m_saveStart.isEmpty() || !QDir(m_saveStart).exists()) m_saveStart = QDir::homePath();
    QFileDialog dialog(m_window.get(), DisplayText(title), QDir(m_saveStart).filePath(DisplayText(name)));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("Text files (*.txt)"), QStringLiteral("All files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    m_saveStart = QFileInfo(chosen.first()).absolutePath();
    return QFile::encodeName(chosen.first()).toStdString();
}

void QtDialogPort::BeginWaitCursor() {
    if (m_waitDepth++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtDialogPort::EndWaitCursor() {
    if (m_waitDepth == 0) return;
    if (--m_waitDepth == 0) QApplication::restoreOverrideCursor();
}

void QtDialogPort::RedrawWindow() {
    m_windowDirty = true;
    m_pacer.Request();
}

void QtDialogPort::PaintNow() {
    m_list.ApplyPending();
    m_progress.ApplyPending();
    if (m_windowDirty)
        m_window->repaint();
    else
        m_list.View().repaint();
    m_windowDirty = false;
}

void QtDialogPort::PumpMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void QtDialogPort::WaitForEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtDialogPort::FinishPendingInput() {
    // A screen reader's or test tool's press (the accessible press action) holds the button
    // down and clicks it on a timer a moment later; a key or mouse press held down is let go
    // by the user. Either way its click belongs before the box or the close that comes next.
    const auto anyDown = [this] {
        for (QWidget* w : m_controls)
            if (auto* button = qobject_cast<QPushButton*>(w); button && button->isDown()) return true;
        return false;
    };
    QDeadlineTimer deadline(500);
    while (anyDown() && !deadline.hasExpired()) {
        // Wakes the wait below within a few milliseconds whatever else happens.
        QTimer tick;
        tick.start(10);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void QtDialogPort::Wake() {
    if (!m_wakePosted.exchange(true))
        QCoreApplication::postEvent(m_wakeTarget.get(), new QEvent(WakeTarget::Type()));
}

void QtDialogPort::RunAboutBox() {
    m_pacer.Flush();
    QDialog about(m_window.get(), kAboutWindowFlags);
    // In the main window's font, which may be smaller than the desktop's on a small screen.
    const std::vector<QWidget*> controls =
        BuildDialog(about, layout::AboutDialog(), m_icon, m_window->font());
    const auto templ = layout::AboutDialog().controls;
    for (std::size_t i = 0; i < templ.size(); ++i)
        if (templ[i].id == IDOK)
            QObject::connect(static_cast<QPushButton*>(controls[i]), &QPushButton::clicked,
                             &about, &QDialog::accept);
    about.exec();
}

void QtDialogPort::EndDialog(int nResult) {
    if (m_running) m_window->done(nResult);
}

void QtDialogPort::DefaultSysCommand(unsigned nId, std::intptr_t /*lParam*/) {
    if ((nId & 0xFFF0) == kScClose && m_handler) m_handler->OnCancel();
}

bool QtDialogPort::IsIconic() const { return m_window->isMinimized(); }

std::unique_ptr<IPaintContext> QtDialogPort::BeginPaint() {
    return std::make_unique<NullPaintContext>();
}

int QtDialogPort::GetIconWidth() const {
    return m_window->style()->pixelMetric(QStyle::PM_LargeIconSize);
}

int QtDialogPort::GetIconHeight() const { return GetIconWidth(); }

int QtDialogPort::GetClientWidth() const { return m_window->width(); }

int QtDialogPort::GetClientHeight() const { return m_window->height(); }

int QtDialogPort::RunModal(IDialogHandler& handler) {
    m_handler = &handler;
    m_running = true;
    handler.OnInitDialog();
    // The dialog would focus its first enabled tab stop, "Close" while "Fix files" is
    // disabled, and Space would then quit. Step 1 is "Browse", as on Windows.
    Control(IDC_BROWSE)->setFocus(Qt::OtherFocusReason);
    // Once the modal run is under way with the window on screen.
    QTimer::singleShot(0, m_window.get(), [this] {
        if (m_handler) m_handler->OnWindowShown();
    });
    const int result = m_window->exec();
    m_running = false;
    m_handler = nullptr;
    return result;
}

QtBackend::QtBackend() { QApplication::setWindowIcon(m_dialog.AppIcon()); }

bool QtBackend::InitCommonControls(unsigned, unsigned) { return true; }

void QtBackend::SetRegistryKey(const std::string& key) {
    QCoreApplication::setOrganizationName(QString::fromUtf8(key.c_str()));
}

}  // namespace quorvel::qt
