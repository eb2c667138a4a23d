#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

class BandWorkers;

// The encoder's input conversion: the program's RGBA pictures into the
// encoder's 8-bit 4:2:0 planes. Every path (the fast one here and the
// scaler's fallback) encodes with the matrix chosen for the picture size
// and limited range, and the encoded stream is tagged with them so players
// decode the colours back.
namespace rgbatoyuv {

inline constexpr AVColorRange kColorRange = AVCOL_RANGE_MPEG; // limited
inline constexpr int kHdWidth = 1280;
inline constexpr int kHdHeight = 720;

// BT.709 for HD and larger programs, BT.601 below: the matrices of the
// sources such programs are made from, and what players take for a
// stream whose tags they ignore.
AVColorSpace colorSpaceFor(int width, int height);

// Converts a width x height RGBA picture into dst (YUV420P or NV12 of the
// same size) with the matrix dst->colorspace names (BT.709, else BT.601).
// Returns false, touching nothing, for any other format or size; the
// caller then takes the general scaler.
bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst);

// The same conversion in horizontal bands shared by the workers. Each band
// holds an even number of rows (the last one excepted), so every chroma row
// comes from two picture rows of one band and the planes match convert()'s
// byte for byte.
bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst, BandWorkers& workers);

} // namespace rgbatoyuv
