// The image overlay editor item: the editor picture loaded on the global
// thread pool and the box it sets, drags through the viewport, the opacity
// preview and apply, and items that go away while their picture loads.

#include "overlayitemtestkit.h"
#include "support/testsupport.h"
#include "ui/imageoverlaywidget.h"
#include "ui/uitheme.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QThreadPool>

namespace {

using namespace overlaytest;

struct Editor {
    QGraphicsScene scene{0, 0, 640, 360};
    QGraphicsView view{&scene};

    Editor()
    {
        view.setAlignment(Qt::AlignLeft | Qt::AlignTop);
        view.resize(700, 460);
        view.show();
    }

    ImageOverlayWidget* add(const QString& path, QPointF pos = QPointF(100, 50))
    {
        auto* item = new ImageOverlayWidget(path, scene.sceneRect());
        scene.addItem(item);
        item->setPos(pos);
        return item;
    }

    void drag(QPointF fromScene, QPointF delta, Qt::MouseButton button = Qt::LeftButton)
    {
        QWidget* viewport = view.viewport();
        const QPoint from = view.mapFromScene(fromScene);
        const QPoint to = view.mapFromScene(fromScene + delta);
        QTest::mousePress(viewport, button, {}, from);
        QTest::mouseMove(viewport, (from + to) / 2);
        QTest::mouseMove(viewport, to);
        QTest::mouseRelease(viewport, button, {}, to);
    }
};

} // namespace

class TestImageOverlayWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void pictureSetsTheBox_data();
    void pictureSetsTheBox();
    void unreadablePictureKeepsTheDefaultBox();
    void drags_data();
    void drags();
    void opacityPreviewAndApply();
    void refusedEditorWidths_data();
    void refusedEditorWidths();
    void itemGoneBeforeItsLoadRuns();
    void itemGoneWhileALargeJpegLoads();

private:
    QString picture(const QString& name, QSize size);

    QTemporaryDir m_dir;
};

void TestImageOverlayWidget::initTestCase()
{
    initQuorbelResources();
    QVERIFY(m_dir.isValid());
}

QString TestImageOverlayWidget::picture(const QString& name, QSize size)
{
    const QString path = m_dir.filePath(name);
    if (QFile::exists(path))
        return path;
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QPainter p(&image);
    p.fillRect(QRect(QPoint(0, 0), size / 2), Qt::yellow);
    p.end();
    if (!image.save(path))
        return {};
    return path;
}

void TestImageOverlayWidget::pictureSetsTheBox_data()
{
    QTest::addColumn<QSize>("pictureSize");
    QTest::addColumn<QSizeF>("box");
    QTest::addColumn<QSize>("editorPicture");
    QTest::addColumn<QSizeF>("boxAt400");

    QTest::newRow("800 x 600") << QSize(800, 600) << QSizeF(320, 240) << QSize(800, 600) << QSizeF(400, 300);
    QTest::newRow("4000 x 1000 is read at 1536 x 384") << QSize(4000, 1000) << QSizeF(320, 80)
                                                       << QSize(1536, 384) << QSizeF(400, 100);
    QTest::newRow("portrait 600 x 800") << QSize(600, 800) << QSizeF(320, 320 * 4.0 / 3.0) << QSize(600, 800)
                                        << QSizeF(400, 533);
}

void TestImageOverlayWidget::pictureSetsTheBox()
{
    QFETCH(QSize, pictureSize);
    QFETCH(QSizeF, box);
    QFETCH(QSize, editorPicture);
    QFETCH(QSizeF, boxAt400);
    const QString path = picture(QStringLiteral("pic_%1x%2.png").arg(pictureSize.width()).arg(pictureSize.height()),
                                 pictureSize);
    QVERIFY(!path.isEmpty());
    Editor e;
    ImageOverlayWidget* item = e.add(path);
    QCOMPARE(item->type(), 65638);
    QSignalSpy geometry(item, &ImageOverlayWidget::geometryChanged);
    // Until the picture arrives: the 16:9 default.
    QCOMPARE(item->rectInScene(), QRectF(100, 50, 320, 180));

    QTRY_VERIFY(fuzzyRect(item->rectInScene(), QRectF(QPointF(100, 50), box)));
    QCOMPARE(previewOf(item)->pixmap().size(), editorPicture);
    // The preview is scaled by its transform to fill the box.
    QVERIFY2(fuzzyRect(previewOf(item)->sceneBoundingRect(), item->rectInScene()),
             qPrintable(show(previewOf(item)->sceneBoundingRect())));
    QCOMPARE(toolbarOf(item)->width(), int(box.width()));
    QCOMPARE(geometry.count(), 0);

    item->setEditorWidth(400);
    QCOMPARE(item->rectInScene(), QRectF(QPointF(100, 50), boxAt400));
    QCOMPARE(geometry.count(), 0);
}

