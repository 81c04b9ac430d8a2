#include "scan/FolderReach.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "base/Descriptors.h"

namespace quorvel::scan {

namespace {
// Folders kept open for the fix pass at most: files are started a few folders at a time.
constexpr std::size_t kMostKept = 256;
}  // namespace

FolderReach::FolderReach(IFileSystem& fs, std::shared_ptr<const FolderRecords> records, std::size_t keepOpen)
    : m_fs(fs),
      m_records(std::move(records)),
      m_keepOpen(keepOpen != 0 ? keepOpen : std::clamp<std::size_t>(FreeDescriptors() / 8, 1, kMostKept)) {}

std::shared_ptr<IFolder> FolderReach::CachedOrClaim(std::uint32_t folder) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        const auto it = m_kept.find(folder);
        if (it != m_kept.end()) {
            it->second.used = ++m_clock;
            return it->second.folder;
        }
        if (m_opening.insert(folder).second) return nullptr;
        m_openedOne.wait(lock);
    }
}

void FolderReach::Opened(std::uint32_t folder, const std::shared_ptr<IFolder>& open) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_opening.erase(folder);
        try {
            if (open) m_kept[folder] = {open, ++m_clock};
        } catch (const std::bad_alloc&) {
            // Not kept: the next file of the folder opens it again, which is only slower.
        }
        while (m_kept.size() > m_keepOpen) {
            const auto oldest = std::min_element(m_kept.begin(), m_kept.end(), [](const auto& a, const auto& b) {
                return a.second.used < b.second.used;
            });
            m_kept.erase(oldest);
        }
    }
    m_openedOne.notify_all();
}

bool FolderReach::Shed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_kept.empty()) return false;
    std::vector<std::uint64_t> uses;
    for (const auto& [folder, kept] : m_kept) uses.push_back(kept.used);
    std::nth_element(uses.begin(), uses.begin() + static_cast<std::ptrdiff_t>(uses.size() / 2), uses.end());
    const std::uint64_t median = uses[uses.size() / 2];
    std::erase_if(m_kept, [&](const auto& entry) { return entry.second.used <= median; });
    m_keepOpen = std::max<std::size_t>(m_keepOpen / 2, 1);
    return true;
}

std::shared_ptr<IFolder> FolderReach::Reach(std::uint32_t folder, FolderProblem& problem) {
    problem = FolderProblem::None;
    // Up from `folder` to the nearest folder kept open, or to the root, claiming each folder on
    // the way: below[0] is `folder`, below.back() the highest. A thread waits only for a folder
    // above every one it has claimed, so no two threads wait for each other. The claims still
    // held are those of below[0, claimed) and `pending`; whatever happens, they are given up.
    std::vector<std::pair<std::uint32_t, FolderRecord>> below;
    std::size_t claimed = 0;
    std::uint32_t pending = kNoFolder;
    struct GiveUp {
        FolderReach& reach;
        const std::vector<std::pair<std::uint32_t, FolderRecord>>& below;
        const std::size_t& claimed;
        const std::uint32_t& pending;
        ~GiveUp() {
            if (pending != kNoFolder) reach.Opened(pending, nullptr);
            for (std::size_t j = 0; j < claimed; ++j) reach.Opened(below[j].first, nullptr);
        }
    } giveUp{*this, below, claimed, pending};

    std::shared_ptr<IFolder> at;
    for (std::uint32_t up = folder; !(at = CachedOrClaim(up));) {
        pending = up;
        below.emplace_back(up, m_records->At(up));
        pending = kNoFolder;
        claimed = below.size();
        if (below.back().second.parent == kNoFolder) break;
        up = below.back().second.parent;
    }
    // Down again, each step the one the walk took; the root by the path the user chose (links in
    // it followed, as the walk did).
    for (std::size_t i = below.size(); i-- > 0;) {
        const FolderRecord& record = below[i].second;
        const bool root = !at;
        const Links links = record.throughLink ? Links::Follow : Links::Refuse;
        const auto open = [&] { return root ? m_fs.OpenFolder(record.name) : at->OpenFolder(record.name, links); };
        OpenedFolder opened = open();
        if (opened.problem == FolderProblem::NoRoom && Shed()) opened = open();
        if (opened.folder && (opened.folder->Identity() != record.id || (!root && opened.throughLink != record.throughLink))) {
            opened.folder.reset();
            opened.problem = FolderProblem::Changed;
        }
        if (!opened.folder) {
            problem = opened.problem;
            return nullptr;
        }
        at = std::move(opened.folder);
        claimed = i;
        Opened(below[i].first, at);
    }
    return at;
}

}  // namespace quorvel::scan
