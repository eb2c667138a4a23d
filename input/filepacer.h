#pragma once

#include <algorithm>
#include <cstdint>

// Steady-clock pacing of file pictures: the first picture after an anchor
// reset is due at once and anchors media time to wall time; every later one
// is due at its media distance from the anchor. For the first kWarmUpUs of
// wall time after a reset the decoder is still starting (its threads start,
// its buffers are touched for the first time) and its pictures come late
// through no fault of the source: one late enough to be skipped then anchors
// again instead, so the timeline starts from it and none is lost. A loop's
// seam does not start the timeline again: the first picture of the next pass
// is due one picture interval after the last one of this pass, so the moment
// the decoder takes to start over is caught up instead of added to the clip
// at every pass. The file's sound is heard by the same clock: the sample due
// at a wall time is the one at that media time. Pure; the decode thread owns
// one and feeds it the steady clock, tests feed it a fake one.
class FilePacer {
public:
    static constexpr std::int64_t kLateSkipUs = 150000; // later than this: skipped
    static constexpr std::int64_t kMaxWaitUs = 2000000; // a single wait never exceeds this
    static constexpr std::int64_t kReadAheadMinUs = 200; // read ahead only for longer waits
    static constexpr std::int64_t kWarmUpUs = 1000000;  // too late re-anchors for this long
    static constexpr std::int64_t kMaxIntervalUs = 1000000; // longer steps are not a picture interval
    // Sound this far off its pictures is left alone: the mixer's 10 ms tick
    // is read a little early or late, and moving the sound for that would
    // cut it up.
    static constexpr std::int64_t kSoundToleranceUs = 12000;

    void reset()
    {
        m_anchored = false;
        m_seamPending = false;
        m_lastMediaUs = kNone;
    }
    bool anchored() const { return m_anchored; }

    // The file starts again from its beginning: the next picture, whatever
    // its media time, anchors at one picture interval after the last one
    // paced. Without a picture paced or an interval known yet, it anchors at
    // once as after reset().
    void continueAfterSeam()
    {
        if (!m_anchored || m_lastMediaUs == kNone || m_intervalUs <= 0) {
            reset();
            return;
        }
        m_seamWallUs = m_anchorWallUs + (m_lastMediaUs + m_intervalUs - m_anchorMediaUs);
        m_seamPending = true;
        m_anchored = false;
        m_lastMediaUs = kNone;
    }

    // Microseconds from nowUs until the picture at mediaUs is due; negative
    // when it is late.
    std::int64_t delayUs(std::int64_t mediaUs, std::int64_t nowUs)
    {
        m_justAnchored = false;
        const std::int64_t step = m_lastMediaUs == kNone ? 0 : mediaUs - m_lastMediaUs;
        if (step > 0 && step <= kMaxIntervalUs)
            m_intervalUs = step;
        m_lastMediaUs = mediaUs;
        if (!m_anchored) {
            m_anchored = true;
            if (m_seamPending) {
                // Due at the seam's wall time, which a slow start of the
                // pass may already have left behind.
                m_seamPending = false;
                m_warmUpEndUs = std::max(nowUs, m_seamWallUs) + kWarmUpUs;
                const std::int64_t delay = m_seamWallUs - nowUs;
                if (tooLate(delay))
                    return anchorAt(mediaUs, nowUs);
                anchorAt(mediaUs, m_seamWallUs);
                return delay;
            }
            m_warmUpEndUs = nowUs + kWarmUpUs;
            return anchorAt(mediaUs, nowUs);
        }
        const std::int64_t delay = m_anchorWallUs + (mediaUs - m_anchorMediaUs) - nowUs;
        if (tooLate(delay) && nowUs < m_warmUpEndUs)
            return anchorAt(mediaUs, nowUs);
        return delay;
    }

    // True when the last delayUs() call anchored media time anew: whatever
    // follows the pictures' clock (the sound) must take the new anchor.
    bool justAnchored() const { return m_justAnchored; }

    // The media time due at nowUs; anchored pacers only.
    std::int64_t mediaAtUs(std::int64_t nowUs) const { return m_anchorMediaUs + (nowUs - m_anchorWallUs); }

    // How far the sound whose next sample is at media time soundUs must move
    // to be heard with the pictures due at media time dueUs: 0 within the
    // tolerance, else positive when it is ahead (that much silence goes
    // first) and negative when it is behind (that much is dropped).
    static std::int64_t soundCorrectionUs(std::int64_t soundUs, std::int64_t dueUs)
    {
        const std::int64_t ahead = soundUs - dueUs;
        return (ahead > kSoundToleranceUs || ahead < -kSoundToleranceUs) ? ahead : 0;
    }

    static std::int64_t waitUs(std::int64_t delayUs) { return std::clamp<std::int64_t>(delayUs, 0, kMaxWaitUs); }
    static bool tooLate(std::int64_t delayUs) { return delayUs < -kLateSkipUs; }

private:
    std::int64_t anchorAt(std::int64_t mediaUs, std::int64_t nowUs)
    {
        m_anchorMediaUs = mediaUs;
        m_anchorWallUs = nowUs;
        m_justAnchored = true;
        return 0;
    }

    static constexpr std::int64_t kNone = INT64_MIN;

    bool m_anchored = false;
    bool m_justAnchored = false;
    bool m_seamPending = false;
    std::int64_t m_seamWallUs = 0;
    std::int64_t m_lastMediaUs = kNone; // the last picture paced since the anchor was reset
    std::int64_t m_intervalUs = 0;      // the last step between two pictures
    std::int64_t m_anchorMediaUs = 0;
    std::int64_t m_anchorWallUs = 0;
    std::int64_t m_warmUpEndUs = 0;
};
