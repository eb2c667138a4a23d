#include "output/ffmpegencodersink.h"

#include "output/reconnectbackoff.h"
#include "output/rgbatoyuv.h"
#include "output/videoencoderchoice.h"
#include "output/steadyclock.h"

#include "avglue/avloghook.h"
#include "net/networkproxysettings.h"
#include "net/socksmediabridge.h"
#include "net/streamurl.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <malloc.h>
#include <string>

namespace {

using picturesize::kMaxH264Dimension;

constexpr int kAacSampleRate = 48000;
constexpr int kAacBitRate = 160000;
constexpr int kAudioChannels = AudioFifo::kChannels;
constexpr int kMaxPullFrames = 9600;                // 200 ms at 48 kHz
constexpr int kCatchUpRounds = 512;
constexpr std::int64_t kCatchUpSlackMs = 80;
constexpr std::int64_t kFileFlushIntervalNs = 250000000;
constexpr int kFileWriteBufferBytes = 4194304;

// A recording whose file writes keep failing (a full disk) is given up
// after this many failed writes in a row or this long without a success.
constexpr int kFileFailureStreakLimit = 150;
constexpr std::int64_t kFileFailureTimeLimitNs = 5000000000LL;

std::int64_t packetStartUs(const AVPacket* packet, AVRational timeBase)
{
    std::int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts
                     : packet->pts != AV_NOPTS_VALUE ? packet->pts
                                                     : 0;
    return av_rescale_q(t, timeBase, AVRational{1, 1000000});
}

bool carriesFlv(const StreamTarget& target)
{
    return streamurl::carriesFlv(target.url.toUtf8(), target.muxer.toUtf8());
}

bool formatHasGlobalHeader(const AVOutputFormat* format)
{
    return format && (format->flags & AVFMT_GLOBALHEADER);
}

// Whether the MP4 muxer of this FFmpeg knows the movflags value.
bool movFlagAvailable(const AVOutputFormat* format, const char* flag)
{
    if (!format || !format->priv_class)
        return false;
    return av_opt_find(const_cast<const AVClass**>(&format->priv_class), flag, "movflags", 0,
                       AV_OPT_SEARCH_FAKE_OBJ)
           != nullptr;
}

} // namespace

FfmpegEncoderSink::FfmpegEncoderSink() = default;

FfmpegEncoderSink::~FfmpegEncoderSink()
{
    close();
}

bool FfmpegEncoderSink::open(const QString& path, double rate)
{
    return configure(path, {}, rate);
}

void FfmpegEncoderSink::pushFrame(FrameTokenPtr&& frame, const std::int16_t* audio, int audioFrames)
{
    FrameTokenPtr owned = std::move(frame);
    encodeFrame(owned, audio, audioFrames, sessionSeq.load());
}

bool FfmpegEncoderSink::configure(const QString& path, const std::vector<StreamTarget>& targets, double rate)
{
    IEncoderSink* self = this;
    self->close();

    recordPath = path;
    streamTargets.clear();
    for (const StreamTarget& t : targets) {
        const QString url = t.url.trimmed();
        const QString muxer = t.muxer.trimmed();
        if (!url.isEmpty() && !muxer.isEmpty())
            streamTargets.push_back({url, muxer, t.row});
    }
    fps = rate > 0.1 ? rate : 30.0;
    recording = !path.trimmed().isEmpty();
    segmentIndex = 1;
    segmentStartMs = 0;
    rotationPending = false;
    fileOpened = false;
    aborted = false;
    live = false;
    live = std::any_of(streamTargets.begin(), streamTargets.end(), carriesFlv);
    return recording || !streamTargets.empty();
}

void FfmpegEncoderSink::setOutputSize(int width, int height)
{
    outputWidth = std::max(0, width);
    outputHeight = std::max(0, height);
}

void FfmpegEncoderSink::setEncodingParams(int bitrateKbps, int keyframeSeconds, int mode, int preset)
{
    setEncoderOptions(EncoderOptions{bitrateKbps, keyframeSeconds, mode, preset});
}

void FfmpegEncoderSink::setEncoderOptions(const EncoderOptions& options)
{
    encoderOptions = options.clamped();
}

void FfmpegEncoderSink::setSegmentation(const SegmentOptions& options)
{
    segmentOptions.enabled = options.enabled;
    segmentOptions.durationMs = std::max<qint64>(0, options.durationMs);
    segmentOptions.sizeBytes = std::max<qint64>(0, options.sizeBytes);
}

void FfmpegEncoderSink::setFatalErrorCallback(FatalErrorCallback callback)
{
    fatalErrorCallback = std::move(callback);
}

void FfmpegEncoderSink::setAudioPullCallback(AudioPullCallback callback)
{
    audioPullCallback = std::move(callback);
}

void FfmpegEncoderSink::setStatusCallback(StatusCallback callback)
{
    statusCallback = std::move(callback);
}

// ---------------------------------------------------------------------------
// Encoder choice

bool FfmpegEncoderSink::wantsGlobalHeader() const
{
    if (recording && formatHasGlobalHeader(av_guess_format(nullptr, recordPath.toUtf8().constData(), nullptr)))
        return true;
    for (const StreamTarget& t : streamTargets) {
        if (formatHasGlobalHeader(av_guess_format(t.muxer.toUtf8().constData(), nullptr, nullptr)))
            return true;
    }
    return false;
}

bool FfmpegEncoderSink::probeEncoder(int width, int height)
{
    if (width <= 0 || height <= 0)
        return true;
    const int w = width & ~1;
    const int h = height & ~1;
    if ((w > kMaxH264Dimension || h > kMaxH264Dimension) && encoderOptions.encoderMode != EncoderOptions::HardwareOnly) {
        qWarning() << "FfmpegEncoderSink: real-time 8K requires explicit hardware encoding";
        return false;
    }
    if (selectVideoEncoder(std::max(w, 2), std::max(h, 2), wantsGlobalHeader()))
        return true;
    qWarning() << "FfmpegEncoderSink: encoder capability probe failed for" << width << "x" << height << "@" << fps;
    return false;
}

bool FfmpegEncoderSink::selectVideoEncoder(int w, int h, bool globalHeader)
{
    // A hardware encoder holds a session of a few the device allows: the
    // old one goes before the new one is tried.
    videoCodec.reset();
    videoCodec = videoencoderchoice::open({w, h, fps, live, globalHeader, encoderOptions});
    return videoCodec != nullptr;
}

