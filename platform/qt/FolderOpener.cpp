#include "platform/qt/FolderOpener.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <QSocketNotifier>
#include <QTimer>

#include "ui/res/Texts.h"

extern char** environ;

namespace quorvel::qt {

namespace {

// xdg-open's exit status for a file or folder that does not exist.
constexpr int kXdgOpenNoSuchFile = 2;

int PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

}  // namespace

FolderOpener::FolderOpener() : m_poll(std::make_unique<QTimer>()) {
    m_poll->setInterval(200);
    QObject::connect(m_poll.get(), &QTimer::timeout, this, [this] { Reap(); });
}

FolderOpener::~FolderOpener() {
    // Runs still going are left to themselves (a file manager in the foreground keeps running).
    for (const auto& watch : m_watches)
        if (watch->pidfd >= 0) ::close(watch->pidfd);
}

bool FolderOpener::Open(const std::string& folder) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string program = "xdg-open", argument = folder;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    const int started = ::posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        if (onFailed) onFailed(folder, text::kNoFileManager);
        return false;
    }
    auto watch = std::make_unique<Watch>(Watch{pid, PidFd(pid), folder, nullptr});
    if (watch->pidfd >= 0) {
        ::fcntl(watch->pidfd, F_SETFD, FD_CLOEXEC);
        watch->notifier = std::make_unique<QSocketNotifier>(watch->pidfd, QSocketNotifier::Read);
        QObject::connect(watch->notifier.get(), &QSocketNotifier::activated, this, [this] { Reap(); });
    } else {
        m_poll->start();
    }
    m_watches.push_back(std::move(watch));
    return true;
}

void FolderOpener::Reap() {
    std::vector<std::pair<std::string, const char*>> failed;
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        int status = 0;
        const pid_t ended = ::waitpid((*it)->pid, &status, WNOHANG);
        if (ended == 0) {
            ++it;
            continue;
        }
        // A run reaped elsewhere (ended < 0) has no status to tell: nothing is reported.
        if (ended > 0 && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
            failed.emplace_back((*it)->folder, WIFEXITED(status) && WEXITSTATUS(status) == kXdgOpenNoSuchFile
                                                   ? text::kFolderGone
                                                   : text::kNoFileManager);
        // The notifier may be the one whose signal runs this: deleted once that is over.
        if ((*it)->notifier) {
            (*it)->notifier->setEnabled(false);
            (*it)->notifier.release()->deleteLater();
        }
        if ((*it)->pidfd >= 0) ::close((*it)->pidfd);
        it = m_watches.erase(it);
    }
    if (std::none_of(m_watches.begin(), m_watches.end(), [](const auto& w) { return w->pidfd < 0; }))
        m_poll->stop();
    // Reported after the bookkeeping: a report may open a box with an event loop of its own.
    for (const auto& [folder, reason] : failed)
        if (onFailed) onFailed(folder, reason);
}

}  // namespace quorvel::qt
