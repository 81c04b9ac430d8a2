// The fix pass on the scripted port over real files: which files are rewritten and in what
// order, the row marks, progress, failures, and what the message pump may do meanwhile.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "filelib/WekFile.h"
#include "platform/scripted/ScriptedPort.h"
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
using test::VerifiesStrictly;

struct Fixer {
    ScriptedDialogPort port;
    CQuorvelDlg dlg{port};
    explicit Fixer(const std::string& root) {
        dlg.OnInitDialog();
        port.pickerAnswers.push_back(root);
        dlg.OnBnClickedBrowse();
    }
    int Row(const std::string& path) const {
        for (int i = 0; i < port.list.GetItemCount(); ++i)
            if (port.list.rows[i].file == path) return i;
        return -1;
    }
    const std::string& Mark(const std::string& path) const {
        return port.list.rows.at(Row(path)).version;
    }
};

TEST(FixFiles, RewritesExactlyTheVersion4FilesInListOrder) {
    TempTree t;
    std::vector<std::string> v4 = {t.Olv("a/one.olv", 4, true), t.Olv("b/two.olv", 4),
                                   t.Olv("c/three.olv", 4, true)};
    std::vector<std::string> others = {t.Olv("v1.olv", 1), t.Olv("v2.olv", 2), t.Olv("v3.olv", 3),
                                       t.Olv("v5.olv", 5), t.Olv("v9.olv", 9),
                                       t.Raw("foreign.olv", "plain text"),
                                       t.Raw("empty.olv", "")};
    std::vector<std::string> before;
    std::vector<struct stat> statBefore;
    for (const std::string& p : others) {
        before.push_back(ReadAll(p));
        statBefore.push_back(StatOf(p));
    }
    Fixer f(t.Root());
    ASSERT_EQ(f.port.list.GetItemCount(), 10);
    EXPECT_FALSE(VerifiesStrictly(v4[0]));  // carries the recoverable fault

    // Watch every repaint: each file shows "working" while it is in flight, then its outcome.
    // Several files may be in flight at once; outcomes come back in list order.
    std::map<std::string, int> firstWorking;
    std::vector<std::string> resavedOrder;
    int repaint = 0;
    f.port.list.onUpdate = [&] {
        ++repaint;
        for (const scripted::Row& row : f.port.list.rows)
            if (row.version == text::kWorking) firstWorking.emplace(row.file, repaint);
        if (f.port.list.lastEnsuredVisible >= 0) {
            const scripted::Row& row = f.port.list.rows[f.port.list.lastEnsuredVisible];
            if (row.version == text::kResaved &&
                (resavedOrder.empty() || resavedOrder.back() != row.file))
                resavedOrder.push_back(row.file);
        }
    };
    const int redrawsBefore = f.port.redraws;
    f.port.progress.positions.clear();
    f.dlg.OnBnClickedFixFiles();

    // The list order, not the discovery order of the folders, decides the order of work.
    std::vector<std::string> order;
    for (const scripted::Row& row : f.port.list.rows)
        if (row.data == 4) order.push_back(row.file);
    EXPECT_EQ(resavedOrder, order);
    for (const std::string& p : order) EXPECT_EQ(firstWorking.count(p), 1u) << p << " never showed working";
    EXPECT_EQ(f.port.progress.upper, 3);
    EXPECT_EQ(f.port.progress.positions, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(f.port.redraws - redrawsBefore, 3);  // the window repaints after every outcome
    EXPECT_GE(f.port.progress.updates, 1);

    for (const std::string& p : v4) {
        EXPECT_EQ(f.Mark(p), "4 - resaved");
        EXPECT_TRUE(VerifiesStrictly(p)) << p;
    }
    for (std::size_t i = 0; i < others.size(); ++i) {
        EXPECT_EQ(ReadAll(others[i]), before[i]) << others[i];
        const struct stat now = StatOf(others[i]);
        EXPECT_EQ(now.st_mtim.tv_sec, statBefore[i].st_mtim.tv_sec);
        EXPECT_EQ(now.st_mtim.tv_nsec, statBefore[i].st_mtim.tv_nsec);
        EXPECT_EQ(now.st_ino, statBefore[i].st_ino);
        const scripted::Row& row = f.port.list.rows.at(f.Row(others[i]));
        EXPECT_EQ(row.version, std::to_string(row.data));
    }
    EXPECT_EQ(f.port.messageBoxes.size(), 1u);  // only the Browse summary
    EXPECT_TRUE(f.port.IsDlgItemEnabled(IDOK));
    EXPECT_TRUE(f.port.IsDlgItemEnabled(IDC_BROWSE));
    EXPECT_EQ(f.port.waitDepth, 0);
    EXPECT_EQ(f.dlg.Version4Count(), 3);

    // A second click repeats the pass over the same rows.
    f.dlg.OnBnClickedFixFiles();
    for (const std::string& p : v4) EXPECT_EQ(f.Mark(p), "4 - resaved");
    EXPECT_EQ(f.port.progress.pos, 3);
}

TEST(FixFiles, AFileThatCannotBeResavedIsMarkedFailedAndCounted) {
    TempTree t;
    const std::string ok = t.Olv("ok.olv", 4);
    const std::string gone = t.Olv("gone.olv", 4);
    const std::string changed = t.Olv("changed.olv", 4);
    const std::string damaged = t.Olv("damaged.olv", 4);
    const std::string foreign = t.Olv("foreign.olv", 4);
    const std::string readOnly = t.Olv("readonly.olv", 4);
    Fixer f(t.Root());
    ASSERT_EQ(f.dlg.Version4Count(), 6);

    // The files change between the analysis and the pass.
    ASSERT_EQ(unlink(gone.c_str()), 0);
    t.Olv("changed.olv", 3);
    const std::string whole = ReadAll(damaged);
    t.Raw("damaged.olv", whole.substr(0, whole.size() - 3));
    t.Raw("foreign.olv", "no longer an olv file");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const std::string readOnlyBytes = ReadAll(readOnly);
    const std::string changedBytes = ReadAll(changed);
    const std::string damagedBytes = ReadAll(damaged);

    f.dlg.OnBnClickedFixFiles();

    EXPECT_EQ(f.Mark(ok), "4 - resaved");
    for (const std::string& p : {gone, changed, damaged, foreign, readOnly})
        EXPECT_EQ(f.Mark(p).rfind("4 - failed: ", 0), 0u) << p << ": " << f.Mark(p);
    EXPECT_EQ(f.Mark(changed), "4 - failed: no longer version 4");
    EXPECT_EQ(f.Mark(foreign), std::string("4 - failed: ") + WekStatusText(WEK_ERR_NOT_OLV));
    EXPECT_EQ(ReadAll(readOnly), readOnlyBytes);
    EXPECT_EQ(ReadAll(changed), changedBytes);
    EXPECT_EQ(ReadAll(damaged), damagedBytes);
    EXPECT_EQ(StatOf(readOnly).st_mode & 07777, 0444u);
    EXPECT_EQ(StatOf(gone).st_nlink, 0u);  // nothing was created in its place

    // The end box counts the failures on its first line, then says why, file by file.
    ASSERT_EQ(f.port.messageBoxes.size(), 2u);
    const std::string& box = f.port.messageBoxes[1];
    EXPECT_EQ(box.substr(0, box.find('\n')), "5 of 6 version 4 .olv files could not be resaved.");
    for (const std::string& p : {gone, changed, damaged, foreign, readOnly})
        EXPECT_NE(box.find("\n" + p + ": " + f.Mark(p).substr(12)), std::string::npos) << box;
    EXPECT_EQ(box.find(ok), std::string::npos);
    EXPECT_EQ(f.port.progress.pos, 6);
}

TEST(FixFiles, ControlsAreGuardedWhileThePassPumpsMessages) {
    TempTree t;
    for (int i = 0; i < 3; ++i) t.Olv("f" + std::to_string(i) + ".olv", 4);
    Fixer f(t.Root());
    int nestedPasses = 0;
    int pumpsDuringPass = 0;
    f.port.onPump = [&] {
        ++pumpsDuringPass;
        EXPECT_FALSE(f.port.IsDlgItemEnabled(IDOK));
        EXPECT_FALSE(f.port.IsDlgItemEnabled(IDC_BROWSE));
        EXPECT_TRUE(f.dlg.IsFixPassRunning());
        EXPECT_EQ(f.port.waitDepth, 0);  // no wait cursor during the pass
        // Enter and a click on Browse arrive through the pump: neither may start anything.
        const std::size_t pickers = f.port.pickerTitles.size();
        const int pumps = f.port.pumps;
        f.port.pickerAnswers.push_back(t.Root());
        f.dlg.OnBnClickedBrowse();
        f.dlg.OnBnClickedFixFiles();
        EXPECT_EQ(f.port.pickerTitles.size(), pickers);
        if (f.port.pumps != pumps) ++nestedPasses;
        f.port.pickerAnswers.clear();
    };
    f.dlg.OnBnClickedFixFiles();
    EXPECT_EQ(nestedPasses, 0);
    EXPECT_GE(pumpsDuringPass, 3);  // at least once after every file
    EXPECT_TRUE(f.port.IsDlgItemEnabled(IDOK));
    EXPECT_TRUE(f.port.IsDlgItemEnabled(IDC_BROWSE));
    EXPECT_FALSE(f.dlg.IsFixPassRunning());
    for (const scripted::Row& row : f.port.list.rows) EXPECT_EQ(row.version, "4 - resaved");
}

TEST(FixFiles, CloseDuringThePassFinishesTheFilesInFlightThenCloses) {
    // Close arrives with the first file started: the files already started finish, no other
    // starts. Rewrites wait for the close, so that none can finish and make room before it.
    for (const int jobs : {1, 2, 3}) {
        TempTree t;
        std::vector<std::string> files;
        for (int i = 0; i < 5; ++i) files.push_back(t.Olv("f" + std::to_string(i) + ".olv", 4, true));
        Fixer f(t.Root());
        auto closed = std::make_shared<std::atomic<bool>>(false);
        FileWork work;
        work.resaveJobs = jobs;
        work.resaveFile = [closed](const ResaveTarget& target) {
            while (!closed->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return ResaveAsTargetVersion(target);
        };
        f.dlg.SetFileWork(work);
        f.port.onPump = [&] {
            f.dlg.OnCancel();
            closed->store(true);
            EXPECT_FALSE(f.port.endResult);  // not while the pass is running
        };
        f.dlg.OnBnClickedFixFiles();
        EXPECT_EQ(f.port.endResult, IDCANCEL);
        int resaved = 0, untouched = 0;
        for (const std::string& p : files) {
            if (f.Mark(p) == "4 - resaved") {
                ++resaved;
                EXPECT_TRUE(VerifiesStrictly(p));
            } else {
                ++untouched;
                EXPECT_EQ(f.Mark(p), "4") << "jobs " << jobs;
                EXPECT_FALSE(VerifiesStrictly(p));  // still carries its fault
            }
        }
        // The files the workers had taken up by then: at least the one that woke the window.
        EXPECT_GE(resaved, 1);
        EXPECT_LE(resaved, jobs);
        EXPECT_EQ(untouched, 5 - resaved);
        EXPECT_EQ(f.port.progress.pos, resaved);
        EXPECT_EQ(test::Leftovers(t.Root()), std::vector<std::string>{}) << "jobs " << jobs;
    }
}

TEST(FixFiles, TheEndBoxNamesTenFailuresAndCountsTheRest) {
    TempTree t;
    for (int i = 0; i < 13; ++i) t.Olv("f" + std::to_string(i) + ".olv", 4);
    Fixer f(t.Root());
    FileWork work;
    work.resaveFile = [](const std::string&) { return ResaveResult{false, "no room"}; };
    f.dlg.SetFileWork(work);
    f.dlg.OnBnClickedFixFiles();
    ASSERT_EQ(f.port.messageBoxes.size(), 2u);
    std::vector<std::string> lines;
    std::string box = f.port.messageBoxes[1];
    for (std::size_t at = 0; at <= box.size();) {
        const std::size_t end = std::min(box.find('\n', at), box.size());
        lines.push_back(box.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[0], "13 of 13 version 4 .olv files could not be resaved.");
    EXPECT_EQ(lines[1], "");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(lines[2 + i], f.port.list.rows[i].file + ": no room");
    EXPECT_EQ(lines[12], "and 3 more");
}

TEST(FixFiles, BrowseAfterAPassStartsAFreshList) {
    TempTree t;
    t.Olv("a.olv", 4, true);
    t.Olv("b.olv", 2);
    Fixer f(t.Root());
    f.dlg.OnBnClickedFixFiles();
    f.port.pickerAnswers.push_back(t.Root());
    f.dlg.OnBnClickedBrowse();
    ASSERT_EQ(f.port.list.GetItemCount(), 2);
    for (const scripted::Row& row : f.port.list.rows) EXPECT_EQ(row.version, std::to_string(row.data));
    EXPECT_EQ(f.dlg.Version4Count(), 1);
}

TEST(FixFiles, RowsOfOtherVersionsAndTheNoticeRowNeverReachTheLibrary) {
    TempTree t;
    t.Raw("nothing.txt", "x");
    Fixer f(t.Root());
    ASSERT_EQ(f.port.list.GetItemCount(), 1);
    f.port.EnableDlgItem(IDOK, true);
    const int pumps = f.port.pumps;
    f.dlg.OnBnClickedFixFiles();
    EXPECT_EQ(f.port.list.rows[0].version, "");
    EXPECT_EQ(f.port.pumps, pumps);
    EXPECT_EQ(f.port.messageBoxes.size(), 0u);
    EXPECT_EQ(f.port.progress.upper, 0);  // no version-4 files: range 0..0
}

}  // namespace
}  // namespace quorvel

namespace quorvel {
namespace {

TEST(FixSpread, FilesInFlightSpreadOverFoldersOutcomesComeInListOrder) {
    struct Case {
        int folders, perFolder, jobs;
    };
    // Listed folder by folder, as the search lists them.
    const Case cases[] = {{4, 6, 4}, {8, 3, 4}, {2, 6, 4}, {1, 5, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.folders) + " folders, " + std::to_string(c.jobs) + " in flight");
        std::vector<std::string> paths;
        for (int f = 0; f < c.folders; ++f)
            for (int i = 0; i < c.perFolder; ++i)
                paths.push_back("/r/d" + std::to_string(f) + "/f" + std::to_string(i) + ".olv");
        // The first rewrites wait until `jobs` of them are under way, so that which files start
        // first depends on the pass's choice alone, never on how fast a worker finishes.
        std::mutex mutex;
        std::condition_variable allBegun;
        int begun = 0;
        const auto resave = [&](const ResaveTarget& target) {
            std::unique_lock<std::mutex> lock(mutex);
            if (++begun == c.jobs) allBegun.notify_all();
            allBegun.wait(lock, [&] { return begun >= c.jobs; });
            return ResaveResult{true, target.path};
        };
        PassSettings settings;
        settings.jobs = c.jobs;
        ResavePass pass([] {}, settings, resave);
        std::size_t next = 0;
        std::vector<std::string> outcomes;
        std::vector<std::size_t> started;
        while (outcomes.size() < paths.size()) {
            while (next < paths.size() && pass.HasRoom()) {
                EXPECT_EQ(pass.Add(paths[next]), next);
                ++next;
            }
            pass.TakeStarted(started);
            if (std::optional<ResavePass::Outcome> outcome = pass.TryTake()) {
                EXPECT_EQ(outcome->file, outcomes.size());
                outcomes.push_back(outcome->result->reason);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        pass.TakeStarted(started);
        EXPECT_EQ(outcomes, paths);
        ASSERT_EQ(started.size(), paths.size());
        // The first files started are each in a folder of its own, as far as there are folders.
        std::set<std::string> firstFolders;
        for (int i = 0; i < c.jobs; ++i) firstFolders.insert(scan::NameOf(paths[started[i]].substr(0, 5)));
        EXPECT_EQ(firstFolders.size(), static_cast<std::size_t>(std::min(c.jobs, c.folders)));
        EXPECT_EQ(pass.MostInFlight(), static_cast<std::size_t>(c.jobs));
    }
}

TEST(FixSpread, OneFileUnderSeveralNamesIsRewrittenByOneWorkerAtATime) {
    struct Case {
        const char* what;
        std::vector<std::string> links;  // "=name": a hard link to f.olv; "name": a file link to it
    };
    const Case cases[] = {
        {"a hard link", {"=h.olv"}},
        {"a file link", {"l.olv"}},
        {"a hard link and two file links", {"=h.olv", "l.olv", "sub/l.olv"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree t;
        const std::string target = t.Olv("f.olv", 4, true);
        for (const std::string& link : c.links) {
            if (link[0] == '=') {
                ASSERT_EQ(::link(target.c_str(), t.Path(link.substr(1)).c_str()), 0);
            } else {
                t.Raw(link, "");
                ASSERT_EQ(unlink(t.Path(link).c_str()), 0);
                ASSERT_EQ(symlink(target.c_str(), t.Path(link).c_str()), 0);
            }
        }
        Fixer f(t.Root());
        ASSERT_EQ(f.dlg.Version4Count(), static_cast<int>(c.links.size() + 1));
        // Each rewrite waits a moment for a second one of the same file, which would be under way
        // by then if the pass started it; then it rewrites the file as the dialog does.
        std::mutex mutex;
        std::condition_variable another;
        std::map<ino_t, int> atOnce;
        int most = 0;
        FileWork work;
        work.resaveFile = [&](const ResaveTarget& one) {
            const ino_t file = StatOf(one.path).st_ino;
            {
                std::unique_lock<std::mutex> lock(mutex);
                most = std::max(most, ++atOnce[file]);
                another.notify_all();
                another.wait_for(lock, std::chrono::milliseconds(100), [&] { return atOnce[file] > 1; });
            }
            const ResaveResult result = ResaveAsTargetVersion(one);
            std::lock_guard<std::mutex> lock(mutex);
            --atOnce[file];
            return result;
        };
        f.dlg.SetFileWork(work);
        const std::size_t boxes = f.port.messageBoxes.size();
        f.dlg.OnBnClickedFixFiles();
        EXPECT_EQ(most, 1);
        for (const scripted::Row& row : f.port.list.rows) EXPECT_EQ(row.version, text::kResaved) << row.file;
        EXPECT_EQ(f.port.messageBoxes.size(), boxes);  // no failures to tell
        EXPECT_TRUE(VerifiesStrictly(target));
    }
}

}  // namespace
}  // namespace quorvel
