// The file work on worker threads: whatever the timing, rows, versions, outcomes and progress
// are exactly those of one-at-a-time work; stopping ends it promptly; deep and hostile trees.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "base/Path.h"
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
using test::TempTree;

// Sleeps a random few microseconds, differently on every thread.
void Jitter(unsigned maxMicros) {
    if (maxMicros == 0) return;
    thread_local std::minstd_rand rng(static_cast<unsigned>(
        std::hash<std::thread::id>()(std::this_thread::get_id())));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (maxMicros + 1)));
}

// A file system that delays every call by a random amount and counts the folders opened.
class JitteryFs : public IFileSystem {
public:
    JitteryFs(IFileSystem& real, unsigned maxMicros) : m_real(real), m_max(maxMicros) {}
    OpenedFolder OpenFolder(const std::string& path) override { return Wrap(m_real.OpenFolder(path)); }
    std::atomic<int> opened{0};

private:
    class Folder : public IFolder {
    public:
        Folder(JitteryFs& fs, std::unique_ptr<IFolder> real) : m_fs(fs), m_real(std::move(real)) {}
        FileIdentity Identity() const override { return m_real->Identity(); }
        FolderProblem ReadEntries(std::vector<FolderEntry>& entries) override {
            Jitter(m_fs.m_max);
            return m_real->ReadEntries(entries);
        }
        OpenedFolder OpenFolder(const std::string& name, Links links) override {
            return m_fs.Wrap(m_real->OpenFolder(name, links));
        }
        bool RemoveFile(const std::string& name) override { return m_real->RemoveFile(name); }
        int Descriptor() const override { return m_real->Descriptor(); }

    private:
        JitteryFs& m_fs;
        std::unique_ptr<IFolder> m_real;
    };

    OpenedFolder Wrap(OpenedFolder real) {
        Jitter(m_max);
        ++opened;
        if (real.folder) real.folder = std::make_unique<Folder>(*this, std::move(real.folder));
        return real;
    }

    IFileSystem& m_real;
    const unsigned m_max;
};

// A tree of random shape: nested folders, .olv files of every version, other files, links back
// to ancestors, second links to folders elsewhere, and an unreadable folder.
void BuildRandomTree(const TempTree& t, unsigned shape) {
    std::minstd_rand rng(shape);
    std::vector<std::string> folders = {""};
    for (int i = 0; i < 60; ++i) {
        const std::string parent = folders[rng() % folders.size()];
        folders.push_back(parent + (parent.empty() ? "" : "/") + "d" + std::to_string(i));
        t.Folder(folders.back());
    }
    for (int i = 0; i < 150; ++i) {
        const std::string& folder = folders[rng() % folders.size()];
        const std::string rel = (folder.empty() ? "" : folder + "/") + "f" + std::to_string(i);
        switch (rng() % 4) {
        case 0: t.Raw(rel + ".txt", "not listed"); break;
        case 1: t.Raw(rel + ".olv", "not an olv file"); break;
        default: {
            const int version = static_cast<int>(1 + rng() % 5);
            t.Olv(rel + ".olv", version, version == 4 && rng() % 2 == 0);
            break;
        }
        }
    }
    for (int i = 0; i < 6; ++i) {
        const std::string& from = folders[1 + rng() % (folders.size() - 1)];
        t.Link(from + "/up" + std::to_string(i), t.Root());
        t.Link(from + "/side" + std::to_string(i), t.Path(folders[1 + rng() % (folders.size() - 1)]));
    }
    t.Olv(folders[1] + "/locked/hidden.olv", 4);
}

// Everything the user sees of a Browse and a fix pass, in order.
struct Seen {
    std::vector<scripted::Row> rows;
    std::vector<int> positions;
    std::vector<std::string> boxes;
    friend bool operator==(const Seen& a, const Seen& b) {
        if (a.positions != b.positions || a.boxes != b.boxes || a.rows.size() != b.rows.size()) return false;
        for (std::size_t i = 0; i < a.rows.size(); ++i)
            if (a.rows[i].file != b.rows[i].file || a.rows[i].version != b.rows[i].version ||
                a.rows[i].data != b.rows[i].data)
                return false;
        return true;
    }
};

Seen BrowseAndFix(const std::string& root, FileWork work, unsigned fsMicros) {
    ScriptedDialogPort port;
    posix::PosixFileSystem real;
    JitteryFs fs(real, fsMicros);
    port.fileSystem = &fs;
    CQuorvelDlg dlg(port);
    dlg.SetFileWork(std::move(work));
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    dlg.OnBnClickedBrowse();
    dlg.OnBnClickedFixFiles();
    return {port.list.rows, port.progress.positions, port.messageBoxes};
}

