// The encoder's RGBA-to-YUV conversion split into bands over worker
// threads gives the same planes, byte for byte, as the single-thread one.

#include "avglue/avptr.h"
#include "output/bandworkers.h"
#include "output/rgbatoyuv.h"
#include "support/testsupport.h"

#include <QtTest>

#include <cstdint>
#include <vector>

namespace {

av::FramePtr yuvFrame(int width, int height, AVPixelFormat format)
{
    av::FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = format;
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

} // namespace

class TestRgbaToYuv : public QObject {
    Q_OBJECT
private slots:
    void bandedMatchesSingle_data();
    void bandedMatchesSingle();
};

void TestRgbaToYuv::bandedMatchesSingle_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("threads");
    const int i420 = AV_PIX_FMT_YUV420P;
    const int nv12 = AV_PIX_FMT_NV12;
    QTest::newRow("1080p I420, 3 threads") << 1920 << 1080 << i420 << 3;
    QTest::newRow("1080p NV12, 3 threads") << 1920 << 1080 << nv12 << 3;
    QTest::newRow("2160p I420, 4 threads") << 3840 << 2160 << i420 << 4;
    QTest::newRow("2160p NV12, 4 threads") << 3840 << 2160 << nv12 << 4;
    QTest::newRow("642x362, a short last band") << 642 << 362 << i420 << 2;
    QTest::newRow("641x361, odd width and height, I420") << 641 << 361 << i420 << 4;
    QTest::newRow("641x361, odd width and height, NV12") << 641 << 361 << nv12 << 4;
    QTest::newRow("2x2, one band") << 2 << 2 << i420 << 3;
    QTest::newRow("1x1") << 1 << 1 << nv12 << 2;
    QTest::newRow("one thread") << 642 << 362 << nv12 << 1;
}

void TestRgbaToYuv::bandedMatchesSingle()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, format);
    QFETCH(int, threads);
    // Rows padded past the picture, as a program frame's may be.
    const int stride = width * 4 + 12;
    av::FramePtr single = yuvFrame(width, height, AVPixelFormat(format));
    av::FramePtr banded = yuvFrame(width, height, AVPixelFormat(format));
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
