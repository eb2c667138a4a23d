#include "engine/vulkancompositor.h"

#include "engine/bandworkers.h"
#include "engine/canvasgeometry.h"
#include "engine/framepool.h"
#include "engine/overlaymanager.h"

#include <QDebug>
#include <QFontMetricsF>
#include <QImage>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QThread>
#include <QSurfaceFormat>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 intrinsics start from a deliberately undefined register,
// which its own uninitialised-use warning then reports inside the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace {

// Scrolling speed: pixels per second for each step of `scrollStep`.
constexpr double kScrollPixelsPerSecondPerStep = 20.0;
constexpr int kWeightBold = 700;
constexpr int kWeightNormal = 400;

// Grows the token's buffer to at least `bytes` (never shrinks, so a pooled
// buffer is reused across frames).
void growBuffer(FrameToken& token, qsizetype bytes)
{
    if (token.data.size() < bytes)
        token.data.resize(bytes);
}

// Wraps the token's pixels without copying. Only for tokens that passed
// isValidFrameToken, so every row the image may touch lies in the buffer.
QImage wrapWritable(FrameToken& token)
{
    return QImage(reinterpret_cast<uchar*>(token.data.data()), token.width, token.height, token.bytesPerLine,
                  QImage::Format_RGBA8888);
}

constexpr quint64 kAlphaBytes = 0xff000000ff000000ULL;

// ANDs the pixels of n bytes (whole pixels) into acc; the alpha bytes of the
// result stay 0xff only if every pixel is opaque.
quint64 alphaAnd(const char* p, qsizetype n, quint64 acc)
{
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, p + i, 8);
        acc &= word;
    }
    if (i < n) { // the last pixel of an odd-width row
        quint32 px;
        std::memcpy(&px, p + i, 4);
        acc &= quint64(px) | 0xffffffff00000000ULL;
    }
    return acc;
}

// Copies n bytes (whole pixels) and ANDs them into acc on the way, as
// alphaAnd does: one pass, so the check costs no second read of the pixels.
quint64 copyAlphaAndPlain(char* dst, const char* src, qsizetype n, quint64 acc)
{
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, src + i, 8);
        std::memcpy(dst + i, &word, 8);
        acc &= word;
    }
    if (i < n) { // the last pixel of an odd-width row
        quint32 px;
        std::memcpy(&px, src + i, 4);
        std::memcpy(dst + i, &px, 4);
        acc &= quint64(px) | 0xffffffff00000000ULL;
    }
    return acc;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define QUORB_HAVE_AVX2_PATHS 1
// The hot pixel loops in AVX2 too, picked at run time where the processor
// has it. Written out by hand: the compiler does not vectorise them at our
// optimisation level (they may alias).
__attribute__((target("avx2"))) quint64 copyAlphaAndAvx2(char* dst, const char* src, qsizetype n, quint64 acc)
{
    __m256i all = _mm256_set1_epi64x(qint64(acc));
    qsizetype i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), v);
        all = _mm256_and_si256(all, v);
    }
    const __m128i half = _mm_and_si128(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1));
    acc = quint64(_mm_cvtsi128_si64(half)) & quint64(_mm_extract_epi64(half, 1));
    return copyAlphaAndPlain(dst + i, src + i, n - i, acc);
}

#define QUORB_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

// Sixteen pixels at a time, and with masks: the frame's pixels are often
// many, the instructions per pixel few, so their count is what costs.
QUORB_AVX512 quint64 copyAlphaAndAvx512(char* dst, const char* src, qsizetype n, quint64 acc)
{
    __m512i all = _mm512_set1_epi64(qint64(acc));
    qsizetype i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i v = _mm512_loadu_si512(src + i);
        _mm512_storeu_si512(dst + i, v);
        all = _mm512_and_si512(all, v);
    }
    if (i < n) {
        const __mmask16 tail = __mmask16((1u << ((n - i) / 4)) - 1);
        const __m512i v = _mm512_maskz_loadu_epi32(tail, src + i);
        _mm512_mask_storeu_epi32(dst + i, tail, v);
        all = _mm512_and_si512(all, _mm512_mask_mov_epi32(_mm512_set1_epi32(-1), tail, v));
    }
    return quint64(_mm512_reduce_and_epi64(all));
}

enum class Simd { Plain, Avx2, Avx512 };
Simd simd()
{
    static const Simd level = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
            && __builtin_cpu_supports("avx512vl")
        ? Simd::Avx512
        : __builtin_cpu_supports("avx2")                                                               ? Simd::Avx2
                                                                                                       : Simd::Plain;
    return level;
}

quint64 copyAlphaAnd(char* dst, const char* src, qsizetype n, quint64 acc)
{
    switch (simd()) {
    case Simd::Avx512:
        return copyAlphaAndAvx512(dst, src, n, acc);
    case Simd::Avx2:
        return copyAlphaAndAvx2(dst, src, n, acc);
    default:
        return copyAlphaAndPlain(dst, src, n, acc);
    }
}
#else
quint64 copyAlphaAnd(char* dst, const char* src, qsizetype n, quint64 acc)
{
    return copyAlphaAndPlain(dst, src, n, acc);
}
#endif

// Qt's BYTE_MUL: each channel of x times a / 255, rounded as Qt's blending
// rounds, so a blend done here gives the bytes QPainter would.
inline quint32 byteMul(quint32 x, quint32 a)
{
    quint32 t = (x & 0xff00ff) * a;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = x + ((x >> 8) & 0xff00ff) + 0x800080;
    x &= 0xff00ff00;
    return x | t;
}

