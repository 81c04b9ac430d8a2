// The Qt backend on its real widgets: the main window, keys, window menu, boxes, picker,
// report list, display escaping and progress bar one at a time, then the whole program from
// start-up through a Browse, the summary box and a fix pass to the files on disk.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

#include <QGlyphRun>
#include <QRawFont>
#include <QTest>
#include <QtWidgets>

#include "app/QuorvelApp.h"
#include "filelib/WekVerify.h"
#include "platform/qt/AppIcon.h"
#include "platform/qt/DisplayText.h"
#include "platform/qt/QtBackend.h"
#include "tests/qt/Steps.h"
#include "ui/res/Layout.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using qttest::ActiveAs;
using qttest::RunSoon;
using qttest::RunSteps;

using qt::QtBackend;
using qt::QtDialogPort;

// Counts the handler calls; OnCancel ends the run unless told to defer (as a fix pass does).
struct RecordingHandler : IDialogHandler {
    explicit RecordingHandler(IDialogPort& p) : port(p) {}
    bool OnInitDialog() override { return true; }
    void OnBnClickedBrowse() override { ++browses; }
    void OnBnClickedFixFiles() override { ++fixes; }
    void OnCancel() override {
        ++cancels;
        if (!deferCancel) port.EndDialog(IDCANCEL);
    }
    void OnSysCommand(unsigned nId, std::intptr_t lParam) override {
        EXPECT_TRUE(nId == 0x0010u && lParam == 0) << "only the About command comes, not " << nId;
        ++abouts;
    }
    void OnPaint() override { ++paints; }
    IconHandle OnQueryDragIcon() override { return 0; }

    IDialogPort& port;
    bool deferCancel = false;
    int browses = 0, fixes = 0, cancels = 0, abouts = 0, paints = 0;
};

QString AccessibleName(QWidget* w) {
    return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
}

TEST(QtMainWindow, FollowsTheLayoutTable) {
    QtBackend backend;
    QtDialogPort& port = backend.Dialog();
    QDialog& window = port.Window();
    const layout::DialogTemplate& t = layout::MainDialog();
    EXPECT_EQ(window.windowTitle(), "quorvel");
    EXPECT_EQ(window.font(), QApplication::font()) << "the desktop's font, not the template's";
    // Its size and the controls' places: tests/qt/window_test.cpp.
    EXPECT_EQ(window.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                      Qt::WindowCloseButtonHint),
              Qt::WindowCloseButtonHint);
    port.SetIcon(port.LoadAppIcon(), true);
    for (const int s : {16, 32, 48, 256}) {  // the icon, at some of its sizes
        EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(s, s))) << s;
        const QImage image = window.windowIcon().pixmap(s, s).toImage();
        EXPECT_GT(qAlpha(image.pixel(s / 2, s / 2)), 0) << s;
    }

    const auto& controls = port.Controls();
    ASSERT_EQ(controls.size(), t.controls.size());
    std::vector<QWidget*> tabStops;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const layout::Control& c = t.controls[i];
        SCOPED_TRACE(testing::Message() << "control " << c.id << " \"" << c.text << '"');
        EXPECT_EQ(controls[i]->parentWidget(), &window);
        EXPECT_TRUE(c.id == IDC_STATIC || port.Control(c.id) == controls[i]);
        // Screen readers get a name for every control: its visible text where it has one.
        const QString name = AccessibleName(controls[i]);
        EXPECT_TRUE(*c.text ? name == QString::fromUtf8(c.text) : !name.isEmpty()) << name.data();
        if (c.style & layout::style::kTabStop) tabStops.push_back(controls[i]);
    }
    EXPECT_EQ(port.Control(4242), nullptr);
    EXPECT_FALSE(port.IsDlgItemEnabled(4242));
    // The one text changed at run time keeps its accessible name in step.
    port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Searching);
    EXPECT_EQ(static_cast<QLabel*>(port.Control(IDC_STEP2_TEXT))->text(), text::kStep2Searching);
    EXPECT_EQ(AccessibleName(port.Control(IDC_STEP2_TEXT)), text::kStep2Searching);

    // Tab visits the tab stops in template order; widgets inside the list (its header,
    // scroll bars) may join in, only the order of the dialog's own controls counts.
    ASSERT_EQ(tabStops.size(), 4u);  // Fix files, Close, Browse, the list
    std::vector<QWidget*> chain;
    QWidget* w = tabStops.front();
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && std::ranges::count(tabStops, w))
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != tabStops.front());
    EXPECT_EQ(chain, tabStops);
}

// Saves what the screen shows around `widget`'s window, popups and tooltips included, as
// build/screenshots/<name>.png.
void SaveScreenshot(QWidget& widget, const QString& name);

// A deep tree for the list's presentation: folder names long enough that a path does not fit
// its column, version 3 and 4 files, and one version-4 file that turns into version 3 after
// the analysis, so that its repair fails. The real search, analysis and repair fill the list.
struct DeepTree {
    QTemporaryDir tmp;
    std::string root = QFile::encodeName(tmp.path()).toStdString();
    std::string deep = root + "/customer-archive-2023/measurements-north-site/instrument-calibration"
                              "/second-quarter/raw-exports";
    std::string deepFile = deep + "/station-17-readings.olv";
    std::string failing = root + "/customer-archive-2023/changed-meanwhile.olv";

    // Runs OnInitDialog, the search, the analysis and the failing repair into `dlg`'s list.
    void Fill(CQuorvelDlg& dlg, IListView& list) {
        ASSERT_TRUE(QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(deep))));
        for (const auto& [path, version] : std::vector<std::pair<std::string, int>>{
                 {deepFile, 4}, {deep + "/station-18-readings.olv", 3}, {failing, 4},
                 {root + "/customer-archive-2023/summary.olv", 4}})
            ASSERT_EQ(WekWriteSample(path.c_str(), version, {"alpha"}, false), WEK_OK);
        dlg.OnInitDialog();
        dlg.SearchFolder(root);
        ASSERT_EQ(list.GetItemCount(), 4);
        EXPECT_EQ(dlg.AnalyzeFiles(), 3);
        ASSERT_EQ(WekWriteSample(failing.c_str(), 3, {"alpha"}, false), WEK_OK);
        // The repair's outcome, written as the fix pass writes it.
        const ResaveResult result = ResaveAsTargetVersion(failing);
        EXPECT_FALSE(result.saved);
        list.SetItemText(Row(list, failing), 1, text::kFailedPrefix + result.reason);
    }

    static int Row(const IListView& list, const std::string& path) {
        for (int row = 0; row < list.GetItemCount(); ++row)
            if (list.GetItemText(row, 0) == path) return row;
        ADD_FAILURE() << path << " is not listed";
        return 0;
    }
};

