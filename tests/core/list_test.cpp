// The list as text and as a file: names quoted so a shell reads back their bytes, "Save list
// as..." on the scripted port, the whole-or-nothing file write beneath it, and the start of
// the program on a folder.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/ReplaceFile.h"
#include "platform/scripted/ScriptedPort.h"
#include "tests/core/TestTree.h"
#include "ui/QuorvelDlg.h"
#include "ui/RowText.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using scripted::ScriptedDialogPort;
using test::TempTree;

// What bash makes of `word` as one argument: the bytes it hands to printf.
std::string ThroughBash(const std::string& word) {
    TempTree t;
    const std::string script = t.Raw("s.sh", "printf %s " + word);
    std::string out;
    if (FILE* pipe = ::popen(("bash " + script).c_str(), "r")) {
        char buffer[256];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// Names that are printable UTF-8 stay as they are; any other is quoted as $'...', which bash
// (and zsh, ksh) reads back as exactly the name's bytes.
TEST(RowText, QuotesExactlyTheNamesAShellMustReadBack) {
    const std::pair<std::string, std::string> cases[] = {
        {"/data/a.olv", "/data/a.olv"},
        {"/data/a b\\c 'd'.olv", "/data/a b\\c 'd'.olv"},                       // printable: plain
        {"/d/\xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80.olv", "/d/\xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80.olv"},
        {"/d/\xFF\xFE.olv", "$'/d/\\xff\\xfe.olv'"},                              // not UTF-8
        {"/d/caf\xE9 'x'\\.olv", "$'/d/caf\\xe9 \\'x\\'\\\\.olv'"},              // quote, backslash
        {"/d/two\nlines.olv", "$'/d/two\\nlines.olv'"},
        {"/d/tab\tcr\r.olv", "$'/d/tab\\tcr\\r.olv'"},
        {"/d/del\x7F" "esc\x1B.olv", "$'/d/del\\x7fesc\\x1b.olv'"},
        {"/d/c1\xC2\x85.olv", "$'/d/c1\\xc2\\x85.olv'"},                          // U+0085
        {"/d/ls\xE2\x80\xA8.olv", "$'/d/ls\\xe2\\x80\\xa8.olv'"},                 // U+2028
        {"/d/\xC0\xAF\xED\xA0\x80.olv", "$'/d/\\xc0\\xaf\\xed\\xa0\\x80.olv'"},   // overlong, surrogate
        {"/d/\xE6\xBC\xA2\xFF" "a.olv", "$'/d/\xE6\xBC\xA2\\xffa.olv'"},         // hex digit after \xff
    };
    for (const auto& [name, quoted] : cases) {
        SCOPED_TRACE(quoted);
        EXPECT_EQ(QuotedName(name), quoted);
        if (quoted != name) {
            EXPECT_EQ(ThroughBash(quoted), name);
        }
    }
}

// The names in `folder`, sorted, without "." and "..".
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Saver {
    ScriptedDialogPort port;
    CQuorvelDlg dlg{port};
    Saver() {
        dlg.OnInitDialog();
        const char* const rows[][2] = {{"/t/b.olv", "4 - resaved"}, {"/t/a\nb.olv", "3"},
                                       {"/t/caf\xE9.olv", "4 - failed: no longer version 4"}};
        for (const auto& [path, version] : rows) {
            const int row = port.list.InsertItem(port.list.GetItemCount(), path);
            port.list.SetItemText(row, 1, version);
        }
    }
};

// "Save list as..." writes every row in the list's order to the chosen file, whole; a cancel
// writes nothing; a file that cannot be written is said in a box and leaves no file behind.
TEST(SaveList, WritesEveryRowInOrderOrSaysWhyNot) {
    const std::string lines =
        "/t/b.olv\t4 - resaved\n$'/t/a\\nb.olv'\t3\n$'/t/caf\\xe9.olv'\t4 - failed: no longer version 4\n";
    struct Case {
        const char* name;
        std::optional<std::string> answer;  // relative to the tree; nothing: cancelled
        bool existing;                      // the file is there already
        std::string contents;               // the file afterwards ("" when there is none)
        std::string box;
    };
    const Case cases[] = {
        {"New", "list.txt", false, lines, ""},
        {"Replaces", "list.txt", true, lines, ""},
        {"Cancelled", std::nullopt, true, "old", ""},
        {"MissingFolder", "gone/list.txt", false, "",
         "The list could not be saved to <tree>/gone/list.txt: No such file or directory."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree t;
        Saver s;
        if (c.existing) t.Raw("list.txt", "old");
        s.port.saveAnswers.push_back(c.answer ? std::optional(t.Path(*c.answer)) : std::nullopt);
        s.port.EnableDlgItem(IDOK, true);
        s.dlg.OnSaveListAs();
        ASSERT_EQ(s.port.saveDialogs.size(), 1u);
        EXPECT_EQ(s.port.saveDialogs[0].first, "Save list as");
        EXPECT_EQ(s.port.saveDialogs[0].second, "olv-files.txt");
        EXPECT_EQ(test::ReadAll(t.Path(c.answer.value_or("list.txt"))), c.contents);
        std::string box = c.box;
        if (const std::size_t at = box.find("<tree>"); at != std::string::npos) box.replace(at, 6, t.Root());
        EXPECT_EQ(s.port.messageBoxes, box.empty() ? std::vector<std::string>{} : std::vector<std::string>{box});
        EXPECT_TRUE(s.port.IsDlgItemEnabled(IDOK) && s.port.IsDlgItemEnabled(IDC_BROWSE))
            << "the buttons as they were";
        EXPECT_EQ(Names(t.Root()), c.contents.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{"list.txt"})
            << "no temporary file left";
    }
    // An empty list has nothing to save: no dialog.
    ScriptedDialogPort port;
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    dlg.OnSaveListAs();
    EXPECT_TRUE(port.saveDialogs.empty());
}

// The write beneath "Save list as...": the path holds the old content or the new, never a
// part, and a failure leaves no new file.
TEST(ReplaceFile, WritesWholeOrLeavesThePathAsItWas) {
    TempTree t;
    t.Raw("kept", "old");
    t.Folder("folder/inside");
    const struct { const char* rel; const char* error; std::string after; } cases[] = {
        {"new", "", "new bytes"},
        {"kept", "", "new bytes"},
        {"missing/file", "No such file or directory", ""},
        {"folder", "Is a directory", ""},  // the rename is refused: the folder stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rel);
        EXPECT_EQ(ReplaceFileContents(t.Path(c.rel), "new bytes"), c.error);
        EXPECT_EQ(test::ReadAll(t.Path(c.rel)), c.after);
    }
    EXPECT_GT(test::StatOf(t.Path("folder/inside")).st_nlink, 0u);
    EXPECT_EQ(Names(t.Root()), (std::vector<std::string>{"folder", "kept", "new"})) << "no temporary file left";
}

// Started on a folder, the program browses it once its window shows, without the picker.
TEST(StartFolder, IsBrowsedWithoutThePickerOnce) {
    TempTree t;
    t.Olv("a.olv", 4);
    t.Olv("sub/b.olv", 3);
    ScriptedDialogPort port;
    CQuorvelDlg dlg(port);
    dlg.SetStartFolder(t.Root());
    dlg.OnInitDialog();
    EXPECT_EQ(port.list.GetItemCount(), 0) << "not before the window shows";
    dlg.OnWindowShown();
    EXPECT_TRUE(port.pickerTitles.empty());
    EXPECT_EQ(dlg.RootDir(), t.Root());
    EXPECT_EQ(port.list.GetItemCount(), 2);
    EXPECT_EQ(port.messageBoxes, std::vector<std::string>{"Search complete.  One version 4 .olv file was found"});
    dlg.OnWindowShown();  // shown again (restored from minimised): no second Browse
    EXPECT_EQ(port.messageBoxes.size(), 1u);
}

}  // namespace
}  // namespace quorvel
