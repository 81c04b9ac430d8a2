// The folder search: walks a folder tree depth-first, pre-order, in the platform's
// enumeration order, and appends a row for every .olv file it meets.

#include <algorithm>

#include "scan/PathMatch.h"
#include "ui/QuorvelDlg.h"

namespace quorvel {

void CQuorvelDlg::SearchFolder(const std::string& folder) {
    m_port.BeginWaitCursor();
    // A folder that cannot be read yields no rows; the walk goes on with its parent.
    if (std::unique_ptr<IFolderEnum> folderEnum = m_port.FileSystem().OpenFolder(folder)) {
        const FolderIdentity id = folderEnum->Identity();
        // A link back into one of the folders being walked would never end: skip it.
        if (std::find(m_folderChain.begin(), m_folderChain.end(), id) == m_folderChain.end()) {
            m_folderChain.push_back(id);
            SearchFolderEntries(*folderEnum, folder);
            m_folderChain.pop_back();
        }
    }
    m_port.EndWaitCursor();
}

void CQuorvelDlg::SearchFolderEntries(IFolderEnum& folderEnum, const std::string& folder) {
    FolderEntry entry;
    std::string path;
    while (folderEnum.Next(entry)) {
        if (IsDots(entry.name)) continue;
        path.assign(folder).append(1, kPathSep).append(entry.name);
        if (entry.isFolder)
            SearchFolder(path);
        else if (IsOlvPath(path))
            AddFoundFile(path);
    }
}

void CQuorvelDlg::AddFoundFile(const std::string& path) {
    if (m_bClearOnFirstHit) {
        m_listFiles.DeleteAllItems();
        m_bClearOnFirstHit = 0;
    }
    const int row = m_listFiles.InsertItem(m_listFiles.GetItemCount(), path);
    m_listFiles.EnsureVisible(row);
    m_listFiles.UpdateWindow();
}

}  // namespace quorvel
