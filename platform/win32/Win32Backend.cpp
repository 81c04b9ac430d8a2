#include "platform/win32/Win32Backend.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "base/WinPath.h"
#include "platform/win32/ElideMiddle.h"
#include "ui/RowText.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::win32 {

namespace {

// Posted by Wake from the file work's threads: ends a wait in the dialog's message loop.
constexpr UINT kWakeMessage = WM_APP + 1;
// The timer that ends a frame of the paint pacer, and the message that asks for a paint at the
// loop's next look.
constexpr UINT_PTR kPaintTimer = 1;
constexpr UINT kPaintMessage = WM_APP + 2;

// The paint context of a minimised window; EndPaint when destroyed.
class PaintContext : public IPaintContext {
public:
    PaintContext(HWND hwnd, HICON icon) : m_hwnd(hwnd), m_icon(icon) { ::BeginPaint(hwnd, &m_ps); }
    ~PaintContext() override { ::EndPaint(m_hwnd, &m_ps); }
    PaintContext(const PaintContext&) = delete;
    PaintContext& operator=(const PaintContext&) = delete;
    void EraseIconBackground() override {
        ::SendMessageW(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(m_ps.hdc), 0);
    }
    void DrawIcon(int x, int y) override { ::DrawIcon(m_ps.hdc, x, y, m_icon); }

private:
    HWND m_hwnd;
    HICON m_icon;
    PAINTSTRUCT m_ps{};
};

std::wstring Caption() { return Widen(text::kAppName); }

// Copies `text` into a buffer of `size` characters, cut to fit, always terminated.
void CopyCut(const std::wstring& text, wchar_t* buffer, int size) {
    if (!buffer || size <= 0) return;
    const std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(size) - 1);
    text.copy(buffer, n);
    buffer[n] = L'\0';
}

// Pixels the list view keeps free on both sides of a cell's text.
constexpr int kCellTextMargin = 16;

// The row menu's commands.
enum RowCommand : UINT { kOpenFolder = 1, kCopyPath, kSaveList };

}  // namespace

// ---- Win32List ----

void Win32List::Attach(HWND hwnd) {
    m_ctl.Attach(hwnd);
    m_rows.Clear();
    m_shown = 0;
    m_showRow = m_touchedFirst = m_touchedLast = -1;
    m_painting = false;
    m_paintDc = nullptr;
}

void Win32List::DeleteAllItems() {
    // At once: the control drops its selection and scroll position with its rows.
    m_ctl.DeleteAllItems();
    m_rows.Clear();
    m_shown = 0;
    m_showRow = m_touchedFirst = m_touchedLast = -1;
    m_pacer.Request();
}

void Win32List::DeleteItem(int nItem) {
    if (!m_rows.Erase(nItem)) return;
    // Rows the control knows of go at once, so that its selection moves with them.
    if (nItem < m_shown && m_ctl.DeleteItem(nItem)) --m_shown;
    m_shown = std::min(m_shown, m_rows.Count());
    if (m_showRow >= m_rows.Count()) m_showRow = -1;
    m_pacer.Request();
}

int Win32List::InsertItem(int nItem, const std::string& text) {
    const int at = m_rows.Insert(nItem, text);
    // Rows are appended as they are found; one put before rows the control shows moves them
    // all, so the control learns of it at once and repaints.
    if (at < m_shown) {
        m_shown = m_rows.Count();
        ListView_SetItemCountEx(Handle(), m_shown, 0);
        ::InvalidateRect(Handle(), nullptr, FALSE);
    }
    m_pacer.Request();
    return at;
}

void Win32List::SetItemText(int nItem, int nSubItem, const std::string& text) {
    if (!Valid(nItem) || nSubItem < 0) return;
    m_rows.SetText(nItem, nSubItem, text);
    Touch(nItem);
}

std::string Win32List::GetItemText(int nItem, int nSubItem) const {
    return std::string(m_rows.Text(nItem, nSubItem));
}

