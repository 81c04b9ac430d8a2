// Saves killed at random moments: the file always holds a whole version (the old one or the
// new one), and the only names left beside it are temporary files that WekIsStaleTemporaryName
// recognises, so that a later Browse removes them. Rewrites in place leave a torn file only
// together with a .olvkeep copy that holds a whole version.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "filelib/WekFile.h"
#include "filelib/WekVerify.h"
#include "tests/filelib/TestFiles.h"

namespace {

using namespace filetest;

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::atoi(text) : fallback;
}

// The id of a process that has ended and been reaped.
pid_t EndedProcess() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

TEST(OlvTemporaryName, RecognisesOurNamesWhoseProcessIsGone) {
    const std::string gone = std::to_string(EndedProcess()), self = std::to_string(getpid());
    const struct {
        std::string name;
        bool stale;
    } cases[] = {
        {".olvsave-" + gone + "-0.tmp", true},
        {".olvsave-" + gone + "-4294967295.tmp", true},
        {".olvsave-" + self + "-0.tmp", false},  // a save of a running process
        {".olvsave-1-0.tmp", false},             // the init process always runs
        {".olvsave-" + gone + "-0.tmp~", false},
        {"x.olvsave-" + gone + "-0.tmp", false},
        {".olvsave-" + gone + ".tmp", false},
        {".olvsave-" + gone + "--0.tmp", false},
        {".olvsave--" + gone + "-0.tmp", false},
        {".olvsave-" + gone + "-0-1.tmp", false},
        {".olvsave-" + gone + "-x.tmp", false},
        {".olvsave-+" + gone + "-0.tmp", false},
        {".olvsave-0-0.tmp", false},
        {".olvsave-99999999999-0.tmp", false},  // no process id is that large
        {".olvsave-" + gone + "-0.TMP", false},
        {".olvsave--.tmp", false},
        {".olvsave-.tmp", false},
        {"f.olv.olvkeep", false},  // a backup copy is the user's, never a temporary file
        {"f.olv", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(WekIsStaleTemporaryName(c.name), c.stale) << c.name;
}

class OlvKill : public FileTest {
protected:
    // Two contents of the same size that share no record, so that any mix of them is damaged.
    static std::vector<std::string> Records(char fill) {
        return std::vector<std::string>(16, std::string(64 << 10, fill));
    }

    // Runs a child that saves `path` over and over, kills it at random moments `kills` times
    // and checks the folder after each kill. `check` gets the file's bytes and the names beside
    // it and returns false to stop.
    struct Figures {
        int kills = 0, leftovers = 0, copies = 0, torn = 0;
    };
    Figures KillRepeatedly(const std::string& path, int kills, bool named,
                           const std::function<void(const std::set<std::string>&, Figures&)>& check) {
        // One round's time, measured here after a first one, sets how late a kill may come.
        SaveRound(path, 1);
        const auto start = std::chrono::steady_clock::now();
        SaveRound(path, 0);
        SaveRound(path, 1);
        const auto round = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start) / 2;
        std::random_device device;
        const unsigned startValue = device();
        std::mt19937 random(startValue);
        std::uniform_int_distribution<long long> delay(0, 2 * static_cast<long long>(round.count()));
        std::printf("[ figures  ] one save round %lld us; random start value %u\n",
                    static_cast<long long>(round.count()), startValue);
        Figures figures;
        for (; figures.kills < kills && !HasFatalFailure(); ++figures.kills) {
            std::fflush(nullptr);
            const pid_t child = fork();
            if (child == 0) {
                if (named) WekSetSaveFailureForTest(WEK_STAGE_UNNAMED);
                for (int i = 0;; ++i) SaveRound(path, i);
            }
            if (child < 0) {
                ADD_FAILURE() << "fork failed";
                break;
            }
            usleep(static_cast<useconds_t>(delay(random)));
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            std::set<std::string> names = Names(dir);
            check(names, figures);
            // What a later Browse does with the names the predicate recognises.
            for (const std::string& name : names) {
                if (!WekIsStaleTemporaryName(name)) continue;
                ++figures.leftovers;
                EXPECT_EQ(unlinkat(AT_FDCWD, Path(name).c_str(), 0), 0);
            }
        }
        return figures;
    }

    // One round of what the child repeats: write a file with the fault, alternately of two
    // contents, then repair it with Load and Save of the same path.
    static void SaveRound(const std::string& path, int i) {
        WekWriteSample(path.c_str(), 4, Records(i % 2 ? 'b' : 'a'), true);
        CWekFile f;
        if (f.Load(path.c_str(), nullptr, nullptr, 0, 0) == WEK_OK) f.Save(path.c_str(), nullptr, nullptr, nullptr, 4);
    }

    // True when `bytes` is one of the four whole versions the child writes.
    static bool Whole(const std::string& bytes) {
        static const std::vector<std::string> images = [] {
            std::vector<std::string> all;
            for (char fill : {'a', 'b'})
                for (bool fault : {true, false}) {
                    all.emplace_back();
                    WekEncode(4, Records(fill), fault, all.back());
                }
            return all;
        }();
        return std::find(images.begin(), images.end(), bytes) != images.end();
    }
};

TEST_F(OlvKill, KilledSavesLeaveAWholeFileAndOnlyStaleTemporaries) {
    const int kills = EnvNumber("QUORVEL_KILLS", 100);
    const std::string path = Path("f.olv");
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary files" : "unnamed temporary files");
        const Figures f = KillRepeatedly(path, named ? kills / 5 : kills, named, [&](const std::set<std::string>& names, Figures&) {
            EXPECT_TRUE(Whole(ReadBytes(path)));
            for (const std::string& name : names)
                EXPECT_TRUE(name == "f.olv" || WekIsStaleTemporaryName(name)) << name;
        });
        std::printf("[ figures  ] %s temporary files: %d kills, %d temporary files left (removed as stale)\n",
                    named ? "named" : "unnamed", f.kills, f.leftovers);
        EXPECT_EQ(Names(dir), std::set<std::string>{"f.olv"});
    }
}

