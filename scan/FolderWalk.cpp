#include "scan/FolderWalk.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "base/Path.h"
#include "scan/PathMatch.h"

namespace quorvel::scan {

namespace {
// How many levels of the walk's path, from the innermost out, look for folders to list ahead.
constexpr std::size_t kPrefetchLevels = 8;
// Found paths handed to the consumer at once, at most: one lock and one wake-up per batch.
constexpr std::size_t kPublishBatch = 256;
// Listings that take longer than this on average are worth handing to other threads; faster
// ones (folders in the cache of a local disk) cost more to hand over than to do at once.
constexpr std::chrono::steady_clock::duration kListingWorthSharing = std::chrono::microseconds(150);
}  // namespace

// A folder the walk knows of: a subfolder entry of a folder it has listed.
struct FolderWalk::Node {
    enum class State { Unlisted, Listing, Listed, Failed };

    explicit Node(std::string n) : name(std::move(n)) {}

    std::string name;                   // the name in its parent (the root: its whole path)
    State state = State::Unlisted;
    bool ahead = false;                 // requested ahead of the walk; counted in m_ahead
    bool orphaned = false;              // dropped while a lister still works on it
    std::shared_ptr<IFolder> folder;    // open while the walk or a lister may need it
    FileIdentity id;
    std::vector<FolderEntry> entries;
    std::vector<std::unique_ptr<Node>> subfolders;  // one per folder entry, in entry order
    std::size_t nextEntry = 0;          // the first entry not walked yet
    std::size_t nextSub = 0;            // the first subfolder not entered yet
    std::size_t pathLength = 0;         // length of m_path before this folder's name was added
};

// A request to list one folder, and its result. The lister works only on its own copy of the
// name and the parent's handle; `node` is a key the walk thread uses, never touched elsewhere.
struct FolderWalk::Listing {
    Node* node = nullptr;
    std::shared_ptr<IFolder> parent;
    std::string name;
    std::shared_ptr<IFolder> folder;
    std::vector<FolderEntry> entries;
    bool ok = false;
    std::chrono::steady_clock::duration cost{};  // how long the listing took
};

FolderWalk::FolderWalk(IFileSystem& fs, std::string root, std::function<void()> onFound,
                       WalkSettings settings)
    : m_fs(fs), m_root(std::move(root)), m_onFound(std::move(onFound)), m_settings(std::move(settings)) {
    for (int i = 0; i < m_settings.listers; ++i) m_listers.emplace_back([this] { List(); });
    m_walker = std::thread([this] { Run(); });
}

FolderWalk::~FolderWalk() {
    Stop();
    m_walker.join();
    for (std::thread& t : m_listers) t.join();
}

bool FolderWalk::Take(std::vector<std::string>& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_found.empty()) {
        for (std::string& path : m_found) out.push_back(std::move(path));
        m_found.clear();
        m_walkWake.notify_one();
    }
    return !m_finished;
}

void FolderWalk::Stop() {
    m_stopRequested = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_found.clear();
    }
    m_walkWake.notify_all();
    m_listerWake.notify_all();
}

void FolderWalk::Run() {
    m_top = std::make_unique<Node>(m_root);
    Node& root = *m_top;
    if (std::unique_ptr<IFolder> folder = m_fs.OpenFolder(m_root)) {
        root.id = folder->Identity();
        if (folder->ReadEntries(root.entries)) {
            root.folder = std::move(folder);
            root.state = Node::State::Listed;
            m_rootUnreadable = false;
            m_visited.insert(root.id);
            AddSubfolders(root);
            m_path = m_root;
            m_stack.push_back(&root);
            Prefetch();
        }
    }
    // Checked once per entry: an atomic read, not a lock.
    while (!m_stack.empty() && !m_stopRequested.load(std::memory_order_relaxed)) {
        Node& top = *m_stack.back();
        if (top.nextEntry == top.entries.size()) {
            // Paths found go out folder by folder (or in batches within a large one).
            Publish();
            Ascend();
            Prefetch();
            continue;
        }
        const FolderEntry& entry = top.entries[top.nextEntry++];
        if (!entry.isFolder) {
            if (IsOlvPath(entry.name))
                Emit(entry.name);
            else if (m_settings.isLeftover && top.folder && m_settings.isLeftover(entry.name))
                top.folder->RemoveFile(entry.name);
            continue;
        }
        Node& child = *top.subfolders[top.nextSub++];
        if (Descend(top, child)) Prefetch();
    }
    // Stopped inside the tree: free it level by level from the inside out, as the walk would
    // have, rather than through nested destructors as deep as the tree.
    while (m_stack.size() > 1) {
        m_stack.pop_back();
        Node& parent = *m_stack.back();
        parent.subfolders[parent.nextSub - 1].reset();
    }
    m_stack.clear();
    m_top.reset();
    Finish();
}

