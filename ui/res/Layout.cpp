#include "ui/res/Layout.h"

#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::layout {

namespace {

using namespace style;
using enum ControlClass;

const Control kMainControls[] = {
    {IDOK, Button, "Fix files", 230, 332, 54, 14, kDefPushButton | kTabStop},
    {IDCANCEL, Button, "Close", 292, 332, 38, 14, kPushButton | kTabStop},
    {IDC_BROWSE, Button, "Browse", 255, 7, 44, 14, kPushButton | kTabStop},
    {IDC_STATIC, Static,
     "Step 1: Click \"Browse\" and choose a root folder to be searched for .olv files:",
     7, 10, 244, 9, kLeftText | kGroup},
    {IDC_FILE_LIST, ListView, "", 7, 47, 479, 248, kReport | kAlignLeft | kBorder | kTabStop},
    {IDC_STEP2_TEXT, Static, text::kStep2Examine, 7, 33, 471, 9, kLeftText | kGroup},
    {IDC_STATIC, Static,
     "Step 3: Click \"Fix files\" to fix all version 4 files in the list above,",
     7, 323, 206, 9, kLeftText | kGroup},
    {IDC_STATIC, Static, "- or click \"Close\" to quit without modifying any files,",
     33, 334, 182, 9, kLeftText | kGroup},
    {IDC_STATIC, Static, "- or return to Step 1 to choose a different root folder",
     33, 345, 176, 9, kLeftText | kGroup},
    {IDC_PROGRESS, Progress, "", 7, 300, 479, 8, kBorder},
};

const Control kAboutControls[] = {
    {IDC_STATIC, Static, "128", 11, 17, 20, 20, kIcon},
    {IDC_STATIC, Static, text::kAboutVersion, 40, 10, 119, 8, kLeftText | kNoPrefix | kGroup},
    {IDC_STATIC, Static, text::kAboutSecondLine, 40, 25, 119, 8, kLeftText | kGroup},
    {IDOK, Button, "OK", 178, 7, 50, 16, kDefPushButton | kGroup | kTabStop},
};

const DialogTemplate kMain = {
    IDD_MAIN, text::kAppName, 493, 362, "MS Shell Dlg", 8,
    kPopup | kVisible | kCaption | kSysMenu | kModalFrame | kSetFont | kFixedSys,
    kExAppWindow, kMainControls};

const DialogTemplate kAbout = {
    IDD_ABOUTBOX, text::kAboutCaption, 235, 55, "MS Shell Dlg", 8,
    kPopup | kCaption | kSysMenu | kModalFrame | kSetFont | kFixedSys, 0, kAboutControls};

}  // namespace

const DialogTemplate& MainDialog() { return kMain; }
const DialogTemplate& AboutDialog() { return kAbout; }

const Control* FindControl(const DialogTemplate& dlg, int id) {
    for (const Control& c : dlg.controls)
        if (c.id == id) return &c;
    return nullptr;
}

}  // namespace quorvel::layout