void Win32List::EnsureVisible(int nItem) {
    if (!Valid(nItem)) return;
    m_showRow = nItem;
    m_pacer.Request();
}

void Win32List::Touch(int nItem) {
    if (nItem >= m_shown) return;  // painted anyway when the control learns of it
    m_touchedFirst = m_touchedFirst < 0 ? nItem : std::min(m_touchedFirst, nItem);
    m_touchedLast = std::max(m_touchedLast, nItem);
    m_pacer.Request();
}

void Win32List::ApplyPending() {
    if (m_shown != m_rows.Count()) {
        // Only the new rows' area is invalidated, and the view stays where it is.
        m_shown = m_rows.Count();
        ListView_SetItemCountEx(Handle(), m_shown, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    }
    // Every call that invalidates or scrolls is a request to the window system (a server
    // round trip under Wine, slow while the file work keeps the server busy): a frame makes few.
    if (m_showRow >= 0) {
        m_ctl.EnsureVisible(m_showRow, false);
        m_showRow = -1;
    }
    if (m_touchedFirst >= 0) {
        // Rows out of view need nothing; those in view are invalidated as one band (the
        // control's own LVM_REDRAWITEMS asks row by row).
        const int top = ListView_GetTopIndex(Handle());
        const int first = std::max(m_touchedFirst, top);
        const int last = std::min({m_touchedLast, top + ListView_GetCountPerPage(Handle()), m_shown - 1});
        if (first <= last) {
            RECT band = m_ctl.GetItemRect(first);
            band.bottom = m_ctl.GetItemRect(last).bottom;
            RECT client{};
            ::GetClientRect(Handle(), &client);
            band.left = client.left, band.right = client.right;
            ::InvalidateRect(Handle(), &band, FALSE);
        }
    }
    m_touchedFirst = m_touchedLast = -1;
}

void Win32List::InsertColumn(int nCol, const std::string& heading, int nWidth) {
    std::wstring text = Widen(heading);
    LVCOLUMNW col{};
    col.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.fmt = LVCFMT_LEFT;
    col.cx = nWidth;
    col.pszText = text.data();
    col.iSubItem = nCol;
    m_ctl.InsertColumn(nCol, col);
}

int Win32List::GetClientWidth() const {
    RECT rc{};
    ::GetClientRect(m_ctl.Handle(), &rc);
    return rc.right - rc.left;
}

void Win32List::OnGetDispInfo(NMLVDISPINFOW& info) const {
    if (!(info.item.mask & LVIF_TEXT) || !info.item.pszText || info.item.cchTextMax <= 0) return;
    std::wstring text = Widen(GetItemText(info.item.iItem, info.item.iSubItem));
    if (m_painting && info.item.iSubItem == 0) text = ShownPath(text);
    // Longer texts are cut to the control's buffer, which is only what it shows.
    CopyCut(text, info.item.pszText, info.item.cchTextMax);
}

std::wstring Win32List::ShownPath(const std::wstring& path) const {
    const int width = m_ctl.GetColumnWidth(0) - kCellTextMargin;
    if (path.empty() || width <= 0) return path;
    // Measured in the control's own paint context when it paints, which holds its font.
    const HDC dc = m_paintDc ? m_paintDc : ::GetDC(Handle());
    const HGDIOBJ font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(Handle(), WM_GETFONT, 0, 0)));
    std::vector<int> ends(path.size());
    SIZE size{}, dots{};
    const bool measured = ::GetTextExtentExPointW(dc, path.c_str(), static_cast<int>(path.size()), 0, nullptr,
                                                  ends.data(), &size) &&
                          ::GetTextExtentPoint32W(dc, L"...", 3, &dots);
    ::SelectObject(dc, font);
    if (dc != m_paintDc) ::ReleaseDC(Handle(), dc);
    return measured ? ElideMiddle(path, ends, dots.cx, width) : path;
}

