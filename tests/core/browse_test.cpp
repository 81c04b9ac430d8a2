// The Browse command end to end on the scripted port: picker answers, texts at each stage,
// the placeholder and notice rows, the summary box, progress and the "Fix files" state.

#include <gtest/gtest.h>

#include "platform/scripted/ScriptedPort.h"
#include "tests/core/TestTree.h"
#include "base/Path.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using scripted::ScriptedDialogPort;
using test::TempTree;

struct Browser {
    ScriptedDialogPort port;
    CQuorvelDlg dlg{port};
    Browser() { dlg.OnInitDialog(); }
    void Pick(std::optional<std::string> answer) {
        port.pickerAnswers.push_back(std::move(answer));
        dlg.OnBnClickedBrowse();
    }
};

TEST(Browse, SummaryProgressAndFixButtonFollowTheVersion4Count) {
    struct Case {
        int v4;
        const char* box;
        int range;
    };
    const Case cases[] = {
        {0, "Search complete.  No version 4 .olv files were found.", 100},
        {1, "Search complete.  One version 4 .olv file was found", 1},
        {3, "Search complete.  3 version 4 .olv files were found.", 3},
    };
    for (const Case& c : cases) {
        TempTree t;
        t.Olv("other3.olv", 3);
        t.Olv("sub/other5.olv", 5);
        t.Raw("foreign.olv", "not an olv file at all");
        for (int i = 0; i < c.v4; ++i) t.Olv("v4_" + std::to_string(i) + ".olv", 4, i == 1);
        const int rows = 3 + c.v4;

        Browser b;
        // When the box shows, the analysis has run with the range set to the number of rows.
        int rangeAtBox = -1, posAtBox = -1;
        b.port.onMessageBox = [&](const std::string&) {
            rangeAtBox = b.port.progress.upper;
            posAtBox = b.port.progress.pos;
            EXPECT_EQ(b.port.DlgItemText(IDC_STEP2_TEXT), text::kStep2Analyzing);
        };
        b.Pick(t.Root());

        ASSERT_EQ(b.port.messageBoxes.size(), 1u);
        EXPECT_EQ(b.port.messageBoxes[0], c.box);
        EXPECT_EQ(rangeAtBox, rows);
        EXPECT_EQ(posAtBox, rows - 1);
        EXPECT_EQ(b.port.progress.upper, c.range);
        EXPECT_EQ(b.port.progress.pos, 0);
        EXPECT_EQ(b.port.IsDlgItemEnabled(IDOK), c.v4 > 0);
        EXPECT_EQ(b.port.focused, c.v4 > 0 ? IDOK : IDC_BROWSE) << "Enter goes on with the next step";
        EXPECT_EQ(b.dlg.Version4Count(), c.v4);
        EXPECT_EQ(b.port.DlgItemText(IDC_STEP2_TEXT), text::kStep2Examine);
        EXPECT_EQ(b.port.pickerTitles.back(), "Root directory for .olv file search");
        EXPECT_EQ(b.port.waitDepth, 0);

        ASSERT_EQ(b.port.list.GetItemCount(), rows);
        for (const scripted::Row& row : b.port.list.rows) {
            EXPECT_EQ(row.version, std::to_string(row.data));
            const std::string name = row.file.substr(t.Root().size() + 1);
            const int expected = name == "foreign.olv" ? 0
                                 : name == "other3.olv" ? 3
                                 : name == "sub/other5.olv" ? 5 : 4;
            EXPECT_EQ(row.data, expected) << name;
        }
    }
}

