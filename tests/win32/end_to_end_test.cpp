// End to end in the real window on a real tree: Browse through the picker seam and through the
// real shell folder picker driven from a second thread, the summary message box read from the
// screen, Fix files, the rows, and the repaired files themselves.

#include <cstdlib>
#include <map>

#include "tests/win32/Support.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;

// On a second thread: finds the folder picker owned by `owner` and notes its title and where
// it opened. The file dialog's picker gets `folder` typed into its path box and OK; the tree
// picker gets it selected the way its own callers do (BFFM_SETSELECTIONW) and OK; with an empty
// `folder` either is cancelled.
struct PickerRobot {
    HWND owner = nullptr;
    std::wstring folder;
    bool sawTitle = false;
    bool fileDialog = false;        // the picker was the file dialog's, with its path box
    std::wstring openedAt;          // tree picker: the selected folder's name when it came up
    std::vector<std::wstring> shown;  // file dialog: the names its view showed when it came up

    static DWORD_PTR Send(HWND hwnd, UINT msg, WPARAM wParam, const void* lParam) {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(hwnd, msg, wParam, reinterpret_cast<LPARAM>(lParam), SMTO_NORMAL, 30000, &result);
        return result;
    }

    static std::wstring SelectedText(HWND tree) {
        wchar_t text[MAX_PATH] = {};
        TVITEMW tv{};
        tv.mask = TVIF_TEXT;
        tv.hItem = reinterpret_cast<HTREEITEM>(Send(tree, TVM_GETNEXTITEM, TVGN_CARET, nullptr));
        tv.pszText = text;
        tv.cchTextMax = MAX_PATH;
        if (tv.hItem) Send(tree, TVM_GETITEMW, 0, &tv);
        return text;
    }

    // The first descendant of `parent` of class `cls`.
    static HWND Find(HWND parent, const wchar_t* cls) {
        for (HWND c = ::GetWindow(parent, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
            wchar_t name[64] = {};
            ::GetClassNameW(c, name, 64);
            if (std::wstring(name) == cls) return c;
            if (const HWND below = Find(c, cls)) return below;
        }
        return nullptr;
    }

    // The names a list view shows.
    static std::vector<std::wstring> Items(HWND list) {
        std::vector<std::wstring> names;
        for (int i = 0; list && i < static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, nullptr)); ++i) {
            wchar_t text[MAX_PATH] = {};
            LVITEMW item{};
            item.pszText = text;
            item.cchTextMax = MAX_PATH;
            Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i), &item);
            names.push_back(text);
        }
        return names;
    }

    static DWORD WINAPI Run(void* self) {
        auto& robot = *static_cast<PickerRobot*>(self);
        HWND picker = nullptr;
        for (int i = 0; i < 3000 && !picker; ++i) {
            ::Sleep(20);
            for (HWND w = nullptr; !picker && (w = ::FindWindowExW(nullptr, w, L"#32770", nullptr));)
                if (::GetWindow(w, GW_OWNER) == robot.owner && ::IsWindowVisible(w)) picker = w;
        }
        if (!picker) return 1;
        const HWND pathBox = ::GetDlgItem(picker, 1152);  // the file dialog's file name box (edt1)
        robot.fileDialog = pathBox && ::FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr) == nullptr;
        const HWND ok = ::GetDlgItem(picker, robot.folder.empty() ? IDCANCEL : IDOK);
        if (robot.fileDialog) {
            robot.sawTitle = WindowText(picker) == text::kPickerTitle;
            // The view fills as the dialog comes up; its names say which folder it opened at.
            for (int i = 0; i < 100 && robot.shown.empty(); ++i, ::Sleep(20)) robot.shown = Items(Find(Find(picker, L"SHELLDLL_DefView"), L"SysListView32"));
            Send(pathBox, WM_SETTEXT, 0, robot.folder.c_str());
        } else {
            const HWND tree = ::FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
            if (!tree) return 1;
            robot.sawTitle = ::FindWindowExW(picker, nullptr, L"Static", Widen(text::kPickerTitle).c_str()) != nullptr;
            // The picker fills and selects its tree as it starts up: what it settles on is where
            // it opened; then select until the folder stays selected.
            for (int i = 0; i < 50; ++i, ::Sleep(20)) robot.openedAt = SelectedText(tree);
            const std::wstring leaf = robot.folder.substr(robot.folder.rfind(L'\\') + 1);
            for (int i = 0; i < 500 && !robot.folder.empty() && SelectedText(tree) != leaf; ++i, ::Sleep(20))
                Send(picker, BFFM_SETSELECTIONW, TRUE, robot.folder.c_str());
        }
        ::PostMessageW(picker, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(ok), BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        return 0;
    }
};