LRESULT Win32List::OnCustomDraw(const NMCUSTOMDRAW& draw) {
    // The control asks for its rows' texts between these two stages only to paint them.
    if (draw.dwDrawStage == CDDS_PREPAINT) {
        m_painting = true;
        m_paintDc = draw.hdc;
        return CDRF_NOTIFYPOSTPAINT;
    }
    if (draw.dwDrawStage == CDDS_POSTPAINT) {
        m_painting = false;
        m_paintDc = nullptr;
    }
    return CDRF_DODEFAULT;
}

void Win32List::OnGetInfoTip(NMLVGETINFOTIPW& tip) const {
    if (!Valid(tip.iItem)) return;
    std::wstring text = Widen(GetItemText(tip.iItem, tip.iSubItem));
    if (tip.iSubItem == 0) {
        const std::string version = GetItemText(tip.iItem, 1);
        if (!version.empty()) text += L"\r\n" + Widen(version);
    }
    CopyCut(text, tip.pszText, tip.cchTextMax);
}

bool Win32List::NamesFile(int nItem) const {
    const std::string path = GetItemText(nItem, 0);
    // A drive path "X:\..." or a UNC path "\\server\..."; the search's sentences are neither.
    return (path.size() > 2 && path[1] == ':' && path[2] == '\\') || path.rfind("\\\\", 0) == 0;
}

std::wstring Win32List::SelectedRowsText() const {
    std::wstring text;
    for (int row = m_ctl.GetNextItem(-1, LVNI_SELECTED); Valid(row); row = m_ctl.GetNextItem(row, LVNI_SELECTED)) {
        if (!text.empty()) text += L"\r\n";
        text += Widen(RowLine(*this, row));
    }
    return text;
}

int Win32List::RowAt(POINT screen) const {
    ::ScreenToClient(Handle(), &screen);
    return m_ctl.HitTest(screen);
}

int Win32List::CurrentRow() const {
    const int focused = m_ctl.GetNextItem(-1, LVNI_FOCUSED);
    return focused != -1 ? focused : m_ctl.GetNextItem(-1, LVNI_SELECTED);
}

