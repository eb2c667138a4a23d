#include "output/rgbatoyuv.h"

#include "engine/bandworkers.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORB_RGBATOYUV_AVX2 1
#endif

namespace rgbatoyuv {
namespace {

// Rows per band: even, and small enough that a late helper's share is
// taken by the others without much wait.
constexpr int kBandRows = 64;

// BT.709 limited range in fixed point (libyuv has no BT.709 RGB-to-YUV).
// Luma has 8-bit weights, within half a level of the matrix: their sum
// brings white to 235, and the vector code multiplies bytes by them in one
// step (green's weight, too big for a signed byte, split in two). Chroma
// has 15-bit weights; each sums to zero so greys keep 128, and it takes the
// sum of a 2x2 block, hence two more bits of shift.
constexpr int kYR = 47, kYG1 = 79, kYG2 = 78, kYB = 16;
constexpr int kYG = kYG1 + kYG2;
constexpr int kUR = -3298, kUG = -11094, kUB = 14392;
constexpr int kVR = 14392, kVG = -13073, kVB = -1319;
constexpr int kLumaShift = 8;
constexpr int kChromaShift = 17;
constexpr int kLumaOffset = (16 << kLumaShift) + (1 << (kLumaShift - 1));
constexpr int kChromaOffset = (128 << kChromaShift) + (1 << (kChromaShift - 1));

std::uint8_t luma709(const std::uint8_t* p)
{
    return std::uint8_t((kYR * p[0] + kYG * p[1] + kYB * p[2] + kLumaOffset) >> kLumaShift);
}

// Pixels [x, width) of a pair of rows (row1 may be row0 again for an odd
// last row); x is even. y1 is null when row1 repeats row0. u and v point
// at the chroma row; for NV12 v is null and u holds the pairs.
void rowPair709Scalar(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0, std::uint8_t* y1,
                      std::uint8_t* u, std::uint8_t* v, int x, int width)
{
    for (; x < width; x += 2) {
        const std::uint8_t* a = row0 + 4 * x;
        const std::uint8_t* b = row1 + 4 * x;
        // An odd last column counts its one pixel twice.
        const int right = x + 1 < width ? 4 : 0;
        y0[x] = luma709(a);
        if (y1)
            y1[x] = luma709(b);
        if (right) {
            y0[x + 1] = luma709(a + 4);
            if (y1)
                y1[x + 1] = luma709(b + 4);
        }
        const int r = a[0] + a[right] + b[0] + b[right];
        const int g = a[1] + a[right + 1] + b[1] + b[right + 1];
        const int bl = a[2] + a[right + 2] + b[2] + b[right + 2];
        const auto cb = std::uint8_t((kUR * r + kUG * g + kUB * bl + kChromaOffset) >> kChromaShift);
        const auto cr = std::uint8_t((kVR * r + kVG * g + kVB * bl + kChromaOffset) >> kChromaShift);
        if (v) {
            u[x / 2] = cb;
            v[x / 2] = cr;
        } else {
            u[x] = cb;
            u[x + 1] = cr;
        }
    }
}

#ifdef QUORB_RGBATOYUV_AVX2
// The rest of the program runs on any x86-64; this part only where the
// processor reports AVX2.
#pragma GCC push_options
#pragma GCC target("avx2")

// The same arithmetic as rowPair709Scalar, 16 pixels at a time; returns
// where the scalar tail starts.
int rowPair709Avx2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* y0, std::uint8_t* y1,
                   std::uint8_t* u, std::uint8_t* v, int width)
{
    const __m256i zero = _mm256_setzero_si256();
    // Bytes R G B A become R G G B, weighed in pairs: R*r + G*g1, G*g2 + B*b.
    const __m256i rggb = _mm256_setr_epi8(0, 1, 1, 2, 4, 5, 5, 6, 8, 9, 9, 10, 12, 13, 13, 14, 0, 1, 1, 2, 4, 5, 5, 6, 8,
                                          9, 9, 10, 12, 13, 13, 14);
    const __m256i yWeights = _mm256_set1_epi32(kYR | kYG1 << 8 | kYG2 << 16 | kYB << 24);
    const __m256i uWeights = _mm256_setr_epi16(kUR, kUG, kUB, 0, kUR, kUG, kUB, 0, kUR, kUG, kUB, 0, kUR, kUG, kUB, 0);
    const __m256i vWeights = _mm256_setr_epi16(kVR, kVG, kVB, 0, kVR, kVG, kVB, 0, kVR, kVG, kVB, 0, kVR, kVG, kVB, 0);
    const __m256i lumaOffset = _mm256_set1_epi16(kLumaOffset);
    const __m256i chromaOffset = _mm256_set1_epi32(kChromaOffset);
    // hadd leaves 32-bit results in the order 0 1 4 5 2 3 6 7 (per 128-bit
    // lane); this puts them back, and is its own inverse.
    const __m256i laneOrder = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    const __m256i planeOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);

