// The file work through the real Qt backend: the window paints and takes input while files are
// searched, probed and rewritten on worker threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <QTest>
#include <QtWidgets>

#include "filelib/WekVerify.h"
#include "platform/qt/QtBackend.h"
#include "tests/qt/Steps.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using qttest::RunSoon;
using qttest::RunSteps;
using qttest::Step;

// Calls `onPaint` each time `widget` is about to paint.
class PaintWatcher : public QObject {
public:
    PaintWatcher(QWidget* widget, std::function<void()> onPaint) : m_onPaint(std::move(onPaint)) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) m_onPaint();
        return false;
    }

private:
    std::function<void()> m_onPaint;
};

// A folder of version-4 .olv files named f0.olv, f1.olv, ...
struct Tree {
    QTemporaryDir dir;
    std::string root;
    explicit Tree(int files) : root(QFile::encodeName(dir.path()).toStdString()) {
        for (int i = 0; i < files; ++i)
            EXPECT_EQ(WekWriteSample((root + "/f" + std::to_string(i) + ".olv").c_str(), 4, {"a", "b"}, true),
                      WEK_OK);
    }
};

TEST(QtWork, ARowIsPaintedAsWorkingWhileItsFileIsInFlight) {
    Tree tree(3);
    qt::QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    port.folderPickerForTest = [&](const std::string&) { return tree.root; };
    CQuorvelDlg dlg(port);

    // The rewrite of f1.olv is held until the list has been painted with its row in flight.
    const std::string held = tree.root + "/f1.olv";
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> heldTooLong{false};
    FileWork work;
    work.resaveFile = [&](const std::string& path) {
        if (path == held && released.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            heldTooLong = true;
        return ResaveAsTargetVersion(path);
    };
    dlg.SetFileWork(work);

    bool paintedWorking = false;
    QAbstractItemView& view = port.ListView().View();
    PaintWatcher watcher(view.viewport(), [&] {
        for (int row = 0; row < view.model()->rowCount(); ++row) {
            const QModelIndex file = view.model()->index(row, 0);
            if (file.data().toString().toStdString() == held && !paintedWorking &&
                view.model()->index(row, 1).data().toString() == text::kWorking) {
                paintedWorking = true;
                release.set_value();
            }
        }
    });

    QDialog& window = port.Window();
    const auto idle = [&] { return QApplication::activeModalWidget() == &window; };
    const auto click = [&](int id) {
        RunSoon([&, id] { QTest::mouseClick(port.Control(id), Qt::LeftButton); });
    };
    const auto box = [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); };
    const auto rowText = [&](const std::string& path) {
        for (int i = 0; i < port.List().GetItemCount(); ++i)
            if (port.List().GetItemText(i, 0) == path) return port.List().GetItemText(i, 1);
        return std::string();
    };
    RunSteps({
        {idle, [&] { click(IDC_BROWSE); }},
        {box, [&] { box()->buttons().front()->click(); }},
        {[&] { return idle() && port.Control(IDOK)->isEnabled(); }, [&] { click(IDOK); }},
        {[&] { return !dlg.IsFixPassRunning() && rowText(held) == text::kResaved; },
         [&] { click(IDCANCEL); }},
    });
    EXPECT_EQ(port.RunModal(dlg), IDCANCEL);
    EXPECT_TRUE(paintedWorking) << "the row in flight was never painted as working";
    EXPECT_FALSE(heldTooLong);
    if (!paintedWorking) release.set_value();
}

