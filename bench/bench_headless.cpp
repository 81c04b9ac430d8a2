// bench_headless: times Browse (folder search and version analysis) and Fix files on the
// scripted port against plain loops over the same tree, and shows that the version probe reads
// the same few bytes whatever a file's size. All runs are warm-cache: one untimed walk comes
// first and caches are never dropped. It prints figures and exits 0 whatever they are.
//
//   bench_headless [--entries N] [--olv N] [--root DIR] [--keep] [--repeat R]
//                  [--in-flight N] [--fix-jobs N,N,...] [--deep LEVELS]
//   bench_headless --memory [--root DIR] [--keep]
//
// --memory measures only the peak memory of Fix files on large files instead: 12 files of
// 64 MiB with 24 in flight, and one file of 256 MiB, each pass in a process of its own.
//
// Everything is made in DIR (default: a new folder under /tmp): DIR/tree for the tree and
// DIR/probe for the probe's files. Both are removed at the end unless --keep is given.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/BenchTree.h"
#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "platform/scripted/ScriptedPort.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeaderBytes = 32;  // the fixed .olv header (filelib/FORMAT.md)
constexpr double kBrowseTarget = 1.0;     // Browse vs. the plain loop, on a local disk
constexpr double kFixTarget = 1.0 / 3;    // Fix files vs. the plain loop, on a local disk
constexpr int kProbeFiles = 50;           // files of each size for the probe measurement

// Wall time (steady clock) and this process's CPU time (user + system), in seconds.
struct Times {
    double wall = 0;
    double cpu = 0;
};

double CpuNow() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    const auto sec = [](const timeval& tv) {
        return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    };
    return sec(ru.ru_utime) + sec(ru.ru_stime);
}

class Stopwatch {
public:
    Stopwatch() : m_wall(Clock::now()), m_cpu(CpuNow()) {}
    Times Elapsed() const {
        return {std::chrono::duration<double>(Clock::now() - m_wall).count(), CpuNow() - m_cpu};
    }

private:
    Clock::time_point m_wall;
    double m_cpu;
};

// The best of several runs: the least wall time and, on its own, the least CPU time.
void KeepBest(Times& best, const Times& t, bool first) {
    if (first || t.wall < best.wall) best.wall = t.wall;
    if (first || t.cpu < best.cpu) best.cpu = t.cpu;
}

Times Best(int repeat, const std::function<Times()>& run) {
    Times best;
    for (int i = 0; i < repeat; ++i) KeepBest(best, run(), i == 0);
    return best;
}

struct Options {
    std::size_t entries = 200000;
    std::size_t olv = 20000;
    std::string root;
    bool keep = false;
    int repeat = 3;
    std::size_t inFlight = 16;    // operations the plain parallel loops keep in flight
    std::size_t fixInFlight = 24; // rewrites the spread plain loop keeps in flight
    std::vector<int> fixJobs;     // Fix files again with each of these numbers of files in flight
    std::size_t deep = 0;         // also walk chains of deep/4, deep/2 and deep folders
    bool memory = false;          // measure only Fix files' peak memory on large files
    std::size_t plainRewrite = 0; // only rewrite the paths on stdin plainly, this many at a time
};

bool ParseCount(const char* text, std::size_t& out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') return false;
    out = static_cast<std::size_t>(v);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::size_t n = 0;
        if (arg == "--keep") {
            o.keep = true;
        } else if (arg == "--memory") {
            o.memory = true;
        } else if (arg == "--entries" && ParseCount(value, n)) {
            o.entries = n;
            ++i;
        } else if (arg == "--olv" && ParseCount(value, n)) {
            o.olv = n;
            ++i;
        } else if (arg == "--repeat" && ParseCount(value, n) && n >= 1 && n <= 100) {
            o.repeat = static_cast<int>(n);
            ++i;
        } else if (arg == "--root" && value && *value) {
            o.root = value;
            ++i;
        } else if (arg == "--in-flight" && ParseCount(value, n) && n >= 1 && n <= 256) {
            o.inFlight = n;
            ++i;
        } else if (arg == "--fix-jobs" && value && *value) {
            // A comma-separated list, e.g. 1,2,4,8,16.
            for (const char* p = value; *p;) {
                char* end = nullptr;
                const long jobs = std::strtol(p, &end, 10);
                if (end == p || jobs < 1 || jobs > 256 || (*end != ',' && *end != '\0')) return false;
                o.fixJobs.push_back(static_cast<int>(jobs));
                p = *end ? end + 1 : end;
            }
            ++i;
        } else if (arg == "--plain-rewrite" && ParseCount(value, n) && n >= 1 && n <= 256) {
            o.plainRewrite = n;
            ++i;
        } else if (arg == "--deep" && ParseCount(value, n) && n >= 4) {
            o.deep = n;
            ++i;
        } else {
            return false;
        }
    }
    return o.olv <= o.entries;
}

// ---- small file helpers ---------------------------------------------------------------

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, std::string& out) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = read(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return true;
}

std::string ReadFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open", path);
    std::string bytes;
    const bool ok = ReadAll(fd, bytes);
    close(fd);
    if (!ok) Fail("cannot read", path);
    return bytes;
}

