// What people expect of a Windows dialog and its list, on the real dialog: Enter on a focused
// push button, the window centred at start with its boxes over it, long paths cut in the middle
// while painting, info tips, the row menu and Ctrl+C.

#include <map>

#include "platform/win32/ElideMiddle.h"
#include "tests/win32/Support.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;

// Counts the handler calls; Fix files counts only while it is enabled, as the dialog logic
// acts only then. OnCancel ends the run.
struct CountingHandler : IDialogHandler {
    CountingHandler(IDialogPort& p, bool fixEnabled) : port(p), fixOn(fixEnabled) {}
    bool OnInitDialog() override {
        port.EnableDlgItem(IDOK, fixOn);
        if (moveTo) ::SetWindowPos(static_cast<MainDialog&>(port).Handle(), nullptr, moveTo->x, moveTo->y, 0, 0,
                                   SWP_NOSIZE | SWP_NOZORDER);
        return true;
    }
    void OnBnClickedBrowse() override { ++browses; }
    void OnBnClickedFixFiles() override { fixes += port.IsDlgItemEnabled(IDOK); }
    void OnCancel() override {
        ++cancels;
        port.EndDialog(IDCANCEL);
    }
    void OnSysCommand(unsigned nId, std::intptr_t lParam) override { port.DefaultSysCommand(nId, lParam); }
    void OnPaint() override { port.DefaultPaint(); }
    IconHandle OnQueryDragIcon() override { return 0; }

    IDialogPort& port;
    bool fixOn;
    std::optional<POINT> moveTo;
    int browses = 0, fixes = 0, cancels = 0;
};

// How a case puts the focus somewhere before Enter.
using Focus = std::function<void(HWND dlg)>;
Focus Tab(int id) {  // the dialog manager's own focus move, as Tab makes it
    return [=](HWND dlg) { ::SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(dlg, id)), TRUE); };
}
Focus Set(int id) {  // a focus move the dialog manager does not see, as a mouse press makes it
    return [=](HWND dlg) { ::SetFocus(::GetDlgItem(dlg, id)); };
}
Focus ClickOn(int id) {
    return [=](HWND dlg) { Click(::GetDlgItem(dlg, id)); };
}
Focus Then(Focus a, Focus b) {
    return [=](HWND dlg) { a(dlg), b(dlg); };
}
const Focus kAsStarted = [](HWND) {};

struct EnterCase {
    const char* name;
    bool fixEnabled;
    Focus focus;
    bool inPump;  // pressed while a fix pass pumps messages between files
    int browses, fixes, cancels;
};

void PrintTo(const EnterCase& c, std::ostream* os) { *os << c.name; }

class Win32Enter : public testing::TestWithParam<EnterCase> {};

