#include "platform/win32/PaintPacer.h"

#include <algorithm>

namespace quorvel::win32 {

namespace {
// One frame of a 60 Hz display.
constexpr PaintPacer::Clock::duration kFrame = std::chrono::milliseconds(16);
// Painting may take at most one part in this many of the time: the rest goes to the work.
constexpr int kWorkPerPaint = 8;
}  // namespace

PaintPacer::PaintPacer(std::function<void()> paint, std::function<void(unsigned ms)> startTimer)
    : m_paint(std::move(paint)), m_startTimer(std::move(startTimer)) {}

PaintPacer::Clock::duration PaintPacer::Remaining() const {
    if (m_paints == 0) return Clock::duration::zero();
    // Costly paints (Wine draws through the X server) come less often than once a frame.
    const Clock::duration interval = std::max(kFrame, (kWorkPerPaint - 1) * m_lastCost);
    return interval - (m_now() - m_lastPaint);
}

void PaintPacer::Request() {
    m_pending = true;
    if (Remaining() <= Clock::duration::zero())
        Paint();
    else
        Schedule();
}

void PaintPacer::Schedule() {
    m_pending = true;
    if (m_timerRunning) return;
    m_timerRunning = true;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(std::max(Remaining(), Clock::duration::zero()));
    m_startTimer(static_cast<unsigned>(std::max<long long>(1, ms.count())));
}

void PaintPacer::Flush() {
    if (m_pending) Paint();
}

void PaintPacer::OnTimer() {
    m_timerRunning = false;
    Flush();
}

void PaintPacer::Paint() {
    m_pending = false;
    const Clock::time_point start = m_now();
    m_paint();
    ++m_paints;
    m_lastPaint = m_now();
    m_lastCost = m_lastPaint - start;
}

}  // namespace quorvel::win32