RECT Win32List::RowRect(int nItem) const {
    RECT rc = m_ctl.GetItemRect(nItem);
    ::MapWindowPoints(Handle(), nullptr, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// ---- Win32Progress ----

void Win32Progress::Attach(HWND hwnd) {
    m_ctl.Attach(hwnd);
    m_rangeChanged = m_posChanged = false;
}

void Win32Progress::SetRange(int nLower, int nUpper) {
    m_lower = nLower, m_upper = nUpper;
    m_pos = std::clamp(m_pos, std::min(nLower, nUpper), std::max(nLower, nUpper));
    m_rangeChanged = true;
    m_pacer.Request();
}

void Win32Progress::SetPos(int nPos) {
    m_pos = nPos;
    m_posChanged = true;
    m_pacer.Request();
}

void Win32Progress::ApplyPending() {
    if (std::exchange(m_rangeChanged, false)) m_ctl.SetRange32(m_lower, m_upper);
    if (std::exchange(m_posChanged, false)) m_ctl.SetPos(m_pos);
}

// ---- MainDialog ----

MainDialog::MainDialog(HINSTANCE instance)
    : m_instance(instance),
      m_pacer([this] { PaintNow(); },
              [this](unsigned ms) {
                  // Without a window (or a timer) nothing would come back: paint now.
                  const bool arranged = Handle() && (ms == 0 ? ::PostMessageW(Handle(), kPaintMessage, 0, 0)
                                                             : ::SetTimer(Handle(), kPaintTimer, ms, nullptr) != 0);
                  if (!arranged) ms == 0 ? m_pacer.OnLook() : m_pacer.OnTimer();
              }),
      m_list(m_pacer),
      m_progress(m_pacer) {}

void MainDialog::PaintNow() {
    if (!Handle()) return;
    m_list.ApplyPending();
    m_progress.ApplyPending();
    // Every change invalidates what it changes: painting what is invalid brings the whole
    // window up to date. Invalidating all of it as well would only paint it again (under Wine
    // that costs tens of milliseconds a time).
    if (std::exchange(m_windowDirty, false)) {
        ::RedrawWindow(Handle(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    } else {
        ::UpdateWindow(m_list.Handle());
        ::UpdateWindow(m_progress.Handle());
    }
}

namespace {
// The dialog whose keys the message filter looks at; one runs at a time on its thread.
thread_local MainDialog* t_filtered = nullptr;
}  // namespace

int MainDialog::Run(IDialogHandler& handler) {
    IDialogHandler* const outer = std::exchange(m_handler, &handler);
    MainDialog* const outerFiltered = std::exchange(t_filtered, this);
    const HHOOK filter = ::SetWindowsHookExW(WH_MSGFILTER, MessageFilter, nullptr, ::GetCurrentThreadId());
    const INT_PTR result = templateForTest ? DoModalIndirect(m_instance, templateForTest, nullptr)
                                           : DoModal(m_instance, IDD_MAIN, nullptr);
    if (filter) ::UnhookWindowsHookEx(filter);
    t_filtered = outerFiltered;
    m_pacer.Cancel();
    m_handler = outer;
    m_waitDepth = 0;
    return static_cast<int>(result);
}

LRESULT CALLBACK MainDialog::MessageFilter(int code, WPARAM wParam, LPARAM lParam) {
    // The dialog manager shows each message of its loop here before it handles it.
    if (code == MSGF_DIALOGBOX && t_filtered && t_filtered->HandleDialogKey(*reinterpret_cast<MSG*>(lParam), false))
        return TRUE;
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

bool MainDialog::HandleDialogKey(const MSG& msg, bool allKeys) {
    // Keys for this window or its controls; with no focus they come to the window as system keys.
    const bool key = msg.message == WM_KEYDOWN || (msg.message == WM_SYSKEYDOWN && !(HIWORD(msg.lParam) & KF_ALTDOWN));
    if (!key || !Handle() || (msg.hwnd != Handle() && !::IsChild(Handle(), msg.hwnd))) return false;
    switch (msg.wParam) {
    case VK_F1:
        // Posted, so that the box opens from the window's own loop, not from inside the filter.
        ::PostMessageW(Handle(), WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        return true;
    case VK_ESCAPE:
    case VK_RETURN:
        if (!allKeys) return false;
        // Escape cancels, which stops a Browse, or a pass after the files in hand; Enter clicks
        // the focused push button, or else "Fix files", which work in progress keeps disabled.
        ::SendMessageW(Handle(), WM_COMMAND, MAKEWPARAM(msg.wParam == VK_ESCAPE ? IDCANCEL : IDOK, BN_CLICKED), 0);
        return true;
    default:
        return false;
    }
}

void MainDialog::EnableDlgItem(int nId, bool bEnable) {
    const HWND item = Item(nId);
    if (!bEnable && item && ::GetFocus() == item && m_list.Handle())
        ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_list.Handle()), TRUE);
    ::EnableWindow(item, bEnable);
}

void MainDialog::GotoDlgItem(int nId) {
    if (const HWND item = Item(nId)) ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
}

bool MainDialog::OnInitDialog() {
    m_list.Attach(Item(IDC_FILE_LIST));
    m_progress.Attach(Item(IDC_PROGRESS));
    // Rows show their whole text in a tip: paths are cut to their column.
    ListView_SetExtendedListViewStyleEx(Item(IDC_FILE_LIST), LVS_EX_INFOTIP, LVS_EX_INFOTIP);
    // Before the columns are laid out over the list's width.
    FitStaticTexts();
    if (!m_handler->OnInitDialog()) return false;
    // The dialog manager would focus the first enabled tab stop, which is "Close" while
    // "Fix files" is disabled, and Enter would then close the window. Step 1 is "Browse".
    ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_BROWSE)), TRUE);
    return false;
}

bool MainDialog::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return false;
    // The dialog manager sends Enter to the focused push button only when the button looks
    // like the default one, which the dialog manager's own focus moves (Tab, WM_NEXTDLGCTL)
    // arrange; otherwise Enter comes as the default button's id. Enter on any focused push
    // button clicks that button.
    const HWND focus = ::GetFocus();
    const bool focusIsButton = focus && ::GetParent(focus) == Handle() &&
                               (::SendMessageW(focus, WM_GETDLGCODE, 0, 0) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON));
    if (id == IDOK && focusIsButton) id = ::GetDlgCtrlID(focus);
    switch (id) {
    case IDC_BROWSE:
        m_handler->OnBnClickedBrowse();
        break;
    case IDOK:  // also Enter on the default button: never the base dialog's OK, which would close
        m_handler->OnBnClickedFixFiles();
        break;
    case IDCANCEL:  // "Close", Escape and the window's close command
        m_handler->OnCancel();
        return true;
    default:
        return false;
    }
    // A button clicked with the mouse took the focus by itself: let the dialog manager make it
    // the default-looking button, as a Tab to it would, so that Enter clicks it again.
    if (Handle() && focusIsButton && ::GetFocus() == focus && ::IsWindowEnabled(focus))
        ::SendMessageW(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    return true;
}

