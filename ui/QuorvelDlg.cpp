#include "ui/QuorvelDlg.h"

#include <cstdio>

#include "base/Path.h"
#include "ui/AboutDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {

namespace {
constexpr int kVersionColumnWidth = 80;
}

CQuorvelDlg::CQuorvelDlg(IDialogPort& port)
    : m_port(port),
      m_hIcon(port.LoadAppIcon()),
      m_listFiles(port.List()),
      m_progress(port.Progress()),
      m_lastMessages(std::chrono::steady_clock::now()) {}

CQuorvelDlg::~CQuorvelDlg() = default;

bool CQuorvelDlg::OnInitDialog() {
    if (const std::string about = m_port.LoadString(IDS_ABOUTBOX); !about.empty())
        m_port.AppendSystemMenu(IDM_ABOUTBOX, about);

    m_port.SetIcon(m_hIcon, true);
    m_port.SetIcon(m_hIcon, false);

    // The two columns fill the list exactly when its vertical scroll bar shows.
    const int fileWidth =
        m_listFiles.GetClientWidth() - m_listFiles.GetVScrollWidth() - kVersionColumnWidth;
    m_listFiles.InsertColumn(0, "File", fileWidth);
    m_listFiles.InsertColumn(1, "Version", kVersionColumnWidth);

    m_port.EnableDlgItem(IDOK, false);
    ResetProgress(100);
    return true;
}

void CQuorvelDlg::ResetProgress(int n) {
    m_progress.SetRange(0, n);
    m_progress.SetPos(0);
}

void CQuorvelDlg::OnBnClickedBrowse() {
    // The window takes input while work runs: a Browse then would pull the rows away from it.
    if (m_bFixPassRunning || m_bBrowsing) return;

    // Cancel, and an item without a file-system path, leave everything as it was: searching
    // the previous or an empty root would walk a folder the user did not choose.
    std::optional<std::string> picked = m_port.BrowseForFolder(text::kPickerTitle);
    if (!picked || picked->empty()) return;
    BrowseFolder(*picked);
}

void CQuorvelDlg::BrowseFolder(const std::string& folder) {
    if (m_bFixPassRunning || m_bBrowsing || m_bSavingList || folder.empty()) return;
    m_strRootDir = folder;
    // A drive or file-system root keeps no trailing separator: "D:\" -> "D:", "/" -> "".
    if (!m_strRootDir.empty() && m_strRootDir.back() == kPathSep) m_strRootDir.pop_back();

    m_bBrowsing = true;
    m_bCloseRequested = false;
    StartWork();
    m_port.EnableDlgItem(IDC_BROWSE, false);
    m_port.EnableDlgItem(IDOK, false);

    SearchAndAnalyze();
    EndWork();

    m_bBrowsing = false;
    m_port.EnableDlgItem(IDC_BROWSE, true);
    m_port.EnableDlgItem(IDOK, m_nVersion4Count > 0);
    if (m_bCloseRequested) {
        m_port.EndDialog(IDCANCEL);
        return;
    }
    // The next step takes the focus, so that Enter goes on with it and never lands on Close.
    m_port.GotoDlgItem(m_nVersion4Count > 0 ? IDOK : IDC_BROWSE);
}