// Browse through the picker seam, through the file dialog's folder picker (typing the folder
// into its path box) and through the older tree picker; then Fix files; then a second Browse,
// cancelled, whose picker opens at the root chosen the first time.
TEST(Win32EndToEnd, BrowseThenFixFiles) {
    enum class Picker { Seam, FileDialog, Tree };
    for (const Picker picker : {Picker::Seam, Picker::FileDialog, Picker::Tree}) {
        const bool realPicker = picker != Picker::Seam;
        SCOPED_TRACE(picker == Picker::Seam ? "through the picker seam" : picker == Picker::FileDialog ? "through the file dialog's picker" : "through the tree picker");
        // Version-4 files with the recoverable fault (one in a hidden folder, one named outside
        // the legacy code page), a version-3 file, a text file and a folder whose name ends in .olv.
        TempFolder root;
        std::vector<std::string> version4{root.Olv("a.olv", 4, true)};
        root.Folder("sub\\dir.olv");
        version4.push_back(root.Olv("sub\\B.OLV", 4, true));
        const std::string version3 = root.Olv("sub\\c.olv", 3), version3Bytes = ReadAll(version3);
        ::SetFileAttributesW(Widen(root.Folder("hidden")).c_str(), FILE_ATTRIBUTE_HIDDEN);
        version4.push_back(root.Olv("hidden\\d.olv", 4, true));
        root.Folder("\xc3\xbc\xe2\x82\xac");                                                  // "ü€"
        version4.push_back(root.Olv("\xc3\xbc\xe2\x82\xac\\\xf0\x9f\x98\x80.olv", 4, true));  // an emoji
        // A path too long for its column, which the list shows with its middle left out.
        const std::string deep = "customer-archive-2023\\measurements-north-site\\instrument-calibration"
                                 "\\second-quarter\\raw-exports";
        root.Folder(deep);
        version4.push_back(root.Olv(deep + "\\station-17-readings.olv", 4, true));
        WekWriteSample(root.Sub("notes.txt").c_str(), 4, {"x"}, false);
        for (const std::string& f : version4) EXPECT_NE(WekVerify(f.c_str()), WEK_OK) << "made with the fault";
        // The list control's rows (path -> version column): version 3 as "3", version 4 as given.
        const auto expectRows = [&](HWND dlg, const wchar_t* version4Text) {
            const HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
            std::map<std::string, std::wstring> rows, want{{version3, L"3"}};
            for (int i = 0; i < ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); ++i)
                rows[Narrow(ShownText(list, i, 0))] = ShownText(list, i, 1);
            for (const std::string& f : version4) want[f] = version4Text;
            EXPECT_EQ(rows, want);
        };

        DialogDriver driver;
        std::vector<std::string> titles;
        if (!realPicker)
            driver.app.Main().folderPickerForTest = [&](const std::string& title) {
                titles.push_back(title);
                return std::optional<std::string>(root.Path() + "\\");
            };
        driver.app.Main().treePickerForTest = picker == Picker::Tree;
        PickerRobot robot, again;
        robot.folder = Widen(root.Path());
        const int result = driver.Run({
            [&](HWND dlg) {
                robot.owner = dlg;
                const HANDLE thread = realPicker ? ::CreateThread(nullptr, 0, PickerRobot::Run, &robot, 0, nullptr) : nullptr;
                ASSERT_TRUE(thread || !realPicker);
                Click(::GetDlgItem(dlg, IDC_BROWSE));  // returns after the picker, search and summary
                if (thread) {
                    ::WaitForSingleObject(thread, INFINITE);
                    ::CloseHandle(thread);
                }
                // The rows below show that the folder chosen was searched.
                EXPECT_EQ(realPicker, robot.sawTitle);
                EXPECT_EQ(robot.fileDialog, picker == Picker::FileDialog);
                EXPECT_EQ(titles, std::vector<std::string>(realPicker ? 0 : 1, text::kPickerTitle));
            },
            [&](HWND dlg) {
                EXPECT_EQ(driver.boxes, std::vector<std::string>{std::string(text::kAppName) +
                                                                 "\nSearch complete.  5 version 4 .olv files were found.\n[button]"});
                expectRows(dlg, L"4");
                Click(::GetDlgItem(dlg, IDOK));
            },
            [&](HWND dlg) {
                expectRows(dlg, L"4 - resaved");
                EXPECT_EQ(driver.boxes.size(), 1u) << "no failure summary";
                for (const std::string& f : version4) EXPECT_EQ(WekVerify(f.c_str()), WEK_OK) << f;
                EXPECT_EQ(ReadAll(version3), version3Bytes);
                EXPECT_EQ(Names(root.Sub("sub")), (std::set<std::string>{"B.OLV", "c.olv", "dir.olv"}));
                if (!realPicker) return;
                // Browse again: the picker opens at the root chosen last (its view shows what
                // that folder holds; the tree has it selected). Cancelled, it changes nothing.
                again.owner = dlg;
                const HANDLE thread = ::CreateThread(nullptr, 0, PickerRobot::Run, &again, 0, nullptr);
                Click(::GetDlgItem(dlg, IDC_BROWSE));
                ::WaitForSingleObject(thread, INFINITE);
                ::CloseHandle(thread);
                if (picker == Picker::FileDialog)
                    EXPECT_NE(std::find(again.shown.begin(), again.shown.end(), L"customer-archive-2023"), again.shown.end());
                else
                    EXPECT_EQ(Narrow(again.openedAt), root.Path().substr(root.Path().rfind('\\') + 1));
                expectRows(dlg, L"4 - resaved");
            },
            [&](HWND dlg) {
                // A picture of the finished dialog for a person to look at.
                const char* shot = std::getenv("QUORVEL_SCREENSHOT");
                EXPECT_TRUE(!shot || SaveScreenshot(dlg, shot));
                PostKey(dlg, VK_ESCAPE);
            }});
        EXPECT_EQ(result, IDCANCEL);
    }
}

}  // namespace
}  // namespace quorvel::test