// One source image: the window icon and the Windows icon group show the same picture. Each
// 24-bit image of quorvel.ico is the window icon's image of its size with the half-covered
// edge pixels blended onto the window face colour and the rest of the edge masked out.
TEST(QtAppIcon, IsThePictureOfTheWindowsIcon) {
    QFile file(QStringLiteral(QUORVEL_WINDOWS_ICON));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << QUORVEL_WINDOWS_ICON;
    const QByteArray ico = file.readAll();
    const auto u16 = [&](qsizetype at) { return int(qFromLittleEndian<quint16>(ico.constData() + at)); };
    const auto u32 = [&](qsizetype at) { return qsizetype(qFromLittleEndian<quint32>(ico.constData() + at)); };
    ASSERT_GE(ico.size(), 6);
    const QIcon icon = qt::MakeAppIcon();
    const int face = 192;  // the window face grey the opaque edge pixels are blended onto
    std::vector<int> compared;
    for (int i = 0; i < u16(4); ++i) {
        // The directory entry: width, ..., bits per pixel at 6, offset of the image at 12.
        const qsizetype entry = 6 + 16 * i;
        ASSERT_LE(entry + 16, ico.size());
        if (u16(entry + 6) != 24) continue;
        const int size = quint8(ico[entry]);
        // The image: a 40-byte header, bottom-up BGR rows, then the 1-bit mask (1: transparent).
        const qsizetype pixels = u32(entry + 12) + 40, stride = (size * 3 + 3) / 4 * 4;
        const qsizetype mask = pixels + stride * size, maskStride = (size + 31) / 32 * 4;
        ASSERT_LE(mask + maskStride * size, ico.size());
        const QImage png = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(png.size(), QSize(size, size));
        int differing = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const qsizetype row = size - 1 - y;
                const bool transparent = quint8(ico[mask + row * maskStride + x / 8]) & (0x80 >> (x % 8));
                const QRgb p = png.pixel(x, y);
                const int a = qAlpha(p);
                bool same = transparent == (a < 128);
                for (int c = 0; c < 3 && same && !transparent; ++c) {
                    const int shown = quint8(ico[pixels + row * stride + x * 3 + (2 - c)]);
                    const int want = ((c == 0 ? qRed(p) : c == 1 ? qGreen(p) : qBlue(p)) * a + face * (255 - a)) / 255;
                    same = std::abs(shown - want) <= 2;
                }
                differing += !same;
            }
        EXPECT_EQ(differing, 0) << size << " px";
        compared.push_back(size);
    }
    EXPECT_EQ(compared, (std::vector<int>{48, 32, 16}));
}

using Action = std::function<void(QtDialogPort&)>;

Action Press(int id, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    return [=](QtDialogPort& p) {
        QWidget* w = p.Control(id);
        w->setFocus();
        ASSERT_TRUE(w->hasFocus());
        QTest::keyClick(w, key, mods);
    };
}

