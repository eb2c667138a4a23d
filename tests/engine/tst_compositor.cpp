#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/vulkancompositor.h"
#include "support/testsupport.h"
#include "support/xvfb.h"

#include <QElapsedTimer>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace {

constexpr QRgb kBaseColour = 0xff202020; // opaque dark grey, as RGBA8888 bytes 20 20 20 ff

FrameTokenPtr makeBase(FramePool& pool, int w, int h, qint64 ptsUs = 1234, int stride = 0)
{
    FrameTokenPtr t = pool.acquire();
    if (!t)
        return t;
    t->width = w;
    t->height = h;
    t->bytesPerLine = stride > 0 ? stride : w * 4;
    t->pixelFormat = FrameToken::kRgba8888;
    t->data.resize(qsizetype(t->bytesPerLine) * h);
    for (qsizetype i = 0; i < t->data.size(); i += 4) {
        t->data[i] = 0x20;
        t->data[i + 1] = 0x20;
        t->data[i + 2] = 0x20;
        t->data[i + 3] = char(0xff);
    }
    t->ptsUs = ptsUs;
    return t;
}

QImage view(const FrameTokenPtr& t)
{
    return QImage(reinterpret_cast<const uchar*>(t->data.constData()), t->width, t->height, t->bytesPerLine,
                  QImage::Format_RGBA8888);
}

QImage solid(QSize size, QColor c)
{
    QImage image(size, QImage::Format_RGBA8888);
    image.fill(c);
    return image;
}

MediaOverlayData videoOverlay(int id, QRectF rect, int z = 0)
{
    MediaOverlayData m;
    m.id = id;
    m.kind = MediaOverlayData::kVideo;
    m.path = "v.mp4";
    m.rect = rect;
    m.zIndex = z;
    return m;
}

// Leftmost pixel of row y that has colour c, -1 when none.
int leftmost(const QImage& image, int y, QColor c)
{
    for (int x = 0; x < image.width(); ++x)
        if (image.pixelColor(x, y) == c)
            return x;
    return -1;
}

// A compositor with its pool and overlay model at one canvas size.
struct Rig {
    Rig(int w, int h, int capacity = 4)
        : pool(capacity, w, h)
        , compositor(&pool)
    {
        om.setCanvasSize(QSize(w, h));
    }
    // A video overlay whose current frame is one colour filling its box.
    bool addVideo(int id, QRectF rect, QColor colour, int z = 0, double opacity = 1.0)
    {
        MediaOverlayData m = videoOverlay(id, rect, z);
        m.opacity = opacity;
        if (!om.setMediaOverlay(m))
            return false;
        const QSize canvas = om.canvas();
        om.setVideoOverlayFrame(id, solid(QSize(qMax(1, qRound(rect.width() * canvas.width())),
                                                qMax(1, qRound(rect.height() * canvas.height()))),
                                          colour));
        return true;
    }

    FramePool pool;
    VulkanCompositor compositor;
    OverlayManager om;
};

struct ManualClock {
    qint64 ns = 0;
    OverlayManager::MonotonicClock fn() { return [this] { return ns; }; }
};

} // namespace

class TestCompositor : public QObject {
    Q_OBJECT
private slots:
    void passThroughWithoutVisibleOverlays();
    void composedFrameIsACopyWithTimestamp();
    void textAboveMediaDrawingAboveAll();
    void mediaStacking_data();
    void mediaStacking();
    void textOutlineJustOutsideGlyphs();
    void textStacking_data();
    void textStacking();
    void imageFittedAndCentred();
    void scrolling_data();
    void scrolling();
    void sameBytesAsPainting_data();
    void sameBytesAsPainting();
    void translucentOverlayOnAnyBase_data();
    void translucentOverlayOnAnyBase();
    void exhaustedPoolReturnsBase();
    void invalidBasePassesThrough_data();
    void invalidBasePassesThrough();
    void glRequestWithoutGlComposesOnCpu();
    void glPathMatchesCpuUnderXvfb();
    void offscreenFallsBackToCpu();

private:
    struct HelperRun {
        int exitCode = -1;
        QByteArray output;
        QImage cpu;
        QImage gl;
    };
    HelperRun runGlHelper(const QProcessEnvironment& env);
};

