#include "repair/ResavePass.h"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <utility>

#include "base/Descriptors.h"
#include "base/Memory.h"
#include "base/Threads.h"
#include "filelib/WekFile.h"

namespace quorvel {

namespace {
// Descriptors one file in flight holds at most: the file, its folder, the new file, a copy.
constexpr std::size_t kDescriptorsPerFile = 6;
// Memory one file in flight takes, per byte of the file, at its peak: the file's content as
// loaded and the image the save writes (bench_headless --memory).
constexpr std::uint64_t kMemoryPerFileByte = 2;
// Files from this size on give their memory back to the system when they are done.
constexpr std::uint64_t kTrimFrom = 8 * 1024 * 1024;
}  // namespace

std::uint64_t DefaultResaveBytes() {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    const std::uint64_t physical = PhysicalMemoryBytes();
    // A 32-bit process has 2 to 4 GiB of addresses for everything, in pieces.
    const std::uint64_t most = sizeof(void*) < 8 ? 128 * kMiB : 256 * kMiB;
    if (physical == 0) return 64 * kMiB;
    return std::clamp<std::uint64_t>(physical / 16, 32 * kMiB, most);
}

bool ByteBudget::Acquire(std::uint64_t bytes) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t ticket = m_nextTicket++;
    m_turn.wait(lock, [&] { return m_closed || (ticket == m_serving && (m_held == 0 || m_held + bytes <= m_limit)); });
    if (m_closed) return false;
    ++m_serving;
    m_held += bytes;
    m_mostHeld = std::max(m_mostHeld, m_held);
    m_turn.notify_all();
    return true;
}

void ByteBudget::Release(std::uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held -= bytes;
    }
    m_turn.notify_all();
}

void ByteBudget::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_turn.notify_all();
}

std::uint64_t ByteBudget::MostHeld() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mostHeld;
}

// The files being rewritten, by identity: a file reached under a second name while it is being
// rewritten under the first (a link and its target, hard links, a path listed twice) waits until
// that rewrite is done, then is rewritten as usual. Two rewrites of one file at once would each
// find the other's work as a change since the load.
class FilesInWork {
public:
    // Waits until no other worker rewrites `id`, then marks it as rewritten by the caller.
    void Enter(const FileIdentity& id) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_free.wait(lock, [&] { return m_busy.find(id) == m_busy.end(); });
        m_busy.insert(id);
    }
    void Leave(const FileIdentity& id) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy.erase(id);
        }
        m_free.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::unordered_set<FileIdentity, FileIdentityHash> m_busy;
};

// Everything of one pass that its workers use. A worker left running on a hung share when the
// pass is destroyed holds it, and nothing of the owner's.
struct ResavePass::Core {
    enum class State { Waiting, Running, Done, Dropped };
    struct Entry {
        std::string path;
        std::string folderKey;  // the folder it is in: files in flight are spread by it
        std::shared_ptr<scan::FolderReach> reach;
        std::uint32_t folder = scan::kNoFolder;
        State state = State::Waiting;
        ResaveResult result;
    };

    ResaveFn resave;
    std::shared_ptr<ByteBudget> budget;
    FilesInWork files;
    std::size_t ahead = 0;
    std::size_t inFlightLimit = 1;

    mutable std::mutex mutex;
    std::condition_variable work;      // the workers: a file to start, or closing
    std::condition_variable finished;  // destruction: a worker ended
    std::deque<Entry> entries;         // handed in and not taken, oldest first
    std::size_t base = 0;              // the number of entries.front()
    std::unordered_map<std::string, std::size_t> running;  // files in flight by folder
    std::size_t inFlight = 0, mostInFlight = 0, mostInOneFolder = 0;
    std::vector<std::size_t> started;  // numbers started, not yet taken by the owner
    bool tellStarts = true;            // whether the owner takes them
    std::size_t undispatched = 0;      // handed in since the workers were last woken
    int workersRunning = 0;
    bool closing = false;

    std::mutex callMutex;              // held while onReady runs, so that it can be cleared
    std::function<void()> onReady;

    void DispatchLocked() {
        if (undispatched == 0) return;
        // One worker per file at most; those already awake take files anyway.
        if (undispatched >= inFlightLimit)
            work.notify_all();
        else
            for (std::size_t i = 0; i < undispatched; ++i) work.notify_one();
        undispatched = 0;
    }

    void CallOnReady() {
        std::lock_guard<std::mutex> lock(callMutex);
        if (onReady) onReady();
    }