// Right-clicks control `id` (0: the bare bottom-left corner of the window) and chooses the
// About item if a menu opens.
Action RightClick(int id) {
    return [=](QtDialogPort& p) {
        QWidget* target = id ? p.Control(id) : &p.Window();
        if (auto* area = qobject_cast<QAbstractScrollArea*>(target)) target = area->viewport();
        const QPoint pos = id ? target->rect().center() : QPoint(2, target->height() - 2);
        ASSERT_EQ(target->childAt(pos), nullptr) << "the widget under the mouse gets the event";
        RunSoon([] {
            if (QMenu* menu = ActiveAs<QMenu>()) {
                ASSERT_EQ(menu->actions().size(), 2);  // a separator (hidden when first), the item
                EXPECT_EQ(menu->actions().back()->text(), "&About quorvel...");
                menu->setActiveAction(menu->actions().back());
                QTest::keyClick(menu, Qt::Key_Return);
            }
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, target->mapToGlobal(pos));
        QApplication::sendEvent(target, &event);
    };
}

// Presses `key` on whatever has the focus right after start, which must be "Browse".
Action PressAtStart(Qt::Key key) {
    return [=](QtDialogPort& p) {
        ASSERT_EQ(QApplication::focusWidget(), p.Control(IDC_BROWSE));
        QTest::keyClick(QApplication::focusWidget(), key);
    };
}

// Gives each control the focus in turn, then presses `key` on the last one.
Action PressAfterFocusing(std::vector<int> ids, Qt::Key key) {
    return [=](QtDialogPort& p) {
        for (const int id : ids) {
            p.Control(id)->setFocus(Qt::TabFocusReason);
            ASSERT_TRUE(p.Control(id)->hasFocus());
        }
        QTest::keyClick(p.Control(ids.back()), key);
    };
}

struct InputCase {
    const char* name;
    bool fixEnabled;
    Action act;
    int fixes, cancels, abouts, browses;
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class QtInput : public testing::TestWithParam<InputCase> {};

// Enter clicks the focused push button; elsewhere it clicks Fix files only when that is
// enabled, and it never ends the run by itself. Escape, Close and the window's close go to
// OnCancel, which ends the run unless the handler defers. The window starts with the focus on
// Browse. The menu of the window's background and F1 send the About command; painting goes
// to OnPaint.
TEST_P(QtInput, ReachesTheHandler) {
    const InputCase& tc = GetParam();
    for (const bool defer : {false, true}) {
        SCOPED_TRACE(defer ? "the handler defers" : "the handler ends the run");
        QtBackend backend;
        QtDialogPort& port = backend.Dialog();
        QDialog& window = port.Window();
        RecordingHandler handler(port);
        handler.deferCancel = defer;
        port.EnableDlgItem(IDOK, tc.fixEnabled);
        port.AppendSystemMenu(IDM_ABOUTBOX, text::kAboutMenu);
        const bool ends = tc.cancels > 0 && !defer;
        // Inside the modal run: act, then end the run with 99 if the act did not.
        RunSoon([&] {
            window.activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
            EXPECT_EQ(port.IsDlgItemEnabled(IDOK), tc.fixEnabled);
            window.repaint();
            EXPECT_GT(handler.paints, 0) << "painting goes through the handler, as WM_PAINT does";
            tc.act(port);
            EXPECT_EQ(window.isVisible(), !ends);
            if (window.isVisible()) RunSoon([&] { port.EndDialog(99); });
        });
        EXPECT_EQ(backend.DoModal(handler), ends ? IDCANCEL : 99);
        EXPECT_EQ(std::tuple(handler.fixes, handler.cancels, handler.abouts, handler.browses),
                  std::tuple(tc.fixes, tc.cancels, tc.abouts, tc.browses));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtInput,
    testing::Values(
        // Enter on a focused push button clicks that button, whatever the default button is.
        InputCase{"EnterOnCloseFixDisabled", false, Press(IDCANCEL, Qt::Key_Return), 0, 1, 0, 0},
        InputCase{"EnterOnCloseFixEnabled", true, Press(IDCANCEL, Qt::Key_Return), 0, 1, 0, 0},
        InputCase{"EnterOnBrowse", true, Press(IDC_BROWSE, Qt::Key_Return), 0, 0, 0, 1},
        InputCase{"EnterOnFixFiles", true, Press(IDOK, Qt::Key_Return), 1, 0, 0, 0},
        // Elsewhere it clicks Fix files when that is enabled, and does nothing otherwise.
        InputCase{"EnterOnListFixDisabled", false, Press(IDC_FILE_LIST, Qt::Key_Return), 0, 0, 0, 0},
        InputCase{"EnterOnListFixEnabled", true, Press(IDC_FILE_LIST, Qt::Key_Return), 1, 0, 0, 0},
        InputCase{"KeypadEnterOnList", true,
                  Press(IDC_FILE_LIST, Qt::Key_Enter, Qt::KeypadModifier), 1, 0, 0, 0},
        // A button that had the focus hands the default back when the focus moves on.
        InputCase{"EnterOnListAfterClose", true,
                  PressAfterFocusing({IDCANCEL, IDC_FILE_LIST}, Qt::Key_Return), 1, 0, 0, 0},
        InputCase{"EnterOnListAfterCloseFixDisabled", false,
                  PressAfterFocusing({IDCANCEL, IDC_FILE_LIST}, Qt::Key_Return), 0, 0, 0, 0},
        // Right after start the focus is on Browse: neither Enter nor Space quits.
        InputCase{"EnterAtStart", false, PressAtStart(Qt::Key_Return), 0, 0, 0, 1},
        InputCase{"SpaceAtStart", false, PressAtStart(Qt::Key_Space), 0, 0, 0, 1},
        InputCase{"EscapeOnFixFiles", true, Press(IDOK, Qt::Key_Escape), 0, 1, 0, 0},
        InputCase{"EscapeInList", true, Press(IDC_FILE_LIST, Qt::Key_Escape), 0, 1, 0, 0},
        InputCase{"SpaceOnClose", true, Press(IDCANCEL, Qt::Key_Space), 0, 1, 0, 0},
        InputCase{"WindowClose", true, [](QtDialogPort& p) { p.Window().close(); }, 0, 1, 0, 0},
        InputCase{"CloseCommand", true, [](QtDialogPort& p) { p.DefaultSysCommand(0xF060, 0); },
                  0, 1, 0, 0},
        InputCase{"MenuOnBackground", true, RightClick(0), 0, 0, 1, 0},
        InputCase{"MenuOnStepText", true, RightClick(IDC_STEP2_TEXT), 0, 0, 1, 0},
        InputCase{"NoMenuOnList", true, RightClick(IDC_FILE_LIST), 0, 0, 0, 0},
        InputCase{"F1InList", true, Press(IDC_FILE_LIST, Qt::Key_F1), 0, 0, 1, 0},
        InputCase{"F1OnBrowse", false, Press(IDC_BROWSE, Qt::Key_F1), 0, 0, 1, 0}),
    [](const testing::TestParamInfo<InputCase>& p) { return p.param.name; });

TEST(QtWaitCursor, ShowsWhileMoreBeginsThanEnds) {
    QtBackend backend;
    // Begin (+) or End (-), then whether the wait cursor is the one override cursor. The third
    // End is unbalanced and ignored, so the pair after it works as before.
    const std::pair<char, bool> steps[] = {{'+', true},  {'+', true},  {'-', true}, {'-', false},
                                           {'-', false}, {'+', true}, {'-', false}};
    for (const auto& [call, waiting] : steps) {
        call == '+' ? backend.Dialog().BeginWaitCursor() : backend.Dialog().EndWaitCursor();
        const QCursor* cursor = QApplication::overrideCursor();
        EXPECT_EQ(cursor != nullptr, waiting);
        EXPECT_TRUE(!cursor || cursor->shape() == Qt::WaitCursor);
    }
}

TEST(QtAboutBox, FollowsItsTemplateAndOkClosesIt) {
    QtBackend backend;
    bool seen = false;
    RunSteps({{ActiveAs<QDialog>, [&] {
        QDialog* about = ActiveAs<QDialog>();
        seen = about != &backend.Dialog().Window();
        EXPECT_EQ(about->windowTitle(), "About quorvel");
        const auto labels = about->findChildren<QLabel*>();
        EXPECT_TRUE(std::ranges::any_of(labels, [](QLabel* l) { return !l->pixmap().isNull(); }));
        EXPECT_TRUE(std::ranges::any_of(
            labels, [](QLabel* l) { return l->text() == "quorvel Version 1.0"; }));
        ASSERT_NE(about->findChild<QPushButton*>(), nullptr);
        about->findChild<QPushButton*>()->click();
    }}});
    backend.Dialog().RunAboutBox();  // returns once the box is closed
    EXPECT_TRUE(seen);
}

// Answers the folder picker as a user would: the path set in its name field (typing would
// open the completer popup, which takes Return), then its Open button.
void ChooseFolder(const QString& path) {
    auto* name = ActiveAs<QFileDialog>()->findChild<QLineEdit*>("fileNameEdit");
    auto* buttons = ActiveAs<QFileDialog>()->findChild<QDialogButtonBox*>("buttonBox");
    ASSERT_TRUE(name && buttons && buttons->button(QDialogButtonBox::Open));
    EXPECT_TRUE(name->text().isEmpty()) << "nothing is preselected";
    name->setText(path);
    buttons->button(QDialogButtonBox::Open)->click();
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
    }
    ~ScopedEnv() { m_had ? qputenv(m_name, m_old) : qunsetenv(m_name); }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

// The picker opens in the home folder, then in the root chosen last while that exists (a
// cancelled pick changes nothing), and gives the chosen folder's bytes or nothing on cancel.
TEST(QtFolderPicker, OpensAtHomeThenAtTheLastRoot) {
    QTemporaryDir home, first, second;
    const ScopedEnv env("HOME", QFile::encodeName(home.path()));
    QtBackend backend;
    const auto picker = ActiveAs<QFileDialog>;
    std::vector<QString> openedAt;
    const auto choose = [&](const QTemporaryDir* dir) {
        return [&, dir] {
            openedAt.push_back(picker()->directory().absolutePath());
            if (dir) ChooseFolder(dir->path());
            else QTest::keyClick(picker(), Qt::Key_Escape);
        };
    };
    RunSteps({{picker, choose(&first)}, {picker, choose(nullptr)}, {picker, choose(&second)},
              {picker, choose(nullptr)}});
    const auto browse = [&] { return backend.Dialog().BrowseForFolder(text::kPickerTitle); };
    const auto bytes = [](const QTemporaryDir& d) { return QFile::encodeName(d.path()).toStdString(); };
    EXPECT_EQ(browse(), bytes(first));
    EXPECT_EQ(browse(), std::nullopt);
    EXPECT_EQ(browse(), bytes(second));
    ASSERT_TRUE(second.remove());
    EXPECT_EQ(browse(), std::nullopt);  // the last root is gone: back at home
    EXPECT_EQ(openedAt, (std::vector<QString>{home.path(), first.path(), first.path(), home.path()}));
}

TEST(QtDisplayText, EscapesExactlyTheBytesThatAreNotUtf8) {
    const std::pair<const char*, const char*> cases[] = {  // the bytes, and what is shown
        {"/data/caf\xC3\xA9.olv", "/data/caf\xC3\xA9.olv"},  // é in UTF-8
        {"/data/caf\xE9.olv", "/data/caf\\xE9.olv"},         // é in Latin-1
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},            // a 4-byte sequence
        {"\xC0\xAF", "\\xC0\\xAF"},                          // an overlong '/'
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                 // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},        // above U+10FFFF
        {"ab\xE2\x82", "ab\\xE2\\x82"},                      // cut short at the end
        {"\xE2\x82x", "\\xE2\\x82x"},                        // cut short mid-string
        {"\x80\xBF", "\\x80\\xBF"},                          // lone continuation bytes
    };
    for (const auto& [bytes, shown] : cases)
        EXPECT_EQ(qt::DisplayText(bytes).toStdString(), shown);
}

TEST(QtList, RowsKeepTheirBytesItemDataAndOrder) {
    QtBackend backend;
    qt::QtListView& list = backend.Dialog().ListView();
    const std::string latin1 = "/data/caf\xE9.olv";
    EXPECT_EQ(list.InsertItem(0, "b"), 0);
    EXPECT_EQ(list.InsertItem(99, latin1), 1);  // clamped to the end
    EXPECT_EQ(list.InsertItem(-3, "a"), 0);     // clamped to the start
    EXPECT_EQ(list.GetItemData(2), 0);
    list.SetItemText(2, 1, "4");
    list.SetItemData(2, 4);
    list.SetItemText(7, 1, "x");  // out of range: ignored
    list.SetItemData(-1, 9);
    EXPECT_EQ(list.GetItemText(2, 1), "4");
    EXPECT_EQ(list.GetItemText(2, 0), latin1) << "the original bytes, kept when column 1 is set";
    EXPECT_EQ(list.GetItemData(2), 4);
    for (const int outside : {-1, 3, 1 << 20}) {
        EXPECT_EQ(list.GetItemText(outside, 0), "");
        EXPECT_EQ(list.GetItemData(outside), 0);
    }

    std::vector<std::string> walked;
    for (int i = list.GetNextItem(-1); i != -1; i = list.GetNextItem(i))
        walked.push_back(list.GetItemText(i, 0));
    EXPECT_EQ(walked, (std::vector<std::string>{"a", "b", latin1}));

    list.DeleteItem(5);  // ignored
    list.DeleteItem(0);
    EXPECT_EQ(list.GetItemText(0, 0), "b");
    EXPECT_EQ(list.GetItemData(1), 4) << "item data moves with its row";
    list.DeleteAllItems();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetNextItem(-1), -1);
}

TEST(QtList, AfterOnInitDialogShowsReadsOutAndScrollsTheRows) {
    QtBackend backend;
    QtDialogPort& port = backend.Dialog();
    qt::QtListView& list = port.ListView();
    QTreeView& view = list.View();
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    // The columns fill the list beside its scroll bar, which is not there yet.
    const int client = view.width() - 2 * view.frameWidth();
    const int scroll = view.style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    EXPECT_EQ(list.GetClientWidth(), client);
    // Version is 80 pixels of the template's font (6 pixels a character), more in a larger one.
    const int charWidth = (QFontMetrics(view.font()).horizontalAdvance(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    const int version = std::max(80, (80 * charWidth + 3) / 6);
    EXPECT_EQ(view.header()->sectionSize(0), client - scroll - version);
    EXPECT_EQ(view.header()->sectionSize(1), version);
    EXPECT_FALSE(view.header()->stretchLastSection()) << "the columns keep the widths given";

    list.InsertItem(0, "/data/caf\xE9.olv");
    list.SetItemText(0, 1, "4");
    // Appended rows reach the view with the next repaint, as the dialog always asks for one.
    list.UpdateWindow();
    const QAbstractItemModel* model = view.model();
    // No full-row selection: only the file name of a row can be selected.
    EXPECT_TRUE(model->flags(model->index(0, 0)) & Qt::ItemIsSelectable);
    EXPECT_FALSE(model->flags(model->index(0, 1)) & Qt::ItemIsSelectable);
    // What a screen reader gets over AT-SPI: the column names and every cell's text, shown
    // as on screen. It asks from the event loop, after the view has laid out the new rows.
    QApplication::processEvents();
    QAccessibleTableInterface* table =
        QAccessible::queryAccessibleInterface(&view)->tableInterface();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->columnCount(), 2);
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(table->columnDescription(0), "File");
    EXPECT_EQ(table->columnDescription(1), "Version");
    EXPECT_EQ(model->index(0, 0).data().toString(), "/data/caf\\xE9.olv");
    EXPECT_EQ(table->cellAt(0, 0)->text(QAccessible::Name), "/data/caf\\xE9.olv");
    EXPECT_EQ(table->cellAt(0, 1)->text(QAccessible::Name), "4");

    // As the search does it: append, scroll to, repaint-now, many times in a row. The last
    // row asked for shows once the burst ends, and the columns fill the list.
    port.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
    for (int i = 1; i < 2000; ++i) {
        list.EnsureVisible(list.InsertItem(i, "/tree/f" + std::to_string(i) + ".olv"));
        list.UpdateWindow();
    }
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return view.viewport()->rect().contains(view.visualRect(model->index(1999, 0)));
    }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.verticalScrollBar()->isVisible(); }));
    EXPECT_FALSE(view.horizontalScrollBar()->isVisible());
    EXPECT_EQ(view.header()->sectionSize(0) + view.header()->sectionSize(1),
              view.viewport()->width());
    EXPECT_EQ(list.GetClientWidth(), view.viewport()->width());
    list.DeleteAllItems();
    EXPECT_EQ(view.header()->sectionSize(1), version) << "emptying the list keeps the columns";
}

