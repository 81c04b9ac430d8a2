#include "platform/qt/RepaintPacer.h"

#include <algorithm>

namespace quorvel::qt {

namespace {
// One frame of a 60 Hz display.
constexpr long long kFrameNs = 16'000'000;
// Painting may take at most one part in this many of the time: the rest goes to the work.
constexpr long long kWorkPerPaint = 8;
}  // namespace

RepaintPacer::RepaintPacer(std::function<void()> paint) : m_paint(std::move(paint)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Flush(); });
}

long long RepaintPacer::Remaining() const {
    if (!m_sinceLastPaint.isValid()) return 0;
    // Costly repaints (a long list's layout, many lines of text) come less often than once a
    // frame, so that painting never takes more than an eighth of the time.
    const long long interval = std::max(kFrameNs, (kWorkPerPaint - 1) * m_lastCostNs);
    const long long remainingNs = interval - m_sinceLastPaint.nsecsElapsed();
    return remainingNs <= 0 ? 0 : (remainingNs + 999'999) / 1'000'000;
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
    m_lastCostNs = cost.nsecsElapsed();
    m_sinceLastPaint.start();
}

}  // namespace quorvel::qt
