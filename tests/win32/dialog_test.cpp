// The real main dialog and About box made from the real resources: the templates against
// ui/Layout, the state after start, the window menu, the keys, painting while minimised, the
// port's list, progress and cursor, and the program's other resources.

#include <atomic>

#include "tests/win32/Support.h"
#include "ui/res/Layout.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;

// Compares a dialog window with its layout table: size, caption, styles, font, and each control
// in template order (position through MapDialogRect, size, class, id, style, text), tab order.
// A text the font needs more room for widens its static, which moves what stands on its right
// and may widen the window (Win32Layout checks that no text is cut): the left edges and widths
// are at least the table's.
void ExpectMatchesLayout(HWND dlg, const layout::DialogTemplate& t) {
    static const char* const kClassNames[] = {"Button", "Static", "SysListView32", "msctls_progress32"};
    EXPECT_EQ(WindowText(dlg), t.caption);
    const auto style = static_cast<std::uint32_t>(::GetWindowLongW(dlg, GWL_STYLE));
    EXPECT_EQ(style & t.style, t.style);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(::GetWindowLongW(dlg, GWL_EXSTYLE)) & t.exStyle, t.exStyle);
    RECT size{0, 0, t.cx, t.cy}, client;
    ::MapDialogRect(dlg, &size);
    ::GetClientRect(dlg, &client);
    EXPECT_GE(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    LOGFONTW font{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_EQ(Narrow(font.lfFaceName).rfind(t.fontFace, 0), 0u) << Narrow(font.lfFaceName);  // or "... 2"

    HWND child = ::GetWindow(dlg, GW_CHILD);
    std::vector<HWND> tabStops;
    for (const layout::Control& c : t.controls) {
        ASSERT_TRUE(child) << c.text;
        // The dialog manager maps origin and size separately, as MapDialogRect maps each field.
        RECT want{c.x, c.y, c.cx, c.cy}, got;
        ::MapDialogRect(dlg, &want);
        ::GetWindowRect(child, &got);
        ::MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&got), 2);
        // The dialog manager moves the default-button look to a focused push button and turns
        // a border into a sunken edge; the progress bar replaces its border with its own frame.
        const std::uint32_t mask = c.cls == layout::ControlClass::Button     ? ~std::uint32_t{BS_DEFPUSHBUTTON}
                                   : c.cls == layout::ControlClass::Progress ? ~std::uint32_t{WS_BORDER}
                                                                             : ~0u;
        auto childStyle = static_cast<std::uint32_t>(::GetWindowLongW(child, GWL_STYLE));
        // The Windows file list holds its rows itself: owner-data mode, on top of the table.
        if (c.cls == layout::ControlClass::ListView) {
            EXPECT_TRUE(childStyle & LVS_OWNERDATA);
            childStyle &= ~std::uint32_t{LVS_OWNERDATA};
        }
        if (::GetWindowLongW(child, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE)) childStyle |= WS_BORDER;
        // An icon static shows its icon, at the icon's size, instead of a text.
        const bool icon = c.style == layout::style::kIcon;
        EXPECT_EQ(std::tuple(got.top, icon ? 0 : got.bottom - got.top, ClassName(child), ::GetDlgCtrlID(child),
                             childStyle & ~std::uint32_t{WS_CHILD | WS_VISIBLE | WS_DISABLED} & mask,
                             icon ? (::SendMessageW(child, STM_GETICON, 0, 0) ? "(icon)" : "") : WindowText(child)),
                  std::tuple(want.top, icon ? 0 : want.bottom, std::string(kClassNames[static_cast<int>(c.cls)]), c.id,
                             c.style & mask, std::string(icon ? "(icon)" : c.text)));
        EXPECT_GE(got.left, want.left) << c.text;
        if (!icon) {
            EXPECT_GE(got.right - got.left, want.right) << c.text;
        }
        if (c.style & layout::style::kTabStop) tabStops.push_back(child);
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_FALSE(child) << "more controls than the layout table has";
    // Tab order follows the template; disabled controls are skipped by the walk, so enable them.
    for (HWND h : tabStops) ::EnableWindow(h, TRUE);
    for (std::size_t i = 0; i < tabStops.size(); ++i)
        EXPECT_EQ(::GetNextDlgTabItem(dlg, tabStops[i], FALSE), tabStops[(i + 1) % tabStops.size()]);
}