// Records the texts the list's cells are drawn with, and how they are cut when too long.
class CellRecorder : public QProxyStyle {
public:
    struct Cell { QString text; Qt::TextElideMode elide; int width; QFont font; };
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (const auto* item = qstyleoption_cast<const QStyleOptionViewItem*>(option);
            item && element == CE_ItemViewItem) {
            const int margin = pixelMetric(PM_FocusFrameHMargin, option, widget) + 1;
            const int width = subElementRect(SE_ItemViewItemText, item, widget).width() - 2 * margin;
            cells[{item->index.row(), item->index.column()}] = {item->text, item->textElideMode,
                                                                width, item->font};
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
    // What the cell shows: its text as the style cuts it to the cell's width.
    QString Shown(int row, int column) const {
        const Cell& c = cells.at({row, column});
        return QFontMetrics(c.font).elidedText(c.text, c.elide, c.width);
    }
    mutable std::map<std::pair<int, int>, Cell> cells;
};

// Long paths lose their middle, so the file name stays in view; statuses lose their end; and
// every cell shows its whole text as its tooltip.
TEST(QtList, PathsLoseTheirMiddleAndEveryCellHasItsWholeTextAsTooltip) {
    CellRecorder recorder;
    QtBackend backend;
    QtDialogPort& port = backend.Dialog();
    QTreeView& view = port.ListView().View();
    view.setStyle(&recorder);
    CQuorvelDlg dlg(port);
    DeepTree tree;
    tree.Fill(dlg, port.List());
    port.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
    port.Pacer().Flush();
    view.viewport()->repaint();

    const int deepRow = DeepTree::Row(port.List(), tree.deepFile);
    const int failedRow = DeepTree::Row(port.List(), tree.failing);
    const QString ellipsis(QChar(0x2026));
    const QString deepShown = recorder.Shown(deepRow, 0);
    EXPECT_TRUE(deepShown.startsWith(QFile::decodeName(QByteArray::fromStdString(tree.root)).left(4))) << deepShown.toStdString();
    EXPECT_TRUE(deepShown.endsWith("/station-17-readings.olv")) << deepShown.toStdString();
    EXPECT_TRUE(deepShown.contains(ellipsis)) << "the path must not fit, or nothing is tested";
    const QString failedShown = recorder.Shown(failedRow, 1);
    EXPECT_TRUE(failedShown.startsWith("4 - fail") && failedShown.endsWith(ellipsis))
        << failedShown.toStdString();

    struct TipCase { int row, column; std::string whole; };
    const TipCase tips[] = {{deepRow, 0, tree.deepFile},
                            {failedRow, 1, "4 - failed: no longer version 4"},
                            {deepRow, 1, "4"}};
    for (const TipCase& tc : tips) {
        SCOPED_TRACE(tc.whole);
        const QPoint at = view.visualRect(view.model()->index(tc.row, tc.column)).center();
        QHelpEvent help(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &help);
        ASSERT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }));
        EXPECT_EQ(QToolTip::text().toStdString(), tc.whole);
        if (tc.column == 0) SaveScreenshot(port.Window(), "list_tooltip_deep_path");
        QToolTip::hideText();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
    }
    SaveScreenshot(port.Window(), "list_deep_tree_elided");

    // The row menu over the deep path, for the picture; the menu's items are tested below.
    RunSoon([&] {
        if (QMenu* menu = ActiveAs<QMenu>()) {
            SaveScreenshot(port.Window(), "list_row_menu");
            QTest::keyClick(menu, Qt::Key_Escape);
        }
    });
    const QPoint at = view.visualRect(view.model()->index(deepRow, 0)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
    QApplication::sendEvent(view.viewport(), &event);
    view.setStyle(nullptr);
}

