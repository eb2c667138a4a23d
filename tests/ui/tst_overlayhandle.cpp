// The shared geometry of the overlay editor items: hit test, cursors, the
// resize rules of both kinds of box, clamping to the scene and box sizes
// set from outside.

#include "support/testsupport.h"
#include "ui/overlayhandle.h"

#include <optional>

Q_DECLARE_METATYPE(OverlayHandle)

namespace {

bool fuzzyRect(const QRectF& a, const QRectF& b)
{
    auto close = [](double x, double y) { return qAbs(x - y) < 0.01; };
    return close(a.x(), b.x()) && close(a.y(), b.y()) && close(a.width(), b.width())
        && close(a.height(), b.height());
}

QString show(const QRectF& r)
{
    return QStringLiteral("(%1, %2, %3 x %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

class TestOverlayHandle : public QObject {
    Q_OBJECT
private slots:
    void hitTest_data();
    void hitTest();
    void cursors_data();
    void cursors();
    void videoResize_data();
    void videoResize();
    void imageResize_data();
    void imageResize();
    void clampToScene_data();
    void clampToScene();
    void editorWidths_data();
    void editorWidths();
};

void TestOverlayHandle::hitTest_data()
{
    QTest::addColumn<QRectF>("box");
    QTest::addColumn<QPointF>("point");
    QTest::addColumn<OverlayHandle>("expected");

    const QRectF box(0, 0, 320, 180);
    QTest::newRow("top-left corner") << box << QPointF(0, 0) << OverlayHandle::TopLeft;
    QTest::newRow("top-left corner's far edge wins over the edges") << box << QPointF(10, 10) << OverlayHandle::TopLeft;
    QTest::newRow("top-right corner") << box << QPointF(315, 5) << OverlayHandle::TopRight;
    QTest::newRow("bottom-left corner") << box << QPointF(0, 180) << OverlayHandle::BottomLeft;
    QTest::newRow("bottom-right corner on the box edge") << box << QPointF(320, 180) << OverlayHandle::BottomRight;
    QTest::newRow("top edge") << box << QPointF(160, 0) << OverlayHandle::Top;
    QTest::newRow("top edge just past the corner") << box << QPointF(10.5, 3) << OverlayHandle::Top;
    QTest::newRow("bottom edge") << box << QPointF(160, 175) << OverlayHandle::Bottom;
    QTest::newRow("left edge") << box << QPointF(0, 90) << OverlayHandle::Left;
    QTest::newRow("right edge inner line") << box << QPointF(310, 90) << OverlayHandle::Right;
    QTest::newRow("body") << box << QPointF(160, 90) << OverlayHandle::Body;
    QTest::newRow("body just inside the strips") << box << QPointF(10.5, 10.5) << OverlayHandle::Body;
    QTest::newRow("outside right") << box << QPointF(320.5, 90) << OverlayHandle::None;
    QTest::newRow("outside above") << box << QPointF(160, -0.5) << OverlayHandle::None;
    const QRectF moved(20, 30, 200, 112.5);
    QTest::newRow("moved box, its top-left") << moved << QPointF(20, 30) << OverlayHandle::TopLeft;
    QTest::newRow("moved box, item origin is outside") << moved << QPointF(0, 0) << OverlayHandle::None;
    QTest::newRow("moved box, bottom edge") << moved << QPointF(100, 140) << OverlayHandle::Bottom;
}

void TestOverlayHandle::hitTest()
{
    QFETCH(QRectF, box);
    QFETCH(QPointF, point);
    QFETCH(OverlayHandle, expected);
    QCOMPARE(overlaygeometry::hitTest(box, point), expected);
}

void TestOverlayHandle::cursors_data()
{
    QTest::addColumn<int>("handle");
    QTest::addColumn<int>("cursor"); // -1: unset

    QTest::newRow("none") << 0 << -1;
    QTest::newRow("body") << 1 << int(Qt::SizeAllCursor);
    QTest::newRow("left") << 2 << int(Qt::SizeHorCursor);
    QTest::newRow("right") << 3 << int(Qt::SizeHorCursor);
    QTest::newRow("top") << 4 << int(Qt::SizeVerCursor);
    QTest::newRow("bottom") << 5 << int(Qt::SizeVerCursor);
    QTest::newRow("top-left") << 6 << int(Qt::SizeFDiagCursor);
    QTest::newRow("top-right") << 7 << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom-left") << 8 << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom-right") << 9 << int(Qt::SizeFDiagCursor);
    QTest::newRow("out of range") << 10 << -1;
}

void TestOverlayHandle::cursors()
{
    QFETCH(int, handle);
    QFETCH(int, cursor);
    const std::optional<Qt::CursorShape> shape = overlaygeometry::cursorForHandle(handle);
    QCOMPARE(shape ? int(*shape) : -1, cursor);
}

void TestOverlayHandle::videoResize_data()
{
    QTest::addColumn<OverlayHandle>("handle");
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QRectF>("expected");

    const double r = 16.0 / 9.0;
    QTest::newRow("right 50 left") << OverlayHandle::Right << QPointF(-50, 7) << QRectF(0, 0, 270, 151.875);
    QTest::newRow("right 200 left hits the height floor") << OverlayHandle::Right << QPointF(-200, 0)
                                                          << QRectF(0, 0, 100 * r, 100);
    QTest::newRow("bottom-right grows by dx only") << OverlayHandle::BottomRight << QPointF(80, -300)
                                                   << QRectF(0, 0, 400, 225);
    QTest::newRow("left 50 right") << OverlayHandle::Left << QPointF(50, 0) << QRectF(50, 0, 270, 151.875);
    QTest::newRow("bottom-left 40 left") << OverlayHandle::BottomLeft << QPointF(-40, 9) << QRectF(-40, 0, 360, 202.5);
    QTest::newRow("top up 20") << OverlayHandle::Top << QPointF(33, -20) << QRectF(0, -20, 200 * r, 200);
    QTest::newRow("bottom down 20") << OverlayHandle::Bottom << QPointF(-33, 20) << QRectF(0, 0, 200 * r, 200);
    QTest::newRow("top-left shifts the top by dy") << OverlayHandle::TopLeft << QPointF(10, 10)
                                                   << QRectF(10, 10, 310, 174.375);
    QTest::newRow("top-right shifts the top by dy") << OverlayHandle::TopRight << QPointF(20, -5)
                                                    << QRectF(0, -5, 340, 191.25);
    QTest::newRow("none keeps a 16:9 box") << OverlayHandle::None << QPointF(40, 40) << QRectF(0, 0, 320, 180);
}

void TestOverlayHandle::videoResize()
{
    QFETCH(OverlayHandle, handle);
    QFETCH(QPointF, delta);
    QFETCH(QRectF, expected);
    const QRectF box = overlaygeometry::resizeVideoBox(QRectF(0, 0, 320, 180), handle, delta);
    QVERIFY2(fuzzyRect(box, expected), qPrintable(show(box) + " vs " + show(expected)));
}

void TestOverlayHandle::imageResize_data()
{
    QTest::addColumn<OverlayHandle>("handle");
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QRectF>("expected");

    // A 320 x 240 box of a 4:3 picture.
    QTest::newRow("right 250 left stops at 120 wide") << OverlayHandle::Right << QPointF(-250, 0)
                                                      << QRectF(0, 0, 120, 90);
    QTest::newRow("top-right grows by dx, top stays") << OverlayHandle::TopRight << QPointF(40, -30)
                                                      << QRectF(0, 0, 360, 270);
    QTest::newRow("bottom-right") << OverlayHandle::BottomRight << QPointF(-20, 50) << QRectF(0, 0, 300, 225);
    QTest::newRow("left 50 right") << OverlayHandle::Left << QPointF(50, 0) << QRectF(50, 0, 270, 202.5);
    QTest::newRow("top-left ignores dy") << OverlayHandle::TopLeft << QPointF(-30, 60) << QRectF(-30, 0, 350, 262.5);
    QTest::newRow("bottom-left") << OverlayHandle::BottomLeft << QPointF(20, 0) << QRectF(20, 0, 300, 225);
    QTest::newRow("top 15 down moves the box") << OverlayHandle::Top << QPointF(40, 15) << QRectF(0, 15, 320, 240);
    QTest::newRow("bottom changes nothing") << OverlayHandle::Bottom << QPointF(40, 50) << QRectF(0, 0, 320, 240);
}

void TestOverlayHandle::imageResize()
{
    QFETCH(OverlayHandle, handle);
    QFETCH(QPointF, delta);
    QFETCH(QRectF, expected);
    const QRectF box = overlaygeometry::resizeImageBox(QRectF(0, 0, 320, 240), handle, delta, 4.0 / 3.0);
    QVERIFY2(fuzzyRect(box, expected), qPrintable(show(box) + " vs " + show(expected)));
}

void TestOverlayHandle::clampToScene_data()
{
    QTest::addColumn<QRectF>("box");
    QTest::addColumn<QPointF>("asked");
    QTest::addColumn<QPointF>("expected");

    // Scene 640 x 360; 36 below the box (gap 6 and a bar of 30).
    const QRectF box(0, 0, 320, 180);
    QTest::newRow("inside stays") << box << QPointF(100, 50) << QPointF(100, 50);
    QTest::newRow("past the left edge") << box << QPointF(-50, 50) << QPointF(0, 50);
    QTest::newRow("past the right edge") << box << QPointF(400, 50) << QPointF(320, 50);
    QTest::newRow("past the top edge") << box << QPointF(100, -5) << QPointF(100, 0);
    QTest::newRow("bar past the bottom edge") << box << QPointF(100, 200) << QPointF(100, 144);
    QTest::newRow("corner") << box << QPointF(-10, 999) << QPointF(0, 144);
    QTest::newRow("box moved inside its item") << QRectF(20, 10, 320, 180) << QPointF(-50, -50) << QPointF(-20, -10);
    QTest::newRow("too wide: x left alone, y clamped") << QRectF(0, 0, 700, 100) << QPointF(-50, 300)
                                                       << QPointF(-50, 224);
    QTest::newRow("too high with its bar: y left alone") << QRectF(0, 0, 600, 337.5) << QPointF(50, -20)
                                                         << QPointF(40, -20);
}

void TestOverlayHandle::clampToScene()
{
    QFETCH(QRectF, box);
    QFETCH(QPointF, asked);
    QFETCH(QPointF, expected);
    QCOMPARE(overlaygeometry::clampToScene(asked, box, QRectF(0, 0, 640, 360), 36), expected);
}

void TestOverlayHandle::editorWidths_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<double>("aspect");
    QTest::addColumn<int>("videoHeight"); // -1: refused
    QTest::addColumn<int>("imageHeight"); // -1: refused

    QTest::newRow("320") << 320 << 16.0 / 9.0 << 180 << 180;
    QTest::newRow("100 truncates") << 100 << 16.0 / 9.0 << 56 << 56;
    QTest::newRow("400 at 4:3") << 400 << 4.0 / 3.0 << 225 << 300;
    QTest::newRow("320 at 4:1") << 320 << 4.0 << 180 << 80;
    QTest::newRow("2 is the narrowest video box") << 2 << 16.0 / 9.0 << 1 << 1;
    QTest::newRow("1 would be empty") << 1 << 16.0 / 9.0 << -1 << -1;
    QTest::newRow("3 at 4:1 would be empty") << 3 << 4.0 << 1 << -1;
    QTest::newRow("0") << 0 << 16.0 / 9.0 << -1 << -1;
    QTest::newRow("negative") << -5 << 16.0 / 9.0 << -1 << -1;
}

void TestOverlayHandle::editorWidths()
{
    QFETCH(int, width);
    QFETCH(double, aspect);
    QFETCH(int, videoHeight);
    QFETCH(int, imageHeight);
    QCOMPARE(overlaygeometry::videoHeightForWidth(width).value_or(-1), videoHeight);
    QCOMPARE(overlaygeometry::imageHeightForWidth(width, aspect).value_or(-1), imageHeight);
}

QUORB_TEST_MAIN(TestOverlayHandle)
#include "tst_overlayhandle.moc"
