#include "engine/doodlecanvas.h"
#include "engine/framepipeline.h"
#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "support/programfeed.h"
#include "support/testsupport.h"
#include "ui/previewwidget.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>

class PreviewWidgetTestAccess {
public:
    static const QImage& currentImage(const PreviewWidget& w) { return w.currentImage; }
    static QSize pictureSize(const PreviewWidget& w) { return w.pictureSize; }
    static int conversions(const PreviewWidget& w) { return w.conversions; }
    static bool hasPending(const PreviewWidget& w) { return bool(w.pendingFrame); }
    static bool scheduled(const PreviewWidget& w) { return w.conversionScheduled; }
    static QWidget* layer(PreviewWidget& w)
    {
        for (QWidget* child : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (child != w.label)
                return child;
        }
        return nullptr;
    }
    static QLabel* label(PreviewWidget& w) { return w.label; }
};
using Access = PreviewWidgetTestAccess;

namespace {

// Red, green, blue and white quadrants (top-left, top-right, bottom-left,
// bottom-right), so misplaced or mirrored pictures show.
QImage quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGBA8888);
    QPainter p(&img);
    p.fillRect(0, 0, w / 2, h / 2, Qt::red);
    p.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
    p.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    p.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, Qt::white);
    return img;
}

QImage solid(int w, int h, QColor c)
{
    QImage img(w, h, QImage::Format_RGBA8888);
    img.fill(c);
    return img;
}

FrameTokenPtr tokenFrom(FramePool& pool, const QImage& image)
{
    FrameTokenPtr t = pool.acquire();
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    t->width = rgba.width();
    t->height = rgba.height();
    t->bytesPerLine = int(rgba.bytesPerLine());
    t->pixelFormat = FrameToken::kRgba8888;
    t->data = QByteArray(reinterpret_cast<const char*>(rgba.constBits()), int(rgba.sizeInBytes()));
    return t;
}

void sendMouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

bool near(QColor a, QColor b, int tolerance = 40)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance;
}

std::unique_ptr<PreviewWidget> shownPreview(QSize size)
{
    auto w = std::make_unique<PreviewWidget>(nullptr);
    w->resize(size);
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        qWarning("preview not exposed");
    return w;
}

} // namespace

class TestPreviewWidget : public QObject {
    Q_OBJECT
private slots:
    void conversionTarget_data();
    void conversionTarget();
    void shownSizes_data();
    void shownSizes();
    void shownSizesAtScaleFactor2();
    void newestFrameOnly();
    void laterImageOrClearMakesConversionStale_data();
    void laterImageOrClearMakesConversionStale();
    void barsAndQuadrants();
    void badTokensShowNothing_data();
    void badTokensShowNothing();
    void mapPoint_data();
    void mapPoint();
    void drawingReachesCanvas();
    void drawingWithoutCanvasOrInBars();
    void playedClipReachesPreview();
};

void TestPreviewWidget::conversionTarget_data()
{
    QTest::addColumn<QSize>("frame");
    QTest::addColumn<QSize>("label");
    QTest::addColumn<qreal>("dpr");
    QTest::addColumn<QSize>("target");
    QTest::newRow("4K on a large label: capped at 1080p") << QSize(3840, 2160) << QSize(2000, 1200) << 1.0
                                                          << QSize(1920, 1080);
    QTest::newRow("720p on its half") << QSize(1280, 720) << QSize(640, 360) << 1.0 << QSize(640, 360);
    QTest::newRow("720p on its half at ratio 2") << QSize(1280, 720) << QSize(640, 360) << 2.0 << QSize(1280, 720);
    QTest::newRow("small frame enlarged up to the box") << QSize(640, 360) << QSize(1280, 720) << 1.0
                                                        << QSize(1280, 720);
    QTest::newRow("ratio 1.5 rounds halves up") << QSize(7680, 4320) << QSize(641, 361) << 1.5 << QSize(962, 542);
    QTest::newRow("ratio below 1 counts as 1") << QSize(1920, 1080) << QSize(800, 450) << 0.5 << QSize(800, 450);
    QTest::newRow("label without area: one pixel") << QSize(1920, 1080) << QSize(0, 0) << 1.0 << QSize(1, 1);
    QTest::newRow("square frame: cap by height") << QSize(4000, 4000) << QSize(2000, 2000) << 1.0
                                                 << QSize(1080, 1080);
}