// A stand-in for xdg-open first on the PATH: it appends the folder it is given to a log and
// exits with the status the test sets; or no xdg-open at all.
class FakeXdgOpen {
public:
    explicit FakeXdgOpen(int status, bool present = true)
        : m_path("PATH", QFile::encodeName(m_dir.path()) + (present ? ":" + qgetenv("PATH") : QByteArray())) {
        if (!present) return;
        QFile script(m_dir.filePath("xdg-open"));
        EXPECT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >>\"$(dirname \"$0\")/log\"\nexit " +
                     QByteArray::number(status) + "\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    // The folders it was asked to open, one per line.
    QByteArray Log() const {
        QFile log(m_dir.filePath("log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    ScopedEnv m_path;
};

// The list's menu: where it opens, what it offers, what each item does, and the box when the
// folder cannot be shown (no file manager set up, the folder gone, no xdg-open at all). A row
// that names a file offers its items and "Save list as..."; a sentence and the space below the
// rows offer "Save list as..." only, which is greyed while Browse is.
TEST(QtList, MenuOpensTheFoldersCopiesThePathOrSavesTheList) {
    const std::string latin1 = "/data/caf\xE9/r\xE9sum\xE9.olv";  // not UTF-8
    const QStringList fileItems{"Open containing &folder", "&Copy path", "", "Save list &as..."};
    const QStringList listItems{"Save list &as..."};
    struct MenuCase {
        const char* name;
        int row;               // -1: below the rows
        bool keyboard;         // the menu key instead of a right click
        int choose;            // 0 none, else the item's place in the menu (1-based)
        QStringList items;     // what the menu offers
        int xdgStatus;         // the stand-in's exit status; -1: no xdg-open at all
        QByteArray opened;     // what xdg-open was given
        std::string copied;    // the clipboard afterwards
        std::string box;       // the box that says the folder was not shown
        bool browse = true;    // whether Browse is enabled
    };
    const MenuCase cases[] = {
        {"OpenFolder", 0, false, 1, fileItems, 0, "/data/caf\xC3\xA9\n", "before", ""},
        {"OpenFolderOfANameThatIsNotUtf8", 2, false, 1, fileItems, 0, "/data/caf\xE9\n", "before", ""},
        {"OpenFolderAtTheTop", 3, false, 1, fileItems, 0, "/\n", "before", ""},
        {"NoFileManager", 0, false, 1, fileItems, 3, "/data/caf\xC3\xA9\n", "before",
         "The folder /data/caf\xC3\xA9 could not be opened: no file manager is set up to show it."},
        {"FolderGone", 2, false, 1, fileItems, 2, "/data/caf\xE9\n", "before",
         "The folder /data/caf\\xE9 could not be opened: it no longer exists."},
        {"NoXdgOpen", 0, false, 1, fileItems, -1, "", "before",
         "The folder /data/caf\xC3\xA9 could not be opened: no file manager is set up to show it."},
        {"CopyPath", 0, false, 2, fileItems, 0, "", "/data/caf\xC3\xA9/a b.olv", ""},
        {"CopyPathNotUtf8", 2, false, 2, fileItems, 0, "", "$'/data/caf\\xe9/r\\xe9sum\\xe9.olv'", ""},
        {"MenuKeyOnCurrentRow", 0, true, 2, fileItems, 0, "", "/data/caf\xC3\xA9/a b.olv", ""},
        {"SentenceOffersSaveListOnly", 1, false, 0, listItems, 0, "", "before", ""},
        {"BelowTheRowsOffersSaveListOnly", -1, false, 0, listItems, 0, "", "before", ""},
        {"SaveListGreyedDuringWork", -1, false, 0, listItems, 0, "", "before", "", false},
    };
    for (const MenuCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        FakeXdgOpen desktop(std::max(tc.xdgStatus, 0), tc.xdgStatus >= 0);
        QtBackend backend;
        QtDialogPort& port = backend.Dialog();
        CQuorvelDlg dlg(port);
        dlg.OnInitDialog();
        for (const std::string& text : {std::string("/data/caf\xC3\xA9/a b.olv"),
                                        std::string(text::kNoFilesRow), latin1, std::string("/top.olv")})
            port.List().InsertItem(port.List().GetItemCount(), text);
        port.List().SetItemText(0, 1, "4");
        port.EnableDlgItem(IDC_BROWSE, tc.browse);
        port.Window().show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
        port.Pacer().Flush();
        QTreeView& view = port.ListView().View();
        QGuiApplication::clipboard()->setText("before");

        QStringList items;
        bool saveEnabled = false;
        RunSoon([&] {
            QMenu* menu = ActiveAs<QMenu>();
            if (!menu) return;
            for (QAction* a : menu->actions()) items << a->text();
            saveEnabled = menu->actions().back()->isEnabled();
            if (tc.choose) menu->setActiveAction(menu->actions()[tc.choose - 1]);
            QTest::keyClick(menu, tc.choose ? Qt::Key_Return : Qt::Key_Escape);
        });
        QWidget* viewport = view.viewport();
        if (tc.keyboard) {
            view.setCurrentIndex(view.model()->index(tc.row, 0));
            const QPoint at(5, 5);  // ignored: the menu is for the current row
            QContextMenuEvent event(QContextMenuEvent::Keyboard, at, viewport->mapToGlobal(at));
            QApplication::sendEvent(viewport, &event);
        } else {
            const QPoint at = tc.row >= 0 ? view.visualRect(view.model()->index(tc.row, 0)).center()
                                          : QPoint(5, viewport->height() - 5);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
            QApplication::sendEvent(viewport, &event);
        }
        QApplication::processEvents();
        EXPECT_EQ(items, tc.items);
        EXPECT_EQ(saveEnabled, tc.browse);
        // xdg-open reports by its exit status, which comes while the window goes on.
        EXPECT_TRUE(QTest::qWaitFor([&] { return port.ListActions().Opener().Running() == 0; }));
        EXPECT_EQ(desktop.Log(), tc.opened);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), tc.copied);
        QMessageBox* box = nullptr;
        // A box that is due comes within seconds; one that is not must not come either.
        const bool shown = QTest::qWaitFor([&] {
            box = port.Window().findChild<QMessageBox*>();
            return box && box->isVisible();
        }, tc.box.empty() ? 100 : 5000);
        EXPECT_EQ(shown, !tc.box.empty());
        EXPECT_EQ(box ? box->text().toStdString() : std::string(), tc.box);
        if (box && tc.xdgStatus == 3) SaveScreenshot(*box, "folder_not_opened_box");
        if (box) box->close();
    }
}

// Ctrl+C copies the selected rows, in row order, as "path<TAB>version" lines; with nothing
// selected the clipboard keeps what it had. A name that is not UTF-8 or holds a control
// character (a newline would break the line, a tab the columns) is copied in the form a shell
// reads back as exactly its bytes; other names are copied as they are.
TEST(QtList, CtrlCCopiesTheSelectedRows) {
    QtBackend backend;
    QtDialogPort& port = backend.Dialog();
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    const char* const rows[][2] = {{"/t/a.olv", "4 - resaved"}, {"/t/b c\\d.olv", "3"},
                                   {"/t/caf\xE9.olv", "4 - failed: no longer version 4"},
                                   {"/t/two\nlines.olv", "4"}, {"/t/tab\there's.olv", "5"},
                                   {"/t/\xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80.olv", "4"}};
    for (const auto& [path, version] : rows) {
        const int row = port.List().InsertItem(port.List().GetItemCount(), path);
        port.List().SetItemText(row, 1, version);
    }
    port.List().UpdateWindow();  // as the dialog asks after every change: the view takes the rows
    QTreeView& view = port.ListView().View();
    const struct { std::vector<int> selected; std::string copied; } cases[] = {
        {{}, "before"},
        {{1}, "/t/b c\\d.olv\t3"},
        {{2, 0}, "/t/a.olv\t4 - resaved\n$'/t/caf\\xe9.olv'\t4 - failed: no longer version 4"},
        {{3, 4}, "$'/t/two\\nlines.olv'\t4\n$'/t/tab\\there\\'s.olv'\t5"},
        {{5}, "/t/\xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80.olv\t4"},
    };
    for (const auto& tc : cases) {
        QGuiApplication::clipboard()->setText("before");
        view.clearSelection();
        for (const int row : tc.selected)
            view.selectionModel()->select(view.model()->index(row, 0), QItemSelectionModel::Select);
        view.setFocus();
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), tc.copied);
    }
}

