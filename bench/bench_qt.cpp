// bench_qt: times Browse (search, analysis, list filled) and Fix files through the real Qt
// backend, with its repaints paced and unpaced, beside the same commands on the headless port
// and a plain readdir-and-read-header loop over the same tree; then measures the peak memory
// of a list of many rows inserted through the port. Warm cache: one untimed walk comes first.
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM names another. Prints figures only.
//
//   bench_qt [--entries N] [--olv N] [--rows N] [--pacing-olv N] [--repeat R] [--root DIR] [--keep]
//
// The tree is built in DIR/tree (default DIR: a new folder under /tmp, removed at the end
// unless --keep is given). Painting every repaint request costs a repaint per row, so pacing
// on and off are compared on a smaller tree of its own, DIR/pacing (--pacing-olv .olv files
// among ten times as many entries; 0 skips it).

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QEventLoop>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include "bench/BenchTree.h"
#include "platform/qt/QtBackend.h"
#include "platform/scripted/ScriptedPort.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct Options {
    std::size_t entries = 200000;
    std::size_t olv = 20000;
    std::size_t rows = 1000000;
    std::size_t pacingOlv = 2000;  // .olv files of the small tree that compares pacing on and off
    int repeat = 3;
    std::string root;
    bool keep = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep") {
            o.keep = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        char* end = nullptr;
        const unsigned long long n = std::strtoull(value, &end, 10);
        const bool number = *value && *value != '-' && *end == '\0';
        if (arg == "--entries" && number) o.entries = n;
        else if (arg == "--olv" && number) o.olv = n;
        else if (arg == "--rows" && number) o.rows = n;
        else if (arg == "--pacing-olv" && number) o.pacingOlv = n;
        else if (arg == "--repeat" && number && n >= 1 && n <= 100) o.repeat = static_cast<int>(n);
        else if (arg == "--root") o.root = value;
        else return false;
    }
    return o.olv <= o.entries;
}

// A field of /proc/self/status ("VmHWM", "VmRSS") in MiB; -1 when absent.
double StatusMiB(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    double kib = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') kib = std::atof(line + n + 1);
    std::fclose(f);
    return kib < 0 ? -1 : kib / 1024.0;
}

// The plain loop: a recursive readdir walk that opens every *.olv file and reads its header.
int PlainWalk(const std::string& folder, int& version4) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return 0;
    int found = 0;
    while (const dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        const std::string path = folder + "/" + d->d_name;
        bool isFolder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            struct stat st {};
            isFolder = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (isFolder) {
            found += PlainWalk(path, version4);
            continue;
        }
        const std::size_t len = std::strlen(d->d_name);
        if (len < 4 || strcasecmp(d->d_name + len - 4, ".olv") != 0) continue;
        ++found;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) continue;
        unsigned char head[32];
        if (read(fd, head, sizeof head) == 32 && std::memcmp(head, "OLV\x1A", 4) == 0 && head[4] == 4 &&
            head[5] == 0 && head[6] == 0 && head[7] == 0)
            ++version4;
        close(fd);
    }
    closedir(dir);
    return found;
}

