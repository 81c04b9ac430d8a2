// Paces repaint-now requests: the first request after a quiet frame paints at once, later ones
// within the same frame are folded into one repaint at the frame's end, so a list that grows
// by thousands of rows a second costs one repaint per display frame, not one per row. When a
// repaint costs more than an eighth of a frame, frames are stretched to keep it to that share.
#pragma once

#include <functional>

#include <QElapsedTimer>
#include <QTimer>

namespace quorvel::qt {

class RepaintPacer {
public:
    // `paint` does the real repaint; it is called on the GUI thread only.
    explicit RepaintPacer(std::function<void()> paint);

    // Paints now if the last paint is at least a frame old; otherwise when the frame ends
    // (by a timer, so the state is painted even if no further request comes).
    void Request();
    // Paints when the current frame ends, without painting now.
    void Schedule();
    // Paints now when a request is pending; used before modal loops and by the timer.
    void Flush();
    // With pacing off every Request paints at once (for measuring what pacing saves).
    void SetPaced(bool paced) { m_paced = paced; }
    // Real repaints done so far.
    long long Paints() const { return m_paints; }

private:
    void Paint();
    // Milliseconds until the next paint is due; 0 when it is due now.
    long long Remaining() const;

    std::function<void()> m_paint;
    QTimer m_timer;
    QElapsedTimer m_sinceLastPaint;
    long long m_lastCostNs = 0;
    long long m_paints = 0;
    bool m_pending = false;
    bool m_paced = true;
};

}  // namespace quorvel::qt
