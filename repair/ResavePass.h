// The fix pass's file work: rewrites files on a few worker threads at once. Files are handed
// in in list order and their outcomes come back in that order, but a worker starts, of the
// files handed in and not started, the one whose folder has the fewest files in flight: the
// system serialises creating, renaming and removing names within one folder (so do share
// clients), so rewrites spread over folders overlap where rewrites in list order would queue.
// How far ahead of the oldest outcome not taken files may be handed in is bounded, and so is
// the memory of the files in flight. Each file is reached through the folders the walk recorded
// for it, never by its path from the root again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

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

struct PassSettings {
    int jobs = kDefaultResaveJobs;  // files in flight at most (fewer where descriptors or threads are short)
    std::uint64_t bytes = 0;        // memory of the files in flight at most; 0: DefaultResaveBytes()
    // Files handed in and not taken back, at most; 0: 16 per job, at least 256.
    std::size_t ahead = 0;
    // How long destruction waits for a file still in flight (a hung share) before it leaves it
    // to finish on its own thread.
    std::chrono::milliseconds stopWait{40};
    // Whether the owner is told when a file starts (TakeStarted, and a call of onReady); an owner
    // that shows only outcomes leaves it off.
    bool tellStarts = true;
};

class ResavePass {
public:
    using ResaveFn = std::function<ResaveResult(const ResaveTarget& target)>;

    // What became of a file handed in: its result, or none when it was dropped unstarted.
    struct Outcome {
        std::size_t file = 0;  // its number: 0, 1, ... in the order the files were handed in
        std::optional<ResaveResult> result;
    };

    // `onReady` is called from a worker thread when a file starts and when the outcome of the
    // oldest file not taken yet becomes available; it must be safe to call from any thread, and
    // is never called once the pass is destroyed.
    explicit ResavePass(std::function<void()> onReady, PassSettings settings = {},
                        ResaveFn resave = ResaveAsTargetVersion);
    ResavePass(std::function<void()> onReady, int jobs, ResaveFn resave = ResaveAsTargetVersion,
               std::uint64_t bytes = 0);
    // The owner takes every outcome before it destroys the pass; a file still in flight then
    // (a hung share) is left to finish on its own thread, touching nothing of the owner's.
    ~ResavePass();

    ResavePass(const ResavePass&) = delete;
    ResavePass& operator=(const ResavePass&) = delete;

    // Whether another file may be handed in.
    bool HasRoom() const;
    // Hands in the next file in list order: the file listed as `path`, found by the walk in
    // folder `folder` of the records `reach` works on. It is reached through the folders
    // recorded for it, and a folder that is not the one recorded fails it ("changed since it was
    // listed"); without a record (no `reach`) it is reached by its path. Returns its number.
    // Workers take up the files handed in at the next Dispatch, TakeStarted or TryTake, so that
    // files handed in together are spread over their folders from the start.
    std::size_t Add(const std::string& path, std::shared_ptr<scan::FolderReach> reach = nullptr,
                    std::uint32_t folder = scan::kNoFolder);
    // Lets the workers take up the files handed in since the last call.
    void Dispatch();
    // Appends the numbers of the files started since the last call, in the order they started.
    void TakeStarted(std::vector<std::size_t>& started);
    // The outcome of the oldest file not taken yet, once it is done or dropped. Where no worker
    // thread could be started, runs that file first, on the calling thread.
    std::optional<Outcome> TryTake();
    // Drops the files handed in and not started: their outcomes come without a result. The
    // files in flight finish.
    void DropWaiting();
    // The most memory the files in flight took at once so far, as the pass counts it.
    std::uint64_t MostBytesInFlight() const;
    // The most files in flight at once so far, and the most of them in one folder.
    std::size_t MostInFlight() const;
    std::size_t MostInOneFolder() const;

private:
    struct Core;
    static void Work(const std::shared_ptr<Core>& core);

    std::shared_ptr<Core> m_core;
    std::vector<std::thread> m_workers;
    const std::chrono::milliseconds m_stopWait;
};

}  // namespace quorvel
