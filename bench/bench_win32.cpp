// bench_win32: times the Windows window's Browse (folder search, analysis, up to the summary
// box) and Fix files on the real dialog, and olvtool.exe's scan and fix on the same tree in the
// same run, with olvtool.exe's output going to a file; prints the ratios, the longest time the
// dialog's thread went without looking at its messages, and the memory of a list of a million
// rows. Made for Wine (bench/bench_windows.sh runs it); prints figures only.
//
//   bench_win32 [--files N,N,...] [--folders F] [--repeat R] [--rows N] [--root DIR] [--olvtool EXE]
//
// Each tree is flat: F folders (50 by default) of .olv files, a third of them version 4, the
// rest versions 3 and 5; 2,000 and 50,000 files by default. The trees go to DIR (default
// C:\quorvel-bench, which must not exist) and are removed at the end. Every measurement is
// taken R times (3 by default) in turns, window and olvtool.exe alternating; the best counts.
// The longest gap is measured twice: by the dialog logic itself (between its looks at the
// message queue; the target, as on Linux) and from a second thread that sends the window a
// message every few milliseconds and notes the longest wait for the answer, which also counts
// the time the window's own loop spends painting.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/WinPath.h"
#include "filelib/WekVerify.h"
#include "platform/win32/Win32Backend.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

#include <psapi.h>

namespace {

using namespace quorvel;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
    std::vector<std::size_t> files{2000, 50000};
    std::size_t folders = 50;
    int repeat = 3;
    std::size_t rows = 1000000;
    std::wstring root = L"C:\\quorvel-bench";
    std::wstring olvtool;
};

bool ParseCount(const std::wstring& text, std::size_t& value) {
    wchar_t* end = nullptr;
    const unsigned long long n = std::wcstoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == L'-' || *end != L'\0') return false;
    value = static_cast<std::size_t>(n);
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (i + 1 >= argc) return false;
        const std::wstring value = argv[++i];
        std::size_t n = 0;
        if (arg == L"--files") {
            o.files.clear();
            for (std::size_t start = 0; start <= value.size();) {
                const std::size_t comma = std::min(value.find(L',', start), value.size());
                if (!ParseCount(value.substr(start, comma - start), n) || n == 0) return false;
                o.files.push_back(n);
                start = comma + 1;
            }
        } else if (arg == L"--folders" && ParseCount(value, n) && n >= 1) {
            o.folders = n;
        } else if (arg == L"--repeat" && ParseCount(value, n) && n >= 1 && n <= 100) {
            o.repeat = static_cast<int>(n);
        } else if (arg == L"--rows" && ParseCount(value, n)) {
            o.rows = n;
        } else if (arg == L"--root") {
            o.root = value;
        } else if (arg == L"--olvtool") {
            o.olvtool = value;
        } else {
            return false;
        }
    }
    return true;
}

// olvtool.exe beside this program's build: ..\app\olvtool.exe.
std::wstring DefaultOlvtool() {
    wchar_t self[MAX_PATH] = {};
    std::wstring path(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    path.resize(path.rfind(L'\\'));
    path.resize(path.rfind(L'\\') + 1);
    return path + L"app\\olvtool.exe";
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (h == INVALID_HANDLE_VALUE || !::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        std::fprintf(stderr, "bench_win32: cannot write %s\n", win32::Narrow(path).c_str());
        std::exit(1);
    }
    ::CloseHandle(h);
}

// The flat tree: `folders` folders, `files` .olv files spread over them in turn; every third
// file version 4 with the recoverable fault, the others versions 3 and 5.
void BuildTree(const std::wstring& root, std::size_t files, std::size_t folders) {
    ::CreateDirectoryW(root.c_str(), nullptr);
    const std::vector<std::string> records{"alpha", "beta", "gamma"};
    std::string v3, v4, v5;
    WekEncode(3, records, false, v3);
    WekEncode(4, records, true, v4);
    WekEncode(5, records, false, v5);
    for (std::size_t f = 0; f < folders; ++f)
        ::CreateDirectoryW((root + L"\\folder-" + std::to_wstring(f)).c_str(), nullptr);
    for (std::size_t i = 0; i < files; ++i) {
        const std::wstring path = root + L"\\folder-" + std::to_wstring(i % folders) + L"\\file-" + std::to_wstring(i) + L".olv";
        WriteFileBytes(path, i % 3 == 0 ? v4 : i % 3 == 1 ? v3 : v5);
    }
}

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
        const std::wstring name = data.cFileName, path = folder + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
        else ::DeleteFileW(path.c_str());
    }
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    ::RemoveDirectoryW(folder.c_str());
}