TEST(Work, RandomTimingGivesExactlyTheRowsOfOneAtATimeWork) {
    TempTree t;
    BuildRandomTree(t, 7);
    ASSERT_EQ(chmod(t.Path("d0/locked").c_str(), 0), 0);
    // Rewrites fail for some files, decided by name, so outcomes can be compared between runs.
    const auto outcome = [](const std::string& path) {
        return path.find('3') != std::string::npos ? ResaveResult{false, "refused"} : ResaveResult{true, {}};
    };

    FileWork sequential;
    sequential.walk.listers = 0;
    sequential.probe.threads = 1;
    sequential.probe.ahead = 1;
    sequential.resaveJobs = 1;
    sequential.resaveFile = outcome;
    const Seen expected = BrowseAndFix(t.Root(), sequential, 0);
    ASSERT_GT(expected.rows.size(), 50u);
    ASSERT_EQ(expected.boxes.size(), 2u);  // the summary and the failures

    const char* env = std::getenv("QUORVEL_TIMING_RUNS");
    const unsigned runs = env ? static_cast<unsigned>(std::atoi(env)) : 12;
    for (unsigned run = 0; run < runs; ++run) {
        std::minstd_rand rng(run + 1);
        FileWork work;
        work.walk.listers = 1 + static_cast<int>(rng() % 8);
        work.walk.foldersAhead = 1 + rng() % 40;
        work.walk.pathsAhead = 1 + rng() % 16;
        work.walk.openLevels = 1 + rng() % 3;  // folders are closed and opened again on the way up
        work.probe.threads = 1 + static_cast<int>(rng() % 8);
        work.probe.ahead = 1 + rng() % 32;
        work.resaveJobs = 1 + static_cast<int>(rng() % 8);
        const auto micros = static_cast<unsigned>(rng() % 200);
        work.probeFile = [micros](const std::string& path) {
            Jitter(micros);
            return scan::ProbeVersion(path);
        };
        work.resaveFile = [micros, outcome](const std::string& path) {
            Jitter(micros * 2);
            return outcome(path);
        };
        EXPECT_TRUE(BrowseAndFix(t.Root(), work, micros) == expected) << "run " << run;
    }
}

TEST(Work, FilesOfOneFolderStartedTogetherOpenItOnce) {
    TempTree t;
    for (int i = 0; i < 12; ++i) t.Olv("d/e/f" + std::to_string(i) + ".olv", 4);
    ScriptedDialogPort port;
    posix::PosixFileSystem real;
    JitteryFs fs(real, 2000);  // slow opens: every worker would be opening at once
    port.fileSystem = &fs;
    CQuorvelDlg dlg(port);
    FileWork work;
    work.resaveJobs = 12;
    work.resaveFile = [](const ResaveTarget&) { return ResaveResult{true, {}}; };
    dlg.SetFileWork(work);
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(t.Root());
    dlg.OnBnClickedBrowse();
    ASSERT_EQ(dlg.Version4Count(), 12);
    fs.opened = 0;
    dlg.OnBnClickedFixFiles();
    EXPECT_EQ(fs.opened.load(), 3);  // the root, d and d/e, each once
    for (const scripted::Row& row : port.list.rows) EXPECT_EQ(row.version, text::kResaved);
}

TEST(Work, CloseDuringTheSearchStopsItPromptlyAndClosesWithoutASummary) {
    // A wide tree on a slow file system: the search would take seconds to finish.
    ScriptedDialogPort port;
    port.tree.emplace();
    std::vector<FolderEntry> top;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "d" + std::to_string(i);
        top.push_back({name, true});
        port.tree->AddFolder("r" + std::string(1, kPathSep) + name, {{"x.olv", false}});
    }
    port.tree->AddFolder("r", std::move(top));
    JitteryFs fs(*port.tree, 2000);
    port.fileSystem = &fs;
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    bool sawDisabled = false;
    port.onPump = [&] {
        sawDisabled = !port.IsDlgItemEnabled(IDC_BROWSE) && !port.IsDlgItemEnabled(IDOK);
        if (port.list.GetItemCount() >= 5) dlg.OnCancel();
        EXPECT_FALSE(port.endResult);  // not while the search runs
    };
    port.pickerAnswers.push_back("r");
    dlg.OnBnClickedBrowse();
    EXPECT_TRUE(sawDisabled) << "Browse and Fix files are disabled during the search";
    EXPECT_EQ(port.endResult, IDCANCEL);
    EXPECT_TRUE(port.messageBoxes.empty());
    EXPECT_LT(fs.opened.load(), 500) << "the walk stopped soon after the close";
    EXPECT_EQ(port.waitDepth, 0);
    EXPECT_FALSE(dlg.IsBrowsing());
}

