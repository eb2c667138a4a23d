#include "engine/framepool.h"
#include "engine/loadimagescaled.h"
#include "engine/overlaymanager.h"
#include "support/testsupport.h"

#include <QSignalSpy>

namespace {

// A PNG of one colour made by ffmpeg, cached per build.
QString colourImage(const QString& colour, int w, int h)
{
    return testsupport::ensureFixture(QString("overlay_%1_%2x%3.png").arg(colour).arg(w).arg(h),
                                      {"-f", "lavfi", "-i", QString("color=c=%1:s=%2x%3").arg(colour).arg(w).arg(h),
                                       "-frames:v", "1"});
}

TextOverlayData text(int id, const QString& s = "hello")
{
    TextOverlayData t;
    t.id = id;
    t.text = s;
    return t;
}

MediaOverlayData media(int id, int kind, const QString& path, QRectF rect = QRectF(0.1, 0.1, 0.25, 0.25))
{
    MediaOverlayData m;
    m.id = id;
    m.kind = kind;
    m.path = path;
    m.rect = rect;
    return m;
}

// What the frame pipeline hands over for an overlay-video frame: the pooled
// pixels wrapped without a copy, holding the token until the image goes.
QImage wrapPooledFrame(FrameTokenPtr token)
{
    auto* hold = new FrameTokenPtr(token);
    return QImage(reinterpret_cast<const uchar*>(token->data.constData()), token->width, token->height,
                  token->bytesPerLine, QImage::Format_RGBA8888,
                  [](void* p) { delete static_cast<FrameTokenPtr*>(p); }, hold);
}

struct ManualClock {
    qint64 ns = 1'000'000'000;
    OverlayManager::MonotonicClock fn() { return [this] { return ns; }; }
};

} // namespace

class TestOverlayManager : public QObject {
    Q_OBJECT
private slots:
    void defaults();
    void textLimitAndReplace();
    void negativeIdsRefused();
    void mediaSignals_data();
    void mediaSignals();
    void mediaLimitsPerKind();
    void scrollClockRestartRules_data();
    void scrollClockRestartRules();
    void imageLoadCommitsAndStaleResultDropped();
    void imageReloadedAtCanvasBound();
    void loadImageScaledBounds_data();
    void loadImageScaledBounds();
    void videoFrameStoredAtBoxSize_data();
    void videoFrameStoredAtBoxSize();
    void fourOverlayVideosKeepAdvancingAt4K();
    void visibilityCounts();
    void renderDoodleEdges();
    void canvasChangeRendersTheDrawingAside();
};

void TestOverlayManager::defaults()
{
    const TextOverlayData t;
    QCOMPARE(t.id, -1);
    QCOMPARE(t.font.family(), QString("Arial"));
    QCOMPARE(t.font.pointSize(), 28);
    QCOMPARE(t.fontColor, QColor(Qt::red));
    QCOMPARE(t.backgroundPadding, 6);
    QCOMPARE(t.scrollStep, 2);
    QCOMPARE(t.scrollViewportHeight, -1.0);
    const MediaOverlayData m;
    QCOMPARE(m.kind, 0);
    QVERIFY(m.visible && m.playing);
    QCOMPARE(m.opacity, 1.0);
    const DoodleStroke s;
    QCOMPARE(s.width, 3.0 / 360.0);
    QCOMPARE(s.colour, QColor(Qt::red));

    // The types travel through queued signals and variants.
    registerOverlayMetaTypes();
    QVERIFY(QMetaType::fromName("TextOverlayData").isValid());
    QVERIFY(QMetaType::fromName("MediaOverlayData").isValid());
    QVERIFY(QMetaType::fromName("DoodleStroke").isValid());
    QCOMPARE(QVariant::fromValue(text(4, "x")).value<TextOverlayData>().text, QString("x"));
}