// Creates or truncates `path` and writes `bytes` (fixture data: no flush, no rename).
void PutFile(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", path);
    const bool ok = WriteAll(fd, bytes);
    if (close(fd) != 0 || !ok) Fail("cannot write", path);
}

// Bytes this process has read through read() and friends so far (/proc/self/io "rchar");
// 0 when the kernel does not provide it.
std::uint64_t ReadChars() {
    const int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[1024];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char* p = std::strstr(buf, "rchar:");
    return p ? std::strtoull(p + 6, nullptr, 10) : 0;
}

// ---- the plain loops ------------------------------------------------------------------

struct PlainFile {
    std::string path;
    int version = 0;  // from the header; 0 when not read or not an .olv header
};

bool HasOlvExtension(const char* name) {
    const std::size_t n = std::strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".olv") == 0;
}

// The header's version field, or 0 when `head` is not a whole .olv header.
int HeaderVersion(const unsigned char* head, ssize_t n) {
    if (n != static_cast<ssize_t>(kHeaderBytes) || std::memcmp(head, "OLV\x1A", 4) != 0) return 0;
    const std::uint32_t v = head[4] | head[5] << 8 | head[6] << 16 | static_cast<std::uint32_t>(head[7]) << 24;
    return static_cast<int>(std::min<std::uint32_t>(v, 0x7FFFFFFF));
}

// The version in the header of entry `name` of the open folder `dirFd`; 0 when unreadable.
int HeaderVersionAt(int dirFd, const char* name) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    unsigned char head[kHeaderBytes];
    const int version = HeaderVersion(head, read(fd, head, sizeof head));
    close(fd);
    return version;
}

// Reads one folder with readdir: `onFolder(path)` for each subfolder (links to folders too),
// `onOlv(dirFd, name)` for each *.olv entry.
template <class OnFolder, class OnOlv>
void ListPlainFolder(const std::string& folder, OnFolder onFolder, OnOlv onOlv) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    const int dirFd = dirfd(dir);
    while (const dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        bool isFolder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
            struct stat st;
            isFolder = fstatat(dirFd, d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (isFolder)
            onFolder(folder + "/" + d->d_name);
        else if (HasOlvExtension(d->d_name))
            onOlv(dirFd, d->d_name);
    }
    closedir(dir);
}

// What a program without any UI would do: a recursive readdir walk that lists every *.olv file
// and, when `readHeaders`, opens it and reads its fixed header.
void PlainWalk(const std::string& folder, bool readHeaders, std::vector<PlainFile>& found) {
    ListPlainFolder(
        folder, [&](const std::string& sub) { PlainWalk(sub, readHeaders, found); },
        [&](int dirFd, const char* name) {
            found.push_back({folder + "/" + name, readHeaders ? HeaderVersionAt(dirFd, name) : 0});
        });
}

// The probe half on its own: open each listed file by its path and read its header.
int PlainHeaderReads(std::vector<PlainFile>& files) {
    int version4 = 0;
    for (PlainFile& file : files) {
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) continue;
        unsigned char head[kHeaderBytes];
        file.version = HeaderVersion(head, read(fd, head, sizeof head));
        close(fd);
        if (file.version == quorvel::kTargetVersion) ++version4;
    }
    return version4;
}

// The plain safe rewrite: read the whole file, write a temporary file beside it, flush it,
// rename it over the original and flush the folder.
bool PlainRewrite(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::string bytes;
    const bool read = ReadAll(in, bytes);
    close(in);
    if (!read) return false;

    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string temp = folder + "/.bench-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) return false;
    bool ok = WriteAll(out, bytes) && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    ok = fsync(dirFd) == 0;
    close(dirFd);
    return ok;
}

// The same walk and header reads with `threads` operations in flight and no order kept: folders
// go to a shared queue, any thread lists one, queues its subfolders and reads the headers of
// its .olv files. Returns the .olv files found and counts the version-4 ones.
std::size_t PlainParallelWalk(const std::string& root, std::size_t threads, std::size_t& version4) {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::string> folders{root};
    std::size_t busy = 0, files = 0, v4 = 0;
    const auto work = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            cv.wait(lock, [&] { return !folders.empty() || busy == 0; });
            if (folders.empty()) return;
            std::string folder = std::move(folders.front());
            folders.pop_front();
            ++busy;
            lock.unlock();
            std::vector<std::string> subfolders;
            std::size_t found = 0, found4 = 0;
            ListPlainFolder(
                folder, [&](const std::string& sub) { subfolders.push_back(sub); },
                [&](int dirFd, const char* name) {
                    ++found;
                    if (HeaderVersionAt(dirFd, name) == quorvel::kTargetVersion) ++found4;
                });
            lock.lock();
            for (std::string& f : subfolders) folders.push_back(std::move(f));
            files += found;
            v4 += found4;
            --busy;
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t i = 0; i < threads; ++i) pool.emplace_back(work);
    for (std::thread& t : pool) t.join();
    version4 = v4;
    return files;
}

