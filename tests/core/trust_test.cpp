// The walk and the fix pass against a tree someone else can write while a privileged run works
// on it, and against bad luck: folders swapped for links, numbers given again to new folders,
// few descriptors, no threads, system file systems, stuck workers, files larger than the budget.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <new>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/PosixFileSystem.h"
#include "platform/scripted/ScriptedPort.h"
#include "scan/FolderWalk.h"
#include "tests/core/TestTree.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using scripted::ScriptedDialogPort;
using test::ReadAll;
using test::StatOf;
using test::TempTree;

// What a Browse followed by Fix files showed.
struct Shown {
    std::vector<scripted::Row> rows;
    std::vector<std::string> boxes;
    // The row's version column, or "" when the file was not listed.
    std::string Mark(const std::string& path) const {
        for (const scripted::Row& row : rows)
            if (row.file == path) return row.version;
        return "";
    }
    bool Boxed(const std::string& text) const {
        return std::any_of(boxes.begin(), boxes.end(), [&](const std::string& b) { return b.find(text) != b.npos; });
    }
};

// `listTo`: the list is then saved there too.
Shown BrowseAndFix(const std::string& root, FileWork work = {}, const std::string& listTo = {}) {
    ScriptedDialogPort port;
    CQuorvelDlg dlg(port);
    dlg.SetFileWork(std::move(work));
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    dlg.OnBnClickedBrowse();
    if (port.IsDlgItemEnabled(IDOK)) dlg.OnBnClickedFixFiles();
    if (!listTo.empty()) {
        port.saveAnswers.push_back(listTo);
        dlg.OnSaveListAs();
    }
    return {port.list.rows, port.messageBoxes};
}

// Every row as "version<TAB>path", the boxes after them: a run in one string.
std::string Describe(const Shown& shown) {
    std::string out;
    for (const scripted::Row& row : shown.rows) out += row.version + "\t" + row.file + "\n";
    for (const std::string& box : shown.boxes) out += "[" + box + "]\n";
    return out;
}

struct Walked {
    std::vector<std::string> files;
    std::vector<std::pair<std::string, FolderProblem>> skipped;
};

Walked Walk(const std::string& root, scan::WalkSettings settings) {
    posix::PosixFileSystem fs;
    scan::FolderWalk walk(fs, root, [] {}, std::move(settings));
    Walked walked;
    std::vector<scan::FoundFile> found;
    std::vector<scan::SkippedFolder> skipped;
    while (walk.Take(found, skipped)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (const scan::FoundFile& f : found) walked.files.push_back(f.path);
    for (const scan::SkippedFolder& s : skipped) walked.skipped.emplace_back(s.path, s.problem);
    return walked;
}

void Own(const std::string& path, uid_t uid) { ASSERT_EQ(lchown(path.c_str(), uid, uid), 0) << path; }

std::string Problem(FolderProblem problem) { return FolderProblemText(problem); }

TEST(TrustedWalk, APrivilegedRunFollowsAFolderLinkOnlyFromRootOrTheFoldersOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    TempTree t;
    ASSERT_EQ(chmod(t.Root().c_str(), 0755), 0);
    const std::string tree = t.Folder("tree");
    struct Case {
        const char* link;
        uid_t linkOwner;
        const char* target;
        uid_t targetOwner;
        bool entered;
        const char* via = nullptr;  // a user's link the link leads through
    };
    const Case cases[] = {
        {"theirs", test::kNobody, "secret", 0, false},  // a user's link into root's folder
        {"third", test::kNobody, "daemons", 1, false},  // into a third user's folder
        {"roots", 0, "shared", 0, true},                // root's own link
        {"own", test::kNobody, "users", test::kNobody, true},  // to the link owner's own folder
        {"latest", 0, "private", 0, false, "hop"},      // root's link, through a user's link
    };
    std::vector<std::string> contents;
    for (const Case& c : cases) {
        const std::string folder = t.Folder(c.target);
        const std::string file = t.Olv(std::string(c.target) + "/f.olv", 4, true);
        t.Raw(std::string(c.target) + "/.olvsave-99999999-1.tmp", "looks like a stale temporary");
        ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
        Own(folder, c.targetOwner);
        Own(file, c.targetOwner);
        if (c.via) Own(t.Link(std::string("tree/") + c.via, std::string("../") + c.target), test::kNobody);
        Own(t.Link(std::string("tree/") + c.link, c.via ? std::string(c.via) : std::string("../") + c.target),
            c.linkOwner);
        contents.push_back(ReadAll(file));
    }
    const std::string stale = t.Raw("tree/.olvsave-99999999-2.tmp", "a stale temporary in the tree itself");
    Own(tree, test::kNobody);

    const Shown shown = BrowseAndFix(tree);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.link);
        EXPECT_EQ(shown.Mark(tree + "/" + c.link + "/f.olv"), c.entered ? text::kResaved : "");
        EXPECT_EQ(ReadAll(t.Path(std::string(c.target) + "/f.olv")) != contents[i], c.entered);
        EXPECT_EQ(shown.Boxed(tree + "/" + c.link + ": " + Problem(FolderProblem::LinkOwner)), !c.entered);
        // Where a link led, nothing is removed, whoever owns it.
        EXPECT_NE(StatOf(t.Path(std::string(c.target) + "/.olvsave-99999999-1.tmp"), true).st_nlink, 0u);
    }
    EXPECT_EQ(StatOf(stale, true).st_nlink, 0u) << "the tree's own leftovers go";
}

