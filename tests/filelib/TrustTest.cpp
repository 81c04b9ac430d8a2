// A save keeps faith with the user's file: its backup copy is never readable by anyone the file
// denies, a change another program made since the load is never undone, what does not read
// back never replaces the file, a clean-up that fails never reads as saved, set-id bits and file
// capabilities follow one rule whichever way the file is written, and running out of memory is
// said as such.
#include <sys/resource.h>
#include <sys/xattr.h>

#include <cstring>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"alpha", "beta", "gamma"};

// Calls `action` each time a save reaches `stage`, while it lives (see WekSetSaveHookForTest).
class AtStage {
public:
    AtStage(WekSaveStage stage, std::function<void()> action) : m_stage(stage), m_action(std::move(action)) {
        WekSetSaveHookForTest(&AtStage::Call, this);
    }
    ~AtStage() { WekSetSaveHookForTest(nullptr, nullptr); }
    AtStage(const AtStage&) = delete;
    AtStage& operator=(const AtStage&) = delete;

private:
    static void Call(WekSaveStage stage, void* self) {
        auto* me = static_cast<AtStage*>(self);
        if (stage == me->m_stage) me->m_action();
    }
    WekSaveStage m_stage;
    std::function<void()> m_action;
};

// A flag a child process can set and the test can read.
class SharedFlag {
public:
    SharedFlag() : m_value(static_cast<std::atomic<int>*>(
                       mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
        new (m_value) std::atomic<int>(0);
    }
    ~SharedFlag() { munmap(m_value, sizeof(std::atomic<int>)); }
    void Set() { *m_value = 1; }
    bool IsSet() const { return m_value->load() != 0; }

private:
    std::atomic<int>* m_value;
};

// The ways a save writes a file.
enum class Way { NewFile, InPlace, NoExchange };

const char* Name(Way way) {
    switch (way) {
    case Way::NewFile: return "through a new file";
    case Way::InPlace: return "in place";
    case Way::NoExchange: return "through a new file, without swapping names";
    }
    return "";
}

// The stage at which a save of `way` makes its last checks before it writes over the file.
WekSaveStage LastChecks(Way way) { return way == Way::InPlace ? WEK_STAGE_OVERWRITE : WEK_STAGE_RENAME; }

class Trust : public FileTest {
protected:
    void TearDown() override {
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        WekSetSaveHookForTest(nullptr, nullptr);
        WekDamageWrittenFileForTest(-1);
        FileTest::TearDown();
    }
    // Writes a version-4 file with the fault at Path(name) and prepares a save of `way`: a second
    // hard link ("<name>.link") for InPlace, the seam for NoExchange.
    std::string Prepare(const std::string& name, Way way, const std::vector<std::string>& records = kRecords) {
        const std::string path = Path(name);
        EXPECT_EQ(WekWriteSample(path.c_str(), 4, records, true), WEK_OK);
        if (way == Way::InPlace) {
            EXPECT_EQ(link(path.c_str(), (path + ".link").c_str()), 0);
        }
        WekSetSaveFailureForTest(way == Way::NoExchange ? WEK_STAGE_EXCHANGE : WEK_STAGE_NONE);
        return path;
    }
    // The names a save of `way` must leave in the folder besides `extra`.
    std::set<std::string> Expected(const std::string& name, Way way, std::set<std::string> extra = {}) {
        extra.insert(name);
        if (way == Way::InPlace) extra.insert(name + ".link");
        return extra;
    }
    // Loads `path` and saves it back as version 4.
    static int Resave(const std::string& path) {
        CWekFile f;
        const int loaded = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
        return loaded != WEK_OK ? loaded : f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
    }
};

std::vector<std::string> Records(std::size_t count, std::size_t size) {
    std::vector<std::string> records;
    for (std::size_t i = 0; i < count; ++i) records.push_back(std::string(size, static_cast<char>('a' + i % 26)));
    return records;
}

TEST_F(Trust, NoOneTheFileDeniesEverReadsItsBackupCopy) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users and groups";
    ASSERT_TRUE(Shell("command -v setfacl >/dev/null")) << "setfacl is missing (scripts/setup.sh installs the acl package)";
    constexpr uid_t kOwner = 4501, kMember = 4502, kReader = 4503;
    constexpr gid_t kGroup = 4600, kMemberGroup = 4601, kDenied = 4602;
    const Identity root{0, 0, {}}, member{kMember, kMemberGroup, {kGroup}};
    const struct {
        const char* what;
        std::string fileAcl, folderDefaultAcl;  // setfacl entries, "" for none
        mode_t mode;
        Identity saver, reader;
    } cases[] = {
        {"a group the file's ACL denies", "g:4602:---", "", 0644, root, {kReader, kDenied, {}}},
        {"a reader the folder's default ACL names", "", "u:4503:r", 0640, root, {kReader, kReader, {}}},
        {"the group of a saver who is not the owner", "", "", 0660, member, {kReader, kMemberGroup, {}}},
    };
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    long tries = 0, hits = 0;
    for (const auto& c : cases) {
        for (bool unnamed : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (unnamed ? "" : ", a named copy"));
            const std::string folder = Path("share"), path = folder + "/f.olv", copy = path + ".olvkeep";
            ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
            ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
            ASSERT_EQ(WekWriteSample(path.c_str(), 4, Records(4, 64 << 10), true), WEK_OK);
            ASSERT_EQ(link(path.c_str(), (folder + "/other.olv").c_str()), 0);  // rewritten in place
            ASSERT_EQ(chown(path.c_str(), kOwner, kGroup), 0);
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
            if (!c.fileAcl.empty()) {
                ASSERT_TRUE(Shell("setfacl -m " + c.fileAcl + " " + Quoted(path)));
            }
            if (!c.folderDefaultAcl.empty()) {
                ASSERT_TRUE(Shell("setfacl -d -m " + c.folderDefaultAcl + " " + Quoted(folder)));
            }
            ASSERT_EQ(RunAs(c.reader, [&] { return access(path.c_str(), R_OK) == 0 ? 0 : 1; }), 1)
                << "the reader must not be able to read the file itself";

            Repeater reader(
                [&] {
                    const int fd = open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                    if (fd < 0) return false;
                    char bytes[64];
                    const bool got = read(fd, bytes, sizeof bytes) > 0;
                    close(fd);
                    return got;
                },
                &c.reader);
            SharedFlag copyComplete;
            const AtStage hold(WEK_STAGE_OVERWRITE, [&] {
                if (access(copy.c_str(), F_OK) == 0) copyComplete.Set();
                usleep(20000);  // the reader's chance to read the complete copy
            });
            if (!unnamed) WekSetSaveFailureForTest(WEK_STAGE_UNNAMED);
            EXPECT_EQ(RunAs(c.saver, [&] { return -Resave(path); }), WEK_OK);
            WekSetSaveFailureForTest(WEK_STAGE_NONE);
            reader.Stop();
            EXPECT_TRUE(copyComplete.IsSet());
            EXPECT_GT(reader.Tries(), 0);
            EXPECT_EQ(reader.Hits(), 0) << "read the copy " << reader.Hits() << " times of " << reader.Tries();
            tries += reader.Tries();
            hits += reader.Hits();
            EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
            EXPECT_EQ(Names(folder), (std::set<std::string>{"f.olv", "other.olv"}));
            RemoveTree(AT_FDCWD, folder);
        }
    }
    std::printf("[ figures  ] backup copies: %ld tries to read one as a user the file denies, %ld reads\n", tries, hits);
}

