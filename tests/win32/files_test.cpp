// Windows file handling: the UTF-8/UTF-16 edge, long paths, directory enumeration, and the file
// library's save and read.

#include <cstdlib>
#include <map>

#include "filelib/WekFile.h"
#include "platform/win32/Win32FileSystem.h"
#include "tests/win32/Support.h"

#include <aclapi.h>
#include <sddl.h>

namespace quorvel::test {
namespace {

using namespace win32;

TEST(Win32Text, NarrowAndWidenKeepEveryWindowsNameAndMarkOtherBytes) {
    const struct {
        std::wstring wide;
        std::string bytes;
        bool roundTrip;  // false: the bytes are not WTF-8, and only Widen applies
    } cases[] = {
        {L"", "", true},
        {L"caf\u00e9 \u20ac.olv", "caf\xc3\xa9 \xe2\x82\xac.olv", true},
        {L"\xD83D\xDE00", "\xf0\x9f\x98\x80", true},  // a pair: one four-byte sequence
        // Unpaired surrogates keep their three-byte form.
        {std::wstring{wchar_t(0xD800), L'z'}, "\xed\xa0\x80z", true},
        {std::wstring{wchar_t(0xDC00), wchar_t(0xD800)}, "\xed\xb0\x80\xed\xa0\x80", true},
        {L"\uFFFF\u0080", "\xef\xbf\xbf\xc2\x80", true},
        {L"a\uFFFD", "a\xff", false},
        {L"\uFFFD\uFFFD", "\xc0\xaf", false},                      // overlong "/"
        {L"\uFFFD\uFFFD", "\xe2\x82", false},                      // cut short
        {L"\uFFFD\uFFFD\uFFFD\uFFFD", "\xf4\x90\x80\x80", false},  // beyond U+10FFFF
        {L"\uFFFDx", "\x80x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Widen(c.bytes), c.wide) << c.bytes;
        if (c.roundTrip) {
            EXPECT_EQ(Narrow(c.wide), c.bytes);
        }
    }
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
std::map<std::string, bool> Entries(const std::string& folder, FileIdentity* id = nullptr) {
    std::map<std::string, bool> entries;
    std::unique_ptr<IFolder> f = Win32FileSystem().OpenFolder(folder).folder;
    EXPECT_TRUE(f) << folder;
    if (id && f) *id = f->Identity();
    std::vector<FolderEntry> read;
    if (f) {
        EXPECT_EQ(f->ReadEntries(read), FolderProblem::None) << folder;
    }
    for (const FolderEntry& entry : read) entries[entry.name] = entry.isFolder;
    return entries;
}

TEST(Win32FileSystem, ListsHiddenAndSystemEntriesAndIdentifiesFoldersNotSpellings) {
    TempFolder tmp;
    tmp.Olv("a.olv", 4);
    ::SetFileAttributesW(ToWin32Path(tmp.Olv("hidden.olv", 4)).c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesW(ToWin32Path(tmp.Olv("system.olv", 4)).c_str(), FILE_ATTRIBUTE_SYSTEM);
    tmp.Folder("dir.olv\\inner");
    ::SetFileAttributesW(ToWin32Path(tmp.Folder("secret")).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    const std::string emoji = "\xc3\xbc\xe2\x82\xac\xf0\x9f\x98\x80.olv";
    tmp.Olv(emoji, 3);
    EXPECT_EQ(Entries(tmp.Path()), (std::map<std::string, bool>{{"a.olv", false},
                                                                 {"hidden.olv", false}, {"system.olv", false},
                                                                 {"dir.olv", true}, {"secret", true}, {emoji, false}}));
    FileIdentity a, b, c, other;
    Entries(tmp.Sub("dir.olv"), &a);
    Entries(tmp.Sub("dir.olv\\inner\\.."), &b);
    Entries(tmp.Sub("DIR.OLV"), &c);
    Entries(tmp.Sub("dir.olv\\inner"), &other);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    EXPECT_NE(a, other);
    EXPECT_FALSE(Win32FileSystem().OpenFolder(tmp.Sub("missing")).folder);
    EXPECT_FALSE(Win32FileSystem().OpenFolder(tmp.Sub("a.olv")).folder) << "a file is not a folder";
    EXPECT_EQ(Entries("C:").count("windows"), 1u) << "a drive letter alone means its root";

    const std::string deep = std::string(200, 'd') + "\\" + std::string(200, 'e') + "\\" + std::string(200, 'f');
    tmp.Folder(deep);
    tmp.Olv(deep + "\\deep.olv", 4);
    EXPECT_EQ(Entries(tmp.Sub(deep)), (std::map<std::string, bool>{{"deep.olv", false}}));
    // Opened by name inside its parent, as the walk opens every folder beneath the root.
    std::unique_ptr<IFolder> parent = Win32FileSystem().OpenFolder(tmp.Sub(deep.substr(0, 401))).folder;
    ASSERT_TRUE(parent);
    std::unique_ptr<IFolder> child = parent->OpenFolder(std::string(200, 'f'), Links::Follow).folder;
    ASSERT_TRUE(child);
    FileIdentity direct;
    Entries(tmp.Sub(deep), &direct);
    EXPECT_EQ(child->Identity(), direct);
    EXPECT_FALSE(parent->OpenFolder("missing", Links::Follow).folder);
}

// Windows makes folder links only with developer mode or privileges, and Wine not at all,
// so scripts/test_windows.sh makes a Unix link in the prefix, tree\inner\up -> tree, and names
// the folder holding tree in QUORVEL_LINK_FIXTURE; Wine shows such a link as a folder link.
TEST(Win32FileSystem, ALinkBackToAnAncestorHasTheAncestorsIdentity) {
    TempFolder tmp;
    std::string tree = tmp.Folder("tree\\inner").substr(0, tmp.Sub("tree").size());
    ::CreateSymbolicLinkW(ToWin32Path(tmp.Sub("tree\\inner\\up")).c_str(), ToWin32Path(tree).c_str(),
                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (const char* fixture = std::getenv("QUORVEL_LINK_FIXTURE")) tree = std::string(fixture) + "\\tree";
    if (Attributes(tree + "\\inner\\up") == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no folder links on this system";
    FileIdentity top, loop;
    Entries(tree, &top);
    EXPECT_EQ(Entries(tree + "\\inner").at("up"), true);
    Entries(tree + "\\inner\\up", &loop);
    EXPECT_EQ(top, loop);
}

// The program's repair of `path`: load, save as version 4.
int Repair(const std::string& path) {
    CWekFile f;
    const int loaded = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
    return loaded == WEK_OK ? f.Save(path.c_str(), nullptr, nullptr, nullptr, 4) : loaded;
}

TEST(Win32Save, FailuresKeepTheOriginalSuccessKeepsItsAttributesAccessListAndCreationTime) {
    for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_NORMAL}, DWORD{FILE_ATTRIBUTE_HIDDEN}, DWORD{FILE_ATTRIBUTE_SYSTEM},
                             DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED},
                             DWORD{FILE_ATTRIBUTE_READONLY}}) {
        SCOPED_TRACE(attributes);
        // In a long folder with a non-ASCII name: a file with the recoverable fault, these
        // attributes, an old creation time and a protected access list of our own.
        TempFolder tmp;
        const std::string rel = "\xc3\xbc" + std::string(200, 'd') + "\\" + std::string(200, 'e');
        const std::string name = "\xe2\x82\xac\xf0\x9f\x98\x80.olv";
        tmp.Folder(rel);
        const std::string path = tmp.Olv(rel + "\\" + name, 4, true), bytes = ReadAll(path);
        const std::wstring wide = ToWin32Path(path);
        const FILETIME old{0x12345600u, 0x01C00000u};
        const HANDLE h = ::CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ::SetFileTime(h, &old, nullptr, nullptr);
        ::CloseHandle(h);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)(A;;FR;;;BU)", SDDL_REVISION_1, &sd, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        ::SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        ::LocalFree(sd);
        ASSERT_TRUE(::SetFileAttributesW(wide.c_str(), attributes));
        // The attributes a save keeps, whether the creation time is the old one, the access list.
        // Wine stores neither creation times nor the not-indexed bit; what was stored is kept.
        const auto state = [&] {
            WIN32_FILE_ATTRIBUTE_DATA info{};
            ::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &info);
            PSECURITY_DESCRIPTOR current = nullptr;
            LPWSTR acl = nullptr;
            if (::GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        nullptr, nullptr, &current) == ERROR_SUCCESS)
                ::ConvertSecurityDescriptorToStringSecurityDescriptorW(current, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &acl, nullptr);
            const std::wstring text = acl ? acl : L"(unreadable)";
            ::LocalFree(acl);
            ::LocalFree(current);
            return std::tuple(info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED),
                              ::CompareFileTime(&info.ftCreationTime, &old) == 0, text);
        };
        const auto before = state();
        EXPECT_EQ(std::get<0>(before) & ~DWORD{FILE_ATTRIBUTE_NOT_CONTENT_INDEXED}, attributes & ~DWORD{FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED});
        // A read-only file is refused before any stage; the last pass, without a failure, saves.
        const bool readOnly = attributes == FILE_ATTRIBUTE_READONLY;
        for (WekSaveStage stage : {WEK_STAGE_CREATE, WEK_STAGE_WRITE, WEK_STAGE_PERMISSIONS, WEK_STAGE_FSYNC,
                                   WEK_STAGE_RENAME, WEK_STAGE_NONE}) {
            SCOPED_TRACE(stage);
            WekSetSaveFailureForTest(stage);
            EXPECT_EQ(Repair(path), readOnly ? WEK_ERR_READ_ONLY : stage == WEK_STAGE_NONE ? WEK_OK : WEK_ERR_WRITE);
            WekSetSaveFailureForTest(WEK_STAGE_NONE);
            EXPECT_EQ(ReadAll(path) == bytes, readOnly || stage != WEK_STAGE_NONE);
            EXPECT_EQ(state(), before);
            EXPECT_EQ(Names(tmp.Sub(rel)), std::set<std::string>{name});
        }
        EXPECT_EQ(WekVerify(path.c_str()) == WEK_OK, !readOnly);
    }
}