// Rows are as tall as a line of every font their names need: a name in a script the desktop's
// font lacks is drawn in a fallback font (CJK, emoji, ...), and a row only as tall as the
// desktop's font would cut its lower part, underscores first.
TEST(QtList, RowsAreTallEnoughForFallbackFonts) {
    for (const int points : {0, 14}) {
        SCOPED_TRACE(testing::Message() << points << " pt");
        QFont desktop = QApplication::font();
        if (points) desktop.setPointSize(points);
        const QFont old = QApplication::font();
        QApplication::setFont(desktop);
        {
            QtBackend backend;
            QtDialogPort& port = backend.Dialog();
            CQuorvelDlg dlg(port);
            dlg.OnInitDialog();
            const char* const names[] = {
                "/t/plain_name.olv",
                "/t/\xE6\xBC\xA2\xE5\xAD\x97_\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88.olv",  // CJK
                "/t/\xF0\x9F\x98\x80_smile.olv",                                          // emoji
            };
            for (const char* name : names) port.List().InsertItem(port.List().GetItemCount(), name);
            port.List().UpdateWindow();
            port.Window().show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&port.Window()));
            port.Pacer().Flush();
            QTreeView& view = port.ListView().View();
            bool tallerFallback = false;
            for (int row = 0; row < port.List().GetItemCount(); ++row) {
                const QString shown = view.model()->index(row, 0).data().toString();
                QTextLayout layout(shown, view.font());
                layout.beginLayout();
                layout.createLine();
                layout.endLayout();
                // Every font the name is drawn in, each from its ascent to its descent.
                qreal ascent = 0, descent = 0;
                for (const QGlyphRun& run : layout.glyphRuns()) {
                    ascent = std::max(ascent, run.rawFont().ascent());
                    descent = std::max(descent, run.rawFont().descent());
                }
                const QFontMetricsF own(view.font());
                tallerFallback |= ascent + descent > own.ascent() + own.descent() + 0.5;
                EXPECT_GE(view.visualRect(view.model()->index(row, 0)).height(), ascent + descent) << names[row];
            }
            EXPECT_TRUE(tallerFallback) << "a fallback font taller than the desktop's is needed for "
                                           "this test (fonts-droid-fallback)";
            SaveScreenshot(port.Window(), points ? "list_fallback_fonts_14pt" : "list_fallback_fonts");
        }
        QApplication::setFont(old);
    }
}