TEST_F(Trust, AChangeAnotherProgramMadeSinceTheLoadFailsTheSaveAndIsKept) {
    const std::string other(40, 'x');
    const struct {
        const char* what;
        std::function<void(const std::string&)> change;  // run in a process of its own
    } writers[] = {
        {"writes into it", [](const std::string& p) {
             const int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
             static_cast<void>(pwrite(fd, "XYZ", 3, 40));
             close(fd);
         }},
        {"copies another file over it", [&](const std::string& p) { WriteBytes(p, other); }},
        {"appends to it", [](const std::string& p) {
             const int fd = open(p.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
             static_cast<void>(write(fd, "more", 4));
             close(fd);
         }},
        {"changes its permission bits", [](const std::string& p) { chmod(p.c_str(), 0640); }},
    };
    int saves = 0, kept = 0;
    for (Way way : {Way::NewFile, Way::InPlace, Way::NoExchange}) {
        for (bool atTheLastChecks : {false, true}) {
            for (const auto& w : writers) {
                SCOPED_TRACE(std::string(Name(way)) + ", another program " + w.what +
                             (atTheLastChecks ? " just before the save replaces it" : " before the save"));
                const std::string path = Prepare("f.olv", way);
                ASSERT_EQ(chmod(path.c_str(), 0644), 0);
                CWekFile f;
                ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
                usleep(10000);  // file times have a coarse grain: the change comes later than the load
                std::string changed;
                mode_t mode = 0;
                const auto change = [&] {
                    EXPECT_EQ(RunInChild([&] { w.change(path); return 0; }), 0);
                    changed = ReadBytes(path);
                    mode = LinkStatus(path).st_mode;
                };
                if (!atTheLastChecks) change();
                {
                    const AtStage at(LastChecks(way), atTheLastChecks ? std::function<void()>(change) : [] {});
                    EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_CHANGED);
                }
                ++saves;
                const bool intact = ReadBytes(path) == changed && LinkStatus(path).st_mode == mode;
                kept += intact;
                EXPECT_TRUE(intact) << "the other program's change was undone";
                EXPECT_EQ(Names(dir), Expected("f.olv", way));
                WekSetSaveFailureForTest(WEK_STAGE_NONE);
                for (const std::string& name : Names(dir)) unlink(Path(name).c_str());
            }
        }
    }
    std::printf("[ figures  ] %d saves after another program's change: %d refused with the change kept\n", saves, kept);
}