// Premultiplied source-over of n pixels, as QPainter does it: the source
// plus the destination times the source's transparency. The one formula
// holds for every pixel: an opaque source multiplies by 0 and an empty one by
// 255, both exact.
void blendOverPlain(quint32* dst, const quint32* src, int n)
{
    for (int i = 0; i < n; ++i)
        dst[i] = src[i] + byteMul(dst[i], 255 - (src[i] >> 24));
}

#ifdef QUORB_HAVE_AVX2_PATHS
// Eight premultiplied source pixels over eight destination pixels, with
// byteMul's rounding.
__attribute__((target("avx2"))) inline __m256i blendOver8(__m256i s, __m256i d)
{
    const __m256i lowBytes = _mm256_set1_epi32(0x00ff00ff);
    const __m256i full = _mm256_set1_epi16(255);
    const __m256i half = _mm256_set1_epi16(0x80);
    const __m256i a = _mm256_srli_epi32(s, 24);
    const __m256i inverse = _mm256_sub_epi16(full, _mm256_or_si256(a, _mm256_slli_epi32(a, 16)));
    __m256i rb = _mm256_mullo_epi16(_mm256_and_si256(d, lowBytes), inverse);
    __m256i ag = _mm256_mullo_epi16(_mm256_srli_epi16(d, 8), inverse);
    rb = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(rb, _mm256_srli_epi16(rb, 8)), half), 8);
    ag = _mm256_andnot_si256(lowBytes, _mm256_add_epi16(_mm256_add_epi16(ag, _mm256_srli_epi16(ag, 8)), half));
    return _mm256_add_epi32(s, _mm256_or_si256(rb, ag));
}

// Eight pixels at a time. Runs of opaque or empty source pixels (most of
// every picture blended here) are a store or nothing, with no arithmetic.
__attribute__((target("avx2"))) inline void blendOverAvx2(quint32* dst, const quint32* src, int n)
{
    const __m256i alphaMask = _mm256_set1_epi32(int(0xff000000));
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_and_si256(s, alphaMask), alphaMask)) == -1) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), s);
            continue;
        }
        if (_mm256_testz_si256(s, s))
            continue;
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), blendOver8(s, d));
    }
    blendOverPlain(dst + i, src + i, n - i);
}

QUORB_AVX512 inline __m512i blendAvx512(__m512i s, __m512i d)
{
    const __m512i lowBytes = _mm512_set1_epi32(0x00ff00ff);
    const __m512i a = _mm512_srli_epi32(s, 24);
    const __m512i inverse = _mm512_sub_epi16(_mm512_set1_epi16(255), _mm512_or_si512(a, _mm512_slli_epi32(a, 16)));
    __m512i rb = _mm512_mullo_epi16(_mm512_and_si512(d, lowBytes), inverse);
    __m512i ag = _mm512_mullo_epi16(_mm512_srli_epi16(d, 8), inverse);
    const __m512i half = _mm512_set1_epi16(0x80);
    rb = _mm512_srli_epi16(_mm512_add_epi16(_mm512_add_epi16(rb, _mm512_srli_epi16(rb, 8)), half), 8);
    ag = _mm512_andnot_si512(lowBytes, _mm512_add_epi16(_mm512_add_epi16(ag, _mm512_srli_epi16(ag, 8)), half));
    return _mm512_add_epi32(s, _mm512_or_si512(rb, ag));
}

QUORB_AVX512 void blendOverAvx512(quint32* dst, const quint32* src, int n)
{
    const __m512i opaqueFrom = _mm512_set1_epi32(int(0xff000000));
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i s = _mm512_loadu_si512(src + i);
        if (_mm512_cmpge_epu32_mask(s, opaqueFrom) == 0xffff) {
            _mm512_storeu_si512(dst + i, s);
            continue;
        }
        if (_mm512_test_epi32_mask(s, s) == 0)
            continue;
        _mm512_storeu_si512(dst + i, blendAvx512(s, _mm512_loadu_si512(dst + i)));
    }
    blendOverPlain(dst + i, src + i, n - i);
}

void blendOver(quint32* dst, const quint32* src, int n)
{
    switch (simd()) {
    case Simd::Avx512:
        return blendOverAvx512(dst, src, n);
    case Simd::Avx2:
        return blendOverAvx2(dst, src, n);
    default:
        return blendOverPlain(dst, src, n);
    }
}
#else
void blendOver(quint32* dst, const quint32* src, int n) { blendOverPlain(dst, src, n); }
#endif

// Red and blue exchanged, as QImage::rgbSwapped does.
inline quint32 exchangedRgb(quint32 px) { return (px & 0xff00ff00) | ((px >> 16) & 0xff) | ((px & 0xff) << 16); }

// The drawing layer is kept as chunks of kChunk pixels along each row, each
// pointing to a block of kChunk pixels: one block shared by all empty
// chunks, one per colour shared by the chunks filled with it, and one of its
// own for every other chunk. A busy drawing is mostly strokes of one colour
// or nothing, so the blocks are a fraction of the layer's bytes, and a frame
// reads that fraction.
//
// The chunks go over a row in two steps, with no branch per chunk (a busy
// drawing changes between opaque, translucent and empty tens of thousands
// of times a frame, and a mispredicted branch at each change would cost
// more than the pixels): every opaque pixel replaces the row's, then the
// chunks holding translucent pixels, listed once per drawing, are blended
// (an opaque pixel blends to itself, an empty one leaves the row's).
constexpr int kChunk = 8;

// Frames are split into bands of rows composed side by side, each band at
// least this many pixels: below that, handing a band over costs more than
// composing it.
constexpr qint64 kMinPixelsPerBand = 256 * 1024;
// Band threads besides the composing thread: a few cores' worth, as each
// band mostly waits on memory and more would only queue for it.
constexpr int kMaxBandThreads = 3;

