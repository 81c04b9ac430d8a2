// The UTF-8/UTF-16 edge, long paths and directory enumeration on Windows.

#include <gtest/gtest.h>

#include <cstdlib>

#include "filelib/WekVerify.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/WinPath.h"
#include "tests/win32/DialogDriver.h"
#include "tests/win32/TempFolder.h"
#include "ui/resource.h"

namespace quorvel::test {
namespace {

using win32::FromWin32Path;
using win32::Narrow;
using win32::ToWin32Path;
using win32::Widen;

TEST(Win32Text, NarrowAndWidenKeepEveryWindowsName) {
    const struct {
        std::wstring wide;
        std::string bytes;
    } cases[] = {
        {L"", ""},
        {L"plain.olv", "plain.olv"},
        {L"caf\u00e9 \u20ac", "caf\xc3\xa9 \xe2\x82\xac"},
        {L"\xD83D\xDE00", "\xf0\x9f\x98\x80"},            // a pair: one four-byte sequence
        {std::wstring(L"a") + wchar_t(0xD800), "a\xed\xa0\x80"},  // unpaired surrogates keep
        {std::wstring(1, wchar_t(0xDC00)) + L"z", "\xed\xb0\x80z"},  // their three-byte form
        {std::wstring{wchar_t(0xDC00), wchar_t(0xD800)}, "\xed\xb0\x80\xed\xa0\x80"},
        {L"\uFFFF\u0080", "\xef\xbf\xbf\xc2\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Narrow(c.wide), c.bytes);
        EXPECT_EQ(Widen(c.bytes), c.wide);
    }
}

TEST(Win32Text, WidenMarksBytesThatAreNotWtf8) {
    const struct {
        std::string bytes;
        std::wstring wide;
    } cases[] = {
        {"a\xff", L"a\uFFFD"},
        {"\xc0\xaf", L"\uFFFD\uFFFD"},            // overlong "/"
        {"\xe2\x82", L"\uFFFD\uFFFD"},            // cut short
        {"\xf4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
        {"\x80x", L"\uFFFDx"},
    };
    for (const auto& c : cases) EXPECT_EQ(Widen(c.bytes), c.wide) << c.bytes;
}

TEST(Win32Path, LongPathsTakeThePrefixedForm) {
    const std::string longName(300, 'n');
    EXPECT_EQ(ToWin32Path("C:\\short\\a.olv"), L"C:\\short\\a.olv");
    EXPECT_EQ(ToWin32Path("C:\\x\\" + longName), L"\\\\?\\C:\\x\\" + Widen(longName));
    EXPECT_EQ(ToWin32Path("C:/x/y/../" + longName), L"\\\\?\\C:\\x\\" + Widen(longName));
    EXPECT_EQ(ToWin32Path("\\\\server\\share\\" + longName), L"\\\\?\\UNC\\server\\share\\" + Widen(longName));
    EXPECT_EQ(ToWin32Path("\\\\?\\C:\\" + longName), L"\\\\?\\C:\\" + Widen(longName));

    EXPECT_EQ(FromWin32Path(L"\\\\?\\C:\\x\\a.olv"), "C:\\x\\a.olv");
    EXPECT_EQ(FromWin32Path(L"\\\\?\\UNC\\server\\share\\a"), "\\\\server\\share\\a");
    EXPECT_EQ(FromWin32Path(L"\\\\?\\C:\\" + Widen(longName)), "\\\\?\\C:\\" + longName);
    EXPECT_EQ(FromWin32Path(L"\\\\?\\Volume{1}\\a"), "\\\\?\\Volume{1}\\a");
}

// The entries of a folder as enumeration returns them: name -> is a folder.
std::map<std::string, bool> Entries(const std::string& folder, FolderIdentity* id = nullptr) {
    win32::Win32FileSystem fs;
    std::map<std::string, bool> entries;
    std::unique_ptr<IFolderEnum> e = fs.OpenFolder(folder);
    EXPECT_TRUE(e) << folder;
    if (!e) return entries;
    if (id) *id = e->Identity();
    for (FolderEntry entry; e->Next(entry);) entries[entry.name] = entry.isFolder;
    return entries;
}

TEST(Win32FileSystem, ListsHiddenAndSystemEntriesAndTellsFoldersFromFiles) {
    TempFolder tmp;
    tmp.Olv("a.olv", 4);
    tmp.Olv("hidden.olv", 4);
    tmp.Olv("system.olv", 4);
    ::SetFileAttributesW(ToWin32Path(tmp.Sub("hidden.olv")).c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW(ToWin32Path(tmp.Sub("system.olv")).c_str(), FILE_ATTRIBUTE_SYSTEM);
    tmp.Folder("dir.olv");
    ::SetFileAttributesW(ToWin32Path(tmp.Folder("secret")).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    tmp.Olv("\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80.olv", 3);
    const std::map<std::string, bool> want{{".", true},           {"..", true},          {"a.olv", false},
                                           {"hidden.olv", false}, {"system.olv", false}, {"dir.olv", true},
                                           {"secret", true},      {"\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80.olv", false}};
    EXPECT_EQ(Entries(tmp.Path()), want);

    win32::Win32FileSystem fs;
    EXPECT_FALSE(fs.OpenFolder(tmp.Sub("missing")));
    EXPECT_FALSE(fs.OpenFolder(tmp.Sub("a.olv"))) << "a file is not a folder";
    EXPECT_TRUE(fs.OpenFolder("C:")) << "a drive letter alone means its root";
    EXPECT_EQ(Entries("C:").count("windows"), 1u);
}

TEST(Win32FileSystem, IdentityBelongsToTheFolderNotItsSpelling) {
    TempFolder tmp;
    tmp.Folder("one\\two");
    FolderIdentity a, b, c, other;
    Entries(tmp.Sub("one"), &a);
    Entries(tmp.Sub("one\\two\\.."), &b);
    Entries(tmp.Sub("ONE"), &c);
    Entries(tmp.Sub("one\\two"), &other);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_NE(a, other);
}

TEST(Win32FileSystem, WorksBeyondMaxPath) {
    TempFolder tmp;
    std::string rel = "level" + std::string(90, 'd');
    tmp.Folder(rel);
    while (tmp.Sub(rel).size() < 600) {
        rel += "\\level" + std::string(90, 'd');
        tmp.Folder(rel);
    }
    const std::string deep = tmp.Olv(rel + "\\deep.olv", 4);
    ASSERT_GT(deep.size(), 600u);
    EXPECT_EQ(Entries(tmp.Sub(rel)), (std::map<std::string, bool>{{".", true}, {"..", true}, {"deep.olv", false}}));
}

// Windows makes folder links only with developer mode or privileges, and Wine not at all,
// so scripts/test_windows.sh makes a Unix link in the prefix, tree\inner\up -> tree, and names
// the folder holding tree in QUORVEL_LINK_FIXTURE; Wine shows such a link as a folder link.
TEST(Win32FileSystem, ALinkBackToAnAncestorIsRecognisedAndNotWalkedAgain) {
    TempFolder tmp;
    std::string tree = tmp.Folder("tree");
    tmp.Folder("tree\\inner");
    ::CreateSymbolicLinkW(ToWin32Path(tmp.Sub("tree\\inner\\up")).c_str(), ToWin32Path(tree).c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (const char* fixture = std::getenv("QUORVEL_LINK_FIXTURE")) tree = std::string(fixture) + "\\tree";
    if (Attributes(tree + "\\inner\\up") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no folder links on this system";
    WekWriteSample((tree + "\\a.olv").c_str(), 4, {"r"}, true);
    FolderIdentity top, loop;
    Entries(tree, &top);
    EXPECT_EQ(Entries(tree + "\\inner", nullptr).at("up"), true);
    Entries(tree + "\\inner\\up", &loop);
    EXPECT_EQ(top, loop);

    DialogDriver driver;
    driver.app.Main().folderPickerForTest = [&](const std::string&) { return std::optional<std::string>(tree); };
    driver.Run({[](HWND dlg) { Click(::GetDlgItem(dlg, IDC_BROWSE)); },
                [&](HWND dlg) {
                    const HWND list = ::GetDlgItem(dlg, IDC_FILE_LIST);
                    ASSERT_EQ(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 1);
                    EXPECT_EQ(Narrow(ShownText(list, 0, 0)), tree + "\\a.olv");
                    PostKey(dlg, VK_ESCAPE);
                }});
}

}  // namespace
}  // namespace quorvel::test