TestCompositor::HelperRun TestCompositor::runGlHelper(const QProcessEnvironment& env)
{
    HelperRun run;
    const QString image = testsupport::ensureFixture(
        "compositor_gl_scene.png",
        {"-f", "lavfi", "-i", "testsrc2=size=480x270,format=rgb24", "-frames:v", "1"});
    QTemporaryDir out;
    QProcess helper;
    helper.setProcessEnvironment(env);
    helper.setProcessChannelMode(QProcess::MergedChannels);
    helper.start(QStringLiteral(QUORB_TEST_BIN_DIR) + "/helper_compositorgl", {out.path(), image});
    if (!helper.waitForFinished(60000)) {
        helper.kill();
        helper.waitForFinished(3000);
    }
    run.output = helper.readAll();
    run.exitCode = helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    run.cpu = QImage(out.filePath("cpu.png")).convertToFormat(QImage::Format_RGBA8888);
    run.gl = QImage(out.filePath("gl.png")).convertToFormat(QImage::Format_RGBA8888);
    return run;
}

void TestCompositor::passThroughWithoutVisibleOverlays()
{
    Rig rig(640, 360);
    FramePool& pool = rig.pool;
    VulkanCompositor& compositor = rig.compositor;
    OverlayManager& om = rig.om;

    FrameTokenPtr base = makeBase(pool, 640, 360);
    FrameToken* raw = base.get();
    FrameTokenPtr out = compositor.compose(std::move(base), &om);
    QCOMPARE(out.get(), raw);
    QCOMPARE(pool.inUse(), 1);

    // A visible overlay whose picture has not arrived is not drawn yet.
    QVERIFY(om.setMediaOverlay(videoOverlay(1, QRectF(0, 0, 1, 1))));
    out = compositor.compose(std::move(out), &om);
    QCOMPARE(out.get(), raw);
    out = compositor.compose(std::move(out), nullptr);
    QCOMPARE(out.get(), raw);

    VulkanCompositor poolless(nullptr);
    om.setVideoOverlayFrame(1, solid(QSize(64, 36), Qt::red));
    out = poolless.compose(std::move(out), &om);
    QCOMPARE(out.get(), raw);
    QVERIFY(!compositor.compose(FrameTokenPtr(), &om));
}

void TestCompositor::composedFrameIsACopyWithTimestamp()
{
    Rig rig(640, 360);
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 0.5, 1), Qt::red));

    // A padded stride must be honoured both when reading and when painting.
    FrameTokenPtr base = makeBase(rig.pool, 640, 360, 777000, 640 * 4 + 64);
    const FrameTokenPtr keep = base;
    FrameTokenPtr out = rig.compositor.compose(std::move(base), &rig.om);
    QVERIFY(out && out != keep);
    QCOMPARE(out->ptsUs, qint64(777000));
    QCOMPARE(out->width, 640);
    QCOMPARE(out->height, 360);
    QVERIFY(isValidFrameToken(out));
    const QImage composed = view(out);
    QCOMPARE(composed.pixelColor(100, 359), QColor(Qt::red));
    QCOMPARE(composed.pixel(500, 359), kBaseColour);
    QCOMPARE(view(keep).pixel(100, 359), kBaseColour); // the base itself is untouched
}

void TestCompositor::textAboveMediaDrawingAboveAll()
{
    Rig rig(640, 360);
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 1, 1), Qt::green, 100));
    OverlayManager& om = rig.om;

    TextOverlayData t;
    t.id = 0;
    t.text = "Over";
    t.zIndex = -100;
    t.posX = 0.25;
    t.posY = 0.25;
    t.backgroundEnabled = true;
    t.backgroundPadding = 20;
    t.backgroundColor = Qt::blue;
    om.setTextOverlay(t);
    // A stroke crossing the padding on the right of the text's left edge.
    om.setDoodleStrokes({DoodleStroke{DoodleStroke::kLine, {{0.25 - 10.0 / 640, 0}, {0.25 - 10.0 / 640, 1}},
                                      4.0 / 360, Qt::red}});

    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 640, 360), &om));
    QCOMPARE(out.pixelColor(160 - 15, 92), QColor(Qt::blue)); // background padding over the video
    QCOMPARE(out.pixelColor(160 - 10, 92), QColor(Qt::red));  // the drawing over the text
    QCOMPARE(out.pixelColor(20, 20), QColor(Qt::green));
}

