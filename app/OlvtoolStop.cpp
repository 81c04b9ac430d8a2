#include "app/OlvtoolStop.h"

#include "base/Threads.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace quorvel::olvtool {

namespace {

// Set by the signal handler, read by anyone: the first stop signal's number.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");

#ifdef _WIN32

std::function<void()>* g_onStop = nullptr;  // set while a StopRequest is alive

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    int none = 0;
    if (g_signal.compare_exchange_strong(none, SIGINT) && g_onStop) (*g_onStop)();
    return TRUE;
}

#else

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The handler writes one byte into this pipe and nobody reads it: its read end stays readable
// from then on, a flag that poll can wait for. The watcher thread does the rest.
int g_pipe[2] = {-1, -1};

void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    if (g_signal.compare_exchange_strong(none, signal)) {
        const ssize_t ignored = write(g_pipe[1], "s", 1);
        (void)ignored;
    }
    errno = saved;
}

void WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, -1) < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) {
    }
}

#endif

}  // namespace

StopRequest::StopRequest(std::function<void()> onStop) : m_onStop(std::move(onStop)) {
    g_signal = 0;
#ifdef _WIN32
    g_onStop = &m_onStop;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    if (pipe2(g_pipe, O_CLOEXEC) != 0) g_pipe[0] = g_pipe[1] = -1;
    // Where the system refuses a thread, nobody calls `onStop`: the command looks at Signal()
    // on its own (Watched() says so).
    if (g_pipe[0] >= 0)
        m_watched = TryStartThread(m_watcher, [this] {
            WaitReadable(g_pipe[0]);
            if (g_signal != 0) m_onStop();
        });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Without the pipe the signals keep their default effect: better than a stop nobody hears.
    if (g_pipe[0] >= 0)
        for (int s : kSignals) sigaction(s, &action, nullptr);
#endif
}

StopRequest::~StopRequest() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_onStop = nullptr;
#else
    if (g_pipe[0] < 0) return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals) sigaction(s, &action, nullptr);
    if (g_signal == 0) {
        const ssize_t ignored = write(g_pipe[1], "q", 1);
        (void)ignored;
    }
    if (m_watcher.joinable()) m_watcher.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
#endif
}

int StopRequest::Signal() const { return g_signal; }

int StopRequest::WakeDescriptor() const {
#ifdef _WIN32
    return -1;
#else
    return g_pipe[0];
#endif
}

}  // namespace quorvel::olvtool
