#include "app/OlvtoolTree.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/OlvtoolInput.h"
#include "app/OlvtoolOutput.h"
#include "app/OlvtoolStop.h"
#include "base/Descriptors.h"
#include "base/Path.h"
#include "repair/Outcome.h"
#include "repair/ResavePass.h"
#include "scan/FolderReach.h"
#include "scan/FolderWalk.h"
#include "scan/VersionProbe.h"
#ifdef _WIN32
#include <io.h>

#include "platform/win32/Win32FileSystem.h"
#else
#include <unistd.h>

#include "platform/posix/PosixFileSystem.h"
#endif

namespace quorvel::olvtool {

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

#ifdef _WIN32
using RealFileSystem = win32::Win32FileSystem;
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
#else
using RealFileSystem = posix::PosixFileSystem;
bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }
#endif

// Found paths held between the walk, the probe and the fix pass, at most; the walk pauses and
// no further operand is read beyond that.
constexpr std::size_t kHeldPaths = 4096;

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
        if (m_poll.count() > 0)
            m_cv.wait_for(lock, m_poll, [this] { return m_woken; });
        else
            m_cv.wait(lock, [this] { return m_woken; });
        m_woken = false;
    }
    // Wait returns at least this often, for a caller that must look at something nobody wakes
    // it for.
    void PollEvery(std::chrono::milliseconds interval) { m_poll = interval; }
    std::function<void()> Waker() {
        return [this] { Wake(); };
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_woken = false;
    std::chrono::milliseconds m_poll{0};
};

// How often a command whose stop request has no thread to wake it looks for a signal.
constexpr std::chrono::milliseconds kSignalPoll{50};

struct TreeOptions {
    std::vector<std::string> operands;
    std::vector<std::string> fromFiles;
    bool nul = false;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    bool dryRun = false;
    int jobs = 0;  // --jobs N; 0: the dialog's own defaults
};

// Reads scan's and fix's options; kExitOk when they fit, otherwise says why and returns the
// exit code. An empty operand is refused before anything is walked: it is what an unset shell
// variable gives, and it must never mean "everything".
int ReadOptions(const Parsed& parsed, TreeOptions& options) {
    const std::string command = CommandName(parsed.command);
    options.operands = parsed.operands;
    options.fromFiles = parsed.Values(Opt::From);
    options.nul = parsed.Has(Opt::Null);
    options.json = parsed.Has(Opt::Json);
    options.quiet = parsed.Has(Opt::Quiet);
    options.verbose = parsed.Has(Opt::Verbose) && !options.quiet;
    options.dryRun = parsed.Has(Opt::DryRun);
    if (parsed.Has(Opt::Jobs)) {
        const std::string value = parsed.Value(Opt::Jobs);
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.jobs);
        if (ec != std::errc() || end != value.data() + value.size() || value.empty() || options.jobs < 1 ||
            options.jobs > 256)
            return UsageProblem(command, "--jobs needs a number from 1 to 256");
    }
    if (options.operands.empty() && options.fromFiles.empty())
        return UsageProblem(command, "needs a ROOT, or --from FILE");
    for (const std::string& operand : options.operands)
        if (operand.empty())
            return UsageProblem(command, "an empty ROOT is refused (an unset variable?)");
    return kExitOk;
}

// The walk's form of a folder operand: without trailing separators, as the dialog takes a
// chosen root; the file-system root is "".
std::string WalkRoot(std::string path) {
    const auto separator = [](char c) {
#ifdef _WIN32
        return c == '\\' || c == '/';
#else
        return c == kPathSep;
#endif
    };
    while (path.size() > 1 && separator(path.back())) path.pop_back();
    if (path.size() == 1 && separator(path[0])) path.clear();
    return path;
}

// The command's standard error: problems, the counts at the end, and a progress line while a
// terminal shows it (at most every 256 files, wiped before any other text). No progress line
// while the records go to a terminal too: they show the progress, and the line would stand in
// front of one of them. Keeps the exit code the problems call for.
class Console {
public:
    Console(const char* verb, bool quiet)
        : m_verb(verb), m_quiet(quiet), m_progress(!quiet && IsTerminal(stderr) && !IsTerminal(stdout)) {}
    ~Console() { WipeProgress(); }