// ---------------------------------------------------------------------------
// Encoding

void FfmpegEncoderSink::encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames, std::int64_t seq)
{
    currentFrameSeq = seq;
    // An abort releases the stream destinations only: a recording still
    // takes every frame the router hands over before it closes.
    if ((aborted.load() && !recording) || (failed && !closing.load()))
        return;
    if (!isValidFrameToken(frame))
        return;
    if (!ensureOpen(frame->width, frame->height)) {
        fail();
        return;
    }
    if (!yuvFrame || !videoCodec || !yuvFrame->data[0] || av_frame_make_writable(yuvFrame.get()) < 0)
        return;
    if (!convertFrame(*frame))
        return;

    // After a stop the router hands over the frames still queued, and the
    // time their encoding takes is not recorded time.
    const MediaClock::Picture picture = mediaClock.stampPicture(steadyNowNs(), aborted.load(), videoCodec->time_base,
                                                                videoencoderchoice::roundedFps(fps));
    if (audioPullCallback && picture.advancedMs > 0) {
        const int frames =
            int(std::min<std::int64_t>(kMaxPullFrames, (picture.advancedMs * kAacSampleRate + 500) / 1000));
        pullAudio(frames);
        audio = pullBuffer.data();
        audioFrames = frames;
    }
    yuvFrame->pts = picture.pts;

    const std::int64_t now = steadyNowNs();
    const std::int64_t intervalNs = std::int64_t(encoderOptions.keyframeIntervalSeconds) * 1000000000LL;
    bool forceKeyframe = false;
    if (lastForcedKeyframeValid && now - lastForcedKeyframeNs < intervalNs) {
        forceKeyframe = seq == sessionSeq.load() && keyframeRequested.exchange(false);
    } else {
        forceKeyframe = true;
        if (seq == sessionSeq.load())
            keyframeRequested = false;
    }
    if (forceKeyframe) {
        yuvFrame->pict_type = AV_PICTURE_TYPE_I;
        lastForcedKeyframeNs = now;
        lastForcedKeyframeValid = true;
    } else {
        yuvFrame->pict_type = AV_PICTURE_TYPE_NONE;
    }

    if (avcodec_send_frame(videoCodec.get(), yuvFrame.get()) < 0)
        return;
    drainEncoder(videoCodec.get(), true);

    if (audio && audioFrames > 0 && audioCodec) {
        audioFifo.append(audio, audioFrames);
        encodeAudio(false);
        // Keep the audio in step with the media clock whatever the output:
        // after a stall the per-frame pull is capped, so without catching up
        // a recording would carry the shortfall to its end. Streams keep a
        // little slack against jitter; a recording catches up fully. Audio
        // still waiting in the FIFO counts as taken, so nothing is pulled
        // twice.
        const int sampleRate = audioCodec->sample_rate;
        const std::int64_t slackMs = live ? kCatchUpSlackMs : 0;
        for (int round = 0; audioPullCallback && sampleRate > 0 && round < kCatchUpRounds; ++round) {
            const std::int64_t lagFrames = (mediaClock.mediaMs() - slackMs) * kAacSampleRate / 1000 - audioFramesTaken();
            if (lagFrames <= 0)
                break;
            const int frames = int(std::min<std::int64_t>(lagFrames, kMaxPullFrames));
            pullAudio(frames);
            audioFifo.append(pullBuffer.data(), frames);
            encodeAudio(false);
        }
    }

    if (!lastFileFlushValid || now - lastFileFlushNs >= kFileFlushIntervalNs) {
        flushFiles();
        lastFileFlushNs = now;
        lastFileFlushValid = true;
    }
}

bool FfmpegEncoderSink::convertFrame(const FrameToken& token)
{
    if (lastConvertedToken == &token && lastConvertedPtsUs == token.ptsUs
        && lastConvertedGeneration == token.generation)
        return true; // the same picture again: the converted one is still in yuvFrame
    const auto* rgba = reinterpret_cast<const std::uint8_t*>(token.data.constData());
    if (!rgbatoyuv::convert(rgba, token.bytesPerLine, token.width, token.height, yuvFrame.get())
        && !scaleFrame(token))
        return false;
    lastConvertedToken = &token;
    lastConvertedPtsUs = token.ptsUs;
    lastConvertedGeneration = token.generation;
    return true;
}

bool FfmpegEncoderSink::scaleFrame(const FrameToken& token)
{
    const int flags = encoderOptions.qualityPreset == 0 ? SWS_FAST_BILINEAR : encoderOptions.qualityPreset == 2 ? SWS_BICUBIC : SWS_BILINEAR;
    const ScalerKey key{token.width, token.height, yuvFrame->width, yuvFrame->height, yuvFrame->format, flags};
    if (!scaler || !(key == scalerKey)) {
        av::SwsPtr fresh(sws_alloc_context());
        SwsContext* s = fresh.get();
        if (!s)
            return false;
        const bool ok = av_opt_set_int(s, "srcw", token.width, 0) >= 0 && av_opt_set_int(s, "srch", token.height, 0) >= 0
                        && av_opt_set_int(s, "src_format", AV_PIX_FMT_RGBA, 0) >= 0
                        && av_opt_set_int(s, "dstw", key.dstWidth, 0) >= 0
                        && av_opt_set_int(s, "dsth", key.dstHeight, 0) >= 0
                        && av_opt_set_int(s, "dst_format", key.dstFormat, 0) >= 0
                        && av_opt_set_int(s, "sws_flags", flags, 0) >= 0;
        if (!ok)
            return false;
        const std::int64_t pixels = std::int64_t(key.dstWidth) * key.dstHeight;
        const int threads = pixels < picturesize::kUhdPixels ? 2 : pixels <= picturesize::kBelow8kPixels ? 4 : 6;
        const int threadResult = av_opt_set_int(s, "threads", threads, 0);
        if (threadResult < 0 && !scalerThreadsWarned) {
            scalerThreadsWarned = true;
            qWarning() << "FfmpegEncoderSink: swscale threads option unavailable;"
                       << "color conversion will use the FFmpeg default:" << av::errorText(threadResult);
        }
        // The scaler's defaults for a YUV destination (BT.601, limited
        // range) are the matrix and range the fast path uses.
        if (sws_init_context(s, nullptr, nullptr) < 0)
            return false;
        scaler = std::move(fresh);
        scalerKey = key;
    }
    // Only the frame interface runs the scaler's slice threads. The source
    // frame borrows the token's pixels for this call.
    av::FramePtr source(av_frame_alloc());
    if (!source)
        return false;
    source->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(
                                          reinterpret_cast<const std::uint8_t*>(token.data.constData())),
                                      std::size_t(token.data.size()), [](void*, std::uint8_t*) {}, nullptr,
                                      AV_BUFFER_FLAG_READONLY);
    if (!source->buf[0])
        return false;
    source->data[0] = source->buf[0]->data;
    source->linesize[0] = token.bytesPerLine;
    source->width = token.width;
    source->height = token.height;
    source->format = AV_PIX_FMT_RGBA;
    return sws_scale_frame(scaler.get(), yuvFrame.get(), source.get()) >= 0;
}