// This process's CPU time (user + system), in seconds.
double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Shows the main window and waits until it is on screen, so that repaints really paint.
void ShowWindow(quorvel::qt::QtDialogPort& port) {
    port.Window().show();
    while (!port.Window().windowHandle() || !port.Window().windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

struct QtBrowse {
    double seconds = 0;   // from the "Searching..." row to the summary box showing
    double longestGap = 0;   // the longest the dialog went without looking at window messages
    double pickerClose = 0;  // from choosing the folder to the "Searching..." row
    long long paints = 0;
    int rows = 0;
    int version4 = 0;
};

// Clicks Browse on the Qt dialog; the folder picker and the summary box are answered through
// their own buttons as soon as they show. The time runs from the "Searching..." row, which the
// dialog puts in as soon as the picker has returned, to the summary box.
QtBrowse TimeQtBrowse(quorvel::qt::QtDialogPort& port, quorvel::CQuorvelDlg& dlg,
                      const std::string& root, bool paced) {
    QtBrowse r;
    Clock::time_point chosen, searching, summary;
    bool searchStarted = false;
    const QMetaObject::Connection firstRow =
        QObject::connect(port.ListView().View().model(), &QAbstractItemModel::rowsInserted, [&] {
            if (!searchStarted) searching = Clock::now();
            searchStarted = true;
        });
    QTimer answer;
    answer.setInterval(1);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* picker = qobject_cast<QFileDialog*>(modal)) {
            picker->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(root));
            chosen = Clock::now();
            picker->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            summary = Clock::now();
            box->buttons().front()->click();
        }
    });
    answer.start();
    port.Pacer().SetPaced(paced);
    const long long paintsBefore = port.Pacer().Paints();
    static_cast<QPushButton*>(port.Control(IDC_BROWSE))->click();
    answer.stop();
    QObject::disconnect(firstRow);
    port.Pacer().SetPaced(true);
    r.seconds = Seconds(searching, summary);
    r.pickerClose = Seconds(chosen, searching);
    r.paints = port.Pacer().Paints() - paintsBefore;
    r.longestGap = std::chrono::duration<double>(dlg.LongestWithoutMessages()).count();
    r.rows = port.List().GetItemCount();
    r.version4 = dlg.Version4Count();
    return r;
}

// Builds a benchmark tree in `folder` and prints how long that took.
std::vector<std::string> Build(const std::string& folder, std::size_t entries, std::size_t olv) {
    quorvel::bench::TreeSpec shape;
    shape.entries = entries;
    shape.olvFiles = olv;
    const auto start = Clock::now();
    std::vector<std::string> paths = quorvel::bench::BuildTree(folder, shape);
    sync();
    std::printf("\ntree %s: %zu entries, %zu .olv files, built in %.1f s\n", folder.c_str(), entries,
                paths.size(), Seconds(start, Clock::now()));
    std::fflush(stdout);
    return paths;
}

void PrintRow(const char* name, double seconds, double plain, long long paints = -1) {
    std::printf("  %-44s %9.3f s", name, seconds);
    if (plain > 0) std::printf("  %6.2fx plain", seconds / plain);
    if (paints >= 0) std::printf("  %7lld repaints", paints);
    std::printf("\n");
}