void takeOpaquePlain(quint32* dst, const quint32* src, int n)
{
    for (int i = 0; i < n; ++i)
        dst[i] = (src[i] >> 24) == 0xff ? src[i] : dst[i];
}

void takeOpaqueChunksPlain(quint32* dst, const quint32* blocks, const quint32* blockOf, int chunks)
{
    for (int c = 0; c < chunks; ++c)
        takeOpaquePlain(dst + c * kChunk, blocks + size_t(blockOf[c]) * kChunk, kChunk);
}

#ifdef QUORB_HAVE_AVX2_PATHS
static_assert(kChunk == 8, "one AVX2 register per chunk");

__attribute__((target("avx2"))) void takeOpaqueChunksAvx2(quint32* dst, const quint32* blocks,
                                                          const quint32* blockOf, int chunks)
{
    const __m256i alphaMask = _mm256_set1_epi32(int(0xff000000));
    for (int c = 0; c < chunks; ++c) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks + size_t(blockOf[c]) * kChunk));
        auto* d = reinterpret_cast<__m256i*>(dst + c * kChunk);
        const __m256i opaque = _mm256_cmpeq_epi32(_mm256_and_si256(s, alphaMask), alphaMask);
        _mm256_storeu_si256(d, _mm256_blendv_epi8(_mm256_loadu_si256(d), s, opaque));
    }
}

// Opaque lanes are stored under a mask: the row's pixels are not even read.
QUORB_AVX512 void takeOpaqueChunksAvx512(quint32* dst, const quint32* blocks, const quint32* blockOf, int chunks)
{
    const __m256i opaqueFrom = _mm256_set1_epi32(int(0xff000000));
    for (int c = 0; c < chunks; ++c) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks + size_t(blockOf[c]) * kChunk));
        _mm256_mask_storeu_epi32(dst + c * kChunk, _mm256_cmpge_epu32_mask(s, opaqueFrom), s);
    }
}
#endif

void blendChunksPlain(quint32* dst, const quint32* blocks, const quint32* blockOf, const int* chunk,
                      const int* end, int width)
{
    for (; chunk != end; ++chunk) {
        const int x = *chunk * kChunk;
        blendOverPlain(dst + x, blocks + size_t(blockOf[*chunk]) * kChunk, std::min(kChunk, width - x));
    }
}

#ifdef QUORB_HAVE_AVX2_PATHS
__attribute__((target("avx2"))) void blendChunksAvx2(quint32* dst, const quint32* blocks, const quint32* blockOf,
                                                     const int* chunk, const int* end, int width)
{
    for (; chunk != end; ++chunk) {
        const int x = *chunk * kChunk;
        const quint32* src = blocks + size_t(blockOf[*chunk]) * kChunk;
        if (x + kChunk > width) {
            blendOverPlain(dst + x, src, width - x);
            continue;
        }
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dst + x));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), blendOver8(s, d));
    }
}
#endif

// Blends the listed chunks of a row.
void blendChunks(quint32* dst, const quint32* blocks, const quint32* blockOf, const int* chunk, const int* end,
                 int width)
{
#ifdef QUORB_HAVE_AVX2_PATHS
    if (simd() != Simd::Plain)
        return blendChunksAvx2(dst, blocks, blockOf, chunk, end, width);
#endif
    blendChunksPlain(dst, blocks, blockOf, chunk, end, width);
}

void takeOpaqueChunks(quint32* dst, const quint32* blocks, const quint32* blockOf, int chunks)
{
#ifdef QUORB_HAVE_AVX2_PATHS
    switch (simd()) {
    case Simd::Avx512:
        return takeOpaqueChunksAvx512(dst, blocks, blockOf, chunks);
    case Simd::Avx2:
        return takeOpaqueChunksAvx2(dst, blocks, blockOf, chunks);
    default:
        break;
    }
#endif
    takeOpaqueChunksPlain(dst, blocks, blockOf, chunks);
}

// QPainter's clip for a rectangle given in fractional pixels: its edges
// rounded to the nearest pixel boundary.
QRect deviceClip(const QRectF& r)
{
    const int left = qRound(r.left());
    const int top = qRound(r.top());
    return QRect(left, top, qRound(r.right()) - left, qRound(r.bottom()) - top);
}

bool isOpaque(const FrameToken& t)
{
    quint64 acc = kAlphaBytes;
    for (int y = 0; y < t.height; ++y)
        acc = alphaAnd(t.data.constData() + qsizetype(y) * t.bytesPerLine, qsizetype(t.width) * 4, acc);
    return (acc & kAlphaBytes) == kAlphaBytes;
}

// Copies the base picture into the token (whose buffer is large enough) and
// tells whether every pixel is opaque.
bool copyAndCheckOpaque(const FrameToken& base, FrameToken& token)
{
    const char* src = base.data.constData();
    char* dst = token.data.data();
    const qsizetype rowBytes = qsizetype(base.width) * 4;
    quint64 acc = kAlphaBytes;
    if (base.bytesPerLine == rowBytes) {
        acc = copyAlphaAnd(dst, src, rowBytes * base.height, acc);
    } else {
        for (int y = 0; y < base.height; ++y) {
            const qsizetype off = qsizetype(y) * base.bytesPerLine;
            acc = copyAlphaAnd(dst + off, src + off, rowBytes, acc);
        }
    }
    return (acc & kAlphaBytes) == kAlphaBytes;
}

