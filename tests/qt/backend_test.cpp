// The Qt backend's main window, keys, window menu, boxes and picker on the real widgets.

#include <gtest/gtest.h>

#include <cmath>

#include <QAccessible>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "platform/qt/QtBackend.h"
#include "tests/qt/QtTestSupport.h"
#include "ui/Layout.h"
#include "ui/QuorvelDlg.h"
#include "ui/Texts.h"
#include "ui/resource.h"

namespace quorvel {
namespace {

using qt::QtBackend;
using test::RecordingHandler;
using test::RunSoon;
using test::WhenShown;

// Pixels of a dialog-unit rectangle as the Windows dialog manager computes them, derived
// here from the font on its own: base units from the 52 letters' width and the font height.
QRect ExpectedRect(const QFont& font, int x, int y, int cx, int cy) {
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int baseX = (letters / 26 + 1) / 2;
    const int baseY = fm.height();
    const auto px = [](int v, int base, int div) {
        return static_cast<int>(std::lround(static_cast<double>(v) * base / div));
    };
    return QRect(px(x, baseX, 4), px(y, baseY, 8), px(cx, baseX, 4), px(cy, baseY, 8));
}

TEST(QtMainWindow, GeometryFollowsTheLayoutTable) {
    QtBackend backend;
    QDialog& window = backend.Dialog().Window();
    const layout::DialogTemplate& t = layout::MainDialog();

    EXPECT_EQ(window.windowTitle(), "quorvel");
    EXPECT_EQ(window.font().family(), QApplication::font().family());
    EXPECT_EQ(window.font().pointSize(), t.fontPoints);
    const QRect client = ExpectedRect(window.font(), 0, 0, t.cx, t.cy);
    EXPECT_EQ(window.size(), client.size());
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "the window must not be resizable";
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);

    const auto& controls = backend.Dialog().Controls();
    ASSERT_EQ(controls.size(), t.controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const layout::Control& c = t.controls[i];
        SCOPED_TRACE(testing::Message() << "control " << c.id << " \"" << c.text << '"');
        EXPECT_EQ(controls[i]->geometry(), ExpectedRect(window.font(), c.x, c.y, c.cx, c.cy));
        EXPECT_EQ(controls[i]->parentWidget(), &window);
        if (c.id != IDC_STATIC) {
            EXPECT_EQ(backend.Dialog().Control(c.id), controls[i]);
        }
    }
    EXPECT_EQ(backend.Dialog().Control(4242), nullptr);
}

TEST(QtMainWindow, TabOrderIsTheTemplateOrder) {
    QtBackend backend;
    std::vector<QWidget*> expected;
    for (std::size_t i = 0; i < layout::MainDialog().controls.size(); ++i)
        if (layout::MainDialog().controls[i].style & layout::style::kTabStop)
            expected.push_back(backend.Dialog().Controls()[i]);
    ASSERT_EQ(expected.size(), 4u);  // Fix files, Close, Browse, the list

    std::vector<QWidget*> chain;
    QWidget* w = expected.front();
    do {
        if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != expected.front() && chain.size() < 50);
    // Widgets inside the list (its header, scroll bars) may follow it; the order of the
    // dialog's own controls is what counts.
    std::vector<QWidget*> own;
    for (QWidget* c : chain)
        if (std::find(expected.begin(), expected.end(), c) != expected.end()) own.push_back(c);
    EXPECT_EQ(own, expected);
}

TEST(QtMainWindow, ControlsAreAccessibleByTheirVisibleTexts) {
    QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    for (std::size_t i = 0; i < port.Controls().size(); ++i) {
        const layout::Control& c = layout::MainDialog().controls[i];
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(port.Controls()[i]);
        ASSERT_NE(iface, nullptr);
        const QString name = iface->text(QAccessible::Name);
        EXPECT_FALSE(name.isEmpty()) << "control " << c.id;
        if (*c.text) {
            EXPECT_EQ(name, QString::fromUtf8(c.text)) << "control " << c.id;
        }
    }
    // The one text changed at run time keeps its accessible name in step.
    port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Searching);
    EXPECT_EQ(static_cast<QLabel*>(port.Control(IDC_STEP2_TEXT))->text(), text::kStep2Searching);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(port.Control(IDC_STEP2_TEXT))
                  ->text(QAccessible::Name),
              text::kStep2Searching);

    EXPECT_TRUE(static_cast<QPushButton*>(port.Control(IDOK))->isDefault());
    port.EnableDlgItem(IDOK, false);
    EXPECT_FALSE(port.IsDlgItemEnabled(IDOK));
    EXPECT_FALSE(port.Control(IDOK)->isEnabled());
    port.EnableDlgItem(IDOK, true);
    EXPECT_TRUE(port.IsDlgItemEnabled(IDOK));
    EXPECT_FALSE(port.IsDlgItemEnabled(4242));
}