void TestImageOverlayWidget::unreadablePictureKeepsTheDefaultBox()
{
    const QString path = m_dir.filePath(QStringLiteral("not-a-picture.png"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("this is text");
    file.close();
    Editor e;
    ImageOverlayWidget* item = e.add(path);
    settleLoads();
    QCOMPARE(item->rectInScene(), QRectF(100, 50, 320, 180));
    QCOMPARE(previewOf(item)->pixmap().size(), QSize(1, 1));

    QSignalSpy apply(item, &ImageOverlayWidget::overlayApplyRequested);
    toolbarOf(item)->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    QCOMPARE(apply.count(), 1);
    QCOMPARE(apply.last().at(1).toString(), path);
    QCOMPARE(apply.last().at(2).toRectF(), QRectF(100, 50, 320, 180));
    QCOMPARE(apply.last().at(3).toDouble(), 1.0);
}

void TestImageOverlayWidget::drags_data()
{
    QTest::addColumn<QPointF>("grab"); // in the 320 x 240 box, from its top-left corner
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QRectF>("expected");
    QTest::addColumn<int>("geometrySignals");

    QTest::newRow("right edge 250 left stops at 120") << QPointF(318, 120) << QPointF(-250, 0) << Qt::LeftButton
                                                      << QRectF(100, 50, 120, 90) << 2;
    QTest::newRow("top edge 15 down moves the box") << QPointF(160, 2) << QPointF(0, 15) << Qt::LeftButton
                                                    << QRectF(100, 65, 320, 240) << 2;
    QTest::newRow("bottom edge changes nothing") << QPointF(160, 238) << QPointF(0, 40) << Qt::LeftButton
                                                 << QRectF(100, 50, 320, 240) << 2;
    QTest::newRow("body stops at the left edge") << QPointF(160, 120) << QPointF(-300, 0) << Qt::LeftButton
                                                 << QRectF(0, 50, 320, 240) << 2;
    // Box, gap and 32 toolbar: 240 + 6 + 32 = 278, so the top stops at 82.
    QTest::newRow("toolbar stops at the bottom edge") << QPointF(160, 120) << QPointF(0, 300) << Qt::LeftButton
                                                      << QRectF(100, 82, 320, 240) << 2;
    QTest::newRow("right button moves the item") << QPointF(160, 120) << QPointF(30, 10) << Qt::RightButton
                                                 << QRectF(130, 60, 320, 240) << 2;
    QTest::newRow("margin outside the box does nothing") << QPointF(-4, 120) << QPointF(-30, 0) << Qt::LeftButton
                                                         << QRectF(100, 50, 320, 240) << 0;
}

void TestImageOverlayWidget::drags()
{
    QFETCH(QPointF, grab);
    QFETCH(QPointF, delta);
    QFETCH(Qt::MouseButton, button);
    QFETCH(QRectF, expected);
    QFETCH(int, geometrySignals);
    const QString path = picture(QStringLiteral("pic_800x600.png"), QSize(800, 600));
    Editor e;
    ImageOverlayWidget* item = e.add(path);
    QTRY_COMPARE(item->rectInScene(), QRectF(100, 50, 320, 240));
    QSignalSpy geometry(item, &ImageOverlayWidget::geometryChanged);
    e.drag(item->rectInScene().topLeft() + grab, delta, button);
    QVERIFY2(fuzzyRect(item->rectInScene(), expected),
             qPrintable(show(item->rectInScene()) + " vs " + show(expected)));
    QCOMPARE(geometry.count(), geometrySignals);
    QVERIFY(item->isSelected());
}

void TestImageOverlayWidget::opacityPreviewAndApply()
{
    const QString path = picture(QStringLiteral("pic_800x600.png"), QSize(800, 600));
    Editor e;
    ImageOverlayWidget* item = e.add(path);
    QTRY_COMPARE(item->rectInScene(), QRectF(100, 50, 320, 240));
    QSignalSpy apply(item, &ImageOverlayWidget::overlayApplyRequested);

    toolbarOf(item)->findChild<QSlider*>(QStringLiteral("opacitySlider"))->setValue(40);
    QCOMPARE(previewOf(item)->opacity(), 0.4);
    QCOMPARE(apply.count(), 0); // the slider alone sends nothing
    QCOMPARE(item->opacity(), 0.4);

    toolbarOf(item)->findChild<QPushButton*>(QStringLiteral("applyButton"))->click();
    QCOMPARE(apply.count(), 1);
    QCOMPARE(apply.last().at(0).value<ImageOverlayWidget*>(), item);
    QCOMPARE(apply.last().at(1).toString(), path);
    QCOMPARE(apply.last().at(2).toRectF(), QRectF(100, 50, 320, 240));
    QCOMPARE(apply.last().at(3).toDouble(), 0.4);

    QSignalSpy remove(item, &ImageOverlayWidget::removeRequested);
    toolbarOf(item)->findChild<QPushButton*>(QStringLiteral("removeButton"))->click();
    QCOMPARE(remove.count(), 1);
}

void TestImageOverlayWidget::refusedEditorWidths_data()
{
    QTest::addColumn<int>("width");
    QTest::newRow("0") << 0;
    QTest::newRow("-5") << -5;
    QTest::newRow("1 at 4:3 would be 1 x 0") << 1;
}

void TestImageOverlayWidget::refusedEditorWidths()
{
    QFETCH(int, width);
    const QString path = picture(QStringLiteral("pic_800x600.png"), QSize(800, 600));
    Editor e;
    ImageOverlayWidget* item = e.add(path);
    QTRY_COMPARE(item->rectInScene(), QRectF(100, 50, 320, 240));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ImageOverlayWidget: ignoring editor width"));
    item->setEditorWidth(width);
    QCOMPARE(item->rectInScene(), QRectF(100, 50, 320, 240));
}

void TestImageOverlayWidget::itemGoneBeforeItsLoadRuns()
{
    const QString path = picture(QStringLiteral("pic_800x600.png"), QSize(800, 600));
    Editor e;
    ImageOverlayWidget* kept = nullptr;
    {
        PoolGate gate;
        ImageOverlayWidget* removed = e.add(path);
        kept = e.add(path, QPointF(10, 10));
        // Removed the way the editor removes items: out of the scene, deleted later.
        e.scene.removeItem(removed);
        removed->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        gate.open();
        settleLoads();
    }
    // The surviving item got its picture; the other one was dropped silently.
    QCOMPARE(kept->rectInScene(), QRectF(10, 10, 320, 240));
    QCOMPARE(e.scene.items().count(), 3); // the kept item and its two children
}

void TestImageOverlayWidget::itemGoneWhileALargeJpegLoads()
{
    const QString big = testsupport::ensureFixture(
        QStringLiteral("overlay_editor_big.jpg"),
        {"-f", "lavfi", "-i", "testsrc2=size=7680x4320", "-frames:v", "1", "-q:v", "2"});
    QVERIFY(!big.isEmpty());
    Editor e;
    for (int round = 0; round < 3; ++round) {
        ImageOverlayWidget* item = e.add(big);
        QTest::qWait(round * 20); // gone at different stages of the read
        delete item;
    }
    ImageOverlayWidget* kept = e.add(big);
    settleLoads();
    QTRY_COMPARE(previewOf(kept)->pixmap().size(), QSize(1536, 864));
    QCOMPARE(kept->rectInScene(), QRectF(100, 50, 320, 180));
}

QUORB_TEST_MAIN(TestImageOverlayWidget)
#include "tst_imageoverlaywidget.moc"
