// The version analysis: asks the file library for each listed file's version.

#include <string>

#include "filelib/WekFile.h"
#include "ui/QuorvelDlg.h"

namespace quorvel {

int CQuorvelDlg::AnalyzeFiles() {
    m_port.BeginWaitCursor();
    int count = 0;
    for (int row = m_listFiles.GetNextItem(-1); row != -1; row = m_listFiles.GetNextItem(row)) {
        // The position reaches rows - 1 during the pass; the caller resets it afterwards.
        m_progress.SetPos(row);
        const std::string path = m_listFiles.GetItemText(row, 0);
        if (AnalyzeFile(path, row) == kTargetVersion) ++count;
    }
    m_port.EndWaitCursor();
    return count;
}

int CQuorvelDlg::AnalyzeFile(const std::string& path, int nRow) {
    CWekFile file;
    file.m_nQuickFlag = 1;
    file.LoadQuick(path.c_str(), nullptr, 0);
    // -1 (unreadable) and 0 (not an .olv file) are shown and stored like any version.
    const int version = file.GetSimpleVersion();
    m_listFiles.SetItemText(nRow, 1, std::to_string(version));
    m_listFiles.SetItemData(nRow, version);
    m_listFiles.EnsureVisible(nRow);
    m_listFiles.UpdateWindow();
    return version;
}

}  // namespace quorvel
