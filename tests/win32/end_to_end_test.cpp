// End to end in the real window on a real tree: Browse (through the picker seam, and once
// through the real shell folder picker driven from a second thread), the summary message box
// read from the screen, Fix files, the rows, and the repaired files themselves.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "filelib/WekVerify.h"
#include "platform/win32/WinPath.h"
#include "tests/win32/DialogDriver.h"
#include "tests/win32/TempFolder.h"
#include "ui/Texts.h"
#include "ui/resource.h"

namespace quorvel::test {
namespace {

using win32::Widen;

// Version-4 files with the recoverable fault (one in a hidden folder, one named outside the
// legacy code page), a version-3 file, a text file and a folder whose name ends in .olv.
struct Tree {
    TempFolder root;
    std::vector<std::string> version4;
    std::string version3;
    Tree() {
        version4.push_back(root.Olv("a.olv", 4, true));
        root.Folder("sub\\dir.olv");
        version4.push_back(root.Olv("sub\\B.OLV", 4, true));
        version3 = root.Olv("sub\\c.olv", 3);
        const std::string hidden = root.Folder("hidden");
        ::SetFileAttributesW(Widen(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN);
        version4.push_back(root.Olv("hidden\\d.olv", 4, true));
        root.Folder("\xc3\xbc\xe2\x82\xac");                                   // "ü€"
        version4.push_back(root.Olv("\xc3\xbc\xe2\x82\xac\\\xf0\x9f\x98\x80.olv", 4, true));  // an emoji
        WekWriteSample(root.Sub("notes.txt").c_str(), 4, {"x"}, false);
        for (const std::string& f : version4) EXPECT_NE(WekVerify(f.c_str()), WEK_OK) << "made with the fault";
    }
};

// Path -> column-1 text, as the list control shows them.
std::map<std::string, std::wstring> ShownRows(HWND dlg) {
    const HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
    std::map<std::string, std::wstring> rows;
    const int n = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) rows[win32::Narrow(ShownText(list, i, 0))] = ShownText(list, i, 1);
    return rows;
}

// The steps after Browse: the summary box, the analysed rows, Fix files, the repaired files.
std::vector<DialogDriver::Step> CheckSummaryAndFix(DialogDriver& driver, const Tree& tree) {
    return {
        [&](HWND dlg) {
            ASSERT_EQ(driver.boxes.size(), 1u);
            EXPECT_EQ(driver.boxes[0].caption, text::kAppName);
            EXPECT_EQ(driver.boxes[0].text, "Search complete.  4 version 4 .olv files were found.");
            EXPECT_EQ(driver.boxes[0].buttons, 1);
            EXPECT_FALSE(driver.boxes[0].hasIcon);
            std::map<std::string, std::wstring> want{{tree.version3, L"3"}};
            for (const std::string& f : tree.version4) want[f] = L"4";
            EXPECT_EQ(ShownRows(dlg), want);
            EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dlg, IDOK)));
            EXPECT_EQ(::SendMessageW(::GetDlgItem(dlg, IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 4);
            Click(::GetDlgItem(dlg, IDOK));
        },
        [&](HWND dlg) {
            std::map<std::string, std::wstring> want{{tree.version3, L"3"}};
            for (const std::string& f : tree.version4) want[f] = L"4 - resaved";
            EXPECT_EQ(ShownRows(dlg), want);
            EXPECT_EQ(::SendMessageW(::GetDlgItem(dlg, IDC_PROGRESS), PBM_GETPOS, 0, 0), 4);
            EXPECT_EQ(driver.boxes.size(), 1u) << "no failure summary";
            for (const std::string& f : tree.version4) EXPECT_EQ(WekVerify(f.c_str()), WEK_OK) << f;
            EXPECT_EQ(Names(tree.root.Sub("sub")), (std::set<std::string>{"B.OLV", "c.olv", "dir.olv"}));
            // A picture of the finished dialog for a person to look at.
            if (const char* shot = std::getenv("QUORVEL_SCREENSHOT")) {
                EXPECT_TRUE(SaveScreenshot(dlg, shot));
            }
            PostKey(dlg, VK_ESCAPE);
        }};
}

TEST(Win32EndToEnd, BrowseThroughTheSeamThenFixFiles) {
    Tree tree;
    const std::string version3Before = ReadAll(tree.version3);
    DialogDriver driver;
    std::vector<std::string> titles;
    driver.app.Main().folderPickerForTest = [&](const std::string& title) {
        titles.push_back(title);
        return std::optional<std::string>(tree.root.Path() + "\\");
    };
    std::vector<DialogDriver::Step> steps{[&](HWND dlg) { Click(::GetDlgItem(dlg, IDC_BROWSE)); }};
    for (auto& step : CheckSummaryAndFix(driver, tree)) steps.push_back(step);
    EXPECT_EQ(driver.Run(steps), IDCANCEL);
    EXPECT_EQ(titles, std::vector<std::string>{text::kPickerTitle});
    EXPECT_EQ(ReadAll(tree.version3), version3Before);
}

// Finds the shell's folder picker owned by the main dialog, selects a folder in it the way
// its own callers do (BFFM_SETSELECTIONW) and presses OK; records the picker's texts.
struct PickerRobot {
    HWND owner;
    std::wstring folder;
    std::vector<std::string> texts;
    bool pressedOk = false;