// A user's process that swaps the folder `sub` of `folder` for a link to `target` and back:
// when told, or all the time.
class Racer {
public:
    Racer(const std::string& folder, std::string target, bool freeRunning) : m_target(std::move(target)) {
        int toRacer[2], fromRacer[2];
        if (pipe(toRacer) != 0 || pipe(fromRacer) != 0) return;
        std::cout.flush();
        std::fflush(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            close(toRacer[1]);
            close(fromRacer[0]);
            const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0 || !test::BecomeUser(test::kNobody)) _exit(3);
            std::minstd_rand rng(static_cast<unsigned>(getpid()));
            for (char command = 's';;) {
                if (!freeRunning && read(toRacer[0], &command, 1) != 1) _exit(0);
                const bool swapped = command == 's';
                if (swapped) {
                    renameat(dir, "sub", dir, "sub.real");
                    symlinkat(m_target.c_str(), dir, "sub");
                } else {
                    unlinkat(dir, "sub", 0);
                    renameat(dir, "sub.real", dir, "sub");
                }
                if (freeRunning) {
                    usleep(static_cast<useconds_t>(rng() % 400));
                    command = swapped ? 'b' : 's';
                } else if (write(fromRacer[1], &command, 1) != 1) {
                    _exit(0);
                }
            }
        }
        close(toRacer[0]);
        close(fromRacer[1]);
        m_to = toRacer[1];
        m_from = fromRacer[0];
    }
    ~Racer() { End(); }
    // Sends a command and waits until the racer has done it.
    void Tell(char command) {
        char done;
        if (write(m_to, &command, 1) != 1 || read(m_from, &done, 1) != 1) ADD_FAILURE() << "racer gone";
    }
    void End() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        close(m_to);
        close(m_from);
        m_pid = -1;
    }

private:
    std::string m_target;
    pid_t m_pid = -1;
    int m_to = -1, m_from = -1;
};

