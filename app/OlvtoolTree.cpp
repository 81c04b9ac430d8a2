#include "app/OlvtoolTree.h"

#include <unistd.h>

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "repair/Outcome.h"
#include "repair/ResavePass.h"
#include "scan/FolderWalk.h"
#include "scan/VersionProbe.h"
#ifdef _WIN32
#include "platform/win32/Win32FileSystem.h"
#else
#include "platform/posix/PosixFileSystem.h"
#endif

namespace quorvel::olvtool {

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

#ifdef _WIN32
using RealFileSystem = win32::Win32FileSystem;
#else
using RealFileSystem = posix::PosixFileSystem;
#endif

// Wakes the command's thread when any of its workers has news; wake-ups that pile up while
// it works are taken as one.
class Waiter {
public:
    void Wake() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_woken = true;
        }
        m_cv.notify_one();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_woken; });
        m_woken = false;
    }
    std::function<void()> Waker() {
        return [this] { Wake(); };
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_woken = false;
};

struct Options {
    std::string root;
    int jobs = 8;
};

// Parses "DIR [--jobs N]"; prints the problem and returns false when they do not fit.
bool ParseOptions(const char* command, int argc, char** argv, Options& options) {
    bool haveRoot = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jobs") {
            const char* value = i + 1 < argc ? argv[++i] : "";
            const char* end = value + std::strlen(value);
            const auto [ptr, ec] = std::from_chars(value, end, options.jobs);
            if (ec != std::errc() || ptr != end || ptr == value || options.jobs < 1 || options.jobs > 256) {
                std::fprintf(stderr, "olvtool: --jobs needs a number from 1 to 256\n");
                return false;
            }
        } else if (arg.starts_with("--") || haveRoot) {
            std::fprintf(stderr, "olvtool: %s: unexpected argument: %s\n", command, arg.c_str());
            return false;
        } else {
            options.root = arg;
            haveRoot = true;
        }
    }
    if (!haveRoot) {
        std::fprintf(stderr, "olvtool: %s needs a DIR\n", command);
        return false;
    }
    // A trailing separator is dropped as the dialog drops it from a chosen root.
    while (options.root.size() > 1 && (options.root.back() == '/' || options.root.back() == '\\'))
        options.root.pop_back();
    if (options.root == "/") options.root.clear();
    return true;
}

void WriteLine(const std::string& first, const std::string& path) {
    std::fwrite(first.data(), 1, first.size(), stdout);
    std::fputc('\t', stdout);
    std::fwrite(path.data(), 1, path.size(), stdout);
    std::fputc('\n', stdout);
}

// A progress line on stderr, only when it is a terminal, at most every 256 files.
class Progress {
public:
    explicit Progress(const char* verb) : m_verb(verb), m_shown(isatty(STDERR_FILENO) != 0) {}
    ~Progress() {
        if (m_shown && m_count > 0) std::fputs("\r\033[K", stderr);
    }
    void Step() {
        if (m_shown && ++m_count % 256 == 0) std::fprintf(stderr, "\r%s %zu files...", m_verb, m_count);
    }

private:
    const char* m_verb;
    const bool m_shown;
    std::size_t m_count = 0;
};

// Says that the root cannot be read; the exit code for it.
int RootUnreadable(const Options& options) {
    std::fprintf(stderr, "olvtool: cannot read the folder %s\n", options.root.empty() ? "/" : options.root.c_str());
    return kExitUsage;
}

// Found paths held between the walk and the probe, at most; the walk pauses beyond that.
constexpr std::size_t kHeldPaths = 4096;

// Walks `root` and probes every .olv file, handing each (path, version) to `onFile` in the
// dialog's order while `canTake` allows; `onIdle` runs on every round. False when the root
// cannot be read.
template <class OnFile>
bool ScanTree(const Options& options, Waiter& waiter, OnFile onFile, const std::function<bool()>& canTake,
              const std::function<void()>& onIdle) {
    RealFileSystem fs;
    scan::WalkSettings walkSettings;
    walkSettings.listers = options.jobs;
    scan::ProbeSettings probeSettings;
    probeSettings.threads = options.jobs;
    scan::FolderWalk walk(fs, options.root, waiter.Waker(), walkSettings);
    scan::VersionProbe probe(waiter.Waker(), probeSettings);
    std::deque<std::string> waiting;  // found, not yet handed to the probe
    std::deque<std::string> probing;  // handed to the probe, oldest first
    std::vector<std::string> found;
    bool walking = true;
    while (true) {
        if (walking && waiting.size() < kHeldPaths) {
            walking = walk.Take(found);
            for (std::string& path : found) waiting.push_back(std::move(path));
            found.clear();
        }
        while (!waiting.empty() && probe.HasRoom()) {
            probe.Submit(waiting.front());
            probing.push_back(std::move(waiting.front()));
            waiting.pop_front();
        }
        bool progressed = false;
        while (canTake()) {
            const std::optional<int> version = probe.TryTake();
            if (!version) break;
            onFile(probing.front(), *version);
            probing.pop_front();
            progressed = true;
        }
        onIdle();
        if (!walking && waiting.empty() && probing.empty()) break;
        if (!progressed) waiter.Wait();
    }
    return !walk.RootUnreadable();
}

}  // namespace

int Scan(int argc, char** argv) {
    Options options;
    if (!ParseOptions("scan", argc, argv, options)) return kExitUsage;
    Waiter waiter;
    Progress progress("scanned");
    std::size_t files = 0, version4 = 0;
    const bool readable = ScanTree(
        options, waiter,
        [&](const std::string& path, int version) {
            WriteLine(std::to_string(version), path);
            ++files;
            if (version == kTargetVersion) ++version4;
            progress.Step();
        },
        [] { return true; }, [] {});
    if (!readable) {
        return RootUnreadable(options);
    }
    std::printf("%zu .olv files, %zu of version 4\n", files, version4);
    return kExitOk;
}

int Fix(int argc, char** argv) {
    Options options;
    if (!ParseOptions("fix", argc, argv, options)) return kExitUsage;
    Waiter waiter;
    Progress progress("checked");
    ResavePass pass(waiter.Waker(), options.jobs);
    std::deque<std::string> queued;    // version 4, waiting for room in the pass
    std::deque<std::string> started;   // in the pass, oldest first
    std::size_t resaved = 0, failed = 0;
    // Outcomes in the order the files were found; new files start as room frees up.
    const auto drain = [&] {
        while (std::optional<ResaveResult> result = pass.TryTake()) {
            WriteLine(outcome::Text(*result), started.front());
            started.pop_front();
            ++(result->saved ? resaved : failed);
        }
        while (!queued.empty() && pass.HasRoom()) {
            pass.Start(queued.front());
            started.push_back(std::move(queued.front()));
            queued.pop_front();
        }
    };
    const bool readable = ScanTree(
        options, waiter,
        [&](const std::string& path, int version) {
            progress.Step();
            if (version == kTargetVersion) queued.push_back(path);
        },
        [&] { return queued.size() < kHeldPaths; }, drain);
    while (!queued.empty() || !started.empty()) {
        drain();
        if (!queued.empty() || !started.empty()) waiter.Wait();
    }
    if (!readable) {
        return RootUnreadable(options);
    }
    std::printf("%zu version 4 .olv files: %zu resaved, %zu failed\n", resaved + failed, resaved, failed);
    return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace quorvel::olvtool
