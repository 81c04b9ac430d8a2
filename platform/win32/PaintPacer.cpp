#include "platform/win32/PaintPacer.h"

#include <algorithm>
#include <utility>

namespace quorvel::win32 {

namespace {
// One frame of a 60 Hz display.
constexpr PaintPacer::Clock::duration kFrame = std::chrono::milliseconds(16);
// Painting may take at most one part in this many of the time: the rest goes to the work.
constexpr int kWorkPerPaint = 8;
}  // namespace

PaintPacer::PaintPacer(std::function<void()> paint, std::function<void(unsigned ms)> arrange)
    : m_paint(std::move(paint)), m_arrange(std::move(arrange)) {}

PaintPacer::Clock::duration PaintPacer::Remaining() const {
    if (m_paints == 0) return Clock::duration::zero();
    // Costly paints (Wine draws through its server and the X server) come less often.
    const Clock::duration interval = std::max(kFrame, (kWorkPerPaint - 1) * m_lastCost);
    return interval - (m_now() - m_lastPaint);
}

void PaintPacer::Request() {
    m_pending = true;
    const Clock::duration remaining = Remaining();
    if (remaining <= Clock::duration::zero()) {
        // Due now: at the next look, even when a timer for later runs already.
        if (!std::exchange(m_lookArranged, true)) m_arrange(0);
    } else if (!m_lookArranged && !std::exchange(m_timerArranged, true)) {
        // Not yet: when the frame ends (a timer running already ends it sooner).
        m_arrange(static_cast<unsigned>(std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(remaining).count())));
    }
}

void PaintPacer::Flush() {
    if (m_pending) Paint();
}

void PaintPacer::OnLook() {
    m_lookArranged = false;
    Flush();
}

void PaintPacer::OnTimer() {
    m_timerArranged = false;
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