TEST(TrustedWalk, AFolderSwappedForALinkAfterTheWalkLeadsTheFixPassNowhere) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    TempTree t;
    ASSERT_EQ(chmod(t.Root().c_str(), 0755), 0);
    const std::string tree = t.Folder("tree");
    const std::string secret = t.Folder("secret");
    std::vector<std::string> secretContents;
    for (int i = 0; i < 5; ++i) {
        const std::string name = "/f" + std::to_string(i) + ".olv";
        Own(t.Olv("tree/sub" + name, 4, true), test::kNobody);
        secretContents.push_back(ReadAll(t.Olv("secret" + name, 4, true)));
    }
    ASSERT_EQ(chmod(secret.c_str(), 0700), 0);
    Own(tree, test::kNobody);
    Own(tree + "/sub", test::kNobody);

    const char* env = std::getenv("QUORVEL_RACE_ROUNDS");
    const int rounds = env ? std::atoi(env) : 20;
    for (const bool freeRunning : {false, true}) {
        SCOPED_TRACE(freeRunning ? "swapped at random moments" : "swapped right after the probe");
        Racer racer(tree, "../secret", freeRunning);
        int hits = 0, refused = 0;
        for (int round = 0; round < rounds; ++round) {
            FileWork work;
            auto swapped = std::make_shared<std::atomic<bool>>(false);
            if (!freeRunning)
                work.probeFile = [&racer, swapped](const std::string& path) {
                    const int version = scan::ProbeVersion(path);
                    if (path.find("/sub/") != path.npos && !swapped->exchange(true)) racer.Tell('s');
                    return version;
                };
            const Shown shown = BrowseAndFix(tree, work);
            if (!freeRunning && swapped->load()) racer.Tell('b');
            for (const scripted::Row& row : shown.rows)
                if (row.version == std::string(text::kFailedPrefix) + kChangedSinceListed) ++refused;
            bool hit = false;
            for (int i = 0; i < 5; ++i)
                hit |= ReadAll(secret + "/f" + std::to_string(i) + ".olv") != secretContents[i];
            if (hit) {
                ++hits;
                // Put root's files back, so that each round can tell.
                for (int i = 0; i < 5; ++i) t.Olv("secret/f" + std::to_string(i) + ".olv", 4, true);
            }
        }
        racer.End();
        struct stat real;
        if (lstat((tree + "/sub.real").c_str(), &real) == 0) {
            unlink((tree + "/sub").c_str());
            rename((tree + "/sub.real").c_str(), (tree + "/sub").c_str());
        }
        std::cout << "[ race ] " << (freeRunning ? "random moments" : "after the probe") << ": " << rounds
                  << " rounds, " << hits << " rewrote root's files, " << refused
                  << " rows failed as changed since listed\n";
        EXPECT_EQ(hits, 0);
        if (!freeRunning) {
            EXPECT_EQ(refused, 5 * rounds);
        }
    }
}

// Makes a folder at `path` that the file system gave the number `ino` (it gives numbers of
// removed files again at once on ext4); false when it did not within a few tries.
bool FolderWithNumber(const std::string& path, ino_t ino) {
    std::vector<std::string> made;
    bool got = false;
    for (int i = 0; i < 64 && !got; ++i) {
        const std::string name = path + ".try" + std::to_string(i);
        if (mkdir(name.c_str(), 0755) != 0) break;
        if (StatOf(name).st_ino == ino)
            got = rename(name.c_str(), path.c_str()) == 0;
        else
            made.push_back(name);
    }
    for (const std::string& name : made) rmdir(name.c_str());
    return got;
}

// The subfolder of `folder` (of two, "x" and "y") that `path` is in or is, and the other one.
std::pair<std::string, std::string> FirstAndOther(const std::string& folder, const std::string& path) {
    const bool x = path.rfind(folder + "/x", 0) == 0;
    return {folder + (x ? "/x" : "/y"), folder + (x ? "/y" : "/x")};
}

