#include "scan/FolderWalk.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/Descriptors.h"
#include "base/Path.h"
#include "base/Threads.h"
#include "scan/PathMatch.h"

namespace quorvel::scan {

namespace {
// How many levels of the walk's path, from the innermost out, look for folders to list ahead.
constexpr std::size_t kPrefetchLevels = 8;
// Found files handed to the consumer at once, at most: one lock and one wake-up per batch.
constexpr std::size_t kPublishBatch = 256;
// Where folders list in microseconds, files found wait this long at most before they are handed
// over: handing over each folder's few files would cost the consumer a wake-up per folder.
constexpr std::chrono::steady_clock::duration kPublishInterval = std::chrono::milliseconds(2);
// Listings that take longer than this on average are worth handing to other threads; faster
// ones (folders in the cache of a local disk) cost more to hand over than to do at once.
constexpr std::chrono::steady_clock::duration kListingWorthSharing = std::chrono::microseconds(150);
// Entries walked per Take, at most, where the walk runs on the consumer's thread: the consumer
// gets back to its window between pieces.
constexpr std::size_t kInlineSteps = 1024;
}  // namespace

std::uint32_t FolderRecords::Add(FolderRecord record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(std::move(record));
    return static_cast<std::uint32_t>(m_records.size() - 1);
}

FolderRecord FolderRecords::At(std::uint32_t folder) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.at(folder);
}

std::size_t FolderRecords::Size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