// Whether the straight-alpha RGBA bytes read the same as premultiplied ones:
// true when every pixel is opaque or entirely zero.
bool readsAsPremultiplied(const FrameToken& t)
{
    for (int y = 0; y < t.height; ++y) {
        const auto* row = reinterpret_cast<const quint32*>(t.data.constData() + qsizetype(y) * t.bytesPerLine);
        for (int x = 0; x < t.width; ++x)
            if (row[x] != 0 && (row[x] >> 24) != 0xff)
                return false;
    }
    return true;
}

// Back from premultiplied to the straight alpha of RGBA8888 frames.
void unpremultiplyInPlace(FrameToken& t)
{
    for (int y = 0; y < t.height; ++y) {
        auto* row = reinterpret_cast<quint32*>(t.data.data() + qsizetype(y) * t.bytesPerLine);
        for (int x = 0; x < t.width; ++x) {
            const quint32 a = row[x] >> 24;
            if (a != 0 && a != 0xff)
                row[x] = qUnpremultiply(row[x]);
        }
    }
}

bool wholePixelRows(const FrameToken& t) { return t.bytesPerLine % 4 == 0; }

template <typename T>
std::vector<const T*> sortedByZThenId(const QList<T>& items)
{
    std::vector<const T*> order;
    order.reserve(size_t(items.size()));
    for (const T& item : items)
        order.push_back(&item);
    std::stable_sort(order.begin(), order.end(), [](const T* a, const T* b) {
        return a->zIndex != b->zIndex ? a->zIndex < b->zIndex : a->id < b->id;
    });
    return order;
}

// Background, shadow, outline and text of one overlay, in this order.
void paintTextParts(QPainter& painter, const TextOverlayData& t, const QFont& font, const QRectF& box,
                    QPointF baseline, int pad, QPointF shadowOffset, int outlineWidth)
{
    if (t.backgroundEnabled)
        painter.fillRect(QRectF(box.x() - pad, box.y() - pad, box.width() + 2 * pad, box.height() + 2 * pad),
                         t.backgroundColor);
    const int flags = Qt::AlignLeft | Qt::AlignTop;
    if (t.shadow) {
        painter.setPen(t.shadowColor);
        painter.drawText(box.translated(shadowOffset), flags, t.text);
    }
    if (t.outline) {
        QPainterPath path;
        path.addText(baseline, font, t.text);
        painter.strokePath(path, QPen(t.outlineColor, outlineWidth));
    }
    painter.setPen(t.fontColor);
    painter.drawText(box, flags, t.text);
}

// The font of a text overlay at a picture H lines high.
QFont scaledFont(const TextOverlayData& t, int H)
{
    const double sy = referenceScaleY(QSize(1, H));
    QFont font = t.font;
    if (font.pixelSize() > 0)
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * sy)));
    else if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(1.0, font.pointSizeF() * sy));
    font.setWeight(QFont::Weight(t.bold ? kWeightBold : kWeightNormal));
    font.setItalic(t.italic);
    font.setUnderline(t.underline);
    font.setStrikeOut(t.strikeOut);
    return font;
}

// Everything that changes how a text overlay looks (not where it is), plus
// the sub-pixel offset the sprite is rendered at.
QString spriteKey(const TextOverlayData& t, int H, QPointF subPixel)
{
    QString key;
    key.reserve(t.text.size() + 160);
    QTextStream k(&key);
    k << t.text << '\x1f' << t.font.toString() << '|' << H << '|' << t.bold << t.italic << t.underline
      << t.strikeOut << t.backgroundEnabled << t.shadow << t.outline << '|' << t.fontColor.rgba() << ','
      << t.backgroundColor.rgba() << ',' << t.shadowColor.rgba() << ',' << t.outlineColor.rgba() << '|'
      << t.opacity << ',' << t.backgroundPadding << ',' << t.shadowOffsetX << ',' << t.shadowOffsetY << ','
      << t.outlineWidth << '|' << qRound(subPixel.x() * 64) << ',' << qRound(subPixel.y() * 64);
    return key;
}

QPointF fractionalPart(QPointF p) { return QPointF(p.x() - std::floor(p.x()), p.y() - std::floor(p.y())); }

} // namespace

// The drawing layer in chunks (see kChunk), in the painting channel order,
// made once per drawing rather than once per frame.
struct VulkanCompositor::DrawingChunks {
    qint64 layerKey = 0; // cacheKey of the rendered layer
    int chunksPerRow = 0; // the last one of a row may be partly outside it
    std::vector<quint32> blockOf; // per chunk, row after row
    std::vector<quint32> blocks; // kChunk pixels each; block 0 is empty
    std::vector<int> translucent; // chunks (counted within their row) holding translucent pixels
    std::vector<int> rowTranslucent; // those of row y: [rowTranslucent[y], rowTranslucent[y + 1])
};

struct VulkanCompositor::GpuState {
    // Declared so that destruction runs framebuffer, surface, context.
    QOpenGLContext context;
    QOffscreenSurface surface;
    std::unique_ptr<QOpenGLFramebufferObject> fbo;
    int fboWidth = 0;
    int fboHeight = 0;
    bool ready = false;
};

VulkanCompositor::VulkanCompositor(FramePool* p)
    : pool(p)
    , drawingChunks(std::make_unique<DrawingChunks>())
{
    initGpuPath();
}

VulkanCompositor::~VulkanCompositor()
{
    if (!gpu)
        return;
    if (gpu->ready && gpu->context.makeCurrent(&gpu->surface)) {
        gpu->fbo.reset();
        gpu->context.doneCurrent();
    }
    gpu.reset();
}

bool VulkanCompositor::gpuReady() const { return gpu && gpu->ready; }