TEST(TrustedWalk, AFolderOpenedAgainMustBeTheOneWalkedNotOneGivenItsNumber) {
    TempTree t;
    t.Olv("root/L/x/x.olv", 2);
    t.Olv("root/L/y/y.olv", 2);
    const std::string level = t.Path("root/L"), outside = t.Folder("outside");
    const ino_t number = StatOf(level).st_ino;
    std::string first, other;
    bool reused = false;
    scan::WalkSettings settings;
    settings.listers = 0;
    settings.openLevels = 1;  // L is closed while its first subfolder is walked
    settings.onStepForTest = [&](scan::WalkStep step, const std::string& path) {
        if (step == scan::WalkStep::Entered && first.empty() && path.rfind(level + "/", 0) == 0)
            std::tie(first, other) = FirstAndOther(level, path);
        if (step != scan::WalkStep::Reopening || path != level) return;
        // A user moves the folder being walked out of L, empties L and removes it; a new folder
        // outside the root gets L's number, with a subfolder named like L's other one, and the
        // walked folder is moved into it.
        rename(first.c_str(), (outside + "/first").c_str());
        rename(other.c_str(), (outside + "/other").c_str());
        rmdir(level.c_str());
        reused = FolderWithNumber(outside + "/N", number);
        t.Olv("outside/N" + other.substr(level.size()) + "/evil.olv", 4);
        rename((outside + "/first").c_str(), (outside + "/N" + first.substr(level.size())).c_str());
    };
    const Walked walked = Walk(t.Path("root"), settings);
    if (!reused) GTEST_SKIP() << "the file system did not give the number again";
    const std::string firstFile = first + first.substr(first.size() - 2) + ".olv";
    EXPECT_EQ(walked.files, std::vector<std::string>{firstFile}) << "nothing from outside the root";
    ASSERT_EQ(walked.skipped.size(), 1u);
    EXPECT_EQ(walked.skipped[0].first, level);
}

// A folder walked and removed, and a new one given its number: the new one is walked too.
void NewFolderGivenAWalkedFoldersNumberIsWalked(const std::string& base) {
    TempTree t(base);
    t.Olv("root/x/x.olv", 2);
    t.Olv("root/y/y.olv", 2);
    const std::string root = t.Path("root");
    std::string first, other;
    bool reused = false;
    scan::WalkSettings settings;
    settings.listers = 0;
    settings.onStepForTest = [&](scan::WalkStep step, const std::string& path) {
        if (step != scan::WalkStep::Left || !first.empty() || path == root) return;
        // The folder just walked goes; the other one is made anew and gets its number.
        std::tie(first, other) = FirstAndOther(root, path);
        const ino_t number = StatOf(first).st_ino;
        unlink((first + first.substr(first.size() - 2) + ".olv").c_str());
        rmdir(first.c_str());
        unlink((other + other.substr(other.size() - 2) + ".olv").c_str());
        rmdir(other.c_str());
        reused = FolderWithNumber(other, number);
        t.Olv(other.substr(t.Root().size() + 1) + "/new.olv", 2);
    };
    const Walked walked = Walk(root, settings);
    if (!reused) {
        std::cout << "[ skipped ] " << base << ": the file system did not give the number again\n";
        return;
    }
    ASSERT_EQ(walked.files.size(), 2u);
    EXPECT_EQ(walked.files[1], other + "/new.olv");
    EXPECT_TRUE(walked.skipped.empty());
}

// A FUSE mount of a scratch folder (Debian's bindfs, which passes the numbers of the folders
// beneath through and tells no birth time or generation). Path() is "" where none can be made.
class FuseScratch {
public:
    FuseScratch() {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) return;
        const std::string src = m_t.Folder("src"), mnt = m_t.Folder("mnt");
        if (std::system(("bindfs '" + src + "' '" + mnt + "' 2>/dev/null").c_str()) == 0) m_path = mnt;
    }
    ~FuseScratch() {
        // A folder closed a moment ago may keep the mount busy for a moment.
        for (int i = 0; !m_path.empty() && i < 50; ++i) {
            if (std::system(("fusermount3 -u '" + m_path + "' 2>/dev/null").c_str()) == 0) return;
            usleep(20000);
        }
        if (!m_path.empty() && std::system(("umount -l '" + m_path + "'").c_str()) != 0)
            ADD_FAILURE() << "the FUSE mount " << m_path << " stays";
    }
    FuseScratch(const FuseScratch&) = delete;
    FuseScratch& operator=(const FuseScratch&) = delete;
    const std::string& Path() const { return m_path; }

