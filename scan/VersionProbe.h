// The version probe: asks the file library for the format version of each found file, a few
// files at a time on worker threads, and hands the versions back in the order the files were
// handed in.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/OrderedJobs.h"

namespace quorvel::scan {

// The version of the file at `path` as the library's quick probe reports it (it reads the
// fixed header only): -1 when the file cannot be opened or read, 0 when it is not an .olv
// file, otherwise the version its header holds.
int ProbeVersion(const std::string& path);

struct ProbeSettings {
    int threads = 8;            // files probed at once, at most
    // Files handed in and not taken back yet, at most: enough that the probe can keep pace
    // with a search on a local disk, a few megabytes of paths at most.
    std::size_t ahead = 16384;
};

class VersionProbe {
public:
    using ProbeFn = std::function<int(const std::string& path)>;

    // `onReady` is called from a worker thread when versions not taken yet become available;
    // it must be safe to call from any thread.
    explicit VersionProbe(std::function<void()> onReady, ProbeSettings settings = {},
                          ProbeFn probe = ProbeVersion);
    // Drops the files not probed yet and returns without waiting long for probes under way
    // (see OrderedJobs): `onReady` is not called any more.
    ~VersionProbe() = default;

    // Whether another file may be handed in (fewer than `ahead` are waiting).
    bool HasRoom() const { return m_waiting < m_ahead; }
    // Queues `path`; its version comes back after those of every file handed in before it.
    void Submit(const std::string& path);
    // The version of the oldest file not taken yet, once it has been probed.
    std::optional<int> TryTake();
    // Drops the files not probed yet; probes under way finish on their own.
    void Cancel();

private:
    // Hands the files gathered so far to the workers as one job.
    void Dispatch();

    const std::size_t m_ahead;
    const std::size_t m_batch;
    const ProbeFn m_probe;
    std::vector<std::string> m_gathered;  // handed in, not yet given to the workers
    std::vector<int> m_done;              // versions of a finished job, taken from m_next on
    std::size_t m_next = 0;
    std::size_t m_waiting = 0;            // handed in and not taken
    OrderedJobs<std::vector<int>> m_jobs;
};

}  // namespace quorvel::scan