void CQuorvelDlg::SearchAndAnalyze() {
    m_port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Searching);

    m_nVersion4Count = 0;
    ClearRows();
    m_walkRecords.clear();
    m_skipped.clear();
    m_nSkipped = 0;
    m_listFiles.InsertItem(0, text::kSearchingRow);
    m_listFiles.UpdateWindow();

    m_bClearOnFirstHit = 1;
    SearchFolder(m_strRootDir);
    // Closed during the search: the window goes without a summary.
    if (m_bCloseRequested) return;

    m_port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Examine);

    // Folders not searched are always told, in the summary or, when nothing was found, in a
    // box of their own: a search that skipped part of the tree must not look complete.
    const std::string skipped = SkippedText();
    if (m_bClearOnFirstHit) {
        m_listFiles.DeleteItem(0);
        m_listFiles.InsertItem(0, text::kNoFilesRow);
        ResetProgress(100);
        if (!skipped.empty() && !ClosedMeanwhile()) ShowBox(skipped);
    } else {
        m_port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Analyzing);
        m_progress.SetRange(0, m_listFiles.GetItemCount());
        const int count = AnalyzeFiles();
        if (ClosedMeanwhile()) return;
        m_nVersion4Count = count;

        std::string summary;
        if (m_nVersion4Count == 0) {
            summary = text::kSummaryNone;
        } else if (m_nVersion4Count == 1) {
            summary = text::kSummaryOne;
        } else {
            char line[128];
            std::snprintf(line, sizeof line, text::kSummarySeveral, m_nVersion4Count);
            summary = line;
        }
        if (!skipped.empty()) summary += "\n\n" + skipped;
        ShowBox(summary);
        ResetProgress(m_nVersion4Count == 0 ? 100 : m_nVersion4Count);
    }

    m_port.SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Examine);
}

void CQuorvelDlg::OnCancel() {
    // Work under way is stopped first (a fix pass finishes the files in flight); the handler
    // that runs it then ends the dialog.
    if (m_bFixPassRunning || m_bBrowsing || m_bSavingList) {
        m_bCloseRequested = true;
        // No file starts after the click: files handed to the pass and not started are dropped now.
        if (m_pass) m_pass->DropWaiting();
        return;
    }
    m_port.EndDialog(IDCANCEL);
}

void CQuorvelDlg::OnSysCommand(unsigned nID, std::intptr_t lParam) {
    if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout(m_port);
        dlgAbout.DoModal();
    } else {
        m_port.DefaultSysCommand(nID, lParam);
    }
}

void CQuorvelDlg::OnPaint() {
    if (!m_port.IsIconic()) {
        m_port.DefaultPaint();
        return;
    }
    std::unique_ptr<IPaintContext> dc = m_port.BeginPaint();
    dc->EraseIconBackground();
    const int cxIcon = m_port.GetIconWidth();
    const int cyIcon = m_port.GetIconHeight();
    // Signed division truncating toward zero centres the icon, rounding half up.
    const int x = (m_port.GetClientWidth() - cxIcon + 1) / 2;
    const int y = (m_port.GetClientHeight() - cyIcon + 1) / 2;
    dc->DrawIcon(x, y);
}

IconHandle CQuorvelDlg::OnQueryDragIcon() { return m_hIcon; }

std::function<void()> CQuorvelDlg::Waker() {
    IDialogPort& port = m_port;
    return [&port] { port.Wake(); };
}

void CQuorvelDlg::StartWork() {
    m_lastMessages = std::chrono::steady_clock::now();
    m_longestGap = {};
}

void CQuorvelDlg::LookAtMessages(bool wait) {
    m_longestGap = std::max(m_longestGap, std::chrono::steady_clock::now() - m_lastMessages);
    if (wait)
        m_port.WaitForEvents();
    else
        m_port.PumpMessages();
    // Time inside the message loop is the window's own, not time it went without looking.
    m_lastMessages = std::chrono::steady_clock::now();
}

bool CQuorvelDlg::ClosedMeanwhile() {
    // Messages that came in with the last results, then a press of Close still under way.
    if (!m_bCloseRequested) {
        LookAtMessages(false);
        m_port.FinishPendingInput();
    }
    return m_bCloseRequested;
}

void CQuorvelDlg::ShowBox(const std::string& text) {
    // A box runs the window's message loop until it is closed: that is time spent looking.
    EndWork();
    m_port.MessageBox(text);
    m_lastMessages = std::chrono::steady_clock::now();
}

void CQuorvelDlg::EndWork() {
    m_longestGap = std::max(m_longestGap, std::chrono::steady_clock::now() - m_lastMessages);
}

void CQuorvelDlg::PumpIfDue() {
    // Well inside the time after which a window that reads no messages looks hung, and short
    // enough that a click is answered without a noticeable delay.
    constexpr auto kInterval = std::chrono::milliseconds(15);
    if (std::chrono::steady_clock::now() - m_lastMessages >= kInterval) LookAtMessages(false);
}

}  // namespace quorvel