void TestOverlayManager::textLimitAndReplace()
{
    OverlayManager om;
    for (int id = 0; id < 10; ++id)
        om.setTextOverlay(text(id));
    QSignalSpy texts(&om, &OverlayManager::textOverlaysChanged);
    QSignalSpy changed(&om, &OverlayManager::overlayChanged);

    QTest::ignoreMessage(QtWarningMsg, "OverlayManager: max 10 text overlays — ignoring id 10");
    om.setTextOverlay(text(10));
    QCOMPARE(om.textOverlays().size(), 10);
    QCOMPARE(texts.count(), 0);
    QCOMPARE(changed.count(), 0);

    om.setTextOverlay(text(3, "replaced"));
    QCOMPARE(om.textOverlays().size(), 10);
    QCOMPARE(om.textOverlays().at(3).text, QString("replaced"));
    QCOMPARE(texts.count(), 1);
    QCOMPARE(changed.count(), 1);

    om.removeTextOverlay(42); // unknown id: nothing
    QCOMPARE(texts.count(), 1);
    om.removeTextOverlay(3);
    om.setTextOverlay(text(10));
    QCOMPARE(om.textOverlays().size(), 10);
    QCOMPARE(om.textOverlays().last().id, 10);

    om.clearTextOverlays();
    QVERIFY(om.textOverlays().isEmpty());
    QCOMPARE(texts.count(), 4);
}

void TestOverlayManager::negativeIdsRefused()
{
    OverlayManager om;
    QSignalSpy changed(&om, &OverlayManager::overlayChanged);
    om.setTextOverlay(text(-1));
    QVERIFY(!om.setMediaOverlay(media(-2, 0, "x.png")));
    om.setVideoOverlayFrame(-1, QImage(8, 8, QImage::Format_RGBA8888));
    QVERIFY(om.textOverlays().isEmpty());
    QVERIFY(om.mediaOverlays().isEmpty());
    QCOMPARE(changed.count(), 0);
}

void TestOverlayManager::mediaSignals_data()
{
    QTest::addColumn<MediaOverlayData>("next");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<int>("mediaChanged");
    QTest::addColumn<int>("layoutChanged");
    QTest::addColumn<int>("overlayChanged");

    const MediaOverlayData base = media(7, 1, "clip.mp4");
    MediaOverlayData m = base;
    QTest::newRow("unchanged") << m << false << 0 << 0 << 0;
    m.rect.translate(5e-7, -5e-7);
    QTest::newRow("moved within tolerance") << m << false << 0 << 0 << 0;
    m = base;
    m.rect.translate(0.01, 0);
    QTest::newRow("moved") << m << true << 1 << 1 << 0;
    m = base;
    m.rect.setWidth(0.5);
    QTest::newRow("resized") << m << true << 1 << 1 << 0;
    m = base;
    m.zIndex = 3;
    QTest::newRow("restacked") << m << true << 1 << 1 << 0;
    m = base;
    m.opacity = 0.5;
    QTest::newRow("opacity") << m << true << 1 << 1 << 0;
    m = base;
    m.visible = false;
    QTest::newRow("hidden") << m << true << 1 << 0 << 1;
    m = base;
    m.playing = false;
    QTest::newRow("paused") << m << true << 1 << 0 << 1;
    m = base;
    m.positionMs = 1000;
    QTest::newRow("seeked") << m << true << 1 << 0 << 1;
    m = base;
    m.path = "other.mp4";
    m.zIndex = 1;
    QTest::newRow("new path and restacked") << m << true << 1 << 0 << 1;
}

