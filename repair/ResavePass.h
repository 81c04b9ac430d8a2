// The fix pass's file work: rewrites files on a few worker threads at once and hands each
// file's outcome back in the order the files were started, whatever order they finish in.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/OrderedJobs.h"
#include "repair/Resave.h"

namespace quorvel {

// Files rewritten at once by default: each save waits mostly for the disk to flush, and saves
// in flight overlap those waits; beyond about two dozen nothing more was gained, on a local disk
// or on a share (bench_headless --fix-jobs). Each file in flight is held in memory whole.
inline constexpr int kDefaultResaveJobs = 24;

class ResavePass {
public:
    using ResaveFn = std::function<ResaveResult(const std::string& path)>;

    // `onReady` is called from a worker thread when the outcome of the oldest file not taken
    // yet becomes available; it must be safe to call from any thread. `jobs` files at most are
    // in flight (at least one).
    explicit ResavePass(std::function<void()> onReady, int jobs = kDefaultResaveJobs,
                        ResaveFn resave = ResaveAsTargetVersion);
    // Waits for the files in flight: a file once started is always finished.
    ~ResavePass() { m_jobs.WaitAll(); }

    ResavePass(const ResavePass&) = delete;
    ResavePass& operator=(const ResavePass&) = delete;

    // Whether another file may be started (fewer than `jobs` are in flight).
    bool HasRoom() const { return m_jobs.Pending() < m_limit; }
    // Starts rewriting `path`. Every file started gets exactly one outcome.
    void Start(const std::string& path);
    // The outcome of the oldest file not taken yet, once it is done.
    std::optional<ResaveResult> TryTake() { return m_jobs.TryTake(); }
    // Files started whose outcomes have not been taken.
    std::size_t InFlight() const { return m_jobs.Pending(); }

private:
    const std::size_t m_limit;
    const ResaveFn m_resave;
    OrderedJobs<ResaveResult> m_jobs;
};

}  // namespace quorvel