TEST(QtProgress, ClampsLikeANativeBarOverTheFullIntRange) {
    QtBackend backend;
    qt::QtProgressBar& progress = backend.Dialog().ProgressBar();
    auto* bar = static_cast<QProgressBar*>(backend.Dialog().Control(IDC_PROGRESS));
    EXPECT_FALSE(bar->isTextVisible());
    // Range a..b or position a, then the bar's minimum, maximum and value afterwards.
    struct Change { bool isRange; int a, b, minimum, maximum, value; };
    const Change changes[] = {
        {true, 0, 200000, 0, 200000, 0}, {false, 70000, 0, 0, 200000, 70000},  // beyond 16 bits
        {true, 0, 500000, 0, 500000, 70000},  // a new range keeps the position,
        {true, 0, 10, 0, 10, 10},             // or clamps it
        {false, 25, 0, 0, 10, 10}, {false, -4, 0, 0, 10, 0}, {false, 4, 0, 0, 10, 4},
        // An empty range shows an empty bar, not a busy one.
        {true, 0, 0, 0, 1, 0}, {false, 5, 0, 0, 1, 0}, {true, 0, 3, 0, 3, 0},
    };
    for (const Change& s : changes) {
        SCOPED_TRACE(testing::Message() << (s.isRange ? "range " : "pos ") << s.a << ' ' << s.b);
        s.isRange ? progress.SetRange(s.a, s.b) : progress.SetPos(s.a);
        EXPECT_EQ(progress.Pos(), s.value);
        backend.Dialog().Pacer().Flush();  // the bar itself shows it from the next paint on
        EXPECT_EQ(std::tuple(bar->minimum(), bar->maximum(), bar->value()),
                  std::tuple(s.minimum, s.maximum, s.value));
    }
}

