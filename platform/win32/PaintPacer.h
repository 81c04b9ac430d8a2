// Paces the dialog's repaint-now requests to the screen: the first request after a quiet frame
// paints at once, later ones within the same frame are folded into one paint when the frame
// ends, so a list that grows by thousands of rows a second costs one paint per frame, not one
// per row, while at human speed every change shows at once. When a paint costs more than an
// eighth of a frame, frames are stretched to keep painting to that share of the time.
#pragma once

#include <chrono>
#include <functional>

namespace quorvel::win32 {

class PaintPacer {
public:
    using Clock = std::chrono::steady_clock;

    // `paint` does the real paint. `startTimer(ms)` must arrange one call of OnTimer after
    // about `ms` milliseconds (a window timer); it is called again only after OnTimer or Flush.
    PaintPacer(std::function<void()> paint, std::function<void(unsigned ms)> startTimer);

    // Paints now when the last paint is a frame old or more; otherwise when the frame ends.
    void Request();
    // Paints when the current frame ends, without painting now.
    void Schedule();
    // Paints now when a request is pending (before modal loops, and when the frame ends).
    void Flush();
    // The timer started through `startTimer` has run out.
    void OnTimer();
    // Forgets a pending paint and a running timer (the window is gone).
    void Cancel() { m_pending = m_timerRunning = false; }
    // Paints done so far.
    long long Paints() const { return m_paints; }
    // Test seam: the clock the pacer reads (Clock::now by default).
    void SetClockForTest(std::function<Clock::time_point()> now) { m_now = std::move(now); }

private:
    void Paint();
    // Time until the next paint is due; zero or less when it is due now.
    Clock::duration Remaining() const;

    std::function<void()> m_paint;
    std::function<void(unsigned)> m_startTimer;
    std::function<Clock::time_point()> m_now = [] { return Clock::now(); };
    Clock::time_point m_lastPaint{};
    Clock::duration m_lastCost{};
    long long m_paints = 0;
    bool m_pending = false;
    bool m_timerRunning = false;
};

}  // namespace quorvel::win32