private:
    TempTree m_t;
    std::string m_path;
};

TEST(TrustedWalk, ANewFolderGivenAWalkedFoldersNumberIsWalked) {
    FuseScratch fuse;
    if (fuse.Path().empty()) std::cout << "[ skipped ] the FUSE case: no bindfs mount can be made here\n";
    for (const std::string& base : {std::string("/tmp"), fuse.Path()}) {
        if (base.empty()) continue;
        SCOPED_TRACE(base);
        NewFolderGivenAWalkedFoldersNumberIsWalked(base);
    }
}

TEST(TrustedWalk, SystemFileSystemsAreNeverEnteredAndAreReported) {
    TempTree t;
    t.Olv("a.olv", 2);
    // /proc/self/cwd leads to a real folder, but a different one for every process.
    const std::pair<const char*, const char*> links[] = {
        {"toproc", "/proc"}, {"tosys", "/sys"}, {"todev", "/dev"}, {"tocwd", "/proc/self/cwd"}};
    std::vector<std::pair<std::string, FolderProblem>> expected;
    for (const auto& [name, target] : links) {
        t.Link(name, target);
        expected.emplace_back(t.Path(name), FolderProblem::SystemFiles);
    }
    Walked walked = Walk(t.Root(), {});
    EXPECT_EQ(walked.files, std::vector<std::string>{t.Path("a.olv")});
    std::sort(walked.skipped.begin(), walked.skipped.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(walked.skipped, expected);
}

// A chain of `levels` folders "d", a version-4 file in each.
void Chain(const TempTree& t, int levels) {
    std::string rel;
    for (int i = 0; i < levels; ++i) {
        rel += "d/";
        t.Olv(rel + "x.olv", 4);
    }
}

TEST(TrustedWalk, FewDescriptorsMeanHoldingFewerNeverSkipping) {
    TempTree t;
    Chain(t, 100);
    for (const rlim_t limit : {rlim_t{64}, rlim_t{24}}) {
        SCOPED_TRACE(limit);
        const std::string seen = test::InChild([&] {
            const struct rlimit rl{limit, limit};
            if (setrlimit(RLIMIT_NOFILE, &rl) != 0) return std::string("no limit");
            const Shown shown = BrowseAndFix(t.Root());
            int resaved = 0;
            for (const scripted::Row& row : shown.rows) resaved += row.version == text::kResaved;
            return std::to_string(shown.rows.size()) + " rows, " + std::to_string(resaved) + " resaved, boxes: " +
                   std::to_string(shown.boxes.size());
        });
        EXPECT_EQ(seen, "100 rows, 100 resaved, boxes: 1");
    }
}

TEST(TrustedWalk, WithoutThreadsTheWorkIsDoneWithFewerOrOnTheCallersThread) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user of its own";
    // A user with no other process, so that the limit counts only this test's threads.
    const uid_t user = 48000 + static_cast<uid_t>(getpid() % 1000);
    TempTree t;
    ASSERT_EQ(chmod(t.Root().c_str(), 0755), 0);
    for (const char* rel : {"a/one.olv", "a/b/two.olv", "c/three.olv", "four.olv"}) t.Olv(rel, 4);
    t.Olv("c/five.olv", 2);
    ASSERT_EQ(std::system(("chown -R " + std::to_string(user) + " '" + t.Root() + "'").c_str()), 0);
    const auto run = [&](rlim_t processes) {
        return test::InChild([&] {
            if (!test::BecomeUser(user)) return std::string("no user");
            const struct rlimit rl{processes, processes};
            if (processes != RLIM_INFINITY && setrlimit(RLIMIT_NPROC, &rl) != 0) return std::string("no limit");
            const std::string list = t.Path("list-" + std::to_string(processes) + ".txt");
            return Describe(BrowseAndFix(t.Root(), {}, list)) + ReadAll(list);
        });
    };
    const std::string expected = run(RLIM_INFINITY);
    ASSERT_NE(expected.find(text::kResaved), std::string::npos) << expected;
    // 1: no thread besides the test's own; 2 and 4: fewer than asked for.
    for (const rlim_t processes : {rlim_t{1}, rlim_t{2}, rlim_t{4}}) {
        // The rewrites of the first run are in the files: the same tree again from a copy.
        for (const char* rel : {"a/one.olv", "a/b/two.olv", "c/three.olv", "four.olv"}) {
            t.Olv(rel, 4);
            ASSERT_EQ(lchown(t.Path(rel).c_str(), user, user), 0);
        }
        EXPECT_EQ(run(processes), expected) << processes << " processes";
    }
}

