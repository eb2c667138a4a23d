#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

class BandWorkers;

// The encoder's input conversion: the program's RGBA pictures into the
// encoder's 8-bit 4:2:0 planes. Every path (the fast one here and the
// scaler's fallback) encodes with one matrix and range, and the encoded
// stream is tagged with them so players decode the colours back.
namespace rgbatoyuv {

inline constexpr AVColorSpace kColorSpace = AVCOL_SPC_SMPTE170M; // BT.601
inline constexpr AVColorRange kColorRange = AVCOL_RANGE_MPEG;    // limited

// Converts a width x height RGBA picture into dst (YUV420P or NV12 of the
// same size). Returns false, touching nothing, for any other format or
// size; the caller then takes the general scaler.
bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst);

// The same conversion in horizontal bands shared by the workers. Each band
// holds an even number of rows (the last one excepted), so every chroma row
// comes from two picture rows of one band and the planes match convert()'s
// byte for byte.
bool convert(const std::uint8_t* rgba, int stride, int width, int height, AVFrame* dst, BandWorkers& workers);

} // namespace rgbatoyuv