TEST_F(Trust, WhatDoesNotReadBackNeverReplacesTheFile) {
    std::string image;
    ASSERT_TRUE(WekEncode(4, kRecords, false, image));
    const struct {
        const char* what;
        long long offset;  // see WekDamageWrittenFileForTest
    } damages[] = {
        {"the magic number", 1},
        {"the version", 4},
        {"the index checksum", 24},
        {"a record's byte", 33},
        {"the last index byte", static_cast<long long>(image.size()) - 1},
        {"the file cut short", -2},
    };
    for (Way way : {Way::NewFile, Way::InPlace, Way::NoExchange}) {
        for (const auto& d : damages) {
            SCOPED_TRACE(std::string(Name(way)) + ", " + d.what + " changed");
            const std::string path = Prepare("f.olv", way);
            const std::string before = ReadBytes(path);
            WekDamageWrittenFileForTest(d.offset);
            EXPECT_EQ(Resave(path), WEK_ERR_READ_BACK);
            WekDamageWrittenFileForTest(-1);
            EXPECT_EQ(ReadBytes(path), before);
            EXPECT_EQ(Names(dir), Expected("f.olv", way));
            for (const std::string& name : Names(dir)) unlink(Path(name).c_str());
        }
    }
    // A new name is created only once its content reads back.
    CWekFile f;
    ASSERT_EQ(f.Load(Prepare("f.olv", Way::NewFile).c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    WekDamageWrittenFileForTest(33);
    EXPECT_EQ(f.Save(Path("new.olv").c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_READ_BACK);
    EXPECT_EQ(Names(dir), std::set<std::string>{"f.olv"});
}

TEST_F(Trust, ACleanUpThatFailsNeverReadsAsSavedAndALaterSaveFinishesIt) {
    const struct {
        const char* what;
        Way way;
        int status;       // of the save whose clean-up fails
        bool copyLeft;    // a .olvkeep copy is left (otherwise a .olvsave temporary file)
    } cases[] = {
        {"the removal of the old content after the swap", Way::NewFile, WEK_ERR_TEMP_LEFT, false},
        {"the removal of the backup copy", Way::InPlace, WEK_ERR_COPY_LEFT, true},
        {"the removal of the original moved aside", Way::NoExchange, WEK_ERR_COPY_LEFT, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Prepare("f.olv", c.way);
        WekAddSaveFailureForTest(WEK_STAGE_CLEAN_UP);
        EXPECT_EQ(Resave(path), c.status);
        WekSetSaveFailureForTest(c.way == Way::NoExchange ? WEK_STAGE_EXCHANGE : WEK_STAGE_NONE);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_OK) << "the file was rewritten";
        std::set<std::string> left = Names(dir);
        for (const std::string& name : Expected("f.olv", c.way)) EXPECT_EQ(left.erase(name), 1u) << name;
        ASSERT_EQ(left.size(), 1u);
        const std::string leftover = *left.begin();
        if (c.copyLeft) {
            EXPECT_EQ(leftover, "f.olv.olvkeep");
            // It holds the loaded records: the next save takes it away instead of failing.
            EXPECT_EQ(Resave(path), WEK_OK);
            EXPECT_EQ(Names(dir), Expected("f.olv", c.way));
        } else {
            EXPECT_EQ(leftover.rfind(".olvsave-" + std::to_string(getpid()) + "-", 0), 0u) << leftover;
        }
        WekSetSaveFailureForTest(WEK_STAGE_NONE);
        for (const std::string& name : Names(dir)) unlink(Path(name).c_str());
    }

    // A folder whose names cannot be removed (append-only): the copy stays, and says so.
    const std::string folder = Path("append"), path = folder + "/f.olv";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(link(path.c_str(), (path + ".link").c_str()), 0);
    if (!Shell("chattr +a " + Quoted(folder) + " 2>/dev/null")) {
        GTEST_SKIP() << "the file system of " << dir << " has no append-only folders (chattr +a)";
    }
    EXPECT_EQ(Resave(path), WEK_ERR_COPY_LEFT);
    EXPECT_EQ(Resave(path), WEK_ERR_NO_COPY) << "the copy can be neither removed nor replaced";
    ASSERT_TRUE(Shell("chattr -a " + Quoted(folder)));
    EXPECT_EQ(Resave(path), WEK_OK);
    EXPECT_EQ(Names(folder), (std::set<std::string>{"f.olv", "f.olv.link"}));
}

TEST_F(Trust, SetIdBitsAndFileCapabilitiesFollowOneRuleWhicheverWayTheFileIsWritten) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files set-id bits and capabilities and to act as users";
    constexpr uid_t kOwner = 4501, kMember = 4502;
    constexpr gid_t kGroup = 4600;
    // A file capability set (version 2): CAP_NET_BIND_SERVICE permitted.
    std::string caps(20, '\0');
    Put(caps, 0, 0x02000000, 4);
    Put(caps, 4, 1u << 10, 4);
    const Identity root{0, 0, {}}, owner{kOwner, kGroup, {kGroup}}, member{kMember, kMember, {kGroup}};
    const struct {
        const char* who;
        Identity saver;
        mode_t mode;
        bool caps;
        mode_t after;  // set-id bits stay where the saver may set them; capabilities never stay
    } cases[] = {
        {"root", root, 04755, false, 04755},
        {"root", root, 02755, false, 02755},
        {"root", root, 0755, true, 0755},
        {"the owner", owner, 04755, false, 04755},
        {"the owner", owner, 02755, false, 02755},
        {"the owner", owner, 0755, true, 0755},
        {"a group member", member, 04775, false, 0775},
        {"a group member", member, 02775, false, 0775},
        {"a group member", member, 0775, true, 0775},
    };
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    for (Way way : {Way::NewFile, Way::InPlace}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.who) + " saves " + Name(way) + ", mode " + std::to_string(c.mode) +
                         (c.caps ? " with capabilities" : ""));
            const std::string path = Prepare("f.olv", way);
            ASSERT_EQ(chown(path.c_str(), kOwner, kGroup), 0);
            ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
            if (c.caps) {
                ASSERT_EQ(setxattr(path.c_str(), "security.capability", caps.data(), caps.size(), 0), 0)
                    << std::strerror(errno);
            }
            EXPECT_EQ(RunAs(c.saver, [&] { return -Resave(path); }), WEK_OK);
            EXPECT_EQ(LinkStatus(path).st_mode & 07777, c.after);
            EXPECT_LT(getxattr(path.c_str(), "security.capability", nullptr, 0), 0) << "capabilities stayed";
            EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
            for (const std::string& name : Names(dir)) unlink(Path(name).c_str());
        }
    }
}

