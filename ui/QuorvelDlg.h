// CQuorvelDlg: the main dialog's state and handlers, free of any toolkit. A backend creates
// the window and forwards each event to one of the handlers; everything the dialog shows
// goes through the IDialogPort it was built with.
//
// The file work (folder search, version probe, rewrites) runs on worker threads of the scan/
// and repair/ modules. The dialog's own thread never waits on a file: while results are due it
// waits in the port's message loop, so the window repaints and takes input throughout, and it
// puts every result into the list itself, in the list's order.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "repair/ResavePass.h"
#include "scan/FolderReach.h"
#include "scan/FolderWalk.h"
#include "scan/VersionProbe.h"
#include "ui/Port.h"

namespace quorvel {

// How the dialog's file work runs; tests and benchmarks replace parts of it.
struct FileWork {
    scan::WalkSettings walk;
    scan::ProbeSettings probe;
    int resaveJobs = kDefaultResaveJobs;
    std::uint64_t resaveBytes = 0;  // bytes of files in flight, at most; 0: DefaultResaveBytes()
    scan::VersionProbe::ProbeFn probeFile = scan::ProbeVersion;
    ResavePass::ResaveFn resaveFile = ResaveAsTargetVersion;
};

class CQuorvelDlg : public IDialogHandler {
public:
    explicit CQuorvelDlg(IDialogPort& port);
    ~CQuorvelDlg() override;

    // Window set-up: columns, icons, window-menu About entry, buttons, progress 0 of 100.
    bool OnInitDialog() override;
    // Browse: pick a root folder, search it, analyse the files, report, arm "Fix files".
    void OnBnClickedBrowse() override;
    // Browse of `folder` without the picker; ignored during work or for an empty path.
    void BrowseFolder(const std::string& folder);
    // The folder to Browse once the window shows (the program was started on a folder).
    void SetStartFolder(std::string folder) { m_strStartFolder = std::move(folder); }
    // Starts the Browse of the start folder, if one was given.
    void OnWindowShown() override;
    // Writes every row, in the list's order, to a file the user chooses (see ui/RowText.h),
    // off the window's thread; a box says so when that fails. Ignored during work.
    void OnSaveListAs() override;
    // Fix files: rewrite every version-4 file of the list, one outcome per row.
    void OnBnClickedFixFiles() override;
    // "Close"/Escape: ends the run; during a Browse or a fix pass it stops the work first (a
    // pass finishes the files in flight) and the window closes when that is done.
    void OnCancel() override;
    // Window-menu commands: the About entry opens the About box, the rest is default.
    void OnSysCommand(unsigned nID, std::intptr_t lParam) override;
    // Paints the icon centred while minimised, otherwise the default painting.
    void OnPaint() override;
    // The icon shown while the minimised window is dragged.
    IconHandle OnQueryDragIcon() override;

    // Range 0..n, position 0.
    void ResetProgress(int n);
    // Appends a row for every .olv file beneath `folder`, depth-first in enumeration order, and
    // returns when the search is done or a close was asked for. Folders that could not be read
    // or were not entered are kept for the summary.
    void SearchFolder(const std::string& folder);
    // Probes every row's file; writes its version into the row; returns how many are version 4.
    int AnalyzeFiles();
    // Writes the version of `path`'s file into row `nRow` and returns it; -1, with the row left
    // as it was, when a close was asked for first. Rows asked for in order are probed ahead.
    int AnalyzeFile(const std::string& path, int nRow);
    // Hands row `nRow`'s file to the fix pass under way, which marks the row as being worked on
    // once its file starts; a row the search listed is reached through the folders the search
    // recorded for it.
    void ResaveFile(int nRow, const std::string& path);

    // Replaces how the file work runs (threads, windows, the probe and the rewrite themselves).
    void SetFileWork(FileWork work) { m_work = std::move(work); }

