#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

// Decoded pictures to RGBA without the general scaler: the 8-bit planar
// and semi-planar formats cameras, phones and encoders produce. The matrix
// and range come from the picture's own tags, the way the scaler reads
// them: BT.709 or BT.2020 when tagged so, BT.601 otherwise, full range when
// tagged full or for the JPEG formats, limited otherwise.
namespace pictureconverter {

// Whether convertToRgba takes pictures of this format.
bool covers(int pixelFormat);

// Writes the picture, scaled to width x height when its size differs, as
// RGBA with opaque alpha. False when the format is not covered or a size
// is empty; dst is then untouched.
bool convertToRgba(const AVFrame& frame, std::uint8_t* dst, int dstStride, int width, int height);

} // namespace pictureconverter
