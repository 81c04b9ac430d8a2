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

}  // namespace quorvel
