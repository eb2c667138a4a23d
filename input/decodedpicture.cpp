#include "input/decodedpicture.h"

#include "input/pictureconverter.h"

#include <QString>

#include <libyuv/rotate_argb.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

void fillOpaqueBlack(FrameToken& token)
{
    auto* words = reinterpret_cast<std::uint32_t*>(token.data.data());
    const std::size_t count = std::size_t(token.data.size()) / 4;
    const std::uint32_t black = 0xff000000u; // bytes 0, 0, 0, 255 in RGBA order on little endian
    std::fill(words, words + count, black);
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

bool validAspect(AVRational r) { return r.num > 0 && r.den > 0; }

// Converts at scaled size (the picture's own orientation) into dst.
void convert(const AVFrame& frame, SwsContext* scaler, QSize scaled, std::uint8_t* dst, int stride)
{
    if (pictureconverter::covers(frame.format)) {
        pictureconverter::convertToRgba(frame, dst, stride, scaled.width(), scaled.height());
        return;
    }
    std::uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    sws_scale(scaler, frame.data, frame.linesize, 0, frame.height, planes, strides);
}

} // namespace

namespace decodedpicture {

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

QSize displaySize(int codedWidth, int codedHeight, AVRational pictureAspect, AVRational streamAspect,
                  int quarterTurns)
{
    if (codedWidth < 1 || codedHeight < 1)
        return QSize(-1, -1);
    const AVRational sar = validAspect(pictureAspect) ? pictureAspect : streamAspect;
    double width = codedWidth;
    if (validAspect(sar) && sar.num != sar.den)
        width = std::max(1.0, double(std::llround(double(codedWidth) * sar.num / sar.den)));
    // A hostile aspect ratio must not overflow the width.
    const int stretched = int(std::min(width, double(INT_MAX)));
    return (quarterTurns % 2) ? QSize(codedHeight, stretched) : QSize(stretched, codedHeight);
}

AVFrame* inSystemMemory(AVFrame* frame, AVFrame* software)
{
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    if (!frame->hw_frames_ctx && !(desc && (desc->flags & AV_PIX_FMT_FLAG_HWACCEL)))
        return frame;
    av_frame_unref(software);
    if (av_hwframe_transfer_data(software, frame, 0) < 0 || av_frame_copy_props(software, frame) < 0)
        return nullptr;
    return software;
}

bool prepareScaler(const AVFrame& frame, av::SwsPtr& scaler, QSize scaled)
{
    if (pictureconverter::covers(frame.format))
        return true;
    // The cached context frees the old one when it makes a new one.
    scaler.reset(sws_getCachedContext(scaler.release(), frame.width, frame.height, AVPixelFormat(frame.format),
                                      scaled.width(), scaled.height(), AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr,
                                      nullptr, nullptr));
    if (!scaler)
        return false;
    setScalerColours(scaler.get(), frame);
    return true;
}

void drawInto(const AVFrame& frame, SwsContext* scaler, int quarterTurns, QSize fitted, QSize target,
              FrameToken& token)
{
    const int tw = target.width();
    const int th = target.height();
    token.width = tw;
    token.height = th;
    token.pixelFormat = FrameToken::kRgba8888;
    token.bytesPerLine = tw * 4;
    const qsizetype bytes = qsizetype(tw) * 4 * th;
    if (token.data.size() != bytes)
        token.data.resize(bytes);
    token.data.detach();
    if (fitted != target)
        fillOpaqueBlack(token);

    const int left = (tw - fitted.width()) / 2;
    const int top = (th - fitted.height()) / 2;
    auto* base = reinterpret_cast<std::uint8_t*>(token.data.data());
    std::uint8_t* dst = base + std::size_t(top) * token.bytesPerLine + std::size_t(left) * 4;
    const QSize scaled = (quarterTurns % 2) ? fitted.transposed() : fitted;
    if (quarterTurns == 0) {
        convert(frame, scaler, scaled, dst, token.bytesPerLine);
        return;
    }
    static thread_local std::vector<std::uint32_t> scratch;
    const int sw = scaled.width();
    const int sh = scaled.height();
    if (scratch.size() < std::size_t(sw) * sh)
        scratch.resize(std::size_t(sw) * sh);
    auto* upright = reinterpret_cast<std::uint8_t*>(scratch.data());
    convert(frame, scaler, scaled, upright, sw * 4);
    // Quarter turns counter-clockwise, as the display matrix gives them.
    const libyuv::RotationMode mode = quarterTurns == 1   ? libyuv::kRotate270
                                      : quarterTurns == 2 ? libyuv::kRotate180
                                                          : libyuv::kRotate90;
    libyuv::ARGBRotate(upright, sw * 4, dst, token.bytesPerLine, sw, sh, mode);
}

} // namespace decodedpicture
