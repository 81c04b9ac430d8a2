#include "repair/ResavePass.h"

#include <utility>

namespace quorvel {

ResavePass::ResavePass(std::function<void()> onReady, int jobs, ResaveFn resave)
    : m_limit(static_cast<std::size_t>(jobs < 1 ? 1 : jobs)),
      m_resave(std::move(resave)),
      // One worker per file in flight: a file started is a file being worked on.
      m_jobs(static_cast<int>(m_limit), std::move(onReady)) {}

void ResavePass::Start(const std::string& path) {
    m_jobs.Submit([this, path] { return m_resave(path); });
}

}  // namespace quorvel