std::string NameOf(const std::string& path) {
    const std::size_t sep = path.rfind(kPathSep);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

namespace {

// A folder the walk knows of: a subfolder entry of a folder it has listed.
struct Node {
    enum class State { Unlisted, Listing, Listed, Failed };

    explicit Node(std::string n) : name(std::move(n)) {}

    std::string name;                   // the name in its parent (the root: its whole path)
    State state = State::Unlisted;
    FolderProblem problem = FolderProblem::None;  // why, when Failed
    bool ahead = false;                 // requested ahead of the walk; counted in `ahead`
    bool orphaned = false;              // dropped while a lister still works on it
    bool throughLink = false;           // opened through a link at its name
    bool linkAbove = false;             // it or a folder above it was entered through a link
    bool lost = false;                  // could not be opened again: its subfolders are skipped
    std::shared_ptr<IFolder> folder;    // open while the walk or a lister may need it
    FileIdentity id;
    std::vector<FolderEntry> entries;
    std::vector<std::unique_ptr<Node>> subfolders;  // one per folder entry, in entry order
    std::size_t nextEntry = 0;          // the first entry not walked yet
    std::size_t nextSub = 0;            // the first subfolder not entered yet
    std::size_t pathLength = 0;         // length of the path before this folder's name was added
    std::uint32_t record = kNoFolder;   // once entered
};

// A request to list one folder, and its result. The lister works only on its own copy of the
// name and the parent's handle; `node` is a key the walk thread uses, never touched elsewhere.
struct Listing {
    Node* node = nullptr;
    std::shared_ptr<IFolder> parent;
    std::string name;
    std::shared_ptr<IFolder> folder;
    std::vector<FolderEntry> entries;
    FolderProblem problem = FolderProblem::None;
    bool throughLink = false;
    std::chrono::steady_clock::duration cost{};  // how long the listing took
};

}  // namespace

// Everything of one walk. The walk's thread and the listers hold it too, so that a thread left
// inside a stuck call when the walk is destroyed still finds it when the call returns.
struct FolderWalk::Core {
    Core(IFileSystem& f, std::string r, std::function<void()> onFoundFn, WalkSettings s)
        : fs(f), root(std::move(r)), settings(std::move(s)), onFound(std::move(onFoundFn)) {}
    ~Core() { FreeTree(); }

    void Budget();
    void Run();
    void RunInline();
    bool Begin();
    bool Advance();
    void End();
    void FreeTree();
    bool Descend(Node& parent, Node& child);
    bool Unseen(const Node& child, bool earlierLinkFree) const;
    void Ascend();
    void Reopen(Node& level, Node& leftChild);
    void Release(std::unique_ptr<Node> node);
    void Hold(Node& node, std::shared_ptr<IFolder> folder);
    void Drop(Node& node);
    void ListNow(Node& parent, Node& child);
    static void ListOne(Listing& listing);
    void Integrate();
    void Apply(Listing& listing);
    void AddSubfolders(Node& node);
    bool Shed();
    void CloseFarLevels();
    void Prefetch();
    void Request(Node& node, Node& parent);
    void PrefetchBelow(Node& node, std::size_t from, std::size_t budget, std::size_t& scanned,
                       std::vector<std::pair<Node*, Node*>>& candidates);
    void Emit(const std::string& name);
    void Skip(const std::string& path, FolderProblem problem);
    void Publish();
    void Finish();
    void List();
    void CallOnFound();
    void Step(WalkStep step) { Step(step, path); }
    void Step(WalkStep step, const std::string& at) {
        if (settings.onStepForTest) settings.onStepForTest(step, at);
    }
    std::string PathOf(const Node& child) const { return path + kPathSep + child.name; }
    void NoteOpen() {
        const std::size_t now = open;
        std::size_t most = mostOpen.load(std::memory_order_relaxed);
        while (now > most && !mostOpen.compare_exchange_weak(most, now)) {}
    }

    IFileSystem& fs;
    const std::string root;
    const WalkSettings settings;
    const std::shared_ptr<FolderRecords> records = std::make_shared<FolderRecords>();
    int listerCount = 0;
    bool inlineMode = false;

    // Owned by the walk's thread alone (the consumer's, where the walk runs inline).
    std::unique_ptr<Node> top;
    std::vector<Node*> stack;        // the folders the walk is inside, outermost first
    std::string path;                // the path of the innermost of them
    std::vector<FoundFile> unpublished;
    std::vector<SkippedFolder> unpublishedSkips;
    // The folders entered, and whether each was reached without a link at or above it.
    std::unordered_map<FileIdentity, bool, FileIdentityHash> visited;
    std::size_t ahead = 0;           // folders requested ahead of the walk and not entered yet
    std::size_t entriesAhead = 0;    // entries those folders hold
    std::size_t aheadLimit = 0;      // folders listed ahead, at most (lowered when descriptors run out)
    std::size_t openLimit = 0;       // folders on the walk's path kept open, at most (likewise)
    std::size_t open = 0;            // folders the walk's nodes hold open
    std::chrono::steady_clock::duration listingCost{};  // a listing's recent average cost
    std::vector<std::unique_ptr<Node>> orphans;  // dropped while a lister still lists them
    bool begun = false;
    bool ended = false;
    std::size_t published = 0;       // batches handed to the consumer
    std::chrono::steady_clock::time_point lastPublished{};  // when the last batch was handed over

    // Shared between the walk's thread, the listers and the consumer; guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable walkWake;    // the walk thread: listings done, room for files, stop
    std::condition_variable listerWake;  // the listers: requests waiting, stop
    std::condition_variable threadsDone; // the destructor: a thread ended
    std::deque<Listing> requests;        // folders to list, taken by the listers
    std::vector<Listing> listed;         // listings done, applied by the walk thread
    std::deque<FoundFile> found;         // files found, taken by the consumer
    std::vector<SkippedFolder> skipped;  // folders skipped, taken by the consumer
    bool stopping = false;
    bool finished = false;
    FolderProblem rootProblem = FolderProblem::None;  // written before `finished` is set
    int threadsRunning = 0;
    // Stop's flag for the walk's loop to read without the lock (`stopping` is for the waits).
    std::atomic<bool> stopRequested{false};
    std::atomic<std::size_t> mostOpen{0};

    // The consumer's callback; cleared when the walk is destroyed. Called under its own lock.
    std::mutex callMutex;
    std::function<void()> onFound;

    std::vector<std::thread> threads;
};

void FolderWalk::Core::Budget() {
    aheadLimit = settings.foldersAhead;
    openLimit = settings.openLevels;
    listerCount = std::max(settings.listers, 0);
    if (openLimit == 0) {
        // Half of what is free now; the probe, the rewrites and the window need the rest.
        const std::size_t share = std::max<std::size_t>(FreeDescriptors() / 2, 4);
        aheadLimit = std::min(aheadLimit, share / 4);
        openLimit = share - aheadLimit - std::min<std::size_t>(static_cast<std::size_t>(listerCount), aheadLimit);
        listerCount = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(listerCount), aheadLimit));
    }
    openLimit = std::max<std::size_t>(openLimit, 1);
}