bool FolderWalk::Descend(Node& parent, Node& child) {
    if (child.state == Node::State::Unlisted) ListNow(parent, child);
    if (child.state == Node::State::Listing) {
        // Requested ahead but not taken up by a lister yet: the walk lists it itself rather
        // than wait for a thread to wake up for it.
        Listing stolen;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = std::find_if(m_requests.begin(), m_requests.end(),
                                         [&](const Listing& l) { return l.node == &child; });
            if (it != m_requests.end()) {
                stolen = std::move(*it);
                m_requests.erase(it);
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
            std::unique_lock<std::mutex> lock(m_mutex);
            m_walkWake.wait(lock, [this] { return m_stopping || !m_listed.empty(); });
            if (m_stopping) return false;
        }
        Integrate();
    }
    if (child.ahead) {
        child.ahead = false;
        --m_ahead;
    }
    const bool listed = child.state == Node::State::Listed;
    if (!listed || !m_visited.insert(child.id).second) {
        // Unreadable, or entered already by another path: the walk goes on without it.
        Release(std::move(parent.subfolders[parent.nextSub - 1]));
        return false;
    }
    child.pathLength = m_path.size();
    m_path.append(1, kPathSep).append(child.name);
    m_stack.push_back(&child);
    // Far enough above the walk, folders are closed; they are opened again on the way back up.
    const std::size_t keep = std::max<std::size_t>(m_settings.openLevels, 1);
    if (m_stack.size() > keep) m_stack[m_stack.size() - 1 - keep]->folder.reset();
    return true;
}

void FolderWalk::Ascend() {
    Node& done = *m_stack.back();
    m_stack.pop_back();
    m_path.resize(done.pathLength);
    if (m_stack.empty()) {
        m_top.reset();
        return;
    }
    Node& parent = *m_stack.back();
    if (!parent.folder && parent.nextSub < parent.subfolders.size()) Reopen(parent, done);
    Release(std::move(parent.subfolders[parent.nextSub - 1]));
}

void FolderWalk::Reopen(Node& level, Node& leftChild) {
    // Through the parent entry of the folder just left, when that leads back to the same folder
    // (it does not when the child was reached through a link).
    if (leftChild.folder) {
        std::unique_ptr<IFolder> up = leftChild.folder->OpenFolder("..");
        if (up && up->Identity() == level.id) {
            level.folder = std::move(up);
            return;
        }
    }
    // Otherwise down by name from the nearest folder still open, each step checked to lead to
    // the folder that was walked; the first that does not ends the attempt, and the remaining
    // subfolders of `level` are then skipped like folders that cannot be read.
    std::size_t from = 0;
    for (std::size_t i = 0; i < m_stack.size(); ++i)
        if (m_stack[i]->folder) from = i;
    if (!m_stack[from]->folder) {
        std::unique_ptr<IFolder> root = m_fs.OpenFolder(m_root);
        if (!root || root->Identity() != m_stack[0]->id) return;
        m_stack[0]->folder = std::move(root);
        from = 0;
    }
    for (std::size_t i = from + 1; i < m_stack.size(); ++i) {
        std::unique_ptr<IFolder> next = m_stack[i - 1]->folder->OpenFolder(m_stack[i]->name);
        if (!next || next->Identity() != m_stack[i]->id) return;
        m_stack[i]->folder = std::move(next);
    }
}

void FolderWalk::Release(std::unique_ptr<Node> node) {
    // Iterative: a subtree listed ahead can be as deep as the folders listed ahead.
    std::vector<std::unique_ptr<Node>> pending;
    pending.push_back(std::move(node));
    while (!pending.empty()) {
        std::unique_ptr<Node> n = std::move(pending.back());
        pending.pop_back();
        if (!n) continue;
        if (n->ahead) --m_ahead;
        for (std::unique_ptr<Node>& sub : n->subfolders) pending.push_back(std::move(sub));
        if (n->state == Node::State::Listing) {
            // A lister still holds a request for it: keep the node until its result comes in.
            n->orphaned = true;
            m_orphans.push_back(std::move(n));
        }
    }
}

void FolderWalk::ListNow(Node& parent, Node& child) {
    Listing listing;
    listing.node = &child;
    listing.parent = parent.folder;
    listing.name = child.name;
    ListOne(listing);
    Apply(listing);
}

