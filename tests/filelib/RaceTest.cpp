// Races against another process: a pipe swapped in for a file is never opened, wherever a file
// is opened for reading; on a file system that cannot swap names (a FUSE mount), a newer file
// moved in while a save runs is never destroyed.
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

const std::vector<std::string> kRecords = {"alpha", "beta", "gamma"};

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

class OpenForReading : public FileTest {};

// A process that swaps what two names hold (a file and a pipe) once each time it is told to,
// after a random wait of up to the spread given: over many tries its swap lands at every
// moment of an open that starts as it is told.
class TimedSwapper {
public:
    TimedSwapper(const std::string& name, const std::string& other, const std::string& aside) {
        m_shared = static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        new (m_shared) Shared;
        std::fflush(nullptr);
        m_child = fork();
        if (m_child != 0) return;
        std::mt19937 random(static_cast<unsigned>(getpid()));
        for (int done = 0; !m_shared->stop.load();) {
            if (m_shared->go.load() == done) continue;
            const long spread = std::max(1L, m_shared->spreadNs.load());
            const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(random() % spread);
            while (std::chrono::steady_clock::now() < until) {
            }
            // One step where the file system swaps two names, three renames where it cannot.
            const bool swapped = renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0 ||
                                 (rename(name.c_str(), aside.c_str()) == 0 && rename(other.c_str(), name.c_str()) == 0 &&
                                  rename(aside.c_str(), other.c_str()) == 0);
            m_shared->swaps += swapped;
            m_shared->done = ++done;
        }
        _exit(0);
    }
    ~TimedSwapper() {
        m_shared->stop = 1;
        if (m_child > 0) waitpid(m_child, nullptr, 0);
        munmap(m_shared, sizeof(Shared));
    }
    TimedSwapper(const TimedSwapper&) = delete;
    TimedSwapper& operator=(const TimedSwapper&) = delete;
    // Starts one swap within `spread` from now.
    void Swap(std::chrono::nanoseconds spread) {
        m_shared->spreadNs = static_cast<long>(spread.count());
        ++m_shared->go;
    }
    // Waits until that swap is done.
    void Wait() const {
        while (m_shared->done.load() != m_shared->go.load()) sched_yield();
    }
    long Swaps() const { return m_shared->swaps.load(); }

private:
    struct Shared {
        std::atomic<int> go{0}, done{0}, stop{0};
        std::atomic<long> spreadNs{0}, swaps{0};
    };
    Shared* m_shared = nullptr;
    pid_t m_child = -1;
};

// Every way the library opens a file for reading, each tried `tries` times on `path` (the entry
// `name` of the open folder `folder`) while `swapper` swaps the file for a pipe: every other try
// at the worst moment, the others at a random one; `saver` has another file loaded. `opens`
// counts the pipe's openings since it was last called; `afterEach` gets each way's count.
// Returns the number of tries whose outcome was none of the expected ones.
int TryEveryWayOfOpening(const std::string& path, int folder, const std::string& name, CWekFile& saver, int tries,
                         TimedSwapper& swapper, const std::function<int()>& opens,
                         const std::function<void(const char*, int)>& afterEach) {
    const struct {
        const char* what;
        std::function<int()> open;
    } ways[] = {
        {"the probe by path", [&] { CWekFile f; f.m_nQuickFlag = 1; return f.LoadQuick(path.c_str(), nullptr, 0); }},
        {"the probe in its folder", [&] { CWekFile f; return f.LoadQuickAt(folder, name.c_str(), nullptr); }},
        {"a load by path", [&] { CWekFile f; return f.Load(path.c_str(), nullptr, nullptr, 0, 0); }},
        {"a load in its folder", [&] { CWekFile f; return f.LoadAt(folder, name.c_str(), path.c_str(), nullptr, nullptr); }},
        {"the strict check", [&] { return WekVerify(path.c_str()); }},
        {"a save to its path", [&] { return saver.Save(path.c_str(), nullptr, nullptr, nullptr, 4); }},
    };
    // At the worst moment, the swap comes right after the name was looked at; the name holds
    // the file again before each try.
    bool armed = false;
    const auto swapNow = [&] {
        swapper.Swap(std::chrono::nanoseconds(0));
        swapper.Wait();
    };
    std::function<void()> atOpen = [&] {
        if (armed) swapNow();
        armed = false;
    };
    WekSetSaveHookForTest([](WekSaveStage stage, void* action) {
        if (stage == WEK_STAGE_OPEN) (*static_cast<std::function<void()>*>(action))();
    }, &atOpen);
    int unexpected = 0;
    for (const auto& way : ways) {
        int opened = 0;
        // The spread covers twice an open's time, measured untroubled.
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 20; ++i) way.open();
        const auto spread = 2 * (std::chrono::steady_clock::now() - start) / 20;
        for (int i = 0; i < tries; ++i) {
            const bool worst = i % 2 == 0;
            if (worst) {
                if (S_ISFIFO(LinkStatus(path).st_mode)) swapNow();
                armed = true;
            } else {
                swapper.Swap(spread);
            }
            const int status = way.open();
            if (!worst) swapper.Wait();
            armed = false;
            opened += opens();  // after each try: the kernel merges like events not yet read
            // A pipe is refused as unopenable (or, for a save, unwritable); a file may have been
            // swapped out under the open, which is a change.
            if (status != WEK_OK && status != WEK_ERR_OPEN && status != WEK_ERR_WRITE && status != WEK_ERR_CHANGED)
                ++unexpected;
        }
        afterEach(way.what, opened);
    }
    WekSetSaveHookForTest(nullptr, nullptr);
    return unexpected;
}

