// The file list at speed: the rows held by the backend (owner-data list view), the paint pacer,
// and the real list painting at the screen's pace while it shows every change at once at human
// speed.

#include "platform/win32/PaintPacer.h"
#include "platform/win32/RowStore.h"
#include "tests/win32/Support.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;
using namespace std::chrono_literals;

// A clock the test moves by hand, from a second past the real time on: whatever a real paint
// before cost, the next request finds its frame over.
struct FakeClock {
    PaintPacer::Clock::time_point now = PaintPacer::Clock::now() + std::chrono::seconds(1);
    std::function<PaintPacer::Clock::time_point()> Reader() {
        return [this] { return now; };
    }
};

// What a pacer case does: move the clock, then one step. A look is the window's message loop
// handling what was arranged for its next look; a frame end is the arranged timer running out.
enum class Op { Request, Look, FrameEnd, Flush };
struct PacerStep {
    std::chrono::milliseconds advance;
    Op op;
};

struct PacerCase {
    const char* name;
    std::chrono::milliseconds paintCost;
    std::vector<PacerStep> steps;
    int paints, looks, timers;  // paints done; arrangements for the next look, and for later
};

// Nothing is painted inside a request: the first after a quiet frame is painted at the window's
// next look at its messages; the rest of the frame's requests wait for one paint when it ends
// (one timer); a costly paint stretches the frame to keep painting to an eighth of the time; a
// flush paints what is wanted at once.
TEST(Win32PaintPacer, PaintsAtTheNextLookThenOncePerFrame) {
    using enum Op;
    const PacerCase cases[] = {
        {"nothing paints inside a request", 0ms, {{0ms, Request}}, 0, 1, 0},
        {"the first request paints at the next look", 0ms, {{0ms, Request}, {0ms, Look}}, 1, 1, 0},
        {"requests within a frame wait for its end", 0ms,
         {{0ms, Request}, {0ms, Look}, {1ms, Request}, {1ms, Request}, {1ms, Look}}, 1, 1, 1},
        {"the frame's end paints them once", 0ms,
         {{0ms, Request}, {0ms, Look}, {1ms, Request}, {1ms, Request}, {14ms, FrameEnd}}, 2, 1, 1},
        {"a frame later a request paints at the next look", 0ms,
         {{0ms, Request}, {0ms, Look}, {16ms, Request}, {0ms, Look}}, 2, 2, 0},
        {"human speed: every request paints", 0ms,
         {{0ms, Request}, {0ms, Look}, {100ms, Request}, {0ms, Look}, {100ms, Request}, {0ms, Look}}, 3, 3, 0},
        {"a costly paint stretches the frame", 10ms, {{0ms, Request}, {0ms, Look}, {50ms, Request}, {0ms, Look}}, 1, 1, 1},
        {"and ends when painting is an eighth", 10ms, {{0ms, Request}, {0ms, Look}, {70ms, Request}, {0ms, Look}}, 2, 2, 0},
        {"flush paints what is wanted at once", 0ms, {{0ms, Request}, {0ms, Flush}}, 1, 1, 0},
        {"flush without a request paints nothing", 0ms, {{0ms, Request}, {0ms, Look}, {1ms, Flush}}, 1, 1, 0},
    };
    for (const PacerCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        int paints = 0, looks = 0, timers = 0;
        bool lookArranged = false, timerArranged = false;
        PaintPacer pacer([&] { ++paints, clock.now += c.paintCost; }, [&](unsigned ms) {
            bool& arranged = ms == 0 ? lookArranged : timerArranged;
            EXPECT_FALSE(arranged) << "arranged twice";
            arranged = true;
            ++(ms == 0 ? looks : timers);
        });
        pacer.SetClockForTest(clock.Reader());
        for (const PacerStep& step : c.steps) {
            clock.now += step.advance;
            if (step.op == Look && std::exchange(lookArranged, false)) pacer.OnLook();
            if (step.op == FrameEnd && std::exchange(timerArranged, false)) pacer.OnTimer();
            if (step.op == Request) pacer.Request();
            if (step.op == Flush) pacer.Flush();
        }
        EXPECT_EQ(std::tuple(paints, looks, timers), std::tuple(c.paints, c.looks, c.timers));
        EXPECT_EQ(pacer.Paints(), paints);
    }
}