    // 16 pixels' luma; the sums reach 255 * 220 + offset, within 16 unsigned
    // bits, so the pair sums may wrap as signed words.
    const auto storeLuma = [&](std::uint8_t* dst, __m256i first, __m256i second) {
        const __m256i a = _mm256_maddubs_epi16(_mm256_shuffle_epi8(first, rggb), yWeights);
        const __m256i b = _mm256_maddubs_epi16(_mm256_shuffle_epi8(second, rggb), yWeights);
        const __m256i sums = _mm256_add_epi16(_mm256_hadd_epi16(a, b), lumaOffset); // 0-3 8-11 | 4-7 12-15
        const __m256i words = _mm256_srli_epi16(sums, kLumaShift);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), planeOrder);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(bytes));
    };
    // Channel sums of the four 2x2 blocks of 8 columns, in block order.
    const auto blockSums = [&](__m256i top, __m256i bottom) {
        __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(top, zero), _mm256_unpacklo_epi8(bottom, zero));
        __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(top, zero), _mm256_unpackhi_epi8(bottom, zero));
        lo = _mm256_add_epi16(lo, _mm256_shuffle_epi32(lo, 0x4E));
        hi = _mm256_add_epi16(hi, _mm256_shuffle_epi32(hi, 0x4E));
        return _mm256_unpacklo_epi64(lo, hi);
    };
    const auto chroma = [&](__m256i first, __m256i second, __m256i weights) {
        const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(first, weights), _mm256_madd_epi16(second, weights));
        return _mm256_srai_epi32(_mm256_add_epi32(_mm256_permutevar8x32_epi32(sums, laneOrder), chromaOffset),
                                 kChromaShift);
    };

    int x = 0;
    for (; x + 16 <= width; x += 16) {
        // Reading two rows at once, the loads stalled on memory without
        // asking ahead.
        _mm_prefetch(reinterpret_cast<const char*>(row0 + 4 * x + 1024), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(row1 + 4 * x + 1024), _MM_HINT_T0);
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 4 * x));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + 4 * x + 32));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 4 * x));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + 4 * x + 32));
        storeLuma(y0 + x, a0, b0);
        if (y1)
            storeLuma(y1 + x, a1, b1);
        const __m256i first = blockSums(a0, a1);
        const __m256i second = blockSums(b0, b1);
        const __m256i words =
            _mm256_packs_epi32(chroma(first, second, uWeights), chroma(first, second, vWeights)); // U0-3 V0-3 | U4-7 V4-7
        const __m128i uv = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), planeOrder)); // U0-7 V0-7
        if (v) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), uv);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_unpackhi_epi64(uv, uv));
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x), _mm_unpacklo_epi8(uv, _mm_unpackhi_epi64(uv, uv)));
        }
    }
    return x;
}

#pragma GCC pop_options
#endif

void rows709(const std::uint8_t* rgba, int stride, int width, int top, int rows, AVFrame* dst)
{
#ifdef QUORB_RGBATOYUV_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
#endif
    const bool nv12 = dst->format == AV_PIX_FMT_NV12;
    for (int r = top; r < top + rows; r += 2) {
        const bool pair = r + 1 < top + rows;
        const std::uint8_t* row0 = rgba + std::ptrdiff_t(r) * stride;
        const std::uint8_t* row1 = pair ? row0 + stride : row0;
        std::uint8_t* y0 = dst->data[0] + std::ptrdiff_t(r) * dst->linesize[0];
        std::uint8_t* y1 = pair ? y0 + dst->linesize[0] : nullptr;
        std::uint8_t* u = dst->data[1] + std::ptrdiff_t(r / 2) * dst->linesize[1];
        std::uint8_t* v = nv12 ? nullptr : dst->data[2] + std::ptrdiff_t(r / 2) * dst->linesize[2];
        int x = 0;
#ifdef QUORB_RGBATOYUV_AVX2
        if (avx2)
            x = rowPair709Avx2(row0, row1, y0, y1, u, v, width);
#endif
        rowPair709Scalar(row0, row1, y0, y1, u, v, x, width);
    }
}

bool fits(const std::uint8_t* rgba, int width, int height, const AVFrame* dst)
{
    return rgba && dst && width >= 1 && height >= 1 && dst->width == width && dst->height == height
           && (dst->format == AV_PIX_FMT_YUV420P || dst->format == AV_PIX_FMT_NV12);
}

// Rows [top, top + rows) of the picture; top is even.
bool convertRows(const std::uint8_t* rgba, int stride, int width, int top, int rows, AVFrame* dst)
{
    if (dst->colorspace == AVCOL_SPC_BT709) {
        rows709(rgba, stride, width, top, rows, dst);
        return true;
    }
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

AVColorSpace colorSpaceFor(int width, int height)
{
    return width >= kHdWidth || height >= kHdHeight ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
}

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