FolderWalk::FolderWalk(IFileSystem& fs, std::string root, std::function<void()> onFound, WalkSettings settings)
    : m_core(std::make_shared<Core>(fs, std::move(root), std::move(onFound), std::move(settings))) {
    Core& core = *m_core;
    core.Budget();
    const std::shared_ptr<Core> shared = m_core;
    const auto start = [&](std::function<void()> body) {
        {
            std::lock_guard<std::mutex> lock(core.mutex);
            ++core.threadsRunning;
        }
        std::thread thread;
        if (!TryStartThread(thread, std::move(body))) {
            std::lock_guard<std::mutex> lock(core.mutex);
            --core.threadsRunning;
            return false;
        }
        core.threads.push_back(std::move(thread));
        return true;
    };
    // Listers are a help, not a need: the walk lists what they cannot. They are counted before
    // the walk starts, which reads the count.
    int listers = 0;
    while (listers < core.listerCount && start([shared] { shared->List(); })) ++listers;
    core.listerCount = listers;
    // No thread to spare for the walk itself: the consumer walks, a piece at each Take.
    if (!start([shared] { shared->Run(); })) core.inlineMode = true;
}

FolderWalk::~FolderWalk() {
    Stop();
    Core& core = *m_core;
    {
        std::lock_guard<std::mutex> lock(core.callMutex);
        core.onFound = nullptr;
    }
    bool allEnded;
    {
        std::unique_lock<std::mutex> lock(core.mutex);
        allEnded = core.threadsDone.wait_for(lock, core.settings.stopWait, [&] { return core.threadsRunning == 0; });
    }
    // A thread left running holds the core, and touches nothing else of the caller's once stopped.
    JoinOrDetach(core.threads, allEnded);
}

bool FolderWalk::Take(std::vector<FoundFile>& files, std::vector<SkippedFolder>& skipped) {
    Core& core = *m_core;
    if (core.inlineMode) core.RunInline();
    std::lock_guard<std::mutex> lock(core.mutex);
    if (!core.found.empty() || !core.skipped.empty()) {
        for (FoundFile& file : core.found) files.push_back(std::move(file));
        core.found.clear();
        for (SkippedFolder& folder : core.skipped) skipped.push_back(std::move(folder));
        core.skipped.clear();
        core.walkWake.notify_one();
    }
    return !core.finished;
}

void FolderWalk::Stop() {
    Core& core = *m_core;
    core.stopRequested = true;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        core.stopping = true;
        core.found.clear();
    }
    core.walkWake.notify_all();
    core.listerWake.notify_all();
}

std::shared_ptr<const FolderRecords> FolderWalk::Records() const { return m_core->records; }

FolderProblem FolderWalk::RootProblem() const {
    std::lock_guard<std::mutex> lock(m_core->mutex);
    return m_core->rootProblem;
}

std::size_t FolderWalk::MostFoldersOpen() const { return m_core->mostOpen.load(); }

void FolderWalk::Core::Run() {
    if (Begin())
        while (Advance()) {}
    End();
    Finish();
    std::lock_guard<std::mutex> lock(mutex);
    --threadsRunning;
    threadsDone.notify_all();
}

