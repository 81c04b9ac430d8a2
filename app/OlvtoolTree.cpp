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

#include "base/Descriptors.h"
#include "repair/ResavePass.h"
#include "scan/FolderReach.h"
#include "scan/FolderWalk.h"
#include "scan/VersionProbe.h"
#include "ui/res/Texts.h"
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
    int jobs = 0;  // --jobs N; 0: the dialog's own defaults
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

const char* Shown(const std::string& root) { return root.empty() ? "/" : root.c_str(); }

// Says that the root cannot be read, and why; the exit code for it.
int RootUnreadable(const Options& options, FolderProblem problem) {
    std::fprintf(stderr, "olvtool: cannot read the folder %s: %s\n", Shown(options.root),
                 text::kFolderProblems[static_cast<int>(problem)]);
    return kExitUsage;
}

// Names a folder the walk could not read or did not enter on stderr, with the reason.
void ReportSkipped(const scan::SkippedFolder& folder) {
    std::fputs("olvtool: not searched: ", stderr);
    std::fwrite(folder.path.data(), 1, folder.path.size(), stderr);
    std::fprintf(stderr, ": %s\n", text::kFolderProblems[static_cast<int>(folder.problem)]);
}

// What a walk left: why the root could not be walked, and how many folders beneath it not.
struct WalkEnd {
    FolderProblem rootProblem = FolderProblem::None;
    std::size_t skipped = 0;
};

// Found paths held between the walk and the probe, at most; the walk pauses beyond that.
constexpr std::size_t kHeldPaths = 4096;

// Walks `root` and probes every .olv file, handing each (file, version) to `onFile` in the
// dialog's order while `canTake` allows; `onIdle` runs on every round. Folders not searched are
// named on stderr as they come. `records` receives the walk's folder records.
template <class OnFile>
WalkEnd ScanTree(const Options& options, Waiter& waiter, OnFile onFile, const std::function<bool()>& canTake,
                 const std::function<void()>& onIdle, std::shared_ptr<const scan::FolderRecords>* records = nullptr) {
    RealFileSystem fs;
    scan::WalkSettings walkSettings;
    if (options.jobs > 0) walkSettings.listers = options.jobs;
    scan::ProbeSettings probeSettings;
    if (options.jobs > 0) probeSettings.threads = options.jobs;
    scan::FolderWalk walk(fs, options.root, waiter.Waker(), walkSettings);
    if (records) *records = walk.Records();
    scan::VersionProbe probe(waiter.Waker(), probeSettings);
    std::deque<scan::FoundFile> waiting;  // found, not yet handed to the probe
    std::deque<scan::FoundFile> probing;  // handed to the probe, oldest first
    std::vector<scan::FoundFile> found;
    std::vector<scan::SkippedFolder> skipped;
    WalkEnd end;
    bool walking = true;
    while (true) {
        if (walking && waiting.size() < kHeldPaths) {
            walking = walk.Take(found, skipped);
            for (scan::FoundFile& file : found) waiting.push_back(std::move(file));
            found.clear();
            for (const scan::SkippedFolder& folder : skipped) ReportSkipped(folder);
            end.skipped += skipped.size();
            skipped.clear();
        }
        while (!waiting.empty() && probe.HasRoom()) {
            probe.Submit(waiting.front().path);
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
    end.rootProblem = walk.RootProblem();
    return end;
}

}  // namespace

int Scan(int argc, char** argv) {
    Options options;
    if (!ParseOptions("scan", argc, argv, options)) return kExitUsage;
    RaiseDescriptorLimit();
    Waiter waiter;
    Progress progress("scanned");
    std::size_t files = 0, version4 = 0;
    const WalkEnd end = ScanTree(
        options, waiter,
        [&](const scan::FoundFile& file, int version) {
            WriteLine(std::to_string(version), file.path);
            ++files;
            if (version == kTargetVersion) ++version4;
            progress.Step();
        },
        [] { return true; }, [] {});
    if (end.rootProblem != FolderProblem::None) return RootUnreadable(options, end.rootProblem);
    std::printf("%zu .olv files, %zu of version 4\n", files, version4);
    // A search that skipped folders is not a complete answer.
    return end.skipped == 0 ? kExitOk : kExitFailed;
}

int Fix(int argc, char** argv) {
    Options options;
    if (!ParseOptions("fix", argc, argv, options)) return kExitUsage;
    RaiseDescriptorLimit();
    Waiter waiter;
    Progress progress("checked");
    RealFileSystem fs;
    PassSettings settings;
    if (options.jobs > 0) settings.jobs = options.jobs;
    ResavePass pass(waiter.Waker(), settings);
    std::shared_ptr<const scan::FolderRecords> records;
    std::shared_ptr<scan::FolderReach> reach;
    std::deque<scan::FoundFile> queued;   // version 4, waiting for room in the pass
    std::deque<std::string> handedIn;     // in the pass, oldest outcome first
    std::size_t resaved = 0, failed = 0;
    // Files are rewritten while the walk goes on, each reached through the folders the walk
    // recorded for it; outcomes come in the order the files were found.
    const auto drain = [&] {
        while (std::optional<ResavePass::Outcome> outcome = pass.TryTake()) {
            const ResaveResult& result = *outcome->result;  // nothing is ever dropped here
            WriteLine(result.saved ? std::string(text::kResaved) : std::string(text::kFailedPrefix) + result.reason,
                      handedIn.front());
            handedIn.pop_front();
            ++(result.saved ? resaved : failed);
        }
        if (!reach && records) reach = std::make_shared<scan::FolderReach>(fs, records);
        while (!queued.empty() && pass.HasRoom()) {
            pass.Add(queued.front().path, reach, queued.front().folder);
            handedIn.push_back(std::move(queued.front().path));
            queued.pop_front();
        }
        pass.Dispatch();
    };
    const WalkEnd end = ScanTree(
        options, waiter,
        [&](const scan::FoundFile& file, int version) {
            progress.Step();
            if (version == kTargetVersion) queued.push_back(file);
        },
        [&] { return queued.size() < kHeldPaths; }, drain, &records);
    while (!queued.empty() || !handedIn.empty()) {
        drain();
        if (!queued.empty() || !handedIn.empty()) waiter.Wait();
    }
    if (end.rootProblem != FolderProblem::None) return RootUnreadable(options, end.rootProblem);
    std::printf("%zu version 4 .olv files: %zu resaved, %zu failed\n", resaved + failed, resaved, failed);
    return failed == 0 && end.skipped == 0 ? kExitOk : kExitFailed;
}

}  // namespace quorvel::olvtool