// A gate stuck workers wait at; it opens by itself after a while so that a fault makes the
// test fail rather than hang.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    bool openedByTimeout = false;
    int inside = 0;
    std::function<void()> onStuck;  // called under the lock, so that it can be cleared
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex);
        if (onStuck) onStuck();
        ++inside;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return open; })) openedByTimeout = true;
        --inside;
        cv.notify_all();
    }
    void Open() {
        std::unique_lock<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
        cv.wait(lock, [&] { return inside == 0; });
    }
};

// The real file system, with reading the folder named "stuck" held at `gate` (when there is one).
class StuckFs : public IFileSystem {
public:
    explicit StuckFs(std::shared_ptr<Gate> g) : gate(std::move(g)) {}
    std::shared_ptr<Gate> gate;
    OpenedFolder OpenFolder(const std::string& path) override { return Wrap(m_real.OpenFolder(path), path); }

private:
    class Folder : public IFolder {
    public:
        Folder(std::unique_ptr<IFolder> real, bool stuck, std::shared_ptr<Gate> gate)
            : m_real(std::move(real)), m_stuck(stuck), m_gate(std::move(gate)) {}
        FileIdentity Identity() const override { return m_real->Identity(); }
        FolderProblem ReadEntries(std::vector<FolderEntry>& entries) override {
            if (m_stuck) m_gate->Wait();
            return m_real->ReadEntries(entries);
        }
        OpenedFolder OpenFolder(const std::string& name, Links links) override {
            return Wrap(m_real->OpenFolder(name, links), name, m_gate);
        }
        bool RemoveFile(const std::string& name) override { return m_real->RemoveFile(name); }

    private:
        std::unique_ptr<IFolder> m_real;
        bool m_stuck;
        std::shared_ptr<Gate> m_gate;
    };
    static OpenedFolder Wrap(OpenedFolder real, const std::string& name, const std::shared_ptr<Gate>& gate) {
        if (real.folder) real.folder = std::make_unique<Folder>(std::move(real.folder), gate && name == "stuck", gate);
        return real;
    }
    OpenedFolder Wrap(OpenedFolder real, const std::string& path) { return Wrap(std::move(real), path, gate); }
    posix::PosixFileSystem m_real;
};