TEST(Win32Dialog, MatchesTheTemplateStartsEmptyPaintsWhileMinimisedAndCloses) {
    DialogDriver driver;
    EXPECT_EQ(driver.Run({[&](HWND dlg) {
        // Before the layout walk, which enables every tab stop.
        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dlg, IDOK)));
        const HWND progress = ::GetDlgItem(dlg, IDC_PROGRESS);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 100);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETPOS, 0, 0), 0);
        ExpectMatchesLayout(dlg, layout::MainDialog());
        EXPECT_EQ(::SendMessageW(dlg, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));

        // Two left-aligned columns: "Version" 80 wide, "File" the rest but the scroll bar.
        const HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
        const auto column = [&](int i) {
            wchar_t text[32] = {};
            LVCOLUMNW col{};
            col.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH;
            col.pszText = text;
            col.cchTextMax = 32;
            ::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col));
            return std::tuple(Narrow(text), col.fmt & LVCFMT_JUSTIFYMASK, col.cx);
        };
        RECT client;
        ::GetClientRect(list, &client);
        EXPECT_EQ(column(0), std::tuple("File", LVCFMT_LEFT, client.right - ::GetSystemMetrics(SM_CXVSCROLL) - 80));
        EXPECT_EQ(column(1), std::tuple("Version", LVCFMT_LEFT, 80));

        const HMENU menu = ::GetSystemMenu(dlg, FALSE);
        const int n = ::GetMenuItemCount(menu);
        ASSERT_GE(n, 2);
        EXPECT_TRUE(::GetMenuState(menu, static_cast<UINT>(n - 2), MF_BYPOSITION) & MF_SEPARATOR);
        EXPECT_EQ(::GetMenuItemID(menu, n - 1), static_cast<UINT>(IDM_ABOUTBOX));
        wchar_t item[64] = {};
        ::GetMenuStringW(menu, static_cast<UINT>(n - 1), item, 64, MF_BYPOSITION);
        EXPECT_EQ(Narrow(item), text::kAboutMenu);

        const auto icon = static_cast<LRESULT>(driver.app.Main().LoadAppIcon());
        EXPECT_TRUE(icon && ::SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0));
        EXPECT_EQ(std::pair(::SendMessageW(dlg, WM_GETICON, ICON_BIG, 0), ::SendMessageW(dlg, WM_QUERYDRAGICON, 0, 0)),
                  std::pair(icon, icon));

        // In this one step: without a window manager Wine restores the window in its loop. The
        // minimised branch paints through its own paint context, which must validate the
        // window: otherwise WM_PAINT would come forever.
        ::ShowWindow(dlg, SW_MINIMIZE);
        ASSERT_TRUE(::IsIconic(dlg));
        ::RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        EXPECT_FALSE(::GetUpdateRect(dlg, nullptr, FALSE));
        ::ShowWindow(dlg, SW_RESTORE);
        Click(::GetDlgItem(dlg, IDCANCEL));
    }}), IDCANCEL);
}