template <class Call>
INT_PTR MainDialog::RouteWithDefault(Call call) {
    const bool outer = std::exchange(m_defaultRequested, false);
    call();
    return std::exchange(m_defaultRequested, outer) ? FALSE : TRUE;
}

INT_PTR MainDialog::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SYSCOMMAND:
        return RouteWithDefault([&] { m_handler->OnSysCommand(static_cast<unsigned>(wParam), lParam); });
    case WM_PAINT:
        return RouteWithDefault([&] { m_handler->OnPaint(); });
    case WM_HELP:
        // Help asked for in the window, as F1 does: the About box, as on Linux.
        return RouteWithDefault([&] { m_handler->OnSysCommand(IDM_ABOUTBOX, 0); });
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(m_handler->OnQueryDragIcon());
    case WM_TIMER:
        if (wParam != kPaintTimer) return FALSE;
        ::KillTimer(Handle(), kPaintTimer);
        m_pacer.OnTimer();
        return TRUE;
    case kPaintMessage:
        m_pacer.OnLook();
        return TRUE;
    case kWakeMessage:
        // Cleared before the waiting handler looks at its work, so a later Wake posts again.
        m_wakePosted.store(false);
        return TRUE;
    case WM_SETCURSOR:
        // Whatever the cursor passes over keeps the wait cursor while work is under way.
        if (m_waitDepth == 0) return FALSE;
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->idFrom != IDC_FILE_LIST) return FALSE;
        switch (header->code) {
        case LVN_GETDISPINFOW:
            m_list.OnGetDispInfo(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
            return TRUE;
        case NM_CUSTOMDRAW:
            ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, m_list.OnCustomDraw(*reinterpret_cast<NMCUSTOMDRAW*>(lParam)));
            return TRUE;
        case LVN_GETINFOTIPW:
            m_list.OnGetInfoTip(*reinterpret_cast<NMLVGETINFOTIPW*>(lParam));
            return TRUE;
        case LVN_ODFINDITEMW:
            // Typing in the list finds nothing: every path starts alike.
            ::SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, -1);
            return TRUE;
        case LVN_KEYDOWN:
            if (reinterpret_cast<NMLVKEYDOWN*>(lParam)->wVKey == 'C' && ::GetKeyState(VK_CONTROL) < 0) {
                const std::wstring rows = m_list.SelectedRowsText();
                if (!rows.empty()) CopyToClipboard(rows);
            }
            return TRUE;
        default:
            return FALSE;
        }
    }
    case WM_CONTEXTMENU: {
        if (reinterpret_cast<HWND>(wParam) != m_list.Handle()) return FALSE;
        // From the keyboard (-1, -1) the menu is for the current row, shown below its start.
        POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        int row = -1;
        if (lParam == -1) {
            row = m_list.CurrentRow();
            if (row != -1) at = POINT{m_list.RowRect(row).left, m_list.RowRect(row).bottom};
        } else {
            row = m_list.RowAt(at);
        }
        if (row != -1) ShowRowMenu(row, at);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void MainDialog::SetDlgItemText(int nId, const std::string& text) {
    ::SetDlgItemTextW(Handle(), nId, Widen(text).c_str());
    // A longer text than the window has room for widens it rather than being cut.
    if (const HWND item = Item(nId)) FitStaticTexts(item);
}

bool MainDialog::AppendSystemMenu(int nCommand, const std::string& text) {
    const HMENU menu = ::GetSystemMenu(Handle(), FALSE);
    if (!menu) return false;
    return ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr) &&
           ::AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(nCommand), Widen(text).c_str());
}

