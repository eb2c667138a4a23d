#include "output/mediaclock.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

namespace {

// A stall longer than this counts as this long: the timeline does not jump
// by minutes after the machine slept.
constexpr std::int64_t kMaxStepMs = 10000;
constexpr std::int64_t kNsPerMs = 1000000;

} // namespace

void MediaClock::advance(std::int64_t nowNs)
{
    std::int64_t step = 1;
    if (!m_started) {
        m_started = true;
        m_lastNs = nowNs;
    } else {
        // The reference moves by the whole milliseconds counted, so the
        // fraction left over is counted with the next frame instead of
        // being lost every frame (33.3 ms frames would otherwise run the
        // clock, and the audio pulled with it, 1% slow).
        const std::int64_t elapsed = nowNs - m_lastNs;
        if (elapsed < kNsPerMs) {
            m_lastNs += kNsPerMs;
        } else if (elapsed / kNsPerMs >= kMaxStepMs) {
            step = kMaxStepMs;
            m_lastNs = nowNs;
        } else {
            step = elapsed / kNsPerMs;
            m_lastNs += step * kNsPerMs;
        }
    }
    m_wallMs += step;
}

MediaClock::Picture MediaClock::stampPicture(std::int64_t nowNs, bool draining, AVRational timeBase, int fps)
{
    if (draining && m_started)
        m_wallMs += std::max(1, 1000 / fps);
    else
        advance(nowNs);
    // The media clock follows the wall clock, and runs ahead of it only
    // while frames that came in a bunch are stamped ahead (below): the
    // audio pulled for them then stays with the picture, and the clock
    // waits for the wall clock afterwards instead of keeping the lead, so
    // bursts never stretch a recording's timeline.
    const std::int64_t before = m_mediaMs;
    m_mediaMs = std::max(m_mediaMs, m_wallMs);
    // Pictures are stamped on the output rate's grid: the clock picks the
    // nearest free frame slot. Stamps off the grid (the clock's jitter in a
    // millisecond time base) make players guess another rate and make a
    // remux at the nominal rate put two pictures on one slot.
    const AVRational slotBase{1, fps};
    const AVRational ms{1, 1000};
    std::int64_t slot = av_rescale_q(m_mediaMs, ms, slotBase);
    if (m_hasLastPts) {
        const std::int64_t lastSlot = av_rescale_q(m_lastPts, timeBase, slotBase);
        if (slot <= lastSlot) {
            slot = lastSlot + 1;
            m_mediaMs = std::max(m_mediaMs, av_rescale_q(slot, slotBase, ms));
        }
    }
    std::int64_t pts = av_rescale_q(slot, slotBase, timeBase);
    if (m_hasLastPts && pts <= m_lastPts)
        pts = m_lastPts + 1;
    m_lastPts = pts;
    m_hasLastPts = true;
    return {pts, m_mediaMs - before};
}

void MediaClock::forgetPictures()
{
    m_hasLastPts = false;
    m_lastPts = 0;
}
