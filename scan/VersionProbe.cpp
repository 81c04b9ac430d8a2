#include "scan/VersionProbe.h"

#include <algorithm>
#include <utility>

#include "base/Descriptors.h"
#include "filelib/WekFile.h"

namespace quorvel::scan {

namespace {
// Files probed by one job, at most: one hand-off per batch rather than per file, while a
// share's latency still spreads over all threads.
constexpr std::size_t kMaxBatch = 16;
}  // namespace

int ProbeVersion(const std::string& path) {
    CWekFile file;
    file.m_nQuickFlag = 1;
    // The status is not needed: GetSimpleVersion says -1 (unreadable) or 0 (not .olv) itself.
    file.LoadQuick(path.c_str(), nullptr, 0);
    return file.GetSimpleVersion();
}

namespace {
// Threads probing at once: as asked, but each holds a descriptor, and most of the free ones are
// for the walk and the rewrites.
int ProbeThreads(int asked) {
    return static_cast<int>(std::clamp<std::size_t>(FreeDescriptors() / 4, 1, static_cast<std::size_t>(std::max(asked, 1))));
}
}  // namespace

VersionProbe::VersionProbe(std::function<void()> onReady, ProbeSettings settings, ProbeFn probe)
    : m_ahead(std::max<std::size_t>(settings.ahead, 1)),
      // Batches small enough that every thread gets work from the files ahead.
      m_batch(std::clamp<std::size_t>(m_ahead / static_cast<std::size_t>(std::max(settings.threads, 1)) / 2, 1,
                                      kMaxBatch)),
      m_probe(std::move(probe)),
      m_jobs(ProbeThreads(settings.threads), std::move(onReady)) {}

void VersionProbe::Submit(const std::string& path) {
    m_gathered.push_back(path);
    ++m_waiting;
    if (m_gathered.size() >= m_batch) Dispatch();
}

void VersionProbe::Dispatch() {
    if (m_gathered.empty()) return;
    // The job holds its own copy of the probe: a job left running when the probe is destroyed
    // (a file on a hung share) must not reach back into it.
    m_jobs.Submit([probe = m_probe, paths = std::move(m_gathered)] {
        std::vector<int> versions;
        versions.reserve(paths.size());
        for (const std::string& path : paths) versions.push_back(probe(path));
        return versions;
    });
    m_gathered.clear();
}

std::optional<int> VersionProbe::TryTake() {
    if (m_next == m_done.size()) {
        std::optional<std::vector<int>> versions = m_jobs.TryTake();
        if (!versions) {
            // The caller is about to wait: files still gathering go to the workers now.
            Dispatch();
            return std::nullopt;
        }
        m_done = std::move(*versions);
        m_next = 0;
    }
    --m_waiting;
    return m_done[m_next++];
}

void VersionProbe::Cancel() {
    m_jobs.Cancel();
    m_gathered.clear();
    m_done.clear();
    m_next = 0;
    m_waiting = 0;
}

}  // namespace quorvel::scan