void TestOverlayManager::mediaSignals()
{
    QFETCH(MediaOverlayData, next);
    QFETCH(bool, stored);
    QFETCH(int, mediaChanged);
    QFETCH(int, layoutChanged);
    QFETCH(int, overlayChanged);

    OverlayManager om;
    QVERIFY(om.setMediaOverlay(media(7, 1, "clip.mp4")));
    QSignalSpy mediaSpy(&om, &OverlayManager::mediaOverlaysChanged);
    QSignalSpy layoutSpy(&om, &OverlayManager::overlayLayoutChanged);
    QSignalSpy changedSpy(&om, &OverlayManager::overlayChanged);
    QCOMPARE(om.setMediaOverlay(next), stored);
    QCOMPARE(mediaSpy.count(), mediaChanged);
    QCOMPARE(layoutSpy.count(), layoutChanged);
    QCOMPARE(changedSpy.count(), overlayChanged);
    if (stored)
        QCOMPARE(om.mediaOverlays().first().rect, next.rect);
}

void TestOverlayManager::mediaLimitsPerKind()
{
    OverlayManager om;
    for (int id = 0; id < 4; ++id)
        QVERIFY(om.setMediaOverlay(media(id, MediaOverlayData::kVideo, "v.mp4")));
    QTest::ignoreMessage(QtWarningMsg, "OverlayManager: video overlay limit reached (max 4 )");
    QVERIFY(!om.setMediaOverlay(media(4, MediaOverlayData::kVideo, "v.mp4")));
    for (int id = 10; id < 14; ++id)
        QVERIFY(om.setMediaOverlay(media(id, MediaOverlayData::kImage, "")));
    QTest::ignoreMessage(QtWarningMsg, "OverlayManager: image overlay limit reached (max 4 )");
    QVERIFY(!om.setMediaOverlay(media(14, MediaOverlayData::kImage, "")));
    QCOMPARE(om.mediaOverlays().size(), 8);

    QSignalSpy changed(&om, &OverlayManager::overlayChanged);
    om.removeMediaOverlay(99);
    QCOMPARE(changed.count(), 0);
    om.removeMediaOverlay(2);
    QCOMPARE(changed.count(), 1);
    QVERIFY(!om.hasMediaOverlay(2));
    QVERIFY(om.setMediaOverlay(media(4, MediaOverlayData::kVideo, "v.mp4")));
}

void TestOverlayManager::scrollClockRestartRules_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("restarts");
    for (const char* f : {"text", "pointSize", "family", "posX", "posY", "bold", "italic", "scrollStep", "scrollTimes",
                          "scrollDirection", "viewportHeight"})
        QTest::newRow(f) << QString(f) << true;
    for (const char* f : {"fontColor", "opacity", "underline", "background", "shadow", "outline", "zIndex", "enabled"})
        QTest::newRow(f) << QString(f) << false;
}

