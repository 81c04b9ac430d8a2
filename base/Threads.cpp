#include "base/Threads.h"

#include <atomic>
#include <system_error>

namespace quorvel {

namespace {
std::atomic<int> g_threadsLeftForTest{-1};
}  // namespace

bool TryStartThread(std::thread& thread, std::function<void()> body) {
    int left = g_threadsLeftForTest.load();
    while (left >= 0) {
        if (left == 0) return false;
        if (g_threadsLeftForTest.compare_exchange_weak(left, left - 1)) break;
    }
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        // EAGAIN: the process or its user may run no more threads now.
        return false;
    }
}

void LimitThreadsForTest(int count) { g_threadsLeftForTest = count; }

}  // namespace quorvel