TEST(Work, CloseDuringTheAnalysisStopsItAndClosesWithoutASummary) {
    TempTree t;
    for (int i = 0; i < 40; ++i) t.Olv("f" + std::to_string(i) + ".olv", 4);
    ScriptedDialogPort port;
    CQuorvelDlg dlg(port);
    FileWork work;
    work.probeFile = [](const std::string& path) {
        Jitter(3000);
        return scan::ProbeVersion(path);
    };
    dlg.SetFileWork(work);
    dlg.OnInitDialog();
    port.onPump = [&] {
        if (port.DlgItemText(IDC_STEP2_TEXT) == text::kStep2Analyzing) dlg.OnCancel();
    };
    port.pickerAnswers.push_back(t.Root());
    dlg.OnBnClickedBrowse();
    EXPECT_EQ(port.endResult, IDCANCEL);
    EXPECT_TRUE(port.messageBoxes.empty());
    EXPECT_EQ(port.list.GetItemCount(), 40);
    EXPECT_EQ(port.waitDepth, 0);
}

// Makes `levels` nested folders "a" under `root` with mkdirat, one level at a time, and a
// file x.olv at a few depths; returns the number of .olv files made.
int MakeDeepTree(const std::string& root, int levels) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int files = 0;
    for (int i = 0; i < levels && fd >= 0; ++i) {
        if (i % 25000 == 0 || i == levels - 1) {  // at depth 0, 25000, ... and the deepest
            const int f = openat(fd, "x.olv", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (f >= 0) {
                close(f);
                ++files;
            }
        }
        mkdirat(fd, "a", 0755);
        const int next = openat(fd, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    if (fd >= 0) close(fd);
    return files;
}

// Removes what MakeDeepTree made in time linear in the depth (rm takes minutes for this): each
// round moves the second level up to the first and removes the emptied first.
void RemoveDeepTree(const std::string& root) {
    const int top = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    unlinkat(top, "x.olv", 0);
    while (true) {
        const int a = openat(top, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (a < 0) break;
        unlinkat(a, "x.olv", 0);
        const bool deeper = renameat(a, "a", top, "b") == 0;
        close(a);
        unlinkat(top, "a", AT_REMOVEDIR);
        if (!deeper || renameat(top, "b", top, "a") != 0) break;
    }
    close(top);
}

TEST(Work, AHundredThousandLevelsAreWalkedWithoutRecursionAndStopCleanly) {
    // In memory where there is room: on a disk that discards freed blocks, removing a hundred
    // thousand folders takes minutes.
    TempTree t(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    // Fewer levels where every call is slowed down (sanitizer builds).
    const char* env = std::getenv("QUORVEL_DEEP_LEVELS");
    const int kLevels = env ? std::atoi(env) : 100000;
    const int files = MakeDeepTree(t.Root(), kLevels);
    struct Cleanup {
        const std::string& root;
        ~Cleanup() { RemoveDeepTree(root); }
    } cleanup{t.Root()};
    posix::PosixFileSystem fs;
    for (const bool stopEarly : {false, true}) {
        std::atomic<int> wakes{0};
        scan::FolderWalk walk(fs, t.Root(), [&] { ++wakes; });
        std::vector<scan::FoundFile> found;
        std::vector<scan::SkippedFolder> skipped;
        const auto started = std::chrono::steady_clock::now();
        while (walk.Take(found, skipped)) {
            // Stopped somewhere deep inside: the walk frees its levels without deep recursion.
            if (stopEarly && std::chrono::steady_clock::now() - started > std::chrono::milliseconds(100))
                walk.Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (stopEarly) {
            EXPECT_LE(found.size(), static_cast<std::size_t>(files));
            continue;
        }
        ASSERT_EQ(found.size(), static_cast<std::size_t>(files));
        // The deepest file's path holds every level: "/a" ninety-nine thousand nine hundred
        // and ninety-nine times.
        EXPECT_TRUE(skipped.empty());
        const std::string& deepest = std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) {
                                         return a.path.size() < b.path.size();
                                     })->path;
        EXPECT_EQ(deepest.size(), t.Root().size() + 2 * (kLevels - 1) + 6);
        EXPECT_EQ(deepest.substr(deepest.size() - 8), "/a/x.olv");
    }
}

}  // namespace
}  // namespace quorvel