void TestPreviewWidget::conversionTarget()
{
    QFETCH(QSize, frame);
    QFETCH(QSize, label);
    QFETCH(qreal, dpr);
    QFETCH(QSize, target);
    QCOMPARE(previewConversionTarget(frame, label, dpr), target);
}

void TestPreviewWidget::shownSizes_data()
{
    // Expected sizes in device pixels at ratio 1 and at ratio 2.
    QTest::addColumn<bool>("still");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QSize>("kept1");
    QTest::addColumn<QSize>("shown1");
    QTest::addColumn<QSize>("kept2");
    QTest::addColumn<QSize>("shown2");
    QTest::newRow("4000x3000 still on 800x450") << true << QSize(4000, 3000) << QSize(800, 450) << QSize(4000, 3000)
                                                << QSize(600, 450) << QSize(4000, 3000) << QSize(1200, 900);
    QTest::newRow("3840x2160 frame on 2000x1200") << false << QSize(3840, 2160) << QSize(2000, 1200)
                                                  << QSize(1920, 1080) << QSize(2000, 1125) << QSize(1920, 1080)
                                                  << QSize(4000, 2250);
    QTest::newRow("1280x720 frame on 640x360") << false << QSize(1280, 720) << QSize(640, 360) << QSize(640, 360)
                                               << QSize(640, 360) << QSize(1280, 720) << QSize(1280, 720);
    QTest::newRow("640x360 frame on 1280x720") << false << QSize(640, 360) << QSize(1280, 720) << QSize(1280, 720)
                                               << QSize(1280, 720) << QSize(1920, 1080) << QSize(2560, 1440);
    QTest::newRow("square frame on 800x450") << false << QSize(1000, 1000) << QSize(800, 450) << QSize(450, 450)
                                             << QSize(450, 450) << QSize(900, 900) << QSize(900, 900);
}

void TestPreviewWidget::shownSizes()
{
    QFETCH(bool, still);
    QFETCH(QSize, source);
    QFETCH(QSize, widget);
    QFETCH(QSize, kept1);
    QFETCH(QSize, shown1);
    QFETCH(QSize, kept2);
    QFETCH(QSize, shown2);

    auto w = shownPreview(widget);
    QCOMPARE(w->size(), widget);
    const qreal dpr = w->devicePixelRatioF();
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2"))
        QCOMPARE(dpr, 2.0);
    const bool doubled = qFuzzyCompare(dpr, 2.0);
    FramePool pool(4, source.width(), source.height());
    if (still) {
        w->setProgramImage(quadrants(source.width(), source.height()));
    } else {
        w->setProgramFrame(tokenFrom(pool, quadrants(source.width(), source.height())));
        QTRY_VERIFY(!Access::scheduled(*w));
    }
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(Access::currentImage(*w).size(), doubled ? kept2 : kept1);
    QCOMPARE(Access::label(*w)->pixmap().size(), doubled ? shown2 : shown1);
    QCOMPARE(Access::pictureSize(*w), source);
}

void TestPreviewWidget::shownSizesAtScaleFactor2()
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_SCALE_FACTOR", "2");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"shownSizes"});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray out = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, out.constData());
}

