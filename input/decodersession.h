#pragma once

// The decode thread's state for one open source, shared by the files of
// FFmpegVideoDecoder (the loop, the source opening, the audio path). Not
// for use outside the decoder.

#include "avglue/avptr.h"
#include "input/ffmpegvideodecoder.h"
#include "input/filepacer.h"
#include "net/sockstcprelay.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace decodersession {

constexpr std::size_t kLiveHeldBackLimit = 8;
constexpr std::size_t kFileHeldBackLimit = 200;

// What the interrupt callback of an input reads.
struct InterruptFlags {
    const std::atomic<bool>* stop = nullptr;
    const std::atomic<bool>* readerStop = nullptr; // may be null
};

// One interrupt callback per input, installed before the open and never
// swapped: it answers "abort" once the decoder stops or the reader is told
// to end, so no open, probe or read outlives a stop request by much.
inline int interruptRequested(void* opaque)
{
    const auto* flags = static_cast<const InterruptFlags*>(opaque);
    return (flags->stop->load() || (flags->readerStop && flags->readerStop->load())) ? 1 : 0;
}

// A picture's or sound frame's time in microseconds; 0 without one.
inline std::int64_t frameTimeUs(const AVFrame* frame, const AVStream* stream)
{
    if (!stream || frame->best_effort_timestamp == AV_NOPTS_VALUE)
        return 0;
    return av_rescale_q(frame->best_effort_timestamp, stream->time_base, AVRational{1, 1000000});
}

} // namespace decodersession

// Everything the decode thread holds for one open source. Members are
// declared so that they go in the right order: the reader thread first (it
// reads the input), then decoders and frames, then the input, then the flags
// its interrupt callback reads.
struct FFmpegVideoDecoder::AudioDecodeState {
    av::CodecContextPtr context;
    AVStream* stream = nullptr; // owned by the input
    av::FramePtr frame;
    av::SwrPtr resampler;
    // Parameters the resampler was built for.
    int inRate = 0;
    AVSampleFormat inFormat = AV_SAMPLE_FMT_NONE;
    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    std::vector<std::uint8_t> sampleBuffer;
    std::vector<float> floatBuffer;

    AudioDecodeState() { av_channel_layout_default(&outLayout, 2); }
    ~AudioDecodeState()
    {
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
    }
    AudioDecodeState(const AudioDecodeState&) = delete;
    AudioDecodeState& operator=(const AudioDecodeState&) = delete;

    void dropResampler()
    {
        resampler.reset();
        inRate = 0;
    }
    // Rebuilds the resampler when the frame's rate, format or layout differ
    // from what it was built for; false when none can be built.
    bool fitResampler(const AVFrame& frame);
};

struct FFmpegVideoDecoder::Session {
    explicit Session(FFmpegVideoDecoder* d) : decoder(d) {}
    ~Session()
    {
        stopReader();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void stopReader()
    {
        if (!reader.joinable())
            return;
        {
            std::lock_guard lock(readerMutex);
            readerStop = true; // also makes the interrupt callback abandon a blocked read
        }
        readerCondition.notify_all();
        reader.join();
        std::lock_guard lock(readerMutex);
        readerQueue.clear();
        readerBytes = 0;
    }

    FFmpegVideoDecoder* const decoder;
    // Read by the interrupt callback on any thread that is inside FFmpeg.
    std::atomic<bool> readerStop{false};
    const decodersession::InterruptFlags interruptFlags{&decoder->stopRequested, &readerStop};

    QString source;     // as received
    QString microphone; // "audioSource" value
    QString openString; // without "audioSource"
    bool live = false;
    bool isDshow = false;
    std::size_t heldBackLimit = decodersession::kFileHeldBackLimit;

    // The SOCKS relay of a bridged input, declared before the input so that
    // it stops after the input is closed.
    std::unique_ptr<SocksTcpRelay> relay;
    av::InputPtr input;

    int videoIndex = -1;
    AVStream* videoStream = nullptr; // owned by the input
    av::BufferRefPtr hwDevice;
    AVPixelFormat hwPixelFormat = AV_PIX_FMT_NONE; // the video context's opaque points here
    av::CodecContextPtr video;
    int audioIndex = -1;
    AudioDecodeState audio;

    av::FramePtr decoded;
    av::FramePtr newest;
    av::FramePtr software;
    av::PacketPtr packet;
    av::SwsPtr scaler; // cached between pictures

    std::deque<av::PacketPtr> heldBack; // video packets read ahead while waiting
    FilePacer pacer;

    // Packet reader of live cameras. readerQueue and readerBytes are guarded
    // by readerMutex.
    bool readerUsed = false;
    std::mutex readerMutex;
    std::condition_variable readerCondition;
    std::deque<av::PacketPtr> readerQueue;
    std::uint64_t readerBytes = 0;
    std::thread reader;
};