    // State, readable by tests and backends.
    const std::string& RootDir() const { return m_strRootDir; }
    int Version4Count() const { return m_nVersion4Count; }
    bool IsFixPassRunning() const { return m_bFixPassRunning; }
    bool IsBrowsing() const { return m_bBrowsing; }
    bool IsSavingList() const { return m_bSavingList; }
    // The longest the handlers went without looking at window messages, in the last run of work.
    std::chrono::steady_clock::duration LongestWithoutMessages() const { return m_longestGap; }

private:
    struct Failure {
        std::string path;
        std::string reason;
    };
    // Where a row's file was found: the search (an index into m_walkRecords) and its folder.
    struct RowOrigin {
        std::uint32_t walk = 0;
        std::uint32_t folder = scan::kNoFolder;
    };

    void SearchAndAnalyze();
    void AddFoundFile(const scan::FoundFile& file);
    void ClearRows();
    void NoteSkipped(scan::SkippedFolder folder);
    // The summary's lines on the folders not searched; empty when there were none.
    std::string SkippedText() const;
    void StartProbe(int nRow);
    void FeedProbe();
    void ShowResaveOutcome(int nRow, const ResaveResult& result);
    void ReportFailures(int attempted);
    // `head`, a blank line, a line for each of `listed` and, when `total` is more, how many more.
    static std::string ListedBox(std::string head, const std::vector<Failure>& listed, int total);
    int NextTargetRow(int nRow) const;
    // Looks at window messages when the last look is long enough ago, so the window stays
    // live while results come in faster than the handlers can wait for them.
    void PumpIfDue();
    // Dispatches pending window messages (with `wait`, waits for one or for a Wake first) and
    // notes how long the handlers went without looking.
    void LookAtMessages(bool wait);
    // Starts measuring the longest time without a look, for a new run of work.
    void StartWork();
    // Whether a close was asked for, once the messages that came in meanwhile and a press still
    // under way have been handled: asked before a box that a close must not lead to.
    bool ClosedMeanwhile();
    // Counts the time since the last look, at the end of a run of work (its last waits too).
    void EndWork();
    // Shows a message box; its modal loop counts as looking at messages.
    void ShowBox(const std::string& text);
    std::function<void()> Waker();

    IDialogPort& m_port;
    IconHandle m_hIcon;
    std::string m_strRootDir;
    int m_nVersion4Count = 0;
    int m_bClearOnFirstHit = 0;
    IListView& m_listFiles;
    IProgressBar& m_progress;

    FileWork m_work;

    // The folders each search of the current list recorded, and where each row's file was
    // found, by row (rows are only ever appended by a search, or all removed).
    std::vector<std::shared_ptr<const scan::FolderRecords>> m_walkRecords;
    std::vector<RowOrigin> m_rowOrigins;
    // Folders the current list's searches could not read or did not enter: the first few with
    // their reasons, and how many in all.
    std::vector<Failure> m_skipped;
    int m_nSkipped = 0;
    bool m_bBrowsing = false;
    bool m_bFixPassRunning = false;
    bool m_bCloseRequested = false;
    bool m_bSavingList = false;
    std::string m_strStartFolder;

    // The probe runs ahead of the analysis: rows m_nProbeNext.. are handed in, oldest first;
    // m_nProbeSubmit is the next row to hand in.
    std::unique_ptr<scan::VersionProbe> m_probe;
    int m_nProbeNext = 0;
    int m_nProbeSubmit = 0;

    // The fix pass under way and the rows it works on, oldest first.
    std::unique_ptr<ResavePass> m_pass;
    std::vector<std::shared_ptr<scan::FolderReach>> m_reaches;  // by search, during a pass
    std::deque<int> m_passRows;  // handed in, oldest outcome not taken first
    std::size_t m_nPassBase = 0;  // the pass's number of m_passRows.front()
    std::vector<Failure> m_failures;
    int m_nFailed = 0;

    std::chrono::steady_clock::time_point m_lastMessages;
    std::chrono::steady_clock::duration m_longestGap{};
};

}  // namespace quorvel
