#pragma once

#include <QtGlobal>

// What a play, pause or position request of the owner does to a file
// source's playback state. Pure, so the rules are testable without a
// decoder; FFmpegVideoDecoder::setPlayback applies the outcome.
namespace playbackrules {

// A source that has ended stays there, and a start this close to the end
// restarts from the beginning.
constexpr qint64 kEndRestartWindowMs = 80;
// Starting within this distance of the shown position needs no seek.
constexpr qint64 kStartSeekToleranceMs = 2;
// While playing, requests within this distance of the last one, or of the
// picture shown last, follow the playback clock instead of seeking.
constexpr qint64 kPlayingSeekToleranceMs = 200;

struct PlaybackState {
    qint64 durationMs = -1; // unknown when not positive
    qint64 positionMs = 0;
    bool playing = false;
    qint64 lastRequestedMs = -1; // -1 until the first request after a source change
    qint64 shownMs = -1;         // the picture handed out last; -1 before the first
    bool endedOnce = false;
    bool looping = false;
};

struct PlaybackOutcome {
    qint64 positionMs = 0; // also the new last requested position
    bool playing = false;
    bool leaveEnded = false;    // clear endedOnce
    bool requestSeek = false;   // the decode thread seeks to positionMs
    bool flushAudio = false;    // the decode thread drops the queued sound
};

PlaybackOutcome applyRequest(const PlaybackState& state, qint64 requestedMs, bool wantPlaying);

} // namespace playbackrules