void FolderWalk::Core::RunInline() {
    if (ended) return;
    if (!begun && !Begin()) {
        End();
        Finish();
        return;
    }
    const std::size_t before = published;
    for (std::size_t steps = 0; steps < kInlineSteps && published == before; ++steps) {
        if (!Advance()) {
            End();
            Finish();
            return;
        }
    }
    // The consumer waits for a wake-up before it takes again.
    CallOnFound();
}

bool FolderWalk::Core::Begin() {
    begun = true;
    top = std::make_unique<Node>(root);
    Node& rootNode = *top;
    OpenedFolder opened = fs.OpenFolder(root);
    FolderProblem problem = opened.problem;
    if (opened.folder) problem = opened.folder->ReadEntries(rootNode.entries);
    if (problem == FolderProblem::NoRoom) problem = FolderProblem::TooManyOpen;
    if (problem != FolderProblem::None) {
        std::lock_guard<std::mutex> lock(mutex);
        rootProblem = problem;
        return false;
    }
    rootNode.id = opened.folder->Identity();
    rootNode.state = Node::State::Listed;
    Hold(rootNode, std::move(opened.folder));
    visited.emplace(rootNode.id, true);
    rootNode.record = records->Add({kNoFolder, false, false, rootNode.id, root});
    AddSubfolders(rootNode);
    path = root;
    stack.push_back(&rootNode);
    Step(WalkStep::Entered);
    Prefetch();
    return true;
}

bool FolderWalk::Core::Advance() {
    // Checked once per entry: an atomic read, not a lock.
    if (stack.empty() || stopRequested.load(std::memory_order_relaxed)) return false;
    Node& level = *stack.back();
    if (level.nextEntry == level.entries.size()) {
        // Files found go out folder by folder where listing a folder takes a while (a share, a
        // cold disk), so that they show as they are found; where folders list in microseconds,
        // every few milliseconds. A large folder's go out in batches as they are found.
        if (listingCost >= kListingWorthSharing || !unpublishedSkips.empty() ||
            std::chrono::steady_clock::now() - lastPublished >= kPublishInterval)
            Publish();
        Ascend();
        Prefetch();
        return true;
    }
    const FolderEntry& entry = level.entries[level.nextEntry++];
    if (!entry.isFolder) {
        if (IsOlvPath(entry.name))
            Emit(entry.name);
        // Never where a link led: the folder may be anyone's, not the tree the user chose.
        else if (settings.isLeftover && level.folder && !level.linkAbove && settings.isLeftover(entry.name))
            level.folder->RemoveFile(entry.name);
        return true;
    }
    std::unique_ptr<Node>& child = level.subfolders[level.nextSub++];
    if (level.lost) {
        // Its folder could not be opened again; the level was reported once.
        Release(std::move(child));
        return true;
    }
    if (Descend(level, *child)) Prefetch();
    return true;
}

void FolderWalk::Core::End() {
    if (ended) return;
    ended = true;
    Publish();
    FreeTree();
}

void FolderWalk::Core::FreeTree() {
    // Stopped inside the tree: free it level by level from the inside out, as the walk would
    // have, rather than through nested destructors as deep as the tree.
    while (stack.size() > 1) {
        stack.pop_back();
        Node& parent = *stack.back();
        Release(std::move(parent.subfolders[parent.nextSub - 1]));
    }
    stack.clear();
    Release(std::move(top));
}

