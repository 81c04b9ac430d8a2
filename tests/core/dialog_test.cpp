// The main dialog's set-up, window chrome and start-up sequence on the scripted port.

#include <gtest/gtest.h>

#include "app/QuorvelApp.h"
#include "platform/scripted/ScriptedPort.h"
#include "ui/res/Layout.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel {
namespace {

using scripted::ScriptedDialogPort;

TEST(DialogInit, ShowsEmptyColumnsDisabledFixAndEmptyProgress) {
    ScriptedDialogPort port;
    port.list.clientWidth = 713;
    port.list.vScrollWidth = 17;
    CQuorvelDlg dlg(port);
    EXPECT_TRUE(dlg.OnInitDialog());

    ASSERT_EQ(port.list.columns.size(), 2u);
    EXPECT_EQ(port.list.columns[0].heading, "File");
    EXPECT_EQ(port.list.columns[1].heading, "Version");
    EXPECT_EQ(port.list.columns[1].width, 80);
    EXPECT_EQ(port.list.columns[0].width + port.list.columns[1].width, 713 - 17);
    EXPECT_EQ(port.list.GetItemCount(), 0);

    EXPECT_FALSE(port.IsDlgItemEnabled(IDOK));
    EXPECT_TRUE(port.IsDlgItemEnabled(IDC_BROWSE));
    EXPECT_EQ(port.progress.lower, 0);
    EXPECT_EQ(port.progress.upper, 100);
    EXPECT_EQ(port.progress.pos, 0);
    EXPECT_EQ(port.DlgItemText(IDC_STEP2_TEXT), text::kStep2Examine);

    ASSERT_EQ(port.systemMenu.size(), 1u);
    EXPECT_EQ(port.systemMenu[0].first, 0x0010);
    EXPECT_EQ(port.systemMenu[0].second, "&About quorvel...");
    EXPECT_EQ(port.bigIcon, port.appIcon);
    EXPECT_EQ(port.smallIcon, port.appIcon);
}

TEST(DialogInit, SkipsTheAboutEntryWithoutMenuOrText) {
    ScriptedDialogPort noMenu;
    noMenu.hasSystemMenu = false;
    CQuorvelDlg dlg1(noMenu);
    dlg1.OnInitDialog();
    EXPECT_TRUE(noMenu.systemMenu.empty());
    EXPECT_EQ(noMenu.progress.upper, 100);  // the rest of the set-up still runs

    ScriptedDialogPort noText;
    noText.strings.clear();
    CQuorvelDlg dlg2(noText);
    dlg2.OnInitDialog();
    EXPECT_TRUE(noText.systemMenu.empty());
}

TEST(DialogChrome, SysCommandMasksTheLowBitsForAbout) {
    struct Case {
        unsigned id;
        bool about;
    };
    const Case cases[] = {{0x0010, true},  {0x0011, true},  {0x001F, true},
                          {0x0020, false}, {0x0000, false}, {0xF060, false},  // close
                          {0xF010, false}};                                   // move
    for (const Case& c : cases) {
        ScriptedDialogPort port;
        CQuorvelDlg dlg(port);
        dlg.OnInitDialog();
        dlg.OnSysCommand(c.id, 1234);
        EXPECT_EQ(port.aboutBoxes, c.about ? 1 : 0) << std::hex << c.id;
        if (c.about) {
            EXPECT_TRUE(port.defaultSysCommands.empty());
        } else {
            ASSERT_EQ(port.defaultSysCommands.size(), 1u);
            EXPECT_EQ(port.defaultSysCommands[0].first, c.id);
            EXPECT_EQ(port.defaultSysCommands[0].second, 1234);
        }
        EXPECT_FALSE(port.endResult);  // the dialog stays open
    }
}

TEST(DialogChrome, PaintsTheIconCentredOnlyWhenMinimised) {
    ScriptedDialogPort normal;
    CQuorvelDlg dlg(normal);
    dlg.OnPaint();
    EXPECT_EQ(normal.defaultPaints, 1);
    EXPECT_TRUE(normal.iconsDrawn.empty());

    // Signed division truncating toward zero: -7 / 2 is -3, -21 / 2 is -10.
    struct Case {
        int cw, ch, iw, ih, x, y;
    };
    const Case cases[] = {
        {160, 24, 32, 32, 64, -3},
        {33, 33, 32, 32, 1, 1},
        {32, 32, 32, 32, 0, 0},
        {10, 5, 32, 16, -10, -5},
    };
    for (const Case& c : cases) {
        ScriptedDialogPort port;
        port.iconic = true;
        port.clientWidth = c.cw;
        port.clientHeight = c.ch;
        port.iconWidth = c.iw;
        port.iconHeight = c.ih;
        CQuorvelDlg iconic(port);
        iconic.OnPaint();
        EXPECT_EQ(port.defaultPaints, 0);
        EXPECT_EQ(port.iconErases, 1);
        ASSERT_EQ(port.iconsDrawn.size(), 1u);
        EXPECT_EQ(port.iconsDrawn[0], std::make_pair(c.x, c.y)) << c.cw << "x" << c.ch;
        EXPECT_FALSE(port.paintOpen);  // the paint context is closed again
        EXPECT_EQ(iconic.OnQueryDragIcon(), port.appIcon);
    }
}

TEST(DialogClose, CancelEndsTheRunAndEnterDoesNot) {
    ScriptedDialogPort port;
    CQuorvelDlg dlg(port);
    dlg.OnInitDialog();
    dlg.OnBnClickedFixFiles();  // Enter with "Fix files" disabled: nothing happens
    EXPECT_FALSE(port.endResult);
    EXPECT_TRUE(port.messageBoxes.empty());
    dlg.OnCancel();
    EXPECT_EQ(port.endResult, IDCANCEL);
}

// An application port that records the start-up sequence.
class RecordingAppPort : public IAppPort {
public:
    bool InitCommonControls(unsigned dwSize, unsigned dwICC) override {
        calls.push_back("init " + std::to_string(dwSize) + " " + std::to_string(dwICC));
        return false;  // a failure here changes nothing that follows
    }
    void SetRegistryKey(const std::string& key) override { calls.push_back("key " + key); }
    IDialogPort& MainDialogPort() override { return dialog; }
    int DoModal(IDialogHandler& handler) override {
        calls.push_back("modal");
        sawMainWnd = theApp.m_pMainWnd == &handler;
        handler.OnInitDialog();
        handler.OnCancel();
        return dialog.endResult.value_or(-1);
    }
    ScriptedDialogPort dialog;
    std::vector<std::string> calls;
    bool sawMainWnd = false;
};

TEST(AppStart, RunsTheDialogOnceAndReturnsFalse) {
    RecordingAppPort port;
    theApp.SetPlatform(&port);
    EXPECT_FALSE(theApp.InitInstance());
    theApp.SetPlatform(nullptr);
    const std::vector<std::string> expected = {
        "init 8 255", "key Local AppWizard-Generated Applications", "modal"};
    EXPECT_EQ(port.calls, expected);
    EXPECT_TRUE(port.sawMainWnd);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_EQ(port.dialog.endResult, IDCANCEL);
}

TEST(Layout, MainTemplateHoldsTheControlsInTabOrder) {
    const layout::DialogTemplate& dlg = layout::MainDialog();
    EXPECT_STREQ(dlg.caption, "quorvel");
    EXPECT_EQ(dlg.cx, 493);
    EXPECT_EQ(dlg.cy, 362);
    const int order[] = {IDOK, IDCANCEL, IDC_BROWSE, -1, IDC_FILE_LIST, IDC_STEP2_TEXT,
                         -1,   -1,       -1,         IDC_PROGRESS};
    ASSERT_EQ(dlg.controls.size(), std::size(order));
    for (std::size_t i = 0; i < std::size(order); ++i) EXPECT_EQ(dlg.controls[i].id, order[i]);
    const layout::Control* fix = layout::FindControl(dlg, IDOK);
    ASSERT_NE(fix, nullptr);
    EXPECT_TRUE(fix->style & layout::style::kDefPushButton);
    EXPECT_EQ(layout::FindControl(dlg, 4242), nullptr);
}

}  // namespace
}  // namespace quorvel
