#include "output/ffmpegroutersink.h"

#include "output/ffmpegencodersink.h"

FfmpegRouterSink::FfmpegRouterSink()
    : sink(std::make_unique<FfmpegEncoderSink>())
{
}

FfmpegRouterSink::~FfmpegRouterSink() = default;

bool FfmpegRouterSink::configure(const QString& recordPath, const std::vector<StreamTarget>& targets, double fps)
{
    return sink->configure(recordPath, targets, fps);
}

void FfmpegRouterSink::setOutputSize(int width, int height) { sink->setOutputSize(width, height); }

void FfmpegRouterSink::setEncoderOptions(const EncoderOptions& options) { sink->setEncoderOptions(options); }

void FfmpegRouterSink::setSegmentation(const SegmentOptions& options) { sink->setSegmentation(options); }

bool FfmpegRouterSink::probeEncoder(int width, int height) { return sink->probeEncoder(width, height); }

void FfmpegRouterSink::setPictureTime(std::int64_t steadyNs) { sink->setPictureTime(steadyNs); }

void FfmpegRouterSink::setAudioPullCallback(AudioPull callback) { sink->setAudioPullCallback(std::move(callback)); }

void FfmpegRouterSink::setFatalErrorCallback(std::function<void()> callback)
{
    sink->setFatalErrorCallback(std::move(callback));
}

void FfmpegRouterSink::setStatusCallback(StatusCallback callback) { sink->setStatusCallback(std::move(callback)); }

void FfmpegRouterSink::encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames,
                                   std::int64_t generation)
{
    sink->encodeFrame(frame, audio, audioFrames, generation);
}

void FfmpegRouterSink::abort() { sink->abort(); }

void FfmpegRouterSink::startNewSession() { sink->startNewSession(); }

// Through the interface, as the encode worker ends a run.
void FfmpegRouterSink::close() { static_cast<IEncoderSink*>(sink.get())->close(); }

std::shared_ptr<RouterSink> makeFfmpegRouterSink() { return std::make_shared<FfmpegRouterSink>(); }
