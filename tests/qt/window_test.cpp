// The main window and the About box on the real widgets, on whatever screen the run has (the
// offscreen platform's configured screen, or an X server): every text whole at every font and
// size, the extra room going to the list and the bar, and the window inside the screen's work
// area with Fix files and Close in reach. Screenshots go to build/screenshots/, named after
// the screen they were taken on.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <QTest>
#include <QtWidgets>

#include "platform/qt/QtBackend.h"
#include "tests/qt/Steps.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Layout.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using qt::QtBackend;
using qt::QtDialogPort;
using qttest::ActiveAs;
using qttest::RunSteps;

// Sets the application font (the desktop's UI font) for the life of the object; 0 keeps it.
class ScopedAppFont {
public:
    explicit ScopedAppFont(int points) : m_old(QApplication::font()) {
        if (points <= 0) return;
        QFont font = m_old;
        font.setPointSize(points);
        QApplication::setFont(font);
    }
    ~ScopedAppFont() { QApplication::setFont(m_old); }

private:
    QFont m_old;
};

// The platform and screen the run has, for the names of the screenshots: "xcb_1366x768".
QString ScreenName() {
    const QSize s = QGuiApplication::primaryScreen()->geometry().size();
    return QStringLiteral("%1_%2x%3").arg(QGuiApplication::platformName()).arg(s.width()).arg(s.height());
}

void SaveScreenshot(QWidget& window, const QString& name) {
    const QString dir = QStringLiteral(QUORVEL_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    EXPECT_TRUE(window.grab().save(dir + "/" + name + "_" + ScreenName() + ".png", "PNG"));
}

// Pixels of a dialog-unit length as the Windows dialog manager computes them from `font`.
QSize TemplatePixels(const QFont& font, int cx, int cy) {
    const QFontMetrics fm(font);
    const int bx = (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
    return QSize(int(std::lround(1.0 * cx * bx / 4)), int(std::lround(1.0 * cy * fm.height() / 8)));
}

// Every text of the window shows whole: labels are tall and wide enough for their wrapped
// words, buttons for their caption, the list's Version column for its heading and the
// longest status of a fix; and no control leaves the window or lies over another.
void ExpectWhole(QDialog& window) {
    const QList<QWidget*> controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* w : controls) {
        if (!w->isVisibleTo(&window) || w->inherits("QMenu")) continue;
        SCOPED_TRACE(w->metaObject()->className() + (": " + w->accessibleName()).toStdString());
        EXPECT_TRUE(window.rect().contains(w->geometry()))
            << "at " << w->x() << "," << w->y() << " " << w->width() << "x" << w->height()
            << " in " << window.width() << "x" << window.height();
        for (QWidget* other : controls) {
            if (other != w && other->isVisibleTo(&window) && !other->inherits("QMenu")) {
                EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                    << "over " << other->accessibleName().toStdString();
            }
        }
        const QFontMetrics fm(w->font());
        if (auto* label = qobject_cast<QLabel*>(w); label && !label->text().isEmpty()) {
            const QRect needs = fm.boundingRect(QRect(0, 0, label->width(), 100000),
                                                Qt::TextWordWrap | Qt::AlignLeft, label->text());
            EXPECT_LE(needs.width(), label->width()) << label->text().toStdString();
            EXPECT_LE(needs.height(), label->height()) << label->text().toStdString();
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.rect = button->rect();
            const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            EXPECT_LE(fm.horizontalAdvance(button->text()), contents.width()) << button->text().toStdString();
            EXPECT_LE(fm.height(), contents.height()) << button->text().toStdString();
        } else if (auto* view = qobject_cast<QTreeView*>(w); view && view->header()->count() == 2) {
            const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
            for (const char* status : {"Version", text::kResaved, text::kWorking})
                EXPECT_LE(fm.horizontalAdvance(status) + margins, view->header()->sectionSize(1)) << status;
            EXPECT_LE(view->header()->sectionSize(0) + view->header()->sectionSize(1), view->viewport()->width())
                << "the Version column in view";
        }
    }
}

enum class Size { Default, Least, Wider, Taller, Larger };

struct WholeCase {
    const char* name;
    int points;  // 0: the desktop's font as the run has it
    Size size;
    bool screenshot;
};

// No text is ever cut: at the desktop's font and larger ones, at the window's default size,
// its least size and larger ones; the About box likewise.
TEST(QtWindow, ShowsEveryTextWholeAtAnyFontAndSize) {
    const WholeCase cases[] = {
        {"default_font", 0, Size::Default, true}, {"default_font_least", 0, Size::Least, true},
        {"default_font_wider", 0, Size::Wider, false}, {"default_font_taller", 0, Size::Taller, false},
        {"7pt", 7, Size::Default, false},         {"11pt", 11, Size::Least, false},
        {"14pt", 14, Size::Default, true},        {"14pt_least", 14, Size::Least, true},
        {"14pt_larger", 14, Size::Larger, false}, {"20pt_least", 20, Size::Least, false},
    };
    for (const WholeCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        const ScopedAppFont desktop(tc.points);
        QtBackend backend;
        QtDialogPort& port = backend.Dialog();
        QDialog& window = port.Window();
        CQuorvelDlg dlg(port);
        dlg.OnInitDialog();
        const QSize grow(tc.size == Size::Taller ? 0 : 240, tc.size == Size::Wider ? 0 : 180);
        if (tc.size == Size::Least) window.resize(window.minimumSize());
        if (tc.size == Size::Wider || tc.size == Size::Taller || tc.size == Size::Larger)
            window.resize(window.size() + grow);
        // The longest texts the step-2 line takes during a Browse, each in turn.
        for (const char* step2 : {text::kStep2Examine, text::kStep2Searching, text::kStep2Analyzing}) {
            port.SetDlgItemText(IDC_STEP2_TEXT, step2);
            window.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
            QApplication::processEvents();
            ExpectWhole(window);
        }
        port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Examine);
        QApplication::processEvents();
        if (tc.screenshot) SaveScreenshot(window, QStringLiteral("window_") + tc.name);

        if (tc.size != Size::Default) continue;
        bool seen = false;
        RunSteps({{ActiveAs<QDialog>, [&] {
            QDialog* about = ActiveAs<QDialog>();
            seen = about != &window;
            EXPECT_EQ(about->windowTitle(), "About quorvel");
            EXPECT_EQ(about->minimumSize(), about->maximumSize()) << "the About box has one size";
            ExpectWhole(*about);
            if (tc.screenshot) SaveScreenshot(*about, QStringLiteral("about_") + tc.name);
            about->findChild<QPushButton*>()->click();
        }}});
        port.RunAboutBox();
        EXPECT_TRUE(seen);
    }
}