void TestOverlayManager::scrollClockRestartRules()
{
    QFETCH(QString, field);
    QFETCH(bool, restarts);

    ManualClock clock;
    OverlayManager om;
    om.setMonotonicClock(clock.fn());
    TextOverlayData t = text(1);
    t.scrollable = true;
    t.scrollDirection = TextOverlayData::kScrollLeftToRight;
    om.setTextOverlay(t);
    clock.ns += 2'500'000'000;
    QCOMPARE(om.textScrollElapsedUs(1), qint64(2'500'000));

    const QHash<QString, std::function<void(TextOverlayData&)>> edits{
        {"text", [](TextOverlayData& d) { d.text += "!"; }},
        {"pointSize", [](TextOverlayData& d) { d.font.setPointSize(40); }},
        {"family", [](TextOverlayData& d) { d.font.setFamily("DejaVu Sans"); }},
        {"posX", [](TextOverlayData& d) { d.posX = 0.5; }},
        {"posY", [](TextOverlayData& d) { d.posY = 0.5; }},
        {"bold", [](TextOverlayData& d) { d.bold = true; }},
        {"italic", [](TextOverlayData& d) { d.italic = true; }},
        {"scrollStep", [](TextOverlayData& d) { d.scrollStep = 5; }},
        {"scrollTimes", [](TextOverlayData& d) { d.scrollTimes = 3; }},
        {"scrollDirection", [](TextOverlayData& d) { d.scrollDirection = 2; }},
        {"viewportHeight", [](TextOverlayData& d) { d.scrollViewportHeight = 0.2; }},
        {"fontColor", [](TextOverlayData& d) { d.fontColor = Qt::blue; }},
        {"opacity", [](TextOverlayData& d) { d.opacity = 10; }},
        {"underline", [](TextOverlayData& d) { d.underline = true; }},
        {"background", [](TextOverlayData& d) { d.backgroundEnabled = true; }},
        {"shadow", [](TextOverlayData& d) { d.shadow = true; }},
        {"outline", [](TextOverlayData& d) { d.outline = true; }},
        {"zIndex", [](TextOverlayData& d) { d.zIndex = 9; }},
        {"enabled", [](TextOverlayData& d) { d.enabled = false; }},
    };
    edits.value(field)(t);
    om.setTextOverlay(t);
    clock.ns += 500'000'000;
    QCOMPARE(om.textScrollElapsedUs(1), restarts ? qint64(500'000) : qint64(3'000'000));

    t.scrollable = false; // not scrolling: always 0
    om.setTextOverlay(t);
    QCOMPARE(om.textScrollElapsedUs(1), qint64(0));
    QCOMPARE(om.textScrollElapsedUs(99), qint64(0));
}

void TestOverlayManager::imageLoadCommitsAndStaleResultDropped()
{
    const QString red = colourImage("red", 64, 32);
    const QString blue = colourImage("blue", 32, 64);
    QVERIFY(!red.isEmpty() && !blue.isEmpty());

    OverlayManager om;
    QSignalSpy changed(&om, &OverlayManager::overlayChanged);
    QVERIFY(om.setMediaOverlay(media(5, MediaOverlayData::kImage, red)));
    QCOMPARE(om.imageLoadGeneration(5), 1);
    QVERIFY(!om.hasVisibleOverlays()); // visible, but the picture has not loaded yet
    QCOMPARE(om.visibleOverlayCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(om.imageOverlayImage(5).size(), QSize(64, 32), 5000);
    QVERIFY(om.hasVisibleOverlays());

    // A new path drops the old picture at once; the old load's result, if it
    // arrives late, must not come back.
    MediaOverlayData m = media(5, MediaOverlayData::kImage, blue);
    QVERIFY(om.setMediaOverlay(m));
    QVERIFY(om.imageOverlayImage(5).isNull());
    QCOMPARE(om.imageLoadGeneration(5), 2);
    const int before = int(changed.count());
    om.tryCommitImageOverlayCache(5, red, 1, QImage(64, 32, QImage::Format_RGB32));
    QVERIFY(om.imageOverlayImage(5).isNull());
    // Right generation, but the path changed since: dropped too.
    om.tryCommitImageOverlayCache(5, red, 2, QImage(64, 32, QImage::Format_RGB32));
    QVERIFY(om.imageOverlayImage(5).isNull());
    QCOMPARE(int(changed.count()), before);
    QTRY_COMPARE_WITH_TIMEOUT(om.imageOverlayImage(5).size(), QSize(32, 64), 5000);

    // Moving keeps the picture; a removed overlay takes no late results.
    m.rect.translate(0.1, 0.1);
    QVERIFY(om.setMediaOverlay(m));
    QCOMPARE(om.imageOverlayImage(5).size(), QSize(32, 64));
    om.removeMediaOverlay(5);
    om.tryCommitImageOverlayCache(5, blue, 2, QImage(8, 8, QImage::Format_RGB32));
    QVERIFY(om.imageOverlayImage(5).isNull());
}

void TestOverlayManager::imageReloadedAtCanvasBound()
{
    const QString wide = colourImage("green", 4000, 100);
    QVERIFY(!wide.isEmpty());
    OverlayManager om;
    om.setCanvasSize(QSize(640, 360)); // bound stays 1920 on small canvases
    QVERIFY(om.setMediaOverlay(media(1, MediaOverlayData::kImage, wide)));
    QTRY_COMPARE_WITH_TIMEOUT(om.imageOverlayImage(1).width(), 1920, 5000);
    om.setCanvasSize(QSize(3840, 2160));
    QCOMPARE(om.imageOverlayImage(1).width(), 1920); // kept until the reload commits
    QTRY_COMPARE_WITH_TIMEOUT(om.imageOverlayImage(1).width(), 3840, 5000);
    QCOMPARE(om.imageLoadGeneration(1), 2);
}

void TestOverlayManager::loadImageScaledBounds_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("bound");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("fits") << 300 << 200 << 400 << QSize(300, 200);
    QTest::newRow("wide") << 800 << 200 << 400 << QSize(400, 100);
    QTest::newRow("tall") << 200 << 800 << 400 << QSize(100, 400);
    QTest::newRow("zero bound") << 300 << 200 << 0 << QSize();
}

void TestOverlayManager::loadImageScaledBounds()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(int, bound);
    QFETCH(QSize, expected);
    const QString path = colourImage("yellow", w, h);
    const QImage image = loadImageScaled(path, bound, true);
    QCOMPARE(image.isNull() ? QSize() : image.size(), expected);
    QVERIFY(loadImageScaled(path + ".missing", 100, true).isNull());
    QVERIFY(loadImageScaled(QString(), 100, true).isNull());
}

void TestOverlayManager::videoFrameStoredAtBoxSize_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QRectF>("box");
    QTest::addColumn<QSize>("stored");
    QTest::newRow("720p into half box") << QSize(1280, 720) << QRectF(0, 0, 0.5, 0.5) << QSize(960, 540);
    QTest::newRow("exact box size") << QSize(960, 540) << QRectF(0.5, 0.5, 0.5, 0.5) << QSize(960, 540);
    QTest::newRow("4:3 into 16:9 box") << QSize(640, 480) << QRectF(0, 0, 0.5, 0.5) << QSize(720, 540);
    QTest::newRow("no box keeps size") << QSize(320, 180) << QRectF() << QSize(320, 180);
    QTest::newRow("box beyond canvas") << QSize(1280, 720) << QRectF(0, 0, 2.0, 2.0) << QSize(1920, 1080);
}