void VulkanCompositor::initGpuPath()
{
    auto state = std::make_unique<GpuState>();
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(2, 1);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    format.setSamples(0);
    state->context.setFormat(format);
    if (!state->context.create()) {
        qWarning() << "VulkanCompositor: QOpenGLContext::create failed, using CPU composition";
        return;
    }
    state->surface.setFormat(state->context.format());
    state->surface.create();
    if (!state->surface.isValid()) {
        qWarning() << "VulkanCompositor: QOffscreenSurface invalid, using CPU composition";
        return;
    }
    if (!state->context.makeCurrent(&state->surface)) {
        qWarning() << "VulkanCompositor: OpenGL makeCurrent failed, using CPU composition";
        return;
    }
    state->context.doneCurrent();
    state->ready = true;
    gpu = std::move(state);
    qInfo() << "VulkanCompositor: OpenGL offscreen GPU path ready (falls back to CPU on errors)";
}

bool VulkanCompositor::ensureFbo(int w, int h)
{
    if (!gpu || w <= 0 || h <= 0 || !gpu->ready)
        return false;
    if (gpu->fbo && gpu->fboWidth == w && gpu->fboHeight == h)
        return gpu->fbo->isValid();
    if (!gpu->context.makeCurrent(&gpu->surface))
        return false;
    gpu->fbo.reset();
    gpu->fbo = std::make_unique<QOpenGLFramebufferObject>(w, h, QOpenGLFramebufferObject::CombinedDepthStencil);
    const bool valid = gpu->fbo->isValid();
    if (valid) {
        gpu->fboWidth = w;
        gpu->fboHeight = h;
    } else {
        gpu->fbo.reset();
        gpu->fboWidth = 0;
        gpu->fboHeight = 0;
    }
    gpu->context.doneCurrent();
    return valid;
}

bool VulkanCompositor::composeGpu(OverlayManager& overlays, const FrameToken& base, FrameToken& token)
{
    const int w = base.width;
    const int h = base.height;
    // The framebuffer holds premultiplied pixels; straight-alpha frames with
    // translucent pixels are left to the CPU path, which keeps them exact.
    if (!gpu || !gpu->ready || !isValidFrameToken(base) || !isOpaque(base) || !ensureFbo(w, h)
        || !gpu->context.makeCurrent(&gpu->surface))
        return false;
    QOpenGLFunctions* gl = gpu->context.functions();
    gpu->fbo->bind();

    // The base goes straight into the framebuffer's texture, bottom row
    // first (OpenGL's rows run upwards): no texture of its own, no draw pass.
    gl->glBindTexture(GL_TEXTURE_2D, gpu->fbo->texture());
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    for (int y = 0; y < h; ++y)
        gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, h - 1 - y, w, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                            base.data.constData() + qsizetype(y) * base.bytesPerLine);
    gl->glBindTexture(GL_TEXTURE_2D, 0);

    {
        QOpenGLPaintDevice device(w, h);
        QPainter painter(&device);
        if (!painter.isActive()) {
            gpu->fbo->release();
            gpu->context.doneCurrent();
            return false;
        }
        paintOverlays(painter, w, h, overlays);
    }

    token.width = w;
    token.height = h;
    token.bytesPerLine = w * 4;
    token.pixelFormat = FrameToken::kRgba8888;
    const qsizetype rowBytes = qsizetype(w) * 4;
    growBuffer(token, rowBytes * h);
    char* dst = token.data.data();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, dst);
    const bool ok = gl->glGetError() == GL_NO_ERROR;
    gpu->fbo->release();
    gpu->context.doneCurrent();
    if (!ok)
        return false;
    // Rows came bottom-up: turn them top-down in place.
    std::vector<char> row(static_cast<size_t>(rowBytes));
    for (int y = 0; y < h / 2; ++y) {
        char* a = dst + rowBytes * y;
        char* b = dst + rowBytes * (h - 1 - y);
        std::memcpy(row.data(), a, size_t(rowBytes));
        std::memcpy(a, b, size_t(rowBytes));
        std::memcpy(b, row.data(), size_t(rowBytes));
    }
    return true;
}

template <typename Cache>
void VulkanCompositor::dropUnused(Cache& cache)
{
    for (auto it = cache.begin(); it != cache.end();)
        it = it.value().lastUse == paintCount ? std::next(it) : cache.erase(it);
}

const QImage& VulkanCompositor::prepared(PreparedPicture& slot, const QImage& source, QSize size, ChannelOrder order)
{
    slot.lastUse = paintCount;
    if (slot.sourceKey == source.cacheKey() && slot.size == size && slot.order == order && !slot.image.isNull())
        return slot.image;
    QImage image = source.size() == size ? source : source.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (order == ChannelOrder::Exchanged)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied).rgbSwapped();
    slot.image = std::move(image);
    slot.sourceKey = source.cacheKey();
    slot.size = size;
    slot.order = order;
    return slot.image;
}

