// A save keeps everything the file had: its other hard links, its ACL (with the mask the
// permission bits show), its extended attributes, its owner when a non-owner saves it. Where a
// new file cannot carry that, the file is rewritten in place beside a flushed copy; a failure
// there puts the original back, or leaves the copy to restore from.
#include <sys/xattr.h>

#include <cstring>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"alpha", "beta", "gamma"};

// A POSIX ACL in the kernel's extended-attribute form: (tag, permissions, id) entries, sorted.
std::string Acl(const std::vector<std::tuple<int, int, std::uint32_t>>& entries) {
    std::string acl(4, '\0');
    Put(acl, 0, 2, 4);  // version
    for (const auto& [tag, perm, id] : entries) {
        std::string e(8, '\0');
        Put(e, 0, static_cast<std::uint64_t>(tag), 2);
        Put(e, 2, static_cast<std::uint64_t>(perm), 2);
        Put(e, 4, id, 4);
        acl += e;
    }
    return acl;
}
constexpr int kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kMask = 0x10, kOther = 0x20;
constexpr std::uint32_t kNoId = 0xFFFFFFFFu, kDaemon = 1;

// The value of the extended attribute `name` of `path`, or "(none)".
std::string Attribute(const std::string& path, const std::string& name) {
    std::string value(65536, '\0');
    const ssize_t n = lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    return n < 0 ? "(none)" : value.substr(0, static_cast<std::size_t>(n));
}

bool SetAttribute(const std::string& path, const std::string& name, const std::string& value) {
    return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

class OlvKeep : public FileTest {
protected:
    void TearDown() override {
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        FileTest::TearDown();
    }
    // Load `path`, save it back as version 4.
    static int Resave(const std::string& path) {
        CWekFile f;
        const int loaded = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
        return loaded != WEK_OK ? loaded : f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
    }
};

TEST_F(OlvKeep, EveryHardLinkSeesTheNewContent) {
    const std::string path = Path("f.olv");
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
    ASSERT_EQ(link(path.c_str(), Path("second.olv").c_str()), 0);
    ASSERT_EQ(link(path.c_str(), Path("sub/third.olv").c_str()), 0);
    const struct stat before = LinkStatus(path);
    for (const std::string& saved : {path, Path("sub/third.olv")}) {
        SCOPED_TRACE(saved);
        ASSERT_EQ(Resave(saved), WEK_OK);
        for (const std::string& name : {path, Path("second.olv"), Path("sub/third.olv")}) {
            EXPECT_EQ(LinkStatus(name).st_ino, before.st_ino) << name;
            EXPECT_EQ(LinkStatus(name).st_nlink, 3u) << name;
            EXPECT_EQ(WekVerify(name.c_str()), WEK_OK) << name;
        }
        EXPECT_EQ(Names(dir), (std::set<std::string>{"f.olv", "second.olv", "sub"}));
        EXPECT_EQ(Names(Path("sub")), std::set<std::string>{"third.olv"});
    }
}

TEST_F(OlvKeep, AclsAndExtendedAttributesAreKeptExactly) {
    const std::string path = Path("f.olv");
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    // 0640 plus daemon:rw: the mask becomes rw, and the permission bits show it as 0660,
    // while the owning group itself may still only read.
    const std::string acl = Acl({{kUserObj, 6, kNoId}, {kUser, 6, kDaemon}, {kGroupObj, 4, kNoId}, {kMask, 6, kNoId},
                                 {kOther, 0, kNoId}});
    if (!SetAttribute(path, "system.posix_acl_access", acl)) GTEST_SKIP() << "no ACLs on this file system";
    ASSERT_EQ(LinkStatus(path).st_mode & 07777, 0660u);
    ASSERT_TRUE(SetAttribute(path, "user.quorvel.note", std::string("kept\0bytes", 10)));
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_TRUE(SetAttribute(path, "trusted.quorvel", "kept too"));
        ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    }
    ASSERT_EQ(Resave(path), WEK_OK);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    EXPECT_EQ(Attribute(path, "system.posix_acl_access"), acl);
    EXPECT_EQ(LinkStatus(path).st_mode & 07777, 0660u);
    EXPECT_EQ(Attribute(path, "user.quorvel.note"), std::string("kept\0bytes", 10));
    if (!root) return;
    EXPECT_EQ(Attribute(path, "trusted.quorvel"), "kept too");
    // The group's effective rights are still read-only.
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    EXPECT_EQ(RunInChild([&] { return (access(path.c_str(), R_OK) == 0 ? 1 : 0) + (access(path.c_str(), W_OK) == 0 ? 2 : 0); },
                         4322),
              1);
}

TEST_F(OlvKeep, AFolderDefaultAclDoesNotReachASavedFile) {
    const std::string folder = Path("inherit"), path = Path("inherit/f.olv");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    // Set after the file exists: new files in the folder get daemon:rwx, the file has no ACL.
    const std::string defaults = Acl({{kUserObj, 7, kNoId}, {kUser, 7, kDaemon}, {kGroupObj, 5, kNoId},
                                      {kMask, 7, kNoId}, {kOther, 5, kNoId}});
    if (!SetAttribute(folder, "system.posix_acl_default", defaults)) GTEST_SKIP() << "no ACLs on this file system";
    ASSERT_EQ(Attribute(path, "system.posix_acl_access"), "(none)");
    for (bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        WekSetSaveFailureForTest(unnamed ? WEK_STAGE_NONE : WEK_STAGE_UNNAMED);
        ASSERT_EQ(Resave(path), WEK_OK);
        EXPECT_EQ(Attribute(path, "system.posix_acl_access"), "(none)");
        EXPECT_EQ(LinkStatus(path).st_mode & 07777, 0644u);
    }
}