TEST(QtWork, CloseIsTakenDuringABrowseAndEndsItWithoutASummary) {
    Tree tree(20);
    qt::QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    port.folderPickerForTest = [&](const std::string&) { return tree.root; };
    CQuorvelDlg dlg(port);
    FileWork work;
    // A slow share: each probe takes a while, so the analysis runs for seconds.
    work.probe.threads = 1;
    work.probeFile = [](const std::string& path) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return scan::ProbeVersion(path);
    };
    dlg.SetFileWork(work);

    QDialog& window = port.Window();
    bool sawBox = false;
    bool closedWhileBrowsing = false;
    auto* step2 = qobject_cast<QLabel*>(port.Control(IDC_STEP2_TEXT));
    RunSteps({
        {[&] { return QApplication::activeModalWidget() == &window; },
         [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDC_BROWSE), Qt::LeftButton); }); }},
        {[&] { return step2->text() == text::kStep2Analyzing; },
         [&] {
             EXPECT_FALSE(port.Control(IDC_BROWSE)->isEnabled());
             EXPECT_FALSE(port.Control(IDOK)->isEnabled());
             closedWhileBrowsing = dlg.IsBrowsing();
             RunSoon([&] { QTest::mouseClick(port.Control(IDCANCEL), Qt::LeftButton); });
         }},
    });
    // A summary box would mean the analysis ran to its end.
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [&] {
        if (auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            sawBox = true;
            b->close();
        }
    });
    boxWatch.start(20);
    EXPECT_EQ(port.RunModal(dlg), IDCANCEL);
    EXPECT_TRUE(closedWhileBrowsing);
    EXPECT_FALSE(sawBox);
    EXPECT_FALSE(dlg.IsBrowsing());
    // Twenty probes of 200 ms one at a time: the close came before most of them ran.
    int analysed = 0;
    for (int i = 0; i < port.List().GetItemCount(); ++i) analysed += port.List().GetItemText(i, 1).empty() ? 0 : 1;
    EXPECT_LT(analysed, 20);
}

// Close pressed as people and assistive tools press it, in each phase of the work: a click,
// the Escape key, and the press action a screen reader or a test tool sends over the
// accessibility bus. The search and the analysis end without a summary box; the pass finishes
// the files in flight and ends with them.
TEST(QtWork, CloseIsTakenInEveryPhaseHoweverItIsPressed) {
    enum class Phase { Search, Analysis, Pass };
    enum class Way { Click, Escape, Accessible };
    const std::pair<Phase, const char*> phases[] = {
        {Phase::Search, "search"}, {Phase::Analysis, "analysis"}, {Phase::Pass, "fix pass"}};
    const std::pair<Way, const char*> ways[] = {
        {Way::Click, "click"}, {Way::Escape, "Escape"}, {Way::Accessible, "accessible press"}};
    for (const auto& [phase, phaseName] : phases)
        for (const auto& [way, wayName] : ways) {
            SCOPED_TRACE(std::string(phaseName) + ", " + wayName);
            Tree tree(20);
            for (int i = 0; i < 150; ++i) QDir(QString::fromStdString(tree.root)).mkpath(QString("d%1/e").arg(i));
            qt::QtBackend backend;
            qt::QtDialogPort& port = backend.Dialog();
            port.folderPickerForTest = [&](const std::string&) { return tree.root; };
            CQuorvelDlg dlg(port);
            // A slow share: every step of the phase under test takes a while. Versions come back
            // in batches, so Close is pressed in the analysis as its last versions come in (an
            // assistive tool's press completes a moment later, when the analysis is over).
            FileWork work;
            bool pressedInPhase = false;
            std::function<void()> press;
            std::atomic<int> probed{0};
            if (phase == Phase::Search)
                work.walk.onStepForTest = [](scan::WalkStep, const std::string&) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                };
            if (phase == Phase::Analysis) {
                work.probe.threads = 2;
                // The last probe posts the press: it is handled with the last versions.
                work.probeFile = [&](const std::string& path) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    const int version = scan::ProbeVersion(path);
                    if (++probed == 20)
                        QMetaObject::invokeMethod(qApp, [&] {
                            pressedInPhase = dlg.IsBrowsing();
                            press();
                        }, Qt::QueuedConnection);
                    return version;
                };
            }
            if (phase == Phase::Pass) {
                work.resaveJobs = 2;
                work.resaveFile = [](const ResaveTarget& target) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    return ResaveAsTargetVersion(target);
                };
            }
            dlg.SetFileWork(work);

            QDialog& window = port.Window();
            QWidget* close = port.Control(IDCANCEL);
            const auto idle = [&] { return QApplication::activeModalWidget() == &window; };
            const auto box = [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); };
            press = [&, way = way] {
                if (way == Way::Click) QTest::mouseClick(close, Qt::LeftButton);
                if (way == Way::Escape) QTest::keyClick(&window, Qt::Key_Escape);
                if (way == Way::Accessible)
                    QAccessible::queryAccessibleInterface(close)->actionInterface()->doAction(
                        QAccessibleActionInterface::pressAction());
            };
            const auto inPhase = [&, phase = phase] {
                if (phase == Phase::Search) return dlg.IsBrowsing() && port.List().GetItemCount() > 0 &&
                                                   port.List().GetItemText(0, 0) != text::kSearchingRow;
                return dlg.IsFixPassRunning() && port.List().GetItemText(0, 1) == text::kResaved;
            };
            std::vector<Step> steps = {{idle, [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDC_BROWSE), Qt::LeftButton); }); }}};
            if (phase == Phase::Pass) {
                steps.push_back({box, [&] { box()->buttons().front()->click(); }});
                steps.push_back({[&] { return idle() && port.Control(IDOK)->isEnabled(); },
                                 [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDOK), Qt::LeftButton); }); }});
            }
            if (phase != Phase::Analysis)
                steps.push_back({inPhase, [&] {
                                     pressedInPhase = true;
                                     RunSoon(press);
                                 }});
            RunSteps(steps);
            bool sawBox = false;
            QTimer boxWatch;
            QObject::connect(&boxWatch, &QTimer::timeout, [&] {
                if (QMessageBox* b = box(); b && pressedInPhase) {
                    sawBox = true;
                    b->close();
                }
            });
            boxWatch.start(20);
            EXPECT_EQ(port.RunModal(dlg), IDCANCEL);
            EXPECT_TRUE(pressedInPhase);
            EXPECT_FALSE(sawBox) << "a box came up after Close";
            EXPECT_FALSE(dlg.IsBrowsing());
            EXPECT_FALSE(dlg.IsFixPassRunning());
            for (int i = 0; i < port.List().GetItemCount(); ++i)
                EXPECT_NE(port.List().GetItemText(i, 1), text::kWorking) << "a file in flight was not finished";
        }
}

