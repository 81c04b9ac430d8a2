// Starting threads where the system may refuse them (a per-user or container limit on
// processes): the caller is told, and does the work with fewer threads or on its own.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace quorvel {

// Starts `thread` running `body`. False when no thread could be created; `thread` then stays
// empty and `body` is not run.
bool TryStartThread(std::thread& thread, std::function<void()> body);

// Lets go of `threads` once they were told to stop: joins them all when they all `ended`,
// otherwise detaches them all. A thread inside a call that does not return (a file on a hung
// share) is left to end on its own; it must hold whatever it still uses.
void JoinOrDetach(std::vector<std::thread>& threads, bool ended);

}  // namespace quorvel