IconHandle MainDialog::LoadAppIcon() {
    // A shared icon: the system owns it, it lives as long as the program.
    if (!m_icon) m_icon = ::LoadIconW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    return reinterpret_cast<IconHandle>(m_icon);
}

void MainDialog::SetIcon(IconHandle hIcon, bool bBig) {
    HANDLE icon = reinterpret_cast<HANDLE>(hIcon);
    // The icon group holds a drawn small image; scaling the big one down would blur it.
    if (!bBig && icon == m_icon)
        icon = ::LoadImageW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                            ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    ::SendMessageW(Handle(), WM_SETICON, bBig ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

std::string MainDialog::LoadString(int nId) {
    // With a zero buffer size LoadStringW hands out the resource's own read-only text.
    const wchar_t* resource = nullptr;
    const int length = ::LoadStringW(m_instance, static_cast<UINT>(nId), reinterpret_cast<LPWSTR>(&resource), 0);
    return length > 0 && resource ? Narrow({resource, static_cast<std::size_t>(length)}) : std::string();
}

void MainDialog::MessageBox(const std::string& text) {
    // The final state of the work that leads to the box shows behind it.
    m_pacer.Flush();
    ::MessageBoxW(Handle(), Widen(text).c_str(), Caption().c_str(), MB_OK);
}

namespace {

// The file dialog family's folder picker (IFileOpenDialog in pick-folders mode): a path box to
// type or paste into, long paths, the usual places. Opens at `start` when that names a folder.
// Nothing when it is missing (before Vista, some emulations) and `shown` stays false; cancel
// gives nothing with `shown` true.
std::optional<std::string> PickWithFileDialog(HWND owner, const std::wstring& title, const std::string& start,
                                              bool& shown) {
    shown = false;
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog))))
        return std::nullopt;
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST | FOS_NOCHANGEDIR);
    dialog->SetTitle(title.c_str());
    if (!start.empty()) {
        IShellItem* folder = nullptr;
        if (SUCCEEDED(::SHCreateItemFromParsingName(ToWin32Path(start).c_str(), nullptr, IID_PPV_ARGS(&folder)))) {
            dialog->SetFolder(folder);
            folder->Release();
        }
    }
    std::optional<std::string> picked;
    const HRESULT result = dialog->Show(owner);
    shown = SUCCEEDED(result) || result == HRESULT_FROM_WIN32(ERROR_CANCELLED);
    IShellItem* item = nullptr;
    if (SUCCEEDED(result) && SUCCEEDED(dialog->GetResult(&item))) {
        PWSTR path = nullptr;
        if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path && *path) picked = FromWin32Path(path);
        ::CoTaskMemFree(path);
        item->Release();
    }
    dialog->Release();
    return picked;
}

// Selects the folder the tree picker should open at once it is up.
int CALLBACK TreePickerStarted(HWND picker, UINT msg, LPARAM, LPARAM start) {
    if (msg == BFFM_INITIALIZED && start) ::SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, start);
    return 0;
}

