// The fix pass: rewrites every version-4 file of the list, marking each row as it goes.

#include <cstdio>

#include "repair/Resave.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {

void CQuorvelDlg::OnBnClickedFixFiles() {
    // Enter reaches this handler even while a pass pumps messages: never nest passes.
    if (m_bFixPassRunning || !m_port.IsDlgItemEnabled(IDOK)) return;

    // The message pump between files must not start a Browse or a second pass over the
    // list being worked on.
    m_bFixPassRunning = true;
    m_bCloseRequested = false;
    const bool browseWasEnabled = m_port.IsDlgItemEnabled(IDC_BROWSE);
    m_port.EnableDlgItem(IDC_BROWSE, false);
    m_port.EnableDlgItem(IDOK, false);

    ResetProgress(m_nVersion4Count);
    m_progress.UpdateWindow();

    int done = 0;
    int failed = 0;
    for (int row = m_listFiles.GetNextItem(-1); row != -1; row = m_listFiles.GetNextItem(row)) {
        if (m_listFiles.GetItemData(row) != kTargetVersion) continue;
        const std::string path = m_listFiles.GetItemText(row, 0);
        if (!ResaveFile(row, path)) ++failed;
        ++done;
        m_progress.SetPos(done);
        if (m_bCloseRequested) break;
    }

    m_port.EnableDlgItem(IDC_BROWSE, browseWasEnabled);
    m_port.EnableDlgItem(IDOK, true);
    m_bFixPassRunning = false;

    if (failed > 0) {
        char summary[128];
        std::snprintf(summary, sizeof summary, text::kFailedSummary, failed, done);
        m_port.MessageBox(summary);
    }
    if (m_bCloseRequested) m_port.EndDialog(IDCANCEL);
}

bool CQuorvelDlg::ResaveFile(int nRow, const std::string& path) {
    m_listFiles.SetItemText(nRow, 1, text::kWorking);
    m_listFiles.EnsureVisible(nRow);
    m_listFiles.UpdateWindow();

    const ResaveResult result = ResaveAsTargetVersion(path);

    m_listFiles.SetItemText(nRow, 1,
                            result.saved ? std::string(text::kResaved)
                                         : std::string(text::kFailedPrefix) + result.reason);
    m_listFiles.EnsureVisible(nRow);
    m_listFiles.UpdateWindow();

    // Let the window repaint and stay live between files.
    m_port.RedrawWindow();
    m_port.PumpMessages();
    return result.saved;
}

}  // namespace quorvel