void FfmpegEncoderSink::pullAudio(int frames)
{
    pullBuffer.assign(std::size_t(frames) * kAudioChannels, 0);
    audioPullCallback(pullBuffer.data(), frames);
}

std::int64_t FfmpegEncoderSink::audioFramesTaken() const
{
    // Audio still waiting in the FIFO counts as taken, so nothing is
    // pulled twice.
    return av_rescale_q(audioSamplesSent, AVRational{1, audioCodec->sample_rate}, AVRational{1, kAacSampleRate})
           + audioFifo.unreadFrames();
}

void FfmpegEncoderSink::encodeAudio(bool pad)
{
    if (!audioCodec || !audioFrame || muxTargets.empty())
        return;
    const int n = audioFrameSize > 0 ? audioFrameSize : 1024;
    if (pad)
        audioFifo.padShortFrame(n);
    if (audioCodec->sample_fmt != AV_SAMPLE_FMT_FLTP) {
        if (audioFifo.unreadFrames() >= n)
            qWarning() << "FfmpegEncoderSink: unexpected AAC input sample format";
        return;
    }
    while (audioFifo.unreadFrames() >= n && av_frame_make_writable(audioFrame.get()) >= 0) {
        const std::int16_t* in = audioFifo.take(n);
        auto* left = reinterpret_cast<float*>(audioFrame->data[0]);
        auto* right = reinterpret_cast<float*>(audioFrame->data[1]);
        for (int i = 0; i < n; ++i) {
            left[i] = float(in[2 * i]) / 32768.0f;
            right[i] = float(in[2 * i + 1]) / 32768.0f;
        }
        audioFrame->pts = audioSamplesSent;
        audioSamplesSent += n;
        if (avcodec_send_frame(audioCodec.get(), audioFrame.get()) >= 0)
            drainEncoder(audioCodec.get(), false);
    }
}

void FfmpegEncoderSink::drainEncoder(AVCodecContext* codec, bool isVideo)
{
    if (!encodePacket) {
        encodePacket.reset(av_packet_alloc());
        if (!encodePacket)
            return;
    }
    AVPacket* packet = encodePacket.get();
    while (avcodec_receive_packet(codec, packet) >= 0) {
        if (live && packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && packet->dts > packet->pts)
            packet->pts = packet->dts;
        routePacket(packet, codec, isVideo);
    }
}

void FfmpegEncoderSink::flushVideoEncoder()
{
    if (!videoCodec)
        return;
    if (avcodec_send_frame(videoCodec.get(), nullptr) >= 0)
        drainEncoder(videoCodec.get(), true);
}

void FfmpegEncoderSink::flushAudioEncoder()
{
    encodeAudio(true);
    if (audioCodec && avcodec_send_frame(audioCodec.get(), nullptr) >= 0)
        drainEncoder(audioCodec.get(), false);
}

void FfmpegEncoderSink::flushFiles()
{
    for (const auto& target : muxTargets) {
        if (target->isNetwork)
            continue; // its output belongs to its worker
        AVFormatContext* ctx = target->formatContext.get();
        if (ctx && ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE))
            avio_flush(ctx->pb);
    }
}

void FfmpegEncoderSink::fail()
{
    bool expected = false;
    if (!failedOnce.compare_exchange_strong(expected, true))
        return;
    failed = true;
    if (fatalErrorCallback)
        fatalErrorCallback();
}

bool FfmpegEncoderSink::ensureOpen(int frameWidth, int frameHeight)
{
    if ((!recording && streamTargets.empty()) || frameWidth < 1 || frameHeight < 1)
        return false;
    av::restoreLogHook();

    const int w = (outputWidth > 0 ? outputWidth : frameWidth) & ~1;
    const int h = (outputHeight > 0 ? outputHeight : frameHeight) & ~1;
    if (w > kMaxH264Dimension || h > kMaxH264Dimension) {
        if (encoderOptions.encoderMode != EncoderOptions::HardwareOnly) {
            qWarning() << "FfmpegEncoderSink: actual 8K program size requires hardware HEVC encoding";
            return false;
        }
        if (std::any_of(streamTargets.begin(), streamTargets.end(), carriesFlv)) {
            qWarning() << "FfmpegEncoderSink: HEVC output is not supported by RTMP/RTMPS FLV targets";
            return false;
        }
    }
    const bool globalHeader = wantsGlobalHeader();
    const int W = std::max(w, 2);
    const int H = std::max(h, 2);
    IEncoderSink* self = this;

    if (videoCodec) {
        const bool sameSize = videoCodec->width == W && videoCodec->height == H;
        if (!muxTargets.empty()) {
            if (sameSize)
                return true;
            if (!recording)
                return reopenVideoEncoderForNewSize(W, H, globalHeader);
            if (!sizeChangeWarned) {
                sizeChangeWarned = true;
                qWarning() << "FfmpegEncoderSink: program dimensions changed during recording;keeping the file session at"
                           << videoCodec->width << "x" << videoCodec->height;
            }
            return true;
        }
        if (!sameSize)
            videoCodec.reset();
    }
    if (!videoCodec && !selectVideoEncoder(W, H, globalHeader)) {
        qWarning() << "FfmpegEncoderSink: no usable encoder for" << W << "x" << H;
        self->close();
        return false;
    }

    if (!openAudioEncoder(globalHeader)) {
        self->close();
        return false;
    }

    if (!allocateYuvFrame(W, H)) {
        self->close();
        return false;
    }

    if (recording) {
        if (!addDestination(segmentFileName(segmentIndex).toUtf8().constData(), nullptr)) {
            self->close();
            return false;
        }
        muxTargets.back()->rebaseActive = true;
    }

    for (std::size_t i = 0; i < streamTargets.size(); ++i) {
        const StreamTarget& st = streamTargets[i];
        const QByteArray url = st.url.trimmed().toUtf8();
        if (!isNetworkOutputUrl(url.constData())) {
            qWarning() << "FfmpegEncoderSink: invalid network output URL" << redactUrl(url);
            continue;
        }
        auto target = std::make_unique<MuxTarget>();
        target->url = url;
        target->muxer = st.muxer.trimmed().toUtf8();
        target->isNetwork = true;
        target->id = st.row >= 0 ? st.row : int(i);
        target->cachedVideoParameters.reset(avcodec_parameters_alloc());
        if (!target->cachedVideoParameters
            || avcodec_parameters_from_context(target->cachedVideoParameters.get(), videoCodec.get()) < 0) {
            qWarning() << "FfmpegEncoderSink: failed to cache video codec parameters for stream" << target->id;
            continue;
        }
        if (audioCodec) {
            target->cachedAudioParameters.reset(avcodec_parameters_alloc());
            if (!target->cachedAudioParameters
                || avcodec_parameters_from_context(target->cachedAudioParameters.get(), audioCodec.get()) < 0) {
                qWarning() << "FfmpegEncoderSink: failed to cache audio codec parameters for stream" << target->id;
                target->cachedAudioParameters.reset();
            }
        }
        target->sessionSeq = sessionSeq.load();
        target->reconnectPending = true;
        target->nextAttemptNs = steadyNowNs();
        MuxTarget& added = *target;
        {
            std::lock_guard<std::mutex> lock(targetsMutex);
            muxTargets.push_back(std::move(target));
        }
        startNetworkWorker(added);
    }

    if (muxTargets.empty()) {
        self->close();
        return false;
    }
    encodePacket.reset(av_packet_alloc());
    return true;
}