void TestCompositor::mediaStacking_data()
{
    QTest::addColumn<int>("zFirst");
    QTest::addColumn<int>("zSecond");
    QTest::addColumn<QColor>("top");
    // The first overlay (id 2, red) is stored before the second (id 1, blue).
    QTest::newRow("equal z: higher id on top") << 0 << 0 << QColor(Qt::red);
    QTest::newRow("z above id") << 0 << 1 << QColor(Qt::blue);
    QTest::newRow("negative z below") << -1 << -3 << QColor(Qt::red);
}

void TestCompositor::mediaStacking()
{
    QFETCH(int, zFirst);
    QFETCH(int, zSecond);
    QFETCH(QColor, top);
    Rig rig(320, 180);
    QVERIFY(rig.addVideo(2, QRectF(0, 0, 1, 1), Qt::red, zFirst));
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 1, 1), Qt::blue, zSecond));
    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 320, 180), &rig.om));
    QCOMPARE(out.pixelColor(160, 90), top);
}

void TestCompositor::textOutlineJustOutsideGlyphs()
{
    Rig rig(640, 360);
    TextOverlayData t;
    t.id = 1;
    t.text = "I";
    t.font.setPixelSize(120);
    t.fontColor = Qt::white;
    t.outline = true;
    t.outlineColor = Qt::green;
    t.outlineWidth = 8; // 4 px on either side of the glyph's edge at 360 lines
    t.posX = 0.25;
    t.posY = 0.25;
    rig.om.setTextOverlay(t);
    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 640, 360), &rig.om));

    // The row through the middle of the glyph's stem.
    int top = -1, bottom = -1;
    for (int y = 0; y < out.height(); ++y) {
        if (leftmost(out, y, Qt::white) >= 0) {
            top = top < 0 ? y : top;
            bottom = y;
        }
    }
    QVERIFY2(top >= 0, "no glyph was drawn");
    const int y = (top + bottom) / 2;
    const int x = leftmost(out, y, Qt::white);
    QVERIFY(x >= 8);
    // The glyph's edge lies within the pixel left of its first white one.
    QCOMPARE(out.pixelColor(x - 2, y), QColor(Qt::green));
    QCOMPARE(out.pixel(x - 7, y), kBaseColour); // the outline is no wider than asked
}

// Texts stack among themselves by the same rule as media; here the colour
// is the text's background and both texts cover the same box.
void TestCompositor::textStacking_data() { mediaStacking_data(); }

void TestCompositor::textStacking()
{
    QFETCH(int, zFirst);
    QFETCH(int, zSecond);
    QFETCH(QColor, top);
    Rig rig(640, 360);
    const auto text = [](int id, QColor background, int z) {
        TextOverlayData t;
        t.id = id;
        t.text = "Stack";
        t.posX = 0.25;
        t.posY = 0.25;
        t.fontColor = Qt::white;
        t.backgroundEnabled = true;
        t.backgroundPadding = 10;
        t.backgroundColor = background;
        t.zIndex = z;
        return t;
    };
    rig.om.setTextOverlay(text(2, Qt::red, zFirst));
    rig.om.setTextOverlay(text(1, Qt::blue, zSecond));
    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 640, 360), &rig.om));
    QCOMPARE(out.pixelColor(160 - 5, 90 - 5), top); // in the padding above the text's corner
}