// Enter clicks the focused push button, however it got the focus; elsewhere it clicks Fix
// files when that is enabled and does nothing otherwise; it never closes by itself. The same
// holds in the pump that runs between the files of a fix pass.
TEST_P(Win32Enter, ClicksTheFocusedButtonOrFixFiles) {
    const EnterCase& tc = GetParam();
    DialogDriver driver;
    CountingHandler handler(driver.app.Main(), tc.fixEnabled);
    int before = 0;
    std::vector<DialogDriver::Step> steps{[&](HWND dlg) {
        tc.focus(dlg);
        before = handler.browses;
        PostKey(::GetFocus() ? ::GetFocus() : dlg, VK_RETURN);
        if (tc.inPump) driver.app.Main().PumpMessages();
    }};
    // Unless Enter closed it, the dialog is closed once the modal loop has handled the key.
    if (!tc.cancels) steps.push_back([](HWND dlg) { ::EndDialog(dlg, 99); });
    EXPECT_EQ(driver.Run(steps, &handler), tc.cancels ? IDCANCEL : 99);
    EXPECT_EQ(std::tuple(handler.browses - before, handler.fixes, handler.cancels),
              std::tuple(tc.browses, tc.fixes, tc.cancels));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Win32Enter,
    testing::Values(EnterCase{"AtStartOnBrowse", false, kAsStarted, false, 1, 0, 0},
                    EnterCase{"OnCloseAfterTab", true, Tab(IDCANCEL), false, 0, 0, 1},
                    EnterCase{"OnCloseAfterTabFixDisabled", false, Tab(IDCANCEL), false, 0, 0, 1},
                    EnterCase{"OnCloseFocusedOutsideTheDialogManager", true, Set(IDCANCEL), false, 0, 0, 1},
                    EnterCase{"OnBrowseAfterAClick", false, ClickOn(IDC_BROWSE), false, 1, 0, 0},
                    EnterCase{"OnBrowseAfterAClickFixEnabled", true, ClickOn(IDC_BROWSE), false, 1, 0, 0},
                    EnterCase{"OnFixFiles", true, Tab(IDOK), false, 0, 1, 0},
                    EnterCase{"OnListFixEnabled", true, Set(IDC_FILE_LIST), false, 0, 1, 0},
                    EnterCase{"OnListFixDisabled", false, Set(IDC_FILE_LIST), false, 0, 0, 0},
                    EnterCase{"OnListAfterClose", true, Then(Tab(IDCANCEL), Tab(IDC_FILE_LIST)), false, 0, 1, 0},
                    EnterCase{"InThePumpOnClose", false, Tab(IDCANCEL), true, 0, 0, 1},
                    EnterCase{"InThePumpOnList", false, Set(IDC_FILE_LIST), true, 0, 0, 0}),
    [](const testing::TestParamInfo<EnterCase>& p) { return p.param.name; });

POINT Centre(const RECT& rc) { return {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}; }

bool Near(POINT a, POINT b) { return std::abs(a.x - b.x) <= 2 && std::abs(a.y - b.y) <= 2; }

// The main window starts centred on the work area unless its set-up placed it. Message boxes
// and the About box are owned by it; the About box is centred over it, and message boxes,
// which the system centres on the screen, come out over it as well while it is centred.
TEST(Win32Window, StartsCentredWithItsBoxesOverIt) {
    for (const bool placed : {false, true}) {
        SCOPED_TRACE(placed ? "placed by its set-up" : "left where the template puts it");
        DialogDriver driver;
        CountingHandler handler(driver.app.Main(), false);
        if (placed) handler.moveTo = POINT{10, 20};
        RECT main{};
        driver.onBox = [&](HWND box) {
            RECT rc{};
            ::GetWindowRect(box, &rc);
            EXPECT_EQ(::GetWindow(box, GW_OWNER), driver.app.Main().Handle());
            if (!placed || WindowText(box) == text::kAboutCaption) {
                EXPECT_TRUE(Near(Centre(rc), Centre(main))) << WindowText(box);
            }
        };
        driver.Run({[&](HWND dlg) {
                        ::GetWindowRect(dlg, &main);
                        MONITORINFO monitor{};
                        monitor.cbSize = sizeof monitor;
                        ASSERT_TRUE(::GetMonitorInfoW(::MonitorFromWindow(dlg, MONITOR_DEFAULTTONEAREST), &monitor));
                        if (placed)
                            EXPECT_EQ(std::pair(main.left, main.top), std::pair(10L, 20L));
                        else
                            EXPECT_TRUE(Near(Centre(main), Centre(monitor.rcWork)))
                                << main.left << "," << main.top << " in " << monitor.rcWork.right << "x"
                                << monitor.rcWork.bottom;
                        driver.app.Main().MessageBox("A box over the window");
                        driver.app.Main().RunAboutBox();
                    },
                    [&](HWND dlg) {
                        EXPECT_EQ(driver.boxes.size(), 2u);
                        ::EndDialog(dlg, 0);
                    }},
                   &handler);
    }
}