    static DWORD WINAPI Run(void* self) {
        auto* robot = static_cast<PickerRobot*>(self);
        HWND picker = nullptr;
        for (int i = 0; i < 3000 && !picker; ++i) {
            picker = robot->Find();
            if (!picker) ::Sleep(20);
        }
        if (!picker) return 1;
        for (HWND c = ::GetWindow(picker, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
            wchar_t text[512] = {};
            DWORD_PTR n = 0;
            ::SendMessageTimeoutW(c, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 30000, &n);
            robot->texts.push_back(win32::Narrow(text));
        }
        // The picker fills and selects its tree as it starts up; select until the folder stays selected.
        const HWND tree = ::FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
        const std::wstring leaf = robot->folder.substr(robot->folder.rfind(L'\\') + 1);
        for (int i = 0; i < 500 && SelectedText(tree) != leaf; ++i) {
            DWORD_PTR result = 0;
            ::SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(robot->folder.c_str()),
                                  SMTO_NORMAL, 30000, &result);
            ::Sleep(20);
        }
        robot->pressedOk = ::PostMessageW(picker, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                                          reinterpret_cast<LPARAM>(::GetDlgItem(picker, IDOK)));
        return 0;
    }

    static std::wstring SelectedText(HWND tree) {
        DWORD_PTR item = 0;
        ::SendMessageTimeoutW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, SMTO_NORMAL, 30000, &item);
        wchar_t text[MAX_PATH] = {};
        TVITEMW tv{};
        tv.mask = TVIF_TEXT;
        tv.hItem = reinterpret_cast<HTREEITEM>(item);
        tv.pszText = text;
        tv.cchTextMax = MAX_PATH;
        DWORD_PTR ok = 0;
        if (item) ::SendMessageTimeoutW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv), SMTO_NORMAL, 30000, &ok);
        return text;
    }

    HWND Find() const {
        HWND search[2] = {owner, nullptr};  // owner, found
        ::EnumWindows(Match, reinterpret_cast<LPARAM>(search));
        return search[1];
    }

    static BOOL CALLBACK Match(HWND h, LPARAM p) {
        HWND* search = reinterpret_cast<HWND*>(p);
        if (::GetWindow(h, GW_OWNER) == search[0] && ::IsWindowVisible(h) &&
            ::FindWindowExW(h, nullptr, L"SysTreeView32", nullptr))
            search[1] = h;
        return !search[1];
    }
};

TEST(Win32EndToEnd, BrowseThroughTheRealShellFolderPicker) {
    Tree tree;
    DialogDriver driver;
    PickerRobot robot{nullptr, Widen(tree.root.Path()), {}, false};
    std::vector<DialogDriver::Step> steps{[&](HWND dlg) {
        robot.owner = dlg;
        const HANDLE thread = ::CreateThread(nullptr, 0, PickerRobot::Run, &robot, 0, nullptr);
        ASSERT_TRUE(thread);
        Click(::GetDlgItem(dlg, IDC_BROWSE));  // returns after the picker, search and summary
        ::WaitForSingleObject(thread, INFINITE);
        ::CloseHandle(thread);
        EXPECT_TRUE(robot.pressedOk);
        EXPECT_NE(std::find(robot.texts.begin(), robot.texts.end(), text::kPickerTitle), robot.texts.end());
        EXPECT_EQ(::CompareStringOrdinal(Widen(driver.dlg->RootDir()).c_str(), -1, robot.folder.c_str(), -1, TRUE),
                  CSTR_EQUAL)
            << driver.dlg->RootDir();
    }};
    for (auto& step : CheckSummaryAndFix(driver, tree)) steps.push_back(step);
    EXPECT_EQ(driver.Run(steps), IDCANCEL);
}

}  // namespace
}  // namespace quorvel::test