// Runs olvtool.exe COMMAND ROOT with its output going to `out`; the wall time, or a negative
// value when it could not run or stopped on an error (exit 2 or worse; exit 1, some files not
// resaved, still times the whole run).
double RunOlvtool(const std::wstring& exe, const wchar_t* command, const std::wstring& root, const std::wstring& out) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    // Wine closes a finished child's handles a moment after the process ends: share everything.
    const HANDLE file = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bench_win32: cannot create %s (error %lu)\n", win32::Narrow(out).c_str(), ::GetLastError());
        return -1;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = file;
    si.hStdInput = nullptr;
    std::wstring line = L"\"" + exe + L"\" " + command + L" \"" + root + L"\"";
    PROCESS_INFORMATION pi{};
    const Clock::time_point start = Clock::now();
    if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "bench_win32: cannot start %s (error %lu)\n", win32::Narrow(exe).c_str(), ::GetLastError());
        ::CloseHandle(file);
        return -1;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    const double seconds = Seconds(Clock::now() - start);
    DWORD code = 1;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(file);
    return code <= 1 ? seconds : -1;
}

// The lines of olvtool.exe's output that are not a success (fix's failures and its summary).
std::vector<std::string> Problems(const std::wstring& out) {
    std::string text(1 << 16, '\0');
    const HANDLE h = ::CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    if (h != INVALID_HANDLE_VALUE) {
        ::ReadFile(h, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
        ::CloseHandle(h);
    }
    text.resize(got);
    std::vector<std::string> problems;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.rfind(quorvel::text::kFailedPrefix, 0) == 0) problems.push_back(line);
        at = end + 1;
    }
    return problems;
}

// From a second thread: sends the window a message every few milliseconds and keeps the
// longest wait for the answer.
class ResponseProbe {
public:
    explicit ResponseProbe(HWND hwnd) : m_hwnd(hwnd), m_thread([this] { Run(); }) {}
    // Answers the probe's last message while it finishes: it may be waiting on this thread.
    ~ResponseProbe() {
        m_stop = true;
        MSG msg;
        while (!m_done) {
            ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            ::Sleep(1);
        }
        m_thread.join();
    }
    double LongestMs() const { return m_longestMs.load(); }

private:
    void Run() {
        while (!m_stop) {
            const Clock::time_point sent = Clock::now();
            DWORD_PTR result = 0;
            ::SendMessageTimeoutW(m_hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
            const double waited = Millis(Clock::now() - sent);
            if (waited > m_longestMs.load()) m_longestMs = waited;
            ::Sleep(5);
        }
        m_done = true;
    }
    HWND m_hwnd;
    std::atomic<bool> m_stop{false}, m_done{false};
    std::atomic<double> m_longestMs{0};
    std::thread m_thread;
};

// Closes every message box of this thread as it opens and notes when the last one opened.
class BoxCloser {
public:
    BoxCloser() {
        s_self = this;
        m_hook = ::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId());
    }
    ~BoxCloser() {
        ::UnhookWindowsHookEx(m_hook);
        s_self = nullptr;
    }
    HWND main = nullptr;
    Clock::time_point opened{};
    int boxes = 0;

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        const auto hwnd = reinterpret_cast<HWND>(wParam);
        wchar_t cls[16] = {};
        // Message boxes are dialogs owned by the main window.
        if (code == HCBT_ACTIVATE && s_self && ::GetWindow(hwnd, GW_OWNER) && ::GetClassNameW(hwnd, cls, 16) &&
            std::wstring(cls) == L"#32770") {
            s_self->opened = Clock::now();
            ++s_self->boxes;
            ::PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline BoxCloser* s_self = nullptr;
    HHOOK m_hook = nullptr;
};

struct WindowRun {
    double browse = -1, fix = -1;
    double browseGapMs = 0, fixGapMs = 0;     // the dialog logic's own figure
    double browseProbeMs = 0, fixProbeMs = 0; // answer time seen from a second thread
    int rows = 0, version4 = 0;
    std::vector<std::string> failed;  // the rows Fix files could not resave: "outcome<TAB>path"
};

// What a timer step of the modal loop works on.
struct Bench {
    win32::Win32App* app = nullptr;
    CQuorvelDlg* logic = nullptr;
    BoxCloser* boxes = nullptr;
    WindowRun run;
    std::size_t rows = 0;
    double mib = -1;
};
Bench* g_bench = nullptr;

// Runs `step` from the dialog's modal loop once the window is up, then ends the dialog.
void RunInDialog(win32::Win32App& app, CQuorvelDlg& logic, TIMERPROC step) {
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, step);
    app.DoModal(logic);
    ::KillTimer(nullptr, timer);
}

