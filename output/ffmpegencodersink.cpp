#include "output/ffmpegencodersink.h"

#include "output/recordingfile.h"
#include "output/programaudiotap.h"
#include "output/steadyclock.h"
#include "output/streampublisher.h"

#include "avglue/avloghook.h"

#include <QDebug>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>

namespace {

using picturesize::kMaxH264Dimension;

constexpr int kAacSampleRate = 48000;
constexpr int kAacBitRate = 160000;
constexpr int kAudioChannels = AudioFifo::kChannels;
constexpr int kMaxPullFrames = 9600;                // 200 ms at 48 kHz
constexpr int kCatchUpRounds = 512;
constexpr std::int64_t kAudioSlackMs = 30;
// An offset larger than this (a recording's backlog) is not followed
// further: the tap keeps only two seconds of sound.
constexpr std::int64_t kMaxPictureOffsetNs = 1000000000;

constexpr std::int64_t kFileFlushIntervalNs = 250000000;

bool carriesFlv(const StreamTarget& target)
{
    return streamurl::carriesFlv(target.url.toUtf8(), target.muxer.toUtf8());
}

bool formatHasGlobalHeader(const AVOutputFormat* format)
{
    return format && (format->flags & AVFMT_GLOBALHEADER);
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
    close();

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
    aborted = false;
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
// Encoders

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

bool FfmpegEncoderSink::sizeAllowed(int w, int h) const
{
    if (w <= kMaxH264Dimension && h <= kMaxH264Dimension)
        return true;
    if (encoderOptions.encoderMode != EncoderOptions::HardwareOnly) {
        qWarning() << "FfmpegEncoderSink: actual 8K program size requires hardware HEVC encoding";
        return false;
    }
    if (std::any_of(streamTargets.begin(), streamTargets.end(), carriesFlv)) {
        qWarning() << "FfmpegEncoderSink: HEVC output is not supported by RTMP/RTMPS FLV targets";
        return false;
    }
    return true;
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

bool FfmpegEncoderSink::ensureOpen(int frameWidth, int frameHeight)
{
    if ((!recording && streamTargets.empty()) || frameWidth < 1 || frameHeight < 1)
        return false;
    av::restoreLogHook();

    const int w = (outputWidth > 0 ? outputWidth : frameWidth) & ~1;
    const int h = (outputHeight > 0 ? outputHeight : frameHeight) & ~1;
    if (!sizeAllowed(w, h))
        return false;
    const bool globalHeader = wantsGlobalHeader();
    const int W = std::max(w, 2);
    const int H = std::max(h, 2);

    if (videoCodec) {
        const bool sameSize = videoCodec->width == W && videoCodec->height == H;
        if (hasOutputs()) {
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
        close();
        return false;
    }
    if (!openAudioEncoder(globalHeader) || !picture.allocate(W, H, videoCodec->pix_fmt) || !openOutputs()) {
        close();
        return false;
    }
    encodePacket.reset(av_packet_alloc());
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
    if (!hasOutputs())
        return false;
    flushVideoEncoder();
    picture.reset();
    videoCodec.reset();
    mediaClock.forgetPictures();
    if (!selectVideoEncoder(w, h, globalHeader)) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: no usable video encoder";
        return false;
    }
    if (!picture.allocate(w, h, videoCodec->pix_fmt)) {
        qWarning() << "FfmpegEncoderSink: reopenVideoEncoderForNewSize: YUV buffer alloc failed";
        videoCodec.reset();
        return false;
    }
    // Only a run without a recording changes size; its destinations
    // reconnect with the new encoder.
    for (const auto& publisher : publishers)
        publisher->replaceVideo(muxStreams());
    return true;
}

// ---------------------------------------------------------------------------
// Encoding

bool FfmpegEncoderSink::convertFrame(const FrameToken& token)
{
    return picture.convert(token, encoderOptions.qualityPreset);
}

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
    AVFrame* yuvFrame = picture.frame();
    if (!yuvFrame || !videoCodec || !yuvFrame->data[0] || av_frame_make_writable(yuvFrame) < 0)
        return;
    if (!convertFrame(*frame))
        return;

    // Pictures are stamped when this thread takes them up, which the paced
    // router does once per frame interval, so the stamps keep to the frame
    // grid. Where a picture's stamp lies from the time it was composed is
    // what the sound is moved by (below), so each picture keeps its sound.
    // After a stop the router hands over the frames still queued, and the
    // time their encoding takes is not recorded time.
    const std::int64_t takenNs = steadyNowNs();
    const MediaClock::Picture stamp =
        mediaClock.stampPicture(takenNs, aborted.load(), videoCodec->time_base, frameRate());
    notePictureOffset(nextPictureNs != 0 ? nextPictureNs : takenNs);
    nextPictureNs = 0;
    yuvFrame->pts = stamp.pts;
    const std::int64_t now = steadyNowNs();
    yuvFrame->pict_type = keyframeDue(now, seq) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(videoCodec.get(), yuvFrame) < 0)
        return;
    drainEncoder(videoCodec.get(), true);

    if (audioPullCallback && audioCodec)
        pullProgramAudio();
    else if (audio && audioFrames > 0 && audioCodec)
        encodeProgramAudio(audio, audioFrames);

    if (!lastFileFlushValid || now - lastFileFlushNs >= kFileFlushIntervalNs) {
        if (recordingFile)
            recordingFile->flush();
        lastFileFlushNs = now;
        lastFileFlushValid = true;
    }
}

bool FfmpegEncoderSink::keyframeDue(std::int64_t now, std::int64_t seq)
{
    const std::int64_t intervalNs = std::int64_t(encoderOptions.keyframeIntervalSeconds) * 1000000000LL;
    bool force = false;
    if (lastForcedKeyframeValid && now - lastForcedKeyframeNs < intervalNs) {
        force = seq == sessionSeq.load() && keyframeRequested.exchange(false);
    } else {
        force = true;
        if (seq == sessionSeq.load())
            keyframeRequested = false;
    }
    if (force) {
        lastForcedKeyframeNs = now;
        lastForcedKeyframeValid = true;
    }
    return force;
}

void FfmpegEncoderSink::encodeProgramAudio(const std::int16_t* audio, int audioFrames)
{
    audioFifo.append(audio, audioFrames);
    encodeAudio(false);
}

void FfmpegEncoderSink::pullProgramAudio()
{
    // The sound is taken up to the pictures' time, less a little slack: the
    // mixer fills the tap every few milliseconds, and sound asked for before
    // it is mixed would come as silence.
    pullAudioUpTo(audioPullCallback, mediaClock.mediaMs() - kAudioSlackMs);
}

void FfmpegEncoderSink::pullAudioUpTo(const AudioPullCallback& pull, std::int64_t untilMs)
{
    // The pulls are capped, so after a stall the loop catches up the rest.
    for (int round = 0; audioCodec->sample_rate > 0 && round < kCatchUpRounds; ++round) {
        const std::int64_t lagFrames = untilMs * kAacSampleRate / 1000 - audioFramesTaken();
        if (lagFrames <= 0)
            break;
        const int frames = int(std::min<std::int64_t>(lagFrames, kMaxPullFrames));
        pullAudio(pull, frames);
        audioFifo.append(pullBuffer.data(), frames);
        encodeAudio(false);
    }
}

void FfmpegEncoderSink::notePictureOffset(std::int64_t composedNs)
{
    if (aborted.load())
        return;
    // How far the picture's media time lies after its composition: the
    // wait in the encode queue, plus the lead of pictures stamped ahead of
    // the wall clock (a bunch: the backlog of a recording's start, the
    // carried-over frames of a program switch), which stays while pictures
    // keep coming at the frame rate. The two move together, one down as
    // the other goes up, and the sum is smoothed: single pictures jitter by
    // a few milliseconds, and moving the sound for each would add clicks.
    const std::int64_t offset = std::clamp<std::int64_t>(
        mediaClock.originNs() + mediaClock.mediaMs() * 1000000 - composedNs, 0, kMaxPictureOffsetNs);
    pictureOffsetNs = havePictureOffset ? pictureOffsetNs + (offset - pictureOffsetNs) / 8 : offset;
    havePictureOffset = true;
}

void FfmpegEncoderSink::pullAudio(const AudioPullCallback& pull, int frames)
{
    // Each sample has its steady time: the sound mixed at the moment the
    // pictures of the same media time were composed.
    const std::int64_t fromNs =
        mediaClock.started()
            ? mediaClock.originNs() + audioFramesTaken() * 1000000000 / kAacSampleRate - pictureOffsetNs
            : ProgramAudioTap::kNoTime;
    pullBuffer.assign(std::size_t(frames) * kAudioChannels, 0);
    pull(pullBuffer.data(), frames, fromNs);
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
    if (!audioCodec || !audioFrame || !hasOutputs())
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

void FfmpegEncoderSink::fail()
{
    bool expected = false;
    if (!failedOnce.compare_exchange_strong(expected, true))
        return;
    failed = true;
    if (fatalErrorCallback)
        fatalErrorCallback();
}

// ---------------------------------------------------------------------------
// Outputs

MuxOpenOptions FfmpegEncoderSink::fileOpenOptions()
{
    MuxOpenOptions options;
    options.cancelled = [this] { return closing.load(); };
    return options;
}

bool FfmpegEncoderSink::openOutputs()
{
    if (recording) {
        auto file = std::make_unique<RecordingFile>(recordPath, segmentOptions);
        if (!file->open(muxStreams(), fileOpenOptions()))
            return false;
        std::lock_guard<std::mutex> lock(targetsMutex);
        recordingFile = std::move(file);
    }
    for (std::size_t i = 0; i < streamTargets.size(); ++i)
        addPublisher(streamTargets[i], int(i));
    routeScratchPacket.reset(av_packet_alloc());
    return hasOutputs() && routeScratchPacket != nullptr;
}

void FfmpegEncoderSink::addPublisher(const StreamTarget& target, int fallbackRow)
{
    const QByteArray url = target.url.trimmed().toUtf8();
    if (!streamurl::isNetworkOutputUrl(url)) {
        qWarning() << "FfmpegEncoderSink: invalid network output URL" << streamurl::redactUrl(url);
        return;
    }
    const int row = target.row >= 0 ? target.row : fallbackRow;
    MuxStreams streams = muxStreams();
    if (!streams.video) {
        qWarning() << "FfmpegEncoderSink: failed to cache video codec parameters for stream" << row;
        return;
    }
    auto publisher = std::make_unique<StreamPublisher>(row, url, target.muxer.trimmed().toUtf8(), std::move(streams),
                                                       sessionSeq.load(), statusCallback);
    StreamPublisher& added = *publisher;
    {
        std::lock_guard<std::mutex> lock(targetsMutex);
        publishers.push_back(std::move(publisher));
    }
    // An abort that came first reaches only the publishers already listed.
    if (aborted.load() || closing.load())
        added.abort();
    added.start();
}

void FfmpegEncoderSink::routePacket(AVPacket* packet, AVCodecContext* codec, bool isVideo)
{
    if (!(failed && !closing.load())) {
        const QueuedPacket descriptor = QueuedPacket::describe(codec, isVideo, currentFrameSeq);
        if (recordingFile)
            writeToRecording(packet, descriptor);
        for (const auto& publisher : publishers)
            publisher->enqueue(packet, descriptor);
    }
    av_packet_unref(packet);
}

void FfmpegEncoderSink::writeToRecording(const AVPacket* packet, const QueuedPacket& descriptor)
{
    if (recordingFile->rotationDueAt(packet, descriptor.isVideo, closing.load())
        && !recordingFile->rotate(muxStreams(), fileOpenOptions(), packet, descriptor.timeBase, mediaClock.mediaMs())) {
        qWarning() << "FfmpegEncoderSink: recording segment rotation failed";
        fail();
        return;
    }
    // The file restamps its own reference; the publishers get the packet
    // as the encoder made it.
    if (av_packet_ref(routeScratchPacket.get(), packet) < 0)
        return;
    const RecordingFile::Written written =
        recordingFile->write(routeScratchPacket.get(), descriptor, mediaClock.mediaMs(), closing.load());
    av_packet_unref(routeScratchPacket.get());
    if (written.keyframeWanted)
        keyframeRequested = true;
    if (written.givenUp)
        fail();
}

void FfmpegEncoderSink::stopPublishers()
{
    // The workers end their destinations with a trailer, so receivers get
    // the last frame whole; once one had to be aborted, the rest are too.
    for (const auto& publisher : publishers)
        publisher->requestStop();
    bool abortRest = false;
    for (const auto& publisher : publishers) {
        if (abortRest)
            publisher->abort();
        abortRest = publisher->finish() || abortRest;
    }
}

// ---------------------------------------------------------------------------
// Close

void FfmpegEncoderSink::close()
{
    AudioPullCallback lastPull = std::move(audioPullCallback);
    audioPullCallback = nullptr;

    closing = true;
    failed = false;
    stopPublishers();
    aborted = true;

    // The recording is drained and finished whatever stopped the run: an
    // abort only ever concerns the stream destinations, and the file's I/O
    // does not listen to it. The tail reaches the file only: the
    // publishers are stopped.
    if (recording)
        drainRecordingAtClose(lastPull);
    lastPull = nullptr;
    pullBuffer.clear();
    pullBuffer.shrink_to_fit();

    if (beforeTrailerHook)
        beforeTrailerHook();
    if (recordingFile)
        recordingFile->finish();
    {
        std::lock_guard<std::mutex> lock(targetsMutex);
        recordingFile.reset();
        publishers.clear();
    }
    resetRunState();
}

void FfmpegEncoderSink::drainRecordingAtClose(const AudioPullCallback& lastPull)
{
    flushVideoEncoder();
    if (!audioCodec)
        return;
    // Audio is pulled up to a little before each frame's time; the last
    // frame is shown for one more frame interval, which needs its sound,
    // and frames stamped ahead of the clock need theirs too.
    if (lastPull && mediaClock.started() && videoCodec && mediaClock.hasPicture()) {
        const std::int64_t videoEndMs =
            av_rescale_q(mediaClock.lastPts(), videoCodec->time_base, AVRational{1, 1000}) + 1000 / frameRate();
        pullAudioUpTo(lastPull, videoEndMs);
    }
    encodeAudio(true);
    if (avcodec_send_frame(audioCodec.get(), nullptr) >= 0)
        drainEncoder(audioCodec.get(), false);
}

void FfmpegEncoderSink::resetRunState()
{
    keyframeRequested = false;
    encodePacket.reset();
    routeScratchPacket.reset();
    picture.reset();
    audioFrame.reset();
    videoCodec.reset();
    audioCodec.reset();

    mediaClock.reset();
    nextPictureNs = 0;
    pictureOffsetNs = 0;
    havePictureOffset = false;
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
// Stop and timeline, any thread

void FfmpegEncoderSink::abort()
{
    if (aborted.exchange(true))
        return;
    std::lock_guard<std::mutex> lock(targetsMutex);
    for (const auto& publisher : publishers)
        publisher->abort();
}

void FfmpegEncoderSink::startNewSession()
{
    const std::int64_t next = sessionSeq.fetch_add(1) + 1;
    keyframeRequested = true;
    std::lock_guard<std::mutex> lock(targetsMutex);
    for (const auto& publisher : publishers)
        publisher->startSession(next);
}
