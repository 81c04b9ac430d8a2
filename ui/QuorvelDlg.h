// CQuorvelDlg: the main dialog's state and handlers, free of any toolkit. A backend creates
// the window and forwards each event to one of the handlers; everything the dialog shows
// goes through the IDialogPort it was built with.
//
// The handlers live by task: window set-up and Browse in ui/, the folder search and version
// analysis in scan/, the fix pass in repair/.
#pragma once

#include <string>
#include <vector>

#include "ui/Port.h"

namespace quorvel {

// The version that is counted by the analysis and rewritten by the fix pass.
inline constexpr int kTargetVersion = 4;

// Separator of path components on this platform.
#ifdef _WIN32
inline constexpr char kPathSep = '\\';
#else
inline constexpr char kPathSep = '/';
#endif

class CQuorvelDlg : public IDialogHandler {
public:
    explicit CQuorvelDlg(IDialogPort& port);

    // Window set-up: columns, icons, window-menu About entry, buttons, progress 0 of 100.
    bool OnInitDialog() override;
    // Browse: pick a root folder, search it, analyse the files, report, arm "Fix files".
    void OnBnClickedBrowse() override;
    // Fix files: rewrite every version-4 file of the list, one outcome per row.
    void OnBnClickedFixFiles() override;
    // "Close"/Escape: ends the run, or during a fix pass stops it after the file in hand.
    void OnCancel() override;
    // Window-menu commands: the About entry opens the About box, the rest is default.
    void OnSysCommand(unsigned nID, std::intptr_t lParam) override;
    // Paints the icon centred while minimised, otherwise the default painting.
    void OnPaint() override;
    // The icon shown while the minimised window is dragged.
    IconHandle OnQueryDragIcon() override;

    // Range 0..n, position 0.
    void ResetProgress(int n);
    // Appends a row for every .olv file beneath `folder`, depth-first in enumeration order.
    void SearchFolder(const std::string& folder);
    // Probes every row's file; writes its version into the row; returns how many are version 4.
    int AnalyzeFiles();
    // Probes one file and writes its version into row `nRow`; returns the version.
    int AnalyzeFile(const std::string& path, int nRow);
    // Rewrites one version-4 file and marks its row; true when the file was saved.
    bool ResaveFile(int nRow, const std::string& path);

    // State, readable by tests and backends.
    const std::string& RootDir() const { return m_strRootDir; }
    int Version4Count() const { return m_nVersion4Count; }
    bool IsFixPassRunning() const { return m_bFixPassRunning; }

private:
    IDialogPort& m_port;
    IconHandle m_hIcon;
    std::string m_strRootDir;
    int m_nVersion4Count = 0;
    int m_bClearOnFirstHit = 0;
    IListView& m_listFiles;
    IProgressBar& m_progress;

    // Identities of the folders the search is inside, outermost first: a folder link that
    // leads back to one of them is not entered again.
    std::vector<FolderIdentity> m_folderChain;
    bool m_bFixPassRunning = false;
    bool m_bCloseRequested = false;

    void SearchFolderEntries(IFolderEnum& folderEnum, const std::string& folder);
    void AddFoundFile(const std::string& path);
};

}  // namespace quorvel
