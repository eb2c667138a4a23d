#include "output/rgbatoyuv.h"

#include "output/bandworkers.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <atomic>

namespace rgbatoyuv {
namespace {

// Rows per band: even, and small enough that a late helper's share is
// taken by the others without much wait.
constexpr int kBandRows = 64;

bool fits(const std::uint8_t* rgba, int width, int height, const AVFrame* dst)
{
    return rgba && dst && width >= 1 && height >= 1 && dst->width == width && dst->height == height
           && (dst->format == AV_PIX_FMT_YUV420P || dst->format == AV_PIX_FMT_NV12);
}

// Rows [top, top + rows) of the picture; top is even.
bool convertRows(const std::uint8_t* rgba, int stride, int width, int top, int rows, AVFrame* dst)
{
    const std::uint8_t* src = rgba + std::ptrdiff_t(top) * stride;
    std::uint8_t* y = dst->data[0] + std::ptrdiff_t(top) * dst->linesize[0];
    std::uint8_t* u = dst->data[1] + std::ptrdiff_t(top / 2) * dst->linesize[1];
    // libyuv names formats by their 32-bit word: bytes R, G, B, A in memory
    // are its "ABGR". Both converters use the BT.601 limited-range matrix.
    if (dst->format == AV_PIX_FMT_YUV420P) {
        std::uint8_t* v = dst->data[2] + std::ptrdiff_t(top / 2) * dst->linesize[2];
        return libyuv::ABGRToI420(src, stride, y, dst->linesize[0], u, dst->linesize[1], v, dst->linesize[2], width,
                                  rows)
               == 0;
    }
    return libyuv::ABGRToNV12(src, stride, y, dst->linesize[0], u, dst->linesize[1], width, rows) == 0;
}

} // namespace

bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst)
{
    return fits(rgba, width, height, dst) && convertRows(rgba, stride, width, 0, height, dst);
}

bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst, BandWorkers& workers)
{
    if (!fits(rgba, width, height, dst))
        return false;
    std::atomic<bool> ok{true};
    workers.run((height + kBandRows - 1) / kBandRows, [&](int band) {
        const int top = band * kBandRows;
        if (!convertRows(rgba, stride, width, top, std::min(kBandRows, height - top), dst))
            ok = false;
    });
    return ok;
}

} // namespace rgbatoyuv
