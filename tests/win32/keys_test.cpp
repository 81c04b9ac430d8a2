// Keys and buttons as people press them: real key and mouse input (SendInput) on the real
// window, in every phase of the work: during the search, during the analysis, after the summary
// box, during the fix pass.

#include "tests/win32/Support.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;

enum class Phase { Search, Analysis, AfterSummary, FixPass };
enum class Input { Escape, Enter, F1, ClickClose, ClickFixFiles };

// What the window must have done by the end.
enum class Closed { No, Yes };
enum class Resaved { None, Some, All };

struct KeyCase {
    const char* name;
    Phase phase;
    Input input;
    Closed closed;
    bool summary;   // the "Search complete" box showed
    bool about;     // the About box showed
    Resaved resaved;
    int version = 4;  // of the tree's files
    int pickers = 1;  // folder picker calls
};

void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

// A key pressed and let go, as the keyboard sends it.
void PressKey(WORD key) {
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = key;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, in, sizeof(INPUT));
}

// The mouse moved to the middle of `control` and its left button clicked.
void ClickWithMouse(HWND control) {
    RECT rc{};
    ::GetWindowRect(control, &rc);
    const int width = ::GetSystemMetrics(SM_CXSCREEN), height = ::GetSystemMetrics(SM_CYSCREEN);
    INPUT in[3] = {};
    for (INPUT& i : in) i.type = INPUT_MOUSE;
    in[0].mi.dx = ((rc.left + rc.right) / 2 * 65535) / (width - 1);
    in[0].mi.dy = ((rc.top + rc.bottom) / 2 * 65535) / (height - 1);
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(3, in, sizeof(INPUT));
}

std::string Step2Text(HWND dlg) { return WindowText(::GetDlgItem(dlg, IDC_STEP2_TEXT)); }

bool HasBox(const std::vector<std::string>& boxes, const std::string& start) {
    for (const std::string& box : boxes)
        if (box.rfind(start, 0) == 0) return true;
    return false;
}

class Win32Keys : public testing::TestWithParam<KeyCase> {};

