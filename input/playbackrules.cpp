#include "input/playbackrules.h"

#include <algorithm>
#include <cstdlib>

namespace playbackrules {

PlaybackOutcome applyRequest(const PlaybackState& state, qint64 requestedMs, bool wantPlaying)
{
    PlaybackOutcome out;
    qint64 p = std::max<qint64>(requestedMs, 0);
    const bool starting = wantPlaying && !state.playing;
    const qint64 duration = state.durationMs;
    if (starting && duration > 0 && p >= duration - kEndRestartWindowMs)
        p = 0;
    out.positionMs = p;
    out.leaveEnded = starting || wantPlaying != state.playing || p != state.positionMs;
    const bool ended = state.endedOnce && !out.leaveEnded;

    if (!wantPlaying || (ended && !state.looping && duration > 0 && p >= duration - kEndRestartWindowMs)) {
        // A pause, or a source that has just ended staying at its end.
        out.playing = false;
        out.flushAudio = state.playing;
        return out;
    }
    out.playing = true;
    if (starting) {
        out.requestSeek = std::llabs(p - state.positionMs) > kStartSeekToleranceMs || state.lastRequestedMs == -1;
        return out;
    }
    // The playback has moved on since the last request: a request of where
    // it is now (a program switch to a playing channel asks for the position
    // its panel shows) is no jump either.
    const bool nearRequest = std::llabs(p - state.lastRequestedMs) <= kPlayingSeekToleranceMs;
    const bool nearShown = state.shownMs >= 0 && std::llabs(p - state.shownMs) <= kPlayingSeekToleranceMs;
    out.requestSeek = state.lastRequestedMs >= 0 && !nearRequest && !nearShown;
    return out;
}

} // namespace playbackrules
