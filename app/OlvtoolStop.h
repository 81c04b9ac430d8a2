// Ctrl+C (and the termination signals) during scan and fix: the first one asks the command to
// start no further work; what is in flight finishes and is reported, then the command ends
// with 128 + the signal's number (130 for Ctrl+C). Later ones change nothing.
#pragma once

#include <functional>
#include <thread>

namespace quorvel::olvtool {

class StopRequest {
public:
    // Takes over SIGINT, SIGTERM and SIGHUP (Ctrl+C and Ctrl+Break on Windows) until destroyed.
    // `onStop` runs once, on a thread of its own, when the first of them arrives; it must be
    // safe to call from any thread. System calls the signal meets are restarted, so no file
    // operation under way fails because of it.
    explicit StopRequest(std::function<void()> onStop);
    // Gives the signals their default handling back.
    ~StopRequest();

    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    // The number of the signal that asked to stop; 0 while none has.
    int Signal() const;
    // The exit code of a command stopped by Signal(): 128 + its number.
    int ExitCode() const { return 128 + Signal(); }
    // A descriptor that becomes readable once a stop is asked for (never read from it), for
    // a wait on input to poll beside its own; -1 where there is none (Windows).
    int WakeDescriptor() const;
    // False where `onStop` will not be called (no thread could be started for it): the command
    // then looks at Signal() every so often by itself.
    bool Watched() const { return m_watched; }

private:
    std::function<void()> m_onStop;
    std::thread m_watcher;
#ifdef _WIN32
    bool m_watched = true;  // the system calls the handler on a thread of its own
#else
    bool m_watched = false;
#endif
};

}  // namespace quorvel::olvtool