TEST(Browse, ShowsPlaceholderWhileSearchingAndTheNoticeWhenNothingIsFound) {
    TempTree t;
    t.Raw("a.txt", "x");
    t.Folder("empty/deeper");
    Browser b;
    std::vector<std::string> seen;  // the first row and the step-2 text at each repaint
    b.port.list.onUpdate = [&] {
        seen.push_back(b.port.list.GetItemText(0, 0) + " | " +
                       b.port.DlgItemText(IDC_STEP2_TEXT));
    };
    b.Pick(t.Root());
    const std::vector<std::string> expected = {std::string("Searching... | ") +
                                               text::kStep2Searching};
    EXPECT_EQ(seen, expected);

    ASSERT_EQ(b.port.list.GetItemCount(), 1);
    EXPECT_EQ(b.port.list.rows[0].file,
              "No .olv files were found in or under the specified root folder");
    EXPECT_EQ(b.port.list.rows[0].data, 0);
    EXPECT_TRUE(b.port.messageBoxes.empty());
    EXPECT_EQ(b.port.progress.upper, 100);
    EXPECT_EQ(b.port.progress.pos, 0);
    EXPECT_FALSE(b.port.IsDlgItemEnabled(IDOK));
    EXPECT_EQ(b.port.DlgItemText(IDC_STEP2_TEXT), text::kStep2Examine);
}

TEST(Browse, CancelOrAPickWithoutPathLeavesTheEarlierSearchAlone) {
    TempTree t;
    t.Olv("a.olv", 4);
    t.Olv("b.olv", 4);
    Browser b;
    b.Pick(t.Root());
    const std::vector<scripted::Row> rows = b.port.list.rows;
    const int boxes = static_cast<int>(b.port.messageBoxes.size());

    for (std::optional<std::string> answer : {std::optional<std::string>(), std::optional<std::string>("")}) {
        b.Pick(answer);
        ASSERT_EQ(b.port.list.rows.size(), rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(b.port.list.rows[i].file, rows[i].file);
        EXPECT_EQ(b.dlg.RootDir(), t.Root());
        EXPECT_EQ(b.dlg.Version4Count(), 2);
        EXPECT_TRUE(b.port.IsDlgItemEnabled(IDOK));
        EXPECT_EQ(static_cast<int>(b.port.messageBoxes.size()), boxes);
        EXPECT_EQ(b.port.progress.upper, 2);
    }
}

TEST(Browse, TrailingSeparatorOfARootIsRemovedOnce) {
    const std::string s(1, kPathSep);
    struct Case {
        std::string picked, root, listed;
    };
    const Case cases[] = {
        {"D:" + s, "D:", "D:" + s + "name.olv"},  // a drive root: one separator after the colon
        {s, "", s + "name.olv"},                  // the file-system root
        {"r" + s + "x", "r" + s + "x", "r" + s + "x" + s + "name.olv"},
        {"r" + s + "x" + s + s, "r" + s + "x" + s, "r" + s + "x" + s + s + "name.olv"},
    };
    for (const Case& c : cases) {
        Browser b;
        b.port.tree.emplace();
        b.port.tree->AddFolder(c.root, {{"name.olv", false}});
        b.Pick(c.picked);
        EXPECT_EQ(b.dlg.RootDir(), c.root);
        ASSERT_EQ(b.port.tree->Opened().size(), 1u);
        EXPECT_EQ(b.port.tree->Opened()[0], c.root);
        ASSERT_EQ(b.port.list.GetItemCount(), 1);
        EXPECT_EQ(b.port.list.rows[0].file, c.listed);
    }
}

TEST(Browse, ProgressRangeIsNotCutTo16Bits) {
    Browser b;
    b.port.tree.emplace();
    std::vector<FolderEntry> entries;
    for (int i = 0; i < 70000; ++i) entries.push_back({"f" + std::to_string(i) + ".olv", false});
    b.port.tree->AddFolder("big", std::move(entries));
    int rangeAtBox = 0;
    b.port.onMessageBox = [&](const std::string&) { rangeAtBox = b.port.progress.upper; };
    b.Pick("big");
    EXPECT_EQ(rangeAtBox, 70000);
    EXPECT_EQ(b.port.progress.positions.back(), 0);  // the reset after the box
    EXPECT_EQ(b.port.progress.positions[b.port.progress.positions.size() - 2], 69999);
    b.dlg.ResetProgress(131072);
    EXPECT_EQ(b.port.progress.upper, 131072);
}

}  // namespace
}  // namespace quorvel
