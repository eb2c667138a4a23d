#include "output/videoencoderchoice.h"

#include "output/rgbatoyuv.h"
#include "output/steadyclock.h"

#include <QDebug>
#include <QString>

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace videoencoderchoice {

namespace {

using picturesize::kFullHdPixels;
using picturesize::kUhdPixels;

constexpr std::int64_t kMinAutoBitrateKbps = 2500;
constexpr double kAutoBitratePerPixel = 0.00012;
// A size no hardware encoder took is not tried on hardware again this soon.
constexpr std::int64_t kHardwareRetryNs = 10000000000LL;

// Hardware encoder memory shared by every sink of the process.
struct EncoderCache {
    std::string lastGoodEncoder;
    std::string failedSizeKey;
    std::int64_t retryAfterNs = 0;
};

std::mutex& encoderCacheMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Guarded by encoderCacheMutex().
EncoderCache& encoderCacheFor(AVCodecID codec)
{
    static EncoderCache h264;
    static EncoderCache hevc;
    return codec == AV_CODEC_ID_HEVC ? hevc : h264;
}

std::atomic<bool> hardwareUnavailableWarned{false};

bool nameContains(const char* name, const char* part)
{
    return name && std::strstr(name, part) != nullptr;
}

bool isHardwareName(const char* name)
{
    return nameContains(name, "nvenc") || nameContains(name, "_qsv") || nameContains(name, "_amf");
}

// Each family's private options for the quality preset (performance,
// balanced, quality); an option this FFmpeg build lacks is no error.
void setPrivateOptions(AVCodecContext* ctx, const AVCodec* codec, int preset, bool live)
{
    void* priv = ctx->priv_data;
    auto set = [priv](const char* key, const char* value) {
        if (priv)
            av_opt_set(priv, key, value, 0);
    };
    const char* name = codec->name;
    const bool h26x = codec->id == AV_CODEC_ID_H264 || codec->id == AV_CODEC_ID_HEVC;
    if (h26x && nameContains(name, "nvenc")) {
        static const char* const presets[] = {"p1", "p4", "p6"};
        set("preset", presets[preset]);
        set("delay", "0");
        set("rc-lookahead", "0");
        set("rc", "cbr");
        set("zerolatency", "1");
        set("forced-idr", "1");
    } else if (nameContains(name, "_qsv")) {
        static const char* const presets[] = {"veryfast", "medium", "slow"};
        set("preset", presets[preset]);
        set("look_ahead", "0");
        set("async_depth", "1");
        set("low_delay_brc", "1");
    } else if (nameContains(name, "_amf")) {
        static const char* const qualities[] = {"speed", "balanced", "quality"};
        set("usage", "lowlatency");
        set("quality", qualities[preset]);
        set("rc", "cbr");
        set("filler_data", "1");
    } else if (nameContains(name, "libx264")) {
        static const char* const presets[] = {"ultrafast", "veryfast", "medium"};
        set("preset", presets[preset]);
        set("tune", "zerolatency");
        if (live) {
            char params[256];
            std::snprintf(params, sizeof params,
                          "sliced_threads=0:threads=4:weightp=0:scenecut=0:force-cfr=1:nal-hrd=cbr:filler=1:"
                          "keyint=%d:min-keyint=%d",
                          ctx->gop_size, ctx->gop_size);
            set("x264-params", params);
        }
    } else if (nameContains(name, "libx265")) {
        static const char* const presets[] = {"ultrafast", "veryfast", "medium"};
        set("preset", presets[preset]);
        set("tune", "zerolatency");
        // libx265 writes to stderr past FFmpeg's log level unless told not to.
        set("x265-params", "repeat-headers=1:scenecut=0:log-level=error");
    }
}

av::CodecContextPtr openWith(const AVCodec* codec, const Request& request)
{
    av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return nullptr;
    const int rate = roundedFps(request.fps);
    const bool live = request.live;
    const char* name = codec->name;
    ctx->width = request.width;
    ctx->height = request.height;
    ctx->max_b_frames = 0;
    ctx->time_base = live ? AVRational{1, 1000} : AVRational{1, rate};
    ctx->framerate = AVRational{rate, 1};
    ctx->gop_size = request.options.keyframeIntervalSeconds * rate;
    ctx->pix_fmt = (nameContains(name, "_qsv") || nameContains(name, "_amf")) ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    ctx->colorspace = rgbatoyuv::colorSpaceFor(request.width, request.height);
    ctx->color_range = rgbatoyuv::kColorRange;

    const std::int64_t kbps = request.options.videoBitrateKbps > 0
                                  ? request.options.videoBitrateKbps
                                  : automaticBitrateKbps(request.fps, request.width, request.height);
    const std::int64_t bitRate = kbps * 1000;
    ctx->bit_rate = bitRate;
    ctx->rc_max_rate = bitRate;
    ctx->rc_min_rate = live ? bitRate : 0;
    ctx->rc_buffer_size = int(live ? bitRate : 2 * bitRate);

    setPrivateOptions(ctx.get(), codec, std::clamp(request.options.qualityPreset, 0, 2), live);
    if (request.globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

// The hardware encoders to try, the last one that worked first; empty when
// this size failed on every one of them a moment ago.
std::vector<std::string> hardwareCandidates(AVCodecID codecId, const std::string& sizeKey, int mode)
{
    std::vector<std::string> candidates = codecId == AV_CODEC_ID_HEVC
                                              ? std::vector<std::string>{"hevc_nvenc", "hevc_qsv", "hevc_amf"}
                                              : std::vector<std::string>{"h264_nvenc", "h264_qsv", "h264_amf"};
    std::lock_guard<std::mutex> lock(encoderCacheMutex());
    const EncoderCache& cache = encoderCacheFor(codecId);
    if (mode == EncoderOptions::Automatic && cache.failedSizeKey == sizeKey && steadyNowNs() < cache.retryAfterNs)
        return {};
    auto it = std::find(candidates.begin(), candidates.end(), cache.lastGoodEncoder);
    if (it != candidates.end())
        std::rotate(candidates.begin(), it, it + 1);
    return candidates;
}

av::CodecContextPtr openHardware(AVCodecID codecId, const Request& request)
{
    const std::string sizeKey = std::to_string(request.width) + "x" + std::to_string(request.height);
    const std::vector<std::string> candidates = hardwareCandidates(codecId, sizeKey, request.options.encoderMode);
    if (candidates.empty())
        return nullptr;
    for (const std::string& name : candidates) {
        const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
        av::CodecContextPtr ctx = codec ? openWith(codec, request) : nullptr;
        if (!ctx)
            continue;
        {
            std::lock_guard<std::mutex> lock(encoderCacheMutex());
            EncoderCache& cache = encoderCacheFor(codecId);
            cache.lastGoodEncoder = name;
            cache.retryAfterNs = 0;
            cache.failedSizeKey.clear();
        }
        qInfo() << "FfmpegEncoderSink: hardware encoder selected" << QString::fromStdString(name);
        return ctx;
    }
    std::lock_guard<std::mutex> lock(encoderCacheMutex());
    EncoderCache& cache = encoderCacheFor(codecId);
    cache.failedSizeKey = sizeKey;
    cache.retryAfterNs = steadyNowNs() + kHardwareRetryNs;
    return nullptr;
}

// The named software encoder, then any other software one of the codec.
av::CodecContextPtr openSoftware(AVCodecID codecId, const char* preferredName, const Request& request)
{
    if (const AVCodec* codec = avcodec_find_encoder_by_name(preferredName)) {
        if (av::CodecContextPtr ctx = openWith(codec, request))
            return ctx;
    }
    void* iterator = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&iterator)) {
        if (!av_codec_is_encoder(codec) || codec->id != codecId)
            continue;
        if (isHardwareName(codec->name) || std::strcmp(codec->name, preferredName) == 0)
            continue;
        if (av::CodecContextPtr ctx = openWith(codec, request))
            return ctx;
    }
    return nullptr;
}

} // namespace

int roundedFps(double fps)
{
    // Rates from 0.1 to below 0.5 are accepted by a sink's configure; they
    // still need a whole positive rate.
    return std::max(1, int(std::floor(fps + 0.5)));
}

std::int64_t automaticBitrateKbps(double fps, int width, int height)
{
    const std::int64_t pixels = std::int64_t(width) * height;
    const std::int64_t kbps = std::max<std::int64_t>(
        kMinAutoBitrateKbps, std::llround(std::max(fps, 1.0) * double(pixels) * kAutoBitratePerPixel));
    const std::int64_t cap = pixels <= kFullHdPixels ? 20000 : pixels <= kUhdPixels ? 100000 : 200000;
    return std::min(kbps, cap);
}

av::CodecContextPtr open(const Request& request)
{
    const bool hevc =
        request.width > picturesize::kMaxH264Dimension || request.height > picturesize::kMaxH264Dimension;
    const AVCodecID codecId = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    const int mode = request.options.encoderMode;
    if (mode != EncoderOptions::SoftwareOnly) {
        if (av::CodecContextPtr ctx = openHardware(codecId, request))
            return ctx;
        if (!hardwareUnavailableWarned.exchange(true)) {
            qWarning() << "FfmpegEncoderSink: NVENC/QSV/AMF unavailable for" << (hevc ? "8K HEVC" : "H.264")
                       << (mode == EncoderOptions::HardwareOnly ? "; hardware mode cannot continue"
                                                                : "; trying software encoder");
        }
        if (mode == EncoderOptions::HardwareOnly)
            return nullptr;
    }
    return openSoftware(codecId, hevc ? "libx265" : "libx264", request);
}

} // namespace videoencoderchoice