void TestCompositor::imageFittedAndCentred()
{
    const QString path = testsupport::ensureFixture(
        "compositor_magenta_400x100.png",
        {"-f", "lavfi", "-i", "color=c=magenta:s=400x100,format=rgb24", "-frames:v", "1"});
    QVERIFY(!path.isEmpty());
    Rig rig(640, 360);
    OverlayManager& om = rig.om;
    MediaOverlayData m;
    m.id = 4;
    m.kind = MediaOverlayData::kImage;
    m.path = path;
    m.rect = QRectF(100.0 / 640, 50.0 / 360, 200.0 / 640, 200.0 / 360);
    QVERIFY(om.setMediaOverlay(m));
    QTRY_VERIFY_WITH_TIMEOUT(!om.imageOverlayImage(4).isNull(), 5000);

    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 640, 360), &om));
    // 200x50 at (100, 125): centred vertically in the 200x200 box.
    const QColor magenta(Qt::magenta);
    QCOMPARE(out.pixelColor(100, 125), magenta);
    QCOMPARE(out.pixelColor(299, 174), magenta);
    QCOMPARE(out.pixel(150, 124), kBaseColour);
    QCOMPARE(out.pixel(150, 175), kBaseColour);
    QCOMPARE(out.pixel(99, 150), kBaseColour);
    QCOMPARE(out.pixel(300, 150), kBaseColour);
}

void TestCompositor::scrolling_data()
{
    QTest::addColumn<int>("direction");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<int>("left"); // expected left edge of the text box, -1 hidden

    // posX 0.5 on 1920 columns, step 2 -> 6 px per step unit -> 120 px/s.
    // Left to right wraps after the 960 columns to the right edge (8 s).
    QTest::newRow("ltr start") << 1 << 0.0 << 960;
    QTest::newRow("ltr 1 s") << 1 << 1.0 << 1080;
    QTest::newRow("ltr 7.5 s") << 1 << 7.5 << 1860;
    QTest::newRow("ltr second pass") << 1 << 8.5 << 1020;
    QTest::newRow("ltr after two passes") << 1 << 16.5 << -1;
    QTest::newRow("other direction values scroll left to right") << 7 << 1.0 << 1080;
    // Right to left slides towards the left edge, clipped there.
    QTest::newRow("rtl 1 s") << 2 << 1.0 << 840;
    QTest::newRow("rtl 5 s") << 2 << 5.0 << 360;
    QTest::newRow("rtl much later") << 2 << 600.0 << -1;
}

void TestCompositor::scrolling()
{
    QFETCH(int, direction);
    QFETCH(double, seconds);
    QFETCH(int, left);

    ManualClock clock;
    Rig rig(1920, 1080);
    OverlayManager& om = rig.om;
    om.setMonotonicClock(clock.fn());
    TextOverlayData t;
    t.id = 3;
    t.text = "Scrolling news";
    t.posX = 0.5;
    t.posY = 0.5;
    t.backgroundEnabled = true;
    t.backgroundPadding = 0;
    t.backgroundColor = Qt::blue;
    t.fontColor = Qt::white;
    t.scrollable = true;
    t.scrollDirection = direction;
    t.scrollTimes = 2;
    om.setTextOverlay(t);
    clock.ns = qint64(seconds * 1e9);

    const QImage out = view(rig.compositor.compose(makeBase(rig.pool, 1920, 1080), &om));
    const int y = 541; // the top row of the box, above any glyph
    QCOMPARE(leftmost(out, y, Qt::blue), left);
    QCOMPARE(out.pixel(100, 539), kBaseColour); // nothing above the viewport
}

