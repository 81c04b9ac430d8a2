// A save rewrites the file its Load read and nothing else: not a file swapped in for it between
// the two (a link to another file, a link to nowhere, a pipe, another .olv file), not a file
// reached by following a link again. Loading opens nothing but regular files. Privileged saves
// follow only links that belong to the file's owner.
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "base/LongPath.h"
#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"alpha", "beta", "gamma"};

// `count` records of `size` bytes each.
std::vector<std::string> BigRecords(std::size_t count, std::size_t size) {
    std::vector<std::string> records;
    for (std::size_t i = 0; i < count; ++i) records.push_back(std::string(size, static_cast<char>('a' + i % 26)));
    return records;
}

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// Renames `replacement` over `target` (both in one folder) the first time the file `target`
// names is read or closed without writing: right when a loader has read it, as an attacker
// watching the file with inotify would.
class Racer {
public:
    Racer(const std::string& target, const std::string& replacement) : m_target(target), m_replacement(replacement) {
        m_inotify = inotify_init1(IN_CLOEXEC);
        EXPECT_GE(inotify_add_watch(m_inotify, target.c_str(), IN_ACCESS | IN_CLOSE_NOWRITE), 0);
        EXPECT_EQ(pipe2(m_stop, O_CLOEXEC), 0);
        m_thread = std::thread([this] { Run(); });
    }
    ~Racer() {
        Stop();
        close(m_inotify);
        close(m_stop[0]);
        close(m_stop[1]);
    }
    // Ends the wait for a read that may never come; a swap already under way finishes.
    void Stop() {
        if (!m_thread.joinable()) return;
        EXPECT_EQ(write(m_stop[1], "x", 1), 1);
        m_thread.join();
    }
    // Waits up to two seconds for the swap.
    bool WaitForSwap() const {
        for (int i = 0; i < 2000 && !m_swapped; ++i) usleep(1000);
        return m_swapped;
    }
    bool Swapped() const { return m_swapped; }

private:
    void Run() {
        pollfd fds[2] = {{m_inotify, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (poll(fds, 2, 10000) <= 0 || !(fds[0].revents & POLLIN)) return;
        m_swapped = rename(m_replacement.c_str(), m_target.c_str()) == 0;
    }

    std::string m_target, m_replacement;
    int m_inotify = -1;
    int m_stop[2] = {-1, -1};
    std::atomic<bool> m_swapped{false};
    std::thread m_thread;
};

class TiedSave : public FileTest {};

TEST_F(TiedSave, WhatIsSwappedInAfterTheLoadIsNeverWrittenNorCreated) {
    enum class Swap { LinkToVictim, LinkToNowhere, Pipe, Version5, OtherVersion4, RetargetedLink };
    const struct {
        const char* what;
        Swap swap;
        bool throughLink;  // the path loaded is run/link.olv -> f.olv
    } cases[] = {
        {"file becomes a link to a victim file", Swap::LinkToVictim, false},
        {"file becomes a link to nowhere", Swap::LinkToNowhere, false},
        {"file becomes a pipe", Swap::Pipe, false},
        {"file becomes a version-5 file", Swap::Version5, false},
        {"file becomes another version-4 file", Swap::OtherVersion4, false},
        {"link target becomes a link to a victim file", Swap::LinkToVictim, true},
        {"link target becomes a pipe", Swap::Pipe, true},
        {"link itself is pointed at a victim file", Swap::RetargetedLink, true},
    };
    const std::string victim = Path("victim.txt"), nowhere = Path("created.olv"), run = Path("run");
    const std::string fresh = Path("fresh.olv");
    ASSERT_EQ(WekWriteSample(fresh.c_str(), 4, BigRecords(8, 32 << 10), true), WEK_OK);
    const std::string original = ReadBytes(fresh);
    std::string other;
    ASSERT_TRUE(WekEncode(4, kRecords, false, other));

    const int rounds = EnvNumber("QUORVEL_RACE_ROUNDS", 20);
    int saves = 0, refused = 0, others = 0, victimWrites = 0, creations = 0;
    for (const auto& c : cases) {
        for (bool wait : {true, false}) {
            for (int round = 0; round < rounds; ++round) {
                SCOPED_TRACE(std::string(c.what) + (wait ? ", swapped before the save" : ", free race") +
                             ", round " + std::to_string(round));
                RemoveTree(AT_FDCWD, run);
                ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
                WriteBytes(victim, "the victim's own content\n");
                const struct stat victimBefore = LinkStatus(victim);
                unlink(nowhere.c_str());
                const std::string file = run + "/f.olv", link = run + "/link.olv", swap = run + "/.swap";
                WriteBytes(file, original);
                if (c.throughLink) {
                    ASSERT_EQ(symlink("f.olv", link.c_str()), 0);
                }
                std::string swapBytes;
                switch (c.swap) {
                case Swap::LinkToVictim:
                case Swap::RetargetedLink: ASSERT_EQ(symlink(victim.c_str(), swap.c_str()), 0); break;
                case Swap::LinkToNowhere: ASSERT_EQ(symlink(nowhere.c_str(), swap.c_str()), 0); break;
                case Swap::Pipe: ASSERT_EQ(mkfifo(swap.c_str(), 0644), 0); break;
                case Swap::Version5:
                    ASSERT_EQ(WekWriteSample(swap.c_str(), 5, kRecords, false), WEK_OK);
                    swapBytes = ReadBytes(swap);
                    break;
                case Swap::OtherVersion4:
                    WriteBytes(swap, other);
                    swapBytes = other;
                    break;
                }
                const std::string loaded = c.throughLink ? link : file;
                const std::string swapped = c.swap == Swap::RetargetedLink ? link : file;

                Racer racer(file, swap);
                CWekFile f;
                // With `wait`, the load pauses after reading until the racer has swapped.
                const auto pause = [](int, const char* stage, void* context) {
                    if (std::string(stage) == "checking") static_cast<Racer*>(context)->WaitForSwap();
                    return 0;
                };
                if (c.swap == Swap::RetargetedLink) {
                    // The racer watches the file; here the link is swapped once the load has read it.
                    racer.Stop();
                }
                const int loadStatus = f.Load(loaded.c_str(), wait && c.swap != Swap::RetargetedLink ? +pause : nullptr,
                                              &racer, 0, 0);
                ASSERT_EQ(loadStatus, WEK_OK);
                if (c.swap == Swap::RetargetedLink && wait) {
                    ASSERT_EQ(rename(swap.c_str(), link.c_str()), 0);
                }
                const int status = f.Save(loaded.c_str(), nullptr, nullptr, nullptr, 4);
                racer.Stop();
                const bool didSwap = racer.Swapped() || (c.swap == Swap::RetargetedLink && wait);

                // Never a write outside the loaded file, never a file created.
                const bool victimWritten = ReadBytes(victim) != "the victim's own content\n" ||
                                           LinkStatus(victim).st_ino != victimBefore.st_ino;
                const bool created = LinkStatus(nowhere).st_mode != 0;
                EXPECT_FALSE(victimWritten) << "the victim file was rewritten";
                EXPECT_FALSE(created) << "a file was created through a dangling link";
                victimWrites += victimWritten;
                creations += created;
                if (c.swap == Swap::RetargetedLink) {
                    EXPECT_EQ(status, WEK_OK) << WekStatusText(status);
                    EXPECT_EQ(WekVerify(file.c_str()), WEK_OK) << "the loaded file is the one rewritten";
                } else if (wait) {
                    EXPECT_EQ(status, WEK_ERR_CHANGED) << WekStatusText(status);
                } else {
                    EXPECT_TRUE(status == WEK_OK || status == WEK_ERR_CHANGED) << WekStatusText(status);
                }
                (status == WEK_OK ? saves : status == WEK_ERR_CHANGED ? refused : others)++;
                // Whatever was swapped in is still there, untouched.
                if (didSwap) {
                    const struct stat now = LinkStatus(swapped);
                    switch (c.swap) {
                    case Swap::LinkToVictim:
                    case Swap::LinkToNowhere:
                    case Swap::RetargetedLink: EXPECT_TRUE(S_ISLNK(now.st_mode)); break;
                    case Swap::Pipe: EXPECT_TRUE(S_ISFIFO(now.st_mode)); break;
                    case Swap::Version5:
                    case Swap::OtherVersion4: EXPECT_EQ(ReadBytes(swapped), swapBytes); break;
                    }
                } else {
                    EXPECT_EQ(status, WEK_OK);
                }
                std::set<std::string> expected = {"f.olv"};
                if (c.throughLink) expected.insert("link.olv");
                if (!didSwap) expected.insert(".swap");
                EXPECT_EQ(Names(run), expected) << "no temporary file or copy left";
            }
        }
    }
    std::printf("[ figures  ] %d saves, %d refused as changed since the load, %d other outcomes, %d victim files "
                "rewritten, %d files created through a dangling link\n",
                saves, refused, others, victimWrites, creations);
}

TEST_F(TiedSave, ANameThatNoLongerHoldsTheLoadedFileIsRefusedAndNeverCreated) {
    const std::string path = Path("f.olv"), aside = Path("aside.olv");
    const struct {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"removed", [&] { unlink(path.c_str()); }},
        {"moved away", [&] { rename(path.c_str(), aside.c_str()); }},
        {"replaced by an identical copy", [&] {
             const std::string bytes = ReadBytes(path);
             unlink(path.c_str());
             WriteBytes(path, bytes);
         }},
        {"replaced by a link to itself moved away", [&] {
             rename(path.c_str(), aside.c_str());
             symlink("aside.olv", path.c_str());
         }},
        {"replaced by a folder", [&] {
             unlink(path.c_str());
             mkdir(path.c_str(), 0755);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        const std::string before = ReadBytes(path);
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        c.change();
        const std::set<std::string> names = Names(dir);
        const struct stat st = LinkStatus(path);
        EXPECT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_CHANGED);
        EXPECT_EQ(Names(dir), names);
        EXPECT_EQ(LinkStatus(path).st_ino, st.st_ino);
        if (S_ISREG(st.st_mode)) {
            EXPECT_EQ(ReadBytes(path), before);
        }
        if (LinkStatus(aside).st_mode) {
            EXPECT_EQ(ReadBytes(aside), before);
        }
        RemoveTree(AT_FDCWD, path);
        unlink(aside.c_str());
    }
}

TEST_F(TiedSave, SavesAgainAfterASaveAndFollowsNoLinkTwice) {
    ASSERT_EQ(mkdir(Path("a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(Path("b").c_str(), 0755), 0);
    const std::string real = Path("a/real.olv"), other = Path("b/other.olv");
    ASSERT_EQ(WekWriteSample(real.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(WekWriteSample(other.c_str(), 4, kRecords, true), WEK_OK);
    const std::string otherBytes = ReadBytes(other);
    // A folder link on the way and a link at the end, both followed at load time only.
    ASSERT_EQ(symlink("a", Path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink("real.olv", Path("a/link.olv").c_str()), 0);
    const std::string loaded = Path("dirlink/link.olv");
    CWekFile f;
    ASSERT_EQ(f.Load(loaded.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    // Both links now lead elsewhere; the save still goes to what the load read.
    ASSERT_EQ(unlink(Path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink("b", Path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink("other.olv", Path("b/link.olv").c_str()), 0);
    EXPECT_EQ(f.Save(loaded.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    EXPECT_EQ(f.Save(loaded.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK) << "a second save checks the new file";
    EXPECT_EQ(WekVerify(real.c_str()), WEK_OK);
    EXPECT_EQ(ReadBytes(other), otherBytes);
    EXPECT_TRUE(S_ISLNK(LinkStatus(Path("a/link.olv")).st_mode));
    EXPECT_EQ(Names(Path("a")), (std::set<std::string>{"link.olv", "real.olv"}));
}

TEST_F(TiedSave, AnotherPathIsResolvedAtSaveTimeAndNeverCreatedThroughALink) {
    const std::string source = Path("source.olv");
    ASSERT_EQ(WekWriteSample(source.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(WekWriteSample(Path("existing.olv").c_str(), 2, kRecords, false), WEK_OK);
    ASSERT_EQ(symlink("existing.olv", Path("link.olv").c_str()), 0);
    ASSERT_EQ(symlink("missing-target.olv", Path("dangling.olv").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("pipe.olv").c_str(), 0644), 0);
    ASSERT_EQ(mkdir(Path("folder.olv").c_str(), 0755), 0);
    const struct {
        std::string path;
        int status;
    } cases[] = {
        {"new.olv", WEK_OK},               // a missing plain name is created
        {"existing.olv", WEK_OK},          // an existing file is rewritten
        {"link.olv", WEK_OK},              // through a link to an existing file
        {"dangling.olv", WEK_ERR_WRITE},   // never created through a link
        {"pipe.olv", WEK_ERR_WRITE},
        {"folder.olv", WEK_ERR_WRITE},
        {"existing.olv/", WEK_ERR_WRITE},  // a trailing slash names a folder
        {"nowhere/x.olv", WEK_ERR_WRITE},
    };
    CWekFile f;
    ASSERT_EQ(f.Load(source.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(f.Save(Path(c.path).c_str(), nullptr, nullptr, nullptr, 4), c.status);
    }
    EXPECT_EQ(WekVerify(Path("new.olv").c_str()), WEK_OK);
    EXPECT_EQ(WekVerify(Path("existing.olv").c_str()), WEK_OK);
    EXPECT_TRUE(S_ISLNK(LinkStatus(Path("link.olv")).st_mode));
    EXPECT_TRUE(S_ISFIFO(LinkStatus(Path("pipe.olv")).st_mode));
    EXPECT_EQ(Names(dir), (std::set<std::string>{"source.olv", "existing.olv", "new.olv", "link.olv", "dangling.olv",
                                                 "pipe.olv", "folder.olv"}));
}

TEST_F(TiedSave, LoadingOpensNothingButRegularFiles) {
    // Every special file is watched: opening one at all (which has effects for some devices,
    // and blocks for a pipe without O_NONBLOCK) shows as IN_OPEN.
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watcher, 0);
    std::vector<std::string> paths = {Path("pipe"), Path("socket"), Path("folder"), Path("to-pipe"), Path("to-folder")};
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0666), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = Path("socket");
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(mkdir(Path("folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink("pipe", Path("to-pipe").c_str()), 0);
    ASSERT_EQ(symlink("folder", Path("to-folder").c_str()), 0);
    // A character device like /dev/null, made here (root only) so that nothing else opens it.
    if (mknod(Path("device").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        ASSERT_EQ(symlink("device", Path("to-device").c_str()), 0);
        paths.push_back(Path("device"));
        paths.push_back(Path("to-device"));
        ASSERT_GE(inotify_add_watch(watcher, Path("device").c_str(), IN_OPEN), 0);
    }
    ASSERT_GE(inotify_add_watch(watcher, Path("pipe").c_str(), IN_OPEN), 0);
    ASSERT_GE(inotify_add_watch(watcher, Path("folder").c_str(), IN_OPEN), 0);

    const std::string source = Path("source.olv");
    ASSERT_EQ(WekWriteSample(source.c_str(), 4, kRecords, true), WEK_OK);
    CWekFile saver;
    ASSERT_EQ(saver.Load(source.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        CWekFile f;
        f.m_nQuickFlag = 1;
        EXPECT_EQ(f.LoadQuick(path.c_str(), nullptr, 0), WEK_ERR_OPEN);
        EXPECT_EQ(f.GetSimpleVersion(), -1);
        EXPECT_EQ(f.LoadQuickAt(folder, path.substr(dir.size() + 1).c_str(), nullptr), WEK_ERR_OPEN);
        EXPECT_EQ(f.GetSimpleVersion(), -1);
        EXPECT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_ERR_OPEN);
        EXPECT_EQ(WekVerify(path.c_str()), WEK_ERR_OPEN);
        EXPECT_EQ(saver.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_ERR_WRITE);
        char events[4096];
        EXPECT_LT(read(watcher, events, sizeof events), 0) << "something was opened";
    }
    EXPECT_TRUE(S_ISFIFO(LinkStatus(Path("pipe")).st_mode));
    close(folder);
    close(sock);
    close(watcher);
}

TEST_F(TiedSave, TheProbeInAnOpenFolderFindsWhatTheProbeByPathFinds) {
    const std::string deep = MakeDeepFolder(dir, 5000);
    const int folder = quorvel::posix::OpenDirectory(deep);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(WekWriteSample((deep + "/v3.olv").c_str(), 3, kRecords, false), WEK_OK);
    ASSERT_EQ(symlinkat("v3.olv", folder, "link.olv"), 0);
    ASSERT_EQ(symlinkat("../v3.olv", folder, "up.olv"), 0);
    ASSERT_EQ(symlinkat("loop.olv", folder, "loop.olv"), 0);
    ASSERT_EQ(mkdirat(folder, "sub", 0755), 0);
    const int text = openat(folder, "text.olv", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(write(text, "plain text", 10), 10);
    close(text);
    const struct {
        const char* name;
        int status;
        int version;
    } cases[] = {
        {"v3.olv", WEK_OK, 3},         {"link.olv", WEK_OK, 3},        {"up.olv", WEK_ERR_OPEN, -1},
        {"loop.olv", WEK_ERR_OPEN, -1}, {"sub", WEK_ERR_OPEN, -1},     {"text.olv", WEK_ERR_NOT_OLV, 0},
        {"missing.olv", WEK_ERR_OPEN, -1}, {"sub/../v3.olv", WEK_ERR_OPEN, -1}, {"", WEK_ERR_OPEN, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CWekFile f;
        int out = 1;
        EXPECT_EQ(f.LoadQuickAt(folder, c.name, &out), c.status);
        EXPECT_EQ(out, c.status);
        EXPECT_EQ(f.GetSimpleVersion(), c.version);
        EXPECT_LE(f.BytesReadByLastCall(), 32u);
    }
    close(folder);
}

TEST_F(TiedSave, PrivilegedSavesFollowOnlyLinksThatBelongToTheFilesOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files and links away";
    const struct {
        const char* what;
        std::vector<uid_t> linkOwners;  // the first link is the path loaded
        uid_t fileOwner;
        int status;
        int folderLinkOwner = -1;  // the file is in "sub", reached by the last link through "hop"
    } cases[] = {
        {"root's link to root's file", {0}, 0, WEK_OK},
        {"a user's link to the user's file", {4321}, 4321, WEK_OK},
        {"a user's link to root's file", {4321}, 0, WEK_ERR_LINK_OWNER},
        {"root's link to a user's file", {0}, 4321, WEK_ERR_LINK_OWNER},
        {"root's link to a user's link to root's file", {0, 4321}, 0, WEK_ERR_LINK_OWNER},
        {"two of the user's links to the user's file", {4321, 4321}, 4321, WEK_OK},
        {"no link, a user's file", {}, 4321, WEK_OK},
        {"root's link through a user's folder link to root's file", {0}, 0, WEK_ERR_LINK_OWNER, 4321},
        {"a user's link through root's folder link to the user's file", {4321}, 4321, WEK_OK, 0},
        {"a user's link through their folder link to their file", {4321}, 4321, WEK_OK, 4321},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool hop = c.folderLinkOwner >= 0;
        if (hop) {
            ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
            ASSERT_EQ(symlink("sub", Path("hop").c_str()), 0);
            ASSERT_EQ(lchown(Path("hop").c_str(), c.folderLinkOwner, c.folderLinkOwner), 0);
        }
        const std::string file = Path(hop ? "sub/file.olv" : "file.olv");
        ASSERT_EQ(WekWriteSample(file.c_str(), 4, kRecords, true), WEK_OK);
        ASSERT_EQ(chown(file.c_str(), c.fileOwner, c.fileOwner), 0);
        const std::string before = ReadBytes(file);
        std::string next = hop ? "hop/file.olv" : "file.olv";
        for (std::size_t i = c.linkOwners.size(); i-- > 0;) {
            const std::string name = "link" + std::to_string(i);
            ASSERT_EQ(symlink(next.c_str(), Path(name).c_str()), 0);
            ASSERT_EQ(lchown(Path(name).c_str(), c.linkOwners[i], c.linkOwners[i]), 0);
            next = name;
        }
        const std::string loaded = Path(next);
        CWekFile f;
        ASSERT_EQ(f.Load(loaded.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        EXPECT_EQ(f.Save(loaded.c_str(), nullptr, nullptr, nullptr, 4), c.status);
        // The same rule for a save to that path as another path.
        CWekFile g;
        ASSERT_EQ(g.Load(file.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        EXPECT_EQ(g.Save(loaded.c_str(), nullptr, nullptr, nullptr, 4), c.status);
        EXPECT_EQ(ReadBytes(file) == before, c.status != WEK_OK);
        EXPECT_EQ(LinkStatus(file).st_uid, c.fileOwner);
        for (std::size_t i = 0; i < c.linkOwners.size(); ++i)
            EXPECT_TRUE(S_ISLNK(LinkStatus(Path("link" + std::to_string(i))).st_mode));
        unlink(file.c_str());
        rmdir(Path("sub").c_str());
        for (const std::string& name : Names(dir)) unlink(Path(name).c_str());
    }

    // Without privileges the kernel's own checks decide: a user may write through their link
    // to another user's file that they may write, and the file keeps its owner.
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string file = Path("shared.olv"), link = Path("mine.olv");
    ASSERT_EQ(WekWriteSample(file.c_str(), 4, kRecords, true), WEK_OK);
    ASSERT_EQ(chown(file.c_str(), 4321, 4321), 0);
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(symlink("shared.olv", link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(RunInChild([&] {
                  CWekFile f;
                  if (f.Load(link.c_str(), nullptr, nullptr, 0, 0) != WEK_OK) return 1;
                  return -f.Save(link.c_str(), nullptr, nullptr, nullptr, 4);
              }, kNobody),
              WEK_OK);
    EXPECT_EQ(WekVerify(file.c_str()), WEK_OK);
    EXPECT_EQ(LinkStatus(file).st_uid, 4321u);
    EXPECT_EQ(Names(dir), (std::set<std::string>{"shared.olv", "mine.olv"}));
}

}  // namespace
