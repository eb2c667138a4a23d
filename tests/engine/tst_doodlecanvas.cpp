#include "engine/doodlecanvas.h"
#include "engine/overlaymanager.h"
#include "support/testsupport.h"

#include <QSignalSpy>

using Points = QList<QPointF>;

class TestDoodleCanvas : public QObject {
    Q_OBJECT
private slots:
    void constructionClearsLayer();
    void toolGestures_data();
    void toolGestures();
    void toolNoneIgnoresInput();
    void polygonGrowsPerClick();
    void undoDuringDrag();
    void clearForgetsEverything();
    void penWidthClampedAndScaled();
    void savePngReports();
};

void TestDoodleCanvas::constructionClearsLayer()
{
    OverlayManager om;
    om.setDoodleStrokes({DoodleStroke{DoodleStroke::kLine, {{0, 0}, {1, 1}}, 0.01, Qt::red}});
    QVERIFY(om.hasDoodleStrokes());
    DoodleCanvas canvas(&om);
    QVERIFY(!om.hasDoodleStrokes());
}

void TestDoodleCanvas::toolGestures_data()
{
    QTest::addColumn<int>("tool");
    QTest::addColumn<Points>("moves");
    QTest::addColumn<QPointF>("release");
    QTest::addColumn<int>("kind");
    QTest::addColumn<Points>("points");

    const QPointF a(0.1, 0.2), b(0.3, 0.4), c(0.5, 0.6), d(0.7, 0.8);
    QTest::newRow("pen path") << 1 << Points{b, c} << d << 0 << Points{a, b, c, d};
    QTest::newRow("pen release on last move") << 1 << Points{b, c} << c << 0 << Points{a, b, c};
    QTest::newRow("pen click") << 1 << Points{} << a << 0 << Points{a};
    QTest::newRow("eraser path") << 7 << Points{b} << c << 1 << Points{a, b, c};
    QTest::newRow("line follows pointer") << 2 << Points{b, c} << d << 2 << Points{a, d};
    QTest::newRow("line click") << 2 << Points{} << a << 2 << Points{a, a};
    QTest::newRow("rectangle") << 3 << Points{b} << c << 3 << Points{a, c};
    QTest::newRow("ellipse") << 4 << Points{b, c, d} << d << 4 << Points{a, d};
    QTest::newRow("curve") << 6 << Points{c} << b << 6 << Points{a, b};
    QTest::newRow("unknown tool: freehand kind, shape moves") << 42 << Points{b, c} << d << 0 << Points{a, d};
    QTest::newRow("outside points clamped") << 2 << Points{QPointF(1.5, -3)} << QPointF(1.2, -0.1) << 2
                                            << Points{a, QPointF(1, 0)};
}

void TestDoodleCanvas::toolGestures()
{
    QFETCH(int, tool);
    QFETCH(Points, moves);
    QFETCH(QPointF, release);
    QFETCH(int, kind);
    QFETCH(Points, points);

    OverlayManager om;
    DoodleCanvas canvas(&om);
    canvas.setTool(tool);
    canvas.setColor(Qt::green);
    canvas.handlePress(QPointF(0.1, 0.2));
    QCOMPARE(om.strokes().size(), 1); // the stroke in progress is shown
    for (const QPointF& p : moves)
        canvas.handleMove(p);
    QCOMPARE(om.strokes().last().points.size(), tool == 1 || tool == 7 ? 1 + moves.size()
                                                                                    : qMin(2, 1 + int(moves.size())));
    canvas.handleRelease(release);

    QCOMPARE(canvas.finishedStrokes().size(), 1);
    const DoodleStroke s = om.strokes().first();
    QCOMPARE(om.strokes().size(), 1);
    QCOMPARE(s.kind, kind);
    QCOMPARE(s.points, points);
    QCOMPARE(s.colour, QColor(Qt::green));
    QCOMPARE(s.width, 3.0 / 360.0);

    // Moves and releases after the release belong to no stroke.
    canvas.handleMove(QPointF(0.9, 0.9));
    canvas.handleRelease(QPointF(0.9, 0.9));
    QCOMPARE(om.strokes().size(), 1);
}

void TestDoodleCanvas::toolNoneIgnoresInput()
{
    OverlayManager om;
    DoodleCanvas canvas(&om);
    QSignalSpy changed(&canvas, &DoodleCanvas::canvasChanged);
    canvas.handlePress(QPointF(0.5, 0.5));
    canvas.handleMove(QPointF(0.6, 0.5));
    canvas.handleRelease(QPointF(0.7, 0.5));
    QVERIFY(om.strokes().isEmpty());
    QCOMPARE(changed.count(), 0);

    DoodleCanvas orphan(nullptr); // without a model nothing happens, nothing crashes
    orphan.setTool(1);
    orphan.handlePress(QPointF(0.5, 0.5));
    orphan.handleRelease(QPointF(0.6, 0.5));
    QVERIFY(orphan.finishedStrokes().isEmpty());
    QTest::ignoreMessage(QtWarningMsg, "DoodleCanvas: no drawing export target");
    QVERIFY(!orphan.savePng(QDir::temp().filePath("never.png")));
}

