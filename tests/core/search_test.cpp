// The folder search: order, matching, hidden entries, links, unreadable folders, long and
// odd names; on scripted trees (exact enumeration order) and on real temporary trees.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/scripted/ScriptedPort.h"
#include "scan/PathMatch.h"
#include "tests/core/TestTree.h"
#include "base/Path.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"

namespace quorvel {
namespace {

using scripted::ScriptedDialogPort;
using test::TempTree;

std::vector<std::string> Files(const ScriptedDialogPort& port) {
    std::vector<std::string> files;
    for (const scripted::Row& row : port.list.rows) files.push_back(row.file);
    return files;
}

FolderEntry F(const std::string& name) { return {name, false}; }
FolderEntry D(const std::string& name) { return {name, true}; }

TEST(PathMatch, ComparesTheTextAfterTheLastDotOfTheWholePath) {
    struct Case {
        const char* path;
        bool match;
    };
    const Case cases[] = {
        {"r/a.olv", true},      {"r/A.OLV", true},      {"r/x.Olv", true},
        {"r/.olv", true},       {"r/a.b.olv", true},    {"r/a.olv.bak", false},
        {"r/a.olvx", false},    {"r/olv", false},       {"r/a.ol", false},
        {"r/x.olv/readme", false}, {"r/x.olv\\readme", false}, {"noext", false},
        {"r/a.\xc3\xb6lv", false}, {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOlvPath(c.path), c.match) << c.path;
}

TEST(SearchScripted, WalksDepthFirstInEnumerationOrder) {
    ScriptedDialogPort port;
    port.tree.emplace();
    port.tree->AddFolder("r", {F("b.olv"), D("sub"), F("a.olv"), D("z.olv"), F("c.OLV")});
    port.tree->AddFolder("r/sub", {D("deep"), F("s.olv"), F("s.txt")});
    port.tree->AddFolder("r/sub/deep", {F("d.olv")});
    port.tree->AddFolder("r/z.olv", {F("readme"), F("inner.olv")});
    CQuorvelDlg dlg(port);
    dlg.SearchFolder("r");

    const std::string s(1, kPathSep);
    const std::vector<std::string> expected = {
        "r" + s + "b.olv", "r" + s + "sub" + s + "deep" + s + "d.olv", "r" + s + "sub" + s + "s.olv",
        "r" + s + "a.olv", "r" + s + "z.olv" + s + "inner.olv",        "r" + s + "c.OLV"};
    EXPECT_EQ(Files(port), expected);
    for (const scripted::Row& row : port.list.rows) {
        EXPECT_EQ(row.version, "");
        EXPECT_EQ(row.data, 0);
    }
    EXPECT_EQ(port.list.lastEnsuredVisible, 5);
    EXPECT_EQ(port.list.updates, 6);  // one repaint per new row
    // The wait cursor shows for the whole search and is balanced at the end.
    EXPECT_EQ(port.maxWaitDepth, 1);
    EXPECT_EQ(port.waitDepth, 0);
}

TEST(SearchScripted, EachFolderIsWalkedOnceTheFirstPathWins) {
    ScriptedDialogPort port;
    port.tree.emplace();
    const std::string s(1, kPathSep);
    // 18 levels, each reaching the next through two links: walked naively, the one file at the
    // bottom would be listed 2^18 times.
    constexpr int kLevels = 18;
    for (int i = 0; i < kLevels; ++i) {
        const std::string level = "L" + std::to_string(i);
        const std::string next = "L" + std::to_string(i + 1);
        port.tree->AddFolder(level, {D("x"), D("y")});
        port.tree->AddLink(level + s + "x", next);
        port.tree->AddLink(level + s + "y", next);
    }
    port.tree->AddFolder("L" + std::to_string(kLevels), {F("bottom.olv")});
    // The first path in walk order wins, even when the folder's own name comes later.
    port.tree->AddFolder("r", {D("early"), D("real"), F("r.olv")});
    port.tree->AddLink("r" + s + "early", "r" + s + "real");
    port.tree->AddFolder("r" + s + "real", {F("inside.olv")});
    CQuorvelDlg dlg(port);
    dlg.SearchFolder("L0");
    dlg.SearchFolder("r");

    std::string bottom = "L0";
    for (int i = 0; i < kLevels; ++i) bottom += s + "x";
    const std::vector<std::string> expected = {bottom + s + "bottom.olv",
                                               "r" + s + "early" + s + "inside.olv", "r" + s + "r.olv"};
    EXPECT_EQ(Files(port), expected);
}

TEST(SearchScripted, UnreadableFoldersAndLinkLoopsDoNotStopTheWalk) {
    ScriptedDialogPort port;
    port.tree.emplace();
    const std::string s(1, kPathSep);
    port.tree->AddFolder("r", {D("locked"), D("a"), F("last.olv")});
    port.tree->AddUnreadable("r" + s + "locked");
    port.tree->AddFolder("r" + s + "a", {D("up"), D("side"), F("a.olv")});
    port.tree->AddLink("r" + s + "a" + s + "up", "r");            // back to an ancestor
    port.tree->AddFolder("r" + s + "b", {F("b.olv")});
    port.tree->AddLink("r" + s + "a" + s + "side", "r" + s + "b");  // elsewhere: followed
    CQuorvelDlg dlg(port);
    dlg.SearchFolder("r");
    const std::vector<std::string> expected = {"r" + s + "a" + s + "side" + s + "b.olv",
                                               "r" + s + "a" + s + "a.olv", "r" + s + "last.olv"};
    EXPECT_EQ(Files(port), expected);
    EXPECT_EQ(port.waitDepth, 0);
}

TEST(SearchScripted, WithoutPlaceholderRowsAreAppended) {
    ScriptedDialogPort port;
    port.tree.emplace();
    port.tree->AddFolder("r", {F("x.olv")});
    port.tree->AddFolder("empty", {});
    port.list.InsertItem(0, "kept");
    CQuorvelDlg dlg(port);
    dlg.SearchFolder("empty");
    dlg.SearchFolder("r");
    ASSERT_EQ(port.list.GetItemCount(), 2);
    EXPECT_EQ(port.list.rows[0].file, "kept");
}

// Real trees: what the platform's enumeration really returns.

std::vector<std::string> Browse(ScriptedDialogPort& port, const std::string& root) {
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    port.pickerAnswers.push_back(root);
    dlg.OnBnClickedBrowse();
    std::vector<std::string> files = Files(port);
    std::sort(files.begin(), files.end());
    return files;
}

TEST(SearchReal, FindsHiddenFilesAndFoldersAndOnlyFilesByExtension) {
    TempTree t;
    t.Olv(".hidden.olv", 1);
    t.Olv(".dir/inside.olv", 2);
    t.Olv("UPPER.OLV", 3);
    t.Olv(".olv", 5);
    t.Raw("a.olv.bak", "x");
    t.Raw("olv", "x");
    t.Raw("x.olv/readme", "x");
    ScriptedDialogPort port;
    const std::vector<std::string> expected = {t.Path(".dir/inside.olv"), t.Path(".hidden.olv"),
                                               t.Path(".olv"), t.Path("UPPER.OLV")};
    EXPECT_EQ(Browse(port, t.Root()), expected);
}

TEST(SearchReal, LinkLoopsEndAndEveryFolderIsListedOnce) {
    TempTree t;
    t.Olv("a/one.olv", 4);
    t.Olv("b/two.olv", 4);
    t.Link("a/up", "..");            // loops back to the root
    t.Link("a/self", ".");           // loops to its own folder
    t.Link("a/tob", "../b");         // a sibling: followed, but b is walked only once
    t.Link("dangling.olv", "nowhere.olv");
    ScriptedDialogPort port;
    const std::vector<std::string> files = Browse(port, t.Root());
    // Whichever of a/tob and b the enumeration order reaches first lists two.olv.
    const bool viaLink = std::find(files.begin(), files.end(), t.Path("a/tob/two.olv")) != files.end();
    const std::vector<std::string> expected = {t.Path("a/one.olv"),
                                               viaLink ? t.Path("a/tob/two.olv") : t.Path("b/two.olv"),
                                               t.Path("dangling.olv")};
    EXPECT_EQ(files, expected);
    // The dangling link is listed and shows the unreadable version.
    for (const scripted::Row& row : port.list.rows) {
        if (row.file == t.Path("dangling.olv")) {
            EXPECT_EQ(row.version, "-1");
        }
    }
}

TEST(SearchReal, TwoLinksPerLevelListTheFileOnce) {
    // 18 levels, each reaching the next through two links: walked per path, the one file at the
    // bottom would be listed 2^18 times and the fix pass would rewrite it as often.
    TempTree t;
    constexpr int kLevels = 18;
    for (int i = 0; i < kLevels; ++i) {
        const std::string next = "../L" + std::to_string(i + 1);
        t.Link("L" + std::to_string(i) + "/x", next);
        t.Link("L" + std::to_string(i) + "/y", next);
    }
    t.Olv("L" + std::to_string(kLevels) + "/bottom.olv", 4);
    ScriptedDialogPort port;
    const std::vector<std::string> files = Browse(port, t.Path("L0"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size(), t.Path("L0").size() + 2 * kLevels + 11);  // "/x" or "/y" per level
}

TEST(SearchReal, BrowseRemovesOnlyTemporaryFilesOfSavesThatAreGone) {
    TempTree t;
    t.Olv("a.olv", 4);
    // A process id that cannot be running (above the kernel's limit), and this one's.
    const std::string gone = t.Raw("sub/.olvsave-99999999-3.tmp", "half a save");
    const std::string running = t.Raw("sub/.olvsave-" + std::to_string(getpid()) + "-0.tmp", "a save");
    const std::string copy = t.Raw("sub/b.olv.olvkeep", "the user's copy");
    const std::string lookalike = t.Raw(".olvsave-notanumber.tmp", "someone's file");
    t.Link("sub/.olvsave-99999998-1.tmp", "../a.olv");  // a link is not ours to remove
    ScriptedDialogPort port;
    EXPECT_EQ(Browse(port, t.Root()), std::vector<std::string>{t.Path("a.olv")});
    EXPECT_EQ(test::StatOf(gone, true).st_nlink, 0u);
    for (const std::string& kept : {running, copy, lookalike, t.Path("sub/.olvsave-99999998-1.tmp")})
        EXPECT_NE(test::StatOf(kept, true).st_nlink, 0u) << kept;
}

TEST(SearchReal, AnUnreadableFolderIsSkippedAndTheRestIsListed) {
    TempTree t;
    t.Olv("open/a.olv", 4);
    t.Olv("locked/hidden.olv", 4);
    t.Olv("z.olv", 2);
    ASSERT_EQ(chmod(t.Root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(t.Path("locked").c_str(), 0), 0);

    // As root every folder is readable: search as an unprivileged user in a child process.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        ScriptedDialogPort port;
        std::string out;
        for (const std::string& f : Browse(port, t.Root())) out += f + "\n";
        out += port.messageBoxes.empty() ? "" : port.messageBoxes[0];
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(4);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(t.Path("locked").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // The summary names the folder it could not read.
    EXPECT_EQ(out, t.Path("open/a.olv") + "\n" + t.Path("z.olv") + "\n" +
                       "Search complete.  One version 4 .olv file was found\n\n"
                       "One folder could not be searched.\n\n" +
                       t.Path("locked") + ": permission denied");
}

TEST(SearchReal, OddAndVeryLongNamesAreListedProbedAndKeptByteExact) {
    TempTree t;
    const std::string odd[] = {"caf\xe9.olv", "new\nline.olv", " spaced .olv", "-dash.olv",
                               "\xff\xfe.olv", "uni\xc3\xb6.olv"};
    for (const std::string& name : odd) t.Olv(name, 4);
    // A chain of folders whose full path is far beyond the platform's path limit.
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += std::string(150, static_cast<char>('a' + i % 26)) + "/";
    t.Olv(deep + "deep.olv", 4);
    ASSERT_GT(t.Path(deep).size(), 4096u);

    ScriptedDialogPort port;
    std::vector<std::string> expected;
    for (const std::string& name : odd) expected.push_back(t.Path(name));
    expected.push_back(t.Path(deep + "deep.olv"));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Browse(port, t.Root()), expected);
    for (const scripted::Row& row : port.list.rows) EXPECT_EQ(row.version, "4") << row.file;
}

}  // namespace
}  // namespace quorvel