bool FolderWalk::Core::Descend(Node& parent, Node& child) {
    if (child.state == Node::State::Unlisted) ListNow(parent, child);
    if (child.state == Node::State::Listing) {
        // Requested ahead but not taken up by a lister yet: the walk lists it itself rather
        // than wait for a thread to wake up for it.
        Listing stolen;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = std::find_if(requests.begin(), requests.end(),
                                         [&](const Listing& l) { return l.node == &child; });
            if (it != requests.end()) {
                stolen = std::move(*it);
                requests.erase(it);
            }
        }
        if (stolen.node) {
            ListOne(stolen);
            Apply(stolen);
        }
    }
    if (child.state == Node::State::Listing) Publish();
    while (child.state == Node::State::Listing) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            walkWake.wait(lock, [this] { return stopping || !listed.empty(); });
            if (stopping) return false;
        }
        Integrate();
    }
    // A lister ran out of descriptors for it: the walk lists it now, holding fewer.
    if (child.state == Node::State::Unlisted) ListNow(parent, child);
    if (child.ahead) {
        child.ahead = false;
        --ahead;
        entriesAhead -= child.entries.size();
    }
    std::unique_ptr<Node>& slot = parent.subfolders[parent.nextSub - 1];
    if (child.state == Node::State::Failed) {
        Skip(PathOf(child), child.problem);
        Release(std::move(slot));
        return false;
    }
    child.linkAbove = parent.linkAbove || child.throughLink;
    if (const auto [it, added] = visited.emplace(child.id, !child.linkAbove); !added && !Unseen(child, it->second)) {
        // Entered already by another path: the walk goes on without it.
        Release(std::move(slot));
        return false;
    }
    child.record = records->Add({parent.record, child.throughLink, child.linkAbove, child.id, child.name});
    child.pathLength = path.size();
    path.append(1, kPathSep).append(child.name);
    stack.push_back(&child);
    Step(WalkStep::Entered);
    // Far enough above the walk, folders are closed; they are opened again on the way back up.
    if (stack.size() > openLimit) Drop(*stack[stack.size() - 1 - openLimit]);
    return true;
}

bool FolderWalk::Core::Unseen(const Node& child, bool earlierLinkFree) const {
    // Only a link, or a mount, leads to a folder a second time: two folders reached through
    // names alone whose numbers match, where the file system tells nothing more (a FUSE mount),
    // are two folders, the later one given the number of one removed meanwhile, unless it is
    // one the walk is inside (a mount of a folder beneath itself).
    if (!child.id.Weak() || child.linkAbove || !earlierLinkFree) return false;
    return std::none_of(stack.begin(), stack.end(), [&](const Node* level) { return level->id == child.id; });
}

void FolderWalk::Core::Ascend() {
    const std::string left = settings.onStepForTest ? path : std::string();
    Node& done = *stack.back();
    stack.pop_back();
    path.resize(done.pathLength);
    if (stack.empty()) {
        Release(std::move(top));
        Step(WalkStep::Left, left);
        return;
    }
    Node& parent = *stack.back();
    // Open again only when something is left that needs it: a subfolder, or a file to remove.
    if (!parent.folder && !parent.lost && parent.nextEntry < parent.entries.size()) Reopen(parent, done);
    Release(std::move(parent.subfolders[parent.nextSub - 1]));
    Step(WalkStep::Left, left);
}