void TestCompositor::sameBytesAsPainting_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("padding"); // bytes after each row
    QTest::addColumn<QList<DoodleStroke>>("strokes");
    QTest::addColumn<DoodleStroke>("later"); // drawn after the first frame

    const DoodleStroke wide{DoodleStroke::kLine, {{0.05, 0.2}, {0.95, 0.8}}, 30.0 / 360, Qt::yellow};
    const DoodleStroke translucent{DoodleStroke::kEllipse, {{0.2, 0.1}, {0.7, 0.9}}, 12.0 / 360,
                                   QColor(0, 200, 255, 100)};
    const DoodleStroke thin{DoodleStroke::kFreehand, {{0.0, 0.5}, {0.3, 0.45}, {0.6, 0.55}, {1.0, 0.5}}, 1.0 / 360,
                            Qt::magenta};
    QTest::newRow("opaque and translucent strokes over media and text")
        << QSize(320, 180) << 0 << QList<DoodleStroke>{wide, translucent} << thin;
    // The last few pixels of each row are less than a whole chunk.
    QTest::newRow("strokes on the right edge of an odd width")
        << QSize(317, 179) << 0 << QList<DoodleStroke>{{DoodleStroke::kLine, {{1, 0}, {1, 1}}, 9.0 / 360, Qt::green}}
        << DoodleStroke{DoodleStroke::kLine, {{0.99, 0}, {0.99, 1}}, 2.0 / 360, QColor(255, 0, 0, 140)};
    QTest::newRow("single pixels either side of a chunk edge")
        << QSize(320, 180) << 0
        << QList<DoodleStroke>{{DoodleStroke::kFreehand, {{7.5 / 320, 0.3}}, 1.0 / 180, Qt::white},
                               {DoodleStroke::kFreehand, {{8.5 / 320, 0.3}}, 1.0 / 180, QColor(0, 0, 255, 60)}}
        << DoodleStroke{DoodleStroke::kRectangle, {{0.2, 0.2}, {0.8, 0.8}}, 4.0 / 360, Qt::cyan};
    QTest::newRow("padded rows") << QSize(320, 180) << 36 << QList<DoodleStroke>{wide} << translucent;
    // Large enough to be composed in bands of rows side by side.
    QTest::newRow("720p") << QSize(1280, 720) << 0 << QList<DoodleStroke>{wide, translucent} << thin;
    QTest::newRow("nothing drawn until later") << QSize(320, 180) << 0 << QList<DoodleStroke>{} << wide;
}

// The composed frame has the very bytes painting the layers one after the
// other gives; a drawing changed after a frame shows in the next one.
void TestCompositor::sameBytesAsPainting()
{
    QFETCH(QSize, size);
    QFETCH(int, padding);
    QFETCH(QList<DoodleStroke>, strokes);
    QFETCH(DoodleStroke, later);

    const int w = size.width(), h = size.height();
    ManualClock clock;
    Rig rig(w, h);
    OverlayManager& om = rig.om;
    om.setMonotonicClock(clock.fn());
    QVERIFY(rig.addVideo(1, QRectF(0.1, 0.05, 0.5, 0.5), Qt::darkGreen));
    TextOverlayData still;
    still.id = 1;
    still.text = "Still";
    still.posX = 0.33;
    still.posY = 0.6;
    still.backgroundEnabled = true;
    still.backgroundColor = QColor(0, 0, 0, 120);
    still.outline = true;
    om.setTextOverlay(still);
    TextOverlayData moving = still;
    moving.id = 2;
    moving.text = "Moving on";
    moving.posX = 0.1;
    moving.posY = 0.815; // clip edges between pixels
    moving.scrollable = true;
    om.setTextOverlay(moving);
    moving.id = 3;
    moving.posY = 0.9047;
    moving.scrollDirection = TextOverlayData::kScrollRightToLeft;
    om.setTextOverlay(moving);
    clock.ns = 1'700'000'000;
    om.setDoodleStrokes(strokes);

    const auto paint = [&](VulkanCompositor& painting, QByteArray& bytes, int stride) {
        QImage canvas(reinterpret_cast<uchar*>(bytes.data()), w, h, stride, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&canvas);
        painting.paintOverlays(painter, w, h, om, VulkanCompositor::ChannelOrder::Exchanged);
    };
    // Text drawn the first time at a size may come out a shade apart from
    // later times (its glyphs not cached yet), and each compositor keeps the
    // text it drew: so text is drawn once before either draws its own.
    QByteArray scratch = makeBase(rig.pool, w, h)->data;
    VulkanCompositor first(nullptr);
    paint(first, scratch, w * 4);
    VulkanCompositor painting(nullptr);

    const auto check = [&] {
        const FrameTokenPtr base = makeBase(rig.pool, w, h, 0, w * 4 + padding);
        QByteArray expected = base->data;
        paint(painting, expected, base->bytesPerLine);
        const FrameTokenPtr out = rig.compositor.compose(base, &om);
        QVERIFY(out && out != base);
        for (int y = 0; y < h; ++y) {
            const qsizetype row = qsizetype(y) * base->bytesPerLine;
            for (int x = 0; x < w; ++x)
                QVERIFY2(std::memcmp(out->data.constData() + row + x * 4, expected.constData() + row + x * 4, 4) == 0,
                         qPrintable(QString("pixel %1,%2").arg(x).arg(y)));
        }
    };
    check();
    strokes.append(later);
    om.setDoodleStrokes(strokes);
    check();
    clock.ns = 4'200'000'000;
    om.setDoodleStrokes({later});
    check();
}