bool FfmpegEncoderSink::allocateYuvFrame(int w, int h)
{
    yuvFrame.reset(av_frame_alloc());
    if (!yuvFrame)
        return false;
    yuvFrame->width = w;
    yuvFrame->height = h;
    yuvFrame->format = videoCodec->pix_fmt;
    yuvFrame->colorspace = rgbatoyuv::kColorSpace;
    yuvFrame->color_range = rgbatoyuv::kColorRange;
    lastConvertedToken = nullptr;
    if (av_frame_get_buffer(yuvFrame.get(), 32) < 0) {
        yuvFrame.reset();
        return false;
    }
    return true;
}

bool FfmpegEncoderSink::openAudioEncoder(bool globalHeader)
{
    audioCodec.reset();
    audioFrame.reset();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        qWarning() << "FfmpegEncoderSink: no AAC encoder, video-only mux";
        return true;
    }
    av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        qWarning() << "FfmpegEncoderSink: avcodec_alloc_context3(AAC) failed";
        return true;
    }
    ctx->sample_rate = kAacSampleRate;
    av_channel_layout_default(&ctx->ch_layout, kAudioChannels);
    ctx->bit_rate = kAacBitRate;
    ctx->sample_fmt = (codec->sample_fmts && codec->sample_fmts[0] != AV_SAMPLE_FMT_NONE) ? codec->sample_fmts[0]
                                                                                          : AV_SAMPLE_FMT_FLTP;
    if (globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ctx->time_base = AVRational{1, kAacSampleRate};
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        qWarning() << "FfmpegEncoderSink: audio avcodec_open2 failed, video-only mux";
        return true;
    }
    audioFrameSize = ctx->frame_size > 0 ? ctx->frame_size : 1024;
    av::FramePtr frame(av_frame_alloc());
    if (frame) {
        frame->format = ctx->sample_fmt;
        av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
        frame->sample_rate = ctx->sample_rate;
        frame->nb_samples = audioFrameSize;
    }
    if (!frame || av_frame_get_buffer(frame.get(), 0) < 0) {
        qWarning() << "FfmpegEncoderSink: audio frame buffer failed";
        return false;
    }
    audioCodec = std::move(ctx);
    audioFrame = std::move(frame);
    audioSamplesSent = 0;
    return true;
}

bool FfmpegEncoderSink::reopenVideoEncoderForNewSize(int w, int h, bool globalHeader)
{
    std::lock_guard<std::mutex> lock(muxMutex);
    if (muxTargets.empty())
        return false;
    flushVideoEncoder();
    scaler.reset();
    scalerKey = {};
    lastConvertedToken = nullptr;
    yuvFrame.reset();
    videoCodec.reset();
    mediaClock.forgetPictures();
    if (!selectVideoEncoder(w, h, globalHeader)) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: no usable video encoder";
        return false;
    }
    if (!allocateYuvFrame(w, h)) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: YUV buffer alloc failed";
        yuvFrame.reset();
        videoCodec.reset();
        return false;
    }
    for (const auto& target : muxTargets) {
        if (target->isNetwork) {
            if (!target->cachedVideoParameters)
                target->cachedVideoParameters.reset(avcodec_parameters_alloc());
            if (!target->cachedVideoParameters
                || avcodec_parameters_from_context(target->cachedVideoParameters.get(), videoCodec.get()) < 0)
                qWarning() << "FfmpegEncoderSink: failed to refresh cached video codec parameters";
            std::lock_guard<std::mutex> targetLock(target->mutex);
            dropQueuedPackets(target->queue);
            target->resetRequested = true;
            target->waitKeyframe = true;
            target->wake.notify_all();
        } else if (target->formatContext && target->videoStream) {
            if (avcodec_parameters_from_context(target->videoStream->codecpar, videoCodec.get()) < 0)
                qWarning() << "FfmpegEncoderSink: avcodec_parameters_from_context failed after video reopen";
        }
    }
    return true;
}