    void Step() {
        if (m_progress && ++m_count % 256 == 0) {
            std::string line = "\r";
            line += m_verb;
            line += ' ';
            line += std::to_string(m_count);
            line += " files...";
            WriteErr(line);
            m_shown = true;
        }
    }
    // "olvtool: <text>", and the exit code at least `exitCode`.
    void Problem(const std::string& text, int exitCode) {
        WipeProgress();
        Complain(text);
        m_code = std::max(m_code, exitCode);
    }
    // A line that only informs: none with --quiet.
    void Note(const std::string& line) {
        if (m_quiet) return;
        WipeProgress();
        WriteErr(line + "\n");
    }
    int Code() const { return m_code; }

private:
    void WipeProgress() {
        if (m_shown) WriteErr("\r\033[K");
        m_shown = false;
    }

    const char* const m_verb;
    const bool m_quiet;
    const bool m_progress;
    bool m_shown = false;
    std::size_t m_count = 0;
    int m_code = kExitOk;
};

// Files found per version, for --verbose.
using VersionCounts = std::map<int, std::size_t>;

void NoteVersions(Console& console, const VersionCounts& versions) {
    for (const auto& [version, files] : versions) {
        const std::string what = version < 0    ? "could not be read"
                                 : version == 0 ? "not an .olv file"
                                                : "version " + std::to_string(version);
        console.Note("  " + what + ": " + std::to_string(files));
    }
}

// Says what a walk that has ended could not do.
void EndWalk(const scan::FolderWalk& walk, const std::string& root, Console& console) {
    if (const FolderProblem problem = walk.RootProblem(); problem != FolderProblem::None)
        console.Problem("cannot read the folder " + Quoted(root) + ": " + FolderProblemText(problem), kExitUsage);
}

// Names a folder beneath a root that the walk could not read or did not enter: a search that
// skipped folders is not a complete answer.
void ReportSkipped(const scan::SkippedFolder& folder, Console& console) {
    console.Problem("not searched: " + Quoted(folder.path) + ": " + FolderProblemText(folder.problem), kExitFailed);
}

// A found file and the walk it came from: its folder's record there, for the fix pass to reach
// it again through the folders the walk entered. Files named as operands have no record.
struct FoundFile {
    std::string path;
    std::shared_ptr<scan::FolderReach> reach;
    std::uint32_t folder = scan::kNoFolder;
};

// Drives the search over every operand in turn: walks each folder and probes every .olv file
// beneath it, probes each file operand as it is, and hands each (file, version) to `onFile` in
// that order while `canTake` allows. `onIdle` runs on every round and says whether the caller
// still has work under way; input is waited for only when neither it nor the search has any.
// Returns early, dropping what is not probed yet, once `stopping` says so. Operands that cannot
// be used are told to `console`. The files handed out reach their folders again through `fs`,
// which must outlive every use of them.
void FindFiles(IFileSystem& fs, const TreeOptions& options, PathSource& source, Waiter& waiter, Console& console,
               const std::function<bool()>& stopping,
               const std::function<void(FoundFile file, int version)>& onFile,
               const std::function<bool()>& canTake, const std::function<bool()>& onIdle) {
    scan::WalkSettings walkSettings;
    if (options.jobs > 0) walkSettings.listers = options.jobs;
    if (options.dryRun) walkSettings.isLeftover = nullptr;  // a dry run removes nothing either
    scan::ProbeSettings probeSettings;
    if (options.jobs > 0) probeSettings.threads = options.jobs;
    scan::VersionProbe probe(waiter.Waker(), probeSettings);
    std::unique_ptr<scan::FolderWalk> walk;
    std::shared_ptr<scan::FolderReach> reach;  // the way back to the folders of the current walk
    std::string walkOperand;
    std::deque<FoundFile> waiting;  // found, not yet handed to the probe
    std::deque<FoundFile> probing;  // handed to the probe, oldest first
    std::vector<scan::FoundFile> found;
    std::vector<scan::SkippedFolder> skipped;
    bool moreOperands = true;
    bool callerBusy = false;
    while (true) {
        if (stopping()) {
            if (walk) walk->Stop();
            probe.Cancel();
            return;
        }
        bool progressed = false;
        // The next operands, once the walk before them is over.
        while (!walk && moreOperands && waiting.size() < kHeldPaths) {
            std::string path, problem;
            const bool mayWait = waiting.empty() && probing.empty() && !callerBusy;
            const PathSource::Got got = source.Next(path, mayWait);
            if (got == PathSource::Got::Later) break;
            progressed = true;
            if (got == PathSource::Got::End) {
                moreOperands = false;
            } else if (got == PathSource::Got::Problem) {
                console.Problem(path, kExitUsage);
            } else if (const PathKind kind = Classify(path, problem); kind == PathKind::Missing) {
                console.Problem("cannot read " + Quoted(path) + ": " + problem, kExitUsage);
            } else if (kind == PathKind::File) {
                waiting.push_back({std::move(path), nullptr, scan::kNoFolder});
            } else {
                if (options.verbose) console.Note("olvtool: walking " + Quoted(path));
                walk = std::make_unique<scan::FolderWalk>(fs, WalkRoot(path), waiter.Waker(), walkSettings);
                reach = std::make_shared<scan::FolderReach>(fs, walk->Records());
                walkOperand = std::move(path);
            }
        }
        if (walk && waiting.size() < kHeldPaths) {
            const bool walking = walk->Take(found, skipped);
            for (scan::FoundFile& file : found) waiting.push_back({std::move(file.path), reach, file.folder});
            found.clear();
            for (const scan::SkippedFolder& folder : skipped) ReportSkipped(folder, console);
            skipped.clear();
            if (!walking) {
                EndWalk(*walk, walkOperand, console);
                walk.reset();
                progressed = true;
            }
        }
        while (!waiting.empty() && probe.HasRoom()) {
            probe.Submit(waiting.front().path);
            probing.push_back(std::move(waiting.front()));
            waiting.pop_front();
        }
        while (canTake()) {
            const std::optional<int> version = probe.TryTake();
            if (!version) break;
            onFile(std::move(probing.front()), *version);
            probing.pop_front();
            progressed = true;
        }
        callerBusy = onIdle();
        if (!walk && !moreOperands && waiting.empty() && probing.empty()) return;
        // Nothing under way that would wake this thread: the next round waits for input instead.
        const bool inputNext = !walk && moreOperands && waiting.empty() && probing.empty() && !callerBusy;
        if (!progressed && !inputNext) waiter.Wait();
    }
}