void TestCompositor::translucentOverlayOnAnyBase_data()
{
    QTest::addColumn<QColor>("base"); // straight alpha, as RGBA8888 frames hold it
    QTest::addColumn<QColor>("expected");
    // Half-opaque pure red over the base, blended as Qt does on RGBA8888.
    QTest::newRow("opaque base") << QColor(0, 0, 255) << QColor(128, 0, 127, 255);
    QTest::newRow("transparent black blank frame") << QColor(0, 0, 0, 0) << QColor(255, 0, 0, 128);
    QTest::newRow("translucent coloured base") << QColor(0, 0, 255, 128) << QColor(170, 0, 85, 191);
    QTest::newRow("translucent dim base") << QColor(0, 0, 100, 128) << QColor(170, 0, 33, 191);
}

void TestCompositor::translucentOverlayOnAnyBase()
{
    QFETCH(QColor, base);
    QFETCH(QColor, expected);
    Rig rig(64, 36);
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 0.5, 1), Qt::red, 0, 0.5));

    FrameTokenPtr frame = makeBase(rig.pool, 64, 36);
    QImage(reinterpret_cast<uchar*>(frame->data.data()), 64, 36, 64 * 4, QImage::Format_RGBA8888).fill(base);
    const FrameTokenPtr composed = rig.compositor.compose(frame, &rig.om);
    QVERIFY(composed != frame);
    const QColor got = view(composed).pixelColor(10, 10);
    const auto near = [](int a, int b) { return qAbs(a - b) <= 2; };
    QVERIFY2(near(got.red(), expected.red()) && near(got.green(), expected.green())
                 && near(got.blue(), expected.blue()) && near(got.alpha(), expected.alpha()),
             qPrintable(got.name(QColor::HexArgb)));
    QCOMPARE(view(composed).pixelColor(50, 10), base); // beside the overlay nothing changed
}

void TestCompositor::exhaustedPoolReturnsBase()
{
    Rig rig(320, 180, 0); // no capacity: two live frames at most
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 1, 1), Qt::red));
    FramePool& pool = rig.pool;

    FrameTokenPtr base = makeBase(pool, 320, 180, 4242);
    FrameTokenPtr held = pool.acquire();
    QVERIFY(base && held);
    QVERIFY(!pool.acquire());
    FrameToken* raw = base.get();
    const FrameTokenPtr out = rig.compositor.compose(std::move(base), &rig.om);
    QCOMPARE(out.get(), raw);
    QCOMPARE(out->ptsUs, qint64(4242));
    QCOMPARE(view(out).pixel(10, 10), kBaseColour);
}

void TestCompositor::invalidBasePassesThrough_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("bytes");
    QTest::newRow("buffer shorter than its rows") << 320 << 180 << 1280 << 1 << 1280 * 90;
    QTest::newRow("stride below width x 4") << 320 << 180 << 1000 << 1 << 1280 * 180;
    QTest::newRow("other pixel format") << 320 << 180 << 1280 << 2 << 1280 * 180;
    QTest::newRow("zero width") << 0 << 180 << 1280 << 1 << 1280 * 180;
    QTest::newRow("negative height") << 320 << -5 << 1280 << 1 << 1280 * 180;
    QTest::newRow("stale size on a reused token") << 640 << 360 << 2560 << 1 << 1280 * 180;
}

void TestCompositor::invalidBasePassesThrough()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, stride);
    QFETCH(int, format);
    QFETCH(int, bytes);
    Rig rig(320, 180);
    QVERIFY(rig.addVideo(1, QRectF(0, 0, 1, 1), Qt::red));

    FrameTokenPtr base = rig.pool.acquire();
    base->width = width;
    base->height = height;
    base->bytesPerLine = stride;
    base->pixelFormat = std::uint8_t(format);
    base->data = QByteArray(bytes, char(0x11));
    FrameToken* raw = base.get();
    const FrameTokenPtr out = rig.compositor.compose(std::move(base), &rig.om);
    QCOMPARE(out.get(), raw);
    QCOMPARE(out->data, QByteArray(bytes, char(0x11)));
    QCOMPARE(rig.pool.inUse(), 1); // no frame was taken for it
}

