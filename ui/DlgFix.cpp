// The fix pass: rewrites every version-4 file of the list on the repair module's workers,
// several at a time, and marks each row as its file is started and as its outcome comes back,
// in the list's order.

#include <cstdio>
#include <string>

#include "repair/Outcome.h"
#include "scan/FolderReach.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {

namespace {
// Failed files the end box names one by one; the rest are counted.
constexpr std::size_t kFailuresListed = 10;
}  // namespace

void CQuorvelDlg::OnBnClickedFixFiles() {
    // Enter reaches this handler even while work pumps messages: never nest passes, and never
    // start one over a list that a Browse is still filling.
    if (m_bFixPassRunning || m_bBrowsing || !m_port.IsDlgItemEnabled(IDOK)) return;

    m_bFixPassRunning = true;
    m_bCloseRequested = false;
    StartWork();
    const bool browseWasEnabled = m_port.IsDlgItemEnabled(IDC_BROWSE);
    m_port.EnableDlgItem(IDC_BROWSE, false);
    m_port.EnableDlgItem(IDOK, false);

    ResetProgress(m_nVersion4Count);
    m_progress.UpdateWindow();

    PassSettings settings;
    settings.jobs = m_work.resaveJobs;
    settings.bytes = m_work.resaveBytes;
    m_pass = std::make_unique<ResavePass>(Waker(), settings, m_work.resaveFile);
    // Each search's folders are reached again from its root, through the folders it recorded.
    m_reaches.clear();
    for (const std::shared_ptr<const scan::FolderRecords>& records : m_walkRecords)
        m_reaches.push_back(std::make_shared<scan::FolderReach>(m_port.FileSystem(), records));
    m_passRows.clear();
    m_nPassBase = 0;
    m_failures.clear();
    m_nFailed = 0;
    int done = 0;
    int next = NextTargetRow(-1);
    std::vector<std::size_t> started;
    while (true) {
        // Files are handed in in list order, a bounded way ahead of the oldest outcome; the pass
        // starts them spread over folders. After a close nothing new starts; the files in
        // flight finish and get their outcomes.
        while (next != -1 && !m_bCloseRequested && m_pass->HasRoom()) {
            ResaveFile(next, m_listFiles.GetItemText(next, 0));
            next = NextTargetRow(next);
        }
        if (m_bCloseRequested) m_pass->DropWaiting();
        started.clear();
        m_pass->TakeStarted(started);
        for (const std::size_t file : started)
            if (file >= m_nPassBase) m_listFiles.SetItemText(m_passRows[file - m_nPassBase], 1, text::kWorking);
        if (!started.empty()) m_listFiles.UpdateWindow();
        if (m_passRows.empty()) break;
        // Outcomes in list order, whatever order the files finish in.
        if (std::optional<ResavePass::Outcome> outcome = m_pass->TryTake()) {
            const int row = m_passRows.front();
            m_passRows.pop_front();
            ++m_nPassBase;
            if (outcome->result) {
                ShowResaveOutcome(row, *outcome->result);
                m_progress.SetPos(++done);
            }
        } else {
            LookAtMessages(true);
        }
    }
    m_pass.reset();
    m_reaches.clear();
    EndWork();

    m_port.EnableDlgItem(IDC_BROWSE, browseWasEnabled);
    m_port.EnableDlgItem(IDOK, true);
    m_bFixPassRunning = false;

    if (m_nFailed > 0) ReportFailures(done);
    if (m_bCloseRequested) m_port.EndDialog(IDCANCEL);
}

int CQuorvelDlg::NextTargetRow(int nRow) const {
    for (int row = m_listFiles.GetNextItem(nRow); row != -1; row = m_listFiles.GetNextItem(row))
        if (m_listFiles.GetItemData(row) == kTargetVersion) return row;
    return -1;
}

void CQuorvelDlg::ResaveFile(int nRow, const std::string& path) {
    m_passRows.push_back(nRow);
    const std::size_t row = static_cast<std::size_t>(nRow);
    if (row < m_rowOrigins.size() && m_rowOrigins[row].folder != scan::kNoFolder &&
        m_rowOrigins[row].walk < m_reaches.size()) {
        const RowOrigin& origin = m_rowOrigins[row];
        m_pass->Add(path, m_reaches[origin.walk], origin.folder);
    } else {
        m_pass->Add(path);
    }
}

void CQuorvelDlg::ShowResaveOutcome(int nRow, const ResaveResult& result) {
    if (!result.saved) {
        ++m_nFailed;
        if (m_failures.size() < kFailuresListed)
            m_failures.push_back({m_listFiles.GetItemText(nRow, 0), result.reason});
    }
    m_listFiles.SetItemText(nRow, 1, outcome::Text(result));
    m_listFiles.EnsureVisible(nRow);
    m_listFiles.UpdateWindow();

    // Let the window repaint and stay live between files.
    m_port.RedrawWindow();
    LookAtMessages(false);
}

void CQuorvelDlg::ReportFailures(int attempted) {
    char line[128];
    std::snprintf(line, sizeof line, text::kFailedSummary, m_nFailed, attempted);
    ShowBox(ListedBox(line, m_failures, m_nFailed));
}

std::string CQuorvelDlg::ListedBox(std::string head, const std::vector<Failure>& listed, int total) {
    head += "\n";
    // Appended piece by piece: "\n" + a string trips GCC 12's -Wrestrict under mingw.
    for (const Failure& one : listed) head.append("\n").append(text::FormatLine(text::kFailedLine, one.path, one.reason));
    if (total > static_cast<int>(listed.size())) {
        char line[128];
        std::snprintf(line, sizeof line, text::kFailedMore, total - static_cast<int>(listed.size()));
        head += "\n";
        head += line;
    }
    return head;
}

}  // namespace quorvel