void FfmpegEncoderSink::close()
{
    AudioPullCallback lastPull = std::move(audioPullCallback);
    audioPullCallback = nullptr;

    closing = true;
    failed = false;
    // The workers end their destinations with a trailer, so receivers get
    // the last frame whole; one that does not end at once is released by
    // `aborted`, which stopNetworkWorkers sets after its first wait.
    stopNetworkWorkers();
    aborted = true;

    // The recording is drained and finished whatever stopped the run: an
    // abort only ever concerns the stream destinations, and the file's I/O
    // does not listen to it. The tail reaches the file only: the network
    // workers are gone.
    if (recording) {
        flushVideoEncoder();
        if (audioCodec) {
            // Audio is pulled up to each frame's time stamp; the last frame
            // is shown for one more frame interval, which needs its sound,
            // and frames stamped ahead of the clock need theirs too.
            if (lastPull && mediaClock.started() && videoCodec && mediaClock.hasPicture()) {
                const std::int64_t videoEndMs =
                    av_rescale_q(mediaClock.lastPts(), videoCodec->time_base, AVRational{1, 1000})
                    + 1000 / videoencoderchoice::roundedFps(fps);
                const int frames = int(std::clamp<std::int64_t>(
                    videoEndMs * kAacSampleRate / 1000 - audioFramesTaken(), 0, kMaxPullFrames));
                if (frames > 0) {
                    pullBuffer.assign(std::size_t(frames) * kAudioChannels, 0);
                    lastPull(pullBuffer.data(), frames);
                    audioFifo.append(pullBuffer.data(), frames);
                }
            }
            flushAudioEncoder();
        }
    }
    lastPull = nullptr;
    pullBuffer.clear();
    pullBuffer.shrink_to_fit();

    if (beforeTrailerHook)
        beforeTrailerHook();
    for (const auto& target : muxTargets) {
        if (target->formatContext) {
            if (fileOpened && !target->isNetwork) {
                const int r = av_write_trailer(target->formatContext.get());
                if (r < 0)
                    qWarning() << "FfmpegEncoderSink: av_write_trailer failed:" << av::errorText(r);
            }
            target->formatContext.reset();
            target->videoStream = nullptr;
            target->audioStream = nullptr;
        }
        target->relay.reset();
    }

    aborted = false;
    keyframeRequested = false;
    {
        std::lock_guard<std::mutex> lock(targetsMutex);
        muxTargets.clear();
    }

    fileOpened = false;
    fileFailureStreak = 0;
    encodePacket.reset();
    routeScratchPacket.reset();
    yuvFrame.reset();
    audioFrame.reset();
    scaler.reset();
    scalerKey = {};
    lastConvertedToken = nullptr;
    lastConvertedPtsUs = 0;
    lastConvertedGeneration = 0;
    videoCodec.reset();
    audioCodec.reset();

    mediaClock.reset();
    lastFileFlushValid = false;
    lastForcedKeyframeValid = false;
    audioSamplesSent = 0;
    audioFifo.clear();

    aborted = false;
    closing = false;
    failed = false;
    failedOnce = false;
    outputWidth = 0;
    outputHeight = 0;
}

// ---------------------------------------------------------------------------
// Outputs

bool FfmpegEncoderSink::addDestination(const char* url, const char* muxer)
{
    auto target = std::make_unique<MuxTarget>();
    target->isNetwork = isNetworkOutputUrl(url);
    const bool ok = openMux(*target, url, muxer);
    if (ok) {
        target->reopenAttempts = 0;
    } else if (target->isNetwork) {
        target->reopenAttempts = 0;
        target->reconnectPending = true;
        target->nextAttemptNs = steadyNowNs() + 400000000LL;
    } else {
        return false;
    }
    MuxTarget& added = *target;
    {
        std::lock_guard<std::mutex> lock(targetsMutex);
        muxTargets.push_back(std::move(target));
    }
    fileOpened = fileOpened || ok;
    if (added.isNetwork)
        startNetworkWorker(added);
    return true;
}

