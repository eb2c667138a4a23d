#include "input/ffmpegvideodecoder.h"

#include "avglue/avloghook.h"
#include "engine/framepool.h"
#include "engine/outputsizepolicy.h"
#include "avglue/avptr.h"
#include "input/filepacer.h"
#include "input/inputsource.h"
#include "input/pictureconverter.h"
#include "net/socksmediabridge.h"
#include "net/sockstcprelay.h"
#include "platform/capturedevices.h"

#include <QDebug>
#include <QUrl>

#include <libyuv/rotate_argb.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <vector>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/display.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <sched.h>

namespace {

constexpr std::size_t kLiveHeldBackLimit = 8;
constexpr std::size_t kFileHeldBackLimit = 200;
constexpr auto kReaderWait = std::chrono::milliseconds(25);
constexpr int kPausedTurnMs = 25;
constexpr int kEndedTurnMs = 20;
constexpr int kPacingStepUs = 10000;
constexpr qint64 kEndRestartWindowMs = 80;
constexpr qint64 kStartSeekToleranceMs = 2;
constexpr qint64 kPlayingSeekToleranceMs = 200;
constexpr std::int64_t kDeviceAudioLeadUs = 10000;
constexpr std::int64_t kMicrophoneLagUs = 32000;
constexpr int kPausedMicrophoneDiscardMax = 128;
// Sound read ahead of pictures that are behind their time.
constexpr std::int64_t kLateAudioLeadUs = 500000;

const QString kDshowMissingText = QString::fromUtf8(
    "未注册 dshow 输入（通常未链接 libavdevice）。请确认已安装带 libavdevice 的 FFmpeg，执行 qmake 后完整重编，且 "
    "quorbel.pro 中链接含 -lavdevice。");
const QString kCameraOpenFailedText = QString::fromUtf8("无法打开摄像头或麦克风（设备名是否与系统一致？是否被其他程序占用？）");

// What the interrupt callback of an input reads.
struct InterruptFlags {
    const std::atomic<bool>* stop = nullptr;
    const std::atomic<bool>* readerStop = nullptr; // may be null
};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Cores this process may run on (a CPU affinity mask counts, the machine's
// total does not).
int usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1, int(std::thread::hardware_concurrency()));
}

std::int64_t steadyNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void freePacketQueue(std::deque<AVPacket*>& queue)
{
    for (AVPacket* p : queue)
        av_packet_free(&p);
    queue.clear();
}

std::int64_t frameTimeUs(const AVFrame* frame, const AVStream* stream)
{
    if (!stream || frame->best_effort_timestamp == AV_NOPTS_VALUE)
        return 0;
    return av_rescale_q(frame->best_effort_timestamp, stream->time_base, AVRational{1, 1000000});
}

void fillOpaqueBlack(FrameToken& token)
{
    auto* words = reinterpret_cast<std::uint32_t*>(token.data.data());
    const std::size_t count = std::size_t(token.data.size()) / 4;
    const std::uint32_t black = 0xff000000u; // bytes 0, 0, 0, 255 in RGBA order on little endian
    std::fill(words, words + count, black);
}

// Quarter turns, counter-clockwise, that bring the stored picture upright.
int quarterTurns(const AVStream* stream)
{
    if (!stream)
        return 0;
    double ccw = 0;
    bool have = false;
    const AVPacketSideData* side = nullptr;
    for (int i = 0; i < stream->nb_side_data; ++i) {
        if (stream->side_data[i].type == AV_PKT_DATA_DISPLAYMATRIX) {
            side = &stream->side_data[i];
            break;
        }
    }
    if (side && side->size >= 36) {
        // The display matrix rotates the stored picture counter-clockwise
        // by this angle for display.
        ccw = av_display_rotation_get(reinterpret_cast<const int32_t*>(side->data));
        have = true;
    } else if (const AVDictionaryEntry* e = av_dict_get(stream->metadata, "rotate", nullptr, 0)) {
        // The legacy tag is a clockwise angle.
        bool ok = false;
        const double cw = QString::fromUtf8(e->value).toDouble(&ok);
        if (ok) {
            ccw = -cw;
            have = true;
        }
    }
    if (!have || !std::isfinite(ccw))
        return 0;
    const long long q = std::llround(ccw / 90.0);
    return int(((q % 4) + 4) % 4);
}


// The general scaler reads the picture's matrix and range from its tags,
// as the fast converter does; its defaults would take every picture as
// BT.601.
void setScalerColours(SwsContext* scaler, const AVFrame& frame)
{
    int matrix = SWS_CS_DEFAULT;
    if (frame.colorspace == AVCOL_SPC_BT709)
        matrix = SWS_CS_ITU709;
    else if (frame.colorspace == AVCOL_SPC_BT2020_NCL || frame.colorspace == AVCOL_SPC_BT2020_CL)
        matrix = SWS_CS_BT2020;
    int* inverse = nullptr;
    int srcRange = 0;
    int* table = nullptr;
    int dstRange = 0;
    int brightness = 0;
    int contrast = 0;
    int saturation = 0;
    if (sws_getColorspaceDetails(scaler, &inverse, &srcRange, &table, &dstRange, &brightness, &contrast, &saturation)
        < 0)
        return; // not a YUV source: nothing to choose
    if (frame.color_range == AVCOL_RANGE_JPEG)
        srcRange = 1;
    sws_setColorspaceDetails(scaler, sws_getCoefficients(matrix), srcRange, table, dstRange, brightness, contrast,
                             saturation);
}
} // namespace

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
};

struct FFmpegVideoDecoder::Session {
    explicit Session(FFmpegVideoDecoder* d) : decoder(d) {}
    ~Session()
    {
        stopReader();
        freePacketQueue(heldBack);
        if (scaler)
            sws_freeContext(scaler);
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
        freePacketQueue(readerQueue);
        readerBytes = 0;
    }

