// The decoder's sound: the queue the mixer reads, the resampler to 48 kHz
// stereo, and the capture of a separate microphone on its own thread.

#include "input/ffmpegvideodecoder.h"

#include "avglue/avptr.h"
#include "input/decodersession.h"
#include "input/inputsource.h"
#include "platform/capturedevices.h"

#include <algorithm>
#include <chrono>
#include <thread>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/opt.h>
}

using namespace decodersession;

namespace {

// Packets a paused microphone drops per turn to keep its device buffer empty.
constexpr int kPausedMicrophoneDiscardMax = 128;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool FFmpegVideoDecoder::AudioDecodeState::fitResampler(const AVFrame& frame)
{
    // The input layout: the frame's, else the decoder's, else stereo.
    AVChannelLayout layout{};
    if (frame.ch_layout.nb_channels > 0)
        av_channel_layout_copy(&layout, &frame.ch_layout);
    else if (context->ch_layout.nb_channels >= 1)
        av_channel_layout_copy(&layout, &context->ch_layout);
    else
        av_channel_layout_default(&layout, 2);
    // Broadcast streams change rate, format or layout mid-stream: the
    // resampler is rebuilt whenever its input parameters change.
    if (resampler && (inRate != frame.sample_rate || inFormat != frame.format
                      || av_channel_layout_compare(&inLayout, &layout) != 0))
        dropResampler();
    if (!resampler) {
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, kOutputSampleRate, &layout,
                                AVSampleFormat(frame.format), frame.sample_rate, 0, nullptr) < 0
            || !swr || swr_init(swr) < 0 || frame.sample_rate <= 0) {
            swr_free(&swr);
            av_channel_layout_uninit(&layout);
            return false;
        }
        resampler.reset(swr);
        inRate = frame.sample_rate;
        inFormat = AVSampleFormat(frame.format);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_copy(&inLayout, &layout);
    }
    av_channel_layout_uninit(&layout);
    return true;
}

// ---------------------------------------------------------------- audio

void FFmpegVideoDecoder::clearAudio(bool fadeIn)
{
    std::lock_guard lock(audioMutex);
    audioQueue.clear();
    queueHeadSamples = kNoPts;
    // Whatever comes next starts a new stretch of the file: it waits for
    // the picture that anchors the clock again.
    pictureClock.reset();
    fadeInRemaining = fadeIn ? kFadeInStart : 0;
}

void FFmpegVideoDecoder::pushAudio(const float* samples, int frames, std::int64_t mediaUs)
{
    if (!samples || frames <= 0)
        return;
    std::lock_guard lock(audioMutex);
    // Chunks of one stretch follow each other: only the head's time is kept.
    if (audioQueue.empty())
        queueHeadSamples = mediaUs == kNoPts ? kNoPts : av_rescale(mediaUs, kOutputSampleRate, 1000000);
    audioQueue.insert(audioQueue.end(), samples, samples + std::size_t(frames) * 2);
    if (audioQueue.size() > std::size_t(kAudioQueueCapFloats))
        dropAudioLocked(std::int64_t(audioQueue.size() - kAudioQueueCapFloats) / 2);
}

void FFmpegVideoDecoder::dropAudioLocked(std::int64_t frames)
{
    const std::int64_t n = std::min<std::int64_t>(frames, std::int64_t(audioQueue.size() / 2));
    if (n <= 0)
        return;
    audioQueue.erase(audioQueue.begin(), audioQueue.begin() + std::ptrdiff_t(n * 2));
    if (queueHeadSamples != kNoPts)
        queueHeadSamples += n;
}

int FFmpegVideoDecoder::alignSoundLocked(std::int64_t nowUs, int frames)
{
    if (!soundFollowsPictures || !pictureClock.anchored() || queueHeadSamples == kNoPts || audioQueue.empty())
        return 0;
    // A read is the sound of the `frames` up to now.
    const std::int64_t headUs = av_rescale(queueHeadSamples, 1000000, kOutputSampleRate);
    const std::int64_t dueUs = pictureClock.mediaAtUs(nowUs) - av_rescale(frames, 1000000, kOutputSampleRate);
    const std::int64_t correctionUs = FilePacer::soundCorrectionUs(headUs, dueUs);
    const std::int64_t correction = av_rescale(correctionUs, kOutputSampleRate, 1000000);
    if (correction < 0) {
        dropAudioLocked(-correction);
        return 0;
    }
    // The silence stands for the time up to the head, so the head moves on
    // with it only as far as samples are really read.
    return int(std::min<std::int64_t>(correction, frames));
}
std::int64_t FFmpegVideoDecoder::queuedAudioFrames()
{
    std::lock_guard lock(audioMutex);
    return std::int64_t(audioQueue.size() / 2);
}