// The fix pass over the version-4 files the search hands it: hands each to the pass as room
// frees up and every outcome to `onOutcome` in the order the files came, whatever order they
// finish in.
class Rewriter {
public:
    using OnOutcome = std::function<void(const std::string& path, const ResaveResult& result)>;

    Rewriter(Waiter& waiter, int jobs, OnOutcome onOutcome)
        : m_pass(waiter.Waker(), Settings(jobs)), m_onOutcome(std::move(onOutcome)) {}

    bool HasRoom() const { return m_queued.size() < kHeldPaths; }
    void Add(FoundFile file) { m_queued.push_back(std::move(file)); }
    // Hands on the outcomes that are ready; hands in queued files while `starting`. Once
    // `starting` ends, files handed in and not started are dropped: they get no record.
    void Step(bool starting) {
        if (!starting) m_pass.DropWaiting();
        while (std::optional<ResavePass::Outcome> outcome = m_pass.TryTake()) {
            if (outcome->result) m_onOutcome(m_handedIn.front(), *outcome->result);
            m_handedIn.pop_front();
        }
        while (starting && !m_queued.empty() && m_pass.HasRoom()) {
            FoundFile& file = m_queued.front();
            m_pass.Add(file.path, std::move(file.reach), file.folder);
            m_handedIn.push_back(std::move(file.path));
            m_queued.pop_front();
        }
        m_pass.Dispatch();
    }
    // Whether every file handed in has its outcome, and none waits while `starting`.
    bool Done(bool starting) const { return m_handedIn.empty() && (!starting || m_queued.empty()); }

private:
    static PassSettings Settings(int jobs) {
        PassSettings settings;
        if (jobs > 0) settings.jobs = jobs;
        settings.tellStarts = false;  // lines are printed for outcomes only
        return settings;
    }

    ResavePass m_pass;
    const OnOutcome m_onOutcome;
    std::deque<FoundFile> m_queued;       // version 4, waiting for room in the pass
    std::deque<std::string> m_handedIn;   // in the pass, oldest outcome first
};

RecordWriter MakeWriter(const TreeOptions& options, bool flushEach) {
    return RecordWriter(options.json ? RecordWriter::Form::Json : RecordWriter::Form::Text, options.nul, flushEach);
}

}  // namespace

