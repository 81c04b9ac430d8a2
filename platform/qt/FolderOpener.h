// Shows folders in the desktop's file manager through xdg-open, and tells when that failed.
// xdg-open reports a desktop without a file manager only by its exit status, so it is run as
// a child of ours and watched from the event loop (through a pidfd) until it ends; the window
// never waits for it. A file manager that xdg-open runs in the foreground simply keeps it
// running: that is success, and it stays open when the program ends.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

class QSocketNotifier;
class QTimer;

namespace quorvel::qt {

class FolderOpener : public QObject {
public:
    FolderOpener();
    ~FolderOpener() override;

    // Called with the folder's path and a short reason (ui/res/Texts.h) for each folder that
    // could not be shown: xdg-open could not be started or ended with a failure.
    std::function<void(const std::string& folder, const char* reason)> onFailed;

    // Starts `xdg-open FOLDER` (the path's bytes as they are). False, after onFailed, when it
    // cannot be started; true when it runs, whatever it later reports.
    bool Open(const std::string& folder);
    // Runs of xdg-open not yet ended.
    int Running() const { return static_cast<int>(m_watches.size()); }

private:
    struct Watch {
        pid_t pid;
        int pidfd;  // -1 where the kernel has none: then the run is polled
        std::string folder;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    // Reaps the runs that have ended and reports their failures.
    void Reap();

    std::vector<std::unique_ptr<Watch>> m_watches;
    std::unique_ptr<QTimer> m_poll;
};

}  // namespace quorvel::qt
