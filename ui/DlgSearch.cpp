// Browse's file work: the folder search and the version analysis, run by the scan module on
// worker threads and written into the list here, row by row in the list's order.

#include <string>
#include <vector>

#include <cstdio>

#include "base/Path.h"
#include "filelib/WekFile.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"

namespace quorvel {

namespace {
// Folders not searched that the summary names one by one; the rest are counted.
constexpr std::size_t kSkippedListed = 10;
}  // namespace

void CQuorvelDlg::SearchFolder(const std::string& folder) {
    m_port.BeginWaitCursor();
    // With the placeholder up, the rows are a fresh list: they can be probed while the search
    // goes on. Rows appended to an older list are probed when the analysis asks for them.
    const bool freshList = m_bClearOnFirstHit != 0;
    m_probe.reset();

    {
        scan::FolderWalk walk(m_port.FileSystem(), folder, Waker(), m_work.walk);
        m_walkRecords.push_back(walk.Records());
        std::vector<scan::FoundFile> found;
        std::vector<scan::SkippedFolder> skipped;
        bool more = true;
        while (more && !m_bCloseRequested) {
            more = walk.Take(found, skipped);
            for (scan::SkippedFolder& s : skipped) NoteSkipped(std::move(s));
            skipped.clear();
            for (const scan::FoundFile& file : found) {
                AddFoundFile(file);
                PumpIfDue();
                if (m_bCloseRequested) break;
            }
            if (freshList && !m_bClearOnFirstHit) FeedProbe();
            if (more && found.empty() && !m_bCloseRequested) LookAtMessages(true);
            found.clear();
        }
        if (!more && walk.RootProblem() != FolderProblem::None)
            NoteSkipped({folder.empty() ? std::string(1, kPathSep) : folder, walk.RootProblem()});
        // Leaving the scope stops the walk if it is still going; its threads get a moment to
        // end, and one stuck in a call is left to end on its own.
    }
    m_port.EndWaitCursor();
}

void CQuorvelDlg::ClearRows() {
    m_listFiles.DeleteAllItems();
    m_rowOrigins.clear();
}

void CQuorvelDlg::AddFoundFile(const scan::FoundFile& file) {
    if (m_bClearOnFirstHit) {
        ClearRows();
        m_bClearOnFirstHit = 0;
    }
    const int row = m_listFiles.InsertItem(m_listFiles.GetItemCount(), file.path);
    // Rows of an older list that a test or backend added by hand have no origin.
    m_rowOrigins.resize(static_cast<std::size_t>(row));
    m_rowOrigins.push_back({static_cast<std::uint32_t>(m_walkRecords.size() - 1), file.folder});
    m_listFiles.EnsureVisible(row);
    m_listFiles.UpdateWindow();
}

void CQuorvelDlg::NoteSkipped(scan::SkippedFolder folder) {
    ++m_nSkipped;
    if (m_skipped.size() < kSkippedListed)
        m_skipped.push_back({std::move(folder.path), FolderProblemText(folder.problem)});
}

std::string CQuorvelDlg::SkippedText() const {
    if (m_nSkipped == 0) return {};
    if (m_nSkipped == 1) return ListedBox(text::kSkippedOne, m_skipped, m_nSkipped);
    char line[128];
    std::snprintf(line, sizeof line, text::kSkippedSeveral, m_nSkipped);
    return ListedBox(line, m_skipped, m_nSkipped);
}

int CQuorvelDlg::AnalyzeFiles() {
    m_port.BeginWaitCursor();
    int count = 0;
    for (int row = m_listFiles.GetNextItem(-1); row != -1; row = m_listFiles.GetNextItem(row)) {
        // The position reaches rows - 1 during the pass; the caller resets it afterwards.
        m_progress.SetPos(row);
        const std::string path = m_listFiles.GetItemText(row, 0);
        const int version = AnalyzeFile(path, row);
        if (m_bCloseRequested) break;
        if (version == kTargetVersion) ++count;
    }
    // Closed meanwhile: probes under way get a moment to end; one stuck is left to end alone.
    m_probe.reset();
    m_port.EndWaitCursor();
    return count;
}

int CQuorvelDlg::AnalyzeFile(const std::string& path, int nRow) {
    // Rows asked for in order, with their own paths, find their versions probed ahead (the
    // probe was handed the rows' texts); anything else starts afresh at this row.
    if (!m_probe || nRow != m_nProbeNext || path != m_listFiles.GetItemText(nRow, 0)) {
        StartProbe(nRow);
        m_probe->Submit(path);
        m_nProbeSubmit = nRow + 1;
    }
    FeedProbe();
    std::optional<int> version;
    while (!(version = m_probe->TryTake())) {
        if (m_bCloseRequested) return -1;
        LookAtMessages(true);
    }
    ++m_nProbeNext;

    // -1 (unreadable) and 0 (not an .olv file) are shown and stored like any version.
    m_listFiles.SetItemText(nRow, 1, std::to_string(*version));
    m_listFiles.SetItemData(nRow, *version);
    m_listFiles.EnsureVisible(nRow);
    m_listFiles.UpdateWindow();
    PumpIfDue();
    return *version;
}

void CQuorvelDlg::StartProbe(int nRow) {
    m_probe.reset();
    m_probe = std::make_unique<scan::VersionProbe>(Waker(), m_work.probe, m_work.probeFile);
    m_nProbeNext = nRow;
    m_nProbeSubmit = nRow;
}

void CQuorvelDlg::FeedProbe() {
    if (!m_probe) StartProbe(0);
    const int rows = m_listFiles.GetItemCount();
    while (m_nProbeSubmit < rows && m_probe->HasRoom()) m_probe->Submit(m_listFiles.GetItemText(m_nProbeSubmit++, 0));
}

}  // namespace quorvel