TEST_F(OlvKill, KilledInPlaceRewritesLeaveAWholeFileOrAWholeCopy) {
    const int kills = EnvNumber("QUORVEL_KILLS", 100) / 5;
    const std::string path = Path("f.olv"), copy = Path("f.olv.olvkeep");
    // A second hard link makes every save an in-place rewrite.
    SaveRound(path, 0);
    ASSERT_EQ(link(path.c_str(), Path("other.olv").c_str()), 0);
    const ino_t inode = LinkStatus(path).st_ino;
    const Figures f = KillRepeatedly(path, kills, false, [&](const std::set<std::string>& names, Figures& figures) {
        EXPECT_EQ(LinkStatus(path).st_ino, inode);
        const bool whole = Whole(ReadBytes(path));
        if (names.count("f.olv.olvkeep")) {
            ++figures.copies;
            figures.torn += !whole;
            // The file is overwritten only once its copy is complete and flushed.
            if (!whole) {
                EXPECT_TRUE(Whole(ReadBytes(copy))) << "a torn file beside a torn copy";
            }
            // What README.md says to do: a file that loads is whole; otherwise copy back.
            CWekFile probe;
            if (probe.Load(path.c_str(), nullptr, nullptr, 0, 0) != WEK_OK) WriteBytes(path, ReadBytes(copy));
            EXPECT_EQ(unlink(copy.c_str()), 0);
            EXPECT_TRUE(Whole(ReadBytes(path)));
        } else {
            EXPECT_TRUE(whole) << "a torn file without its copy";
        }
        for (const std::string& name : names)
            EXPECT_TRUE(name == "f.olv" || name == "other.olv" || name == "f.olv.olvkeep" || WekIsStaleTemporaryName(name))
                << name;
    });
    std::printf("[ figures  ] in place: %d kills, %d copies left (%d beside a torn file), %d temporary files left\n",
                f.kills, f.copies, f.torn, f.leftovers);
    EXPECT_EQ(Names(dir), (std::set<std::string>{"f.olv", "other.olv"}));
}

}  // namespace
