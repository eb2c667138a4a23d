// The encoder's RGBA-to-YUV conversion: its BT.709 planes against the
// matrix's own formula, and the conversion split into bands over worker
// threads against the single-thread one, byte for byte.

#include "avglue/avptr.h"
#include "engine/bandworkers.h"
#include "output/rgbatoyuv.h"
#include "support/testsupport.h"

#include <QtTest>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

av::FramePtr yuvFrame(int width, int height, AVPixelFormat format, AVColorSpace colorSpace)
{
    av::FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = format;
    frame->colorspace = colorSpace;
    if (av_frame_get_buffer(frame.get(), 32) < 0)
        return {};
    return frame;
}

// Noise, so that neighbouring pixels differ in every channel and a chroma
// sample taken from the wrong pair of rows shows.
std::vector<std::uint8_t> noisePicture(int stride, int height, std::uint32_t seed)
{
    std::vector<std::uint8_t> rgba(std::size_t(stride) * height);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& byte : rgba) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = std::uint8_t(state >> 24);
    }
    return rgba;
}

// The visible samples of both frames' planes, row by row; empty when equal.
QString firstDifference(const AVFrame& a, const AVFrame& b)
{
    const bool nv12 = a.format == AV_PIX_FMT_NV12;
    const int chromaWidth = (a.width + 1) / 2;
    const int chromaHeight = (a.height + 1) / 2;
    const int planes = nv12 ? 2 : 3;
    for (int plane = 0; plane < planes; ++plane) {
        const int rows = plane == 0 ? a.height : chromaHeight;
        const int bytes = plane == 0 ? a.width : nv12 ? 2 * chromaWidth : chromaWidth;
        for (int row = 0; row < rows; ++row) {
            const std::uint8_t* pa = a.data[plane] + std::ptrdiff_t(row) * a.linesize[plane];
            const std::uint8_t* pb = b.data[plane] + std::ptrdiff_t(row) * b.linesize[plane];
            for (int x = 0; x < bytes; ++x)
                if (pa[x] != pb[x])
                    return QString("plane %1 row %2 byte %3: %4 banded, %5 single")
                        .arg(plane)
                        .arg(row)
                        .arg(x)
                        .arg(pa[x])
                        .arg(pb[x]);
        }
    }
    return {};
}

// BT.709 limited range in floating point, chroma from the mean of each
// 2x2 block (the pixels of it inside the picture).
struct Bt709Sample {
    double y = 0, u = 0, v = 0;
};

Bt709Sample bt709(double r, double g, double b)
{
    constexpr double kr = 0.2126, kb = 0.0722, kg = 1 - kr - kb;
    const double luma = kr * r + kg * g + kb * b;
    return {16 + 219.0 / 255.0 * luma, 128 + 224.0 / 255.0 * (b - luma) / (2 * (1 - kb)),
            128 + 224.0 / 255.0 * (r - luma) / (2 * (1 - kr))};
}

QString formulaDifference(const AVFrame& frame, const std::vector<std::uint8_t>& rgba, int stride)
{
    constexpr double kMaxError = 1.0;
    const bool nv12 = frame.format == AV_PIX_FMT_NV12;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            const std::uint8_t* p = rgba.data() + std::size_t(y) * stride + 4 * x;
            const double expected = bt709(p[0], p[1], p[2]).y;
            const int actual = frame.data[0][y * frame.linesize[0] + x];
            if (std::abs(actual - expected) > kMaxError)
                return QString("Y at %1,%2: %3, expected %4").arg(x).arg(y).arg(actual).arg(expected);
        }
    for (int cy = 0; cy < (frame.height + 1) / 2; ++cy)
        for (int cx = 0; cx < (frame.width + 1) / 2; ++cx) {
            double r = 0, g = 0, b = 0;
            int n = 0;
            for (int y = 2 * cy; y < std::min(2 * cy + 2, frame.height); ++y)
                for (int x = 2 * cx; x < std::min(2 * cx + 2, frame.width); ++x, ++n) {
                    const std::uint8_t* p = rgba.data() + std::size_t(y) * stride + 4 * x;
                    r += p[0];
                    g += p[1];
                    b += p[2];
                }
            const Bt709Sample expected = bt709(r / n, g / n, b / n);
            const int u = nv12 ? frame.data[1][cy * frame.linesize[1] + 2 * cx] : frame.data[1][cy * frame.linesize[1] + cx];
            const int v = nv12 ? frame.data[1][cy * frame.linesize[1] + 2 * cx + 1]
                               : frame.data[2][cy * frame.linesize[2] + cx];
            if (std::abs(u - expected.u) > kMaxError || std::abs(v - expected.v) > kMaxError)
                return QString("UV at %1,%2: %3 %4, expected %5 %6")
                    .arg(cx)
                    .arg(cy)
                    .arg(u)
                    .arg(v)
                    .arg(expected.u)
                    .arg(expected.v);
        }
    return {};
}

} // namespace

class TestRgbaToYuv : public QObject {
    Q_OBJECT
private slots:
    void colorSpaceFollowsSize_data();
    void colorSpaceFollowsSize();
    void bt709FollowsFormula_data();
    void bt709FollowsFormula();
    void bandedMatchesSingle_data();
    void bandedMatchesSingle();
};

