// Saving: the guarantees that protect the user's file (atomic replace, permissions and owner
// kept, read-only files left alone, links written through, failures leave no trace), long
// paths and raw-byte names.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "base/LongPath.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"alpha", "beta", "gamma"};

class OlvSave : public FileTest {
protected:
    void TearDown() override {
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        FileTest::TearDown();
    }
    // Writes a version-4 file with the fault, then runs the program's repair on `path`.
    int Repair(const std::string& path, const std::string& written) {
        EXPECT_EQ(WekWriteSample(written.c_str(), 4, kRecords, true), WEK_OK);
        CWekFile f;
        if (f.Load(path.c_str(), nullptr, nullptr, 0, 0) != WEK_OK || f.GetSimpleVersion() != 4) return -100;
        f.SetModified(1, 1);
        return f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
    }
    int Repair(const std::string& path) { return Repair(path, path); }
    static mode_t Mode(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0);
        return st.st_mode;
    }
};

TEST_F(OlvSave, RefusesWithoutLoadOrWithABadVersion) {
    const std::string path = Path("f.olv");
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    const std::string before = ReadBytes(path);
    CWekFile f;
    EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_NOTHING_LOADED);
    ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    for (int version : {0, 6, -1}) EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, version), WEK_ERR_ARGUMENT);
    int dummy = 0;
    EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, &dummy, 4), WEK_ERR_ARGUMENT);
    const auto stop = [](int, const char*, void*) { return 1; };
    EXPECT_EQ(f.Save(path.c_str(), stop, nullptr, nullptr, 4), WEK_ERR_CANCELLED);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(Names(dir), std::set<std::string>{"f.olv"});
    // A later failed Load drops what was loaded.
    EXPECT_LT(f.Load(Path("missing.olv").c_str(), nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_NOTHING_LOADED);
}

TEST_F(OlvSave, KeepsPermissionBitsOwnerAndGroup) {
    // Tests run as root, which may give the file away and keep set-id bits; elsewhere those
    // checks are skipped.
    const bool root = geteuid() == 0;
    std::vector<mode_t> modes = {0640, 0604, 0600, 0666};
    if (root) modes.push_back(02750);
    for (mode_t mode : modes) {
        SCOPED_TRACE(mode);
        const std::string path = Path("perm.olv");
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        // chown before chmod: chown clears set-id bits.
        if (root) {
            ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
        }
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        ASSERT_EQ(Repair(path, Path("unused.olv")), WEK_OK);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (root) {
            EXPECT_EQ(st.st_uid, 4321u);
            EXPECT_EQ(st.st_gid, 8765u);
        }
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    }
}