void CALLBACK BrowseThenFix(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    Bench& b = *g_bench;
    WindowRun& run = b.run;
    const HWND dlg = b.app->Main().Handle();
    b.boxes->main = dlg;
    {
        ResponseProbe probe(dlg);
        const Clock::time_point start = Clock::now();
        ::SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0);
        if (b.boxes->boxes == 1) run.browse = Seconds(b.boxes->opened - start);
        run.browseProbeMs = probe.LongestMs();
    }
    run.browseGapMs = Millis(b.logic->LongestWithoutMessages());
    run.rows = b.app->Main().List().GetItemCount();
    run.version4 = b.logic->Version4Count();
    {
        ResponseProbe probe(dlg);
        const int boxesBefore = b.boxes->boxes;
        const Clock::time_point start = Clock::now();
        ::SendMessageW(::GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0);
        // A failure leaves a box at the end of the pass: the pass ended when it opened.
        run.fix = Seconds((b.boxes->boxes > boxesBefore ? b.boxes->opened : Clock::now()) - start);
        run.fixProbeMs = probe.LongestMs();
        IListView& list = b.app->Main().List();
        for (int row = 0; row < list.GetItemCount(); ++row)
            if (list.GetItemText(row, 1).rfind(quorvel::text::kFailedPrefix, 0) == 0)
                run.failed.push_back(list.GetItemText(row, 1) + "\t" + list.GetItemText(row, 0));
    }
    run.fixGapMs = Millis(b.logic->LongestWithoutMessages());
    ::EndDialog(dlg, IDCANCEL);
}

// Browse, then Fix files, on the real dialog: the window made from the resources, the Win32
// backend, the dialog logic; the folder picker answers with `root`.
WindowRun RunWindow(const std::string& root) {
    win32::Win32App app(::GetModuleHandleW(nullptr));
    app.InitCommonControls(8, 0xFF);
    app.Main().folderPickerForTest = [&](const std::string&) { return std::optional<std::string>(root); };
    CQuorvelDlg logic(app.MainDialogPort());
    BoxCloser boxes;
    Bench bench;
    bench.app = &app, bench.logic = &logic, bench.boxes = &boxes;
    g_bench = &bench;
    RunInDialog(app, logic, BrowseThenFix);
    g_bench = nullptr;
    return bench.run;
}

void CALLBACK FillList(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    Bench& b = *g_bench;
    PROCESS_MEMORY_COUNTERS_EX before{}, after{};
    before.cb = after.cb = sizeof before;
    const auto read = [](PROCESS_MEMORY_COUNTERS_EX& counters) {
        ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    };
    read(before);
    win32::MainDialog& port = b.app->Main();
    IListView& list = port.List();
    for (std::size_t i = 0; i < b.rows; ++i) {
        const int row = list.InsertItem(list.GetItemCount(), "C:\\customer-archive\\measurements\\folder-" +
                                                                  std::to_string(i % 50) + "\\station-readings-" +
                                                                  std::to_string(i) + ".olv");
        list.SetItemText(row, 1, i % 3 ? "3" : "4 - resaved");
        list.SetItemData(row, i % 3 ? 3 : 4);
        list.EnsureVisible(row);
        list.UpdateWindow();
        if (i % 1000 == 0) port.PumpMessages();
    }
    port.PumpMessages();
    read(after);
    // The larger of what the peak working set and the private memory grew by.
    const double peak = static_cast<double>(after.PeakWorkingSetSize - before.PeakWorkingSetSize);
    const double kept = static_cast<double>(after.PrivateUsage) - static_cast<double>(before.PrivateUsage);
    b.mib = std::max(peak, kept) / (1024.0 * 1024.0);
    ::EndDialog(port.Handle(), IDCANCEL);
}

// How much the peak memory of the process grows while a list of `rows` rows is filled through
// the port, in MiB.
double ListMemoryMiB(std::size_t rows) {
    win32::Win32App app(::GetModuleHandleW(nullptr));
    app.InitCommonControls(8, 0xFF);
    CQuorvelDlg logic(app.MainDialogPort());
    Bench bench;
    bench.app = &app, bench.logic = &logic, bench.rows = rows;
    g_bench = &bench;
    RunInDialog(app, logic, FillList);
    g_bench = nullptr;
    return bench.mib;
}

