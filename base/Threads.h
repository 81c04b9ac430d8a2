// Starting threads where the system may refuse them (a per-user or container limit on
// processes): the caller is told, and does the work with fewer threads or on its own.
#pragma once

#include <functional>
#include <thread>

namespace quorvel {

// Starts `thread` running `body`. False when no thread could be created; `thread` then stays
// empty and `body` is not run.
bool TryStartThread(std::thread& thread, std::function<void()> body);

}  // namespace quorvel