void TestPreviewWidget::newestFrameOnly()
{
    auto w = shownPreview(QSize(640, 360));
    FramePool pool(8, 320, 180);
    w->setProgramFrame(tokenFrom(pool, solid(320, 180, Qt::red)));
    w->setProgramFrame(tokenFrom(pool, solid(320, 180, Qt::green)));
    w->setProgramFrame(tokenFrom(pool, solid(320, 180, Qt::blue)));
    // The two replaced frames went back before any conversion ran.
    QCOMPARE(pool.inUse(), 1);
    QCOMPARE(Access::conversions(*w), 0);
    QTRY_VERIFY(!Access::scheduled(*w));
    QCOMPARE(Access::conversions(*w), 1);
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(Access::currentImage(*w).pixelColor(10, 10), QColor(Qt::blue));
    // Later frames are converted again, and still nothing is held.
    w->setProgramFrame(tokenFrom(pool, solid(320, 180, Qt::green)));
    QTRY_COMPARE(Access::conversions(*w), 2);
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(Access::currentImage(*w).pixelColor(10, 10), QColor(Qt::green));
}

void TestPreviewWidget::laterImageOrClearMakesConversionStale_data()
{
    QTest::addColumn<bool>("clear");
    QTest::newRow("clearProgram") << true;
    QTest::newRow("setProgramImage") << false;
}

void TestPreviewWidget::laterImageOrClearMakesConversionStale()
{
    QFETCH(bool, clear);
    auto w = shownPreview(QSize(640, 360));
    FramePool pool(4, 320, 240);
    w->setProgramFrame(tokenFrom(pool, solid(320, 240, Qt::red)));
    if (clear)
        w->clearProgram();
    else
        w->setProgramImage(solid(160, 90, Qt::green));
    QCOMPARE(pool.inUse(), 0);
    QTest::qWait(50);
    QCOMPARE(Access::conversions(*w), 0);
    if (clear) {
        QVERIFY(Access::label(*w)->pixmap().isNull());
        QCOMPARE(Access::pictureSize(*w), QSize(1920, 1080));
    } else {
        QCOMPARE(Access::label(*w)->pixmap().toImage().pixelColor(5, 5), QColor(Qt::green));
        QCOMPARE(Access::pictureSize(*w), QSize(160, 90));
    }
    // A frame after the stale call is converted normally.
    w->setProgramFrame(tokenFrom(pool, solid(320, 240, Qt::blue)));
    QTRY_COMPARE(Access::conversions(*w), 1);
    QCOMPARE(Access::currentImage(*w).pixelColor(5, 5), QColor(Qt::blue));
}

void TestPreviewWidget::barsAndQuadrants()
{
    auto w = shownPreview(QSize(800, 450));
    FramePool pool(2, 800, 600);
    w->setProgramFrame(tokenFrom(pool, quadrants(800, 600)));
    QTRY_COMPARE(Access::conversions(*w), 1);
    // A 4:3 picture on a 16:9 preview: 600x450 centred, bars left and right.
    const QImage shot = w->grab().toImage();
    QCOMPARE(shot.size(), QSize(800, 450));
    struct Probe {
        QPoint at;
        QColor colour;
    };
    const Probe probes[] = {{{50, 225}, Qt::black},  {{750, 225}, Qt::black}, {{95, 20}, Qt::black},
                            {{200, 100}, Qt::red},   {{600, 100}, Qt::green}, {{200, 350}, Qt::blue},
                            {{600, 350}, Qt::white}, {{105, 5}, Qt::red},     {{695, 445}, Qt::white}};
    for (const Probe& p : probes)
        QVERIFY2(near(shot.pixelColor(p.at), p.colour),
                 qPrintable(QString("(%1,%2) is %3").arg(p.at.x()).arg(p.at.y()).arg(shot.pixelColor(p.at).name())));
}

void TestPreviewWidget::badTokensShowNothing_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("format");
    QTest::newRow("height beyond the buffer") << 64 << 4000 << 256 << 256 * 48 << 1;
    QTest::newRow("stride shorter than a row") << 64 << 48 << 16 << 256 * 48 << 1;
    QTest::newRow("buffer one byte short") << 64 << 48 << 256 << 256 * 48 - 1 << 1;
    QTest::newRow("no bytes") << 64 << 48 << 256 << 0 << 1;
    QTest::newRow("zero width") << 0 << 48 << 256 << 256 * 48 << 1;
    QTest::newRow("negative height") << 64 << -48 << 256 << 256 * 48 << 1;
    QTest::newRow("unknown pixel format") << 64 << 48 << 256 << 256 * 48 << 7;
}