    FFmpegVideoDecoder* const decoder;
    // Read by the interrupt callback on any thread that is inside FFmpeg.
    std::atomic<bool> readerStop{false};
    const InterruptFlags interruptFlags{&decoder->stopRequested, &readerStop};

    QString source;     // as received
    QString microphone; // "audioSource" value
    QString openString; // without "audioSource"
    bool live = false;
    bool isDshow = false;
    std::size_t heldBackLimit = kFileHeldBackLimit;

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
    SwsContext* scaler = nullptr; // cached, freed by the destructor

    std::deque<AVPacket*> heldBack; // video packets read ahead while waiting
    FilePacer pacer;

    // Packet reader of live cameras. readerQueue and readerBytes are guarded
    // by readerMutex.
    bool readerUsed = false;
    std::mutex readerMutex;
    std::condition_variable readerCondition;
    std::deque<AVPacket*> readerQueue;
    std::uint64_t readerBytes = 0;
    std::thread reader;
};

namespace {

// One interrupt callback per input, installed before the open and never
// swapped: it answers "abort" once the decoder stops or the reader is told
// to end, so no open, probe or read outlives a stop request by much.
int interruptRequested(void* opaque)
{
    const auto* flags = static_cast<const InterruptFlags*>(opaque);
    return (flags->stop->load() || (flags->readerStop && flags->readerStop->load())) ? 1 : 0;
}

} // namespace

FFmpegVideoDecoder::FFmpegVideoDecoder(FramePool* framePool, QObject* parent) : QObject(parent), pool(framePool)
{
    controlThread = std::thread([this] { controlLoop(); });
}

FFmpegVideoDecoder::~FFmpegVideoDecoder()
{
    stopRequested = true;
    waitIdle();
    stopWorkers();
    {
        std::lock_guard lock(mailboxMutex);
        exitRequested = true;
    }
    workCondition.notify_all();
    controlThread.join();
}

// ---------------------------------------------------------------- control

void FFmpegVideoDecoder::postCommand(std::function<void()>&& command)
{
    std::function<void()> replaced;
    {
        std::lock_guard lock(mailboxMutex);
        if (exitRequested)
            return;
        replaced = std::exchange(pendingCommand, std::move(command));
    }
    workCondition.notify_one();
}

void FFmpegVideoDecoder::controlLoop()
{
    for (;;) {
        std::function<void()> command;
        {
            std::unique_lock lock(mailboxMutex);
            workCondition.wait(lock, [this] { return bool(pendingCommand) || exitRequested; });
            if (!pendingCommand)
                return;
            command = std::exchange(pendingCommand, nullptr);
            commandRunning = true;
        }
        command();
        {
            std::lock_guard lock(mailboxMutex);
            commandRunning = false;
            if (!pendingCommand)
                idleCondition.notify_all();
        }
    }
}

void FFmpegVideoDecoder::waitIdle()
{
    std::unique_lock lock(mailboxMutex);
    idleCondition.wait(lock, [this] { return !commandRunning && !pendingCommand; });
}

void FFmpegVideoDecoder::setSource(const QString& source)
{
    postCommand([this, source] { applySource(source); });
}

void FFmpegVideoDecoder::applySource(const QString& source)
{
    {
        std::lock_guard lock(urlMutex);
        if (source == url && !stopRequested)
            return;
    }
    durationMs = -1;
    stopWorkers();
    clearAudio(false);
    {
        std::lock_guard lock(urlMutex);
        url = source;
    }
    if (source.isEmpty() || !pool) {
        std::lock_guard lock(urlMutex);
        audioSource.clear();
        separateAudio = false;
        liveDeviceAudioMaster = false;
        return;
    }
    const QString microphone = audioSourceOf(source);
    {
        std::lock_guard lock(urlMutex);
        audioSource = microphone;
    }
    separateAudio = !microphone.isEmpty();

    std::lock_guard lock(threadMutex);
    lastShownMs = -1;
    lastRequestedMs = -1;
    endedOnce = false;
    seekRequested = true;
    videoOriginUs = kNoPts;
    clockOriginFrames = kNoPts;
    codedSize = 0;
    displaySize = 0;
    ++generation;
    stopRequested = false;
    decodeThread = std::thread([this] { threadFunc(); });
    if (!microphone.isEmpty())
        microphoneThread = std::thread([this] { runMicrophoneCapture(); });
}

void FFmpegVideoDecoder::stopWorkers()
{
    std::lock_guard lock(threadMutex);
    stopRequested = true;
    if (microphoneThread.joinable())
        microphoneThread.join();
    if (decodeThread.joinable())
        decodeThread.join();
}

void FFmpegVideoDecoder::requestStop() { stopRequested = true; }

void FFmpegVideoDecoder::requestSeek() { seekRequested = true; }

void FFmpegVideoDecoder::setPlayback(qint64 requestedMs, bool wantPlaying)
{
    const qint64 oldPosition = positionMs.load();
    const bool wasPlaying = playing.load();
    qint64 p = std::max<qint64>(requestedMs, 0);
    const bool starting = wantPlaying && !wasPlaying;
    const qint64 duration = durationMs.load();
    if (starting && duration > 0 && p >= duration - kEndRestartWindowMs)
        p = 0;
    if (starting || wantPlaying != wasPlaying || p != oldPosition)
        endedOnce = false;
    positionMs = p;

    auto pause = [&] {
        playing = false;
        if (wasPlaying)
            flushAudioRequested = true;
    };
    if (!wantPlaying) {
        pause();
    } else if (endedOnce && !looping && duration > 0 && p >= duration - kEndRestartWindowMs) {
        pause(); // a source that has just ended stays at its end
    } else {
        playing = true;
        const qint64 lastRequested = lastRequestedMs.load();
        if (starting) {
            if (std::llabs(p - oldPosition) > kStartSeekToleranceMs || lastRequested == -1)
                seekRequested = true;
        } else if (lastRequested >= 0 && std::llabs(p - lastRequested) > kPlayingSeekToleranceMs) {
            seekRequested = true;
        }
    }
    lastRequestedMs = p;
}