void VulkanCompositor::placeMedia(int W, int H, OverlayManager& model, ChannelOrder order)
{
    for (const MediaOverlayData* m : sortedByZThenId(model.mediaOverlays())) {
        if (!m->visible || m->path.isEmpty())
            continue;
        const QImage* image = nullptr;
        if (m->kind == MediaOverlayData::kImage)
            image = &model.imageOverlayImage(m->id);
        else if (m->kind == MediaOverlayData::kVideo)
            image = &model.videoOverlayFrame(m->id);
        if (!image || image->isNull())
            continue;
        const QRectF target(m->rect.x() * W, m->rect.y() * H, m->rect.width() * W, m->rect.height() * H);
        QRect drawn = target.toRect();
        if (image->width() > 0 && image->height() > 0 && target.width() > 0 && target.height() > 0) {
            const double s = std::min(target.width() / image->width(), target.height() / image->height());
            const QSizeF size(image->width() * s, image->height() * s);
            drawn = QRectF(target.x() + (target.width() - size.width()) / 2.0,
                           target.y() + (target.height() - size.height()) / 2.0, size.width(), size.height())
                        .toRect();
        }
        if (drawn.width() <= 0 || drawn.height() <= 0)
            continue;
        // Pictures load at up to the canvas size and are drawn into smaller
        // boxes: scale (and convert) each once, not on every frame.
        Placement& placed = placements.emplace_back();
        placed.image = prepared(mediaPictures[m->id], *image, drawn.size(), order);
        placed.topLeft = drawn.topLeft();
        placed.opacity = std::clamp(m->opacity, 0.0, 1.0);
    }
    dropUnused(mediaPictures);
}