int Scan(const Parsed& parsed) {
    TreeOptions options;
    if (const int problem = ReadOptions(parsed, options)) return problem;
    Waiter waiter;
    StopRequest stop(waiter.Waker());
    if (!stop.Watched()) waiter.PollEvery(kSignalPoll);
    Console console("scanned", options.quiet);
    PathSource source(options.operands, options.fromFiles, options.nul ? '\0' : '\n', stop.WakeDescriptor());
    RecordWriter out = MakeWriter(options, false);
    std::size_t files = 0;
    VersionCounts versions;
    RealFileSystem fs;
    FindFiles(
        fs, options, source, waiter, console, [&] { return stop.Signal() != 0; },
        [&](const FoundFile& file, int version) {
            out.Write({file.path, version, std::to_string(version), {}, {}});
            ++files;
            ++versions[version];
            console.Step();
        },
        [] { return true; }, [] { return false; });
    FlushOut();
    if (stop.Signal()) console.Problem("interrupted: the search was stopped", kExitOk);
    const std::size_t version4 = versions.count(kTargetVersion) ? versions[kTargetVersion] : 0;
    console.Note(std::to_string(files) + " .olv files, " + std::to_string(version4) + " of version 4");
    if (options.verbose) NoteVersions(console, versions);
    return stop.Signal() ? stop.ExitCode() : console.Code();
}

int Fix(const Parsed& parsed) {
    TreeOptions options;
    if (const int problem = ReadOptions(parsed, options)) return problem;
#ifdef SIGPIPE
    // A closed output stops the pass as Ctrl+C does, instead of killing it in the middle of a file.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    Waiter waiter;
    StopRequest stop(waiter.Waker());
    if (!stop.Watched()) waiter.PollEvery(kSignalPoll);
    Console console("checked", options.quiet);
    PathSource source(options.operands, options.fromFiles, options.nul ? '\0' : '\n', stop.WakeDescriptor());
    // Each outcome leaves at once, whole: a pipe or a log shows the pass as it goes.
    RecordWriter out = MakeWriter(options, true);
    bool outputLost = false;
    const auto stopping = [&] { return stop.Signal() != 0 || outputLost; };
    const auto write = [&](const Record& record) {
        if (!out.Write(record)) outputLost = true;
    };
    // Before the rewriter: the rewrites still under way once the search is over reach their
    // folders through it.
    RealFileSystem fs;
    std::size_t resaved = 0, failed = 0, toResave = 0;
    VersionCounts versions;
    // Counts a file found; one that could not be read may be a version-4 file left as it was,
    // so it is named and the command does not end as a success.
    const auto found = [&](const std::string& path, int version) {
        ++versions[version];
        console.Step();
        if (version < 0) console.Problem("cannot read " + Quoted(path) + ": not rewritten, its version is unknown", kExitUsage);
    };
    if (options.dryRun) {
        FindFiles(
            fs, options, source, waiter, console, stopping,
            [&](const FoundFile& file, int version) {
                found(file.path, version);
                if (version != kTargetVersion) return;
                ++toResave;
                write({file.path, version, std::to_string(version), "would be resaved", {}});
            },
            [] { return true; }, [] { return false; });
    } else {
        Rewriter rewriter(waiter, options.jobs, [&](const std::string& path, const ResaveResult& result) {
            ++(result.saved ? resaved : failed);
            const std::string text = outcome::Text(result);
            write({path, kTargetVersion, text, result.saved ? "resaved" : "failed", result.reason});
        });
        FindFiles(
            fs, options, source, waiter, console, stopping,
            [&](FoundFile file, int version) {
                found(file.path, version);
                if (version == kTargetVersion) rewriter.Add(std::move(file));
            },
            [&] { return rewriter.HasRoom(); },
            [&] {
                rewriter.Step(!stopping());
                return !rewriter.Done(true);
            });
        // The files still queued or under way; after a stop only those under way.
        while (!rewriter.Done(!stopping())) {
            rewriter.Step(!stopping());
            if (!rewriter.Done(!stopping())) waiter.Wait();
        }
    }
    if (!FlushOut()) outputLost = true;
    if (stop.Signal()) {
        console.Problem("interrupted: the files under way were finished, no further file was started", kExitOk);
    } else if (outputLost) {
        console.Problem("the output could not be written: no further file was started", kExitFailed);
    }
    if (options.dryRun)
        console.Note(std::to_string(toResave) + " version 4 .olv files would be resaved; nothing was written");
    else
        console.Note(std::to_string(resaved + failed) + " version 4 .olv files: " + std::to_string(resaved) +
                     " resaved, " + std::to_string(failed) + " failed");
    if (options.verbose) NoteVersions(console, versions);
    if (stop.Signal()) return stop.ExitCode();
    return std::max(console.Code(), failed > 0 ? kExitFailed : kExitOk);
}

}  // namespace quorvel::olvtool
