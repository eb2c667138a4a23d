#pragma once

#include "output/routersink.h"

#include <memory>

class FfmpegEncoderSink;

// The router's view of the real encoder sink: forwards every operation to one
// FfmpegEncoderSink, which it shares with nobody else.
class FfmpegRouterSink : public RouterSink {
public:
    FfmpegRouterSink();
    ~FfmpegRouterSink() override;

    bool configure(const QString& recordPath, const std::vector<StreamTarget>& targets, double fps) override;
    void setOutputSize(int width, int height) override;
    void setEncoderOptions(const EncoderOptions& options) override;
    void setSegmentation(const SegmentOptions& options) override;
    bool probeEncoder(int width, int height) override;
    void setAudioPullCallback(AudioPull callback) override;
    void setFatalErrorCallback(std::function<void()> callback) override;
    void setStatusCallback(StatusCallback callback) override;
    void encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames,
                     std::int64_t generation) override;
    void setPictureTime(std::int64_t steadyNs) override;
    void abort() override;
    void startNewSession() override;
    void close() override;

private:
    std::unique_ptr<FfmpegEncoderSink> sink;
};

// The default sink of every output run.
std::shared_ptr<RouterSink> makeFfmpegRouterSink();