VulkanCompositor::TextSprite& VulkanCompositor::textSprite(const TextOverlayData& t, int H, QPointF subPixel,
                                                            const QString& key)
{
    TextSprite& sprite = textSprites[t.id];
    sprite.lastUse = paintCount;
    if (sprite.key == key && !sprite.image.isNull())
        return sprite;

    const double sy = referenceScaleY(QSize(1, H));
    const QFont font = scaledFont(t, H);
    const int pad = std::max(0, qRound(t.backgroundPadding * sy));
    const QPointF shadowOffset(qRound(t.shadowOffsetX * sy), qRound(t.shadowOffsetY * sy));
    const int outlineWidth = std::max(1, qRound(t.outlineWidth * sy));

    // Metrics on a picture of the frames' resolution (every QImage has it).
    QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    const QFontMetricsF fm(font, &probe);
    const double tw = fm.horizontalAdvance(t.text);
    const double th = fm.height();
    const double ascent = fm.ascent();

    // Everything the parts may cover, relative to the text box's corner.
    const QRectF ink = fm.boundingRect(t.text).translated(0, ascent);
    QRectF area = QRectF(0, 0, tw, th).united(ink);
    if (t.outline)
        area = area.united(ink.adjusted(-outlineWidth, -outlineWidth, outlineWidth, outlineWidth));
    if (t.shadow)
        area = area.united(QRectF(0, 0, tw, th).united(ink).translated(shadowOffset));
    if (t.backgroundEnabled)
        area = area.united(QRectF(-pad, -pad, tw + 2 * pad, th + 2 * pad));
    constexpr int kMargin = 2;
    const QPoint topLeft(int(std::floor(subPixel.x() + area.left())) - kMargin,
                         int(std::floor(subPixel.y() + area.top())) - kMargin);
    const QPoint bottomRight(int(std::ceil(subPixel.x() + area.right())) + kMargin,
                             int(std::ceil(subPixel.y() + area.bottom())) + kMargin);

    sprite.key = key;
    sprite.exchanged = QImage();
    sprite.image = QImage(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y(),
                          QImage::Format_ARGB32_Premultiplied);
    sprite.image.fill(Qt::transparent);
    sprite.boxInSprite = subPixel - QPointF(topLeft);
    sprite.textWidth = tw;
    sprite.lineHeight = th;
    QPainter p(&sprite.image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Each part at the overlay's opacity, as if painted straight onto the
    // frame: blending the sprite at full opacity then gives the same result.
    p.setOpacity(std::clamp(t.opacity / 255.0, 0.0, 1.0));
    p.setFont(font);
    p.translate(sprite.boxInSprite);
    paintTextParts(p, t, font, QRectF(0, 0, tw, th), QPointF(0, ascent), pad, shadowOffset, outlineWidth);
    return sprite;
}

void VulkanCompositor::placeText(int W, int H, OverlayManager& model, const TextOverlayData& t, ChannelOrder order)
{
    const auto imageOf = [order](TextSprite& sprite) -> const QImage& {
        if (order == ChannelOrder::Native)
            return sprite.image;
        if (sprite.exchanged.isNull())
            sprite.exchanged = sprite.image.rgbSwapped();
        return sprite.exchanged;
    };
    const double sx = referenceScaleX(QSize(W, 1));
    const bool scrolling = t.scrolls();
    const QPointF p(t.posX * W, t.posY * H);
    if (!scrolling) {
        const QPointF subPixel = fractionalPart(p);
        TextSprite& sprite = textSprite(t, H, subPixel, spriteKey(t, H, subPixel));
        Placement& placed = placements.emplace_back();
        placed.image = imageOf(sprite);
        placed.topLeft = (p - sprite.boxInSprite).toPoint();
        placed.text = true;
        return;
    }

    // A scrolling text moves in whole pixels, so one sprite serves every position.
    const QPointF subPixel(0.0, p.y() - std::floor(p.y()));
    TextSprite& sprite = textSprite(t, H, subPixel, spriteKey(t, H, subPixel));
    const qint64 elapsedUs = model.textScrollElapsedUs(t.id);
    const double sy = referenceScaleY(QSize(1, H));
    const int pad = std::max(0, qRound(t.backgroundPadding * sy));
    const int step = std::max(1, qRound(t.scrollStep * sx));
    const double viewportHeight = t.scrollViewportHeight * H;
    const double tw = sprite.textWidth;
    const double th = sprite.lineHeight;

    const double vh = viewportHeight > 0 ? viewportHeight : th + (t.backgroundEnabled ? 2.0 * pad : 0.0);
    const int passes = std::max(1, t.scrollTimes);
    const double x0 = std::min(double(W), std::max(0.0, p.x()));
    const double distance = double(elapsedUs) / 1e6 * step * kScrollPixelsPerSecondPerStep;
    QRectF clip;
    double x;
    if (t.scrollDirection == TextOverlayData::kScrollRightToLeft) {
        clip = QRectF(0, p.y(), std::max(1.0, std::min(tw + x0, double(W))), vh);
        const double period = std::max(0.001, tw + x0);
        x = distance >= passes * period ? -tw : x0 - std::fmod(distance, period);
    } else {
        clip = QRectF(x0, p.y(), std::max(1.0, W - x0), vh);
        const double period = std::max(0.001, W - x0);
        x = distance >= passes * period ? double(W) : x0 + std::fmod(distance, period);
    }
    Placement& placed = placements.emplace_back();
    placed.image = imageOf(sprite);
    placed.topLeft = (QPointF(std::round(x), p.y()) - sprite.boxInSprite).toPoint();
    placed.text = true;
    placed.clipped = true;
    placed.clip = clip;
}

FrameTokenPtr VulkanCompositor::compose(FrameTokenPtr base, OverlayManager* overlays)
{
    lastUsedGpu = false;
    if (!base || base->data.isEmpty() || !overlays || !overlays->hasVisibleOverlays() || !pool)
        return base;
    // A frame with a buffer shorter than its rows claim (or a stale size on a
    // reused token) must never be read or wrapped: it goes out untouched.
    if (!isValidFrameToken(*base))
        return base;
    FrameTokenPtr token = pool->acquire();
    if (!token)
        return base;

    bool ok = false;
    const int glRequested = qEnvironmentVariableIntValue(kGlEnvironmentVariable, &ok);
    if (ok && glRequested != 0 && gpuReady() && overlays->visibleOverlayCount() >= kMinOverlaysForGl
        && composeGpu(*overlays, *base, *token)) {
        token->ptsUs = base->ptsUs;
        lastUsedGpu = true;
        return token;
    }

    token->width = base->width;
    token->height = base->height;
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = base->bytesPerLine;
    const qsizetype bytes = qsizetype(base->bytesPerLine) * base->height;
    growBuffer(*token, bytes);
    if (!isValidFrameToken(*token))
        return base;
    token->ptsUs = base->ptsUs;

    if (wholePixelRows(*base) && composeRows(*base, *token, *overlays))
        return token;

    const bool opaque = copyAndCheckOpaque(*base, *token);

    if (opaque || readsAsPremultiplied(*token)) {
        // Opaque pictures (every decoded frame) and fully transparent ones
        // (the blank idle frame) read the same as premultiplied pixels.
        QImage image(reinterpret_cast<uchar*>(token->data.data()), token->width, token->height,
                     token->bytesPerLine, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter painter(&image);
            paintOverlays(painter, image.width(), image.height(), *overlays, ChannelOrder::Exchanged);
        }
        if (!opaque)
            unpremultiplyInPlace(*token);
    } else {
        QImage image = wrapWritable(*token);
        QPainter painter(&image);
        paintOverlays(painter, image.width(), image.height(), *overlays);
    }
    return token;
}

bool VulkanCompositor::updateDrawingChunks(OverlayManager& model, QSize size)
{
    if (!model.hasDoodleStrokes())
        return false;
    const QImage& layer = model.renderDoodle(size);
    if (layer.isNull() || layer.size() != size || layer.format() != QImage::Format_ARGB32_Premultiplied)
        return false;
    DrawingChunks& d = *drawingChunks;
    if (d.layerKey == layer.cacheKey())
        return true;

    const int w = size.width();
    const int h = size.height();
    d.chunksPerRow = (w + kChunk - 1) / kChunk;
    d.blockOf.assign(size_t(d.chunksPerRow) * size_t(h), 0);
    d.blocks.assign(kChunk, 0);
    d.translucent.clear();
    d.rowTranslucent.assign(size_t(h) + 1, 0);
    QHash<quint32, quint32> filled; // block of each colour filling a chunk
    for (int y = 0; y < h; ++y) {
        d.rowTranslucent[size_t(y)] = int(d.translucent.size());
        const auto* line = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
        for (int c = 0; c < d.chunksPerRow; ++c) {
            quint32 px[kChunk] = {};
            const int n = std::min(kChunk, w - c * kChunk);
            bool empty = true;
            bool translucent = false;
            bool oneColour = n == kChunk;
            for (int i = 0; i < n; ++i) {
                px[i] = exchangedRgb(line[c * kChunk + i]);
                const quint32 a = px[i] >> 24;
                empty = empty && px[i] == 0;
                translucent = translucent || (a != 0 && a != 0xff);
                oneColour = oneColour && a == 0xff && px[i] == px[0];
            }
            if (empty)
                continue;
            if (translucent)
                d.translucent.push_back(c);
            quint32& block = d.blockOf[size_t(y) * size_t(d.chunksPerRow) + size_t(c)];
            if (oneColour) {
                const auto it = filled.constFind(px[0]);
                if (it != filled.cend()) {
                    block = it.value();
                    continue;
                }
                filled.insert(px[0], quint32(d.blocks.size() / kChunk));
            }
            block = quint32(d.blocks.size() / kChunk);
            d.blocks.insert(d.blocks.end(), px, px + kChunk);
        }
    }
    d.rowTranslucent.back() = int(d.translucent.size());
    d.layerKey = layer.cacheKey();
    return true;
}

// Composes row by row: each row of the base is copied, the media and text
// pictures and the drawing are blended over it while it is still in cache,
// and the next row follows. The frame's bytes go through memory once, where
// painting layer after layer would read and write them once per layer. The
// blends are QPainter's own arithmetic, so the bytes are the same.
//
// False (the token to be composed by the painter instead) when a visible
// base pixel is not opaque or a picture is drawn translucent.
bool VulkanCompositor::composeRows(const FrameToken& base, FrameToken& token, OverlayManager& model)
{
    const int w = base.width;
    const int h = base.height;
    placeMediaAndText(w, h, model, ChannelOrder::Exchanged);

    std::vector<RowBox>& boxes = rowBoxes;
    boxes.clear();
    const QRect frame(0, 0, w, h);
    for (const Placement& placed : placements) {
        if (placed.opacity != 1.0 || placed.image.format() != QImage::Format_ARGB32_Premultiplied)
            return false;
        QRect area = QRect(placed.topLeft, placed.image.size()) & frame;
        if (placed.clipped)
            area &= deviceClip(placed.clip);
        if (!area.isEmpty())
            boxes.push_back(RowBox{&placed, area});
    }
    const bool drawing = updateDrawingChunks(model, QSize(w, h));
    const DrawingChunks& chunks = *drawingChunks;
    const int fullChunks = w / kChunk; // the rest, if any, is one partial chunk

    const qsizetype stride = base.bytesPerLine;
    const char* baseBytes = base.data.constData();
    char* outBytes = token.data.data();
    // Rows [y0, y1); false at the first row with a pixel that is not opaque.
    const auto composeBand = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const char* src = baseBytes + y * stride;
            auto* dst = reinterpret_cast<quint32*>(outBytes + y * stride);
            const quint64 acc = copyAlphaAnd(reinterpret_cast<char*>(dst), src, qsizetype(w) * 4, kAlphaBytes);
            if ((acc & kAlphaBytes) != kAlphaBytes)
                return false;
            for (const RowBox& b : boxes) {
                if (y < b.area.top() || y > b.area.bottom())
                    continue;
                const QPoint at = b.area.topLeft() - b.placed->topLeft; // in the picture
                const auto* line =
                    reinterpret_cast<const quint32*>(b.placed->image.constScanLine(at.y() + y - b.area.top()));
                blendOver(dst + b.area.left(), line + at.x(), b.area.width());
            }
            if (!drawing)
                continue;
            const quint32* blockOf = chunks.blockOf.data() + size_t(y) * size_t(chunks.chunksPerRow);
            const quint32* blocks = chunks.blocks.data();
            takeOpaqueChunks(dst, blocks, blockOf, fullChunks);
            if (fullChunks < chunks.chunksPerRow)
                takeOpaquePlain(dst + fullChunks * kChunk, blocks + size_t(blockOf[fullChunks]) * kChunk,
                                w - fullChunks * kChunk);
            const int* translucent = chunks.translucent.data();
            blendChunks(dst, blocks, blockOf, translucent + chunks.rowTranslucent[size_t(y)],
                        translucent + chunks.rowTranslucent[size_t(y) + 1], w);
        }
        return true;
    };

    // Bands of rows are composed side by side, here and on the band threads,
    // which only read what is prepared above and write their own rows of the
    // token; compose goes on once all are done.
    // Half the cores at most, with this one: decoders and encoders run too.
    static const int helpers = std::clamp(QThread::idealThreadCount() / 2 - 1, 0, kMaxBandThreads);
    const int bands = int(std::clamp<qint64>(qint64(w) * h / kMinPixelsPerBand, 1, helpers + 1));
    if (bands == 1)
        return composeBand(0, h);
    if (!bandThreads)
        bandThreads = std::make_unique<BandWorkers>(helpers + 1);
    std::atomic<bool> opaque{true};
    bandThreads->run(bands, [&](int band) {
        if (!composeBand(int(qint64(h) * band / bands), int(qint64(h) * (band + 1) / bands)))
            opaque = false;
    });
    return opaque;
}

