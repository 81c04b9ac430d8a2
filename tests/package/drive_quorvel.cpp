// Drives a quorvel program from inside its own process, as a user would: loaded into it with
// LD_PRELOAD, it waits for the main window, clicks Browse, chooses the folder named by
// QUORVEL_DRIVE_ROOT in the picker, reads and closes every message box, clicks Fix files and,
// once the pass is over, writes what the list shows to QUORVEL_DRIVE_REPORT and clicks Close.
// Without QUORVEL_DRIVE_ROOT the program was started on a folder: it must browse that by
// itself, and a picker showing up is a failure ("picker shown", exit 3).
// The program itself has no hook for this: the library only uses Qt's start-up routines and
// the widgets that the window is made of. Used on the installed package by
// scripts/test_package.sh.
//
// The report has one line per event: "box<TAB>text" for each message box (its lines joined
// by " / "), "row<TAB>path<TAB>version" for each row at the end, then "done". When a step
// does not come within a minute it writes "stuck at step N" and ends the process with 3.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QAbstractItemModel>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>

namespace {

std::ofstream& Report() {
    static std::ofstream out(std::getenv("QUORVEL_DRIVE_REPORT") ? std::getenv("QUORVEL_DRIVE_REPORT")
                                                                  : "/dev/stderr");
    return out;
}

// The main window: the modal dialog with a "Browse" button.
QDialog* MainWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
            for (QPushButton* b : dialog->findChildren<QPushButton*>())
                if (b->text() == "Browse") return dialog;
    return nullptr;
}

QPushButton* Button(const QString& text) {
    QDialog* main = MainWindow();
    if (!main) return nullptr;
    for (QPushButton* b : main->findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

bool MainIsIdle() { return MainWindow() && QApplication::activeModalWidget() == MainWindow(); }

// Reads, reports and closes a message box if one is open; true when it did.
bool CloseBox() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return false;
    Report() << "box\t" << box->text().replace('\n', " / ").toStdString() << '\n';
    box->buttons().front()->click();
    return true;
}

void ReportRows() {
    QTreeView* view = MainWindow()->findChild<QTreeView*>();
    const QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(); ++row)
        Report() << "row\t" << model->index(row, 0).data().toString().toStdString() << '\t'
                 << model->index(row, 1).data().toString().toStdString() << '\n';
}

struct Step {
    std::function<bool()> ready;
    std::function<void()> act;
};

void Drive() {
    const bool pick = std::getenv("QUORVEL_DRIVE_ROOT") != nullptr;
    const QString root = QString::fromLocal8Bit(std::getenv("QUORVEL_DRIVE_ROOT"));
    auto steps = std::make_shared<std::vector<Step>>(std::vector<Step>{
        {MainIsIdle, [] { Button("Browse")->click(); }},
        {[] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; },
         [root] {
             auto* picker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
             picker->findChild<QLineEdit*>("fileNameEdit")->setText(root);
             picker->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
         }},
        // The search's summary, then Fix files once the window is back.
        {[] { return MainIsIdle() && Button("Fix files")->isEnabled(); }, [] { Button("Fix files")->click(); }},
        // The pass is over when Browse is enabled again and no box is open.
        {[] { return MainIsIdle() && Button("Browse")->isEnabled(); },
         [] {
             ReportRows();
             Report() << "done" << std::endl;
             Button("Close")->click();
         }},
    });
    if (!pick) steps->erase(steps->begin(), steps->begin() + 2);
    auto* timer = new QTimer(qApp);
    const auto next = std::make_shared<std::size_t>(0);
    const auto polls = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [=] {
        if (CloseBox()) return;
        if (!pick && qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            Report() << "picker shown" << std::endl;
            std::_Exit(3);
        }
        if ((*steps)[*next].ready()) {
            // From its own timer: a click that opens a modal loop (the picker, a pass with its
            // boxes) must leave this one free to go on polling inside that loop.
            QTimer::singleShot(0, (*steps)[(*next)++].act);
            *polls = 0;
        } else if (++*polls == 6000) {
            Report() << "stuck at step " << *next << std::endl;
            std::_Exit(3);
        }
        if (*next == steps->size()) timer->stop();
    });
    timer->start(10);
}

// Runs once the application object exists; the timer starts from its event loop.
void Start() { QMetaObject::invokeMethod(qApp, Drive, Qt::QueuedConnection); }

// Qt calls the routines added here while it makes the application object.
const bool kAdded = (qAddPreRoutine(Start), true);

}  // namespace