// The plain safe rewrite of every file with `threads` rewrites in flight; returns the failures.
std::size_t PlainParallelRewrite(const std::vector<std::string>& paths, std::size_t threads) {
    std::atomic<std::size_t> next{0}, failures{0};
    std::vector<std::thread> pool;
    for (std::size_t i = 0; i < threads; ++i)
        pool.emplace_back([&] {
            for (std::size_t at; (at = next++) < paths.size();)
                if (!PlainRewrite(paths[at])) ++failures;
        });
    for (std::thread& t : pool) t.join();
    return failures;
}

// The same paths in an order that spreads consecutive ones over folders: one file of each
// folder in turn (the folders in the order they first appear), as a loop that knows the kernel
// serialises names within a folder would take them.
std::vector<std::string> SpreadOverFolders(const std::vector<std::string>& paths) {
    std::vector<std::vector<std::string>> byFolder;
    std::unordered_map<std::string, std::size_t> index;
    for (const std::string& p : paths) {
        const std::string folder = p.substr(0, p.rfind('/'));
        const auto [it, added] = index.emplace(folder, byFolder.size());
        if (added) byFolder.emplace_back();
        byFolder[it->second].push_back(p);
    }
    std::vector<std::string> spread;
    spread.reserve(paths.size());
    for (std::size_t round = 0; spread.size() < paths.size(); ++round)
        for (const std::vector<std::string>& files : byFolder)
            if (round < files.size()) spread.push_back(files[round]);
    return spread;
}

// ---- deep chains of folders ----------------------------------------------------------------