const char* Verdict(bool ok) { return ok ? "OK" : "MISSED"; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: bench_win32 [--files N,N,...] [--folders F] [--repeat R] [--rows N] [--root DIR] [--olvtool EXE]\n");
        return 2;
    }
    if (o.olvtool.empty()) o.olvtool = DefaultOlvtool();
    if (::GetFileAttributesW(o.root.c_str()) != INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "bench_win32: %s exists; give a new folder with --root\n", win32::Narrow(o.root).c_str());
        return 2;
    }
    if (!::CreateDirectoryW(o.root.c_str(), nullptr)) {
        std::fprintf(stderr, "bench_win32: cannot create %s\n", win32::Narrow(o.root).c_str());
        return 1;
    }
    std::printf("bench_win32 (%d-bit): %zu folders per tree, best of %d, olvtool.exe output to a file\n",
                static_cast<int>(sizeof(void*) * 8), o.folders, o.repeat);
    std::printf("%8s %9s %9s %9s %9s %8s %8s %9s %9s  %s\n", "files", "Browse", "scan", "Fix", "fix", "B/scan",
                "F/fix", "gap(dlg)", "gap(seen)", "targets");
    std::fflush(stdout);
    int status = 0;
    for (const std::size_t files : o.files) {
        const std::wstring tree = o.root + L"\\tree-" + std::to_wstring(files);
        BuildTree(tree, files, o.folders);
        const std::wstring out = o.root + L"\\olvtool-scan-" + std::to_wstring(files) + L".txt";
        const std::wstring fixOut = o.root + L"\\olvtool-fix-" + std::to_wstring(files) + L".txt";
        RunOlvtool(o.olvtool, L"scan", tree, out);  // warm: every folder and header read once
        double browse = 1e9, fix = 1e9, scan = 1e9, olvfix = 1e9, gap = 0, seen = 0;
        bool complete = true;
        for (int r = 0; r < o.repeat; ++r) {
            const WindowRun w = RunWindow(win32::Narrow(tree));
            const double s = RunOlvtool(o.olvtool, L"scan", tree, out);
            const double f = RunOlvtool(o.olvtool, L"fix", tree, fixOut);
            if (w.browse < 0 || w.fix < 0 || s < 0 || f < 0 || w.rows != static_cast<int>(files) ||
                w.version4 != static_cast<int>((files + 2) / 3)) {
                std::fprintf(stderr, "bench_win32: run %d on %zu files incomplete: Browse %.2f s, Fix %.2f s, scan %.2f s, "
                             "fix %.2f s, %d rows, %d of version 4\n", r + 1, files, w.browse, w.fix, s, f, w.rows, w.version4);
                complete = false;
                continue;
            }
            // Files that could not be resaved are timed like the rest; they are named here.
            const std::vector<std::string> toolFailed = Problems(fixOut);
            if (!w.failed.empty() || !toolFailed.empty())
                std::fprintf(stderr, "bench_win32: run %d on %zu files: %zu not resaved by the window (%s), %zu by olvtool.exe (%s)\n",
                             r + 1, files, w.failed.size(), w.failed.empty() ? "" : w.failed[0].c_str(), toolFailed.size(),
                             toolFailed.empty() ? "" : toolFailed[0].c_str());
            browse = std::min(browse, w.browse), fix = std::min(fix, w.fix);
            scan = std::min(scan, s), olvfix = std::min(olvfix, f);
            gap = std::max({gap, w.browseGapMs, w.fixGapMs});
            seen = std::max({seen, w.browseProbeMs, w.fixProbeMs});
        }
        if (!complete) status = 1;
        const bool small = files <= 2000;
        const bool browseOk = small ? browse <= 1.5 * scan + 1.0 : browse <= 2.0 * scan;
        const bool fixOk = fix <= 1.5 * olvfix;
        std::printf("%8zu %8.2fs %8.2fs %8.2fs %8.2fs %7.2fx %7.2fx %7.1fms %7.1fms  Browse %s (%s), Fix %s (<= 1.5x fix), gap %s (<= 50 ms)\n",
                    files, browse, scan, fix, olvfix, browse / scan, fix / olvfix, gap, seen, Verdict(browseOk),
                    small ? "<= 1.5x scan + 1 s" : "<= 2x scan", Verdict(fixOk), Verdict(gap <= 50));
        std::fflush(stdout);
        RemoveTree(tree);
        ::DeleteFileW(out.c_str());
        ::DeleteFileW(fixOut.c_str());
    }
    if (o.rows > 0) {
        const double mib = ListMemoryMiB(o.rows);
        std::printf("list of %zu rows: %.0f MiB more at the peak (target: <= 250 MB) %s\n", o.rows, mib, Verdict(mib >= 0 && mib * 1.048576 <= 250));
    }
    RemoveTree(o.root);
    return status;
}
