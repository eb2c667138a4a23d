#include "input/pictureconverter.h"

#include <libyuv/convert_argb.h>
#include <libyuv/row.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace pictureconverter {
namespace {

enum class Layout { None, I420, Nv12, I422, I444 };

Layout layoutOf(int format)
{
    switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        return Layout::I420;
    case AV_PIX_FMT_NV12:
        return Layout::Nv12;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        return Layout::I422;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        return Layout::I444;
    default:
        return Layout::None;
    }
}

bool isFullRange(const AVFrame& frame)
{
    switch (frame.format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
        return true;
    default:
        return frame.color_range == AVCOL_RANGE_JPEG;
    }
}

// libyuv writes bytes R, G, B, A (its "ABGR") through its ARGB converters
// when U and V trade places and the matching mirrored matrix is passed.
const libyuv::YuvConstants* mirroredMatrix(const AVFrame& frame)
{
    const bool full = isFullRange(frame);
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
        return full ? &libyuv::kYvuF709Constants : &libyuv::kYvuH709Constants;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return full ? &libyuv::kYvuV2020Constants : &libyuv::kYvu2020Constants;
    default:
        return full ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants;
    }
}

// The blue and green weights of U for a limited-range matrix, in libyuv's
// 6-bit fixed point (255/224 stretches the limited chroma range).
struct ChromaWeights {
    double blue = 0;
    double green = 0;
};

ChromaWeights limitedRangeWeights(const AVFrame& frame)
{
    constexpr double kScale = 64.0 * 255.0 / 224.0;
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
        return {1.8556 * kScale, 0.1873 * kScale};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return {1.8814 * kScale, 0.1646 * kScale};
    default:
        return {1.772 * kScale, 0.3441 * kScale};
    }
}

// libyuv's x86 rows multiply with one signed byte per weight, so its blue
// weight stops at 128 while the limited-range matrices need up to 137:
// saturated blues came out 9 levels off under BT.709. U is stretched about
// 128 by the missing factor instead, and its green weight shrunk to match.
// (Other architectures keep libyuv's own matrices.)
#if defined(__x86_64__) || defined(__i386__)
#define QUORB_STRETCH_BLUE 1
constexpr int kMaxBlueWeight = 128;

struct StretchedU {
    alignas(64) libyuv::YuvConstants matrix;
    std::uint8_t table[256];
};
#endif

struct Planes {
    const std::uint8_t* data[3] = {};
    int stride[3] = {};
};

// Scales the picture's planes to width x height into scratch storage, so
// the colour conversion runs once per output pixel, not per source pixel.
bool scalePlanes(const AVFrame& frame, Layout layout, int width, int height, Planes* out)
{
    static thread_local std::vector<std::uint8_t> scratch;
    const int cw = layout == Layout::I444 ? width : (width + 1) / 2;
    const int ch = layout == Layout::I420 || layout == Layout::Nv12 ? (height + 1) / 2 : height;
    const std::size_t luma = std::size_t(width) * height;
    const int chromaStride = layout == Layout::Nv12 ? cw * 2 : cw;
    const std::size_t chroma = std::size_t(chromaStride) * ch;
    const std::size_t total = luma + (layout == Layout::Nv12 ? chroma : 2 * chroma);
    if (scratch.size() < total)
        scratch.resize(total);
    std::uint8_t* y = scratch.data();
    std::uint8_t* u = y + luma;
    std::uint8_t* v = u + chroma;
    const auto filter = libyuv::kFilterBilinear;
    int result = -1;
    switch (layout) {
    case Layout::I420:
        result = libyuv::I420Scale(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.data[2],
                                   frame.linesize[2], frame.width, frame.height, y, width, u, cw, v, cw, width, height,
                                   filter);
        break;
    case Layout::Nv12:
        result = libyuv::NV12Scale(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.width,
                                   frame.height, y, width, u, chromaStride, width, height, filter);
        break;
    case Layout::I422:
        result = libyuv::I422Scale(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.data[2],
                                   frame.linesize[2], frame.width, frame.height, y, width, u, cw, v, cw, width, height,
                                   filter);
        break;
    case Layout::I444:
        result = libyuv::I444Scale(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.data[2],
                                   frame.linesize[2], frame.width, frame.height, y, width, u, cw, v, cw, width, height,
                                   filter);
        break;
    case Layout::None:
        break;
    }
    if (result != 0)
        return false;
    *out = Planes{{y, u, v}, {width, chromaStride, cw}};
    return true;
}

} // namespace

