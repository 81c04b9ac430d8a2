#include "scan/FolderReach.h"

#include <algorithm>
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

std::shared_ptr<IFolder> FolderReach::Cached(std::uint32_t folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_kept.find(folder);
    if (it == m_kept.end()) return nullptr;
    it->second.used = ++m_clock;
    return it->second.folder;
}

void FolderReach::Keep(std::uint32_t folder, const std::shared_ptr<IFolder>& open) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kept[folder] = {open, ++m_clock};
    while (m_kept.size() > m_keepOpen) {
        const auto oldest = std::min_element(m_kept.begin(), m_kept.end(), [](const auto& a, const auto& b) {
            return a.second.used < b.second.used;
        });
        m_kept.erase(oldest);
    }
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
    // Up from `folder` to the nearest folder kept open, or to the root.
    std::vector<std::pair<std::uint32_t, FolderRecord>> below;
    std::shared_ptr<IFolder> at;
    for (std::uint32_t up = folder; !(at = Cached(up));) {
        below.emplace_back(up, m_records->At(up));
        if (below.back().second.parent == kNoFolder) break;
        up = below.back().second.parent;
    }
    if (!at) {
        // The root, by the path the user chose (links in it followed, as the walk did).
        const FolderRecord& root = below.back().second;
        OpenedFolder opened = m_fs.OpenFolder(root.name);
        if (opened.problem == FolderProblem::NoRoom && Shed()) opened = m_fs.OpenFolder(root.name);
        if (!opened.folder) {
            problem = opened.problem;
            return nullptr;
        }
        if (opened.folder->Identity() != root.id) {
            problem = FolderProblem::Changed;
            return nullptr;
        }
        at = std::move(opened.folder);
        Keep(below.back().first, at);
        below.pop_back();
    }
    // Down again, each step the one the walk took.
    for (auto step = below.rbegin(); step != below.rend(); ++step) {
        const FolderRecord& record = step->second;
        const Links links = record.throughLink ? Links::Follow : Links::Refuse;
        OpenedFolder opened = at->OpenFolder(record.name, links);
        if (opened.problem == FolderProblem::NoRoom && Shed()) opened = at->OpenFolder(record.name, links);
        if (!opened.folder) {
            problem = opened.problem;
            return nullptr;
        }
        if (opened.folder->Identity() != record.id || opened.throughLink != record.throughLink) {
            problem = FolderProblem::Changed;
            return nullptr;
        }
        at = std::move(opened.folder);
        Keep(step->first, at);
    }
    return at;
}

}  // namespace quorvel::scan