// At its default size on a screen that holds it, the window has the template's size in the
// desktop's font, and the list, the bar and the buttons are where the template puts them.
// Resized, the list takes the extra width and height, the bar the extra width, and what lies
// below the list keeps its distance to the bottom; the File column takes the list's change.
TEST(QtWindow, GivesTheRoomToTheListAndTheBar) {
    QtBackend backend;
    QtDialogPort& port = backend.Dialog();
    QDialog& window = port.Window();
    const layout::DialogTemplate& t = layout::MainDialog();
    const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize templ = TemplatePixels(window.font(), t.cx, t.cy);
    // 40 pixels: room for a title bar and borders when the platform tells none beforehand.
    ASSERT_TRUE(work.width() >= templ.width() + 10 && work.height() >= templ.height() + 40)
        << "a screen too small for this test";
    EXPECT_EQ(window.size(), templ);
    EXPECT_LT(window.minimumSize().width(), templ.width()) << "the window can be made smaller";
    EXPECT_LT(window.minimumSize().height(), templ.height());
    for (const int id : {IDC_FILE_LIST, IDC_PROGRESS, IDOK, IDCANCEL}) {
        const layout::Control& c = *layout::FindControl(t, id);
        EXPECT_EQ(port.Control(id)->pos(), QPoint(TemplatePixels(window.font(), c.x, c.y).width(),
                                                  TemplatePixels(window.font(), c.x, c.y).height()))
            << c.text;
        EXPECT_EQ(port.Control(id)->size(), TemplatePixels(window.font(), c.cx, c.cy)) << c.text;
    }
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    QTreeView& view = port.ListView().View();
    const auto snapshot = [&] {
        std::vector<QRect> rects;
        for (const int id : {IDC_FILE_LIST, IDC_PROGRESS, IDOK, IDCANCEL, IDC_BROWSE})
            rects.push_back(port.Control(id)->geometry());
        rects.push_back(QRect(0, 0, view.header()->sectionSize(0), view.header()->sectionSize(1)));
        return rects;
    };
    const std::vector<QRect> before = snapshot();
    const QSize least = window.minimumSize();
    const QSize changes[] = {{300, 200}, {-(templ.width() - least.width()) / 2, -(templ.height() - least.height()) / 2}};
    for (const QSize& change : changes) {
        SCOPED_TRACE(testing::Message() << change.width() << "," << change.height());
        window.resize(templ + change);
        QApplication::processEvents();
        ASSERT_EQ(window.size(), templ + change);
        const std::vector<QRect> after = snapshot();
        const int dx = change.width(), dy = change.height();
        EXPECT_EQ(after[0], before[0].adjusted(0, 0, dx, dy)) << "the list";
        EXPECT_EQ(after[1], before[1].adjusted(0, dy, dx, dy)) << "the bar";
        EXPECT_EQ(after[2], before[2].translated(0, dy)) << "Fix files";
        EXPECT_EQ(after[3], before[3].translated(0, dy)) << "Close";
        EXPECT_EQ(after[4], before[4]) << "Browse";
        EXPECT_EQ(after[5].width(), before[5].width() + dx) << "the File column";
        EXPECT_EQ(after[5].height(), before[5].height()) << "the Version column";
        ExpectWhole(window);
    }
}