void TestOverlayManager::videoFrameStoredAtBoxSize()
{
    QFETCH(QSize, frame);
    QFETCH(QRectF, box);
    QFETCH(QSize, stored);
    OverlayManager om;
    QSignalSpy changed(&om, &OverlayManager::overlayChanged);
    QVERIFY(om.setMediaOverlay(media(3, MediaOverlayData::kVideo, "v.mp4", box)));
    QImage image(frame, QImage::Format_RGBA8888);
    image.fill(Qt::cyan);
    om.setVideoOverlayFrame(3, image);
    om.setVideoOverlayFrame(8, image); // no such overlay: ignored
    QCOMPARE(om.videoOverlayFrame(3).size(), stored);
    QCOMPARE(om.videoOverlayFrame(3).pixelColor(stored.width() / 2, stored.height() / 2), QColor(Qt::cyan));
    QVERIFY(om.videoOverlayFrame(8).isNull());
    QCOMPARE(changed.count(), 1); // frames emit nothing
    om.clearVideoOverlayFrame(3);
    QVERIFY(om.videoOverlayFrame(3).isNull());
}

void TestOverlayManager::fourOverlayVideosKeepAdvancingAt4K()
{
    // The overlay pool allows four live frames at 4K. If the model kept the
    // decoders' own buffers, four overlay videos would hold all of them and
    // no decoder could deliver another frame.
    FramePool overlayPool(6, 1920, 1080);
    overlayPool.setFrameSize(3840, 2160);
    QCOMPARE(overlayPool.maxLive(), 4);
    OverlayManager om;
    om.setCanvasSize(QSize(3840, 2160));
    for (int id = 0; id < 4; ++id)
        QVERIFY(om.setMediaOverlay(media(id, MediaOverlayData::kVideo, "v.mp4",
                                         QRectF(0.5 * (id % 2), 0.5 * (id / 2), 0.5, 0.5))));
    for (int round = 0; round < 5; ++round) {
        for (int id = 0; id < 4; ++id) {
            FrameTokenPtr token = overlayPool.tryAcquire();
            QVERIFY2(token, qPrintable(QString("no overlay frame free in round %1 for video %2").arg(round).arg(id)));
            token->width = 1920; // decoders deliver at the box size
            token->height = 1080;
            token->bytesPerLine = 1920 * 4;
            token->data.resize(1920 * 1080 * 4);
            token->data.fill(char(round * 40 + id));
            QImage wrapped = wrapPooledFrame(std::move(token));
            om.setVideoOverlayFrame(id, wrapped);
        }
        QCOMPARE(overlayPool.inUse(), 0);
        for (int id = 0; id < 4; ++id) {
            const QImage& f = om.videoOverlayFrame(id);
            QCOMPARE(f.size(), QSize(1920, 1080));
            QCOMPARE(int(f.constBits()[0]), round * 40 + id);
        }
    }
}