// `levels` nested folders "a" in `root`, with one .olv file at the bottom.
void MakeChain(const std::string& root, std::size_t levels) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t i = 0; i < levels && fd >= 0; ++i) {
        mkdirat(fd, "a", 0755);
        const int next = openat(fd, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    if (fd < 0) Fail("cannot make a chain in", root);
    const int file = openat(fd, "x.olv", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (file >= 0) close(file);
    close(fd);
}

// Removes a chain in time linear in its depth: the second level moves up, the first goes.
void RemoveChain(const std::string& root) {
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (top >= 0) {
        const int a = openat(top, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (a < 0) break;
        unlinkat(a, "x.olv", 0);
        const bool deeper = renameat(a, "a", top, "b") == 0;
        close(a);
        unlinkat(top, "a", AT_REMOVEDIR);
        if (!deeper || renameat(top, "b", top, "a") != 0) break;
    }
    if (top >= 0) close(top);
    rmdir(root.c_str());
}

// The plain walk of a chain: list a folder, open its "a" inside it, and so on.
std::size_t PlainChainWalk(const std::string& root) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t levels = 0;
    while (fd >= 0) {
        DIR* dir = fdopendir(fd);
        bool deeper = false;
        while (const dirent* d = readdir(dir)) deeper = deeper || std::strcmp(d->d_name, "a") == 0;
        const int next = deeper ? openat(dirfd(dir), "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        closedir(dir);
        fd = next;
        ++levels;
    }
    return levels;
}

// Runs `work` in a child process; its wall seconds and peak resident memory in MiB.
std::pair<double, double> InChild(const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) Fail("cannot make a pipe", "");
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Stopwatch watch;
        work();
        double figures[2] = {watch.Elapsed().wall, 0};
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        figures[1] = static_cast<double>(ru.ru_maxrss) / 1024.0;
        const bool sent = write(fds[1], figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
        _exit(sent ? 0 : 1);
    }
    close(fds[1]);
    double figures[2] = {-1, -1};
    if (read(fds[0], figures, sizeof figures) != static_cast<ssize_t>(sizeof figures)) figures[0] = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {figures[0], figures[1]};
}

// ---- the dialog on the scripted port -----------------------------------------------------

struct BrowseResult {
    Times times;
    int rows = 0;
    int version4 = 0;
    double longestGap = 0;  // seconds the dialog went without looking at window messages
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

BrowseResult TimeBrowse(const std::string& root) {
    quorvel::scripted::ScriptedDialogPort port;
    quorvel::CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    const Stopwatch watch;
    dlg.OnBnClickedBrowse();
    BrowseResult r;
    r.times = watch.Elapsed();
    r.longestGap = Seconds(dlg.LongestWithoutMessages());
    // Rows that got a version: the "no files" row of an empty tree does not count.
    for (const quorvel::scripted::Row& row : port.list.rows)
        if (!row.version.empty()) ++r.rows;
    r.version4 = dlg.Version4Count();
    return r;
}

struct SplitResult {
    Times search;
    Times analysis;
};

// The two halves of Browse, each timed on its own.
SplitResult TimeBrowseHalves(const std::string& root) {
    quorvel::scripted::ScriptedDialogPort port;
    quorvel::CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    SplitResult r;
    const Stopwatch search;
    dlg.SearchFolder(root);
    r.search = search.Elapsed();
    const Stopwatch analysis;
    dlg.AnalyzeFiles();
    r.analysis = analysis.Elapsed();
    return r;
}

struct FixResult {
    Times times;
    int version4 = 0;
    int resaved = 0;  // rows marked as rewritten
    std::size_t failureBoxes = 0;
    double longestGap = 0;
};

// Browse (not timed), then Fix files (timed) with `jobs` files in flight (0: the default).
FixResult TimeFix(const std::string& root, int jobs = 0) {
    quorvel::scripted::ScriptedDialogPort port;
    quorvel::CQuorvelDlg dlg(port);
    if (jobs > 0) {
        quorvel::FileWork work;
        work.resaveJobs = jobs;
        dlg.SetFileWork(work);
    }
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    dlg.OnBnClickedBrowse();
    const std::size_t boxes = port.messageBoxes.size();
    const Stopwatch watch;
    dlg.OnBnClickedFixFiles();
    FixResult r;
    r.times = watch.Elapsed();
    r.longestGap = Seconds(dlg.LongestWithoutMessages());
    r.version4 = dlg.Version4Count();
    r.failureBoxes = port.messageBoxes.size() - boxes;
    for (const quorvel::scripted::Row& row : port.list.rows)
        if (row.version == quorvel::text::kResaved) ++r.resaved;
    return r;
}

// ---- the probe's reading ------------------------------------------------------------------

// The library's own count of bytes read, where this version of it keeps one; -1 otherwise.
template <class File>
double CounterOf(const File& file) {
    if constexpr (requires { file.BytesReadByLastCall(); })
        return static_cast<double>(file.BytesReadByLastCall());
    else
        return -1;
}

struct ReadPerFile {
    double rchar = 0;    // measured through /proc/self/io
    double counter = 0;  // the library's counter, -1 when it has none
    int wrongVersions = 0;
};

// Average bytes read per file by the probe (quick) or by a full Load.
ReadPerFile MeasureReads(const std::vector<std::string>& files, bool quick, int expectedVersion) {
    // Reading /proc/self/io counts too: the first read's bytes show up in the second.
    const std::uint64_t a = ReadChars();
    const std::uint64_t overhead = ReadChars() - a;
    ReadPerFile r;
    double counted = 0;
    const std::uint64_t before = ReadChars();
    for (const std::string& path : files) {
        CWekFile file;
        if (quick) {
            file.m_nQuickFlag = 1;
            file.LoadQuick(path.c_str(), nullptr, 0);
        } else {
            file.Load(path.c_str(), nullptr, nullptr, 0, 0);
        }
        if (file.GetSimpleVersion() != expectedVersion) ++r.wrongVersions;
        counted += CounterOf(file);
    }
    const std::uint64_t after = ReadChars();
    const double n = static_cast<double>(files.size());
    r.rchar = before && after ? static_cast<double>(after - before - overhead) / n : -1;
    r.counter = counted < 0 ? -1 : counted / n;
    return r;
}

// `count` version-4 files of about `size` bytes each in `folder`.
std::vector<std::string> MakeProbeFiles(const std::string& folder, const char* stem, std::size_t size,
                                        int count) {
    // Records of at most 1 MiB, so a large file has several.
    const std::size_t body = size - kHeaderBytes;
    const std::size_t perRecord = std::size_t{1} << 20;
    const std::size_t records = std::max<std::size_t>(1, (body + perRecord + 7) / (perRecord + 8));
    const std::size_t length = body / records - 8;
    std::vector<std::string> content(records);
    for (std::size_t i = 0; i < records; ++i) content[i].assign(length, static_cast<char>('a' + i % 26));
    std::string bytes;
    if (!WekEncode(quorvel::kTargetVersion, content, false, bytes))
        throw std::runtime_error("cannot encode a probe file");
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        paths.push_back(folder + "/" + stem + "_" + std::to_string(i) + ".olv");
        PutFile(paths.back(), bytes);
    }
    return paths;
}

// ---- printing -----------------------------------------------------------------------------

std::string Ratio(double a, double b) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", b > 0 ? a / b : 0.0);
    return buf;
}

// One line of the table; `plain` is the loop it is compared with, if any.
void PrintRow(const char* name, std::size_t files, const Times& t, const Times* plain = nullptr) {
    std::printf("%-34s %7zu %9.3f %9.3f %10.0f", name, files, t.wall, t.cpu,
                t.wall > 0 ? static_cast<double>(files) / t.wall : 0.0);
    if (plain)
        std::printf("  %8s %8s", Ratio(t.wall, plain->wall).c_str(), Ratio(t.cpu, plain->cpu).c_str());
    std::printf("\n");
}

const char* Verdict(bool ok) { return ok ? "OK" : "MISSED"; }
const char* Check(bool ok) { return ok ? "ok" : "MISMATCH"; }

void PrintBytes(const char* label, double v) {
    if (v < 0)
        std::printf("  %s n/a", label);
    else
        std::printf("  %s %.1f B", label, v);
}

// ---- the run ------------------------------------------------------------------------------

void Run(const Options& opt, const std::string& work) {
    const std::string treeRoot = work + "/tree";
    const std::string probeRoot = work + "/probe";
    const int R = opt.repeat;

    std::printf("quorvel headless benchmark: %zu entries, %zu .olv files, best of %d runs\n",
                opt.entries, opt.olv, R);
    std::fflush(stdout);

    const Stopwatch build;
    quorvel::bench::TreeSpec shape;
    shape.entries = opt.entries;
    shape.olvFiles = opt.olv;
    const std::vector<std::string> olvPaths = quorvel::bench::BuildTree(treeRoot, shape);
    sync();
    std::printf("tree %s built in %.1f s\n", treeRoot.c_str(), build.Elapsed().wall);
    std::fflush(stdout);

    // One untimed walk so that both sides start warm; caches are never dropped.
    std::vector<PlainFile> listed;
    PlainWalk(treeRoot, true, listed);
    std::vector<std::string> v4Paths;
    for (const PlainFile& f : listed)
        if (f.version == quorvel::kTargetVersion) v4Paths.push_back(f.path);
    const std::size_t nOlv = listed.size();
    const std::size_t nV4 = v4Paths.size();

    // 1, 2: Browse, the plain walk and the plain walk with operations in flight, taking turns.
    BrowseResult browse;
    Times browseBest, plainBest, parallelBest;
    double browseGap = 0;
    std::size_t parallelFound = 0, parallelV4 = 0;
    for (int i = 0; i < R; ++i) {
        browse = TimeBrowse(treeRoot);
        KeepBest(browseBest, browse.times, i == 0);
        browseGap = std::max(browseGap, browse.longestGap);
        std::vector<PlainFile> found;
        found.reserve(nOlv);
        const Stopwatch watch;
        PlainWalk(treeRoot, true, found);
        const Times plain = watch.Elapsed();
        KeepBest(plainBest, plain, i == 0);
        const Stopwatch parallelWatch;
        parallelFound = PlainParallelWalk(treeRoot, opt.inFlight, parallelV4);
        const Times parallel = parallelWatch.Elapsed();
        KeepBest(parallelBest, parallel, i == 0);
        std::printf("  run %d: Browse %.3f s, plain walk %.3f s, plain walk with %zu in flight %.3f s\n", i + 1,
                    browse.times.wall, plain.wall, opt.inFlight, parallel.wall);
        std::fflush(stdout);
    }

    // The halves of Browse against the same halves done plainly.
    Times searchBest, analysisBest;
    for (int i = 0; i < R; ++i) {
        const SplitResult s = TimeBrowseHalves(treeRoot);
        KeepBest(searchBest, s.search, i == 0);
        KeepBest(analysisBest, s.analysis, i == 0);
    }
    const Times plainNamesBest = Best(R, [&] {
        std::vector<PlainFile> found;
        found.reserve(nOlv);
        const Stopwatch watch;
        PlainWalk(treeRoot, false, found);
        return watch.Elapsed();
    });
    int plainHeaderV4 = 0;
    const Times plainHeadersBest = Best(R, [&] {
        std::vector<PlainFile> files = listed;
        const Stopwatch watch;
        plainHeaderV4 = PlainHeaderReads(files);
        return watch.Elapsed();
    });

    // 3, 4: Fix files and the plain rewrite, taking turns, each on the original bytes.
    std::vector<std::string> originals;
    originals.reserve(nV4);
    std::size_t faultyBefore = 0;
    for (const std::string& p : v4Paths) {
        originals.push_back(ReadFile(p));
        if (WekVerify(p.c_str()) != WEK_OK) ++faultyBefore;
    }
    const auto restore = [&] {
        for (std::size_t i = 0; i < nV4; ++i) PutFile(v4Paths[i], originals[i]);
        sync();
    };
    FixResult fix;
    Times fixBest, rewriteBest, parallelRewriteBest, spreadRewriteBest;
    const std::vector<std::string> spreadPaths = SpreadOverFolders(v4Paths);
    double fixGap = 0;
    std::size_t strictAfterFix = 0, rewriteFailures = 0;
    for (int i = 0; i < R; ++i) {
        restore();
        const FixResult f = TimeFix(treeRoot);
        KeepBest(fixBest, f.times, i == 0);
        fixGap = std::max(fixGap, f.longestGap);
        if (i == 0) {
            fix = f;
            for (const std::string& p : v4Paths)
                if (WekVerify(p.c_str()) == WEK_OK) ++strictAfterFix;
        }
        restore();
        const Stopwatch watch;
        for (const std::string& p : v4Paths)
            if (!PlainRewrite(p)) ++rewriteFailures;
        const Times plain = watch.Elapsed();
        KeepBest(rewriteBest, plain, i == 0);
        restore();
        const Stopwatch parallelWatch;
        rewriteFailures += PlainParallelRewrite(v4Paths, opt.inFlight);
        const Times parallel = parallelWatch.Elapsed();
        KeepBest(parallelRewriteBest, parallel, i == 0);
        restore();
        const Stopwatch spreadWatch;
        rewriteFailures += PlainParallelRewrite(spreadPaths, opt.fixInFlight);
        const Times spread = spreadWatch.Elapsed();
        KeepBest(spreadRewriteBest, spread, i == 0);
        std::printf("  run %d: Fix files %.3f s, plain rewrite %.3f s, with %zu in flight %.3f s, "
                    "%zu in flight spread over folders %.3f s\n", i + 1, f.times.wall, plain.wall, opt.inFlight,
                    parallel.wall, opt.fixInFlight, spread.wall);
        std::fflush(stdout);
    }
    // Fix files with other numbers of files in flight, to choose the default by.
    std::vector<std::pair<int, Times>> byJobs;
    for (const int jobs : opt.fixJobs) {
        Times best;
        for (int i = 0; i < R; ++i) {
            restore();
            KeepBest(best, TimeFix(treeRoot, jobs).times, i == 0);
        }
        byJobs.emplace_back(jobs, best);
        std::printf("  Fix files with %d in flight: %.3f s\n", jobs, best.wall);
        std::fflush(stdout);
    }
    restore();

    // Deep chains: the search's time and memory against the depth.
    struct DeepRow {
        std::size_t levels;
        std::pair<double, double> search, plain;
        std::size_t rows;
    };
    std::vector<DeepRow> deepRows;
    for (const std::size_t levels : {opt.deep / 4, opt.deep / 2, opt.deep}) {
        if (opt.deep == 0) break;
        const std::string chain = work + "/deep";
        if (mkdir(chain.c_str(), 0755) != 0) Fail("cannot create", chain);
        MakeChain(chain, levels);
        PlainChainWalk(chain);  // warms the cache
        DeepRow row{levels, {}, {}, 0};
        row.plain = InChild([&] { PlainChainWalk(chain); });
        row.search = InChild([&] {
            quorvel::scripted::ScriptedDialogPort port;
            quorvel::CQuorvelDlg dlg(port);
            dlg.SearchFolder(chain);
            if (port.list.GetItemCount() != 1) std::fprintf(stderr, "deep walk: %d rows\n", port.list.GetItemCount());
        });
        RemoveChain(chain);
        deepRows.push_back(row);
        std::printf("  %zu levels: search %.2f s, plain %.2f s\n", levels, row.search.first, row.plain.first);
        std::fflush(stdout);
    }

    // 5: the probe's reading for small and large files.
    if (mkdir(probeRoot.c_str(), 0755) != 0) Fail("cannot create", probeRoot);
    constexpr std::size_t kSmall = 4 * 1024, kLarge = 4 * 1024 * 1024;
    const std::vector<std::string> small = MakeProbeFiles(probeRoot, "small", kSmall, kProbeFiles);
    const std::vector<std::string> large = MakeProbeFiles(probeRoot, "large", kLarge, kProbeFiles);
    const auto smallSize = static_cast<std::size_t>(std::filesystem::file_size(small.front()));
    const auto largeSize = static_cast<std::size_t>(std::filesystem::file_size(large.front()));
    const ReadPerFile quickSmall = MeasureReads(small, true, quorvel::kTargetVersion);
    const ReadPerFile quickLarge = MeasureReads(large, true, quorvel::kTargetVersion);
    const ReadPerFile fullSmall = MeasureReads(small, false, quorvel::kTargetVersion);
    const ReadPerFile fullLarge = MeasureReads(large, false, quorvel::kTargetVersion);

    // ---- the report ----
    const auto ratio = [](const Times& a, const Times& b) { return b.wall > 0 ? a.wall / b.wall : 0; };
    const double browseRatio = ratio(browseBest, plainBest);
    const double browseParallelRatio = ratio(browseBest, parallelBest);
    const double fixRatio = ratio(fixBest, rewriteBest);
    const double fixSpreadRatio = ratio(fixBest, spreadRewriteBest);
    const bool probeSame = quickSmall.rchar >= 0 && quickSmall.rchar == quickLarge.rchar &&
                           quickLarge.rchar <= static_cast<double>(kHeaderBytes);

    std::printf("\nwarm cache (one untimed walk first, caches never dropped); best of %d runs;\n"
                "cpu = this process's user + system time\n", R);
    std::printf("%-34s %7s %9s %9s %10s  %8s %8s\n", "operation", "files", "seconds", "cpu s", "files/s",
                "vs plain", "cpu vs");
    PrintRow("Browse (search + analysis)", nOlv, browseBest, &plainBest);
    PrintRow("  plain walk + header reads", nOlv, plainBest);
    char inFlightName[64];
    std::snprintf(inFlightName, sizeof inFlightName, "  the same, %zu in flight", opt.inFlight);
    PrintRow(inFlightName, parallelFound, parallelBest, &plainBest);
    PrintRow("  - folder search alone", nOlv, searchBest, &plainNamesBest);
    PrintRow("    plain walk, names only", nOlv, plainNamesBest);
    PrintRow("  - version analysis alone", nOlv, analysisBest, &plainHeadersBest);
    PrintRow("    plain header reads by path", nOlv, plainHeadersBest);
    char fixName[64];
    std::snprintf(fixName, sizeof fixName, "Fix files (v4), %d in flight", quorvel::kDefaultResaveJobs);
    PrintRow(fixName, nV4, fixBest, &rewriteBest);
    PrintRow("  plain read/write/fsync/rename", nV4, rewriteBest);
    std::snprintf(inFlightName, sizeof inFlightName, "  the same, %zu in flight", opt.inFlight);
    PrintRow(inFlightName, nV4, parallelRewriteBest, &rewriteBest);
    std::snprintf(inFlightName, sizeof inFlightName, "  %zu in flight spread over folders", opt.fixInFlight);
    PrintRow(inFlightName, nV4, spreadRewriteBest, &rewriteBest);
    for (const auto& [jobs, t] : byJobs) {
        char name[64];
        std::snprintf(name, sizeof name, "  Fix files, %d in flight", jobs);
        PrintRow(name, nV4, t, &rewriteBest);
    }
    std::printf("\nlongest time the dialog went without looking at window messages: Browse %.1f ms, "
                "Fix files %.1f ms\n", browseGap * 1000, fixGap * 1000);

    if (!deepRows.empty()) {
        std::printf("\ndeep chains of folders (one .olv file at the bottom), each in a process of its own:\n");
        std::printf("  %9s %10s %10s %8s %12s %12s %14s\n", "levels", "search s", "plain s", "vs plain",
                    "search MiB", "plain MiB", "search us/lvl");
        for (const DeepRow& r : deepRows)
            std::printf("  %9zu %10.2f %10.2f %7.2fx %12.1f %12.1f %14.2f\n", r.levels, r.search.first,
                        r.plain.first, r.plain.first > 0 ? r.search.first / r.plain.first : 0.0, r.search.second,
                        r.plain.second, r.search.first * 1e6 / static_cast<double>(r.levels));
    }

    std::printf("\nbytes read per file (/proc/self/io rchar; the library's own counter):\n");
    std::printf("  %d files of %8zu B:", kProbeFiles, smallSize);
    PrintBytes("probe", quickSmall.rchar);
    PrintBytes("counter", quickSmall.counter);
    PrintBytes("full Load", fullSmall.rchar);
    std::printf("\n  %d files of %8zu B:", kProbeFiles, largeSize);
    PrintBytes("probe", quickLarge.rchar);
    PrintBytes("counter", quickLarge.counter);
    PrintBytes("full Load", fullLarge.rchar);
    std::printf("\n");

    std::printf("\ntargets\n");
    std::printf("  %-50s %9.2fx  %s\n", "Browse at most 1.0x the plain loop (local disk)", browseRatio,
                Verdict(browseRatio <= kBrowseTarget));
    std::printf("  %-50s %9.2fx  %s\n", "Browse at least 6x faster than the plain loop (share)",
                browseRatio, Verdict(browseRatio > 0 && browseRatio <= 1.0 / 6));
    std::printf("  %-50s %9.2fx  %s\n", "Browse within 1.3x of the loop with ops in flight (share)",
                browseParallelRatio, Verdict(browseParallelRatio <= 1.3));
    std::printf("  %-50s %9.2fx  %s\n", "Fix files at least 3x faster than the plain loop (local)", fixRatio,
                Verdict(fixRatio > 0 && fixRatio <= kFixTarget));
    std::printf("  %-50s %9.2fx  %s\n", "Fix files at least 8x faster than the plain loop (share)", fixRatio,
                Verdict(fixRatio > 0 && fixRatio <= 1.0 / 8));
    std::printf("  %-50s %9.2fx  %s\n", "Fix files within 1.3x of the spread loop (share)", fixSpreadRatio,
                Verdict(fixSpreadRatio > 0 && fixSpreadRatio <= 1.3));
    std::printf("  %-50s %8.1fms  %s\n", "dialog never 50 ms without looking at messages",
                std::max(browseGap, fixGap) * 1000, Verdict(std::max(browseGap, fixGap) <= 0.050));
    char probeText[64];
    std::snprintf(probeText, sizeof probeText, "%.0f/%.0f B", quickSmall.rchar, quickLarge.rchar);
    std::printf("  %-42s %10s  %s\n", "probe bytes independent of file size", probeText, Verdict(probeSame));

    const int wrongVersions = quickSmall.wrongVersions + quickLarge.wrongVersions +
                              fullSmall.wrongVersions + fullLarge.wrongVersions;
    std::printf("\nchecks\n");
    std::printf("  tree: %zu .olv files made, %zu found by the plain walk: %s\n", olvPaths.size(), nOlv,
                Check(olvPaths.size() == nOlv));
    std::printf("  Browse: %d rows, %d of version 4 (plain walk: %zu, %zu; header reads by path: %d): %s\n",
                browse.rows, browse.version4, nOlv, nV4, plainHeaderV4,
                Check(static_cast<std::size_t>(browse.rows) == nOlv &&
                      static_cast<std::size_t>(browse.version4) == nV4 &&
                      static_cast<std::size_t>(plainHeaderV4) == nV4));
    std::printf("  Fix files: %d of %d rows rewritten, %zu failure messages; strictly valid %zu -> %zu of %zu: %s\n",
                fix.resaved, fix.version4, fix.failureBoxes, nV4 - faultyBefore, strictAfterFix, nV4,
                Check(static_cast<std::size_t>(fix.resaved) == nV4 && fix.failureBoxes == 0 &&
                      strictAfterFix == nV4));
    std::printf("  plain rewrite: %zu failures: %s\n", rewriteFailures, Check(rewriteFailures == 0));
    std::printf("  probe and Load versions: %d wrong: %s\n", wrongVersions, Check(wrongVersions == 0));
}

// Version-4 files of `mib` MiB each (records of 64 KiB), `count` of them in `dir`: one written,
// the others copied from it, so that this process never holds one whole.
void MakeLargeFiles(const std::string& dir, int count, std::size_t mib) {
    if (mkdir(dir.c_str(), 0755) != 0) Fail("cannot create", dir);
    const std::string first = dir + "/f0.olv";
    {
        const std::vector<std::string> records(mib * 16, std::string(64 * 1024, 'r'));
        if (WekWriteSample(first.c_str(), quorvel::kTargetVersion, records, true) != WEK_OK)
            Fail("cannot write", first);
    }
    for (int i = 1; i < count; ++i) {
        const std::string path = dir + "/f" + std::to_string(i) + ".olv";
        std::error_code ec;
        std::filesystem::copy_file(first, path, ec);
        if (ec) Fail("cannot copy to", path);
    }
}

void RunMemory(const std::string& work) {
    constexpr double kMiBPerMB = 1e6 / (1024.0 * 1024.0);
    struct Case {
        const char* what;
        int count;
        std::size_t mib;
        int jobs;
    };
    const Case cases[] = {{"12 files of 64 MiB, 24 in flight", 12, 64, 24}, {"1 file of 256 MiB", 1, 256, 24}};
    const std::pair<double, double> idle = InChild([] {});
    std::printf("peak resident memory of Fix files (Browse, then Fix files, in a process of its own;\n"
                "a process that does nothing peaks at %.1f MiB); budget for bytes in flight %.0f MiB\n",
                idle.second, static_cast<double>(quorvel::DefaultResaveBytes()) / (1024.0 * 1024.0));
    std::vector<double> peaks;
    for (const Case& c : cases) {
        const std::string dir = work + "/tree";
        MakeLargeFiles(dir, c.count, c.mib);
        FixResult fix;
        const std::pair<double, double> run = InChild([&] {
            const FixResult f = TimeFix(dir, c.jobs);
            if (f.resaved != c.count) std::fprintf(stderr, "memory run: %d of %d resaved\n", f.resaved, c.count);
        });
        std::filesystem::remove_all(dir);
        peaks.push_back(run.second);
        std::printf("  %-36s %8.2f s  peak %8.1f MiB (%.2fx the largest file)\n", c.what, run.first, run.second,
                    run.second / static_cast<double>(c.mib));
        std::fflush(stdout);
    }
    std::printf("\ntargets\n");
    std::printf("  %-50s %7.0f MB  %s\n", "12 files of 64 MiB, 24 in flight: peak at most 512 MB",
                peaks[0] / kMiBPerMB, Verdict(peaks[0] / kMiBPerMB <= 512));
    std::printf("  %-50s %8.2fx  %s\n", "one 256 MiB file: peak at most 1.3x its size", peaks[1] / 256,
                Verdict(peaks[1] / 256 <= 1.3));
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: bench_headless [--entries N] [--olv N] [--root DIR] [--keep] [--repeat R]\n"
                     "                      [--in-flight N] [--fix-jobs N,N,...] [--deep LEVELS]\n"
                     "       bench_headless --memory [--root DIR] [--keep]\n"
                     "       bench_headless --plain-rewrite N <PATHS\n"
                     "  defaults: 200000 entries, 20000 .olv files, a new folder under /tmp, 3 runs,\n"
                     "  16 operations in flight for the parallel plain loops, no extra Fix files runs,\n"
                     "  no deep chains\n");
        return 2;
    }

    // The plain loop alone, over paths from stdin (one per line): a yardstick for olvtool fix,
    // timed from outside.
    if (opt.plainRewrite > 0) {
        std::vector<std::string> paths;
        for (std::string line; std::getline(std::cin, line);)
            if (!line.empty()) paths.push_back(line);
        const std::size_t failures = PlainParallelRewrite(
            opt.plainRewrite == 1 ? paths : SpreadOverFolders(paths), opt.plainRewrite);
        std::fprintf(stderr, "%zu files rewritten plainly, %zu failed\n", paths.size() - failures, failures);
        return failures == 0 ? 0 : 1;
    }

    // The working folder: made here, or an existing empty one given with --root.
    std::string work;
    bool madeWork = false;
    try {
        work = quorvel::bench::MakeWorkFolder(opt.root, madeWork);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_headless: %s\n", e.what());
        return 2;
    }

    int status = 0;
    try {
        if (opt.memory)
            RunMemory(work);
        else
            Run(opt, work);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_headless: %s\n", e.what());
        status = 1;
    }

    if (opt.keep) {
        std::printf("\nkept %s\n", work.c_str());
    } else {
        std::error_code ec;
        std::filesystem::remove_all(work + "/tree", ec);
        std::filesystem::remove_all(work + "/probe", ec);
        if (madeWork) std::filesystem::remove(work, ec);
    }
    return status;
}