void FolderWalk::ListOne(Listing& listing) {
    const auto started = std::chrono::steady_clock::now();
    if (listing.parent) {
        std::unique_ptr<IFolder> folder = listing.parent->OpenFolder(listing.name);
        listing.ok = folder && folder->ReadEntries(listing.entries);
        listing.folder = std::move(folder);
        listing.parent.reset();
    }
    listing.cost = std::chrono::steady_clock::now() - started;
}

void FolderWalk::Integrate() {
    std::vector<Listing> listed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listed.swap(m_listed);
    }
    for (Listing& listing : listed) Apply(listing);
}

void FolderWalk::Apply(Listing& listing) {
    // What a listing costs, averaged over the last few dozen, decides whether listing ahead
    // on other threads pays (a share, a cold disk) or only costs hand-offs (a warm local disk).
    m_listingCost += (listing.cost - m_listingCost) / 16;
    Node& node = *listing.node;
    if (node.orphaned) {
        const auto it = std::find_if(m_orphans.begin(), m_orphans.end(),
                                     [&](const std::unique_ptr<Node>& n) { return n.get() == &node; });
        if (it != m_orphans.end()) m_orphans.erase(it);
        return;
    }
    if (!listing.ok) {
        node.state = Node::State::Failed;
        return;
    }
    node.state = Node::State::Listed;
    node.id = listing.folder->Identity();
    // Entered already by another path: it will be skipped, so nothing of it is kept.
    if (m_visited.count(node.id) != 0) return;
    node.folder = std::move(listing.folder);
    node.entries = std::move(listing.entries);
    AddSubfolders(node);
}

void FolderWalk::AddSubfolders(Node& node) {
    for (const FolderEntry& entry : node.entries)
        if (entry.isFolder) node.subfolders.push_back(std::make_unique<Node>(entry.name));
}

void FolderWalk::Prefetch() {
    if (m_listers.empty()) return;
    Integrate();
    if (m_listingCost < kListingWorthSharing) return;
    if (m_ahead >= m_settings.foldersAhead) return;
    std::size_t budget = m_settings.foldersAhead - m_ahead;
    // Bounds the time spent looking; a later call goes on from wherever the walk is then.
    std::size_t scanned = 4 * m_settings.foldersAhead + 64;
    const std::size_t lowest = m_stack.size() > kPrefetchLevels ? m_stack.size() - kPrefetchLevels : 0;
    // The folders the walk enters next come first: the innermost folder's subfolders not
    // entered yet (and, recursively, the subfolders of those already listed), then those of
    // the folder around it, and so on outwards.
    std::vector<std::pair<Node*, Node*>> candidates;
    for (std::size_t level = m_stack.size(); level-- > lowest && budget > candidates.size() && scanned > 0;) {
        Node& node = *m_stack[level];
        PrefetchBelow(node, node.nextSub, budget, scanned, candidates);
    }
    // A lone folder ahead gains nothing from another thread: the walk lists it itself, sooner
    // than a lister could wake up for it (a deep chain of single folders is walked inline).
    if (m_ahead + candidates.size() < 2) return;
    for (const auto& [node, parent] : candidates) Request(*node, *parent);
}

void FolderWalk::PrefetchBelow(Node& node, std::size_t from, std::size_t budget, std::size_t& scanned,
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

void FolderWalk::Request(Node& node, Node& parent) {
    Listing listing;
    listing.node = &node;
    listing.parent = parent.folder;
    listing.name = node.name;
    node.state = Node::State::Listing;
    node.ahead = true;
    ++m_ahead;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(std::move(listing));
    }
    m_listerWake.notify_one();
}

void FolderWalk::List() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_listerWake.wait(lock, [this] { return m_stopping || !m_requests.empty(); });
        if (m_stopping) return;
        Listing listing = std::move(m_requests.front());
        m_requests.pop_front();
        lock.unlock();
        ListOne(listing);
        lock.lock();
        m_listed.push_back(std::move(listing));
        m_walkWake.notify_one();
    }
}

void FolderWalk::Emit(const std::string& name) {
    std::string path;
    path.reserve(m_path.size() + 1 + name.size());
    path.append(m_path).append(1, kPathSep).append(name);
    m_unpublished.push_back(std::move(path));
    if (m_unpublished.size() >= kPublishBatch) Publish();
}

void FolderWalk::Publish() {
    if (m_unpublished.empty()) return;
    bool wake;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_walkWake.wait(lock, [this] { return m_stopping || m_found.size() < m_settings.pathsAhead; });
        if (m_stopping) {
            m_unpublished.clear();
            return;
        }
        wake = m_found.empty();
        for (std::string& path : m_unpublished) m_found.push_back(std::move(path));
    }
    m_unpublished.clear();
    if (wake) m_onFound();
}

void FolderWalk::Finish() {
    Publish();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_onFound();
}

}  // namespace quorvel::scan