// The older tree-only picker (SHBrowseForFolderW), where the file dialog's is missing.
std::optional<std::string> PickWithTree(HWND owner, const std::wstring& title, const std::string& start) {
    const std::wstring startPath = Widen(start);
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;  // the desktop: the whole namespace
    info.pszDisplayName = displayName;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = TreePickerStarted;
    info.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(startPath.c_str());
    std::optional<std::string> picked;
    if (PIDLIST_ABSOLUTE pidl = ::SHBrowseForFolderW(&info)) {
        // Long enough for any path the file system can hold.
        std::wstring path(32768, L'\0');
        if (::SHGetPathFromIDListEx(pidl, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT)) {
            path.resize(std::wcslen(path.c_str()));
            if (!path.empty()) picked = Narrow(path);
        }
        // The item list comes from the shell's allocator, the COM task allocator.
        ::CoTaskMemFree(pidl);
    }
    return picked;
}

}  // namespace

std::optional<std::string> MainDialog::BrowseForFolder(const std::string& title) {
    m_pacer.Flush();
    if (folderPickerForTest) return folderPickerForTest(title);

    // The shell's folder pickers want COM on this thread; balanced below.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring wideTitle = Widen(title);
    // Both open at the root chosen last, while it is there.
    const DWORD attributes = m_lastRoot.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(ToWin32Path(m_lastRoot).c_str());
    const bool lastThere = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    const std::string start = lastThere ? m_lastRoot : std::string();
    bool shown = false;
    std::optional<std::string> picked;
    if (!treePickerForTest) picked = PickWithFileDialog(Handle(), wideTitle, start, shown);
    if (!shown) picked = PickWithTree(Handle(), wideTitle, start);
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (picked) m_lastRoot = *picked;
    return picked;
}

bool MainDialog::OpenContainingFolder(const std::string& path) {
    if (folderOpenerForTest) return folderOpenerForTest(path);
    const std::wstring wide = Widen(path);
    // The shell's call wants COM on this thread; balanced below.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    HRESULT shown = E_FAIL;
    if (PIDLIST_ABSOLUTE item = ::ILCreateFromPathW(wide.c_str())) {
        shown = ::SHOpenFolderAndSelectItems(item, 0, nullptr, 0);
        ::ILFree(item);
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (SUCCEEDED(shown)) return true;
    // Explorer's own switch does the same where the shell call is missing.
    const std::wstring select = L"/select,\"" + wide + L"\"";
    return reinterpret_cast<INT_PTR>(
               ::ShellExecuteW(Handle(), nullptr, L"explorer.exe", select.c_str(), nullptr, SW_SHOWNORMAL)) > 32;
}

bool MainDialog::CopyToClipboard(const std::wstring& text) {
    if (!::OpenClipboard(Handle())) return false;
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    bool copied = false;
    if (const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* target = ::GlobalLock(memory)) {
            std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(target));
            ::GlobalUnlock(memory);
            // The clipboard owns the memory once it has taken it.
            copied = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!copied) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return copied;
}

void MainDialog::ShowRowMenu(int nItem, POINT screen) {
    if (!m_list.NamesFile(nItem)) return;
    const HMENU menu = ::CreatePopupMenu();
    ::AppendMenuW(menu, MF_STRING, kOpenFolder, Widen(text::kOpenFolderMenu).c_str());
    ::AppendMenuW(menu, MF_STRING, kCopyPath, Widen(text::kCopyPathMenu).c_str());
    // The whole list, through the dialog logic; not while work runs (Browse is disabled then).
    ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu, MF_STRING | (IsDlgItemEnabled(IDC_BROWSE) ? 0 : MF_GRAYED), kSaveList,
                  Widen(text::kSaveListMenu).c_str());
    const UINT chosen = static_cast<UINT>(::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY,
                                                           screen.x, screen.y, 0, Handle(), nullptr));
    ::DestroyMenu(menu);
    const std::string path = m_list.GetItemText(nItem, 0);
    if (chosen == kOpenFolder) OpenContainingFolder(path);
    else if (chosen == kCopyPath) CopyToClipboard(Widen(QuotedName(path)));
    else if (chosen == kSaveList && m_handler) m_handler->OnSaveListAs();
}