void TestDoodleCanvas::polygonGrowsPerClick()
{
    OverlayManager om;
    DoodleCanvas canvas(&om);
    canvas.setTool(5);
    canvas.handlePress(QPointF(0.1, 0.1));
    canvas.handleMove(QPointF(0.9, 0.9)); // moves and releases play no part
    canvas.handleRelease(QPointF(0.9, 0.9));
    canvas.handlePress(QPointF(0.5, 0.1));
    canvas.handlePress(QPointF(0.5, 0.5));
    QCOMPARE(om.strokes().size(), 1);
    QCOMPARE(om.strokes().first().kind, int(DoodleStroke::kPolygon));
    QCOMPARE(om.strokes().first().points, (Points{{0.1, 0.1}, {0.5, 0.1}, {0.5, 0.5}}));

    // Another tool and back: the next click starts a new polygon.
    canvas.setTool(1);
    canvas.setTool(5);
    canvas.handlePress(QPointF(0.2, 0.8));
    QCOMPARE(om.strokes().size(), 2);
    QCOMPARE(om.strokes().last().points.size(), 1);

    // Undo removes the whole open polygon; the next click starts afresh.
    canvas.undo();
    QCOMPARE(om.strokes().size(), 1);
    canvas.handlePress(QPointF(0.3, 0.3));
    QCOMPARE(om.strokes().size(), 2);
    QCOMPARE(om.strokes().last().points.size(), 1);
}

void TestDoodleCanvas::undoDuringDrag()
{
    OverlayManager om;
    DoodleCanvas canvas(&om);
    canvas.setTool(2);
    canvas.handlePress(QPointF(0.1, 0.1));
    canvas.handleRelease(QPointF(0.2, 0.2));
    canvas.handlePress(QPointF(0.3, 0.3));
    canvas.handleRelease(QPointF(0.4, 0.4));
    canvas.setTool(1);
    canvas.handlePress(QPointF(0.5, 0.5));
    canvas.handleMove(QPointF(0.6, 0.6));
    QCOMPARE(om.strokes().size(), 3);

    canvas.undo();
    QCOMPARE(om.strokes().size(), 1);
    QCOMPARE(om.strokes().first().points.first(), QPointF(0.1, 0.1));
    // The dropped drag does not come back with further moves or its release.
    canvas.handleMove(QPointF(0.7, 0.7));
    canvas.handleRelease(QPointF(0.8, 0.8));
    QCOMPARE(om.strokes().size(), 1);

    canvas.undo();
    canvas.undo(); // nothing left: harmless
    QVERIFY(om.strokes().isEmpty());
    QVERIFY(!om.hasDoodleStrokes());
}

void TestDoodleCanvas::clearForgetsEverything()
{
    OverlayManager om;
    DoodleCanvas canvas(&om);
    QSignalSpy changed(&canvas, &DoodleCanvas::canvasChanged);
    canvas.setTool(5);
    canvas.handlePress(QPointF(0.1, 0.1));
    canvas.handlePress(QPointF(0.2, 0.1));
    canvas.clear();
    QVERIFY(om.strokes().isEmpty());
    canvas.handlePress(QPointF(0.3, 0.3));
    QCOMPARE(om.strokes().size(), 1);
    QCOMPARE(om.strokes().first().points.size(), 1);
    QCOMPARE(changed.count(), 4);
}

void TestDoodleCanvas::penWidthClampedAndScaled()
{
    OverlayManager om;
    DoodleCanvas canvas(&om);
    canvas.setPenWidth(0);
    QCOMPARE(canvas.currentPenWidth(), 1);
    canvas.setPenWidth(250);
    QCOMPARE(canvas.currentPenWidth(), 100);
    canvas.setPenWidth(3);
    canvas.setColor(Qt::white);
    canvas.setTool(2);
    canvas.handlePress(QPointF(0.5, 0.2));
    canvas.handleRelease(QPointF(0.5, 0.8));

    // Width 3 of the 360-line reference: 9 pixels on a 1080-line picture.
    const QImage& layer = om.renderDoodle(QSize(1920, 1080));
    double covered = 0; // antialiased edges count by their coverage
    for (int x = 940; x < 980; ++x)
        covered += layer.pixelColor(x, 540).alphaF();
    QVERIFY2(qAbs(covered - 9.0) < 0.5, qPrintable(QString::number(covered)));
}

void TestDoodleCanvas::savePngReports()
{
    OverlayManager om;
    om.setCanvasSize(QSize(640, 360));
    DoodleCanvas canvas(&om);
    QTemporaryDir dir;
    const QString path = dir.filePath("drawing.png");

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DoodleCanvas: nothing drawn"));
    QVERIFY(!canvas.savePng(path)); // an empty drawing writes nothing
    QVERIFY(!QFile::exists(path));

    canvas.setTool(3);
    canvas.handlePress(QPointF(0.25, 0.25));
    canvas.handleRelease(QPointF(0.75, 0.75));
    QVERIFY(canvas.savePng(path));
    const QImage saved(path);
    QCOMPARE(saved.size(), QSize(640, 360));
    QVERIFY(saved.pixelColor(160, 180).alpha() > 0);

    // A parent that is a regular file cannot hold the drawing, even for root.
    const QString blocker = dir.filePath("file");
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DoodleCanvas: could not write drawing"));
    QVERIFY(!canvas.savePng(blocker + "/drawing.png"));
    QTest::ignoreMessage(QtWarningMsg, "DoodleCanvas: no drawing export target");
    QVERIFY(!canvas.savePng(QString()));
}

QUORB_TEST_MAIN(TestDoodleCanvas)
#include "tst_doodlecanvas.moc"