void FFmpegVideoDecoder::setLooping(bool on)
{
    looping = on;
    if (on)
        endedOnce = false;
}

void FFmpegVideoDecoder::setFrameCallback(std::function<void(FrameTokenPtr)>&& callback)
{
    frameCallback = std::move(callback);
}

void FFmpegVideoDecoder::setOutputSize(int width, int height)
{
    if (!pool)
        return;
    const auto [pw, ph] = pool->frameSize();
    requestedSize = packSize(std::max(1, std::min(width, pw)), std::max(1, std::min(height, ph)));
}

QSize FFmpegVideoDecoder::effectiveOutputSize() const
{
    const std::uint64_t requested = requestedSize.load();
    if (requested != 0)
        return unpackSize(requested);
    if (!pool)
        return {};
    const auto [w, h] = pool->frameSize();
    return QSize(w, h);
}

void FFmpegVideoDecoder::setAudioClock(std::shared_ptr<std::function<long long()>> clock)
{
    std::lock_guard lock(audioClockMutex);
    audioClock = std::move(clock);
}

// ---------------------------------------------------------------- publishing

void FFmpegVideoDecoder::updateSourceInfo(int codedWidth, int codedHeight, int displayWidth, int displayHeight)
{
    if (codedWidth < 1 || codedHeight < 1 || displayWidth < 1 || displayHeight < 1)
        return;
    const std::uint64_t oldCoded = codedSize.exchange(packSize(codedWidth, codedHeight));
    const std::uint64_t oldDisplay = displaySize.exchange(packSize(displayWidth, displayHeight));
    if (oldCoded != packSize(codedWidth, codedHeight) || oldDisplay != packSize(displayWidth, displayHeight))
        emit sourceVideoInfoChanged(codedWidth, codedHeight, displayWidth, displayHeight, generation.load());
}

void FFmpegVideoDecoder::deliverFrame(FrameTokenPtr&& frame)
{
    if (frame)
        frame->generation = generation.load();
    if (frameCallback)
        frameCallback(std::move(frame));
}

void FFmpegVideoDecoder::postPlaybackEnded()
{
    QMetaObject::invokeMethod(this, [this] { emit playbackEndedNaturally(); }, Qt::QueuedConnection);
}

void FFmpegVideoDecoder::postDecodeError(const QString& message)
{
    QMetaObject::invokeMethod(this, [this, message] { emit decodeError(message); }, Qt::QueuedConnection);
}

std::int64_t FFmpegVideoDecoder::readAudioClock()
{
    // Called under the lock so that clearing the clock waits for a read in
    // progress: the clock's owner may be destroyed right after.
    std::lock_guard lock(audioClockMutex);
    if (!audioClock || !*audioClock)
        return kNoPts;
    return (*audioClock)();
}

// ---------------------------------------------------------------- open

void FFmpegVideoDecoder::threadFunc()
{
    Session s(this);
    {
        std::lock_guard lock(urlMutex);
        s.source = url;
        s.microphone = audioSource;
    }
    if (s.source.isEmpty())
        return;
    liveDeviceAudioMaster = false;
    newestAudioPtsUs = kNoPts;
    s.openString = openStringOf(s.source);
    const QString scheme = QUrl(s.source, QUrl::TolerantMode).scheme().toLower();
    if (scheme == QLatin1String("desktop")) {
        runDesktopCapture(s.source);
        return;
    }
    if (scheme == QLatin1String("wgc")) {
        runWindowCapture(s.source);
        return;
    }
    if (!openSource(s))
        return;
    runDecodeLoop(s);
}