// Escape stops a Browse at once and closes the window (and a pass once the files in hand are
// done); Enter goes on with the next step once the summary has been read and does nothing while
// work runs; F1 opens the About box in every phase and the work goes on.
TEST_P(Win32Keys, DoWhatTheyShowInEveryPhase) {
    const KeyCase& tc = GetParam();
    constexpr int kFiles = 16;
    TempFolder root;
    std::vector<std::string> files;
    for (int i = 0; i < kFiles; ++i) {
        std::string name = std::to_string(i);
        files.push_back(root.Olv(name + ".olv", tc.version, tc.version == 4));
        // Between them, files the search looks at slowly (as on a share).
        std::ofstream(root.Sub(name + ".txt")) << "x";
    }

    DialogDriver driver;
    int pickers = 0;
    driver.app.Main().folderPickerForTest = [&](const std::string&) {
        ++pickers;
        return std::optional<std::string>(root.Path());
    };
    CQuorvelDlg* logic = nullptr;
    std::atomic<int> resaves{0};
    driver.setUp = [&](CQuorvelDlg& dlg) {
        logic = &dlg;
        FileWork work;
        work.walk.isLeftover = [](const std::string&) {
            ::Sleep(30);
            return false;
        };
        work.probe.threads = 1;
        work.probeFile = [](const std::string& path) {
            ::Sleep(60);
            return scan::ProbeVersion(path);
        };
        work.resaveJobs = 2;
        work.resaveFile = [&](const std::string& path) {
            ::Sleep(80);
            ++resaves;
            return ResaveAsTargetVersion(path);
        };
        dlg.SetFileWork(work);
    };

    const auto reached = [&](HWND dlg) {
        switch (tc.phase) {
        case Phase::Search: return Step2Text(dlg) == text::kStep2Searching;
        case Phase::Analysis: return Step2Text(dlg) == text::kStep2Analyzing;
        case Phase::AfterSummary: return !logic->IsBrowsing() && HasBox(driver.boxes, text::kAppName + std::string("\nSearch"));
        case Phase::FixPass: return logic->IsFixPassRunning();
        }
        return false;
    };
    std::vector<DialogDriver::Step> steps{[](HWND dlg) { ::PostMessageW(::GetDlgItem(dlg, IDC_BROWSE), BM_CLICK, 0, 0); }};
    if (tc.phase == Phase::FixPass) {
        steps.push_back(driver.Until([&](HWND) { return !logic->IsBrowsing() && !driver.boxes.empty(); }, "the summary"));
        steps.push_back([](HWND dlg) { ::PostMessageW(::GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0); });
    }
    steps.push_back(driver.Until(reached, "the phase"));
    steps.push_back([&](HWND dlg) {
        switch (tc.input) {
        case Input::Escape: PressKey(VK_ESCAPE); break;
        case Input::Enter: PressKey(VK_RETURN); break;
        case Input::F1: PressKey(VK_F1); break;
        case Input::ClickClose: ClickWithMouse(::GetDlgItem(dlg, IDCANCEL)); break;
        case Input::ClickFixFiles: ClickWithMouse(::GetDlgItem(dlg, IDOK)); break;
        }
    });
    if (tc.closed == Closed::No) {
        // The input is handled before the next tick; then the work it started or let go on ends.
        steps.push_back(driver.Until([&](HWND) { return !logic->IsBrowsing() && !logic->IsFixPassRunning(); }, "the end of the work"));
        steps.push_back([](HWND dlg) { ::EndDialog(dlg, 99); });
    }
    EXPECT_EQ(driver.Run(steps), tc.closed == Closed::Yes ? IDCANCEL : 99);

    // Each file resaved is repaired, once.
    int repaired = 0;
    for (const std::string& f : files) repaired += tc.version == 4 && WekVerify(f.c_str()) == WEK_OK;
    EXPECT_EQ(repaired, resaves.load());
    const Resaved resaved = repaired == 0 ? Resaved::None : repaired == kFiles ? Resaved::All : Resaved::Some;
    EXPECT_EQ(HasBox(driver.boxes, text::kAppName + std::string("\nSearch complete")), tc.summary);
    EXPECT_EQ(HasBox(driver.boxes, text::kAboutCaption), tc.about);
    EXPECT_EQ(static_cast<int>(resaved), static_cast<int>(tc.resaved)) << repaired << " of " << kFiles << " resaved";
    EXPECT_EQ(pickers, tc.pickers);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, Win32Keys,
    testing::Values(
        KeyCase{"EscapeStopsTheSearch", Phase::Search, Input::Escape, Closed::Yes, false, false, Resaved::None},
        KeyCase{"CloseClickedStopsTheSearch", Phase::Search, Input::ClickClose, Closed::Yes, false, false, Resaved::None},
        KeyCase{"EnterDuringTheSearchDoesNothing", Phase::Search, Input::Enter, Closed::No, true, false, Resaved::None},
        KeyCase{"F1DuringTheSearchOpensAbout", Phase::Search, Input::F1, Closed::No, true, true, Resaved::None},
        KeyCase{"EscapeStopsTheAnalysis", Phase::Analysis, Input::Escape, Closed::Yes, false, false, Resaved::None},
        KeyCase{"F1DuringTheAnalysisOpensAbout", Phase::Analysis, Input::F1, Closed::No, true, true, Resaved::None},
        KeyCase{"EnterAfterTheSummaryFixesFiles", Phase::AfterSummary, Input::Enter, Closed::No, true, false, Resaved::All},
        KeyCase{"EnterAfterAnEmptySummaryBrowsesAgain", Phase::AfterSummary, Input::Enter, Closed::No, true, false,
                Resaved::None, 3, 2},
        KeyCase{"FixFilesClickedAfterTheSummary", Phase::AfterSummary, Input::ClickFixFiles, Closed::No, true, false, Resaved::All},
        KeyCase{"F1AfterTheSummaryOpensAbout", Phase::AfterSummary, Input::F1, Closed::No, true, true, Resaved::None},
        KeyCase{"EscapeAfterTheSummaryCloses", Phase::AfterSummary, Input::Escape, Closed::Yes, true, false, Resaved::None},
        KeyCase{"EscapeStopsThePassAfterTheFilesInHand", Phase::FixPass, Input::Escape, Closed::Yes, true, false, Resaved::Some},
        KeyCase{"EnterDuringThePassDoesNothing", Phase::FixPass, Input::Enter, Closed::No, true, false, Resaved::All},
        KeyCase{"F1DuringThePassOpensAbout", Phase::FixPass, Input::F1, Closed::No, true, true, Resaved::All}),
    [](const testing::TestParamInfo<KeyCase>& p) { return p.param.name; });

}  // namespace
}  // namespace quorvel::test