void TestPreviewWidget::badTokensShowNothing()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, stride);
    QFETCH(int, bytes);
    QFETCH(int, format);
    auto w = shownPreview(QSize(640, 360));
    FramePool pool(4, 64, 48);
    w->setProgramFrame(tokenFrom(pool, solid(400, 300, Qt::red)));
    QTRY_COMPARE(Access::conversions(*w), 1);

    FrameTokenPtr bad = pool.acquire();
    bad->width = width;
    bad->height = height;
    bad->bytesPerLine = stride;
    bad->pixelFormat = std::uint8_t(format);
    bad->data = QByteArray(bytes, char(0x7f));
    w->setProgramFrame(bad);
    bad.reset();
    QTRY_VERIFY(!Access::scheduled(*w));
    QCOMPARE(Access::conversions(*w), 1);
    QVERIFY(Access::currentImage(*w).isNull());
    QVERIFY(Access::label(*w)->pixmap().isNull());
    QCOMPARE(Access::pictureSize(*w), QSize(400, 300));
    QCOMPARE(pool.inUse(), 0);

    w->setProgramFrame(FrameTokenPtr());
    QTRY_VERIFY(!Access::scheduled(*w));
    QVERIFY(Access::currentImage(*w).isNull());
}

void TestPreviewWidget::mapPoint_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QPointF>("point");
    QTest::addColumn<bool>("clamp");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QPointF>("expected");
    // A 4:3 picture in an 800x450 area: 600x450 from x = 100 to 700.
    const QSize p43(800, 600);
    QTest::newRow("centre") << p43 << QPointF(400, 225) << false << true << QPointF(0.5, 0.5);
    QTest::newRow("left edge counts as inside") << p43 << QPointF(100, 0) << false << true << QPointF(0, 0);
    QTest::newRow("right edge counts as inside") << p43 << QPointF(700, 450) << false << true << QPointF(1, 1);
    QTest::newRow("bar without clamping") << p43 << QPointF(99, 200) << false << false << QPointF();
    QTest::newRow("bar clamped onto the edge") << p43 << QPointF(50, 225) << true << true << QPointF(0, 0.5);
    QTest::newRow("far outside clamped") << p43 << QPointF(2000, -300) << true << true << QPointF(1, 0);
    QTest::newRow("picture without area") << QSize(0, 600) << QPointF(400, 225) << true << false << QPointF();
}

void TestPreviewWidget::mapPoint()
{
    QFETCH(QSize, picture);
    QFETCH(QPointF, point);
    QFETCH(bool, clamp);
    QFETCH(bool, ok);
    QFETCH(QPointF, expected);
    const std::optional<QPointF> mapped = mapPointToPicture(picture, QSizeF(800, 450), point, clamp);
    QCOMPARE(mapped.has_value(), ok);
    if (ok)
        QCOMPARE(*mapped, expected);
}

