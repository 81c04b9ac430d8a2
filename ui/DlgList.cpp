// The start on a folder and "Save list as...": the list as a file, written off the window's
// thread while the window stays live.

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "base/ReplaceFile.h"
#include "base/Threads.h"
#include "ui/QuorvelDlg.h"
#include "ui/RowText.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {

namespace {
#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif
}  // namespace

void CQuorvelDlg::OnWindowShown() {
    if (m_strStartFolder.empty()) return;
    BrowseFolder(std::exchange(m_strStartFolder, std::string()));
}

void CQuorvelDlg::OnSaveListAs() {
    if (m_bFixPassRunning || m_bBrowsing || m_bSavingList || m_listFiles.GetItemCount() == 0) return;
    const std::optional<std::string> path = m_port.SaveFileDialog(text::kSaveListTitle, text::kSaveListName);
    if (!path || path->empty()) return;

    // The rows as they are now; the window takes input while the file is written, but no
    // command that changes the list runs until it is done.
    const std::string contents = ListText(m_listFiles, kLineEnd);
    const bool browseWasEnabled = m_port.IsDlgItemEnabled(IDC_BROWSE);
    const bool fixWasEnabled = m_port.IsDlgItemEnabled(IDOK);
    m_port.EnableDlgItem(IDC_BROWSE, false);
    m_port.EnableDlgItem(IDOK, false);
    m_bSavingList = true;
    m_bCloseRequested = false;
    StartWork();

    // The writer owns `error` until it sets `done`; the dialog reads it only after the join.
    std::atomic<bool> done{false};
    std::string error;
    const auto write = [&, wake = Waker()] {
        error = ReplaceFileContents(*path, contents);
        done.store(true);
        wake();
    };
    std::thread writer;
    // Where the system refuses a thread, the window waits for the file this once.
    if (!TryStartThread(writer, write)) write();
    while (!done.load()) LookAtMessages(true);
    if (writer.joinable()) writer.join();

    m_bSavingList = false;
    m_port.EnableDlgItem(IDC_BROWSE, browseWasEnabled);
    m_port.EnableDlgItem(IDOK, fixWasEnabled);
    if (!error.empty()) ShowBox(text::FormatLine(text::kSaveListFailed, *path, error));
    if (m_bCloseRequested) m_port.EndDialog(IDCANCEL);
}

}  // namespace quorvel
