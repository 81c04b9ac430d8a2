// Paces the dialog's repaint-now requests to the screen: the first request after a quiet frame
// is painted as soon as the window next looks at its messages, later ones within the same frame
// are folded into one paint when the frame ends, so a list that grows by thousands of rows a
// second costs one paint per frame, not one per row, while at human speed every change shows at
// once. When a paint costs more than an eighth of a frame, frames are stretched to keep painting
// to that share of the time.
//
// Paints run from the window's message loop, never inside the call that asks for them: under
// Wine every paint asks the window system for work that, while the file work keeps it busy, can
// take tens of milliseconds, and the dialog logic's own stretches between looks at its messages
// stay free of it.
#pragma once

#include <chrono>
#include <functional>

namespace quorvel::win32 {

class PaintPacer {
public:
    using Clock = std::chrono::steady_clock;

    // `paint` does the real paint. `arrange(ms)` must arrange, with 0, one call of OnLook as
    // soon as the window looks at its messages (a posted message), otherwise one call of
    // OnTimer after about `ms` milliseconds (a window timer). Neither is arranged again before
    // it has come.
    PaintPacer(std::function<void()> paint, std::function<void(unsigned ms)> arrange);

    // A paint is wanted: at the window's next look at its messages when the last paint is a
    // frame old or more, otherwise when the frame ends.
    void Request();
    // Paints now when a paint is wanted (before modal loops, and from OnTimer).
    void Flush();
    // The window looked at its messages, as arranged.
    void OnLook();
    // The timer arranged ran out.
    void OnTimer();
    // Forgets a wanted paint and what was arranged (the window is gone).
    void Cancel() { m_pending = m_lookArranged = m_timerArranged = false; }
    // Paints done so far.
    long long Paints() const { return m_paints; }
    // Test seam: the clock the pacer reads (Clock::now by default).
    void SetClockForTest(std::function<Clock::time_point()> now) { m_now = std::move(now); }

private:
    void Paint();
    // Time until the next paint is due; zero or less when it is due now.
    Clock::duration Remaining() const;

    std::function<void()> m_paint;
    std::function<void(unsigned)> m_arrange;
    std::function<Clock::time_point()> m_now = [] { return Clock::now(); };
    Clock::time_point m_lastPaint{};
    Clock::duration m_lastCost{};
    long long m_paints = 0;
    bool m_pending = false;
    bool m_lookArranged = false;
    bool m_timerArranged = false;
};

}  // namespace quorvel::win32