void TestRgbaToYuv::colorSpaceFollowsSize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("colorSpace");
    QTest::newRow("2160p") << QSize(3840, 2160) << int(AVCOL_SPC_BT709);
    QTest::newRow("1080p") << QSize(1920, 1080) << int(AVCOL_SPC_BT709);
    QTest::newRow("720p") << QSize(1280, 720) << int(AVCOL_SPC_BT709);
    QTest::newRow("portrait 720x1280") << QSize(720, 1280) << int(AVCOL_SPC_BT709);
    QTest::newRow("PAL 720x576") << QSize(720, 576) << int(AVCOL_SPC_SMPTE170M);
    QTest::newRow("640x360") << QSize(640, 360) << int(AVCOL_SPC_SMPTE170M);
}

void TestRgbaToYuv::colorSpaceFollowsSize()
{
    QFETCH(QSize, size);
    QFETCH(int, colorSpace);
    QCOMPARE(int(rgbatoyuv::colorSpaceFor(size.width(), size.height())), colorSpace);
}

void TestRgbaToYuv::bt709FollowsFormula_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("format");
    // Widths with and without a tail past the last full group of pixels.
    QTest::newRow("64x4 I420") << 64 << 4 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("64x4 NV12") << 64 << 4 << int(AV_PIX_FMT_NV12);
    QTest::newRow("53x7 I420, odd sizes") << 53 << 7 << int(AV_PIX_FMT_YUV420P);
    QTest::newRow("53x7 NV12, odd sizes") << 53 << 7 << int(AV_PIX_FMT_NV12);
    QTest::newRow("1x1") << 1 << 1 << int(AV_PIX_FMT_YUV420P);
}

void TestRgbaToYuv::bt709FollowsFormula()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, format);
    const int stride = width * 4 + 12;
    av::FramePtr frame = yuvFrame(width, height, AVPixelFormat(format), AVCOL_SPC_BT709);
    QVERIFY(frame);
    std::vector<std::uint8_t> rgba = noisePicture(stride, height, 7);
    // The extremes too: black, white and the saturated primaries.
    const std::uint8_t corners[][3] = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    for (int i = 0; i < 5 && i < width; ++i)
        std::copy(std::begin(corners[i]), std::end(corners[i]), rgba.begin() + 4 * i);
    QVERIFY(rgbatoyuv::convert(rgba.data(), stride, width, height, frame.get()));
    QCOMPARE(formulaDifference(*frame, rgba, stride), QString());
}

void TestRgbaToYuv::bandedMatchesSingle_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("colorSpace");
    QTest::addColumn<int>("threads");
    const int i420 = AV_PIX_FMT_YUV420P;
    const int nv12 = AV_PIX_FMT_NV12;
    const int bt709 = AVCOL_SPC_BT709;
    const int bt601 = AVCOL_SPC_SMPTE170M;
    QTest::newRow("1080p I420, 3 threads") << 1920 << 1080 << i420 << bt709 << 3;
    QTest::newRow("1080p NV12, 3 threads") << 1920 << 1080 << nv12 << bt709 << 3;
    QTest::newRow("2160p I420, 4 threads") << 3840 << 2160 << i420 << bt709 << 4;
    QTest::newRow("2160p NV12, 4 threads") << 3840 << 2160 << nv12 << bt709 << 4;
    QTest::newRow("642x362, a short last band") << 642 << 362 << i420 << bt709 << 2;
    QTest::newRow("642x362 BT.601") << 642 << 362 << i420 << bt601 << 2;
    QTest::newRow("641x361, odd width and height, I420") << 641 << 361 << i420 << bt709 << 4;
    QTest::newRow("641x361, odd width and height, NV12") << 641 << 361 << nv12 << bt709 << 4;
    QTest::newRow("641x361 BT.601, odd width and height") << 641 << 361 << nv12 << bt601 << 4;
    QTest::newRow("2x2, one band") << 2 << 2 << i420 << bt709 << 3;
    QTest::newRow("1x1") << 1 << 1 << nv12 << bt709 << 2;
    QTest::newRow("one thread") << 642 << 362 << nv12 << bt709 << 1;
}

void TestRgbaToYuv::bandedMatchesSingle()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, format);
    QFETCH(int, colorSpace);
    QFETCH(int, threads);
    // Rows padded past the picture, as a program frame's may be.
    const int stride = width * 4 + 12;
    av::FramePtr single = yuvFrame(width, height, AVPixelFormat(format), AVColorSpace(colorSpace));
    av::FramePtr banded = yuvFrame(width, height, AVPixelFormat(format), AVColorSpace(colorSpace));
    QVERIFY(single && banded);
    BandWorkers workers(threads);
    QCOMPARE(workers.threads(), threads);
    // The same workers serve picture after picture.
    for (std::uint32_t picture = 0; picture < 3; ++picture) {
        const std::vector<std::uint8_t> rgba = noisePicture(stride, height, picture);
        QVERIFY(rgbatoyuv::convert(rgba.data(), stride, width, height, single.get()));
        QVERIFY(rgbatoyuv::convert(rgba.data(), stride, width, height, banded.get(), workers));
        QCOMPARE(firstDifference(*banded, *single), QString());
    }
}

QUORB_TEST_MAIN(TestRgbaToYuv)
#include "tst_rgbatoyuv.moc"