void TestOverlayManager::visibilityCounts()
{
    OverlayManager om;
    QVERIFY(!om.hasVisibleOverlays());
    QVERIFY(!om.hasDynamicOverlays());
    QCOMPARE(om.visibleOverlayCount(), 0);

    om.setTextOverlay(text(1, ""));
    TextOverlayData off = text(2);
    off.enabled = false;
    om.setTextOverlay(off);
    QVERIFY(!om.hasVisibleOverlays());
    QCOMPARE(om.visibleOverlayCount(), 0);

    QVERIFY(om.setMediaOverlay(media(3, MediaOverlayData::kVideo, "v.mp4")));
    QVERIFY(om.hasDynamicOverlays()); // a visible video counts even before its first frame
    QVERIFY(!om.hasVisibleOverlays());
    QCOMPARE(om.visibleOverlayCount(), 1);
    om.setVideoOverlayFrame(3, QImage(16, 16, QImage::Format_RGBA8888));
    QVERIFY(om.hasVisibleOverlays());

    TextOverlayData scrolling = text(4);
    scrolling.scrollable = true;
    scrolling.scrollDirection = 2;
    om.removeMediaOverlay(3);
    QVERIFY(!om.hasDynamicOverlays());
    om.setTextOverlay(scrolling);
    QVERIFY(om.hasDynamicOverlays());
    QCOMPARE(om.visibleOverlayCount(), 1);

    om.setDoodleStrokes({DoodleStroke{DoodleStroke::kLine, {{0, 0}, {1, 1}}, 0.01, Qt::red}});
    QCOMPARE(om.visibleOverlayCount(), 2);
}

void TestOverlayManager::renderDoodleEdges()
{
    OverlayManager om;
    QVERIFY(om.renderDoodle(QSize(100, 100)).isNull());
    const QList<DoodleStroke> strokes{
        {DoodleStroke::kFreehand, {{0.1, 0.5}, {0.9, 0.5}}, 0.1, Qt::blue},
        {DoodleStroke::kEraser, {{0.5, 0.0}, {0.5, 1.0}}, 0.2, Qt::red},
    };
    QSignalSpy doodle(&om, &OverlayManager::doodleOverlayChanged);
    om.setDoodleStrokes(strokes);
    QCOMPARE(doodle.count(), 1);
    QVERIFY(om.renderDoodle(QSize(0, 100)).isNull());
    const QImage& layer = om.renderDoodle(QSize(200, 100));
    QCOMPARE(layer.size(), QSize(200, 100));
    QCOMPARE(layer.pixelColor(40, 50), QColor(Qt::blue));
    QCOMPARE(layer.pixelColor(100, 50).alpha(), 0); // the eraser cleared the middle
    QCOMPARE(layer.pixelColor(40, 10).alpha(), 0);
    // The areas reported as drawn cover the stroke and leave empty bands out.
    QRegion drawn;
    for (const QRect& r : om.renderedDoodleAreas())
        drawn += r;
    QVERIFY(drawn.contains(QRect(20, 45, 60, 10)) && drawn.contains(QRect(120, 45, 60, 10)));
    QVERIFY(!drawn.contains(QPoint(40, 10)) && !drawn.contains(QPoint(40, 90)));
    const qint64 key = layer.cacheKey();
    QCOMPARE(om.renderDoodle(QSize(200, 100)).cacheKey(), key); // rendered once per size
    om.setCanvasSize(QSize(1280, 720));
    QVERIFY(om.renderDoodle(QSize(200, 100)).cacheKey() != key);
    om.setDoodleStrokes({});
    QVERIFY(om.renderDoodle(QSize(200, 100)).isNull());
}