TEST(QtWork, TheEndBoxSaysWhyFilesFailed) {
    Tree tree(13);
    qt::QtBackend backend;
    qt::QtDialogPort& port = backend.Dialog();
    port.folderPickerForTest = [&](const std::string&) { return tree.root; };
    CQuorvelDlg dlg(port);
    FileWork work;
    // Every other file fails, each with the reason the library would give.
    work.resaveFile = [](const std::string& path) {
        const char last = path[path.size() - 5];
        if (last % 2 == 0) return ResaveResult{true, {}};
        return ResaveResult{false, last == '1' ? "changed since it was loaded" : "read-only"};
    };
    dlg.SetFileWork(work);

    QDialog& window = port.Window();
    const auto idle = [&] { return QApplication::activeModalWidget() == &window; };
    const auto box = [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); };
    QString endText;
    RunSteps({
        {idle, [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDC_BROWSE), Qt::LeftButton); }); }},
        {box, [&] { box()->buttons().front()->click(); }},
        {[&] { return idle() && port.Control(IDOK)->isEnabled(); },
         [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDOK), Qt::LeftButton); }); }},
        {box, [&] {
             endText = box()->text();
             const QString dir = QStringLiteral(QUORVEL_SCREENSHOT_DIR);
             QDir().mkpath(dir);
             EXPECT_TRUE(box()->grab().save(dir + "/end_box_with_reasons.png", "PNG"));
             box()->buttons().front()->click();
         }},
        {idle, [&] { RunSoon([&] { QTest::mouseClick(port.Control(IDCANCEL), Qt::LeftButton); }); }},
    });
    EXPECT_EQ(port.RunModal(dlg), IDCANCEL);
    const QStringList lines = endText.split('\n');
    ASSERT_GE(lines.size(), 3);
    // Files f1, f3, ... f11 end in an odd digit: six of the thirteen fail.
    EXPECT_EQ(lines[0], "6 of 13 version 4 .olv files could not be resaved.");
    EXPECT_TRUE(lines.contains(QString::fromStdString(tree.root + "/f1.olv: changed since it was loaded")))
        << endText.toStdString();
    EXPECT_TRUE(lines.contains(QString::fromStdString(tree.root + "/f3.olv: read-only"))) << endText.toStdString();
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) { return quorvel::qttest::RunAllTests(argc, argv, quorvel::text::kAppName); }