bool FfmpegEncoderSink::lockMuxMutexUnlessStopping(bool network)
{
    while (!muxMutex.try_lock()) {
        if ((network && aborted.load()) || closing.load())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool FfmpegEncoderSink::openMux(MuxTarget& target, const char* url, const char* muxer)
{
    // An abort stops stream destinations from opening, never the recording's
    // next segment.
    const bool networkUrl = isNetworkOutputUrl(url);
    auto stopping = [this, networkUrl] { return closing.load() || (networkUrl && aborted.load()); };
    if (stopping())
        return false;
    const QByteArray origUrl = url ? QByteArray(url) : QByteArray();
    const QByteArray muxerName = (muxer && *muxer) ? QByteArray(muxer) : QByteArray();
    target.url = origUrl;
    target.muxer = muxerName;

    QByteArray publishUrl = upgradeIngestToRtmps(origUrl);
    SocksMediaBridge bridge;
    bool relayed = false;
    if (isRtmpUrl(publishUrl.constData())) {
        bridge = SocksMediaBridge::forOutput(QString::fromUtf8(publishUrl));
        if (bridge.relay && !bridge.effectiveUrl.isEmpty()) {
            publishUrl = bridge.effectiveUrl;
            relayed = true;
        }
    }
    if (stopping())
        return false;
    if (isRtmpUrl(origUrl.constData()) && std::strstr(avformat_configuration(), "--enable-librtmp")) {
        qCritical() << "FfmpegEncoderSink: RTMP output requires an FFmpeg build without --enable-librtmp; refusing "
                       "the non-interruptible external librtmp path";
        return false;
    }
    const bool isNetwork = isNetworkOutputUrl(origUrl.constData()) || isNetworkOutputUrl(publishUrl.constData());
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        target.sessionSeq = sessionSeq.load();
    }

    // Plain MPEG-TS sent to an rtp:// URL is raw TS in UDP that no RTP
    // receiver accepts; RTP needs the TS packed into RTP packets.
    const bool rtp = origUrl.trimmed().toLower().startsWith("rtp://");
    const char* formatName = rtp && (muxerName.isEmpty() || muxerName == "mpegts") ? "rtp_mpegts"
                             : !muxerName.isEmpty()                                 ? muxerName.constData()
                             : isRtmpUrl(origUrl.constData()) ? "flv"
                                                               : nullptr;
    AVFormatContext* rawCtx = nullptr;
    if (avformat_alloc_output_context2(&rawCtx, nullptr, formatName, origUrl.constData()) < 0 || !rawCtx) {
        qWarning() << "FfmpegEncoderSink: avformat_alloc_output_context2 failed"
                   << "fmt=" << (formatName ? formatName : "(null)") << "url=" << redactUrl(publishUrl);
        return false;
    }
    av::OutputFormatContextPtr ctx(rawCtx);
    const char* name = ctx->oformat->name;
    const bool isFlv = std::strcmp(name, "flv") == 0 || std::strcmp(name, "live_flv") == 0
                       || isRtmpUrl(publishUrl.constData());
    const bool mp4Family = isMp4FamilyMuxer(name);
    if (isFlv && isNetwork) {
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
        ctx->max_delay = 0;
    }
    if (isNetwork) {
        ctx->interrupt_callback.callback = &FfmpegEncoderSink::ioInterruptCallback;
        ctx->interrupt_callback.opaque = &aborted;
    }

    if (!lockMuxMutexUnlessStopping(isNetwork))
        return false;
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    {
        std::lock_guard<std::mutex> lock(muxMutex, std::adopt_lock);
        if (!videoCodec && !target.cachedVideoParameters)
            return false;
        video = avformat_new_stream(ctx.get(), nullptr);
        if (!video)
            return false;
        const int r = target.cachedVideoParameters
                          ? avcodec_parameters_copy(video->codecpar, target.cachedVideoParameters.get())
                          : avcodec_parameters_from_context(video->codecpar, videoCodec.get());
        if (r < 0)
            return false;
        const AVRational encoderTimeBase = videoCodec ? videoCodec->time_base : AVRational{1, videoencoderchoice::roundedFps(fps)};
        if (isFlv)
            video->time_base = AVRational{1, 1000};
        else if ((mp4Family || std::strcmp(name, "mpegts") == 0 || std::strcmp(name, "m2ts") == 0)
                 && encoderTimeBase.num == 1 && encoderTimeBase.den == 1000)
            video->time_base = AVRational{1, 90000};
        else
            video->time_base = encoderTimeBase;

        if (audioCodec) {
            audio = avformat_new_stream(ctx.get(), nullptr);
            if (!audio)
                return false;
            const int ra = target.cachedAudioParameters
                               ? avcodec_parameters_copy(audio->codecpar, target.cachedAudioParameters.get())
                               : avcodec_parameters_from_context(audio->codecpar, audioCodec.get());
            if (ra < 0)
                return false;
            audio->time_base = isFlv ? AVRational{1, 1000} : AVRational{1, audioCodec->sample_rate};
        }
        if (!isFlv && mp4Family) {
            video->codecpar->codec_tag = 0;
            if (audio)
                audio->codecpar->codec_tag = 0;
            const AVRational rate = (videoCodec && videoCodec->framerate.num > 0 && videoCodec->framerate.den > 0)
                                        ? videoCodec->framerate
                                        : AVRational{videoencoderchoice::roundedFps(fps), 1};
            video->avg_frame_rate = rate;
            video->r_frame_rate = rate;
        }
    }

    if (!(ctx->oformat->flags & AVFMT_NOFILE)) {
        int r = 0;
        if (!isNetwork) {
            AVDictionary* options = nullptr;
            av_dict_set(&options, "write_buffer_size", QByteArray::number(kFileWriteBufferBytes).constData(), 0);
            r = avio_open2(&ctx->pb, publishUrl.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback, &options);
            av_dict_free(&options);
            if (r < 0)
                r = avio_open(&ctx->pb, publishUrl.constData(), AVIO_FLAG_WRITE);
        } else {
            AVDictionary* rawOptions = nullptr;
            av_dict_set(&rawOptions, "rw_timeout",
                        (target.reconnectPending || target.reopenAttempts > 0) ? "3000000" : "5000000", 0);
            av_dict_set(&rawOptions, "tcp_nodelay", "1", 0);
            // SRT drops what is still unacknowledged when the socket closes,
            // unless it may linger: the receiver would lose the last second.
            if (publishUrl.trimmed().toLower().startsWith("srt://"))
                av_dict_set(&rawOptions, "linger", "1", 0);
            if (isRtmpUrl(origUrl.constData()) || isRtmpUrl(publishUrl.constData()))
                av_dict_set(&rawOptions, "rtmp_live", "live", 0);
            if (relayed) {
                av_dict_set(&rawOptions, "rtmp_tcurl", bridge.rtmpTcUrl.constData(), 0);
                av_dict_set(&rawOptions, "rtmp_app", bridge.rtmpApp.constData(), 0);
                av_dict_set(&rawOptions, "rtmp_playpath", bridge.rtmpPlayPath.constData(), 0);
                const QUrl upgraded = QUrl::fromEncoded(upgradeIngestToRtmps(origUrl).trimmed());
                if (upgraded.scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0) {
                    av_dict_set(&rawOptions, "verifyhost", upgraded.host().toUtf8().constData(), 0);
                    av_dict_set(&rawOptions, "tls_verify", "1", 0);
                }
                qInfo() << "FfmpegEncoderSink: RTMP publish using local SOCKS relay";
            }
            if (NetworkProxySettings::usesHttpProxyUtf8(publishUrl.constData())) {
                const QByteArray proxy = NetworkProxySettings::effectiveHttpProxyUtf8();
                if (!proxy.isEmpty()) {
                    av_dict_set(&rawOptions, "http_proxy", proxy.constData(), 0);
                    qInfo() << "FfmpegEncoderSink: http_proxy for HTTP(S) publish" << redactProxyCredentials(proxy);
                }
            }
            qInfo() << "FfmpegEncoderSink: opening publish URL" << redactUrl(publishUrl)
                    << (relayed ? "(local SOCKS relay)" : "(direct)");
            if (aborted.load() || closing.load()) {
                av_dict_free(&rawOptions);
                return false;
            }
            streamurl::ProtocolOptions secrets;
            const QByteArray openUrl = streamurl::takeSecretsAsOptions(publishUrl, secrets);
            for (const auto& [key, value] : secrets)
                av_dict_set(&rawOptions, key.constData(), value.constData(), 0);
            r = avio_open2(&ctx->pb, openUrl.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback, &rawOptions);
            av_dict_free(&rawOptions);
            if (r >= 0 && relayed)
                target.relay = std::move(bridge.relay);
        }
        if (r < 0) {
            qWarning() << "FfmpegEncoderSink: avio_open failed:" << av::errorText(r) << "url:" << redactUrl(publishUrl)
                       << "original:" << redactUrl(origUrl) << "| check Tools>Settings proxy (socks5://127.0.0.1:10808) or VPN TUN";
            return false;
        }
    }

    AVDictionary* headerOptions = nullptr;
    if (muxerName.isEmpty()) {
        // A fragmented file plays up to its last whole fragment when the
        // recorder is killed. Without hybrid fragments (newer than some
        // FFmpeg builds, whose header write fails on the unknown flag) a
        // file also gets an index of every fragment with its trailer:
        // players that read only the first fragment's length (GStreamer)
        // then show the whole length and can seek.
        const bool mp4OrMov = std::strcmp(name, "mp4") == 0 || std::strcmp(name, "mov") == 0;
        const bool hybrid = mp4OrMov && !isNetwork && movFlagAvailable(ctx->oformat, "hybrid_fragmented");
        // ISMV fragments each track on its own, which such an index cannot
        // describe.
        const char* flags = hybrid                  ? "+hybrid_fragmented+frag_keyframe+empty_moov+default_base_moof"
                            : mp4OrMov && !isNetwork ? "+frag_keyframe+empty_moov+default_base_moof+global_sidx"
                                                     : "+frag_keyframe+empty_moov+default_base_moof";
        if (mp4OrMov || std::strcmp(name, "ismv") == 0)
            av_dict_set(&headerOptions, "movflags", flags, 0);
    }
    if (isFlv && isNetwork)
        av_dict_set(&headerOptions, "flvflags", "no_duration_filesize", 0);
    const int headerResult = avformat_write_header(ctx.get(), &headerOptions);
    av_dict_free(&headerOptions);
    if (headerResult < 0) {
        qWarning() << "FfmpegEncoderSink: avformat_write_header failed for" << redactUrl(publishUrl) << "original:"
                   << redactUrl(origUrl);
        return false;
    }
    qInfo() << "FfmpegEncoderSink: publish header OK" << redactUrl(origUrl);
    if (!isNetwork && mp4Family && !isFlv)
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    target.videoStream = video;
    target.audioStream = audio;
    target.formatContext = std::move(ctx);
    target.fixTimestamps = isFlv;
    target.hasLastVideoPts = target.hasLastAudioPts = target.hasLastVideoDts = false;
    target.lastVideoPts = target.lastAudioPts = target.lastVideoDts = 0;
    return true;
}

void FfmpegEncoderSink::routePacket(AVPacket* packet, AVCodecContext* codec, bool isVideo)
{
    if (!routeScratchPacket)
        routeScratchPacket.reset(av_packet_alloc());
    if (routeScratchPacket && !(failed && !closing.load())) {
        for (std::size_t i = 0; i < muxTargets.size(); ++i) {
            MuxTarget& target = *muxTargets[i];
            if (target.isNetwork) {
                enqueueNetworkPacket(target, packet, codec, isVideo);
                continue;
            }
            if (isVideo && target.rebaseActive) {
                // The tail drained at close stays in the current segment.
                if (rotationPending && !closing.load() && (packet->flags & AV_PKT_FLAG_KEY)
                    && !rotateRecordingSegment(target, packet, codec)) {
                    qWarning() << "FfmpegEncoderSink: recording segment rotation failed";
                    fail();
                    continue;
                }
                if (target.rebaseUs < 0)
                    target.rebaseUs = packetStartUs(packet, codec->time_base);
            }
            if (av_packet_ref(routeScratchPacket.get(), packet) < 0)
                continue;
            const QueuedPacket descriptor{nullptr,           isVideo,           codec->time_base,  codec->codec_id,
                                          codec->framerate, codec->sample_rate, codec->frame_size, 0};
            writePacket(target, routeScratchPacket.get(), descriptor);
            av_packet_unref(routeScratchPacket.get());
            if (target.rebaseActive && segmentOptions.enabled && !rotationPending) {
                const bool durationReached = segmentOptions.durationMs > 0
                                             && mediaClock.mediaMs() - segmentStartMs >= segmentOptions.durationMs;
                const AVFormatContext* ctx = target.formatContext.get();
                const bool sizeReached = !durationReached && segmentOptions.sizeBytes > 0 && ctx && ctx->pb
                                         && avio_tell(ctx->pb) >= segmentOptions.sizeBytes;
                if (durationReached || sizeReached) {
                    rotationPending = true;
                    keyframeRequested = true;
                }
            }
        }
    }
    av_packet_unref(packet);
}

bool FfmpegEncoderSink::writePacket(MuxTarget& target, AVPacket* packet, const QueuedPacket& descriptor)
{
    if (target.isNetwork && (aborted.load() || closing.load() || descriptor.sessionSeq != sessionSeq.load()))
        return false;
    AVStream* stream = descriptor.isVideo ? target.videoStream : target.audioStream;
    AVFormatContext* ctx = target.formatContext.get();
    if (!ctx || !stream || !packet)
        return false;

    if (target.rebaseActive && target.rebaseUs >= 0) {
        // Stamps before the file's start stay negative rather than being
        // clamped to 0: several packets stamped 0 would break the stream's
        // order (the encoder's priming audio, audio encoded just after a
        // rotation). The muxer shifts or edits them out as its format needs.
        const std::int64_t offset = av_rescale_q(target.rebaseUs, AVRational{1, 1000000}, descriptor.timeBase);
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= offset;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= offset;
    }
    av_packet_rescale_ts(packet, descriptor.timeBase, stream->time_base);

    if (target.fixTimestamps) {
        std::int64_t pts = packet->pts;
        std::int64_t dts = packet->dts;
        if (dts == AV_NOPTS_VALUE && pts == AV_NOPTS_VALUE)
            pts = dts = 0;
        else if (dts == AV_NOPTS_VALUE)
            dts = pts;
        else if (pts == AV_NOPTS_VALUE)
            pts = dts;
        if (dts < 0)
            dts = 0;
        if (pts < 0)
            pts = dts;
        if (descriptor.isVideo && descriptor.codecId == AV_CODEC_ID_H264 && pts < dts)
            pts = dts;
        bool& hasLast = descriptor.isVideo ? target.hasLastVideoPts : target.hasLastAudioPts;
        std::int64_t& last = descriptor.isVideo ? target.lastVideoPts : target.lastAudioPts;
        if (hasLast && last > pts) {
            dts = std::max(last, dts);
            pts = last + 1;
        }
        last = pts;
        hasLast = true;
        if (dts > pts)
            dts = pts;
        packet->pts = pts;
        packet->dts = dts;
    }

    if (descriptor.isVideo)
        keepVideoDtsIncreasing(target, packet);

    if (isMp4FamilyMuxer(ctx->oformat->name) && packet->duration <= 0) {
        if (descriptor.isVideo && descriptor.frameRate.num > 0 && descriptor.frameRate.den > 0)
            packet->duration = av_rescale_q(1, av_inv_q(descriptor.frameRate), stream->time_base);
        else if (!descriptor.isVideo && descriptor.sampleRate > 0)
            packet->duration = av_rescale_q(descriptor.frameSize > 0 ? descriptor.frameSize : 1024,
                                            AVRational{1, descriptor.sampleRate}, stream->time_base);
    }

    packet->stream_index = stream->index;
    if (target.isNetwork && descriptor.sessionSeq != sessionSeq.load())
        return false;
    int r = av_interleaved_write_frame(ctx, packet);
    // A packet that only joined the interleaving queue reports success even
    // after the file's I/O has failed; the I/O error is sticky, so look at it.
    if (r >= 0 && ctx->pb && ctx->pb->error < 0)
        r = ctx->pb->error;
    if (target.isNetwork) {
        if (aborted.load() || closing.load())
            return false;
        if (r >= 0)
            return true;
        target.writeFailures += 1;
        if (target.writeFailures <= 8 || target.writeFailures % 25 == 0)
            qWarning() << "FfmpegEncoderSink: stream mux write failed, will reconnect:" << av::errorText(r) << "(seq"
                       << target.writeFailures << ")";
        closeTargetMux(target);
        // A stalled destination's queue and muxer buffers come and go with
        // each cycle; without handing the freed pages back the heap's holes
        // kept the process growing by megabytes per reconnect.
        malloc_trim(0);
        target.reconnectPending = true;
        const std::int64_t delayMs = kAfterWriteFailure.delayMs(target.reopenAttempts);
        target.nextAttemptNs = steadyNowNs() + delayMs * 1000000LL;
        return false;
    }
    if (r >= 0) {
        fileFailureStreak = 0;
        return true;
    }
    noteFileWriteFailure(target, r);
    return false;
}

void FfmpegEncoderSink::keepVideoDtsIncreasing(MuxTarget& target, AVPacket* packet)
{
    // Encoder stamps that differ by less than one tick of the container's
    // time base (FLV counts milliseconds), frames stamped one tick apart
    // after a bunch, and stamps clamped at a rebase may land on the same
    // tick; players and remuxers refuse a decoding time that does not
    // increase.
    if (packet->dts == AV_NOPTS_VALUE)
        return;
    if (target.hasLastVideoDts && packet->dts <= target.lastVideoDts) {
        packet->dts = target.lastVideoDts + 1;
        if (packet->pts != AV_NOPTS_VALUE && packet->pts < packet->dts)
            packet->pts = packet->dts;
    }
    target.lastVideoDts = packet->dts;
    target.hasLastVideoDts = true;
}

void FfmpegEncoderSink::noteFileWriteFailure(MuxTarget& target, int error)
{
    fileFailureStreak += 1;
    const std::int64_t now = steadyNowNs();
    if (fileFailureStreak == 1)
        target.fileFailureSinceNs = now;
    if (fileFailureStreak <= 12 || fileFailureStreak % 200 == 0)
        qWarning() << "FfmpegEncoderSink: file mux write failed (will retry same file, streak" << fileFailureStreak
                   << "):" << av::errorText(error);
    // The same file is retried, but not forever: an operator who is not
    // told would believe a full disk is still recording.
    if (!failedOnce.load() && !closing.load()
        && (fileFailureStreak >= kFileFailureStreakLimit || now - target.fileFailureSinceNs >= kFileFailureTimeLimitNs)) {
        qWarning() << "FfmpegEncoderSink: recording stopped; file writes keep failing (streak" << fileFailureStreak
                   << "):" << av::errorText(error);
        fail();
    }
}

bool FfmpegEncoderSink::rotateRecordingSegment(MuxTarget& target, const AVPacket* packet, const AVCodecContext* codec)
{
    if (!packet || !codec)
        return false;
    closeSegment(target, true);
    segmentIndex += 1;
    const QString path = segmentFileName(segmentIndex);
    if (!openMux(target, path.toUtf8().constData(), nullptr))
        return false;
    target.rebaseActive = true;
    target.rebaseUs = packetStartUs(packet, codec->time_base);
    rotationPending = false;
    segmentStartMs = mediaClock.mediaMs();
    qInfo() << "FfmpegEncoderSink: recording segment opened" << path;
    return true;
}

QString FfmpegEncoderSink::segmentFileName(int index) const
{
    if (!segmentOptions.enabled)
        return recordPath;
    const QFileInfo info(recordPath);
    const QString suffix = info.suffix();
    const QString name = QStringLiteral("%1_%2_%3%4")
                             .arg(info.completeBaseName(),
                                  QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")),
                                  QStringLiteral("%1").arg(index, 3, 10, QLatin1Char('0')),
                                  suffix.isEmpty() ? QString() : QStringLiteral(".") + suffix);
    return QDir(info.absolutePath()).filePath(name);
}

void FfmpegEncoderSink::closeSegment(MuxTarget& target, bool writeTrailer)
{
    if (!target.formatContext)
        return;
    if (writeTrailer) {
        const int r = av_write_trailer(target.formatContext.get());
        if (r < 0)
            qWarning() << "FfmpegEncoderSink: segment trailer failed:" << av::errorText(r);
    }
    target.formatContext.reset();
    target.videoStream = nullptr;
    target.audioStream = nullptr;
}

void FfmpegEncoderSink::closeTargetMux(MuxTarget& target)
{
    closeSegment(target, false);
    target.relay.reset();
}

// ---------------------------------------------------------------------------
// Stop and timeline, any thread

void FfmpegEncoderSink::abort()
{
    if (aborted.exchange(true))
        return;
    std::lock_guard<std::mutex> lock(targetsMutex);
    for (const auto& target : muxTargets) {
        if (!target->isNetwork)
            continue;
        std::lock_guard<std::mutex> targetLock(target->mutex);
        target->stop = true;
        dropQueuedPackets(target->queue);
        target->wake.notify_all();
    }
}

void FfmpegEncoderSink::startNewSession()
{
    const std::int64_t next = sessionSeq.fetch_add(1) + 1;
    keyframeRequested = true;
    std::lock_guard<std::mutex> lock(targetsMutex);
    for (const auto& target : muxTargets) {
        if (!target->isNetwork)
            continue;
        std::lock_guard<std::mutex> targetLock(target->mutex);
        target->sessionSeq = next;
        dropQueuedPackets(target->queue);
        target->waitKeyframe = true;
        target->wake.notify_all();
    }
}

int FfmpegEncoderSink::ioInterruptCallback(void* flag)
{
    return flag && static_cast<std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Pure helpers

bool FfmpegEncoderSink::isMp4FamilyMuxer(const char* name)
{
    if (!name)
        return false;
    static const char* const family[] = {"mp4", "mov", "ismv", "3gp", "f4v"};
    return std::any_of(std::begin(family), std::end(family), [name](const char* f) { return std::strcmp(f, name) == 0; });
}