    // The waiting file to start next: the oldest of those whose folder has the fewest files in
    // flight. entries.size() when none waits.
    std::size_t PickLocked() const {
        std::size_t best = entries.size(), bestRunning = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].state != State::Waiting) continue;
            const auto it = running.find(entries[i].folderKey);
            const std::size_t n = it == running.end() ? 0 : it->second;
            if (best == entries.size() || n < bestRunning) {
                best = i;
                bestRunning = n;
                if (n == 0) break;
            }
        }
        return best;
    }

    // Marks entries[at] as started; returns its number.
    std::size_t StartLocked(std::size_t at) {
        Entry& entry = entries[at];
        entry.state = State::Running;
        const std::size_t inFolder = ++running[entry.folderKey];
        mostInOneFolder = std::max(mostInOneFolder, inFolder);
        mostInFlight = std::max(mostInFlight, ++inFlight);
        if (tellStarts) started.push_back(base + at);
        return base + at;
    }

    // Stores the result of file `number`; true when it is the oldest not taken.
    bool FinishLocked(std::size_t number, ResaveResult result) {
        Entry& entry = entries[number - base];
        entry.state = State::Done;
        entry.result = std::move(result);
        const auto it = running.find(entry.folderKey);
        if (--it->second == 0) running.erase(it);
        --inFlight;
        return number == base;
    }
};

namespace {

// Reaches the file, waits until no other worker rewrites it and for room in the budget, and
// rewrites it.
ResaveResult RunOne(const ResavePass::ResaveFn& resave, ByteBudget& budget, FilesInWork& files, const std::string& path,
                    const std::shared_ptr<scan::FolderReach>& reach, std::uint32_t folder) {
    try {
        ResaveTarget target;
        target.path = path;
        target.name = scan::NameOf(path);
        std::shared_ptr<IFolder> open;  // held until the file is done
        if (reach && folder != scan::kNoFolder) {
            FolderProblem problem;
            open = reach->Reach(folder, problem);
            if (!open) {
                switch (problem) {
                case FolderProblem::Denied: return {false, WekStatusText(WEK_ERR_OPEN)};
                case FolderProblem::Unreadable: return {false, WekStatusText(WEK_ERR_READ)};
                case FolderProblem::TooManyOpen:
                case FolderProblem::NoRoom: return {false, kTooManyOpen};
                default: return {false, kChangedSinceListed};
                }
            }
            target.folder = open->Descriptor();
        }
        const TargetFacts facts = FactsOf(target);
        struct Turn {
            FilesInWork& files;
            const TargetFacts& facts;
            ~Turn() {
                if (facts.identified) files.Leave(facts.id);
            }
        };
        if (facts.identified) files.Enter(facts.id);
        const Turn turn{files, facts};
        const std::uint64_t bytes = facts.size * kMemoryPerFileByte;
        if (!budget.Acquire(bytes)) return {false, WekStatusText(WEK_ERR_CANCELLED)};
        struct Held {
            ByteBudget& budget;
            std::uint64_t bytes;
            ~Held() {
                // What a large file took goes back to the system now: each worker allocates
                // from an area of its own, which would otherwise keep it for the next file
                // that worker happens to get, and two dozen workers would keep two dozen.
                if (bytes >= kTrimFrom) GiveBackFreedMemory();
                budget.Release(bytes);
            }
        } held{budget, bytes};
        return resave(target);
    } catch (const std::bad_alloc&) {
        return {false, kNotEnoughMemory};
    }
}

}  // namespace

void ResavePass::Work(const std::shared_ptr<Core>& shared) {
    Core& core = *shared;
    std::unique_lock<std::mutex> lock(core.mutex);
    while (true) {
        std::size_t at = 0;
        core.work.wait(lock, [&] { return core.closing || (at = core.PickLocked()) < core.entries.size(); });
        if (core.closing) break;
        const std::size_t number = core.StartLocked(at);
        const Core::Entry& entry = core.entries[at];
        const std::string path = entry.path;
        const std::shared_ptr<scan::FolderReach> reach = entry.reach;
        const std::uint32_t folder = entry.folder;
        lock.unlock();
        // The owner marks the file as being worked on.
        if (core.tellStarts) core.CallOnReady();
        ResaveResult result = RunOne(core.resave, *core.budget, core.files, path, reach, folder);
        lock.lock();
        if (core.FinishLocked(number, std::move(result))) {
            lock.unlock();
            core.CallOnReady();
            lock.lock();
        }
    }
    --core.workersRunning;
    core.finished.notify_all();
}

namespace {

std::string FolderKeyOf(const std::string& path) {
    const std::string name = scan::NameOf(path);
    return path.substr(0, path.size() - name.size());
}

}  // namespace

ResavePass::ResavePass(std::function<void()> onReady, int jobs, ResaveFn resave, std::uint64_t bytes)
    : ResavePass(std::move(onReady), PassSettings{jobs, bytes}, std::move(resave)) {}