TEST(TrustedWalk, CloseReturnsWhileWorkersAreStuck) {
    TempTree t;
    for (int i = 0; i < 20; ++i) t.Olv("f" + std::to_string(i) + ".olv", 4);
    t.Olv("stuck/s.olv", 4);
    for (const bool duringTheSearch : {true, false}) {
        SCOPED_TRACE(duringTheSearch ? "search" : "analysis");
        auto gate = std::make_shared<Gate>();
        ScriptedDialogPort port;
        // The user's click comes as a window event, whatever the workers do.
        gate->onStuck = [&port] { port.Wake(); };
        StuckFs fs(duringTheSearch ? gate : nullptr);
        port.fileSystem = &fs;
        CQuorvelDlg dlg(port);
        FileWork work;
        work.walk.listers = 0;
        if (!duringTheSearch)
            work.probeFile = [gate](const std::string& path) {
                gate->Wait();
                return scan::ProbeVersion(path);
            };
        dlg.SetFileWork(work);
        dlg.OnInitDialog();
        port.onPump = [&] {
            std::lock_guard<std::mutex> lock(gate->mutex);
            if (gate->inside > 0) dlg.OnCancel();
        };
        port.pickerAnswers.push_back(t.Root());
        dlg.OnBnClickedBrowse();
        {
            std::lock_guard<std::mutex> lock(gate->mutex);
            EXPECT_FALSE(gate->openedByTimeout) << "Browse returned only once the stuck call ended";
        }
        EXPECT_EQ(port.endResult, IDCANCEL);
        EXPECT_TRUE(port.messageBoxes.empty());
        EXPECT_FALSE(dlg.IsBrowsing());
        // Let the stuck calls end; what they still do touches only what they hold.
        {
            std::lock_guard<std::mutex> lock(gate->mutex);
            gate->onStuck = nullptr;
        }
        gate->Open();
    }
    // The threads left behind end on their own; give them a moment before the tree goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(ResaveBudget, BytesInFlightStayWithinTheBudgetAndALargerFileRunsAlone) {
    constexpr std::uint64_t kMiB = 1024 * 1024;
    struct Case {
        const char* what;
        std::uint64_t budget;
        std::vector<std::uint64_t> sizes;  // MiB
    };
    const Case cases[] = {
        {"equal files", 64, {16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16}},
        {"one too large", 64, {8, 8, 200, 8, 8, 8}},
        {"all too large", 16, {32, 32, 32}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree t;
        std::vector<std::string> paths;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string path = t.Raw("f" + std::to_string(i) + ".olv", "");
            ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(c.sizes[i] * kMiB)), 0);  // sparse
            paths.push_back(path);
        }
        std::mutex mutex;
        std::uint64_t inFlight = 0, most = 0;
        bool largeNotAlone = false;
        const auto resave = [&](const ResaveTarget& target) {
            const std::uint64_t size = FactsOf(target).size;
            {
                std::lock_guard<std::mutex> lock(mutex);
                inFlight += size;
                most = std::max(most, inFlight);
                if (size > c.budget * kMiB && inFlight != size) largeNotAlone = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::lock_guard<std::mutex> lock(mutex);
            inFlight -= size;
            return ResaveResult{true, {}};
        };
        std::atomic<int> ready{0};
        ResavePass pass([&] { ++ready; }, 8, resave, c.budget * kMiB);
        std::size_t next = 0, done = 0;
        while (done < paths.size()) {
            while (next < paths.size() && pass.HasRoom()) pass.Add(paths[next++]);
            if (pass.TryTake())
                ++done;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const std::uint64_t largest = *std::max_element(c.sizes.begin(), c.sizes.end()) * kMiB;
        EXPECT_LE(most, std::max(c.budget * kMiB, largest));
        EXPECT_FALSE(largeNotAlone);
        EXPECT_GE(pass.MostBytesInFlight(), most);
    }
}

TEST(ResaveBudget, RunningOutOfMemoryFailsTheFileNotTheProgram) {
    TempTree t;
    t.Olv("a.olv", 4);
    t.Olv("b.olv", 4);
    FileWork work;
    work.resaveFile = [](const ResaveTarget& target) -> ResaveResult {
        if (target.path.find("a.olv") != target.path.npos) throw std::bad_alloc();
        return {true, {}};
    };
    const Shown shown = BrowseAndFix(t.Root(), work);
    EXPECT_EQ(shown.Mark(t.Path("a.olv")), std::string(text::kFailedPrefix) + kNotEnoughMemory);
    EXPECT_EQ(shown.Mark(t.Path("b.olv")), text::kResaved);
}

}  // namespace
}  // namespace quorvel