void VulkanCompositor::placeMediaAndText(int W, int H, OverlayManager& model, ChannelOrder order)
{
    ++paintCount;
    placements.clear();
    placeMedia(W, H, model, order);
    for (const TextOverlayData* t : sortedByZThenId(model.textOverlays()))
        if (t->enabled && !t->text.isEmpty())
            placeText(W, H, model, *t, order);
    dropUnused(textSprites);
}

void VulkanCompositor::paintMediaAndText(QPainter& painter, int W, int H, OverlayManager& model,
                                         ChannelOrder order)
{
    placeMediaAndText(W, H, model, order);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    for (const Placement& placed : placements) {
        painter.setRenderHint(QPainter::Antialiasing, placed.text);
        painter.setOpacity(placed.opacity);
        if (placed.clipped) {
            painter.save();
            painter.setClipRect(placed.clip, Qt::ReplaceClip);
        }
        painter.drawImage(placed.topLeft, placed.image);
        if (placed.clipped)
            painter.restore();
    }
    painter.setOpacity(1.0);
}

void VulkanCompositor::paintOverlays(QPainter& painter, int W, int H, OverlayManager& model, ChannelOrder order)
{
    paintMediaAndText(painter, W, H, model, order);
    if (model.hasDoodleStrokes()) {
        const QImage& rendered = model.renderDoodle(QSize(W, H));
        if (!rendered.isNull()) {
            const QImage& layer = prepared(drawingLayer, rendered, rendered.size(), order);
            painter.save();
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            painter.setOpacity(1.0);
            // Only the parts that hold strokes: blending the transparent rest
            // would cost a full-frame pass on every frame.
            for (const QRect& area : model.renderedDoodleAreas())
                painter.drawImage(area.topLeft(), layer, area);
            painter.restore();
        }
    }
}
