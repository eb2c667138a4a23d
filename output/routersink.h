#pragma once

#include "engine/frametoken.h"
#include "output/encoderoptions.h"
#include "output/segmentoptions.h"
#include "output/streamtarget.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The operations OutputRouter needs of an encoder sink. The real one wraps
// FfmpegEncoderSink (FfmpegRouterSink); tests plug in a fake so the queue,
// pacing and stop logic can run without encoding anything.
//
// Threads: configure, the setters and probeEncoder run on the GUI thread
// before the encode worker exists; encodeFrame, startNewSession and close run
// under the router's sink mutex; abort runs on any thread without it.
class RouterSink {
public:
    // dst gets frames x 2 samples of the program sound from steady time
    // fromNs on (ProgramAudioTap::kNoTime: whatever comes next).
    using AudioPull = std::function<void(std::int16_t* dst, int frames, std::int64_t fromNs)>;
    using StatusCallback = std::function<void(int row, const QString& status)>;

    virtual ~RouterSink() = default;

    virtual bool configure(const QString& recordPath, const std::vector<StreamTarget>& targets, double fps) = 0;
    virtual void setOutputSize(int width, int height) = 0;
    virtual void setEncoderOptions(const EncoderOptions& options) = 0;
    virtual void setSegmentation(const SegmentOptions& options) = 0;
    virtual bool probeEncoder(int width, int height) = 0;
    virtual void setAudioPullCallback(AudioPull callback) = 0;
    virtual void setFatalErrorCallback(std::function<void()> callback) = 0;
    virtual void setStatusCallback(StatusCallback callback) = 0;
    virtual void encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames,
                             std::int64_t generation) = 0;
    // Just before encodeFrame: the steady time (ns) the frame was composed
    // at. A sink that keeps no clock may ignore it.
    virtual void setPictureTime(std::int64_t steadyNs) { (void)steadyNs; }
    virtual void abort() = 0;
    virtual void startNewSession() = 0;
    virtual void close() = 0;
};

using RouterSinkFactory = std::function<std::shared_ptr<RouterSink>()>;
