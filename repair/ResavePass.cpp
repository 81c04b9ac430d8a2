#include "repair/ResavePass.h"

#include <algorithm>
#include <new>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "base/Descriptors.h"
#include "filelib/WekFile.h"

namespace quorvel {

namespace {
// Descriptors one file in flight holds at most: the file, its folder, the new file, a copy.
constexpr std::size_t kDescriptorsPerFile = 6;
// Memory one file in flight takes, per byte of the file, at its peak: the file's content as
// loaded and the image the save writes (bench_headless --memory).
constexpr std::uint64_t kMemoryPerFileByte = 2;
// Files from this size on give their memory back to the system when they are done.
constexpr std::uint64_t kTrimFrom = 8 * 1024 * 1024;

void GiveBackMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
}  // namespace

std::uint64_t DefaultResaveBytes() {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    std::uint64_t physical = 0;
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (::GlobalMemoryStatusEx(&status)) physical = status.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
#endif
    // A 32-bit process has 2 to 4 GiB of addresses for everything, in pieces.
    const std::uint64_t most = sizeof(void*) < 8 ? 128 * kMiB : 256 * kMiB;
    if (physical == 0) return 64 * kMiB;
    return std::clamp<std::uint64_t>(physical / 16, 32 * kMiB, most);
}

bool ByteBudget::Acquire(std::uint64_t bytes) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t ticket = m_nextTicket++;
    m_turn.wait(lock, [&] { return m_closed || (ticket == m_serving && (m_held == 0 || m_held + bytes <= m_limit)); });
    if (m_closed) return false;
    ++m_serving;
    m_held += bytes;
    m_mostHeld = std::max(m_mostHeld, m_held);
    m_turn.notify_all();
    return true;
}

void ByteBudget::Release(std::uint64_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held -= bytes;
    }
    m_turn.notify_all();
}

void ByteBudget::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_turn.notify_all();
}

std::uint64_t ByteBudget::MostHeld() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mostHeld;
}

ResavePass::ResavePass(std::function<void()> onReady, int jobs, ResaveFn resave, std::uint64_t bytes)
    : m_limit(std::clamp<std::size_t>(std::min(static_cast<std::size_t>(jobs < 1 ? 1 : jobs),
                                               FreeDescriptors() / 2 / kDescriptorsPerFile),
                                      1, static_cast<std::size_t>(jobs < 1 ? 1 : jobs))),
      m_resave(std::move(resave)),
      m_budget(std::make_shared<ByteBudget>(bytes != 0 ? bytes : DefaultResaveBytes())),
      // One worker per file in flight: a file started is a file being worked on.
      m_jobs(static_cast<int>(m_limit), std::move(onReady)) {}

ResavePass::~ResavePass() { m_budget->Close(); }

void ResavePass::Start(const std::string& path, std::shared_ptr<scan::FolderReach> reach, std::uint32_t folder) {
    // The job holds everything it uses: one left running on a hung share outlives the pass.
    m_jobs.Submit([resave = m_resave, budget = m_budget, reach = std::move(reach), folder, path]() -> ResaveResult {
        try {
            ResaveTarget target;
            target.path = path;
            target.name = scan::NameOf(path);
            std::shared_ptr<IFolder> open;  // held until the file is done
            if (reach && folder != scan::kNoFolder) {
                FolderProblem problem;
                open = reach->Reach(folder, problem);
                if (!open) {
                    switch (problem) {
                    case FolderProblem::Denied: return {false, WekStatusText(WEK_ERR_OPEN)};
                    case FolderProblem::Unreadable: return {false, WekStatusText(WEK_ERR_READ)};
                    case FolderProblem::TooManyOpen:
                    case FolderProblem::NoRoom: return {false, kTooManyOpen};
                    default: return {false, kChangedSinceListed};
                    }
                }
                target.folder = open->Descriptor();
            }
            const std::uint64_t bytes = SizeOf(target) * kMemoryPerFileByte;
            if (!budget->Acquire(bytes)) return {false, WekStatusText(WEK_ERR_CANCELLED)};
            struct Held {
                ByteBudget& budget;
                std::uint64_t bytes;
                ~Held() {
                    // What a large file took goes back to the system now: each worker allocates
                    // from an area of its own, which would otherwise keep it for the next file
                    // that worker happens to get, and two dozen workers would keep two dozen.
                    if (bytes >= kTrimFrom) GiveBackMemory();
                    budget.Release(bytes);
                }
            } held{*budget, bytes};
            return resave(target);
        } catch (const std::bad_alloc&) {
            return {false, kNotEnoughMemory};
        }
    });
}

}  // namespace quorvel