void TestPreviewWidget::drawingReachesCanvas()
{
    auto w = shownPreview(QSize(800, 450));
    OverlayManager overlays;
    DoodleCanvas canvas(&overlays);
    canvas.setTool(DoodleCanvas::ToolPen);
    w->setOverlayManager(&overlays);
    w->setDoodleCanvas(&canvas);
    QWidget* layer = Access::layer(*w);
    QCOMPARE(layer->geometry(), QRect(0, 0, 800, 450));
    // A 4:3 still: the picture spans x = 100..700.
    w->setProgramImage(solid(800, 600, Qt::darkGray));

    // Left drag out of the widget to the left: pulled onto the picture's edge.
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(400, 225), Qt::LeftButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseMove, QPointF(-50, 90), Qt::NoButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(-80, 90), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(canvas.finishedStrokes().size(), 1);
    QCOMPARE(canvas.finishedStrokes().at(0).points, (QList<QPointF>{{0.5, 0.5}, {0, 0.2}}));
    QCOMPARE(overlays.strokes().size(), 1);

    // A right press starts a shape; moves without the left button are not
    // passed on, the release is.
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(250, 112.5), Qt::RightButton, Qt::RightButton);
    sendMouse(layer, QEvent::MouseMove, QPointF(300, 200), Qt::NoButton, Qt::RightButton);
    sendMouse(layer, QEvent::MouseMove, QPointF(320, 220), Qt::NoButton, Qt::NoButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(550, 337.5), Qt::RightButton, Qt::NoButton);
    QCOMPARE(canvas.finishedStrokes().size(), 2);
    QCOMPARE(canvas.finishedStrokes().at(1).points, (QList<QPointF>{{0.25, 0.25}, {0.75, 0.75}}));

    // After clearProgram the mapping keeps the last picture's aspect.
    w->clearProgram();
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(50, 225), Qt::LeftButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(60, 225), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(canvas.finishedStrokes().size(), 2);
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(100, 0), Qt::LeftButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(700, 450), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(canvas.finishedStrokes().size(), 3);
    QCOMPARE(canvas.finishedStrokes().at(2).points, (QList<QPointF>{{0, 0}, {1, 1}}));
}

void TestPreviewWidget::drawingWithoutCanvasOrInBars()
{
    auto w = shownPreview(QSize(800, 450));
    OverlayManager overlays;
    DoodleCanvas canvas(&overlays);
    canvas.setTool(DoodleCanvas::ToolPen);
    QSignalSpy changes(&canvas, &DoodleCanvas::canvasChanged);
    w->setDoodleCanvas(&canvas);
    w->setProgramImage(solid(800, 600, Qt::darkGray));
    QWidget* layer = Access::layer(*w);

    // A press in the bar starts nothing, so the drag and release after it
    // reach nothing either.
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(50, 225), Qt::LeftButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseMove, QPointF(400, 225), Qt::NoButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(400, 225), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(changes.count(), 0);

    // A preview whose canvas was taken away draws nothing.
    w->setDoodleCanvas(nullptr);
    sendMouse(layer, QEvent::MouseButtonPress, QPointF(400, 225), Qt::LeftButton, Qt::LeftButton);
    sendMouse(layer, QEvent::MouseButtonRelease, QPointF(400, 225), Qt::LeftButton, Qt::NoButton);
    QCOMPARE(changes.count(), 0);
    QVERIFY(canvas.finishedStrokes().isEmpty());
}

void TestPreviewWidget::playedClipReachesPreview()
{
    registerFrameTokenMetaType();
    const QString clip = testsupport::ensureFixture(
        "preview_magenta.mp4", {"-f", "lavfi", "-i", "color=c=0xff00ff:s=640x360:r=30:d=3", "-c:v", "libx264",
                                "-pix_fmt", "yuv420p"});
    QVERIFY(!clip.isEmpty());
    auto w = shownPreview(QSize(640, 360));
    OverlayManager overlays;
    FramePipeline pipeline;
    QObject::connect(&pipeline, &FramePipeline::programFrameReady, w.get(), &PreviewWidget::setProgramFrame,
                     Qt::QueuedConnection);
    QVERIFY2(testsupport::playClipAsProgram(pipeline, &overlays, clip), "the program channel delivered no frames");
    QTRY_VERIFY_WITH_TIMEOUT(near(w->grab().toImage().pixelColor(320, 180), QColor(255, 0, 255)), 5000);
    QCOMPARE(Access::currentImage(*w).size(), QSize(640, 360));
    // The preview keeps no pipeline token past its conversion, so the
    // program's pools never run dry and frames keep coming.
    const int before = Access::conversions(*w);
    QTRY_VERIFY_WITH_TIMEOUT(Access::conversions(*w) > before + 30, 10000);
    for (int i = 0; i < 20; ++i) {
        QTest::qWait(10);
        QVERIFY(!Access::hasPending(*w) || Access::scheduled(*w));
    }
}

QUORB_TEST_MAIN(TestPreviewWidget)
#include "tst_previewwidget.moc"
