// The real main dialog made from the real resources: the template against ui/Layout, the
// state after start, the window chrome, the keys, and the port's list, progress and cursor.

#include <gtest/gtest.h>

#include "platform/win32/WinPath.h"
#include "tests/win32/DialogDriver.h"
#include "ui/Layout.h"
#include "ui/Texts.h"
#include "ui/resource.h"

namespace quorvel::test {
namespace {

using win32::Narrow;

// Window class names in the order of layout::ControlClass.
const char* const kClassNames[] = {"Button", "Static", "SysListView32", "msctls_progress32"};

// Compares a dialog window with its layout table: size, caption, styles, and each control in
// template order (position through MapDialogRect, class, id, style, text) and the tab order.
void ExpectMatchesLayout(HWND dlg, const layout::DialogTemplate& t) {
    EXPECT_EQ(WindowText(dlg), t.caption);
    const auto style = static_cast<std::uint32_t>(::GetWindowLongW(dlg, GWL_STYLE));
    EXPECT_EQ(style & t.style, t.style);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
    const auto exStyle = static_cast<std::uint32_t>(::GetWindowLongW(dlg, GWL_EXSTYLE));
    EXPECT_EQ(exStyle & t.exStyle, t.exStyle);
    RECT size{0, 0, t.cx, t.cy}, client;
    ::MapDialogRect(dlg, &size);
    ::GetClientRect(dlg, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    HWND child = ::GetWindow(dlg, GW_CHILD);
    std::vector<HWND> tabStops;
    for (const layout::Control& c : t.controls) {
        ASSERT_TRUE(child) << c.text;
        SCOPED_TRACE(c.text);
        // The dialog manager maps origin and size separately, as MapDialogRect maps each field.
        RECT want{c.x, c.y, c.cx, c.cy}, got;
        ::MapDialogRect(dlg, &want);
        ::GetWindowRect(child, &got);
        ::MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&got), 2);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        // An icon static takes the size of its icon.
        if (c.style != layout::style::kIcon) {
            EXPECT_EQ(got.right - got.left, want.right);
            EXPECT_EQ(got.bottom - got.top, want.bottom);
        }
        EXPECT_EQ(ClassName(child), kClassNames[static_cast<int>(c.cls)]);
        EXPECT_EQ(::GetDlgCtrlID(child), c.id);
        // The dialog manager moves the default-button look to a focused push button and turns
        // a border into a sunken edge; the progress bar replaces its border with its own frame.
        const std::uint32_t mask = c.cls == layout::ControlClass::Button     ? ~std::uint32_t{BS_DEFPUSHBUTTON}
                                   : c.cls == layout::ControlClass::Progress ? ~std::uint32_t{WS_BORDER}
                                                                             : ~0u;
        auto childStyle = static_cast<std::uint32_t>(::GetWindowLongW(child, GWL_STYLE));
        if (::GetWindowLongW(child, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE)) childStyle |= WS_BORDER;
        EXPECT_EQ(childStyle & ~std::uint32_t{WS_CHILD | WS_VISIBLE | WS_DISABLED} & mask, c.style & mask);
        if (c.style == layout::style::kIcon)
            EXPECT_TRUE(::SendMessageW(child, STM_GETICON, 0, 0));
        else
            EXPECT_EQ(WindowText(child), c.text);
        if (c.style & layout::style::kTabStop) tabStops.push_back(child);
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_FALSE(child) << "more controls than the layout table has";
    // Tab order follows the template; disabled controls are skipped by the walk, so enable them.
    for (HWND h : tabStops) ::EnableWindow(h, TRUE);
    for (std::size_t i = 0; i < tabStops.size(); ++i)
        EXPECT_EQ(::GetNextDlgTabItem(dlg, tabStops[i], FALSE), tabStops[(i + 1) % tabStops.size()]);
}

TEST(Win32Dialog, MainTemplateMatchesTheLayoutTable) {
    DialogDriver driver;
    driver.Run({[](HWND dlg) {
        ExpectMatchesLayout(dlg, layout::MainDialog());
        LOGFONTW font{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(dlg, WM_GETFONT, 0, 0)), sizeof font, &font);
        EXPECT_EQ(Narrow(font.lfFaceName).rfind("MS Shell Dlg", 0), 0u) << Narrow(font.lfFaceName);
        EXPECT_EQ(::SendMessageW(dlg, DM_GETDEFID, 0, 0), MAKELONG(IDOK, DC_HASDEFID));
        ::EndDialog(dlg, IDCANCEL);
    }});
}

TEST(Win32Dialog, AboutTemplateMatchesTheLayoutTable) {
    DialogDriver driver;
    // The About box runs modally inside the step; its own timer ticks check and close it.
    struct AboutCheck : win32::Dialog {
        bool OnInitDialog() override {
            ExpectMatchesLayout(Handle(), layout::AboutDialog());
            End(IDOK);
            return true;
        }
    };
    driver.Run({[](HWND dlg) {
        AboutCheck about;
        EXPECT_EQ(about.DoModal(::GetModuleHandleW(nullptr), IDD_ABOUTBOX, dlg), IDOK);
        ::EndDialog(dlg, IDCANCEL);
    }});
}

TEST(Win32Dialog, StartsWithEmptyColumnsDisabledFixAndEmptyProgress) {
    DialogDriver driver;
    driver.Run({[&](HWND dlg) {
        const HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
        RECT client;
        ::GetClientRect(list, &client);
        const wchar_t* const headings[] = {L"File", L"Version"};
        int total = 0;
        for (int i = 0; i < 2; ++i) {
            wchar_t text[32] = {};
            LVCOLUMNW col{};
            col.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH;
            col.pszText = text;
            col.cchTextMax = 32;
            ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col)));
            EXPECT_STREQ(text, headings[i]);
            EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
            total += col.cx;
        }
        EXPECT_EQ(::SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), 80);
        EXPECT_EQ(total, client.right - ::GetSystemMetrics(SM_CXVSCROLL));
        EXPECT_EQ(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);

        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dlg, IDOK)));
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dlg, IDC_BROWSE)));
        const HWND progress = ::GetDlgItem(dlg, IDC_PROGRESS);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 100);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETPOS, 0, 0), 0);
        EXPECT_EQ(WindowText(::GetDlgItem(dlg, IDC_STEP2_TEXT)), text::kStep2Examine);
        // Step 1 has the focus, so that Enter at once cannot reach "Close".
        EXPECT_EQ(::GetFocus(), ::GetDlgItem(dlg, IDC_BROWSE));

        const HMENU menu = ::GetSystemMenu(dlg, FALSE);
        const int n = ::GetMenuItemCount(menu);
        ASSERT_GE(n, 2);
        EXPECT_TRUE(::GetMenuState(menu, static_cast<UINT>(n - 2), MF_BYPOSITION) & MF_SEPARATOR);
        EXPECT_EQ(::GetMenuItemID(menu, n - 1), static_cast<UINT>(IDM_ABOUTBOX));
        wchar_t item[64] = {};
        ::GetMenuStringW(menu, static_cast<UINT>(n - 1), item, 64, MF_BYPOSITION);
        EXPECT_EQ(Narrow(item), text::kAboutMenu);

        const auto icon = reinterpret_cast<HICON>(driver.app.Main().LoadAppIcon());
        ASSERT_TRUE(icon);
        EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(dlg, WM_GETICON, ICON_BIG, 0)), icon);
        EXPECT_TRUE(::SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0));
        EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(dlg, WM_QUERYDRAGICON, 0, 0)), icon);
        PostKey(dlg, VK_ESCAPE);
    }});
}