// Starts the modal run, lets `act` do its part inside it, and ends the run if `act` did not.
int RunModalWith(QtBackend& backend, RecordingHandler& handler, std::function<void()> act) {
    RunSoon([&backend, act] {
        QDialog& window = backend.Dialog().Window();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        act();
        if (window.isVisible()) RunSoon([&backend] { backend.Dialog().EndDialog(99); });
    });
    return backend.DoModal(handler);
}

struct EnterCase {
    const char* name;
    bool fixEnabled;
    int focusId;           // control that has the focus when Enter is pressed
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int expectedFixes;
};

class QtEnterKey : public testing::TestWithParam<EnterCase> {};

TEST_P(QtEnterKey, NeverClosesAndClicksFixFilesOnlyWhenEnabled) {
    const EnterCase& tc = GetParam();
    QtBackend backend;
    RecordingHandler handler(backend.Dialog());
    handler.onInit = [&] { backend.Dialog().EnableDlgItem(IDOK, tc.fixEnabled); };
    const int result = RunModalWith(backend, handler, [&] {
        QWidget* focus = backend.Dialog().Control(tc.focusId);
        focus->setFocus();
        ASSERT_TRUE(focus->hasFocus());
        QTest::keyClick(focus, tc.key, tc.modifiers);
        EXPECT_TRUE(backend.Dialog().Window().isVisible());
    });
    EXPECT_EQ(handler.fixes, tc.expectedFixes);
    EXPECT_EQ(handler.cancels, 0);
    EXPECT_EQ(handler.browses, 0);
    EXPECT_EQ(result, 99) << "only the test's own EndDialog ends the run";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtEnterKey,
    testing::Values(
        EnterCase{"OnCloseWithFixDisabled", false, IDCANCEL, Qt::Key_Return, Qt::NoModifier, 0},
        EnterCase{"OnCloseWithFixEnabled", true, IDCANCEL, Qt::Key_Return, Qt::NoModifier, 1},
        EnterCase{"OnListWithFixDisabled", false, IDC_FILE_LIST, Qt::Key_Return, Qt::NoModifier, 0},
        EnterCase{"OnListWithFixEnabled", true, IDC_FILE_LIST, Qt::Key_Return, Qt::NoModifier, 1},
        EnterCase{"KeypadOnList", true, IDC_FILE_LIST, Qt::Key_Enter, Qt::KeypadModifier, 1},
        EnterCase{"OnFixFiles", true, IDOK, Qt::Key_Return, Qt::NoModifier, 1}),
    [](const testing::TestParamInfo<EnterCase>& p) { return p.param.name; });

struct CloseCase {
    const char* name;
    std::function<void(qt::QtDialogPort&)> close;
};

class QtCloseRoutes : public testing::TestWithParam<CloseCase> {};

TEST_P(QtCloseRoutes, ReachOnCancelWhichEndsTheRun) {
    QtBackend backend;
    RecordingHandler handler(backend.Dialog());
    const int result = RunModalWith(backend, handler, [&] { GetParam().close(backend.Dialog()); });
    EXPECT_EQ(handler.cancels, 1);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(backend.Dialog().Window().isVisible());
}

TEST_P(QtCloseRoutes, LeaveTheWindowOpenWhenTheHandlerDefers) {
    QtBackend backend;
    RecordingHandler handler(backend.Dialog());
    handler.deferCancel = true;
    const int result = RunModalWith(backend, handler, [&] {
        GetParam().close(backend.Dialog());
        EXPECT_TRUE(backend.Dialog().Window().isVisible());
    });
    EXPECT_EQ(handler.cancels, 1);
    EXPECT_EQ(result, 99);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, QtCloseRoutes,
    testing::Values(
        CloseCase{"Escape", [](qt::QtDialogPort& p) { QTest::keyClick(&p.Window(), Qt::Key_Escape); }},
        CloseCase{"EscapeInList",
                  [](qt::QtDialogPort& p) { QTest::keyClick(p.Control(IDC_FILE_LIST), Qt::Key_Escape); }},
        CloseCase{"CloseButton",
                  [](qt::QtDialogPort& p) { static_cast<QPushButton*>(p.Control(IDCANCEL))->click(); }},
        CloseCase{"WindowCloseButton", [](qt::QtDialogPort& p) { p.Window().close(); }},
        CloseCase{"CloseCommand", [](qt::QtDialogPort& p) { p.DefaultSysCommand(0xF060, 0); }}),
    [](const testing::TestParamInfo<CloseCase>& p) { return p.param.name; });

