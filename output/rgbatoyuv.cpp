#include "output/rgbatoyuv.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

namespace rgbatoyuv {

bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst)
{
    if (!rgba || !dst || width < 1 || height < 1 || dst->width != width || dst->height != height)
        return false;
    // libyuv names formats by their 32-bit word: bytes R, G, B, A in memory
    // are its "ABGR". Both converters use the BT.601 limited-range matrix.
    if (dst->format == AV_PIX_FMT_YUV420P)
        return libyuv::ABGRToI420(rgba, stride, dst->data[0], dst->linesize[0], dst->data[1], dst->linesize[1],
                                  dst->data[2], dst->linesize[2], width, height)
               == 0;
    if (dst->format == AV_PIX_FMT_NV12)
        return libyuv::ABGRToNV12(rgba, stride, dst->data[0], dst->linesize[0], dst->data[1], dst->linesize[1], width,
                                  height)
               == 0;
    return false;
}

} // namespace rgbatoyuv