TEST(Win32Dialog, SystemMenuCommandsOpenTheAboutBoxOnlyForItsId) {
    const struct { WPARAM command; bool about; } cases[] = {{0x10, true}, {0x1F, true}, {0x20, false}, {0x00, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        DialogDriver driver;
        const int result = driver.Run({
            [&](HWND dlg) { ::SendMessageW(dlg, WM_SYSCOMMAND, c.command, 0); },
            [&](HWND dlg) {
                ASSERT_EQ(driver.boxes.size(), c.about ? 1u : 0u);
                if (c.about) {
                    EXPECT_EQ(driver.boxes[0].caption, text::kAboutCaption);
                    EXPECT_EQ(driver.boxes[0].text, std::string(text::kAboutVersion) + "\n" + text::kAboutSecondLine);
                    EXPECT_TRUE(driver.boxes[0].hasIcon);
                }
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
        [&](HWND dlg) {
            EXPECT_TRUE(::IsWindowVisible(dlg));
            EXPECT_TRUE(driver.boxes.empty());
            PostKey(list, VK_ESCAPE);
        }});
    EXPECT_EQ(result, IDCANCEL);
}

TEST(Win32Dialog, PaintsWhileMinimised) {
    DialogDriver driver;
    driver.Run({[](HWND dlg) {
        // All in one step: without a window manager Wine restores the window in its loop.
        ::ShowWindow(dlg, SW_MINIMIZE);
        ASSERT_TRUE(::IsIconic(dlg));
        // The minimised branch paints through its own paint context, which must validate
        // the window: otherwise WM_PAINT would come forever.
        ::RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        EXPECT_FALSE(::GetUpdateRect(dlg, nullptr, FALSE));
        ::ShowWindow(dlg, SW_RESTORE);
        Click(::GetDlgItem(dlg, IDCANCEL));
    }});
}

TEST(Win32Dialog, CloseButtonEndsTheDialog) {
    DialogDriver driver;
    EXPECT_EQ(driver.Run({[](HWND dlg) { Click(::GetDlgItem(dlg, IDCANCEL)); }}), IDCANCEL);
}

TEST(Win32Port, ListKeepsExactBytesAndItemData) {
    DialogDriver driver;
    driver.Run({[&](HWND dlg) {
        IListView& list = driver.app.Main().List();
        const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
        // Invalid UTF-8 and an unpaired surrogate (WTF-8) must come back byte for byte.
        const std::string names[] = {"C:\\x\\caf\xc3\xa9.olv", "C:\\bad\xff\xfe.olv", "C:\\lone\xed\xa0\x80.olv"};
        EXPECT_EQ(list.InsertItem(7, names[1]), 0);
        EXPECT_EQ(list.InsertItem(0, names[0]), 0);
        EXPECT_EQ(list.InsertItem(list.GetItemCount(), names[2]), 2);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(list.GetItemText(i, 0), names[i]);
        EXPECT_EQ(ShownText(ctl, 0, 0), L"C:\\x\\caf\u00e9.olv");
        EXPECT_EQ(ShownText(ctl, 1, 0), L"C:\\bad\uFFFD\uFFFD.olv");
        EXPECT_EQ(ShownText(ctl, 2, 0), std::wstring(L"C:\\lone") + wchar_t(0xD800) + L".olv");

        list.SetItemText(1, 1, "4 - resaved");
        list.SetItemData(1, 4);
        list.SetItemText(9, 1, "ignored");
        EXPECT_EQ(list.GetItemText(1, 1), "4 - resaved");
        EXPECT_EQ(ShownText(ctl, 1, 1), L"4 - resaved");
        EXPECT_EQ(list.GetItemText(1, 0), names[1]) << "setting data keeps the texts";
        EXPECT_EQ(list.GetItemData(1), 4);
        EXPECT_EQ(list.GetItemData(0), 0);
        EXPECT_EQ(list.GetItemData(9), 0);
        EXPECT_EQ(list.GetItemText(9, 0), "");

        std::vector<int> order;
        for (int i = list.GetNextItem(-1); i != -1; i = list.GetNextItem(i)) order.push_back(i);
        EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

        list.DeleteItem(-1);
        list.DeleteItem(3);
        list.DeleteItem(0);
        ASSERT_EQ(list.GetItemCount(), 2);
        EXPECT_EQ(list.GetItemText(0, 0), names[1]);
        EXPECT_EQ(list.GetItemData(0), 4);
        EXPECT_EQ(ShownText(ctl, 1, 0), std::wstring(L"C:\\lone") + wchar_t(0xD800) + L".olv");
        list.DeleteAllItems();
        EXPECT_EQ(::SendMessageW(ctl, LVM_GETITEMCOUNT, 0, 0), 0);
        ::EndDialog(dlg, IDCANCEL);
    }});
}

TEST(Win32Port, ProgressRangeIsNotCutTo16BitsAndWaitCursorIsCounted) {
    DialogDriver driver;
    driver.Run({[&](HWND dlg) {
        win32::MainDialog& port = driver.app.Main();
        const HWND progress = ::GetDlgItem(dlg, IDC_PROGRESS);
        port.Progress().SetRange(0, 100000);
        port.Progress().SetPos(70000);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 100000);
        EXPECT_EQ(::SendMessageW(progress, PBM_GETPOS, 0, 0), 70000);

        const HCURSOR wait = ::LoadCursorW(nullptr, IDC_WAIT);
        const LPARAM overClient = MAKELPARAM(HTCLIENT, WM_MOUSEMOVE);
        port.BeginWaitCursor();
        port.BeginWaitCursor();
        port.EndWaitCursor();
        ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
        ::SendMessageW(dlg, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg), overClient);
        EXPECT_EQ(::GetCursor(), wait) << "one Begin is still open";
        port.EndWaitCursor();
        port.EndWaitCursor();  // one End too many changes nothing
        ::SendMessageW(dlg, WM_SETCURSOR, reinterpret_cast<WPARAM>(dlg), overClient);
        EXPECT_NE(::GetCursor(), wait);
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
    ASSERT_GE(group.size(), 6u);
    std::set<std::pair<int, int>> images, want;  // (pixels, bits per pixel)
    for (std::size_t at = 6; at + 14 <= group.size(); at += 14)
        images.insert({static_cast<unsigned char>(group[at]), static_cast<unsigned char>(group[at + 6])});
    for (int px : {16, 32, 48})
        for (int bpp : {4, 8, 24}) want.insert({px, bpp});
    EXPECT_EQ(group[4], 9);
    EXPECT_EQ(images, want);

    // A manifest that names side-by-side assemblies the machine lacks stops the program.
    const std::string xml = Resource(1, 24);  // RT_MANIFEST
    EXPECT_NE(xml.find("<assembly"), std::string::npos);
    EXPECT_EQ(xml.find("dependentAssembly"), std::string::npos);
    EXPECT_EQ(xml.find("Common-Controls"), std::string::npos);

    win32::Win32App app(self);
    EXPECT_EQ(app.Main().LoadString(IDS_ABOUTBOX), text::kAboutMenu);
    EXPECT_EQ(app.Main().LoadString(999), "");

    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(self, exe, MAX_PATH);
    std::vector<BYTE> version(::GetFileVersionInfoSizeW(exe, nullptr));
    ASSERT_TRUE(::GetFileVersionInfoW(exe, 0, static_cast<DWORD>(version.size()), version.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    for (const wchar_t* key : {L"\\StringFileInfo\\040904B0\\InternalName", L"\\StringFileInfo\\040904B0\\OriginalFilename"}) {
        wchar_t* value = nullptr;
        ASSERT_TRUE(::VerQueryValueW(version.data(), key, reinterpret_cast<void**>(&value), &length));
        EXPECT_STREQ(value, L"quorvel.exe");
    }
}

}  // namespace
}  // namespace quorvel::test
