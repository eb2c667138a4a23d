// Opening a source on the decode thread: the input (through a SOCKS relay
// where needed, or a capture device), the video decoder (AV1 in hardware
// when a device takes it, else software) and the audio decoder.

#include "input/ffmpegvideodecoder.h"

#include "avglue/avloghook.h"
#include "avglue/avptr.h"
#include "input/decodersession.h"
#include "input/inputsource.h"
#include "net/socksmediabridge.h"
#include "platform/capturedevices.h"

#include <QDebug>

#include <algorithm>
#include <thread>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <sched.h>

using namespace decodersession;

namespace {

const QString kDshowMissingText = QString::fromUtf8(
    "未注册 dshow 输入（通常未链接 libavdevice）。请确认已安装带 libavdevice 的 FFmpeg，执行 qmake 后完整重编，且 "
    "quorbel.pro 中链接含 -lavdevice。");
const QString kCameraOpenFailedText = QString::fromUtf8("无法打开摄像头或麦克风（设备名是否与系统一致？是否被其他程序占用？）");

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

struct HardwareDecoder {
    av::CodecContextPtr context;
    av::BufferRefPtr device;
};

// One hardware configuration of a decoder: a device of its type and a
// context opened on it, or nothing. pixelFormat outlives the context (its
// get_format reads it).
HardwareDecoder openOnDevice(const AVCodec* codec, const AVCodecHWConfig* config, const AVCodecParameters* par,
                             AVPixelFormat* pixelFormat)
{
    if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) || config->device_type == AV_HWDEVICE_TYPE_NONE)
        return {};
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, config->device_type, nullptr, nullptr, 0) < 0)
        return {};
    av::BufferRefPtr deviceRef(device);
    av::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), par) < 0)
        return {};
    *pixelFormat = config->pix_fmt;
    context->opaque = pixelFormat;
    context->get_format = &selectHwPixelFormat;
    context->hw_device_ctx = av_buffer_ref(device);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return {};
    return {std::move(context), std::move(deviceRef)};
}

// The first AV1 hardware decoder that opens on a device of its own, tried
// vendor by vendor; nothing when none does (pixelFormat is then reset).
HardwareDecoder openAv1HardwareDecoder(const AVCodecParameters* par, AVPixelFormat* pixelFormat)
{
    for (const char* name : {"av1_cuvid", "av1_qsv", "av1_amf"}) {
        const AVCodec* codec = avcodec_find_decoder_by_name(name);
        if (!codec || codec->id != par->codec_id)
            continue;
        for (int i = 0;; ++i) {
            const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
            if (!config)
                break;
            HardwareDecoder found = openOnDevice(codec, config, par, pixelFormat);
            if (found.context) {
                qInfo() << "FFmpegVideoDecoder: hardware decoder selected" << name
                        << av_hwdevice_get_type_name(config->device_type);
                return found;
            }
        }
    }
    *pixelFormat = AV_PIX_FMT_NONE;
    return {};
}

} // namespace

bool FFmpegVideoDecoder::openSource(Session& s)
{
    // A library opened since may have replaced FFmpeg's log hook.
    av::restoreLogHook();
    avformat_network_init();
    avdevice_register_all();

    if (!openInput(s))
        return false;

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

    if (!openVideoDecoder(s))
        return false;
    openedVideoThreads = s.video->thread_count;
    if (audioEnabled)
        openAudioDecoder(s);

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

bool FFmpegVideoDecoder::openInput(Session& s)
{
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

    // The context is freed by avformat_open_input when the open fails.
    av::InputPtr context(avformat_alloc_context());
    if (!context) {
        emit decodeError(QStringLiteral("avformat_open_input failed"));
        return false;
    }
    context->interrupt_callback.callback = &interruptRequested;
    context->interrupt_callback.opaque = const_cast<InterruptFlags*>(&s.interruptFlags);

    QByteArray openUrl = ffmpegUrl.toUtf8();
    const AVInputFormat* format = nullptr;
    const QByteArray deviceSpec = cameraDeviceSpecOf(s.source);
    if (!deviceSpec.isEmpty()) {
        const CaptureInputPlan plan = planCaptureInput(deviceSpec);
        format = plan.ok ? av_find_input_format(plan.formatName.constData()) : nullptr;
        if (plan.ok && !format) {
            emit decodeError(kDshowMissingText);
            return false;
        }
        if (!plan.ok) {
            qWarning() << "FFmpegVideoDecoder: camera not found:" << plan.error;
            emit decodeError(kCameraOpenFailedText);
            return false;
        }
        applyCameraInputOptions(s.source, options.address());
        openUrl = plan.url;
    }
    AVFormatContext* raw = context.release();
    if (avformat_open_input(&raw, openUrl.constData(), format, options.address()) < 0) {
        if (!stopRequested)
            emit decodeError(deviceSpec.isEmpty() ? QStringLiteral("avformat_open_input failed") : kCameraOpenFailedText);
        return false;
    }
    s.input.reset(raw);
    return true;
}

bool FFmpegVideoDecoder::openVideoDecoder(Session& s)
{
    s.videoIndex = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (s.videoIndex < 0) {
        s.input.reset();
        emit decodeError(QStringLiteral("no video stream"));
        return false;
    }
    s.videoStream = s.input->streams[s.videoIndex];
    const AVCodecParameters* par = s.videoStream->codecpar;

    if (par->codec_id == AV_CODEC_ID_AV1) {
        HardwareDecoder hardware = openAv1HardwareDecoder(par, &s.hwPixelFormat);
        if (hardware.context) {
            s.video = std::move(hardware.context);
            s.hwDevice = std::move(hardware.device);
            return true;
        }
        qWarning() << "FFmpegVideoDecoder: AV1 hardware decode unavailable; using software decoder";
    }
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    av::CodecContextPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (context && !(s.live && s.isDshow)) {
        // Capture devices deliver small or raw pictures and keep libavcodec's
        // single thread; files and network sources get threads by picture
        // size.
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
    return true;
}

void FFmpegVideoDecoder::openAudioDecoder(Session& s)
{
    const int index = av_find_best_stream(s.input.get(), AVMEDIA_TYPE_AUDIO, -1, s.videoIndex, nullptr, 0);
    if (index < 0)
        return;
    AVStream* stream = s.input->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    av::CodecContextPtr context(codec ? avcodec_alloc_context3(codec) : nullptr);
    av::FramePtr frame(av_frame_alloc());
    if (!context || !frame || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
        return;
    // With the stream's time base the decoder moves a frame's time stamp past
    // the priming samples it drops, and the sound keeps its time.
    context->pkt_timebase = stream->time_base;
    if (avcodec_open2(context.get(), codec, nullptr) >= 0) {
        s.audioIndex = index;
        s.audio.stream = stream;
        s.audio.context = std::move(context);
        s.audio.frame = std::move(frame);
    }
}