bool FFmpegVideoDecoder::openSource(Session& s)
{
    // A library opened since may have replaced FFmpeg's log hook.
    av::restoreLogHook();
    avformat_network_init();
    avdevice_register_all();

    // RTMP, RTSP and TCP inputs cross a SOCKS proxy through a local relay.
    QString ffmpegUrl = s.openString;
    bool viaBridge = false;
    if (isSocksRelayableUrl(s.openString)) {
        SocksMediaBridge bridge = SocksMediaBridge::forInput(s.openString);
        if (bridge.relay && !bridge.effectiveUrl.isEmpty()) {
            ffmpegUrl = QString::fromUtf8(bridge.effectiveUrl);
            viaBridge = true;
            s.relay = std::move(bridge.relay);
        }
    }

    av::Dictionary options;
    applyNetworkInputOptions(ffmpegUrl, options.address(), viaBridge);

    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        emit decodeError(QStringLiteral("avformat_open_input failed"));
        return false;
    }
    raw->interrupt_callback.callback = &interruptRequested;
    raw->interrupt_callback.opaque = const_cast<InterruptFlags*>(&s.interruptFlags);

    const QByteArray deviceSpec = cameraDeviceSpecOf(s.source);
    if (!deviceSpec.isEmpty()) {
        const CaptureInputPlan plan = planCaptureInput(deviceSpec);
        const AVInputFormat* format = plan.ok ? av_find_input_format(plan.formatName.constData()) : nullptr;
        if (plan.ok && !format) {
            avformat_free_context(raw);
            emit decodeError(kDshowMissingText);
            return false;
        }
        if (!plan.ok) {
            qWarning() << "FFmpegVideoDecoder: camera not found:" << plan.error;
            avformat_free_context(raw);
            emit decodeError(kCameraOpenFailedText);
            return false;
        }
        applyCameraInputOptions(s.source, options.address());
        if (avformat_open_input(&raw, plan.url.constData(), format, options.address()) < 0) {
            if (!stopRequested)
                emit decodeError(kCameraOpenFailedText);
            return false;
        }
    } else {
        if (avformat_open_input(&raw, ffmpegUrl.toUtf8().constData(), nullptr, options.address()) < 0) {
            if (!stopRequested)
                emit decodeError(QStringLiteral("avformat_open_input failed"));
            return false;
        }
    }
    s.input.reset(raw);
    options.clear();

    // The probe limits are settings of the format context; FFmpeg reads them
    // during the stream probe.
    av::Dictionary probe;
    applyProbeOptions(s.openString, probe.address());
    if (!probe.empty())
        av_opt_set_dict(s.input.get(), probe.address());
    if (avformat_find_stream_info(s.input.get(), nullptr) < 0) {
        s.input.reset();
        if (!stopRequested)
            emit decodeError(QStringLiteral("avformat_find_stream_info failed"));
        return false;
    }
    if (s.input->duration > 0)
        durationMs = s.input->duration / 1000;

    s.live = isLiveSourceUrl(s.source, s.input.get());
    s.isDshow = s.source.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive);
    s.heldBackLimit = s.live ? kLiveHeldBackLimit : kFileHeldBackLimit;

    s.videoIndex = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (s.videoIndex < 0) {
        s.input.reset();
        emit decodeError(QStringLiteral("no video stream"));
        return false;
    }
    s.videoStream = s.input->streams[s.videoIndex];
    const AVCodecParameters* par = s.videoStream->codecpar;

    if (par->codec_id == AV_CODEC_ID_AV1) {
        for (const char* name : {"av1_cuvid", "av1_qsv", "av1_amf"}) {
            const AVCodec* codec = avcodec_find_decoder_by_name(name);
            if (!codec || codec->id != par->codec_id)
                continue;
            for (int i = 0;; ++i) {
                const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
                if (!config)
                    break;
                if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX)
                    || config->device_type == AV_HWDEVICE_TYPE_NONE)
                    continue;
                AVBufferRef* device = nullptr;
                if (av_hwdevice_ctx_create(&device, config->device_type, nullptr, nullptr, 0) < 0)
                    continue;
                av::BufferRefPtr deviceRef(device);
                av::CodecContextPtr context(avcodec_alloc_context3(codec));
                if (!context || avcodec_parameters_to_context(context.get(), par) < 0)
                    continue;
                s.hwPixelFormat = config->pix_fmt;
                context->opaque = &s.hwPixelFormat;
                context->get_format = &selectHwPixelFormat;
                context->hw_device_ctx = av_buffer_ref(device);
                if (avcodec_open2(context.get(), codec, nullptr) < 0)
                    continue;
                qInfo() << "FFmpegVideoDecoder: hardware decoder selected" << name
                        << av_hwdevice_get_type_name(config->device_type);
                s.video = std::move(context);
                s.hwDevice = std::move(deviceRef);
                break;
            }
            if (s.video)
                break;
        }
        if (!s.video) {
            s.hwPixelFormat = AV_PIX_FMT_NONE;
            qWarning() << "FFmpegVideoDecoder: AV1 hardware decode unavailable; using software decoder";
        }
    }
    if (!s.video) {
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        av::CodecContextPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (context && !(s.live && s.isDshow)) {
            // Capture devices deliver small or raw pictures and keep
            // libavcodec's single thread; files and network sources get
            // threads by picture size.
            context->thread_count = videoDecoderThreads(par->width, par->height, s.live, usableCores());
            context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        }
        if (!context || avcodec_parameters_to_context(context.get(), par) < 0
            || avcodec_open2(context.get(), codec, nullptr) < 0) {
            s.input.reset();
            emit decodeError(QStringLiteral("decoder open failed"));
            return false;
        }
        s.video = std::move(context);
    }
    openedVideoThreads = s.video->thread_count;

    if (audioEnabled) {
        const int index = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_AUDIO, -1, s.videoIndex, nullptr, 0);
        if (index >= 0) {
            AVStream* stream = s.input->streams[index];
            const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
            av::CodecContextPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
            av::FramePtr frame(av_frame_alloc());
            if (context && frame && avcodec_parameters_to_context(context.get(), stream->codecpar) >= 0
                && avcodec_open2(context.get(), codec, nullptr) >= 0) {
                s.audioIndex = index;
                s.audio.stream = stream;
                s.audio.context = std::move(context);
                s.audio.frame = std::move(frame);
            }
        }
    }

    s.decoded.reset(av_frame_alloc());
    s.newest.reset(av_frame_alloc());
    s.software.reset(av_frame_alloc());
    s.packet.reset(av_packet_alloc());
    if (!s.decoded || !s.newest || !s.software || !s.packet) {
        emit decodeError(QStringLiteral("alloc frame/packet failed"));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- decode loop

int FFmpegVideoDecoder::videoDecoderThreads(int width, int height, bool live, int cores)
{
    // One software thread decodes up to about 720p in real time; the work
    // grows with the pixels, so 1080p gets 2 threads, up to 4K 4 and above
    // that 8. No decoder takes more than half the machine (at least 2 where
    // threads are wanted): four channels and four overlays share it with the
    // compositor and the encoder, and a decoder that is not behind leaves
    // its threads idle. Frame threads add one picture of delay each, which a
    // file hides behind its pacing; a live source keeps at most 2.
    const std::int64_t pixels = std::int64_t(std::max(width, 1)) * std::max(height, 1);
    int wanted = pixels <= 1280 * 720 ? 1 : pixels <= 1920 * 1080 ? 2 : pixels <= 3840 * 2160 ? 4 : 8;
    const int cap = std::max(2, std::max(cores, 1) / 2);
    wanted = std::min(wanted, cap);
    return live ? std::min(wanted, 2) : wanted;
}

void FFmpegVideoDecoder::runDecodeLoop(Session& s)
{
    s.readerUsed = s.live && s.isDshow && s.microphone.isEmpty();
    liveDeviceAudioMaster = s.readerUsed && s.audio.context;
    newestAudioPtsUs = kNoPts;
    if (s.readerUsed)
        s.reader = std::thread([this, &s] { packetReaderLoop(s); });
    s.pacer.reset();

    AVPacket* packet = s.packet.get();
    while (!stopRequested) {
        if (flushAudioRequested.exchange(false))
            clearAudio(false);

        if (!playing) {
            freePacketQueue(s.heldBack);
            const qint64 position = positionMs.load();
            if (position != lastShownMs.load()) {
                seekTo(s, position);
                lastShownMs = position;
                s.pacer.reset();
                scrubTo(s);
                clearAudio(false);
            }
            sleepMs(kPausedTurnMs);
            continue;
        }

        lastShownMs = -1;
        if (seekRequested.exchange(false)) {
            seekTo(s, positionMs.load());
            s.pacer.reset();
        }

        av_packet_unref(packet);
        const int r = readPacket(s, packet);
        if (r == AVERROR(EAGAIN)) {
            sleepMs(1);
            continue;
        }
        if (r == AVERROR_EOF) {
            // The decoder still holds the last pictures: show them first.
            drainVideoDecoder(s);
            if (stopRequested || !playing)
                continue;
            if (looping) {
                endedOnce = false;
                seekTo(s, 0);
                s.pacer.reset();
                continue;
            }
            bool expected = false;
            if (endedOnce.compare_exchange_strong(expected, true)) {
                playing = false;
                postPlaybackEnded();
            }
            sleepMs(kEndedTurnMs);
            continue;
        }
        if (r < 0) {
            if (stopRequested)
                break;
            char text[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(r, text, sizeof text);
            qWarning() << "FFmpegVideoDecoder: read failed:" << text;
            emit decodeError(QStringLiteral("av_read_frame failed: %1").arg(QString::fromUtf8(text)));
            break;
        }

        if (s.audio.context && packet->stream_index == s.audioIndex) {
            decodeAudioPacket(s.audio, packet);
        } else if (packet->stream_index == s.videoIndex) {
            if (avcodec_send_packet(s.video.get(), packet) < 0)
                continue;
            if (s.live)
                receiveLivePictures(s);
            else
                receiveFilePictures(s);
        }
    }
    s.stopReader();
}

bool FFmpegVideoDecoder::receiveFilePictures(Session& s)
{
    while (avcodec_receive_frame(s.video.get(), s.decoded.get()) == 0) {
        if (!showFilePicture(s))
            return false;
    }
    return true;
}

bool FFmpegVideoDecoder::showFilePicture(Session& s)
{
    AVFrame* frame = s.decoded.get();
    if (stopRequested || !playing) {
        av_frame_unref(frame);
        return false;
    }
    const std::int64_t t = frameTimeUs(frame, s.videoStream);
    const std::int64_t firstNow = steadyNowUs();
    const std::int64_t due = firstNow + s.pacer.delayUs(t, firstNow);
    if (due - firstNow > FilePacer::kReadAheadMinUs && s.audio.context) {
        readAheadWhileWaiting(s, due - firstNow);
    } else if (due < firstNow && s.audio.context) {
        // Pictures behind their time must not starve the sound: audio is
        // read on ahead of them, and once as many pictures wait as may be
        // held back, those up to the newest key frame among them are
        // skipped so the pictures catch up instead of the sound stopping.
        readAheadWhileWaiting(s, kLateAudioLeadUs);
        if (s.heldBack.size() >= s.heldBackLimit)
            skipHeldBackToKeyFrame(s);
    }
    const std::int64_t delay = due - steadyNowUs();
    if (delay > 0) {
        std::int64_t remaining = FilePacer::waitUs(delay);
        while (remaining > 0 && !stopRequested && !seekRequested) {
            const std::int64_t step = std::min<std::int64_t>(remaining, kPacingStepUs);
            std::this_thread::sleep_for(std::chrono::microseconds(step));
            remaining -= step;
        }
        if (stopRequested) {
            av_frame_unref(frame);
            return false;
        }
    }
    if (!FilePacer::tooLate(delay))
        convertAndDeliver(frame, s.software.get(), s.videoStream, &s.scaler, pool, effectiveOutputSize(), this, true);
    av_frame_unref(frame);
    return true;
}

void FFmpegVideoDecoder::readAheadWhileWaiting(Session& s, std::int64_t waitUs)
{
    // Keeps the audio queue fed while a picture waits for its time. Reads
    // only from the input (never the held-back packets), and only until the
    // queued audio covers the wait or the held-back limit is reached.
    const std::int64_t wantedFrames = waitUs * kOutputSampleRate / 1000000;
    while (!stopRequested && playing && s.heldBack.size() < s.heldBackLimit && queuedAudioFrames() < wantedFrames) {
        av::PacketPtr packet(av_packet_alloc());
        if (!packet || readInputPacket(s, packet.get()) < 0)
            return;
        if (packet->stream_index == s.audioIndex)
            decodeAudioPacket(s.audio, packet.get());
        else if (packet->stream_index == s.videoIndex)
            s.heldBack.push_back(packet.release());
    }
}

void FFmpegVideoDecoder::skipHeldBackToKeyFrame(Session& s)
{
    auto key = std::find_if(s.heldBack.rbegin(), s.heldBack.rend(),
                            [](const AVPacket* p) { return (p->flags & AV_PKT_FLAG_KEY) != 0; });
    if (key == s.heldBack.rend() || std::next(key) == s.heldBack.rend())
        return;
    const auto keep = key.base() - 1; // the key frame itself stays
    for (auto it = s.heldBack.begin(); it != keep; ++it)
        av_packet_free(&*it);
    s.heldBack.erase(s.heldBack.begin(), keep);
}

void FFmpegVideoDecoder::receiveLivePictures(Session& s)
{
    bool got = false;
    while (avcodec_receive_frame(s.video.get(), s.decoded.get()) == 0) {
        if (stopRequested || !playing) {
            av_frame_unref(s.decoded.get());
            break;
        }
        av_frame_unref(s.newest.get());
        av_frame_move_ref(s.newest.get(), s.decoded.get());
        got = true;
    }
    if (got && playing && !stopRequested) {
        const std::int64_t t = frameTimeUs(s.newest.get(), s.videoStream);
        if (!shouldDropFrame(t))
            convertAndDeliver(s.newest.get(), s.software.get(), s.videoStream, &s.scaler, pool, effectiveOutputSize(),
                              this, false);
    }
    av_frame_unref(s.newest.get());
}

bool FFmpegVideoDecoder::drainVideoDecoder(Session& s)
{
    if (avcodec_send_packet(s.video.get(), nullptr) < 0)
        return false;
    bool complete = true;
    if (s.live)
        receiveLivePictures(s);
    else
        complete = receiveFilePictures(s);
    // A drained decoder accepts packets again only after a flush.
    avcodec_flush_buffers(s.video.get());
    return complete;
}

void FFmpegVideoDecoder::scrubTo(Session& s)
{
    AVPacket* packet = s.packet.get();
    AVCodecContext* video = s.video.get();
    const QSize target = effectiveOutputSize();
    auto deliverOne = [&] {
        bool delivered = false;
        while (avcodec_receive_frame(video, s.decoded.get()) == 0) {
            if (!delivered)
                delivered = convertAndDeliver(s.decoded.get(), s.software.get(), s.videoStream, &s.scaler, pool,
                                              target, this, true);
            av_frame_unref(s.decoded.get());
        }
        return delivered;
    };
    while (!stopRequested) {
        av_packet_unref(packet);
        const int r = readPacket(s, packet);
        if (r == AVERROR(EAGAIN))
            continue;
        if (r == AVERROR_EOF) {
            // Near the end the picture may still sit in the decoder.
            if (avcodec_send_packet(video, nullptr) >= 0)
                deliverOne();
            avcodec_flush_buffers(video);
            break;
        }
        if (r < 0)
            break;
        if (packet->stream_index != s.videoIndex || avcodec_send_packet(video, packet) < 0)
            continue;
        if (deliverOne())
            break;
    }
    av_packet_unref(packet);
}

void FFmpegVideoDecoder::seekTo(Session& s, qint64 position)
{
    freePacketQueue(s.heldBack);
    videoOriginUs = kNoPts;
    clockOriginFrames = kNoPts;
    newestAudioPtsUs = kNoPts;
    if (s.readerUsed) {
        std::lock_guard lock(s.readerMutex);
        freePacketQueue(s.readerQueue);
        s.readerBytes = 0;
    }
    auto flushDecoders = [&] {
        avcodec_flush_buffers(s.video.get());
        if (s.audio.context)
            avcodec_flush_buffers(s.audio.context.get());
    };
    if (s.live) {
        flushDecoders();
    } else if (s.input && s.videoStream && s.video) {
        const std::int64_t ts = av_rescale_q(position, AVRational{1, 1000}, s.videoStream->time_base);
        if (av_seek_frame(s.input.get(), s.videoIndex, ts, AVSEEK_FLAG_BACKWARD) >= 0)
            flushDecoders();
    }
    s.audio.dropResampler();
    clearAudio(true);
}

int FFmpegVideoDecoder::readPacket(Session& s, AVPacket* out)
{
    if (!s.heldBack.empty()) {
        AVPacket* held = s.heldBack.front();
        s.heldBack.pop_front();
        av_packet_move_ref(out, held);
        av_packet_free(&held);
        return 0;
    }
    if (!s.readerUsed)
        return readInputPacket(s, out);
    std::unique_lock lock(s.readerMutex);
    // Bounded, so a camera that goes quiet never holds up a stop.
    s.readerCondition.wait_for(lock, kReaderWait,
                               [&] { return !s.readerQueue.empty() || s.readerStop || stopRequested; });
    if (!s.readerQueue.empty()) {
        AVPacket* queued = s.readerQueue.front();
        s.readerQueue.pop_front();
        s.readerBytes -= std::uint64_t(queued->size);
        lock.unlock();
        av_packet_move_ref(out, queued);
        av_packet_free(&queued);
        return 0;
    }
    return s.readerStop ? AVERROR_EOF : AVERROR(EAGAIN);
}

int FFmpegVideoDecoder::readInputPacket(Session& s, AVPacket* out)
{
    return av_read_frame(s.input.get(), out);
}

void FFmpegVideoDecoder::packetReaderLoop(Session& s)
{
    av::PacketPtr packet(av_packet_alloc());
    if (!packet)
        return;
    while (!s.readerStop) {
        const int r = av_read_frame(s.input.get(), packet.get());
        if (r == AVERROR_EXIT)
            break;
        if (r < 0) {
            sleepMs(3);
            continue;
        }
        AVPacket* queued = av_packet_alloc();
        if (!queued) {
            av_packet_unref(packet.get());
            continue;
        }
        av_packet_move_ref(queued, packet.get());
        {
            std::lock_guard lock(s.readerMutex);
            appendBounded(s.readerQueue, s.readerBytes, queued);
        }
        s.readerCondition.notify_one();
    }
}

void FFmpegVideoDecoder::appendBounded(std::deque<AVPacket*>& queue, std::uint64_t& bytes, AVPacket* packet)
{
    while (!queue.empty()
           && (bytes + std::uint64_t(packet->size) > kReaderQueueMaxBytes || queue.size() >= kReaderQueueMaxPackets)) {
        AVPacket* oldest = queue.front();
        queue.pop_front();
        bytes -= std::uint64_t(oldest->size);
        av_packet_free(&oldest);
    }
    queue.push_back(packet);
    bytes += std::uint64_t(packet->size);
}

bool FFmpegVideoDecoder::shouldDropFrame(qint64 ptsUs)
{
    if (liveDeviceAudioMaster) {
        const std::int64_t newestAudio = newestAudioPtsUs.load();
        return newestAudio != kNoPts && newestAudio + kDeviceAudioLeadUs < ptsUs;
    }
    if (!separateAudio)
        return false;
    const std::int64_t c = readAudioClock();
    if (c == kNoPts)
        return false;
    if (videoOriginUs == kNoPts) {
        videoOriginUs = ptsUs;
        clockOriginFrames = c;
        return false;
    }
    const std::int64_t audioElapsed = (c - clockOriginFrames) * 1000000 / kOutputSampleRate;
    const std::int64_t videoElapsed = ptsUs - videoOriginUs;
    return videoElapsed - audioElapsed < -kMicrophoneLagUs;
}

// ---------------------------------------------------------------- conversion

bool FFmpegVideoDecoder::convertAndDeliver(AVFrame* frame, AVFrame* softwareFrame, AVStream* stream,
                                           SwsContext** scaler, FramePool* framePool, QSize target,
                                           FFmpegVideoDecoder* decoder, bool blockingAcquire)
{
    if (!frame || !framePool || !decoder)
        return false;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (frame->hw_frames_ctx || (desc && (desc->flags & AV_PIX_FMT_FLAG_HWACCEL))) {
        av_frame_unref(softwareFrame);
        if (av_hwframe_transfer_data(softwareFrame, frame, 0) < 0 || av_frame_copy_props(softwareFrame, frame) < 0)
            return false;
        frame = softwareFrame;
    }

    const int q = quarterTurns(stream);
    const int w = frame->width;
    const int h = frame->height;
    int displayW = -1;
    int displayH = -1;
    if (w >= 1 && h >= 1) {
        AVRational sar = frame->sample_aspect_ratio;
        if (sar.num <= 0 || sar.den <= 0)
            sar = stream ? stream->sample_aspect_ratio : AVRational{0, 1};
        double width = w;
        if (sar.num > 0 && sar.den > 0 && sar.num != sar.den)
            width = std::max(1.0, double(std::llround(double(w) * sar.num / sar.den)));
        // A hostile aspect ratio must not overflow the width.
        const int wPrime = int(std::min(width, double(INT_MAX)));
        displayW = (q % 2) ? h : wPrime;
        displayH = (q % 2) ? wPrime : h;
    }
    decoder->updateSourceInfo(w, h, displayW, displayH);

    if (target.width() < 1 || target.height() < 1)
        return false;
    const QSize fitted = fitEvenSize(QSize(displayW, displayH), target, true);
    const int fw = fitted.width();
    const int fh = fitted.height();
    if (fw <= 0 || fh <= 0 || fw > target.width() || fh > target.height())
        return false;
    const int sw = (q % 2) ? fh : fw;
    const int sh = (q % 2) ? fw : fh;
    const bool fast = pictureconverter::covers(frame->format);
    if (!fast) {
        *scaler = sws_getCachedContext(*scaler, w, h, AVPixelFormat(frame->format), sw, sh, AV_PIX_FMT_RGBA,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!*scaler)
            return false;
        setScalerColours(*scaler, *frame);
    }

    FrameTokenPtr token = blockingAcquire ? framePool->acquire() : framePool->tryAcquire();
    if (!token)
        return false;
    const int tw = target.width();
    const int th = target.height();
    token->width = tw;
    token->height = th;
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = tw * 4;
    const qsizetype bytes = qsizetype(tw) * 4 * th;
    if (token->data.size() != bytes)
        token->data.resize(bytes);
    token->data.detach();
    if (fw != tw || fh != th)
        fillOpaqueBlack(*token);

    const int left = (tw - fw) / 2;
    const int top = (th - fh) / 2;
    auto* base = reinterpret_cast<std::uint8_t*>(token->data.data());
    std::uint8_t* dst = base + std::size_t(top) * token->bytesPerLine + std::size_t(left) * 4;
    if (q == 0) {
        std::uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
        int strides[4] = {token->bytesPerLine, 0, 0, 0};
        if (fast)
            pictureconverter::convertToRgba(*frame, dst, token->bytesPerLine, sw, sh);
        else
            sws_scale(*scaler, frame->data, frame->linesize, 0, h, planes, strides);
    } else {
        static thread_local std::vector<std::uint32_t> scratch;
        if (scratch.size() < std::size_t(sw) * sh)
            scratch.resize(std::size_t(sw) * sh);
        std::uint8_t* planes[4] = {reinterpret_cast<std::uint8_t*>(scratch.data()), nullptr, nullptr, nullptr};
        int strides[4] = {sw * 4, 0, 0, 0};
        if (fast)
            pictureconverter::convertToRgba(*frame, planes[0], strides[0], sw, sh);
        else
            sws_scale(*scaler, frame->data, frame->linesize, 0, h, planes, strides);
        // Quarter turns counter-clockwise, as the display matrix gives them.
        const libyuv::RotationMode mode = q == 1 ? libyuv::kRotate270 : q == 2 ? libyuv::kRotate180 : libyuv::kRotate90;
        libyuv::ARGBRotate(planes[0], strides[0], dst, token->bytesPerLine, sw, sh, mode);
    }
    token->ptsUs = frameTimeUs(frame, stream);
    decoder->deliverFrame(std::move(token));
    return true;
}

// ---------------------------------------------------------------- audio

void FFmpegVideoDecoder::clearAudio(bool fadeIn)
{
    std::lock_guard lock(audioMutex);
    audioQueue.clear();
    fadeInRemaining = fadeIn ? kFadeInStart : 0;
}

void FFmpegVideoDecoder::pushAudio(const float* samples, int frames)
{
    if (!samples || frames <= 0)
        return;
    std::lock_guard lock(audioMutex);
    audioQueue.insert(audioQueue.end(), samples, samples + std::size_t(frames) * 2);
    if (audioQueue.size() > std::size_t(kAudioQueueCapFloats))
        audioQueue.erase(audioQueue.begin(), audioQueue.begin() + (audioQueue.size() - kAudioQueueCapFloats));
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
    std::lock_guard lock(audioMutex);
    for (int i = 0; i < frames; ++i) {
        if (audioQueue.size() < 2) {
            out[2 * i] = 0.0f;
            out[2 * i + 1] = 0.0f;
            continue;
        }
        float left = audioQueue[0];
        float right = audioQueue[1];
        audioQueue.pop_front();
        audioQueue.pop_front();
        if (fadeInRemaining > 0) {
            const float gain = 1.0f - float(fadeInRemaining) / float(kFadeInStart);
            fadeInRemaining = std::max(fadeInRemaining - kFadeInStep, 0);
            left *= gain;
            right *= gain;
        }
        out[2 * i] = left;
        out[2 * i + 1] = right;
    }
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
        // The input layout: the frame's, else the decoder's, else stereo.
        AVChannelLayout layout{};
        if (frame->ch_layout.nb_channels > 0)
            av_channel_layout_copy(&layout, &frame->ch_layout);
        else if (a.context->ch_layout.nb_channels >= 1)
            av_channel_layout_copy(&layout, &a.context->ch_layout);
        else
            av_channel_layout_default(&layout, 2);
        // Broadcast streams change rate, format or layout mid-stream: the
        // resampler is rebuilt whenever its input parameters change.
        if (a.resampler && (a.inRate != frame->sample_rate || a.inFormat != frame->format
                            || av_channel_layout_compare(&a.inLayout, &layout) != 0))
            a.dropResampler();
        if (!a.resampler) {
            SwrContext* swr = nullptr;
            if (swr_alloc_set_opts2(&swr, &a.outLayout, AV_SAMPLE_FMT_S16, kOutputSampleRate, &layout,
                                    AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr) < 0
                || !swr || swr_init(swr) < 0 || frame->sample_rate <= 0) {
                swr_free(&swr);
                av_channel_layout_uninit(&layout);
                av_frame_unref(frame);
                continue;
            }
            a.resampler.reset(swr);
            a.inRate = frame->sample_rate;
            a.inFormat = AVSampleFormat(frame->format);
            av_channel_layout_uninit(&a.inLayout);
            av_channel_layout_copy(&a.inLayout, &layout);
        }
        av_channel_layout_uninit(&layout);

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
        pushAudio(a.floatBuffer.data(), converted);
    }
}

void FFmpegVideoDecoder::runMicrophoneCapture()
{
    QString microphone;
    {
        std::lock_guard lock(urlMutex);
        microphone = audioSource;
    }
    if (microphone.isEmpty())
        return;
    avformat_network_init();
    avdevice_register_all();
    av::Dictionary options;
    applyNetworkInputOptions(microphone, options.address(), false);

    QString video;
    QString audio;
    if (!parseDshowUrl(microphone, &video, &audio) || audio.isEmpty()) {
        emit decodeError(QString::fromUtf8("dshow 分离麦克风 URL 无效（需 dshow://…&audio=设备名）"));
        return;
    }
    const CaptureInputPlan plan = planCaptureInput(buildDshowDeviceSpec(QString(), audio));
    const AVInputFormat* format = plan.ok ? av_find_input_format(plan.formatName.constData()) : nullptr;
    if (plan.ok && !format) {
        emit decodeError(QString::fromUtf8("未注册 dshow 输入（分离麦克风）"));
        return;
    }
    InterruptFlags flags{&stopRequested, nullptr};
    AVFormatContext* raw = plan.ok ? avformat_alloc_context() : nullptr;
    if (raw) {
        raw->interrupt_callback.callback = &interruptRequested;
        raw->interrupt_callback.opaque = &flags;
        av_dict_set(options.address(), "rtbufsize", kMicrophoneRtbufsize, 0);
    }
    if (!raw || avformat_open_input(&raw, plan.url.constData(), format, options.address()) < 0) {
        if (!stopRequested)
            emit decodeError(QString::fromUtf8("无法打开麦克风（分离 dshow 采集）"));
        return;
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
        return;
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index < 0) {
        emit decodeError(QString::fromUtf8("分离音轨中无音频流"));
        return;
    }
    AudioDecodeState a;
    a.stream = input->streams[index];
    const AVCodec* codec = avcodec_find_decoder(a.stream->codecpar->codec_id);
    a.context.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!a.context || avcodec_parameters_to_context(a.context.get(), a.stream->codecpar) < 0
        || avcodec_open2(a.context.get(), codec, nullptr) < 0) {
        emit decodeError(QString::fromUtf8("dshow 麦克风解码器打开失败"));
        return;
    }
    a.frame.reset(av_frame_alloc());
    av::PacketPtr packet(av_packet_alloc());
    if (!a.frame || !packet)
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