TEST(QtWaitCursor, ShowsWhileMoreBeginsThanEnds) {
    QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    const auto shape = [] {
        const QCursor* c = QApplication::overrideCursor();
        return c ? c->shape() : Qt::BitmapCursor;  // BitmapCursor: no override at all
    };
    port.BeginWaitCursor();
    EXPECT_EQ(shape(), Qt::WaitCursor);
    port.BeginWaitCursor();
    port.EndWaitCursor();
    EXPECT_EQ(shape(), Qt::WaitCursor) << "the outer pair is still open";
    port.EndWaitCursor();
    EXPECT_EQ(shape(), Qt::BitmapCursor) << "one push for the outermost pair only";
    port.EndWaitCursor();  // unbalanced: ignored
    EXPECT_EQ(port.WaitCursorDepth(), 0);
    port.BeginWaitCursor();
    EXPECT_EQ(shape(), Qt::WaitCursor);
    port.EndWaitCursor();
    EXPECT_EQ(shape(), Qt::BitmapCursor);
}

struct MenuCase {
    const char* name;
    int clickOnId;   // the control under the right click; 0: the bare background
    bool opensMenu;
};

class QtWindowMenu : public testing::TestWithParam<MenuCase> {};

TEST_P(QtWindowMenu, RightClickOffersAboutWhichSendsTheCommand) {
    const MenuCase& tc = GetParam();
    QtBackend backend;
    RecordingHandler handler(backend.Dialog());
    handler.onInit = [&] { backend.Dialog().AppendSystemMenu(IDM_ABOUTBOX, text::kAboutMenu); };
    bool menuSeen = false;
    RunModalWith(backend, handler, [&] {
        QDialog& window = backend.Dialog().Window();
        // The widget under the mouse gets the event; the bottom-left corner is bare background.
        QWidget* receiver = &window;
        QPoint pos(2, window.height() - 2);
        if (tc.clickOnId) {
            receiver = backend.Dialog().Control(tc.clickOnId);
            if (auto* area = qobject_cast<QAbstractScrollArea*>(receiver)) receiver = area->viewport();
            pos = receiver->rect().center();
        } else {
            ASSERT_EQ(window.childAt(pos), nullptr);
        }
        RunSoon([&] {
            QMenu* menu = test::ActiveAs<QMenu>();
            menuSeen = menu != nullptr;
            if (!menu) return;
            ASSERT_EQ(menu->actions().size(), 2);  // a separator (collapsed when shown) and the item
            QAction* about = menu->actions().back();
            EXPECT_EQ(about->text(), "&About quorvel...");
            menu->setActiveAction(about);
            QTest::keyClick(menu, Qt::Key_Return);
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, receiver->mapToGlobal(pos));
        QApplication::sendEvent(receiver, &event);
    });
    EXPECT_EQ(menuSeen, tc.opensMenu);
    if (tc.opensMenu) {
        ASSERT_EQ(handler.sysCommands.size(), 1u);
        EXPECT_EQ(handler.sysCommands[0].first, 0x0010u);
        EXPECT_EQ(handler.sysCommands[0].second, 0);
    } else {
        EXPECT_TRUE(handler.sysCommands.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, QtWindowMenu,
                         testing::Values(MenuCase{"Background", 0, true},
                                         MenuCase{"StepText", IDC_STEP2_TEXT, true},
                                         MenuCase{"List", IDC_FILE_LIST, false}),
                         [](const testing::TestParamInfo<MenuCase>& p) { return p.param.name; });

TEST(QtAboutBox, FollowsItsTemplateAndReturnsToTheDialog) {
    QtBackend backend;
    CQuorvelDlg dlg(backend.Dialog());
    bool seen = false;
    WhenShown<QDialog>([&](QDialog* about) {
        seen = true;
        EXPECT_NE(about, &backend.Dialog().Window());
        EXPECT_EQ(about->windowTitle(), "About quorvel");
        const layout::DialogTemplate& t = layout::AboutDialog();
        EXPECT_EQ(about->size(), ExpectedRect(about->font(), 0, 0, t.cx, t.cy).size());
        QStringList texts;
        bool hasIcon = false;
        for (QLabel* label : about->findChildren<QLabel*>()) {
            texts << label->text();
            if (!label->pixmap().isNull()) hasIcon = true;
        }
        EXPECT_TRUE(texts.contains("quorvel Version 1.0"));
        EXPECT_TRUE(hasIcon);
        QPushButton* ok = about->findChild<QPushButton*>();
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(ok->text(), "OK");
        EXPECT_TRUE(ok->isDefault());
        ok->click();
    });
    dlg.OnSysCommand(0x0010, 0);  // returns once the box is closed
    EXPECT_TRUE(seen);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(QtMessageBox, HasOneOkButtonNoIconAndReadableText) {
    QtBackend backend;
    const std::string text = "Search complete.  3 version 4 .olv files were found.";
    bool seen = false;
    WhenShown<QMessageBox>([&](QMessageBox* box) {
        seen = true;
        EXPECT_EQ(box->windowTitle(), "quorvel");
        EXPECT_EQ(box->text(), QString::fromStdString(text));
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().front()), QMessageBox::Ok);
        EXPECT_TRUE(box->isModal());
        EXPECT_TRUE(test::HasAccessibleText(*box, QString::fromStdString(text)));
        box->buttons().front()->click();
    });
    backend.Dialog().MessageBox(text);
    EXPECT_TRUE(seen);
}

struct PickerCase {
    const char* name;
    bool accept;
    const char* typed;      // "<tmp>" stands for a fresh temporary folder
    bool expectPath;
};

class QtFolderPicker : public testing::TestWithParam<PickerCase> {};

TEST_P(QtFolderPicker, OpensAtTheTopForFoldersAndReturnsThePath) {
    const PickerCase& tc = GetParam();
    QtBackend backend;
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString typed = QString(tc.typed).replace("<tmp>", tmp.path());
    bool seen = false;
    WhenShown<QFileDialog>([&](QFileDialog* picker) {
        seen = true;
        EXPECT_EQ(picker->windowTitle(), "Root directory for .olv file search");
        EXPECT_EQ(picker->directory().absolutePath(), "/");
        EXPECT_EQ(picker->fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(picker->testOption(QFileDialog::ShowDirsOnly));
        auto* name = picker->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(name->text().isEmpty()) << "nothing is preselected";
        if (!tc.accept) {
            QTest::keyClick(picker, Qt::Key_Escape);
            return;
        }
        test::ChooseFolder(*picker, typed);
    });
    const std::optional<std::string> picked =
        backend.Dialog().BrowseForFolder(text::kPickerTitle);
    EXPECT_TRUE(seen);
    ASSERT_EQ(picked.has_value(), tc.expectPath);
    if (tc.expectPath) {
        EXPECT_EQ(*picked, typed.toStdString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, QtFolderPicker,
    testing::Values(PickerCase{"Cancel", false, "", false},
                    PickerCase{"TypedFolder", true, "<tmp>", true},
                    PickerCase{"Root", true, "/", true}),
    [](const testing::TestParamInfo<PickerCase>& p) { return p.param.name; });

TEST(QtChrome, WindowIconHasTheThreeDrawnSizesAndPaintingReachesTheHandler) {
    QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    RecordingHandler handler(port);
    handler.onInit = [&] { port.SetIcon(port.LoadAppIcon(), true); };
    RunModalWith(backend, handler, [&] {
        const QList<QSize> sizes = port.Window().windowIcon().availableSizes();
        for (const int s : {16, 32, 48}) {
            EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
            const QImage image = port.Window().windowIcon().pixmap(s, s).toImage();
            EXPECT_GT(qAlpha(image.pixel(s / 2, s / 2)), 0) << "the icon is drawn at " << s;
        }
        // Painting goes through the handler, as WM_PAINT does.
        port.Window().repaint();
        EXPECT_GT(handler.paints, 0);
    });
}

}  // namespace
}  // namespace quorvel