TEST_F(Trust, RunningOutOfMemoryIsSaidAsSuch) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a limit on the address space does not work under a sanitizer";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a limit on the address space does not work under a sanitizer";
#endif
#endif
    // A sparse version-2 file holding one record of 256 MiB zero bytes.
    constexpr std::uint64_t kRecord = std::uint64_t{256} << 20, kIndexOffset = 32 + kRecord;
    const std::string path = Path("large.olv");
    std::string index(8, '\0');
    Put(index, 0, kRecord, 4);
    WriteBytes(path, Header(2, 1, kIndexOffset));
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kIndexOffset)), 0);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << index;
    }
    ASSERT_EQ(WekVerify(path.c_str()), WEK_OK);
    // With room for 64 MiB more than the process holds, the load refuses with its own status,
    // and the strict check, which streams, still works.
    EXPECT_EQ(RunInChild([&] {
                  rlimit limit{};
                  getrlimit(RLIMIT_AS, &limit);
                  std::ifstream status("/proc/self/status");
                  std::string line;
                  std::uint64_t kib = 0;
                  while (std::getline(status, line))
                      if (line.rfind("VmSize:", 0) == 0) kib = std::strtoull(line.c_str() + 7, nullptr, 10);
                  limit.rlim_cur = static_cast<rlim_t>(kib * 1024 + (std::uint64_t{64} << 20));
                  if (kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) return 100;
                  CWekFile f;
                  const int loaded = f.Load(path.c_str(), nullptr, nullptr, 0, 0);
                  if (loaded != WEK_ERR_NO_MEMORY) return 100 - loaded;
                  return WekVerify(path.c_str()) == WEK_OK && f.RecordCount() == 0 ? 0 : 99;
              }),
              0);
    EXPECT_STREQ(WekStatusText(WEK_ERR_NO_MEMORY), "not enough memory");
}

}  // namespace