TEST(Win32Dialog, SystemMenuCommandsOpenTheAboutBoxOnlyForItsId) {
    const struct { WPARAM command; bool about; } cases[] = {{0x10, true}, {0x1F, true}, {0x20, false}, {0x00, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        DialogDriver driver;
        driver.onBox = [](HWND box) { ExpectMatchesLayout(box, layout::AboutDialog()); };
        const int result = driver.Run({
            [&](HWND dlg) { ::SendMessageW(dlg, WM_SYSCOMMAND, c.command, 0); },
            [&](HWND dlg) {
                EXPECT_EQ(driver.boxes.size(), c.about ? 1u : 0u);
                ::SendMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
            }});
        // The close command takes the cancel path like "Close" and Escape.
        EXPECT_EQ(result, IDCANCEL);
    }
}

TEST(Win32Dialog, EnterNeverClosesAndEscapeDoes) {
    DialogDriver driver;
    int pickerCalls = 0;
    driver.app.Main().folderPickerForTest = [&](const std::string&) {
        ++pickerCalls;
        return std::optional<std::string>();
    };
    HWND list = nullptr;
    const int result = driver.Run({
        [&](HWND) { PostKey(::GetFocus(), VK_RETURN); },
        [&](HWND dlg) {
            EXPECT_EQ(pickerCalls, 1) << "Enter on the focused Browse button clicks it";
            ::SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            list = ::GetDlgItem(dlg, IDC_FILE_LIST);
            ::SetFocus(list);
            PostKey(list, VK_RETURN);
        },
        [&](HWND) {
            EXPECT_TRUE(driver.boxes.empty());
            PostKey(list, VK_ESCAPE);
        }});
    EXPECT_EQ(result, IDCANCEL);
}

TEST(Win32Dialog, CloseDuringABrowseStopsItAndEndsTheDialogWithoutASummary) {
    TempFolder tmp;
    for (int i = 0; i < 20; ++i) tmp.Olv(std::to_string(i) + ".olv", 4);
    DialogDriver driver;
    driver.app.Main().folderPickerForTest = [&](const std::string&) { return std::optional<std::string>(tmp.Path()); };
    std::atomic<int> probed{0};
    driver.setUp = [&](CQuorvelDlg& logic) {
        // A slow share: the analysis takes seconds, and the window must take input meanwhile.
        FileWork work;
        work.probe.threads = 1;
        work.probeFile = [&](const std::string& path) {
            ::Sleep(100);
            ++probed;
            return scan::ProbeVersion(path);
        };
        logic.SetFileWork(work);
    };
    bool browseDisabled = false;
    const int result = driver.Run({
        [&](HWND dlg) { ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED), 0); },
        // The next tick comes through the Browse's own wait for the probe.
        [&](HWND dlg) {
            browseDisabled = !::IsWindowEnabled(::GetDlgItem(dlg, IDC_BROWSE)) &&
                             !::IsWindowEnabled(::GetDlgItem(dlg, IDOK));
            Click(::GetDlgItem(dlg, IDCANCEL));
        },
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(browseDisabled) << "Browse and Fix files are disabled while a Browse runs";
    EXPECT_TRUE(driver.boxes.empty()) << "no summary after a close";
    EXPECT_LT(probed.load(), 20) << "the analysis stopped at the close";
}

TEST(Win32Dialog, EscapeReachesCancelThroughTheFixPassPump) {
    DialogDriver driver;
    const int result = driver.Run({[&](HWND dlg) {
        HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
        ::SetFocus(list);
        PostKey(list, VK_ESCAPE);
        // The pump between files does no dialog-key processing; Escape must still cancel.
        driver.app.Main().PumpMessages();
    }});
    EXPECT_EQ(result, IDCANCEL);
}

TEST(Win32Port, ListKeepsExactBytesAndItemDataProgressKeeps32BitsWaitCursorIsCounted) {
    DialogDriver driver;
    driver.Run({[&](HWND dlg) {
        win32::MainDialog& port = driver.app.Main();
        IListView& list = port.List();
        const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
        // Invalid UTF-8 and an unpaired surrogate (WTF-8) must come back byte for byte.
        const std::string names[] = {"C:\\x\\caf\xc3\xa9.olv", "C:\\bad\xff\xfe.olv", "C:\\lone\xed\xa0\x80.olv"};
        const std::wstring lone = std::wstring(L"C:\\lone") + wchar_t(0xD800) + L".olv";
        EXPECT_EQ(list.InsertItem(7, names[1]), 0);
        EXPECT_EQ(list.InsertItem(0, names[0]), 0);
        EXPECT_EQ(list.InsertItem(list.GetItemCount(), names[2]), 2);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(list.GetItemText(i, 0), names[i]);
        port.FlushPaint();
        EXPECT_EQ(ShownText(ctl, 0, 0), L"C:\\x\\caf\u00e9.olv");
        EXPECT_EQ(ShownText(ctl, 1, 0), L"C:\\bad\uFFFD\uFFFD.olv");
        EXPECT_EQ(ShownText(ctl, 2, 0), lone);
        list.SetItemText(1, 1, "4 - resaved");
        list.SetItemData(1, 4);
        list.SetItemText(9, 1, "ignored");
        EXPECT_EQ(list.GetItemText(1, 1), "4 - resaved");
        EXPECT_EQ(list.GetItemText(1, 0), names[1]) << "setting data keeps the texts";
        EXPECT_EQ(std::vector({list.GetItemData(0), list.GetItemData(1), list.GetItemData(9)}), std::vector<std::intptr_t>({0, 4, 0}));
        EXPECT_EQ(list.GetItemText(9, 0), "");
        list.DeleteItem(-1);
        list.DeleteItem(3);
        list.DeleteItem(0);
        ASSERT_EQ(list.GetItemCount(), 2);
        EXPECT_EQ(list.GetItemText(0, 0), names[1]);
        EXPECT_EQ(list.GetItemData(0), 4);
        port.FlushPaint();
        EXPECT_EQ(ShownText(ctl, 1, 0), lone);
        list.DeleteAllItems();
        EXPECT_EQ(::SendMessageW(ctl, LVM_GETITEMCOUNT, 0, 0), 0);

        port.Progress().SetRange(0, 100000);
        port.Progress().SetPos(70000);
        port.FlushPaint();
        EXPECT_EQ(::SendMessageW(::GetDlgItem(dlg, IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 100000);
        EXPECT_EQ(::SendMessageW(::GetDlgItem(dlg, IDC_PROGRESS), PBM_GETPOS, 0, 0), 70000);

        const HCURSOR wait = ::LoadCursorW(nullptr, IDC_WAIT);
        const auto cursorOverClient = [&] {
            ::SendMessageW(dlg, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
            return ::GetCursor();
        };
        port.BeginWaitCursor();
        port.BeginWaitCursor();
        port.EndWaitCursor();
        ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
        EXPECT_EQ(cursorOverClient(), wait) << "one Begin is still open";
        port.EndWaitCursor();
        port.EndWaitCursor();  // one End too many changes nothing
        EXPECT_NE(cursorOverClient(), wait);
        ::EndDialog(dlg, IDCANCEL);
    }});
}

TEST(Win32Resources, IconVersionStringAndManifest) {
    const HMODULE self = ::GetModuleHandleW(nullptr);
    const auto Resource = [&](int id, int type) {
        const HRSRC r = ::FindResourceW(self, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        return r ? std::string(static_cast<const char*>(::LockResource(::LoadResource(self, r))), ::SizeofResource(self, r))
                 : std::string();
    };
    // The icon group's directory: 6 bytes of header, then 14 per image (width first, bit count at 6).
    const std::string group = Resource(IDR_MAINFRAME, 14);  // RT_GROUP_ICON
    std::multiset<std::pair<int, int>> images;               // (pixels, bits per pixel)
    for (std::size_t at = 6; at + 14 <= group.size(); at += 14)
        images.insert({static_cast<unsigned char>(group[at]), static_cast<unsigned char>(group[at + 6])});
    EXPECT_EQ(images, (std::multiset<std::pair<int, int>>{{16, 4}, {16, 8}, {16, 24}, {32, 4}, {32, 8}, {32, 24}, {48, 4}, {48, 8}, {48, 24}}));
    EXPECT_EQ(group.substr(4, 2), std::string("\x09\x00", 2));

    // A manifest that names side-by-side assemblies the machine lacks stops the program.
    const std::string xml = Resource(1, 24);  // RT_MANIFEST
    EXPECT_NE(xml.find("<assembly"), std::string::npos);
    EXPECT_EQ(xml.find("dependentAssembly"), std::string::npos);
    EXPECT_EQ(xml.find("Common-Controls"), std::string::npos);

    win32::Win32App app(self);
    EXPECT_EQ(app.Main().LoadString(IDS_ABOUTBOX), text::kAboutMenu);
    EXPECT_EQ(app.Main().LoadString(999), "");

    std::string version = Resource(1, 16);  // RT_VERSION
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(std::vector({fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
              std::vector<DWORD>({0x00010000u, 1u, 0x00010000u, 1u}));
    for (const wchar_t* key : {L"\\StringFileInfo\\040904B0\\InternalName", L"\\StringFileInfo\\040904B0\\OriginalFilename"}) {
        wchar_t* value = nullptr;
        ASSERT_TRUE(::VerQueryValueW(version.data(), key, reinterpret_cast<void**>(&value), &length));
        EXPECT_STREQ(value, L"quorvel.exe");
    }
}

}  // namespace
}  // namespace quorvel::test