TEST_F(OpenForReading, APipeSwappedInForTheFileIsNeverOpened) {
    const std::string path = dir + "/f.olv", spare = dir + "/spare", source = dir + "/source.olv";
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, false), WEK_OK);
    ASSERT_EQ(WekWriteSample(source.c_str(), 4, kRecords, false), WEK_OK);
    ASSERT_EQ(mkfifo(spare.c_str(), 0666), 0);
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watcher, 0);
    ASSERT_GE(inotify_add_watch(watcher, spare.c_str(), IN_OPEN), 0);  // the pipe, wherever its name goes
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    CWekFile saver;
    ASSERT_EQ(saver.Load(source.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
    const auto opens = [&] {
        int count = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = read(watcher, events, sizeof events)) > 0;)
            for (char* at = events; at < events + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                count += (reinterpret_cast<inotify_event*>(at)->mask & IN_OPEN) != 0;
        return count;
    };
    const int tries = EnvNumber("QUORVEL_RACE_ROUNDS", 20) * 10;

    int total = 0;
    long swaps = 0;
    {
        TimedSwapper swapper(path, spare, dir + "/aside");
        EXPECT_EQ(TryEveryWayOfOpening(path, folder, "f.olv", saver, tries, swapper, opens, [&](const char* what, int opened) {
                      total += opened;
                      EXPECT_EQ(opened, 0) << what << " opened the pipe " << opened << " times in " << tries;
                  }),
                  0);
        swaps = swapper.Swaps();
    }
    EXPECT_GT(swaps, 0);
    std::printf("[ figures  ] with /proc: %d tries of 6 ways to open a name swapped %ld times, the pipe opened %d times\n",
                6 * tries, swaps, total);

    // Without /proc a handle cannot be reopened: the name is opened non-blocking and checked on
    // the descriptor before anything is read. A pipe swapped in at that moment is opened and
    // closed at once, and never waited on; nothing hangs and every outcome is one of the above.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hide /proc";
    const int hidden = RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2("/proc", MNT_DETACH) != 0)
            return 77;
        if (access("/proc/self/fd", F_OK) == 0) return 77;
        alarm(120);  // a hang fails the test instead of stopping it
        TimedSwapper swapper(path, spare, dir + "/aside");
        int opened = 0;
        const int unexpected =
            TryEveryWayOfOpening(path, folder, "f.olv", saver, tries, swapper, opens, [&](const char*, int n) { opened += n; });
        std::printf("[ figures  ] without /proc: %d tries, the pipe opened (never read) %d times\n", 6 * tries, opened);
        std::fflush(stdout);
        return unexpected == 0 ? 0 : 1;
    });
    if (hidden == 77) GTEST_SKIP() << "/proc cannot be hidden here (no mount namespace)";
    EXPECT_EQ(hidden, 0);
    close(folder);
    close(watcher);
}

// A folder of a FUSE mount (Debian's bindfs over a scratch folder), which cannot swap names
// nor create unnamed files, like many network file systems.
class FuseMount : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "FUSE test skipped: needs root to mount";
        if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "FUSE test skipped: no /dev/fuse here";
        if (!Shell("command -v bindfs >/dev/null")) GTEST_SKIP() << "FUSE test skipped: bindfs is not installed (scripts/setup.sh installs it)";
        ASSERT_EQ(mkdir(Path("src").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("mnt").c_str(), 0755), 0);
        if (!Shell("bindfs " + Quoted(Path("src")) + " " + Quoted(Path("mnt")) + " 2>/dev/null"))
            GTEST_SKIP() << "FUSE test skipped: bindfs cannot mount here";
        m_mounted = true;
        mnt = Path("mnt");
    }
    void TearDown() override {
        WekSetSaveHookForTest(nullptr, nullptr);
        // A file closed a moment ago may keep the mount busy for a moment.
        for (int i = 0; m_mounted && i < 50; ++i) {
            m_mounted = !Shell("fusermount3 -u " + Quoted(mnt) + " 2>/dev/null");
            if (m_mounted) usleep(20000);
        }
        if (m_mounted) {
            EXPECT_TRUE(Shell("umount -l " + Quoted(mnt))) << "the FUSE mount " << mnt << " stays";
        }
        FileTest::TearDown();
    }
    std::string mnt;