int FFmpegVideoDecoder::readAudio(float* out, int frames)
{
    if (!out || frames <= 0)
        return 0;
    const std::int64_t nowUs = steadyNowUs();
    std::lock_guard lock(audioMutex);
    // A file's sound before its first picture is not due yet.
    const bool waiting = soundFollowsPictures && !pictureClock.anchored();
    const int silent = waiting ? frames : alignSoundLocked(nowUs, frames);
    std::fill(out, out + 2 * std::size_t(silent), 0.0f);
    int taken = 0;
    for (int i = silent; i < frames; ++i) {
        if (audioQueue.size() < 2) {
            out[2 * i] = 0.0f;
            out[2 * i + 1] = 0.0f;
            continue;
        }
        float left = audioQueue[0];
        float right = audioQueue[1];
        audioQueue.pop_front();
        audioQueue.pop_front();
        ++taken;
        if (fadeInRemaining > 0) {
            const float gain = 1.0f - float(fadeInRemaining) / float(kFadeInStart);
            fadeInRemaining = std::max(fadeInRemaining - kFadeInStep, 0);
            left *= gain;
            right *= gain;
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
    if (queueHeadSamples != kNoPts)
        queueHeadSamples += taken;
    return frames;
}

void FFmpegVideoDecoder::decodeAudioPacket(AudioDecodeState& a, const AVPacket* packet)
{
    if (!a.context || !a.frame || !packet || avcodec_send_packet(a.context.get(), packet) < 0)
        return;
    AVFrame* frame = a.frame.get();
    while (avcodec_receive_frame(a.context.get(), frame) == 0) {
        if (stopRequested) {
            av_frame_unref(frame);
            return;
        }
        if (liveDeviceAudioMaster) {
            const std::int64_t t = frameTimeUs(frame, a.stream);
            std::int64_t current = newestAudioPtsUs.load();
            while (!newestAudioPtsUs.compare_exchange_weak(current, current == kNoPts ? t : std::max(current, t))) {
            }
        }
        if (!a.fitResampler(*frame)) {
            av_frame_unref(frame);
            continue;
        }

        // The converted samples start this much before the frame: the
        // resampler still held some of the previous one.
        const std::int64_t mediaUs = frame->best_effort_timestamp == AV_NOPTS_VALUE
            ? kNoPts
            : frameTimeUs(frame, a.stream) - swr_get_delay(a.resampler.get(), 1000000);
        const std::int64_t capacity = av_rescale_rnd(swr_get_delay(a.resampler.get(), a.inRate) + frame->nb_samples,
                                                     kOutputSampleRate, a.inRate, AV_ROUND_UP);
        const int needed = av_samples_get_buffer_size(nullptr, 2, int(capacity), AV_SAMPLE_FMT_S16, 1);
        if (needed > 0 && std::size_t(needed) > a.sampleBuffer.size())
            a.sampleBuffer.resize(std::size_t(needed));
        std::uint8_t* outPlanes[1] = {a.sampleBuffer.data()};
        const int converted = needed > 0
            ? swr_convert(a.resampler.get(), outPlanes, int(capacity),
                          const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples)
            : -1;
        av_frame_unref(frame);
        if (converted < 1)
            continue;
        a.floatBuffer.resize(std::size_t(converted) * 2);
        const auto* samples = reinterpret_cast<const std::int16_t*>(a.sampleBuffer.data());
        for (std::size_t i = 0; i < a.floatBuffer.size(); ++i)
            a.floatBuffer[i] = float(samples[i]) / 32768.0f;
        pushAudio(a.floatBuffer.data(), converted, mediaUs);
    }
}

// ---------------------------------------------------------------- microphone

void FFmpegVideoDecoder::runMicrophoneCapture()
{
    QString microphone;
    {
        std::lock_guard lock(urlMutex);
        microphone = audioSource;
    }
    if (microphone.isEmpty())
        return;
    // The interrupt flags outlive the input whose callback reads them.
    InterruptFlags flags{&stopRequested, nullptr};
    AudioDecodeState a;
    int index = -1;
    const av::InputPtr input = openMicrophone(microphone, &flags, a, &index);
    av::PacketPtr packet(av_packet_alloc());
    if (!input || !a.frame || !packet)
        return;

    while (!stopRequested) {
        if (flushAudioRequested.exchange(false))
            clearAudio(false);
        if (playing) {
            if (av_read_frame(input.get(), packet.get()) >= 0) {
                if (packet->stream_index == index)
                    decodeAudioPacket(a, packet.get());
                av_packet_unref(packet.get());
            } else {
                sleepMs(3);
            }
            continue;
        }
        // Paused: keep the device's buffer empty so that playing again
        // starts with current sound.
        int discarded = 0;
        while (discarded < kPausedMicrophoneDiscardMax && !stopRequested
               && av_read_frame(input.get(), packet.get()) >= 0) {
            av_packet_unref(packet.get());
            ++discarded;
        }
        sleepMs(discarded > 0 ? 1 : 8);
    }
}

av::InputPtr FFmpegVideoDecoder::openMicrophone(const QString& microphone, void* interruptOpaque, AudioDecodeState& a,
                                                int* index)
{
    avformat_network_init();
    avdevice_register_all();
    av::Dictionary options;
    applyNetworkInputOptions(microphone, options.address(), false);

    QString video;
    QString audio;
    if (!parseDshowUrl(microphone, &video, &audio) || audio.isEmpty()) {
        emit decodeError(QString::fromUtf8("dshow 分离麦克风 URL 无效（需 dshow://…&audio=设备名）"));
        return {};
    }
    const CaptureInputPlan plan = planCaptureInput(buildDshowDeviceSpec(QString(), audio));
    const AVInputFormat* format = plan.ok ? av_find_input_format(plan.formatName.constData()) : nullptr;
    if (plan.ok && !format) {
        emit decodeError(QString::fromUtf8("未注册 dshow 输入（分离麦克风）"));
        return {};
    }
    AVFormatContext* raw = plan.ok ? avformat_alloc_context() : nullptr;
    if (raw) {
        raw->interrupt_callback.callback = &interruptRequested;
        raw->interrupt_callback.opaque = interruptOpaque;
        av_dict_set(options.address(), "rtbufsize", kMicrophoneRtbufsize, 0);
    }
    if (!raw || avformat_open_input(&raw, plan.url.constData(), format, options.address()) < 0) {
        if (!stopRequested)
            emit decodeError(QString::fromUtf8("无法打开麦克风（分离 dshow 采集）"));
        return {};
    }
    av::InputPtr input(raw);
    av::Dictionary probe;
    if (microphone.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive)) {
        av_dict_set(probe.address(), "analyzeduration", kMicrophoneProbeSize, 0);
        av_dict_set(probe.address(), "probesize", kMicrophoneProbeSize, 0);
        av_opt_set_dict(input.get(), probe.address());
    }
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        if (!stopRequested)
            emit decodeError(QString::fromUtf8("dshow 麦克风 find_stream_info 失败"));
        return {};
    }
    const int streamIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (streamIndex < 0) {
        emit decodeError(QString::fromUtf8("分离音轨中无音频流"));
        return {};
    }
    a.stream = input->streams[streamIndex];
    const AVCodec* codec = avcodec_find_decoder(a.stream->codecpar->codec_id);
    a.context.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!a.context || avcodec_parameters_to_context(a.context.get(), a.stream->codecpar) < 0
        || avcodec_open2(a.context.get(), codec, nullptr) < 0) {
        emit decodeError(QString::fromUtf8("dshow 麦克风解码器打开失败"));
        return {};
    }
    a.frame.reset(av_frame_alloc());
    *index = streamIndex;
    return input;

}
