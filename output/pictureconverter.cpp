#include "output/pictureconverter.h"

#include "output/encoderoptions.h"
#include "output/rgbatoyuv.h"

#include <QDebug>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// Threads for the fast path, the encode thread included. It is bound by
// memory more than by arithmetic: four bring a 1080p picture to about the
// cost of a memcpy of it even on a busy machine, and leave cores to the
// encoder.
constexpr int kConversionThreads = 4;

} // namespace

bool PictureConverter::allocate(int w, int h, AVPixelFormat format)
{
    if (!bandWorkers)
        bandWorkers = std::make_unique<BandWorkers>(kConversionThreads);
    yuvFrame.reset(av_frame_alloc());
    if (!yuvFrame)
        return false;
    yuvFrame->width = w;
    yuvFrame->height = h;
    yuvFrame->format = format;
    yuvFrame->colorspace = rgbatoyuv::colorSpaceFor(w, h);
    yuvFrame->color_range = rgbatoyuv::kColorRange;
    lastConvertedToken = nullptr;
    if (av_frame_get_buffer(yuvFrame.get(), 32) < 0) {
        yuvFrame.reset();
        return false;
    }
    return true;
}

void PictureConverter::reset()
{
    yuvFrame.reset();
    bandWorkers.reset();
    scaler.reset();
    scalerKey = {};
    lastConvertedToken = nullptr;
    lastConvertedPtsUs = 0;
    lastConvertedGeneration = 0;
}

bool PictureConverter::convert(const FrameToken& token, int qualityPreset)
{
    if (lastConvertedToken == &token && lastConvertedPtsUs == token.ptsUs
        && lastConvertedGeneration == token.generation)
        return true; // the same picture again: the converted one is still in yuvFrame
    if (!yuvFrame)
        return false;
    const auto* rgba = reinterpret_cast<const std::uint8_t*>(token.data.constData());
    if (!rgbatoyuv::convert(rgba, token.bytesPerLine, token.width, token.height, yuvFrame.get(), *bandWorkers)
        && !scale(token, qualityPreset))
        return false;
    lastConvertedToken = &token;
    lastConvertedPtsUs = token.ptsUs;
    lastConvertedGeneration = token.generation;
    return true;
}

bool PictureConverter::scale(const FrameToken& token, int qualityPreset)
{
    const int flags = qualityPreset == 0 ? SWS_FAST_BILINEAR : qualityPreset == 2 ? SWS_BICUBIC : SWS_BILINEAR;
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
        // Limited range is the scaler's default for a YUV destination, BT.601
        // its default matrix; BT.709 is asked for.
        if (sws_init_context(s, nullptr, nullptr) < 0)
            return false;
        if (yuvFrame->colorspace == AVCOL_SPC_BT709) {
            const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
            if (sws_setColorspaceDetails(s, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0)
                return false;
        }
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