void FolderWalk::Core::Reopen(Node& level, Node& leftChild) {
    Step(WalkStep::Reopening);
    // Through the parent entry of the folder just left, when that leads back to the same folder
    // (it does not when the child was reached through a link). Only an identity that a later
    // folder given the same number cannot share is trusted from this side: a folder moved away
    // with the one just left could stand there instead.
    if (leftChild.folder && !leftChild.throughLink && !level.id.Weak()) {
        OpenedFolder up = leftChild.folder->OpenFolder("..", Links::Refuse);
        if (up.problem == FolderProblem::NoRoom && Shed()) up = leftChild.folder->OpenFolder("..", Links::Refuse);
        if (up.folder && up.folder->Identity() == level.id) {
            Hold(level, std::move(up.folder));
            return;
        }
    }
    // Otherwise down by name from the nearest folder still open, each step checked to lead to
    // the folder that was walked; the first that does not ends the attempt, and the rest of
    // `level` is reported and skipped.
    std::size_t from = 0;
    for (std::size_t i = 0; i < stack.size(); ++i)
        if (stack[i]->folder) from = i;
    FolderProblem problem = FolderProblem::None;
    if (!stack[from]->folder) {
        if (stopRequested) return;
        OpenedFolder rootFolder = fs.OpenFolder(root);
        if (rootFolder.folder && rootFolder.folder->Identity() == stack[0]->id) {
            Hold(*stack[0], std::move(rootFolder.folder));
            from = 0;
        } else {
            problem = rootFolder.folder ? FolderProblem::Changed : rootFolder.problem;
        }
    }
    for (std::size_t i = from + 1; i < stack.size() && problem == FolderProblem::None; ++i) {
        Node& step = *stack[i];
        const Links links = step.throughLink ? Links::Follow : Links::Refuse;
        OpenedFolder next = stack[i - 1]->folder->OpenFolder(step.name, links);
        if (next.problem == FolderProblem::NoRoom && Shed()) next = stack[i - 1]->folder->OpenFolder(step.name, links);
        if (!next.folder)
            problem = next.problem;
        else if (next.folder->Identity() != step.id)
            problem = FolderProblem::Changed;
        else
            Hold(step, std::move(next.folder));
    }
    if (problem != FolderProblem::None) {
        level.lost = true;
        Skip(path, problem == FolderProblem::NoRoom ? FolderProblem::TooManyOpen : problem);
    }
    CloseFarLevels();
}

void FolderWalk::Core::Release(std::unique_ptr<Node> node) {
    // Iterative: a subtree listed ahead can be as deep as the folders listed ahead, and the
    // whole tree as deep as the walk went.
    std::vector<std::unique_ptr<Node>> pending;
    pending.push_back(std::move(node));
    while (!pending.empty()) {
        std::unique_ptr<Node> n = std::move(pending.back());
        pending.pop_back();
        if (!n) continue;
        if (n->ahead) {
            --ahead;
            entriesAhead -= n->entries.size();
        }
        Drop(*n);
        for (std::unique_ptr<Node>& sub : n->subfolders) pending.push_back(std::move(sub));
        if (n->state == Node::State::Listing) {
            // A lister still holds a request for it: keep the node until its result comes in.
            n->orphaned = true;
            n->ahead = false;
            orphans.push_back(std::move(n));
        }
    }
}

void FolderWalk::Core::Hold(Node& node, std::shared_ptr<IFolder> folder) {
    if (!node.folder && folder) ++open;
    if (node.folder && !folder) --open;
    node.folder = std::move(folder);
    NoteOpen();
}

void FolderWalk::Core::Drop(Node& node) { Hold(node, nullptr); }

void FolderWalk::Core::ListNow(Node& parent, Node& child) {
    while (true) {
        Listing listing;
        listing.node = &child;
        listing.parent = parent.folder;
        listing.name = child.name;
        ListOne(listing);
        // Out of descriptors: hold fewer and try again; only when nothing is left to give
        // back is the folder reported.
        if (listing.problem == FolderProblem::NoRoom && Shed()) continue;
        if (listing.problem == FolderProblem::NoRoom) listing.problem = FolderProblem::TooManyOpen;
        Apply(listing);
        return;
    }
}

void FolderWalk::Core::ListOne(Listing& listing) {
    const auto started = std::chrono::steady_clock::now();
    if (listing.parent) {
        OpenedFolder opened = listing.parent->OpenFolder(listing.name, Links::Follow);
        listing.problem = opened.problem;
        listing.throughLink = opened.throughLink;
        if (opened.folder) {
            listing.problem = opened.folder->ReadEntries(listing.entries);
            listing.folder = std::move(opened.folder);
        }
        listing.parent.reset();
    } else {
        listing.problem = FolderProblem::Changed;
    }
    listing.cost = std::chrono::steady_clock::now() - started;
}

void FolderWalk::Core::Integrate() {
    std::vector<Listing> done;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done.swap(listed);
    }
    for (Listing& listing : done) Apply(listing);
}