TEST_F(OlvSave, LeavesReadOnlyFilesUntouched) {
    for (mode_t mode : {0444, 0400, 0000}) {
        SCOPED_TRACE(mode);
        const std::string path = Path("ro.olv");
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        const std::string before = ReadBytes(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_READ_ONLY);
        EXPECT_EQ(Mode(path) & 07777, mode);
        EXPECT_EQ(Names(dir), std::set<std::string>{"ro.olv"});
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        EXPECT_EQ(ReadBytes(path), before);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

TEST_F(OlvSave, WritesThroughLinksAndKeepsThem) {
    ASSERT_EQ(mkdir(Path("data").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("links").c_str(), 0755), 0);
    const std::string target = Path("data/real.olv");
    // links/rel -> links/abs -> data/real.olv: a relative hop, then an absolute one.
    ASSERT_EQ(symlink(target.c_str(), Path("links/abs").c_str()), 0);
    ASSERT_EQ(symlink("../links/abs", Path("links/rel").c_str()), 0);
    ASSERT_EQ(Repair(Path("links/rel"), target), WEK_OK);
    EXPECT_TRUE(S_ISLNK(Mode(Path("links/rel"))));
    EXPECT_TRUE(S_ISLNK(Mode(Path("links/abs"))));
    EXPECT_EQ(WekVerify(target.c_str()), WEK_OK);
    EXPECT_EQ(Names(Path("links")), (std::set<std::string>{"abs", "rel"}));
    EXPECT_EQ(Names(Path("data")), std::set<std::string>{"real.olv"});

    ASSERT_EQ(symlink("loop2", Path("loop1").c_str()), 0);
    ASSERT_EQ(symlink("loop1", Path("loop2").c_str()), 0);
    CWekFile f;
    ASSERT_EQ(f.Load(target.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    EXPECT_EQ(f.Save(Path("loop1").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
    EXPECT_EQ(f.Save(Path("data").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
    EXPECT_EQ(f.Save(Path("nowhere/x.olv").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
    EXPECT_EQ(Names(dir), (std::set<std::string>{"data", "links", "loop1", "loop2"}));
}

TEST_F(OlvSave, AFailureAtAnyStageLeavesTheOriginalAndNoTemporaryFile) {
    const std::string path = Path("f.olv");
    // Both with an unnamed temporary file and with the named one used where the file system
    // refuses unnamed files.
    const WekSaveStage stages[] = {WEK_STAGE_CREATE, WEK_STAGE_WRITE, WEK_STAGE_PERMISSIONS, WEK_STAGE_FSYNC,
                                   WEK_STAGE_RENAME};
    for (int run = 0; run < 10; ++run) {
        const bool named = run >= 5;
        const WekSaveStage stage = stages[run % 5];
        SCOPED_TRACE(stage);
        SCOPED_TRACE(named ? "named" : "unnamed");
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        const std::string before = ReadBytes(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        WekSetSaveFailureForTest(stage);
        if (named) WekAddSaveFailureForTest(WEK_STAGE_UNNAMED);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
        WekSetSaveFailureForTest(named ? WEK_STAGE_UNNAMED : WEK_STAGE_NONE);
        EXPECT_EQ(ReadBytes(path), before);
        EXPECT_EQ(Names(dir), std::set<std::string>{"f.olv"});
        // The loaded content survives the failure, so trying again works.
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    }
}

TEST_F(OlvSave, WorksOnPathsLongerThanPathMax) {
    const std::string folder = MakeDeepFolder(dir, 6000);
    const std::string path = folder + "/deep.olv";
    ASSERT_GT(path.size(), 4096u);
    ASSERT_EQ(Repair(path), WEK_OK);
    CWekFile probe;
    probe.m_nQuickFlag = 1;
    EXPECT_EQ(probe.LoadQuick(path.c_str(), nullptr, 0), WEK_OK);
    EXPECT_EQ(probe.GetSimpleVersion(), 4);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);

    // A link deep down is written through too.
    const int fd = quorvel::posix::OpenDirectory(folder);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(symlinkat("deep.olv", fd, "link.olv"), 0);
    EXPECT_EQ(Repair(folder + "/link.olv", path), WEK_OK);
    struct stat st {};
    EXPECT_EQ(fstatat(fd, "link.olv", &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    close(fd);
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
}

TEST_F(OlvSave, KeepsRawByteNames) {
    const std::string name = "caf\xe9 \x01\xff.olv";
    ASSERT_EQ(Repair(Path(name)), WEK_OK);
    EXPECT_EQ(WekVerify(Path(name).c_str()), WEK_OK);
    EXPECT_EQ(Names(dir), std::set<std::string>{name});
}

TEST_F(OlvSave, ObjectsOnManyThreadsEachSaveTheirOwnFiles) {
    // One object per thread at a time, many threads, some files shared by a hard link (rewritten
    // in place) and one folder for all: every save succeeds and nothing of ours is left.
    constexpr int kThreads = 8, kFiles = 12;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kFiles; ++i) {
            const std::string path = Path("t" + std::to_string(t) + "-" + std::to_string(i) + ".olv");
            ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
            if (i % 3 == 0) {
                ASSERT_EQ(link(path.c_str(), (path + ".link").c_str()), 0);
            }
        }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round)
                for (int i = 0; i < kFiles; ++i) {
                    const std::string path = Path("t" + std::to_string(t) + "-" + std::to_string(i) + ".olv");
                    CWekFile probe;
                    probe.m_nQuickFlag = 1;
                    if (probe.LoadQuick(path.c_str(), nullptr, 0) != WEK_OK || probe.GetSimpleVersion() != 4 ||
                        Repair(path, path) != WEK_OK)
                        ++failures;
                }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    const std::set<std::string> names = Names(dir);
    EXPECT_EQ(names.size(), std::size_t{kThreads * (kFiles + kFiles / 3)});
    for (const std::string& name : names) EXPECT_EQ(WekVerify(Path(name).c_str()), WEK_OK) << name;
}

}  // namespace