private:
    bool m_mounted = false;
};

// The names in `folder`, without the hidden names a FUSE file system gives removed files that
// are still open, once those are gone (it removes them when the file is closed, a moment later).
std::set<std::string> Settled(const std::string& folder) {
    std::set<std::string> names;
    for (int i = 0; i < 100; ++i) {
        names = Names(folder);
        if (std::none_of(names.begin(), names.end(), [](const std::string& n) { return n.rfind(".fuse_hidden", 0) == 0; }))
            break;
        usleep(10000);
    }
    return names;
}

// Calls `action` when a save reaches WEK_STAGE_RENAME (its last checks before the replace).
void AtTheLastChecks(WekSaveStage stage, void* action) {
    if (stage == WEK_STAGE_RENAME) (*static_cast<std::function<void()>*>(action))();
}

TEST_F(FuseMount, ANewerFileMovedInWhileASaveRunsIsNeverDestroyed) {
    const std::string path = mnt + "/f.olv", newer = mnt + "/newer.olv";
    // The mount refuses what a local disk offers: that is what this test is about.
    ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
    WriteBytes(newer, "x");
    ASSERT_NE(renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, newer.c_str(), RENAME_EXCHANGE), 0);
    ASSERT_EQ(errno, EINVAL);
    ASSERT_EQ(unlink(newer.c_str()), 0);

    // A plain save works and keeps nothing of ours.
    {
        CWekFile f;
        ASSERT_EQ(f.Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        ASSERT_EQ(f.Save(path.c_str(), nullptr, nullptr, nullptr, 4), WEK_OK);
    }
    EXPECT_EQ(WekVerify(path.c_str()), WEK_OK);
    EXPECT_EQ(Settled(mnt), std::set<std::string>{"f.olv"});

    // Another program moves a newer file in at the worst moment, or at any moment.
    std::string newerBytes;
    ASSERT_TRUE(WekEncode(5, {"newer", "content"}, false, newerBytes));
    std::function<void()> moveIn = [&] { EXPECT_EQ(rename(newer.c_str(), path.c_str()), 0); };
    const int rounds = EnvNumber("QUORVEL_RACE_ROUNDS", 20) * 2;
    std::mt19937 random(static_cast<unsigned>(std::random_device{}()));
    int tries = 0, destroyed = 0, refused = 0, saved = 0;
    for (int round = 0; round <= rounds; ++round) {
        const bool atTheWorstMoment = round == 0;
        SCOPED_TRACE(atTheWorstMoment ? std::string("just before the replace") : "round " + std::to_string(round));
        ASSERT_EQ(WekWriteSample(path.c_str(), 4, kRecords, true), WEK_OK);
        WriteBytes(newer, newerBytes);
        auto g = std::make_unique<CWekFile>();
        ASSERT_EQ(g->Load(path.c_str(), nullptr, nullptr, 0, 0), WEK_OK);
        int status;
        if (atTheWorstMoment) {
            WekSetSaveHookForTest(&AtTheLastChecks, &moveIn);
            status = g->Save(path.c_str(), nullptr, nullptr, nullptr, 4);
            WekSetSaveHookForTest(nullptr, nullptr);
        } else {
            const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 4000)(random));
            std::thread racer([&] {
                std::this_thread::sleep_for(delay);
                moveIn();
            });
            status = g->Save(path.c_str(), nullptr, nullptr, nullptr, 4);
            racer.join();
        }
        g.reset();  // it holds the file open
        ++tries;
        // Whenever it came, the newer file is what the name holds now.
        const bool kept = ReadBytes(path) == newerBytes;
        destroyed += !kept;
        EXPECT_TRUE(kept) << WekStatusText(status);
        (status == WEK_OK ? saved : refused)++;
        if (atTheWorstMoment) {
            EXPECT_EQ(status, WEK_ERR_CHANGED);
        } else {
            EXPECT_TRUE(status == WEK_OK || status == WEK_ERR_CHANGED || status == WEK_ERR_MOVED_ASIDE)
                << WekStatusText(status);
        }
        std::set<std::string> expected = {"f.olv"};
        if (status == WEK_ERR_MOVED_ASIDE) expected.insert("f.olv.olvkeep");
        EXPECT_EQ(Settled(mnt), expected);
        for (const std::string& name : Names(mnt)) unlink((mnt + "/" + name).c_str());
    }
    std::printf("[ figures  ] FUSE: %d saves with a newer file moved in: %d newer files destroyed (%d saved first, "
                "%d refused)\n",
                tries, destroyed, saved, refused);
}

}  // namespace
