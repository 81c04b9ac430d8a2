#include "base/Threads.h"

#include <system_error>

namespace quorvel {

bool TryStartThread(std::thread& thread, std::function<void()> body) {
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        // EAGAIN: the process or its user may run no more threads now.
        return false;
    }
}

void JoinOrDetach(std::vector<std::thread>& threads, bool ended) {
    for (std::thread& t : threads) {
        if (ended)
            t.join();
        else
            t.detach();
    }
    threads.clear();
}

}  // namespace quorvel