void TestCompositor::glRequestWithoutGlComposesOnCpu()
{
    // This process runs offscreen; whether or not OpenGL came up, a request
    // for it must still give every composed frame.
    qputenv(VulkanCompositor::kGlEnvironmentVariable, "1");
    Rig rig(320, 180);
    for (int id = 0; id < 3; ++id)
        QVERIFY(rig.addVideo(id, QRectF(0.3 * id, 0, 0.2, 0.2), Qt::red));
    const FrameTokenPtr out = rig.compositor.compose(makeBase(rig.pool, 320, 180), &rig.om);
    qunsetenv(VulkanCompositor::kGlEnvironmentVariable);
    QVERIFY(isValidFrameToken(out));
    QCOMPARE(view(out).pixelColor(10, 10), QColor(Qt::red));
}

void TestCompositor::glPathMatchesCpuUnderXvfb()
{
    testsupport::PeerProcess xvfb;
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error);
    if (display.isEmpty())
        QFAIL(qPrintable("the OpenGL comparison needs Xvfb (package xvfb): " + error));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", display);
    env.insert("LIBGL_ALWAYS_SOFTWARE", "1");
    const HelperRun run = runGlHelper(env);
    QVERIFY2(run.exitCode == 0, run.output.constData());
    QVERIFY2(run.output.contains("VulkanCompositor: OpenGL offscreen GPU path ready"), run.output.constData());
    QVERIFY2(run.output.contains("gl-used=1"), run.output.constData());
    QVERIFY2(run.output.contains("gl-used-for-two=0"), run.output.constData());
    QCOMPARE(run.gl.size(), run.cpu.size());

    // Glyph edges may be antialiased a little differently; the picture as a
    // whole and every flat region must agree.
    qint64 sum = 0;
    int maxFlat = 0;
    for (int y = 0; y < run.cpu.height(); ++y) {
        const uchar* a = run.cpu.constScanLine(y);
        const uchar* b = run.gl.constScanLine(y);
        for (int i = 0; i < run.cpu.width() * 4; ++i)
            sum += qAbs(int(a[i]) - int(b[i]));
    }
    const double mean = double(sum) / (double(run.cpu.width()) * run.cpu.height() * 4);
    QVERIFY2(mean < 1.5, qPrintable(QString("mean difference %1").arg(mean)));
    // Base, video boxes (plain and translucent), the image, a text background.
    const QPoint probes[] = {{20, 20},  {1000, 160}, {830, 160}, {1000, 480}, {830, 480},
                             {120, 470}, {40, 40},   {58, 30},   {640, 700},  {1270, 10}};
    for (const QPoint& p : probes) {
        const QColor a = run.cpu.pixelColor(p), b = run.gl.pixelColor(p);
        maxFlat = std::max({maxFlat, qAbs(a.red() - b.red()), qAbs(a.green() - b.green()), qAbs(a.blue() - b.blue())});
    }
    QVERIFY2(maxFlat <= 3, qPrintable(QString("flat regions differ by %1").arg(maxFlat)));
}

void TestCompositor::offscreenFallsBackToCpu()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    const HelperRun run = runGlHelper(env);
    QVERIFY2(run.exitCode == 0, run.output.constData());
    static const QRegularExpression fallback(
        "VulkanCompositor: (QOpenGLContext::create failed|QOffscreenSurface invalid|OpenGL makeCurrent failed), "
        "using CPU composition");
    QVERIFY2(fallback.match(QString::fromUtf8(run.output)).hasMatch(), run.output.constData());
    QVERIFY2(run.output.contains("gl-used=0"), run.output.constData());
    QVERIFY(!run.cpu.isNull());
    QCOMPARE(run.gl, run.cpu);
}

QUORB_TEST_MAIN(TestCompositor)
#include "tst_compositor.moc"
