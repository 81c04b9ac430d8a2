#include "platform/qt/RepaintPacer.h"

#include <algorithm>

namespace quorvel::qt {

namespace {
// One frame of a 60 Hz display.
constexpr long long kFrameMs = 16;
}  // namespace

RepaintPacer::RepaintPacer(std::function<void()> paint) : m_paint(std::move(paint)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Flush(); });
}

long long RepaintPacer::Remaining() const {
    if (!m_sinceLastPaint.isValid()) return 0;
    // A repaint that takes longer than a frame (a huge list's layout) gets as much working
    // time after it as it took, so painting never takes more than half of the time.
    const long long interval = std::max(kFrameMs, m_lastCostMs);
    return std::max(0LL, interval - m_sinceLastPaint.elapsed());
}

void RepaintPacer::Request() {
    m_pending = true;
    if (!m_paced || Remaining() == 0)
        Paint();
    else
        Schedule();
}

void RepaintPacer::Schedule() {
    m_pending = true;
    if (!m_timer.isActive()) m_timer.start(static_cast<int>(Remaining()));
}

void RepaintPacer::Flush() {
    if (m_pending) Paint();
}

void RepaintPacer::Paint() {
    m_timer.stop();
    m_pending = false;
    QElapsedTimer cost;
    cost.start();
    m_paint();
    ++m_paints;
    m_lastCostMs = cost.elapsed();
    m_sinceLastPaint.start();
}

}  // namespace quorvel::qt
