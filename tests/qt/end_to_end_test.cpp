// The whole program on the real Qt backend: start-up through theApp.InitInstance, a Browse
// through the real folder picker, the summary box, a fix pass, and the files on disk after it.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>

#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/QuorvelApp.h"
#include "filelib/WekVerify.h"
#include "platform/qt/QtBackend.h"
#include "tests/qt/QtTestSupport.h"
#include "ui/QuorvelDlg.h"
#include "ui/Texts.h"
#include "ui/resource.h"

namespace quorvel {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

struct Snapshot {
    std::string bytes;
    timespec mtime{};
};

Snapshot Take(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {ReadAll(path), st.st_mtim};
}

struct PlannedFile {
    std::string rel;
    int version;        // 0: not an .olv file at all (raw text)
    bool fault;
    bool listed;        // its name ends in .olv (any case)
};

class Driver {
public:
    // Acts on whatever window is up every 10 ms; stops after "Close" or when stuck.
    explicit Driver(qt::QtDialogPort& port, std::string root) : m_port(port), m_root(std::move(root)) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Step(); });
        m_timer.start();
    }

    std::string summary;
    std::map<std::string, std::string> rowsAtSummary, rowsAfterFix;
    bool pickerWasAtRoot = false;
    int progressAfterFix = -1;
    std::string step2AfterBrowse;

private:
    std::map<std::string, std::string> Rows() {
        std::map<std::string, std::string> rows;
        IListView& list = m_port.List();
        for (int i = list.GetNextItem(-1); i != -1; i = list.GetNextItem(i))
            rows[list.GetItemText(i, 0)] = list.GetItemText(i, 1);
        return rows;
    }

    QProgressBar* Bar() { return static_cast<QProgressBar*>(m_port.Control(IDC_PROGRESS)); }
    QPushButton* Button(int id) { return static_cast<QPushButton*>(m_port.Control(id)); }

    void Step() {
        QDialog& window = m_port.Window();
        if (++m_polls > 6000) {
            ADD_FAILURE() << "stuck at step " << m_step;
            m_timer.stop();
            QApplication::closeAllWindows();
            return;
        }
        switch (m_step) {
        case 0:  // the dialog is up: look at it, then Browse
            if (!window.isVisible() || QApplication::activeModalWidget() != &window) return;
            test::SaveScreenshot(window, "main_window_start");
            EXPECT_FALSE(m_port.IsDlgItemEnabled(IDOK));
            test::RunSoon([this] { QTest::mouseClick(Button(IDC_BROWSE), Qt::LeftButton); });
            ++m_step;
            return;
        case 1:  // the folder picker: type the tree's root and choose it
            if (auto* picker = test::ActiveAs<QFileDialog>()) {
                pickerWasAtRoot = picker->directory().absolutePath() == "/";
                ++m_step;
                test::ChooseFolder(*picker, QString::fromStdString(m_root));
            }
            return;
        case 2:  // the summary box, with the analysed list behind it
            if (auto* box = test::ActiveAs<QMessageBox>()) {
                summary = box->text().toStdString();
                rowsAtSummary = Rows();
                box->buttons().front()->click();
                ++m_step;
            }
            return;
        case 3:  // Browse has returned: look at the list, then fix
            if (QApplication::activeModalWidget() != &window || !Button(IDOK)->isEnabled()) return;
            step2AfterBrowse = static_cast<QLabel*>(m_port.Control(IDC_STEP2_TEXT))->text().toStdString();
            test::SaveScreenshot(window, "main_window_after_browse");
            test::RunSoon([this] { QTest::mouseClick(Button(IDOK), Qt::LeftButton); });
            ++m_step;
            return;
        case 4:  // the fix pass has ended: look again, then close
            // The bar shows the pass's last position once the last paced repaint is done.
            if (!theApp.m_pMainWnd || theApp.m_pMainWnd->IsFixPassRunning() ||
                QApplication::activeModalWidget() != &window || !Button(IDOK)->isEnabled() ||
                Bar()->value() != m_port.ProgressBar().Pos())
                return;
            rowsAfterFix = Rows();
            progressAfterFix = Bar()->value();
            test::SaveScreenshot(window, "main_window_after_fix");
            test::RunSoon([this] { QTest::mouseClick(Button(IDCANCEL), Qt::LeftButton); });
            m_timer.stop();
            return;
        }
    }

    qt::QtDialogPort& m_port;
    std::string m_root;
    QTimer m_timer;
    int m_step = 0;
    int m_polls = 0;
};