// The measurements, run inside the main dialog's modal run so that clicks reach the dialog.
void Measure(const Options& opt, const std::string& work, quorvel::qt::QtDialogPort& port,
             quorvel::CQuorvelDlg& dlg) {
    ShowWindow(port);
    std::printf("quorvel Qt benchmark on the \"%s\" platform\n",
                QGuiApplication::platformName().toUtf8().constData());

    // Memory first: the peak only ever grows. Rows go in as the search and the analysis put
    // them: appended, version set, scrolled to and repainted one by one.
    const double hwmBefore = StatusMiB("VmHWM");
    quorvel::IListView& list = port.List();
    const auto fillStart = Clock::now();
    for (std::size_t i = 0; i < opt.rows; ++i) {
        char path[96];
        std::snprintf(path, sizeof path, "/home/someone/quorvel-data/d%03zu/d%03zu/file_%07zu.olv",
                      i % 97, i % 89, i);
        const int row = list.InsertItem(list.GetItemCount(), path);
        list.SetItemText(row, 1, "4");
        list.SetItemData(row, 4);
        list.EnsureVisible(row);
        list.UpdateWindow();
    }
    port.Pacer().Flush();
    QCoreApplication::processEvents();
    const double fillSeconds = Seconds(fillStart, Clock::now());
    const double hwmRows = StatusMiB("VmHWM");
    list.DeleteAllItems();
    QCoreApplication::processEvents();
    std::printf("\n%zu rows through the port: %.2f s; peak memory (VmHWM) %.1f MiB before, %.1f MiB with "
                "the rows: %s (target: within 250 MB)\n",
                opt.rows, fillSeconds, hwmBefore, hwmRows, hwmRows * 1.048576 <= 250 ? "OK" : "MISSED");
    std::fflush(stdout);

    // Idle: the window waits for input and nothing else runs.
    const double idleCpuBefore = CpuSeconds();
    {
        QEventLoop idle;
        QTimer::singleShot(2000, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const double idleCpu = CpuSeconds() - idleCpuBefore;
    std::printf("idle for 2 s with the window shown: %.1f ms of CPU\n", idleCpu * 1000);
    std::fflush(stdout);

    // Pacing on and off, on the small tree.
    QtBrowse smallPaced, smallUnpaced;
    if (opt.pacingOlv > 0) {
        const std::string small = work + "/pacing";
        Build(small, opt.pacingOlv * 10, opt.pacingOlv);
        int v4 = 0;
        PlainWalk(small, v4);  // warms the cache
        smallPaced = TimeQtBrowse(port, dlg, small, true);
        smallUnpaced = TimeQtBrowse(port, dlg, small, false);
        std::error_code ec;
        std::filesystem::remove_all(small, ec);
    }

    const std::string tree = work + "/tree";
    const std::vector<std::string> olvPaths = Build(tree, opt.entries, opt.olv);
    std::printf("best of %d runs, warm cache\n", opt.repeat);

    int plainV4 = 0;
    PlainWalk(tree, plainV4);  // warms the cache
    double plainBest = 1e9, headlessBest = 1e9, qtBest = 1e9;
    QtBrowse qtPaced;
    double browseGap = 0;
    int headlessV4 = 0;
    for (int i = 0; i < opt.repeat; ++i) {
        int v4 = 0;
        const auto t0 = Clock::now();
        PlainWalk(tree, v4);
        plainBest = std::min(plainBest, Seconds(t0, Clock::now()));

        quorvel::scripted::ScriptedDialogPort headless;
        quorvel::CQuorvelDlg headlessDlg(headless);
        headlessDlg.OnInitDialog();
        headless.pickerAnswers.push_back(tree);
        const auto t1 = Clock::now();
        headlessDlg.OnBnClickedBrowse();
        const double headlessSeconds = Seconds(t1, Clock::now());
        headlessBest = std::min(headlessBest, headlessSeconds);
        headlessV4 = headlessDlg.Version4Count();

        const QtBrowse b = TimeQtBrowse(port, dlg, tree, true);
        browseGap = std::max(browseGap, b.longestGap);
        if (b.seconds < qtBest) {
            qtBest = b.seconds;
            qtPaced = b;
        }
        std::printf("  run %d: plain %.3f s, headless Browse %.3f s, Qt Browse %.3f s\n", i + 1,
                    Seconds(t0, t1), headlessSeconds, b.seconds);
        std::fflush(stdout);
    }

    // Fix files on the Qt dialog (its list is that of the last Browse) and on the headless
    // port, taking turns; every pass rewrites every version-4 file again.
    quorvel::scripted::ScriptedDialogPort headless;
    quorvel::CQuorvelDlg headlessDlg(headless);
    headlessDlg.OnInitDialog();
    headless.pickerAnswers.push_back(tree);
    headlessDlg.OnBnClickedBrowse();
    double qtFix = 1e9, headlessFix = 1e9, fixGap = 0;
    long long fixPaints = 0;
    for (int i = 0; i < opt.repeat; ++i) {
        const auto f0 = Clock::now();
        const long long paintsBefore = port.Pacer().Paints();
        static_cast<QPushButton*>(port.Control(IDOK))->click();
        const double qtSeconds = Seconds(f0, Clock::now());
        fixGap = std::max(fixGap, std::chrono::duration<double>(dlg.LongestWithoutMessages()).count());
        if (qtSeconds < qtFix) {
            qtFix = qtSeconds;
            fixPaints = port.Pacer().Paints() - paintsBefore;
        }
        const auto f1 = Clock::now();
        headlessDlg.OnBnClickedFixFiles();
        const double headlessSeconds = Seconds(f1, Clock::now());
        headlessFix = std::min(headlessFix, headlessSeconds);
        std::printf("  run %d: Qt Fix files %.3f s, headless Fix files %.3f s\n", i + 1, qtSeconds,
                    headlessSeconds);
        std::fflush(stdout);
    }
    int resaved = 0;
    for (int i = list.GetNextItem(-1); i != -1; i = list.GetNextItem(i))
        if (list.GetItemText(i, 1) == quorvel::text::kResaved) ++resaved;

    std::printf("\nBrowse: search, analysis and list filled (%d rows, %d of version 4)\n", qtPaced.rows,
                qtPaced.version4);
    PrintRow("plain readdir + header reads", plainBest, 0);
    PrintRow("headless port", headlessBest, plainBest);
    PrintRow("Qt backend (repaints paced to display frames)", qtBest, plainBest, qtPaced.paints);
    std::printf("  (before it: the folder picker closing, %.3f s)\n", qtPaced.pickerClose);
    if (opt.pacingOlv > 0) {
        std::printf("Pacing, Browse of %d rows:\n", smallPaced.rows);
        PrintRow("Qt backend, repaints paced to display frames", smallPaced.seconds, 0, smallPaced.paints);
        PrintRow("Qt backend, every repaint request painted", smallUnpaced.seconds, 0, smallUnpaced.paints);
    }
    std::printf("Fix files (%d version 4 files)\n", dlg.Version4Count());
    PrintRow("headless port", headlessFix, 0);
    std::printf("  %-44s %9.3f s  %6.2fx headless  %7lld repaints\n", "Qt backend", qtFix,
                headlessFix > 0 ? qtFix / headlessFix : 0.0, fixPaints);

    std::printf("longest the dialog went without looking at window messages: Browse %.1f ms, Fix files %.1f ms\n",
                browseGap * 1000, fixGap * 1000);

    std::printf("\ntargets\n  Browse within 2x the plain loop: %.2fx %s\n", qtBest / plainBest,
                qtBest <= 2 * plainBest ? "OK" : "MISSED");
    std::printf("  never 50 ms without looking at messages: %.1f ms %s\n",
                std::max(browseGap, fixGap) * 1000, std::max(browseGap, fixGap) <= 0.05 ? "OK" : "MISSED");
    std::printf("  peak memory of %zu rows within 250 MB: %.0f MB %s\n", opt.rows, hwmRows * 1.048576,
                hwmRows * 1.048576 <= 250 ? "OK" : "MISSED");
    std::printf("  no CPU while idle: %.1f ms in 2 s %s\n", idleCpu * 1000, idleCpu < 0.02 ? "OK" : "MISSED");
    std::printf("checks\n  rows %zu found, %d listed; version 4: plain %d, headless %d, Qt %d; resaved %d: %s\n",
                olvPaths.size(), qtPaced.rows, plainV4, headlessV4, qtPaced.version4, resaved,
                static_cast<std::size_t>(qtPaced.rows) == olvPaths.size() && plainV4 == qtPaced.version4 &&
                        headlessV4 == plainV4 && resaved == plainV4
                    ? "ok"
                    : "MISMATCH");
}

// Runs the measurements inside the main dialog's modal run; returns false when one failed.
bool Run(const Options& opt, const std::string& work) {
    quorvel::qt::QtBackend backend;
    quorvel::CQuorvelDlg dlg(backend.Dialog());
    bool ok = true;
    QTimer::singleShot(0, [&] {
        // Nothing may throw through Qt's event loop.
        try {
            Measure(opt, work, backend.Dialog(), dlg);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "bench_qt: %s\n", e.what());
            ok = false;
        }
        backend.Dialog().EndDialog(0);
    });
    backend.DoModal(dlg);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: bench_qt [--entries N] [--olv N] [--rows N] [--pacing-olv N] [--repeat R] [--root DIR] [--keep]\n"
                     "  defaults: 200000 entries, 20000 .olv files, 1000000 rows, 2000 .olv files (in 20000\n"
                     "  entries) for pacing on/off, 3 runs, a new folder under /tmp\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(quorvel::text::kAppName);

    std::string work;
    bool made = false;
    try {
        work = quorvel::bench::MakeWorkFolder(opt.root, made);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_qt: %s\n", e.what());
        return 2;
    }
    const int status = Run(opt, work) ? 0 : 1;
    if (!opt.keep) {
        std::error_code ec;
        std::filesystem::remove_all(made ? work : work + "/tree", ec);
    }
    return status;
}
