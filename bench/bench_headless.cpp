// bench_headless: times Browse (folder search and version analysis) and Fix files on the
// scripted port against plain loops over the same tree, and shows that the version probe reads
// the same few bytes whatever a file's size. All runs are warm-cache: one untimed walk comes
// first and caches are never dropped. It prints figures and exits 0 whatever they are.
//
//   bench_headless [--entries N] [--olv N] [--root DIR] [--keep] [--repeat R]
//
// Everything is made in DIR (default: a new folder under /tmp): DIR/tree for the tree and
// DIR/probe for the probe's files. Both are removed at the end unless --keep is given.

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
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
constexpr double kBrowseTarget = 1.3;     // Browse vs. its plain loop
constexpr double kFixTarget = 1.5;        // Fix files vs. its plain loop
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

// What a program without any UI would do: a recursive readdir walk that lists every *.olv file
// and, when `readHeaders`, opens it and reads its fixed header.
void PlainWalk(const std::string& folder, bool readHeaders, std::vector<PlainFile>& found) {
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
        if (isFolder) {
            PlainWalk(folder + "/" + d->d_name, readHeaders, found);
            continue;
        }
        if (!HasOlvExtension(d->d_name)) continue;
        PlainFile file{folder + "/" + d->d_name, 0};
        if (readHeaders) {
            const int fd = openat(dirFd, d->d_name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            if (fd >= 0) {
                unsigned char head[kHeaderBytes];
                file.version = HeaderVersion(head, read(fd, head, sizeof head));
                close(fd);
            }
        }
        found.push_back(std::move(file));
    }
    closedir(dir);
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
    static unsigned counter = 0;
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

// ---- the dialog on the scripted port -----------------------------------------------------

struct BrowseResult {
    Times times;
    int rows = 0;
    int version4 = 0;
};

BrowseResult TimeBrowse(const std::string& root) {
    quorvel::scripted::ScriptedDialogPort port;
    quorvel::CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    const Stopwatch watch;
    dlg.OnBnClickedBrowse();
    BrowseResult r;
    r.times = watch.Elapsed();
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
};

// Browse (not timed), then Fix files (timed).
FixResult TimeFix(const std::string& root) {
    quorvel::scripted::ScriptedDialogPort port;
    quorvel::CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    dlg.OnBnClickedBrowse();
    const std::size_t boxes = port.messageBoxes.size();
    const Stopwatch watch;
    dlg.OnBnClickedFixFiles();
    FixResult r;
    r.times = watch.Elapsed();
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

    // 1, 2: Browse and the plain walk, taking turns.
    BrowseResult browse;
    Times browseBest, plainBest;
    for (int i = 0; i < R; ++i) {
        browse = TimeBrowse(treeRoot);
        KeepBest(browseBest, browse.times, i == 0);
        std::vector<PlainFile> found;
        found.reserve(nOlv);
        const Stopwatch watch;
        PlainWalk(treeRoot, true, found);
        const Times plain = watch.Elapsed();
        KeepBest(plainBest, plain, i == 0);
        std::printf("  run %d: Browse %.3f s, plain walk %.3f s\n", i + 1, browse.times.wall, plain.wall);
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
    Times fixBest, rewriteBest;
    std::size_t strictAfterFix = 0, rewriteFailures = 0;
    for (int i = 0; i < R; ++i) {
        restore();
        const FixResult f = TimeFix(treeRoot);
        KeepBest(fixBest, f.times, i == 0);
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
        std::printf("  run %d: Fix files %.3f s, plain rewrite %.3f s\n", i + 1, f.times.wall, plain.wall);
        std::fflush(stdout);
    }
    restore();

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
    const double browseRatio = plainBest.wall > 0 ? browseBest.wall / plainBest.wall : 0;
    const double fixRatio = rewriteBest.wall > 0 ? fixBest.wall / rewriteBest.wall : 0;
    const bool probeSame = quickSmall.rchar >= 0 && quickSmall.rchar == quickLarge.rchar &&
                           quickLarge.rchar <= static_cast<double>(kHeaderBytes);

    std::printf("\nwarm cache (one untimed walk first, caches never dropped); best of %d runs;\n"
                "cpu = this process's user + system time\n", R);
    std::printf("%-34s %7s %9s %9s %10s  %8s %8s\n", "operation", "files", "seconds", "cpu s", "files/s",
                "vs plain", "cpu vs");
    PrintRow("Browse (search + analysis)", nOlv, browseBest, &plainBest);
    PrintRow("  plain walk + header reads", nOlv, plainBest);
    PrintRow("  - folder search alone", nOlv, searchBest, &plainNamesBest);
    PrintRow("    plain walk, names only", nOlv, plainNamesBest);
    PrintRow("  - version analysis alone", nOlv, analysisBest, &plainHeadersBest);
    PrintRow("    plain header reads by path", nOlv, plainHeadersBest);
    PrintRow("Fix files (version 4)", nV4, fixBest, &rewriteBest);
    PrintRow("  plain read/write/fsync/rename", nV4, rewriteBest);

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
    std::printf("  %-42s %9.2fx  %s\n", "Browse within 1.30x of its plain loop", browseRatio,
                Verdict(browseRatio <= kBrowseTarget));
    std::printf("  %-42s %9.2fx  %s\n", "Fix files within 1.50x of its plain loop", fixRatio,
                Verdict(fixRatio <= kFixTarget));
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

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, opt)) {
        std::fprintf(stderr,
                     "usage: bench_headless [--entries N] [--olv N] [--root DIR] [--keep] [--repeat R]\n"
                     "  defaults: 200000 entries, 20000 .olv files, a new folder under /tmp, 3 runs\n");
        return 2;
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