TEST(QtEndToEnd, BrowseReadSummaryFixAndClose) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const std::string root = QFile::encodeName(tmp.path()).toStdString();
    const std::vector<PlannedFile> plan = {
        {"a.olv", 4, true, true},
        {"v1.olv", 1, false, true},
        {"notes.txt", 0, false, false},
        {"sub/b.olv", 4, true, true},
        {"sub/v3.olv", 3, false, true},
        {"sub/deeper/c.OLV", 4, false, true},
        {"sub/deeper/v5.olv", 5, false, true},
        {"sub/deeper/text.olv", 0, false, true},
        {"caf\xE9.olv", 4, true, true},  // a name that is not UTF-8
    };
    for (const char* folder : {"/sub", "/sub/deeper", "/empty"})
        ASSERT_EQ(::mkdir((root + folder).c_str(), 0755), 0);
    for (const PlannedFile& f : plan) {
        const std::string path = root + "/" + f.rel;
        if (f.version == 0) {
            std::ofstream(path, std::ios::binary) << "plain text, not an .olv file\n";
            continue;
        }
        ASSERT_EQ(WekWriteSample(path.c_str(), f.version, {"alpha", "beta", "gamma"}, f.fault), WEK_OK);
        if (f.fault) {
            ASSERT_NE(WekVerify(path.c_str()), WEK_OK) << "the fault is there to repair";
        }
    }
    std::map<std::string, Snapshot> untouched;
    for (const PlannedFile& f : plan)
        if (f.version != 4) untouched[root + "/" + f.rel] = Take(root + "/" + f.rel);

    qt::QtBackend backend;
    theApp.SetPlatform(&backend);
    Driver driver(backend.Dialog(), root);
    EXPECT_FALSE(theApp.InitInstance());
    theApp.SetPlatform(nullptr);

    EXPECT_TRUE(driver.pickerWasAtRoot);
    EXPECT_EQ(driver.summary, "Search complete.  4 version 4 .olv files were found.");
    EXPECT_EQ(driver.step2AfterBrowse, text::kStep2Examine);
    EXPECT_EQ(driver.progressAfterFix, 4);

    std::map<std::string, std::string> expectedAtSummary, expectedAfterFix;
    for (const PlannedFile& f : plan) {
        if (!f.listed) continue;
        const std::string path = root + "/" + f.rel;
        expectedAtSummary[path] = std::to_string(f.version);
        expectedAfterFix[path] = f.version == 4 ? text::kResaved : std::to_string(f.version);
    }
    EXPECT_EQ(driver.rowsAtSummary, expectedAtSummary);
    EXPECT_EQ(driver.rowsAfterFix, expectedAfterFix);

    for (const PlannedFile& f : plan) {
        const std::string path = root + "/" + f.rel;
        if (f.version == 4) {
            std::string detail;
            EXPECT_EQ(WekVerify(path.c_str(), &detail), WEK_OK) << path << ": " << detail;
        } else {
            const Snapshot now = Take(path);
            const Snapshot& before = untouched[path];
            EXPECT_EQ(now.bytes, before.bytes) << path;
            EXPECT_EQ(now.mtime.tv_sec, before.mtime.tv_sec) << path;
            EXPECT_EQ(now.mtime.tv_nsec, before.mtime.tv_nsec) << path;
        }
    }
}

}  // namespace
}  // namespace quorvel