void FolderWalk::Core::Apply(Listing& listing) {
    // What a listing costs, averaged over the last few dozen, decides whether listing ahead
    // on other threads pays (a share, a cold disk) or only costs hand-offs (a warm local disk).
    listingCost += (listing.cost - listingCost) / 16;
    Node& node = *listing.node;
    if (node.orphaned) {
        const auto it = std::find_if(orphans.begin(), orphans.end(),
                                     [&](const std::unique_ptr<Node>& n) { return n.get() == &node; });
        if (it != orphans.end()) orphans.erase(it);
        return;
    }
    if (listing.problem == FolderProblem::NoRoom) {
        // A lister ran out of descriptors: list fewer ahead; the walk lists this one itself.
        node.state = Node::State::Unlisted;
        if (node.ahead) {
            node.ahead = false;
            --ahead;
        }
        aheadLimit = std::max<std::size_t>(aheadLimit / 2, 1);
        return;
    }
    if (listing.problem != FolderProblem::None) {
        node.state = Node::State::Failed;
        node.problem = listing.problem;
        return;
    }
    node.state = Node::State::Listed;
    node.id = listing.folder->Identity();
    node.throughLink = listing.throughLink;
    // Entered already by another path: it will be skipped, so nothing of it is kept. (A weak
    // identity cannot tell yet: the walk decides once it knows how the folder was reached.)
    if (!node.id.Weak() && visited.count(node.id) != 0) return;
    Hold(node, std::move(listing.folder));
    node.entries = std::move(listing.entries);
    if (node.ahead) entriesAhead += node.entries.size();
    AddSubfolders(node);
}

void FolderWalk::Core::AddSubfolders(Node& node) {
    for (const FolderEntry& entry : node.entries)
        if (entry.isFolder) node.subfolders.push_back(std::make_unique<Node>(entry.name));
}

bool FolderWalk::Core::Shed() {
    const std::size_t before = open;
    // Folders listed ahead are given back first: they are listed again when the walk gets there.
    for (Node* level : stack)
        for (std::size_t i = level->nextSub; i < level->subfolders.size(); ++i) {
            Node* sub = level->subfolders[i].get();
            if (!sub || sub->state != Node::State::Listed || !sub->ahead) continue;
            std::vector<std::unique_ptr<Node>> below = std::move(sub->subfolders);
            for (std::unique_ptr<Node>& b : below) Release(std::move(b));
            sub->ahead = false;
            --ahead;
            entriesAhead -= sub->entries.size();
            sub->entries.clear();
            sub->subfolders.clear();
            Drop(*sub);
            sub->state = Node::State::Unlisted;
        }
    aheadLimit /= 2;
    // Then levels of the walk's own path, the outermost first; they are opened again on the
    // way back up. The innermost stays: it is where the walk is.
    std::size_t openLevels = 0;
    for (Node* level : stack)
        if (level->folder) ++openLevels;
    openLimit = std::max<std::size_t>(std::min(openLimit, openLevels) / 2, 1);
    CloseFarLevels();
    return open < before;
}

void FolderWalk::Core::CloseFarLevels() {
    std::size_t kept = 0;
    for (std::size_t i = stack.size(); i-- > 0;) {
        if (!stack[i]->folder) continue;
        if (kept < openLimit)
            ++kept;
        else
            Drop(*stack[i]);
    }
}

