// Reaching the folders a walk recorded, again, for the fix pass: from the root down one name at
// a time, each folder checked to be the one the walk entered (its identity), following a link
// only where the walk followed one. A path is never looked up from the root again as a string,
// so a folder swapped for a link, moved or replaced after the walk leads nowhere else.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "scan/FileSystem.h"
#include "scan/FolderWalk.h"

namespace quorvel::scan {

class FolderReach {
public:
    // Reaches the folders of `records` on `fs`, keeping up to `keepOpen` of them open (0: a
    // share of the descriptors free now), so that files found together cost one open.
    FolderReach(IFileSystem& fs, std::shared_ptr<const FolderRecords> records, std::size_t keepOpen = 0);

    // The folder `folder` of the records, open. Null, with `problem` set, when a folder on the
    // way cannot be opened or is not the one the walk entered (Changed, Gone, ...). Safe to
    // call from several threads at once.
    std::shared_ptr<IFolder> Reach(std::uint32_t folder, FolderProblem& problem);

private:
    struct Kept {
        std::shared_ptr<IFolder> folder;
        std::uint64_t used = 0;
    };

    // The folder kept open, if any. While another thread is opening it, waits for that thread
    // and takes its folder (files of one folder started together open it once); otherwise, and
    // when that thread failed, null with the folder marked as being opened by the caller, who
    // then calls Opened.
    std::shared_ptr<IFolder> CachedOrClaim(std::uint32_t folder);
    // Ends the caller's claim on `folder`: keeps `open` (unless null) and wakes those waiting.
    void Opened(std::uint32_t folder, const std::shared_ptr<IFolder>& open);
    // Closes the older half of the folders kept; false when none was kept.
    bool Shed();

    IFileSystem& m_fs;
    const std::shared_ptr<const FolderRecords> m_records;
    std::size_t m_keepOpen;
    std::mutex m_mutex;
    std::condition_variable m_openedOne;              // a claim ended
    std::unordered_map<std::uint32_t, Kept> m_kept;
    std::unordered_set<std::uint32_t> m_opening;       // folders being opened (claimed)
    std::uint64_t m_clock = 0;
};

}  // namespace quorvel::scan
