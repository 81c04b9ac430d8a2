// The file library's save on Windows: read-only files left alone, attributes, creation time
// and access list kept, a failure at any stage leaves the original and no temporary file,
// long and non-ASCII paths, links written through.

#include <gtest/gtest.h>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "platform/win32/WinPath.h"
#include "tests/win32/TempFolder.h"

#include <aclapi.h>
#include <sddl.h>

namespace quorvel::test {
namespace {

using win32::ToWin32Path;

// The program's repair of `path`: load, mark modified, save as version 4.
int Repair(const std::string& path) {
    CWekFile f;
    if (f.Load(path.c_str(), nullptr, nullptr, 0, 0) != WEK_OK) return -100;
    f.SetModified(1, 1);
    return f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
}

std::wstring AccessList(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetNamedSecurityInfoW(ToWin32Path(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return L"(unreadable)";
    LPWSTR text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    std::wstring result = text ? text : L"";
    ::LocalFree(text);
    ::LocalFree(sd);
    return result;
}

FILETIME CreationTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    ::GetFileAttributesExW(ToWin32Path(path).c_str(), GetFileExInfoStandard, &info);
    return info.ftCreationTime;
}

TEST(Win32Save, LeavesReadOnlyFilesUntouchedAndReadOnly) {
    TempFolder tmp;
    const std::string path = tmp.Olv("ro.olv", 4, true);
    const std::string before = ReadAll(path);
    ASSERT_TRUE(::SetFileAttributesW(ToWin32Path(path).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Repair(path), WEK_ERR_READ_ONLY);
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_TRUE(Attributes(path) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Names(tmp.Path()), std::set<std::string>{"ro.olv"});
}

TEST(Win32Save, KeepsAttributesCreationTimeAndAccessList) {
    const DWORD cases[] = {FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED};
    for (DWORD attributes : cases) {
        SCOPED_TRACE(attributes);
        TempFolder tmp;
        const std::string path = tmp.Olv("f.olv", 4, true);
        // An old creation time and a protected access list of our own, both to be kept.
        const HANDLE h = ::CreateFileW(ToWin32Path(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        const FILETIME old{0x12345600u, 0x01C00000u};
        ::SetFileTime(h, &old, nullptr, nullptr);
        ::CloseHandle(h);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)(A;;FR;;;BU)", SDDL_REVISION_1, &sd, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        ::SetNamedSecurityInfoW(ToWin32Path(path).data(), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        ::LocalFree(sd);
        ASSERT_TRUE(::SetFileAttributesW(ToWin32Path(path).c_str(), attributes));
        // Wine stores neither creation times nor the not-indexed bit; what was stored is kept.
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        const DWORD before = Attributes(path) & kept;
        EXPECT_EQ(before & ~DWORD{FILE_ATTRIBUTE_NOT_CONTENT_INDEXED}, attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
        const FILETIME created = CreationTime(path);
        const bool timeStored = CompareFileTime(&created, &old) == 0;
        const std::wstring acl = AccessList(path);

        ASSERT_EQ(Repair(path), WEK_OK);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        EXPECT_EQ(Attributes(path) & kept, before);
        const FILETIME after = CreationTime(path);
        if (timeStored) {
            EXPECT_EQ(CompareFileTime(&after, &created), 0);
        }
        EXPECT_EQ(AccessList(path), acl);
        EXPECT_EQ(Names(tmp.Path()), std::set<std::string>{"f.olv"});
    }
}

TEST(Win32Save, AFailureAtAnyStageLeavesTheOriginalAndNoTemporaryFile) {
    TempFolder tmp;
    const std::string path = tmp.Olv("f.olv", 4, true);
    for (WekSaveStage stage : {WEK_STAGE_CREATE, WEK_STAGE_WRITE, WEK_STAGE_PERMISSIONS, WEK_STAGE_FSYNC, WEK_STAGE_RENAME}) {
        SCOPED_TRACE(stage);
        const std::string before = ReadAll(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        WekSetSaveFailureForTest(stage);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        EXPECT_EQ(ReadAll(path), before);
        EXPECT_EQ(Names(tmp.Path()), std::set<std::string>{"f.olv"});
    }
    // A save into a folder that does not exist fails cleanly too.
    CWekFile f;
    ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    EXPECT_EQ(f.Save(tmp.Sub("missing\\f.olv").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
    EXPECT_EQ(f.Save(tmp.Path().c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE) << "a folder";
}

TEST(Win32Save, WorksOnLongAndNonAsciiPaths) {
    TempFolder tmp;
    std::string rel = "\xc3\xbc" + std::string(100, 'd');
    tmp.Folder(rel);
    while (tmp.Sub(rel).size() < 400) tmp.Folder(rel += "\\" + std::string(100, 'e'));
    const std::string name = "\xe2\x82\xac\xf0\x9f\x98\x80.olv";
    const std::string path = tmp.Olv(rel + "\\" + name, 4, true);
    ASSERT_EQ(Repair(path), WEK_OK);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    EXPECT_EQ(Names(tmp.Sub(rel)), std::set<std::string>{name});
}

TEST(Win32Save, ReadingRefusesFoldersDevicesAndMissingFiles) {
    TempFolder tmp;
    for (const std::string& path : {tmp.Path(), std::string("\\\\.\\NUL"), std::string("NUL"), tmp.Sub("none.olv")}) {
        CWekFile f;
        f.m_nQuickFlag = 1;
        EXPECT_EQ(f.LoadQuick(path.c_str(), nullptr, 0), WEK_ERR_OPEN) << path;
        EXPECT_EQ(f.GetSimpleVersion(), -1) << path;
    }
}

TEST(Win32Save, WritesThroughALinkAndKeepsIt) {
    TempFolder tmp;
    const std::string target = tmp.Olv("real.olv", 4, true);
    const std::string link = tmp.Sub("link.olv");
    // Wine shows Unix file links as plain files and makes no Windows links; Windows needs
    // developer mode or privileges for them.
    ::CreateSymbolicLinkW(ToWin32Path(link).c_str(), L"real.olv", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (!(Attributes(link) != INVALID_FILE_ATTRIBUTES && (Attributes(link) & FILE_ATTRIBUTE_REPARSE_POINT)))
        GTEST_SKIP() << "no file links on this system";
    ASSERT_EQ(Repair(link), WEK_OK);
    EXPECT_TRUE(Attributes(link) & FILE_ATTRIBUTE_REPARSE_POINT) << "still a link";
    EXPECT_EQ(WekVerify(target.c_str()), WEK_OK);
    EXPECT_EQ(Names(tmp.Path()), (std::set<std::string>{"link.olv", "real.olv"}));
}

}  // namespace
}  // namespace quorvel::test