void FolderWalk::Core::Prefetch() {
    if (listerCount == 0) return;
    Integrate();
    if (listingCost < kListingWorthSharing) return;
    if (ahead >= aheadLimit || entriesAhead >= settings.entriesAhead) return;
    std::size_t budget = aheadLimit - ahead;
    // Bounds the time spent looking; a later call goes on from wherever the walk is then.
    std::size_t scanned = 4 * aheadLimit + 64;
    const std::size_t lowest = stack.size() > kPrefetchLevels ? stack.size() - kPrefetchLevels : 0;
    // The folders the walk enters next come first: the innermost folder's subfolders not
    // entered yet (and, recursively, the subfolders of those already listed), then those of
    // the folder around it, and so on outwards.
    std::vector<std::pair<Node*, Node*>> candidates;
    for (std::size_t level = stack.size(); level-- > lowest && budget > candidates.size() && scanned > 0;) {
        Node& node = *stack[level];
        if (node.lost) continue;
        PrefetchBelow(node, node.nextSub, budget, scanned, candidates);
    }
    // A lone folder ahead gains nothing from another thread: the walk lists it itself, sooner
    // than a lister could wake up for it (a deep chain of single folders is walked inline).
    if (ahead + candidates.size() < 2) return;
    for (const auto& [node, parent] : candidates) Request(*node, *parent);
}

void FolderWalk::Core::PrefetchBelow(Node& node, std::size_t from, std::size_t budget, std::size_t& scanned,
                                     std::vector<std::pair<Node*, Node*>>& candidates) {
    for (std::size_t i = from; i < node.subfolders.size() && budget > candidates.size() && scanned > 0; ++i) {
        --scanned;
        Node* sub = node.subfolders[i].get();
        if (!sub) continue;
        if (sub->state == Node::State::Unlisted) {
            // Only a folder whose parent is open can be listed by name inside it.
            if (node.folder) candidates.emplace_back(sub, &node);
        } else if (sub->state == Node::State::Listed) {
            // Recursion depth is bounded by the folders listed ahead (at most foldersAhead).
            PrefetchBelow(*sub, 0, budget, scanned, candidates);
        }
    }
}

void FolderWalk::Core::Request(Node& node, Node& parent) {
    Listing listing;
    listing.node = &node;
    listing.parent = parent.folder;
    listing.name = node.name;
    node.state = Node::State::Listing;
    node.ahead = true;
    ++ahead;
    NoteOpen();
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(std::move(listing));
    }
    listerWake.notify_one();
}

void FolderWalk::Core::List() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
        listerWake.wait(lock, [this] { return stopping || !requests.empty(); });
        if (stopping) break;
        Listing listing = std::move(requests.front());
        requests.pop_front();
        lock.unlock();
        ListOne(listing);
        lock.lock();
        listed.push_back(std::move(listing));
        walkWake.notify_one();
    }
    --threadsRunning;
    threadsDone.notify_all();
}

void FolderWalk::Core::Emit(const std::string& name) {
    FoundFile file;
    file.path.reserve(path.size() + 1 + name.size());
    file.path.append(path).append(1, kPathSep).append(name);
    file.folder = stack.back()->record;
    unpublished.push_back(std::move(file));
    if (unpublished.size() >= kPublishBatch) Publish();
}

void FolderWalk::Core::Skip(const std::string& folderPath, FolderProblem problem) {
    unpublishedSkips.push_back({folderPath, problem});
}

void FolderWalk::Core::Publish() {
    if (unpublished.empty() && unpublishedSkips.empty()) return;
    bool wake;
    {
        std::unique_lock<std::mutex> lock(mutex);
        // Inline, the consumer is this thread: it takes everything at once.
        if (!inlineMode)
            walkWake.wait(lock, [this] { return stopping || found.size() < settings.pathsAhead; });
        if (stopping) {
            unpublished.clear();
            unpublishedSkips.clear();
            return;
        }
        wake = found.empty() && skipped.empty();
        for (FoundFile& file : unpublished) found.push_back(std::move(file));
        for (SkippedFolder& folder : unpublishedSkips) skipped.push_back(std::move(folder));
    }
    unpublished.clear();
    unpublishedSkips.clear();
    ++published;
    lastPublished = std::chrono::steady_clock::now();
    if (wake && !inlineMode) CallOnFound();
}

void FolderWalk::Core::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
    }
    CallOnFound();
}

void FolderWalk::Core::CallOnFound() {
    std::lock_guard<std::mutex> lock(callMutex);
    if (onFound) onFound();
}

}  // namespace quorvel::scan
