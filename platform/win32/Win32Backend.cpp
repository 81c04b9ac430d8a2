#include "platform/win32/Win32Backend.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "base/WinPath.h"
#include "platform/win32/ElideMiddle.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::win32 {

namespace {

// Posted by Wake from the file work's threads: ends a wait in the dialog's message loop.
constexpr UINT kWakeMessage = WM_APP + 1;

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
    m_texts.clear();
    m_painting = false;
}

void Win32List::DeleteAllItems() {
    m_ctl.DeleteAllItems();
    m_texts.clear();
}

void Win32List::DeleteItem(int nItem) {
    if (!Valid(nItem) || !m_ctl.DeleteItem(nItem)) return;
    m_texts.erase(m_texts.begin() + nItem);
}

int Win32List::InsertItem(int nItem, const std::string& text) {
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = nItem;
    item.pszText = LPSTR_TEXTCALLBACKW;
    item.lParam = 0;
    const int at = m_ctl.InsertItem(item);
    if (at < 0) return at;
    m_texts.insert(m_texts.begin() + at, std::vector<std::string>{text});
    return at;
}

void Win32List::SetItemText(int nItem, int nSubItem, const std::string& text) {
    if (!Valid(nItem) || nSubItem < 0) return;
    std::vector<std::string>& row = m_texts[nItem];
    if (row.size() <= static_cast<std::size_t>(nSubItem)) row.resize(nSubItem + 1);
    row[nSubItem] = text;
    // Marks the cell as a callback cell, which also repaints it.
    LVITEMW sub{};
    sub.iSubItem = nSubItem;
    sub.pszText = LPSTR_TEXTCALLBACKW;
    m_ctl.SetItemText(nItem, sub);
}

std::string Win32List::GetItemText(int nItem, int nSubItem) const {
    if (!Valid(nItem) || nSubItem < 0) return {};
    const std::vector<std::string>& row = m_texts[nItem];
    return static_cast<std::size_t>(nSubItem) < row.size() ? row[nSubItem] : std::string();
}

void Win32List::SetItemData(int nItem, std::intptr_t data) {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    item.lParam = data;
    m_ctl.SetItem(item);
}

std::intptr_t Win32List::GetItemData(int nItem) const {
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    return m_ctl.GetItem(item) ? item.lParam : 0;
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
    const HDC dc = ::GetDC(Handle());
    const HGDIOBJ font = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(Handle(), WM_GETFONT, 0, 0)));
    std::vector<int> ends(path.size());
    SIZE size{}, dots{};
    const bool measured = ::GetTextExtentExPointW(dc, path.c_str(), static_cast<int>(path.size()), 0, nullptr,
                                                  ends.data(), &size) &&
                          ::GetTextExtentPoint32W(dc, L"...", 3, &dots);
    ::SelectObject(dc, font);
    ::ReleaseDC(Handle(), dc);
    return measured ? ElideMiddle(path, ends, dots.cx, width) : path;
}

LRESULT Win32List::OnCustomDraw(const NMCUSTOMDRAW& draw) {
    // The control asks for its rows' texts between these two stages only to paint them.
    if (draw.dwDrawStage == CDDS_PREPAINT) {
        m_painting = true;
        return CDRF_NOTIFYPOSTPAINT;
    }
    if (draw.dwDrawStage == CDDS_POSTPAINT) m_painting = false;
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
    for (int row = m_ctl.GetNextItem(-1, LVNI_SELECTED); row != -1; row = m_ctl.GetNextItem(row, LVNI_SELECTED)) {
        if (!text.empty()) text += L"\r\n";
        text += Widen(GetItemText(row, 0)) + L'\t' + Widen(GetItemText(row, 1));
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

// ---- MainDialog ----

int MainDialog::Run(IDialogHandler& handler) {
    IDialogHandler* const outer = std::exchange(m_handler, &handler);
    const INT_PTR result = DoModal(m_instance, IDD_MAIN, nullptr);
    m_handler = outer;
    m_waitDepth = 0;
    return static_cast<int>(result);
}

bool MainDialog::OnInitDialog() {
    m_list.Attach(Item(IDC_FILE_LIST));
    m_progress.Attach(Item(IDC_PROGRESS));
    // Rows show their whole text in a tip: paths are cut to their column.
    ListView_SetExtendedListViewStyleEx(Item(IDC_FILE_LIST), LVS_EX_INFOTIP, LVS_EX_INFOTIP);
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
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(m_handler->OnQueryDragIcon());
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
    ::MessageBoxW(Handle(), Widen(text).c_str(), Caption().c_str(), MB_OK);
}

std::optional<std::string> MainDialog::BrowseForFolder(const std::string& title) {
    if (folderPickerForTest) return folderPickerForTest(title);

    // The shell's folder picker wants COM on this thread; balanced below.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring wideTitle = Widen(title);
    wchar_t displayName[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = Handle();
    info.pidlRoot = nullptr;  // the desktop: the whole namespace
    info.pszDisplayName = displayName;
    info.lpszTitle = wideTitle.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS;

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
    if (SUCCEEDED(com)) ::CoUninitialize();
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
    else if (chosen == kCopyPath) CopyToClipboard(Widen(path));
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
    ::InvalidateRect(Handle(), nullptr, TRUE);
    ::UpdateWindow(Handle());
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
        // Escape cancels, which stops the pass after the file in hand; Enter clicks the
        // focused push button, or else "Fix files", which the pass keeps disabled.
        if (msg.message == WM_KEYDOWN && (msg.wParam == VK_ESCAPE || msg.wParam == VK_RETURN) &&
            (msg.hwnd == Handle() || ::IsChild(Handle(), msg.hwnd))) {
            ::SendMessageW(Handle(), WM_COMMAND, MAKEWPARAM(msg.wParam == VK_ESCAPE ? IDCANCEL : IDOK, BN_CLICKED), 0);
            continue;
        }
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

void MainDialog::RunAboutBox() {
    Dialog about;
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