struct FitCase {
    const char* name;
    int points;
    bool smallerFont;  // whether the window must be laid out in a smaller font to fit
};

// However large the desktop's font, the window with its decoration lies inside the screen's
// work area, so that Fix files and Close can be reached, and at its default size when that
// fits. Where not even its least size fits, it is laid out in a smaller font.
TEST(QtWindow, FitsTheWorkAreaOfTheScreen) {
    const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
    const FitCase cases[] = {{"default_font", 0, false}, {"14pt", 14, false}, {"40pt", 40, true}};
    for (const FitCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        const ScopedAppFont desktop(tc.points);
        QtBackend backend;
        QtDialogPort& port = backend.Dialog();
        QDialog& window = port.Window();
        CQuorvelDlg dlg(port);
        dlg.OnInitDialog();
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QApplication::processEvents();
        // The decoration the window manager draws, where it has told it (none without one).
        const QRect frame = window.frameGeometry();
        EXPECT_TRUE(work.contains(frame)) << "window " << frame.x() << "," << frame.y() << " "
                                          << frame.width() << "x" << frame.height() << " on "
                                          << work.width() << "x" << work.height();
        for (const int id : {IDOK, IDCANCEL, IDC_BROWSE}) {
            QWidget* button = port.Control(id);
            const QRect onScreen(button->mapToGlobal(QPoint(0, 0)), button->size());
            EXPECT_TRUE(work.contains(onScreen)) << button->accessibleName().toStdString();
        }
        EXPECT_EQ(window.font().pointSizeF() < QApplication::font().pointSizeF(), tc.smallerFont)
            << window.font().pointSizeF() << " pt";
        const QSize templ = TemplatePixels(QApplication::font(), layout::MainDialog().cx, layout::MainDialog().cy);
        // 40 pixels: room for a title bar and borders when the platform tells none beforehand.
        if (templ.width() + 10 <= work.width() && templ.height() + 40 <= work.height()) {
            EXPECT_EQ(window.size(), templ) << "the template's size, which fits";
        }
        ExpectWhole(window);
        if (tc.points == 14 || tc.smallerFont) SaveScreenshot(window, QStringLiteral("fit_") + tc.name);
    }
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) { return quorvel::qttest::RunAllTests(argc, argv, quorvel::text::kAppName); }