void TestOverlayManager::canvasChangeRendersTheDrawingAside()
{
    // A heavy drawing: wide freehand strokes across the whole picture.
    QList<DoodleStroke> strokes;
    for (int i = 0; i < 40; ++i) {
        DoodleStroke s{DoodleStroke::kFreehand, {}, 0.02, QColor::fromHsv(i * 9, 255, 255)};
        for (int k = 0; k < 12; ++k)
            s.points.append(QPointF(((i * 7 + k * 13) % 29) / 28.0, ((i * 11 + k * 5) % 23) / 22.0));
        strokes.append(s);
    }
    const auto rendered = [&strokes](QSize size) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        paintDoodleStrokes(image, strokes);
        return image;
    };

    OverlayManager om;
    om.setCanvasSize(QSize(640, 360));
    om.setDoodleStrokes(strokes);
    QCOMPARE(om.renderDoodle(om.canvas()), rendered(QSize(640, 360)));

    QSignalSpy changed(&om, &OverlayManager::overlayChanged);
    om.setCanvasSize(QSize(1920, 1080));
    // At once: the previous rendering scaled to the new size stands in.
    const QImage standIn = om.renderDoodle(om.canvas());
    QCOMPARE(standIn.size(), QSize(1920, 1080));
    QCOMPARE(standIn.format(), QImage::Format_ARGB32_Premultiplied);
    QVERIFY(!om.renderedDoodleAreas().isEmpty());
    // Then the exact rendering commits and is announced.
    QTRY_VERIFY_WITH_TIMEOUT(om.renderDoodle(om.canvas()).cacheKey() != standIn.cacheKey(), 10000);
    QCOMPARE(om.renderDoodle(om.canvas()), rendered(QSize(1920, 1080)));
    QVERIFY(!changed.isEmpty());

    // Two changes in a row, the first never drawn: the last drawing still
    // stands in at once.
    om.setCanvasSize(QSize(1280, 720));
    om.setCanvasSize(QSize(960, 540));
    const QImage secondStandIn = om.renderDoodle(om.canvas());
    QCOMPARE(secondStandIn.size(), QSize(960, 540));
    QTRY_VERIFY_WITH_TIMEOUT(om.renderDoodle(om.canvas()).cacheKey() != secondStandIn.cacheKey(), 10000);
    QCOMPARE(om.renderDoodle(om.canvas()), rendered(QSize(960, 540)));

    // New strokes while a rendering is under way: it is dropped, and the
    // layer shows the new strokes.
    om.setCanvasSize(QSize(1280, 720));
    strokes.removeLast();
    om.setDoodleStrokes(strokes);
    QCOMPARE(om.renderDoodle(om.canvas()), rendered(QSize(1280, 720)));
    const qint64 key = om.renderDoodle(om.canvas()).cacheKey();
    QTest::qWait(300); // a stale commit, had it come, would replace the layer
    QCOMPARE(om.renderDoodle(om.canvas()).cacheKey(), key);
}

QUORB_TEST_MAIN(TestOverlayManager)
#include "tst_overlaymanager.moc"