std::optional<std::string> MainDialog::SaveFileDialog(const std::string& title, const std::string& name) {
    if (fileSaverForTest) return fileSaverForTest(title, name);
    // Long enough for any path the file system can hold.
    std::wstring path(32768, L'\0');
    Widen(name).copy(path.data(), path.size() - 1);
    const std::wstring wideTitle = Widen(title);
    OPENFILENAMEW info{};
    info.lStructSize = sizeof info;
    info.hwndOwner = Handle();
    info.lpstrFilter = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    info.lpstrFile = path.data();
    info.nMaxFile = static_cast<DWORD>(path.size());
    info.lpstrTitle = wideTitle.c_str();
    info.lpstrDefExt = L"txt";
    info.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!::GetSaveFileNameW(&info)) return std::nullopt;
    path.resize(std::wcslen(path.c_str()));
    return Narrow(path);
}

void MainDialog::BeginWaitCursor() {
    const HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    if (m_waitDepth++ == 0) m_cursorBeforeWait = previous;
}

void MainDialog::EndWaitCursor() {
    if (m_waitDepth == 0) return;
    if (--m_waitDepth == 0) ::SetCursor(m_cursorBeforeWait ? m_cursorBeforeWait : ::LoadCursorW(nullptr, IDC_ARROW));
}

void MainDialog::RedrawWindow() {
    m_windowDirty = true;
    m_pacer.Request();
}

void MainDialog::PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        // A quit request belongs to the outer loop: put it back and stop.
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        // No dialog-key processing runs here, so Escape and Enter would reach the focused
        // control and be lost: turn them into the commands the dialog manager makes of them.
        if (HandleDialogKey(msg, true)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

void MainDialog::WaitForEvents() {
    // MWMO_INPUTAVAILABLE: messages already seen by an earlier peek also end the wait.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    PumpMessages();
}

void MainDialog::Wake() {
    // Before the window exists, or after it is gone, there is no loop to wake.
    const HWND hwnd = Handle();
    if (hwnd && !m_wakePosted.exchange(true) && !::PostMessageW(hwnd, kWakeMessage, 0, 0))
        m_wakePosted.store(false);
}

namespace {
// The About box: its texts fitted to the font like the main dialog's.
class AboutBox : public Dialog {
protected:
    bool OnInitDialog() override {
        FitStaticTexts();
        return true;
    }
};
}  // namespace

void MainDialog::RunAboutBox() {
    m_pacer.Flush();
    AboutBox about;
    about.DoModal(m_instance, IDD_ABOUTBOX, Handle());
}

std::unique_ptr<IPaintContext> MainDialog::BeginPaint() {
    return std::make_unique<PaintContext>(Handle(), m_icon);
}

int MainDialog::GetClientWidth() const {
    RECT rc{};
    ::GetClientRect(Handle(), &rc);
    return rc.right - rc.left;
}

int MainDialog::GetClientHeight() const {
    RECT rc{};
    ::GetClientRect(Handle(), &rc);
    return rc.bottom - rc.top;
}

// ---- Win32App ----

bool Win32App::InitCommonControls(unsigned dwSize, unsigned dwICC) {
    INITCOMMONCONTROLSEX icc;
    icc.dwSize = dwSize;
    icc.dwICC = dwICC;
    return ::InitCommonControlsEx(&icc) != 0;
}

int Win32App::DoModal(IDialogHandler& handler) {
    const int result = m_dialog.Run(handler);
    if (result == -1) {
        const std::wstring text = L"The main window could not be created (error " +
                                  std::to_wstring(::GetLastError()) + L").";
        ::MessageBoxW(nullptr, text.c_str(), Caption().c_str(), MB_OK | MB_ICONERROR);
    }
    return result;
}

}  // namespace quorvel::win32
