#pragma once

// Drives an FfmpegEncoderSink the way the output router does: configured on
// the calling thread, frames encoded on a separate encode thread at the
// program's pace, audio pulled through the sink's callback, close on the
// encode thread at the end. Plus ffprobe packet listings to check results.

#include "engine/frametoken.h"
#include "output/ffmpegencodersink.h"
#include "output/segmentoptions.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace testsupport {

// An RGBA picture with a moving bar and a frame-dependent background; with
// noise the picture is hard to compress (fills a disk quickly).
FrameTokenPtr makeRgbaFrame(int width, int height, int index, bool noise = false);

// A phase-continuous 1 kHz tone, 48 kHz interleaved stereo, for the sink's
// audio pull callback (encode thread only).
class TonePuller {
public:
    void operator()(std::int16_t* dst, int frames);
    std::int64_t framesPulled() const { return m_pulled.load(); }

private:
    std::int64_t m_phase = 0;
    std::atomic<std::int64_t> m_pulled{0};
};

struct SinkRun {
    int width = 320;
    int height = 240;
    double fps = 30.0;
    int frames = 60;
    bool noise = false;
    int stallAfterFrame = -1; // the program stalls after this frame ...
    int stallMs = 0;          // ... for this long
    // Called on the encode thread before each frame; false ends the run early.
    std::function<bool(int index)> beforeFrame;
    // Timeline sequence passed with each frame (the router's generation); 1 when unset.
    std::function<std::int64_t(int index)> sequence;
};

// Probes the encoder for the run's size on the calling thread, then encodes
// run.frames frames on a new encode thread at 1/fps intervals and closes the
// sink there; returns the number of frames handed to the sink.
int runSinkOnEncodeThread(FfmpegEncoderSink& sink, const SinkRun& run);

// A sink set up for a recording the way the router sets it up: software
// encoding at the fastest preset, the tone as program audio, fatal errors
// counted.
struct RecordingSink {
    FfmpegEncoderSink sink;
    TonePuller tone;
    std::atomic<int> fatalCalls{0};

    bool configure(const QString& path, const SegmentOptions& segments = SegmentOptions{false, 0, 0},
                   int bitrateKbps = 0, int keyframeSeconds = 2, double fps = 30.0);
};

struct ProbedPacket {
    double pts = 0;
    double dts = 0;
    double duration = 0;
    bool key = false;
};

struct ProbedStream {
    QString codecType;
    QString codecName;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    QString frameRate; // r_frame_rate
    int hasBFrames = 0;
    std::vector<ProbedPacket> packets;

    double start() const;
    double end() const; // last packet's pts + duration
    double duration() const { return end() - start(); }
};

// Every stream of a media file with its packets (ffprobe); empty on failure.
std::vector<ProbedStream> probePackets(const QString& path);
const ProbedStream* findStream(const std::vector<ProbedStream>& streams, const QString& codecType);

// A recorded file's streams with its video and audio stream (null when
// missing). Moved, never copied: the pointers point into `streams`.
struct ProbedFile {
    std::vector<ProbedStream> streams;
    const ProbedStream* video = nullptr;
    const ProbedStream* audio = nullptr;

    ProbedFile() = default;
    ProbedFile(ProbedFile&&) = default;
    ProbedFile(const ProbedFile&) = delete;
    ProbedFile& operator=(const ProbedFile&) = delete;
};
ProbedFile probeFile(const QString& path);

// Audio and video end within `slackSeconds` of each other.
bool endTogether(const ProbedStream& audio, const ProbedStream& video, double slackSeconds);
// Where both streams start and end, for failure messages.
QString endsText(const ProbedStream& audio, const ProbedStream& video);

// Decodes the whole file with the ffmpeg CLI; returns what it reported at
// level "error" (empty = clean), or a failure text when it could not run.
QString decodeErrors(const QString& path);

// What GStreamer's discoverer (the media stack behind Qt Multimedia and the
// common Linux players) reads of a file.
struct Discovered {
    bool ok = false;       // a duration was read
    double duration = 0;   // seconds
    bool seekable = false;
    QString report;        // the discoverer's output, for failure messages
};
Discovered gstDiscover(const QString& path);

// Container duration as ffprobe reads it, in seconds; 0 when unknown.
double probedDuration(const QString& path);

} // namespace testsupport