// Rows come back byte for byte however they were made: appended, put in front, texts changed,
// texts longer than a storage block, empty ones; the second column's shared texts stay apart.
TEST(Win32RowStore, KeepsEveryTextExactly) {
    RowStore store;
    const std::string huge(3 << 20, 'x'), odd("C:\\bad\xff\xfe\0.olv", 14);
    EXPECT_EQ(store.Insert(5, "C:\\a.olv"), 0);  // clamped to the end
    EXPECT_EQ(store.Insert(0, odd), 0);
    EXPECT_EQ(store.Insert(2, huge), 2);
    EXPECT_EQ(store.Insert(1, ""), 1);
    for (int i = 0; i < 3000; ++i) store.SetText(store.Insert(store.Count(), "C:\\f\\" + std::to_string(i) + ".olv"), 1, i % 2 ? "3" : "4");
    store.SetText(1, 1, "4");
    store.SetText(0, 1, "4 - failed: changed since it was loaded");
    store.SetText(2, 0, "C:\\renamed.olv");
    store.SetText(3, 2, "no third column");
    store.SetData(3, 4);
    store.SetData(99999, 4);
    EXPECT_TRUE(store.Erase(1));
    EXPECT_FALSE(store.Erase(store.Count()));
    EXPECT_FALSE(store.Erase(-1));

    const struct { int row; std::string first, second; std::intptr_t data; } rows[] = {
        {0, odd, "4 - failed: changed since it was loaded", 0},
        {1, "C:\\renamed.olv", "", 0},
        {2, huge, "", 4},
        {3, "C:\\f\\0.olv", "4", 0},
        {3002, "C:\\f\\2999.olv", "3", 0},
        {3003, "", "", 0},  // past the end
    };
    EXPECT_EQ(store.Count(), 3003);
    for (const auto& r : rows) {
        SCOPED_TRACE(r.row);
        EXPECT_TRUE(store.Text(r.row, 0) == r.first) << store.Text(r.row, 0).size() << " bytes, want " << r.first.size();
        EXPECT_EQ(std::pair(std::string(store.Text(r.row, 1)), store.Data(r.row)), std::pair(r.second, r.data));
        EXPECT_EQ(store.Text(r.row, 2), "");
    }
    store.Clear();
    EXPECT_EQ(std::pair(store.Count(), std::string(store.Text(0, 0))), std::pair(0, std::string()));
}

// The real list and progress bar through the port, with the pacer's clock in the test's hand.
// At human speed (a frame or more between changes) each change is on the screen once the window
// has looked at its messages: the control knows the row, shows it, and has nothing left to
// paint; the bar is at its place. Thousands of changes within one frame cost nothing until the
// loop looks, then one paint that shows the final state: every row, the newest in view, every
// text.
TEST(Win32List, PaintsAtTheScreensPaceAndAtOnceAtHumanSpeed) {
    const struct { const char* name; std::chrono::milliseconds between; int rows; long long paints; } cases[] = {
        {"human speed", 100ms, 40, 80},
        {"all within one frame", 0ms, 5000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DialogDriver driver;
        FakeClock clock;
        driver.Run({[&](HWND dlg) {
                        MainDialog& port = driver.app.Main();
                        port.Pacer().SetClockForTest(clock.Reader());
                        IListView& list = port.List();
                        const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST), progress = ::GetDlgItem(dlg, IDC_PROGRESS);
                        port.Progress().SetRange(0, c.rows);
                        const long long before = port.Pacer().Paints();
                        bool shownAtOnce = true;
                        for (int i = 0; i < c.rows; ++i) {
                            clock.now += c.between;
                            const int row = list.InsertItem(list.GetItemCount(), "C:\\tree\\" + std::to_string(i) + ".olv");
                            list.EnsureVisible(row);
                            list.UpdateWindow();
                            if (c.between > 0ms) port.PumpMessages();
                            clock.now += c.between;
                            list.SetItemText(row, 1, text::kWorking);
                            list.EnsureVisible(row);
                            port.Progress().SetPos(row + 1);
                            list.UpdateWindow();
                            if (c.between > 0ms) port.PumpMessages();  // a look between changes
                            const int top = ListView_GetTopIndex(ctl);
                            shownAtOnce = shownAtOnce && ListView_GetItemCount(ctl) == row + 1 &&
                                          ::SendMessageW(progress, PBM_GETPOS, 0, 0) == row + 1 &&
                                          top + ListView_GetCountPerPage(ctl) > row && ShownText(ctl, row, 1) == L"4 - working..." &&
                                          !::GetUpdateRect(ctl, nullptr, FALSE);
                        }
                        EXPECT_EQ(shownAtOnce, c.between > 0ms);
                        EXPECT_EQ(port.Pacer().Paints() - before, c.paints);
                    },
                    // The frame's end comes through the message loop (the window timer).
                    [&](HWND dlg) {
                        const HWND ctl = ::GetDlgItem(dlg, IDC_FILE_LIST);
                        PumpUntil([&] { return ListView_GetItemCount(ctl) == c.rows; });
                        ASSERT_EQ(ListView_GetItemCount(ctl), c.rows);
                        EXPECT_GT(ListView_GetTopIndex(ctl) + ListView_GetCountPerPage(ctl), c.rows - 1);
                        EXPECT_EQ(ShownText(ctl, c.rows - 1, 0), Widen("C:\\tree\\" + std::to_string(c.rows - 1) + ".olv"));
                        EXPECT_EQ(ShownText(ctl, c.rows - 1, 1), L"4 - working...");
                        EXPECT_EQ(::SendMessageW(::GetDlgItem(dlg, IDC_PROGRESS), PBM_GETPOS, 0, 0), c.rows);
                        EXPECT_FALSE(::GetUpdateRect(ctl, nullptr, FALSE));
                        ::EndDialog(dlg, 0);
                    }});
    }
}

}  // namespace
}  // namespace quorvel::test
