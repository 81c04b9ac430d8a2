// The fix pass's file work: rewrites files on a few worker threads at once and hands each
// file's outcome back in the order the files were started, whatever order they finish in. Each
// file is reached through the folders the walk recorded for it, never by its path from the root
// again, and the bytes of the files in flight are bounded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/OrderedJobs.h"
#include "repair/Resave.h"
#include "scan/FolderReach.h"

namespace quorvel {

// Files rewritten at once by default: each save waits mostly for the disk to flush, and saves
// in flight overlap those waits; beyond about two dozen nothing more was gained, on a local disk
// or on a share (bench_headless --fix-jobs).
inline constexpr int kDefaultResaveJobs = 24;

// Memory for the files in flight by default: a share of the physical memory, a few hundred
// megabytes at most (less in a 32-bit process).
std::uint64_t DefaultResaveBytes();

// Bytes of the files in flight, bounded: a file starts once its bytes fit beside those of the
// files already in flight, or once it is alone (a file larger than the budget runs alone). The
// pass counts a file as the memory it takes at its peak, twice its size.
// Files start in the order they asked. Shared by the pass's workers.
class ByteBudget {
public:
    explicit ByteBudget(std::uint64_t limit) : m_limit(limit) {}
    // Waits for room for `bytes`; false when the budget was closed meanwhile.
    bool Acquire(std::uint64_t bytes);
    void Release(std::uint64_t bytes);
    // Wakes every waiter with false; later Acquire calls fail at once.
    void Close();
    // The most bytes held at once so far.
    std::uint64_t MostHeld() const;

private:
    const std::uint64_t m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_turn;
    std::uint64_t m_held = 0;
    std::uint64_t m_mostHeld = 0;
    std::uint64_t m_nextTicket = 0;
    std::uint64_t m_serving = 0;
    bool m_closed = false;
};

class ResavePass {
public:
    using ResaveFn = std::function<ResaveResult(const ResaveTarget& target)>;

    // `onReady` is called from a worker thread when the outcome of the oldest file not taken
    // yet becomes available; it must be safe to call from any thread. `jobs` files at most are
    // in flight (at least one; fewer where descriptors or threads are short), taking `bytes` of
    // memory at most together (0: DefaultResaveBytes()).
    explicit ResavePass(std::function<void()> onReady, int jobs = kDefaultResaveJobs,
                        ResaveFn resave = ResaveAsTargetVersion, std::uint64_t bytes = 0);
    // The owner takes every outcome before it destroys the pass; a file still in flight then
    // (a hung share) is left to finish on its own thread.
    ~ResavePass();

    ResavePass(const ResavePass&) = delete;
    ResavePass& operator=(const ResavePass&) = delete;

    // Whether another file may be started (fewer than `jobs` are in flight).
    bool HasRoom() const { return m_jobs.Pending() < m_limit; }
    // Starts rewriting the file listed as `path`, found by the walk in folder `folder` of the
    // records `reach` works on: the file is reached through the folders recorded for it, and a
    // folder that is not the one recorded fails it ("changed since it was listed"). Without a
    // record (no `reach`), the file is reached by its path. Every file started gets exactly one
    // outcome.
    void Start(const std::string& path, std::shared_ptr<scan::FolderReach> reach = nullptr,
               std::uint32_t folder = scan::kNoFolder);
    // The outcome of the oldest file not taken yet, once it is done.
    std::optional<ResaveResult> TryTake() { return m_jobs.TryTake(); }
    // Files started whose outcomes have not been taken.
    std::size_t InFlight() const { return m_jobs.Pending(); }
    // The most memory the files in flight took at once so far, as the pass counts it.
    std::uint64_t MostBytesInFlight() const { return m_budget->MostHeld(); }

private:
    const std::size_t m_limit;
    const ResaveFn m_resave;
    const std::shared_ptr<ByteBudget> m_budget;
    OrderedJobs<ResaveResult> m_jobs;
};

}  // namespace quorvel