ResavePass::ResavePass(std::function<void()> onReady, PassSettings settings, ResaveFn resave)
    : m_core(std::make_shared<Core>()), m_stopWait(settings.stopWait) {
    const std::size_t asked = static_cast<std::size_t>(settings.jobs < 1 ? 1 : settings.jobs);
    // Each file in flight holds a few descriptors; half of those free are for the rest.
    const std::size_t jobs = std::clamp<std::size_t>(FreeDescriptors() / 2 / kDescriptorsPerFile, 1, asked);
    Core& core = *m_core;
    core.onReady = std::move(onReady);
    core.resave = std::move(resave);
    core.budget = std::make_shared<ByteBudget>(settings.bytes != 0 ? settings.bytes : DefaultResaveBytes());
    core.ahead = settings.ahead != 0 ? settings.ahead : std::max<std::size_t>(16 * jobs, 256);
    core.inFlightLimit = jobs;
    core.tellStarts = settings.tellStarts;
    // One worker per file in flight: a file started is a file being worked on. Where the
    // system refuses threads, fewer; with none, the owner rewrites each file in TryTake.
    for (std::size_t i = 0; i < jobs; ++i) {
        {
            std::lock_guard<std::mutex> lock(core.mutex);
            ++core.workersRunning;
        }
        std::thread worker;
        if (!TryStartThread(worker, [shared = m_core] { Work(shared); })) {
            std::lock_guard<std::mutex> lock(core.mutex);
            --core.workersRunning;
            break;
        }
        m_workers.push_back(std::move(worker));
    }
}

ResavePass::~ResavePass() {
    Core& core = *m_core;
    {
        std::lock_guard<std::mutex> lock(core.callMutex);
        core.onReady = nullptr;
    }
    core.budget->Close();
    bool ended;
    {
        std::unique_lock<std::mutex> lock(core.mutex);
        core.closing = true;
        core.work.notify_all();
        ended = core.finished.wait_for(lock, m_stopWait, [&] { return core.workersRunning == 0; });
    }
    JoinOrDetach(m_workers, ended);
}

bool ResavePass::HasRoom() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->entries.size() < m_core->ahead;
}

std::size_t ResavePass::Add(const std::string& path, std::shared_ptr<scan::FolderReach> reach, std::uint32_t folder) {
    Core::Entry entry;
    entry.path = path;
    entry.folderKey = FolderKeyOf(path);
    entry.reach = std::move(reach);
    entry.folder = folder;
    std::lock_guard<std::mutex> lock(m_core->mutex);
    const std::size_t number = m_core->base + m_core->entries.size();
    m_core->entries.push_back(std::move(entry));
    ++m_core->undispatched;
    return number;
}

void ResavePass::Dispatch() {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_core->DispatchLocked();
}

void ResavePass::TakeStarted(std::vector<std::size_t>& started) {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    m_core->DispatchLocked();
    for (const std::size_t number : m_core->started) started.push_back(number);
    m_core->started.clear();
}

std::optional<ResavePass::Outcome> ResavePass::TryTake() {
    Core& core = *m_core;
    std::unique_lock<std::mutex> lock(core.mutex);
    core.DispatchLocked();
    if (core.entries.empty()) return std::nullopt;
    if (m_workers.empty() && core.entries.front().state == Core::State::Waiting) {
        const std::size_t number = core.StartLocked(0);
        const Core::Entry& entry = core.entries.front();
        const std::string path = entry.path;
        const std::shared_ptr<scan::FolderReach> reach = entry.reach;
        const std::uint32_t folder = entry.folder;
        lock.unlock();
        ResaveResult result = RunOne(core.resave, *core.budget, core.files, path, reach, folder);
        lock.lock();
        core.FinishLocked(number, std::move(result));
    }
    Core::Entry& front = core.entries.front();
    if (front.state != Core::State::Done && front.state != Core::State::Dropped) return std::nullopt;
    Outcome outcome;
    outcome.file = core.base;
    if (front.state == Core::State::Done) outcome.result = std::move(front.result);
    core.entries.pop_front();
    ++core.base;
    return outcome;
}

void ResavePass::DropWaiting() {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    for (Core::Entry& entry : m_core->entries)
        if (entry.state == Core::State::Waiting) entry.state = Core::State::Dropped;
}

std::uint64_t ResavePass::MostBytesInFlight() const { return m_core->budget->MostHeld(); }

std::size_t ResavePass::MostInFlight() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->mostInFlight;
}

std::size_t ResavePass::MostInOneFolder() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->mostInOneFolder;
}

}  // namespace quorvel