// A file's bytes and modification time.
std::tuple<std::string, long, long> Contents(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return {bytes.str(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

void SaveScreenshot(QWidget& window, const QString& name) {
    const QString dir = QStringLiteral(QUORVEL_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    // The window with what opened over it (a menu, a tooltip), each drawn where the screen
    // has it: the offscreen screen keeps every window apart.
    QWidget* top = window.window();
    std::vector<QWidget*> layers{top};
    QRect area = top->geometry();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != top && w->isVisible() && (w->inherits("QMenu") || w->inherits("QTipLabel"))) {
            layers.push_back(w);
            area |= w->geometry();
        }
    QPixmap shot(area.size());
    shot.fill(QColor(64, 64, 64));
    QPainter painter(&shot);
    for (QWidget* w : layers) painter.drawPixmap(w->geometry().topLeft() - area.topLeft(), w->grab());
    painter.end();
    EXPECT_TRUE(shot.save(dir + "/" + name + ".png", "PNG")) << name.toStdString();
}

TEST(QtEndToEnd, BrowseReadSummaryFixAndClose) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const std::string root = QFile::encodeName(tmp.path()).toStdString();
    // Version 0: plain text, not an .olv file. Listed: the name ends in .olv (any case).
    struct PlannedFile { std::string rel; int version; bool fault, listed; };
    const PlannedFile plan[] = {
        {"a.olv", 4, true, true},          {"v1.olv", 1, false, true},
        {"notes.txt", 0, false, false},    {"sub/b.olv", 4, true, true},
        {"sub/v3.olv", 3, false, true},    {"sub/deeper/c.OLV", 4, false, true},
        {"sub/deeper/v5.olv", 5, false, true}, {"sub/deeper/text.olv", 0, false, true},
        {"caf\xE9.olv", 4, true, true},  // a name that is not UTF-8
    };
    ASSERT_TRUE(QDir(tmp.path()).mkpath("sub/deeper") && QDir(tmp.path()).mkpath("empty"));
    std::map<std::string, std::tuple<std::string, long, long>> untouched;
    std::map<std::string, std::string> expectedAtSummary, expectedAfterFix;
    for (const PlannedFile& f : plan) {
        const std::string path = root + "/" + f.rel;
        if (f.version == 0) {
            std::ofstream(path, std::ios::binary) << "plain text, not an .olv file\n";
        } else {
            ASSERT_EQ(WekWriteSample(path.c_str(), f.version, {"alpha", "beta", "gamma"}, f.fault),
                      WEK_OK);
        }
        ASSERT_TRUE(!f.fault || WekVerify(path.c_str()) != WEK_OK) << "no fault to repair";
        if (f.version != 4) untouched[path] = Contents(path);
        if (f.listed) {
            expectedAtSummary[path] = std::to_string(f.version);
            expectedAfterFix[path] = f.version == 4 ? text::kResaved : std::to_string(f.version);
        }
    }

    qt::QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    QDialog& window = port.Window();
    auto* bar = static_cast<QProgressBar*>(port.Control(IDC_PROGRESS));
    const auto click = [&](int id) {
        RunSoon([&, id] { QTest::mouseClick(port.Control(id), Qt::LeftButton); });
    };
    const auto rows = [&] {
        std::map<std::string, std::string> shown;
        for (int i = port.List().GetNextItem(-1); i != -1; i = port.List().GetNextItem(i))
            shown[port.List().GetItemText(i, 0)] = port.List().GetItemText(i, 1);
        return shown;
    };
    const auto idle = [&] { return QApplication::activeModalWidget() == &window; };
    const auto fixable = [&] { return idle() && port.Control(IDOK)->isEnabled(); };
    const auto picker = ActiveAs<QFileDialog>;
    const auto box = ActiveAs<QMessageBox>;
    RunSteps({
        {idle, [&] {
             SaveScreenshot(window, "main_window_start");
             click(IDC_BROWSE);
         }},
        {picker, [&] {  // a folder picker in the home folder: choose the tree's root
             EXPECT_EQ(picker()->windowTitle(), "Root directory for .olv file search");
             EXPECT_EQ(picker()->directory().absolutePath(), QDir::homePath());
             EXPECT_EQ(picker()->fileMode(), QFileDialog::Directory);
             EXPECT_TRUE(picker()->testOption(QFileDialog::ShowDirsOnly));
             // The desktop's own picker where the platform has one; this platform has none.
             EXPECT_FALSE(picker()->testOption(QFileDialog::DontUseNativeDialog));
             ChooseFolder(tmp.path());
         }},
        {box, [&] {  // the summary in a plain box, with the analysed list behind it
             const QString summary = "Search complete.  4 version 4 .olv files were found.";
             EXPECT_EQ(box()->windowTitle(), "quorvel");
             EXPECT_EQ(box()->icon(), QMessageBox::NoIcon);
             ASSERT_EQ(box()->buttons().size(), 1);
             EXPECT_EQ(box()->standardButton(box()->buttons().front()), QMessageBox::Ok);
             // The text, which a screen reader finds as the name of an object in the box.
             const auto named = [&](QWidget* w) { return AccessibleName(w) == summary; };
             EXPECT_TRUE(std::ranges::any_of(box()->findChildren<QWidget*>(), named));
             EXPECT_EQ(rows(), expectedAtSummary);
             box()->buttons().front()->click();
         }},
        {fixable, [&] {
             SaveScreenshot(window, "main_window_after_browse");
             click(IDOK);
         }},
        // The pass has ended once the bar shows its last position (after the last paced repaint).
        {[&] { return !theApp.m_pMainWnd->IsFixPassRunning() && fixable() &&
                      bar->value() == port.ProgressBar().Pos(); },
         [&] {
             EXPECT_EQ(rows(), expectedAfterFix);
             EXPECT_EQ(bar->value(), 4);
             SaveScreenshot(window, "main_window_after_fix");
             click(IDCANCEL);
         }},
    });
    theApp.SetPlatform(&backend);
    EXPECT_FALSE(theApp.InitInstance());
    theApp.SetPlatform(nullptr);

    for (const PlannedFile& f : plan) {
        const std::string path = root + "/" + f.rel;
        if (f.version == 4) {
            std::string detail;
            EXPECT_EQ(WekVerify(path.c_str(), &detail), WEK_OK) << path << ": " << detail;
        } else {
            EXPECT_EQ(Contents(path), untouched[path]) << path;
        }
    }
}

// Started on a folder, the program browses it without the picker. "Save list as..." in the
// list's menu writes every row in the list's order, tab-separated, to the file chosen in the
// save dialog; a file that cannot be written is said in a box, and nothing else changes.
TEST(QtEndToEnd, StartsOnAFolderAndSavesTheList) {
    QTemporaryDir tmp, out;
    const std::string root = QFile::encodeName(tmp.path()).toStdString();
    ASSERT_TRUE(QDir(tmp.path()).mkpath("sub"));
    const std::pair<std::string, int> files[] = {{"/a.olv", 4}, {"/sub/b\nc.olv", 3}, {"/sub/caf\xE9.olv", 4}};
    for (const auto& [rel, version] : files)
        ASSERT_EQ(WekWriteSample((root + rel).c_str(), version, {"alpha"}, false), WEK_OK);
    const QString saved = out.filePath("list.txt");
    const QString unwritable = "/proc/olv-files.txt";  // no new file there, not even for root

    qt::QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    QDialog& window = port.Window();
    bool pickerSeen = false;
    const auto idle = [&] { return QApplication::activeModalWidget() == &window; };
    const auto box = ActiveAs<QMessageBox>;
    const auto saver = [] {
        auto* dialog = ActiveAs<QFileDialog>();
        return dialog && dialog->acceptMode() == QFileDialog::AcceptSave ? dialog : nullptr;
    };
    const auto saveList = [&] {
        RunSoon([&] {
            if (QMenu* menu = ActiveAs<QMenu>()) {
                menu->setActiveAction(menu->actions().back());
                QTest::keyClick(menu, Qt::Key_Return);
            }
        });
        QTreeView& view = port.ListView().View();
        const QPoint at = view.visualRect(view.model()->index(0, 0)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &event);
    };
    const auto chooseFile = [&](const QString& path) {
        return [&, path] {
            EXPECT_EQ(saver()->windowTitle(), "Save list as");
            auto* name = saver()->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(name, nullptr);
            EXPECT_EQ(name->text(), "olv-files.txt");
            name->setText(path);
            saver()->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Save)->click();
        };
    };
    RunSteps({
        {[&] { pickerSeen |= ActiveAs<QFileDialog>() != nullptr; return box() != nullptr; },
         [&] {
             EXPECT_EQ(box()->text(), "Search complete.  2 version 4 .olv files were found.");
             box()->buttons().front()->click();
         }},
        {idle, [&] { RunSoon(saveList); }},
        {saver, chooseFile(saved)},
        {[&] { return idle() && QFileInfo::exists(saved); }, [&] { RunSoon(saveList); }},
        {saver, chooseFile(unwritable)},
        {box, [&] {
             EXPECT_EQ(box()->text(), "The list could not be saved to /proc/olv-files.txt: No such file or directory.");
             SaveScreenshot(*box(), "save_list_failed_box");
             box()->buttons().front()->click();
         }},
        {idle, [&] {
             EXPECT_TRUE(port.IsDlgItemEnabled(IDC_BROWSE) && port.IsDlgItemEnabled(IDOK))
                 << "the buttons as they were before the save";
             QTest::mouseClick(port.Control(IDCANCEL), Qt::LeftButton);
         }},
    });
    theApp.SetPlatform(&backend);
    theApp.SetStartFolder(root);
    theApp.InitInstance();
    theApp.SetStartFolder("");
    theApp.SetPlatform(nullptr);

    EXPECT_FALSE(pickerSeen) << "a start folder is browsed without the picker";
    // Each row as a line, in the order the list shows them (the order the folders list them).
    std::map<std::string, std::string> lines = {
        {root + "/a.olv", root + "/a.olv\t4\n"},
        {root + "/sub/b\nc.olv", "$'" + root + "/sub/b\\nc.olv'\t3\n"},
        {root + "/sub/caf\xE9.olv", "$'" + root + "/sub/caf\\xe9.olv'\t4\n"}};
    std::string expected;
    for (int row = 0; row < port.List().GetItemCount(); ++row) expected += lines[port.List().GetItemText(row, 0)];
    ASSERT_EQ(port.List().GetItemCount(), 3);
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll().toStdString(), expected);
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"list.txt"})
        << "no temporary file is left";
}

}  // namespace
}  // namespace quorvel

#include "backend_test.moc"

int main(int argc, char** argv) { return quorvel::qttest::RunAllTests(argc, argv, quorvel::text::kAppName); }