bool covers(int pixelFormat)
{
    return layoutOf(pixelFormat) != Layout::None;
}

namespace {

// Copies the U samples (every step-th byte of a plane, the others copied
// as they are) through the stretch table into scratch storage.
const std::uint8_t* stretchU(const std::uint8_t* plane, int stride, int bytesPerRow, int rows, int step,
                             const std::uint8_t* table, int* outStride)
{
    static thread_local std::vector<std::uint8_t> scratch;
    scratch.resize(std::size_t(bytesPerRow) * rows);
    for (int r = 0; r < rows; ++r) {
        const std::uint8_t* in = plane + std::size_t(r) * stride;
        std::uint8_t* out = scratch.data() + std::size_t(r) * bytesPerRow;
        if (step == 1) {
            for (int i = 0; i < bytesPerRow; ++i)
                out[i] = table[in[i]];
        } else {
            for (int i = 0; i < bytesPerRow; i += 2) {
                out[i] = table[in[i]];
                out[i + 1] = in[i + 1];
            }
        }
    }
    *outStride = bytesPerRow;
    return scratch.data();
}

} // namespace

bool convertToRgba(const AVFrame& frame, std::uint8_t* dst, int dstStride, int width, int height)
{
    const Layout layout = layoutOf(frame.format);
    if (layout == Layout::None || !dst || width < 1 || height < 1 || frame.width < 1 || frame.height < 1)
        return false;
    Planes p;
    if (frame.width == width && frame.height == height) {
        p = Planes{{frame.data[0], frame.data[1], frame.data[2]},
                   {frame.linesize[0], frame.linesize[1], frame.linesize[2]}};
    } else if (!scalePlanes(frame, layout, width, height, &p)) {
        return false;
    }
    const libyuv::YuvConstants* matrix = mirroredMatrix(frame);
#ifdef QUORB_STRETCH_BLUE
    const ChromaWeights weights = limitedRangeWeights(frame);
    if (!isFullRange(frame) && weights.blue > kMaxBlueWeight + 0.5) {
        static thread_local StretchedU stretched;
        const double gain = weights.blue / kMaxBlueWeight;
        std::memcpy(&stretched.matrix, matrix, sizeof(stretched.matrix));
        // The mirrored matrix takes V first: U's green weight is every second byte.
        for (std::size_t i = 1; i < sizeof(stretched.matrix.kUVToG); i += 2)
            stretched.matrix.kUVToG[i] = std::uint8_t(std::lround(weights.green / gain));
        for (int v = 0; v < 256; ++v)
            stretched.table[v] = std::uint8_t(std::clamp(std::lround(128 + (v - 128) * gain), 0L, 255L));
        const int chromaWidth = layout == Layout::I444 ? width : (width + 1) / 2;
        const int chromaRows = layout == Layout::I420 || layout == Layout::Nv12 ? (height + 1) / 2 : height;
        if (layout == Layout::Nv12)
            p.data[1] = stretchU(p.data[1], p.stride[1], chromaWidth * 2, chromaRows, 2, stretched.table, &p.stride[1]);
        else
            p.data[1] = stretchU(p.data[1], p.stride[1], chromaWidth, chromaRows, 1, stretched.table, &p.stride[1]);
        matrix = &stretched.matrix;
    }
#endif
    switch (layout) {
    case Layout::I420:
        return libyuv::I420ToARGBMatrix(p.data[0], p.stride[0], p.data[2], p.stride[2], p.data[1], p.stride[1], dst,
                                        dstStride, matrix, width, height)
               == 0;
    case Layout::Nv12:
        return libyuv::NV21ToARGBMatrix(p.data[0], p.stride[0], p.data[1], p.stride[1], dst, dstStride, matrix, width,
                                        height)
               == 0;
    case Layout::I422:
        return libyuv::I422ToARGBMatrix(p.data[0], p.stride[0], p.data[2], p.stride[2], p.data[1], p.stride[1], dst,
                                        dstStride, matrix, width, height)
               == 0;
    case Layout::I444:
        return libyuv::I444ToARGBMatrix(p.data[0], p.stride[0], p.data[2], p.stride[2], p.data[1], p.stride[1], dst,
                                        dstStride, matrix, width, height)
               == 0;
    case Layout::None:
        break;
    }
    return false;
}

} // namespace pictureconverter