TEST(Win32Save, SavingAndReadingRefuseWhatIsNotAFile) {
    TempFolder tmp;
    const std::string path = tmp.Olv("f.olv", 4, true);
    CWekFile f;
    ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    EXPECT_EQ(f.Save(tmp.Sub("missing\\f.olv").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
    EXPECT_EQ(f.Save(tmp.Path().c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE) << "a folder";
    EXPECT_EQ(Names(tmp.Path()), std::set<std::string>{"f.olv"});
    for (const std::string& p : {tmp.Path(), std::string("\\\\.\\NUL"), std::string("NUL"), tmp.Sub("none.olv")}) {
        f.m_nQuickFlag = 1;
        EXPECT_EQ(f.LoadQuick(p.c_str(), nullptr, 0), WEK_ERR_OPEN) << p;
        EXPECT_EQ(f.GetSimpleVersion(), -1) << p;
    }
}

TEST(Win32Save, WritesThroughALinkAndKeepsIt) {
    TempFolder tmp;
    const std::string target = tmp.Olv("real.olv", 4, true), link = tmp.Sub("link.olv");
    // Wine makes no Windows file links; Windows needs developer mode or privileges for them.
    ::CreateSymbolicLinkW(ToWin32Path(link).c_str(), L"real.olv", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (Attributes(link) == INVALID_FILE_ATTRIBUTES || !(Attributes(link) & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no file links on this system";
    ASSERT_EQ(Repair(link), WEK_OK);
    EXPECT_TRUE(Attributes(link) & FILE_ATTRIBUTE_REPARSE_POINT) << "still a link";
    EXPECT_EQ(WekVerify(target.c_str()), WEK_OK);
    EXPECT_EQ(Names(tmp.Path()), (std::set<std::string>{"link.olv", "real.olv"}));
}

// The file index and link count of `path`; {0, 0} when it cannot be opened.
std::pair<ULONGLONG, DWORD> IndexAndLinks(const std::string& path) {
    const HANDLE h = ::CreateFileW(ToWin32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = h != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(h, &info);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!ok) return {0, 0};
    return {(ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow, info.nNumberOfLinks};
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(ToWin32Path(path).c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST(Win32Save, AFileWithHardLinksIsRewrittenInPlaceAndFailuresPutItBack) {
    const struct {
        const char* what;
        std::vector<WekSaveStage> stages;
        bool copyInTheWay;
        int status;
    } cases[] = {
        {"nothing fails", {}, false, WEK_OK},
        {"the copy cannot be written", {WEK_STAGE_COPY}, false, WEK_ERR_NO_COPY},
        {"the rewrite fails halfway", {WEK_STAGE_OVERWRITE}, false, WEK_ERR_WRITE},
        {"the rewrite and the putting back fail", {WEK_STAGE_OVERWRITE, WEK_STAGE_RESTORE}, false, WEK_ERR_SEE_COPY},
        {"an earlier copy is in the way", {}, true, WEK_ERR_NO_COPY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder tmp;
        const std::string path = tmp.Olv("f.olv", 4, true), other = tmp.Sub("other.olv"), copy = tmp.Sub("f.olv.olvkeep");
        if (!::CreateHardLinkW(ToWin32Path(other).c_str(), ToWin32Path(path).c_str(), nullptr))
            GTEST_SKIP() << "no hard links on this system (error " << ::GetLastError() << ")";
        if (c.copyInTheWay) WriteAll(copy, "an earlier copy");
        const auto before = IndexAndLinks(path);
        ASSERT_EQ(before.second, 2u);
        const std::string bytes = ReadAll(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        for (WekSaveStage stage : c.stages) WekAddSaveFailureForTest(stage);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), c.status);
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        EXPECT_EQ(IndexAndLinks(path), before) << "the same file, still with both names";
        EXPECT_EQ(ReadAll(other), ReadAll(path));
        std::set<std::string> names = {"f.olv", "other.olv"};
        if (c.status == WEK_OK) {
            EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        } else if (c.status == WEK_ERR_SEE_COPY) {
            EXPECT_EQ(ReadAll(copy), bytes);
            names.insert("f.olv.olvkeep");
        } else {
            EXPECT_EQ(ReadAll(path), bytes);
        }
        if (c.copyInTheWay) {
            EXPECT_EQ(ReadAll(copy), "an earlier copy");
            names.insert("f.olv.olvkeep");
        }
        EXPECT_EQ(Names(tmp.Path()), names);
    }
}

TEST(Win32Save, ALoadedFileCannotBeSwappedUntilItIsSaved) {
    TempFolder tmp;
    const std::string path = tmp.Olv("f.olv", 4, true), aside = tmp.Sub("aside.olv");
    const std::wstring wide = ToWin32Path(path);
    {
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        // Loaded, the file may be read and written but not deleted or renamed by others.
        EXPECT_FALSE(::DeleteFileW(wide.c_str()));
        EXPECT_EQ(::GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
        EXPECT_FALSE(::MoveFileExW(wide.c_str(), ToWin32Path(aside).c_str(), 0));
        CWekFile probe;
        probe.m_nQuickFlag = 1;
        EXPECT_EQ(probe.LoadQuick(path.c_str(), nullptr, 0), WEK_OK);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
        EXPECT_FALSE(::DeleteFileW(wide.c_str())) << "the saved file is held for the next save";
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    }
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    // Another path is looked up at the save and rewritten as it is then.
    CWekFile f;
    ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    const std::string other = tmp.Olv("other.olv", 5);
    EXPECT_EQ(f.Save(other.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    EXPECT_EQ(Names(tmp.Path()), (std::set<std::string>{"f.olv", "other.olv"}));
}

// This process's user, as an SDDL SID string.
std::wstring OwnSid() {
    HANDLE token = nullptr;
    std::wstring sid;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    LPWSTR text = nullptr;
    if (size && ::GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
        ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text))
        sid = text;
    ::LocalFree(text);
    ::CloseHandle(token);
    return sid;
}

// True when no one gets more from the access list of `copy` than from that of `original`: every
// right an entry of the copy allows, the original allows the same trustee.
bool NoMoreOpen(const std::string& copy, const std::string& original) {
    const auto acl = [](const std::string& path, PSECURITY_DESCRIPTOR& sd) {
        PACL dacl = nullptr;
        if (::GetNamedSecurityInfoW(ToWin32Path(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
            return static_cast<PACL>(nullptr);
        return dacl;
    };
    PSECURITY_DESCRIPTOR copySd = nullptr, originalSd = nullptr;
    const PACL copyAcl = acl(copy, copySd), originalAcl = acl(original, originalSd);
    bool ok = copyAcl && originalAcl;
    for (DWORD i = 0; ok && i < copyAcl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(copyAcl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        ACCESS_MASK allowed = 0;
        for (DWORD k = 0; k < originalAcl->AceCount; ++k) {
            ACCESS_ALLOWED_ACE* other = nullptr;
            if (::GetAce(originalAcl, k, reinterpret_cast<void**>(&other)) && other->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                ::EqualSid(&other->SidStart, &ace->SidStart))
                allowed |= other->Mask;
        }
        ok = (ace->Mask & ~allowed) == 0;
    }
    ::LocalFree(copySd);
    ::LocalFree(originalSd);
    return ok;
}

// The access list of `path` in SDDL, or "(unreadable)".
std::wstring AccessList(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    LPWSTR text = nullptr;
    if (::GetNamedSecurityInfoW(ToWin32Path(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                nullptr, nullptr, &sd) == ERROR_SUCCESS)
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring result = text ? text : L"(unreadable)";
    ::LocalFree(text);
    ::LocalFree(sd);
    return result;
}

TEST(Win32Save, TheCopyIsNoMoreOpenChangesSinceTheLoadAreKeptAndWhatDoesNotReadBackIsNotUsed) {
    enum class Event { None, WriteBeforeTheSave, WriteAtTheLastChecks, Damage };
    const struct {
        const char* what;
        bool inPlace;  // a second hard link makes the save rewrite in place
        Event event;
        int status;
    } cases[] = {
        {"the copy is no more open than the file", true, Event::None, WEK_OK},
        {"written by another program after the load", false, Event::WriteBeforeTheSave, WEK_ERR_CHANGED},
        {"written by another program after the load, in place", true, Event::WriteBeforeTheSave, WEK_ERR_CHANGED},
        {"written just before the replace", false, Event::WriteAtTheLastChecks, WEK_ERR_CHANGED},
        // A rewrite in place holds the file without write sharing: the other program must wait.
        {"written during the rewrite in place", true, Event::WriteAtTheLastChecks, WEK_OK},
        {"the new file does not read back", false, Event::Damage, WEK_ERR_READ_BACK},
        {"the rewrite in place does not read back", true, Event::Damage, WEK_ERR_READ_BACK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder tmp;
        const std::string path = tmp.Olv("f.olv", 4, true), copy = tmp.Sub("f.olv.olvkeep");
        const std::wstring wide = ToWin32Path(path);
        if (c.inPlace && !::CreateHardLinkW(ToWin32Path(tmp.Sub("other.olv")).c_str(), wide.c_str(), nullptr))
            GTEST_SKIP() << "no hard links on this system (error " << ::GetLastError() << ")";
        // An access list of the file's own, closed to all but this user, unlike what the folder
        // passes on.
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW((L"D:P(A;;FA;;;" + OwnSid() + L")").c_str(),
                                                                          SDDL_REVISION_1, &sd, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        ::SetNamedSecurityInfoW(const_cast<wchar_t*>(wide.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        ::LocalFree(sd);
        const std::wstring acl = AccessList(path);
        // Another program writes into the file in place, through a handle of its own.
        std::string expected = ReadAll(path);
        const auto write = [&] {
            const HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
            DWORD written = 0;
            if (h == INVALID_HANDLE_VALUE) {
                EXPECT_EQ(::GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
                EXPECT_EQ(c.status, WEK_OK) << "the write was refused";
                return;
            }
            ::SetFilePointer(h, 40, nullptr, FILE_BEGIN);
            EXPECT_TRUE(::WriteFile(h, "XYZ", 3, &written, nullptr));
            ::CloseHandle(h);
            expected = ReadAll(path);
        };
        bool copySeen = false, copyNoMoreOpen = false;
        std::function<void(WekSaveStage)> atStage = [&](WekSaveStage stage) {
            if (stage == WEK_STAGE_OVERWRITE) {
                copySeen = Attributes(copy) != INVALID_FILE_ATTRIBUTES;
                copyNoMoreOpen = NoMoreOpen(copy, path);
            }
            if (c.event == Event::WriteAtTheLastChecks && (stage == WEK_STAGE_OVERWRITE || stage == WEK_STAGE_RENAME)) write();
        };
        WekSetSaveHookForTest([](WekSaveStage stage, void* f) { (*static_cast<std::function<void(WekSaveStage)>*>(f))(stage); },
                              &atStage);
        {
            CWekFile f;
            ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
            ::Sleep(20);  // file times have a coarse grain
            if (c.event == Event::WriteBeforeTheSave) write();
            if (c.event == Event::Damage) WekDamageWrittenFileForTest(33);
            EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), c.status);
            WekDamageWrittenFileForTest(-1);
        }
        WekSetSaveHookForTest(nullptr, nullptr);
        if (c.status == WEK_OK) {
            EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        } else {
            EXPECT_EQ(ReadAll(path), expected);
        }
        if (c.inPlace && c.event != Event::WriteBeforeTheSave) {
            EXPECT_TRUE(copySeen);
            EXPECT_TRUE(copyNoMoreOpen) << "someone may do more with the copy than with the file";
        }
        EXPECT_EQ(AccessList(path), acl);
        std::set<std::string> names = {"f.olv"};
        if (c.inPlace) names.insert("other.olv");
        EXPECT_EQ(Names(tmp.Path()), names);
    }
}

// Wine's ReplaceFileW is not atomic and the library does not use it there unless a test asks;
// this shows that the call and the fall-back to a rename work.
TEST(Win32Save, ReplaceFileKeepsAttributesAndFallsBackToARename) {
    WekUseReplaceFileForTest(true);
    for (WekSaveStage stage : {WEK_STAGE_NONE, WEK_STAGE_REPLACE_FILE}) {
        SCOPED_TRACE(stage);
        TempFolder tmp;
        const std::string path = tmp.Olv("f.olv", 4, true);
        ASSERT_TRUE(::SetFileAttributesW(ToWin32Path(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
        WekSetSaveFailureForTest(stage);
        EXPECT_EQ(Repair(path), WEK_OK);
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        EXPECT_TRUE(Attributes(path) & FILE_ATTRIBUTE_HIDDEN);
        EXPECT_EQ(Names(tmp.Path()), std::set<std::string>{"f.olv"});
    }
    WekUseReplaceFileForTest(false);
}

TEST(Win32TemporaryName, StaleOnlyWhenItsProcessHasEnded) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"cmd.exe /c exit 0";
    ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &startup, &process));
    ::WaitForSingleObject(process.hProcess, 30000);
    const std::string ended = std::to_string(process.dwProcessId);
    // While a handle is open the process object stays, ended; the name is stale all the same.
    EXPECT_TRUE(WekIsStaleTemporaryName(".olvsave-" + ended + "-0.tmp"));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    EXPECT_TRUE(WekIsStaleTemporaryName(".olvsave-" + ended + "-7.tmp"));
    EXPECT_FALSE(WekIsStaleTemporaryName(".olvsave-" + std::to_string(::GetCurrentProcessId()) + "-0.tmp"));
    EXPECT_FALSE(WekIsStaleTemporaryName("f.olv.olvkeep"));
}

}  // namespace
}  // namespace quorvel::test
