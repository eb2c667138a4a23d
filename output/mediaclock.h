#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <cstdint>

// The program's media time in milliseconds, and where each picture lands on
// the output's frame grid. Pure: the caller passes the steady time; one
// encode thread owns it.
class MediaClock {
public:
    struct Picture {
        std::int64_t pts = 0;        // in the encoder's time base
        std::int64_t advancedMs = 0; // media time gained with this picture
    };

    // Stamps the next picture, taken at steady time nowNs, for an encoder
    // with this time base at fps frames a second. While `draining` (the
    // frames still queued after a stop) a picture lasts one frame interval
    // rather than the time its encoding took.
    Picture stampPicture(std::int64_t nowNs, bool draining, AVRational timeBase, int fps);

    bool started() const { return m_started; }
    std::int64_t mediaMs() const { return m_mediaMs; }
    // The steady time (ns) of media time 0 by the wall clock alone (without
    // the lead of bunched pictures).
    std::int64_t originNs() const { return m_lastNs - m_wallMs * 1000000; }
    bool hasPicture() const { return m_hasLastPts; }
    std::int64_t lastPts() const { return m_lastPts; }

    // A new encoder: its stamps start afresh, the media time goes on.
    void forgetPictures();
    void reset() { *this = MediaClock(); }

private:
    friend struct EncoderSinkTestAccess;
    void advance(std::int64_t nowNs);

    bool m_started = false;
    std::int64_t m_lastNs = 0;
    std::int64_t m_wallMs = 0;  // the media time without the lead of bunched frames
    std::int64_t m_mediaMs = 0;
    bool m_hasLastPts = false;
    std::int64_t m_lastPts = 0;
};