TEST_F(OlvKeep, AFileSavedByANonOwnerKeepsItsOwnerOrIsLeftAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make another user's file and run as a third user";
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const struct {
        const char* what;
        mode_t folderMode;  // of the folder holding the file, owned by root
        int status;
    } cases[] = {
        {"the saver may write the folder", 0777, WEK_OK},
        {"the folder takes no new file from the saver", 0755, WEK_ERR_NO_COPY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = Path("shared"), path = folder + "/f.olv";
        ASSERT_EQ(mkdir(folder.c_str(), c.folderMode), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        const struct stat before = LinkStatus(path);
        const std::string bytes = ReadBytes(path);
        EXPECT_EQ(RunInChild([&] { return -Resave(path); }, kNobody), -c.status);
        const struct stat after = LinkStatus(path);
        EXPECT_EQ(after.st_uid, 4321u);
        EXPECT_EQ(after.st_gid, 4321u);
        EXPECT_EQ(after.st_mode & 07777, 0666u);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(c.status == WEK_OK, WekVerify(path.c_str()) == WEK_OK);
        if (c.status != WEK_OK) {
            EXPECT_EQ(ReadBytes(path), bytes);
        }
        EXPECT_EQ(Names(folder), std::set<std::string>{"f.olv"});
        RemoveTree(AT_FDCWD, folder);
    }
}

TEST_F(OlvKeep, AFailedInPlaceRewritePutsTheOriginalBackOrLeavesItsCopy) {
    const std::string path = Path("f.olv"), copy = Path("f.olv.olvkeep");
    const struct {
        const char* what;
        std::vector<WekSaveStage> stages;
        int status;
    } cases[] = {
        {"the copy cannot be written", {WEK_STAGE_COPY}, WEK_ERR_NO_COPY},
        {"the rewrite fails halfway", {WEK_STAGE_OVERWRITE}, WEK_ERR_WRITE},
        {"the rewrite and the putting back fail", {WEK_STAGE_OVERWRITE, WEK_STAGE_RESTORE}, WEK_ERR_SEE_COPY},
        // Nothing was written, so the file is whole although the putting back failed.
        {"the rewrite is refused at once and the putting back fails", {WEK_STAGE_REFUSED, WEK_STAGE_RESTORE}, WEK_ERR_WRITE},
        {"an earlier copy is in the way", {}, WEK_ERR_NO_COPY},
        {"nothing fails", {}, WEK_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        ASSERT_EQ(link(path.c_str(), Path("other.olv").c_str()), 0);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
        }
        ASSERT_EQ(chmod(path.c_str(), 0664), 0);
        const bool inTheWay = std::string(c.what).find("earlier") != std::string::npos;
        if (inTheWay) WriteBytes(copy, "an earlier copy");
        const struct stat before = LinkStatus(path);
        const std::string bytes = ReadBytes(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        for (WekSaveStage stage : c.stages) WekAddSaveFailureForTest(stage);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), c.status);
        WekSetSaveFailureForTest(WEK_STAGE_NONE);

        const struct stat after = LinkStatus(path);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(ReadBytes(Path("other.olv")), ReadBytes(path));
        if (c.status == WEK_OK) {
            EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
        } else if (c.status == WEK_ERR_SEE_COPY) {
            // Damaged; the copy holds the original, readable by the file's owner and group.
            EXPECT_NE(ReadBytes(path), bytes);
            EXPECT_EQ(ReadBytes(copy), bytes);
            const struct stat kept = LinkStatus(copy);
            EXPECT_EQ(kept.st_uid, before.st_uid);
            EXPECT_EQ(kept.st_mode & 07777, 0644u);
            // What README.md tells the user to do: copy it back over the file, then remove it.
            WriteBytes(path, ReadBytes(copy));
            ASSERT_EQ(unlink(copy.c_str()), 0);
            EXPECT_EQ(LinkStatus(path).st_ino, before.st_ino);
            EXPECT_EQ(ReadBytes(path), bytes);
        } else {
            EXPECT_EQ(ReadBytes(path), bytes);
        }
        if (inTheWay) {
            EXPECT_EQ(ReadBytes(copy), "an earlier copy");
            ASSERT_EQ(unlink(copy.c_str()), 0);
        }
        EXPECT_EQ(Names(dir), (std::set<std::string>{"f.olv", "other.olv"}));
        ASSERT_EQ(unlink(Path("other.olv").c_str()), 0);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

TEST(OlvBackupCopyName, AddsTheSuffixAndStaysAValidName) {
    const std::string euro = "\xe2\x82\xac";  // three bytes
    const struct {
        std::string name, copy;
    } cases[] = {
        {"f.olv", "f.olv.olvkeep"},
        {std::string(247, 'a'), std::string(247, 'a') + ".olvkeep"},
        {std::string(255, 'a'), std::string(247, 'a') + ".olvkeep"},
        // Cutting at 247 bytes would split the euro sign that starts at byte 246.
        {std::string(246, 'a') + euro + "b.olv", std::string(246, 'a') + ".olvkeep"},
        {std::string(245, 'a') + euro + "b.olv", std::string(245, 'a') + ".olvkeep"},
        {std::string(244, 'a') + euro + "b.olv", std::string(244, 'a') + euro + ".olvkeep"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WekBackupCopyName(c.name), c.copy) << c.name.size();
        EXPECT_LE(WekBackupCopyName(c.name).size(), 255u);
    }
}

}  // namespace