TEST(Win32List, ElideMiddleKeepsTheStartAndTheFileName) {
    // Each character one pixel wide, "..." three.
    const auto elide = [](const std::wstring& text, int width) {
        std::vector<int> ends(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) ends[i] = static_cast<int>(i) + 1;
        return ElideMiddle(text, ends, 3, width);
    };
    const std::wstring pair{wchar_t(0xD83D), wchar_t(0xDE00)};
    const std::wstring highCut = L"C:\\ab" + pair + L"cdefghijklmnop", lowCut = L"C:\\abcdefghijkl" + pair + L"xy";
    const struct { std::wstring text; int width; std::wstring shown; } cases[] = {
        {L"C:\\short\\a.olv", 40, L"C:\\short\\a.olv"},                            // fits
        {L"C:\\short\\a.olv", 14, L"C:\\short\\a.olv"},                            // just fits
        {L"C:\\one\\two\\three\\file.olv", 20, L"C:\\one\\t...\\file.olv"},        // the name stays
        {L"C:\\one\\two\\three\\file.olv", 12, L"...\\file.olv"},                  // only the name
        {L"C:\\dir\\a-very-long-file-name.olv", 16, L"C:\\dir...ame.olv"},         // even split
        {L"no separators at all here", 11, L"no s...here"},
        {highCut, 16, L"C:\\ab...jklmnop"},                                           // pairs kept whole
        {lowCut, 9, L"C:\\...xy"},
        {L"C:\\x\\y.olv", 3, L"..."},
        {L"", 5, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(elide(c.text, c.width), c.shown) << Narrow(c.text) << " in " << c.width;
}

// A long path is cut in its middle only while the control paints it; anyone else asking the
// control (a screen reader, the automatic column width) gets the whole path. Each row's info
// tip is its whole text.
TEST(Win32List, PathsLoseTheirMiddleOnlyWhilePaintingAndTipsShowTheWholeText) {
    DialogDriver driver;
    const std::string deep = "C:\\customer-archive-2023\\measurements-north-site\\instrument-calibration"
                             "\\second-quarter\\raw-exports\\station-17-readings.olv";
    driver.Run({[&](HWND dlg) {
        IListView& list = driver.app.Main().List();
        const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
        EXPECT_TRUE(ListView_GetExtendedListViewStyle(ctl) & LVS_EX_INFOTIP);
        list.InsertItem(0, deep);
        list.SetItemText(0, 1, "4 - failed: no longer version 4");
        list.InsertItem(1, "C:\\short.olv");
        driver.app.Main().FlushPaint();
        ListView_SetColumnWidth(ctl, 0, 300);

        const auto paintStage = [&](DWORD stage) {
            NMCUSTOMDRAW draw{};
            draw.hdr = {ctl, IDC_FILE_LIST, static_cast<UINT>(NM_CUSTOMDRAW)};
            draw.dwDrawStage = stage;
            ::SendMessageW(dlg, WM_NOTIFY, IDC_FILE_LIST, reinterpret_cast<LPARAM>(&draw));
            return ::GetWindowLongPtrW(dlg, DWLP_MSGRESULT);
        };
        EXPECT_EQ(ShownText(ctl, 0, 0), Widen(deep));
        EXPECT_EQ(paintStage(CDDS_PREPAINT), CDRF_NOTIFYPOSTPAINT) << "the control must say when painting ends";
        const std::wstring painted = ShownText(ctl, 0, 0);
        EXPECT_EQ(painted.substr(0, 3), L"C:\\");
        EXPECT_NE(painted.find(L"..."), std::wstring::npos) << Narrow(painted);
        EXPECT_EQ(painted.substr(painted.size() - 24), L"\\station-17-readings.olv") << Narrow(painted);
        EXPECT_EQ(ShownText(ctl, 1, 0), L"C:\\short.olv");
        EXPECT_EQ(ShownText(ctl, 0, 1), L"4 - failed: no longer version 4") << "statuses are never cut in the middle";
        // The control's own painting ends with the stage that ends the cutting.
        ::RedrawWindow(ctl, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        EXPECT_EQ(ShownText(ctl, 0, 0), Widen(deep));
        paintStage(CDDS_PREPAINT);
        paintStage(CDDS_POSTPAINT);
        EXPECT_EQ(ShownText(ctl, 0, 0), Widen(deep));

        const struct { int row, column; std::wstring tip; } tips[] = {
            {0, 0, Widen(deep) + L"\r\n4 - failed: no longer version 4"},
            {0, 1, L"4 - failed: no longer version 4"},
            {1, 0, L"C:\\short.olv"},
        };
        for (const auto& t : tips) {
            wchar_t text[1024] = L"unchanged";
            NMLVGETINFOTIPW tip{};
            tip.hdr = {ctl, IDC_FILE_LIST, static_cast<UINT>(LVN_GETINFOTIPW)};
            tip.pszText = text;
            tip.cchTextMax = 1024;
            tip.iItem = t.row;
            tip.iSubItem = t.column;
            ::SendMessageW(dlg, WM_NOTIFY, IDC_FILE_LIST, reinterpret_cast<LPARAM>(&tip));
            EXPECT_EQ(std::wstring(text), t.tip);
        }
        ::EndDialog(dlg, 0);
    }});
}

std::wstring ClipboardText() {
    std::wstring text = L"(no text)";
    if (!::OpenClipboard(nullptr)) return L"(no clipboard)";
    if (const HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        text = static_cast<const wchar_t*>(::GlobalLock(data));
        ::GlobalUnlock(data);
    }
    ::CloseClipboard();
    return text;
}

void SetClipboardText(const std::wstring& text) {
    ASSERT_TRUE(::OpenClipboard(nullptr));
    ::EmptyClipboard();
    const HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(::GlobalLock(memory)));
    ::GlobalUnlock(memory);
    ::SetClipboardData(CF_UNICODETEXT, memory);
    ::CloseClipboard();
}

// The items of an open popup menu.
std::vector<std::string> MenuItems(HWND menuWindow) {
    const auto menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    std::vector<std::string> items;
    for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
        wchar_t text[128] = {};
        ::GetMenuStringW(menu, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
        items.push_back(Narrow(text));
    }
    return items;
}

// The row menu: where it opens, what it offers and what each item does ("Save list as..."
// writes every row through the dialog logic). Rows that hold a sentence and the space below
// the rows have none.
TEST(Win32List, RowMenuOpensTheFolderOrCopiesThePath) {
    const std::string rows[] = {"C:\\data\\caf\xc3\xa9\\a b.olv", text::kNoFilesRow, "\\\\server\\share\\x.olv"};
    struct MenuCase {
        const char* name;
        int row;         // -1: below the rows
        bool keyboard;   // the menu key on the focused row instead of a right click
        WPARAM key;      // what is typed into the menu
        bool menu;
        std::string opened, copied;
    };
    const MenuCase cases[] = {
        {"CopyPath", 0, false, 'c', true, "", rows[0]},
        {"OpenFolder", 0, false, 'f', true, rows[0], "before"},
        {"OpenFolderFromTheKeyboard", 2, true, 'f', true, rows[2], "before"},
        {"Dismissed", 0, false, VK_ESCAPE, true, "", "before"},
        {"SaveList", 0, false, 'a', true, "", "before"},
        {"NoMenuOnASentence", 1, false, 0, false, "", "before"},
        {"NoMenuBelowTheRows", -1, false, 0, false, "", "before"},
    };
    for (const MenuCase& tc : cases) {
        SCOPED_TRACE(tc.name);
        DialogDriver driver;
        std::string opened;
        driver.app.Main().folderOpenerForTest = [&](const std::string& path) {
            opened = path;
            return true;
        };
        TempFolder folder;
        driver.app.Main().fileSaverForTest = [&](const std::string&, const std::string&) {
            return std::optional<std::string>(folder.Sub("list.txt"));
        };
        std::vector<std::string> items;
        driver.onMenu = [&](HWND menu) {
            items = MenuItems(menu);
            if (tc.key == VK_ESCAPE) ::PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
            else ::PostMessageW(menu, WM_CHAR, tc.key, 0);
        };
        SetClipboardText(L"before");
        driver.Run({[&](HWND dlg) {
            IListView& list = driver.app.Main().List();
            for (const std::string& r : rows) list.InsertItem(list.GetItemCount(), r);
            list.SetItemText(0, 1, "4");
            driver.app.Main().FlushPaint();
            const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
            LPARAM at = -1;
            if (tc.keyboard) {
                ListView_SetItemState(ctl, tc.row, LVIS_FOCUSED | LVIS_SELECTED, LVIS_FOCUSED | LVIS_SELECTED);
            } else {
                RECT rc{};
                ListView_GetItemRect(ctl, tc.row >= 0 ? tc.row : 2, &rc, LVIR_BOUNDS);
                POINT p = tc.row >= 0 ? Centre(rc) : POINT{rc.left + 5, rc.bottom + 40};
                ::ClientToScreen(ctl, &p);
                at = MAKELPARAM(p.x, p.y);
            }
            // As the list view's default processing of a right click or the menu key sends it.
            ::SendMessageW(dlg, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(ctl), at);
            const std::vector<std::string> offered{text::kOpenFolderMenu, text::kCopyPathMenu, "",
                                                   text::kSaveListMenu};
            EXPECT_EQ(items, tc.menu ? offered : std::vector<std::string>());
            EXPECT_EQ(opened, tc.opened);
            EXPECT_EQ(Narrow(ClipboardText()), tc.copied);
            EXPECT_EQ(ReadAll(folder.Sub("list.txt")), tc.key == 'a' ? rows[0] + "\t4\r\n" + rows[1] + "\t\r\n" + rows[2] + "\t\r\n" : "");
            ::EndDialog(dlg, 0);
        }});
    }
}

// Ctrl+C in the list copies the selected rows as "path<TAB>version" lines; with nothing
// selected the clipboard keeps what it had.
TEST(Win32List, CtrlCCopiesTheSelectedRows) {
    const struct { std::vector<int> selected; std::wstring copied; } cases[] = {
        {{}, L"before"},
        {{1}, L"C:\\t\\b.olv\t3"},
        {{0, 2}, L"C:\\t\\a.olv\t4 - resaved\r\nC:\\t\\caf\u00e9.olv\t4 - failed: no longer version 4"},
    };
    for (const auto& tc : cases) {
        DialogDriver driver;
        HWND ctl = nullptr;
        BYTE keys[256] = {}, pressed[256] = {};
        driver.Run({[&](HWND dlg) {
                        IListView& list = driver.app.Main().List();
                        const char* const rows[][2] = {{"C:\\t\\a.olv", "4 - resaved"}, {"C:\\t\\b.olv", "3"},
                                                       {"C:\\t\\caf\xc3\xa9.olv", "4 - failed: no longer version 4"}};
                        for (const auto& [path, version] : rows) list.SetItemText(list.InsertItem(list.GetItemCount(), path), 1, version);
                        driver.app.Main().FlushPaint();
                        ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
                        for (const int row : tc.selected) ListView_SetItemState(ctl, row, LVIS_SELECTED, LVIS_SELECTED);
                        SetClipboardText(L"before");
                        ::SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ctl), TRUE);
                        // Ctrl held down for the key message the list gets next.
                        ::GetKeyboardState(keys);
                        std::copy(std::begin(keys), std::end(keys), pressed);
                        pressed[VK_CONTROL] = 0x80;
                        ::SetKeyboardState(pressed);
                        PostKey(ctl, 'C');
                    },
                    [&](HWND dlg) {
                        ::SetKeyboardState(keys);
                        EXPECT_EQ(ClipboardText(), tc.copied);
                        ::EndDialog(dlg, 0);
                    }});
    }
}

}  // namespace
}  // namespace quorvel::test
