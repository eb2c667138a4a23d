// The video overlay editor item in a real scene and view: drags through the
// viewport, what its signals carry on the operator's actions, frames and the
// setters the main window mirrors engine state with.

#include "overlayitemtestkit.h"
#include "support/testsupport.h"
#include "ui/uitheme.h"
#include "ui/videooverlaywidget.h"

#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>

#include <memory>

namespace {

using namespace overlaytest;

const QString kPath = QStringLiteral("/media/clips/overlay.mp4");

// Colour in the middle of what the preview shows.
QColor previewCentre(QGraphicsItem* item)
{
    const QImage shown = previewOf(item)->pixmap().toImage();
    return shown.pixelColor(shown.width() / 2, shown.height() / 2);
}

QImage solidFrame(const QColor& colour)
{
    QImage frame(640, 360, QImage::Format_RGBA8888);
    frame.fill(colour);
    return frame;
}

// An editor-sized scene shown in a view at scale 1, one item at (100, 50).
struct Editor {
    QGraphicsScene scene{0, 0, 640, 360};
    QGraphicsView view{&scene};
    VideoOverlayWidget* item = nullptr;

    Editor()
    {
        view.setAlignment(Qt::AlignLeft | Qt::AlignTop);
        view.resize(700, 460);
        item = new VideoOverlayWidget(kPath, scene.sceneRect());
        scene.addItem(item);
        item->setPos(100, 50);
        view.show();
    }

    template <class T>
    T* control(const char* name) const { return toolbarOf(item)->findChild<T*>(QLatin1String(name)); }

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

class TestVideoOverlayWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void construction();
    void drags_data();
    void drags();
    void rightButtonDoesNotReachTheItem();
    void hoverCursor_data();
    void hoverCursor();
    void selectionMarks();
    void attachWhileStopped();
    void setAttachCheckedIsSilent();
    void positionSlider_data();
    void positionSlider();
    void framesFollowOnlyWhilePlaying();
    void stopAndReset();
    void barRelays();
    void editorWidth_data();
    void editorWidth();
};

void TestVideoOverlayWidget::initTestCase()
{
    initQuorbelResources();
}

void TestVideoOverlayWidget::construction()
{
    Editor e;
    QCOMPARE(e.item->type(), 65637);
    QCOMPARE(qgraphicsitem_cast<VideoOverlayWidget*>(static_cast<QGraphicsItem*>(e.item)), e.item);
    QCOMPARE(e.item->rectInScene(), QRectF(100, 50, 320, 180));
    QCOMPARE(e.item->filePath(), kPath);
    QCOMPARE(e.item->localVolume(), 20);
    QVERIFY(!e.item->isLoopEnabled());
    QVERIFY(!e.item->isPlaying());
    QVERIFY(!e.item->isAttachChecked());
    QVERIFY(!e.item->isAttachedToProgram());
    QCOMPARE(previewCentre(e.item), QColor(Qt::black));
    QCOMPARE(e.control<QPushButton>("playButton")->text(), QStringLiteral("▶"));
    // The bar sits 6 below the box and is as wide as the box.
    QCOMPARE(toolbarOf(e.item)->width(), 320);
    QCOMPARE(toolbarOf(e.item)->graphicsProxyWidget()->pos(), QPointF(0, 186));
    QCOMPARE(e.item->boundingRect(), QRectF(-6, -6, 332, 228));
}

void TestVideoOverlayWidget::drags_data()
{
    QTest::addColumn<QPointF>("grab"); // in the box, from its top-left corner
    QTest::addColumn<QPointF>("delta");
    QTest::addColumn<QRectF>("expected"); // rectInScene afterwards

    const double r = 16.0 / 9.0;
    QTest::newRow("right edge 50 left") << QPointF(318, 90) << QPointF(-50, 0) << QRectF(100, 50, 270, 151.875);
    QTest::newRow("right edge 200 left: minimum box") << QPointF(318, 90) << QPointF(-200, 0)
                                                      << QRectF(100, 50, 100 * r, 100);
    QTest::newRow("top edge 20 up") << QPointF(160, 2) << QPointF(0, -20) << QRectF(100, 30, 200 * r, 200);
    QTest::newRow("bottom-right corner") << QPointF(318, 178) << QPointF(80, 40) << QRectF(100, 50, 400, 225);
    QTest::newRow("body to the right") << QPointF(160, 90) << QPointF(30, 20) << QRectF(130, 70, 320, 180);
    QTest::newRow("body stops at the left edge") << QPointF(160, 90) << QPointF(-500, 0) << QRectF(0, 50, 320, 180);
    QTest::newRow("body stops at the right edge") << QPointF(160, 90) << QPointF(500, 0) << QRectF(320, 50, 320, 180);
    QTest::newRow("body stops at the top edge") << QPointF(160, 90) << QPointF(0, -500) << QRectF(100, 0, 320, 180);
    QTest::newRow("bar stops at the bottom edge") << QPointF(160, 90) << QPointF(0, 500)
                                                  << QRectF(100, 144, 320, 180);
}

void TestVideoOverlayWidget::drags()
{
    QFETCH(QPointF, grab);
    QFETCH(QPointF, delta);
    QFETCH(QRectF, expected);
    Editor e;
    QSignalSpy geometry(e.item, &VideoOverlayWidget::geometryChanged);
    e.drag(e.item->rectInScene().topLeft() + grab, delta);
    QVERIFY2(fuzzyRect(e.item->rectInScene(), expected),
             qPrintable(show(e.item->rectInScene()) + " vs " + show(expected)));
    QVERIFY(e.item->isSelected());
    QCOMPARE(geometry.count(), 2); // one per move
    QCOMPARE(geometry.last().at(0).toRectF(), e.item->sceneBoundingRect());
    // The bar follows the box.
    QCOMPARE(toolbarOf(e.item)->width(), int(expected.width()));
}

void TestVideoOverlayWidget::rightButtonDoesNotReachTheItem()
{
    Editor e;
    QSignalSpy geometry(e.item, &VideoOverlayWidget::geometryChanged);
    e.drag(QPointF(260, 140), QPointF(40, 40), Qt::RightButton);
    QCOMPARE(e.item->rectInScene(), QRectF(100, 50, 320, 180));
    QVERIFY(!e.item->isSelected());
    QCOMPARE(geometry.count(), 0);
}

void TestVideoOverlayWidget::hoverCursor_data()
{
    QTest::addColumn<QPointF>("at"); // from the box's top-left corner
    QTest::addColumn<int>("cursor"); // -1: none set

    QTest::newRow("body") << QPointF(160, 90) << int(Qt::SizeAllCursor);
    QTest::newRow("top-left corner") << QPointF(3, 3) << int(Qt::SizeFDiagCursor);
    QTest::newRow("bottom-left corner") << QPointF(3, 177) << int(Qt::SizeBDiagCursor);
    QTest::newRow("right edge") << QPointF(317, 90) << int(Qt::SizeHorCursor);
    QTest::newRow("bottom edge") << QPointF(160, 177) << int(Qt::SizeVerCursor);
    QTest::newRow("margin below the box") << QPointF(160, 183) << -1;
}

void TestVideoOverlayWidget::hoverCursor()
{
    QFETCH(QPointF, at);
    QFETCH(int, cursor);
    Editor e;
    QTest::mouseMove(e.view.viewport(), e.view.mapFromScene(QPointF(150, 100)));
    QTest::mouseMove(e.view.viewport(), e.view.mapFromScene(e.item->rectInScene().topLeft() + at));
    QCOMPARE(e.item->hasCursor() ? int(e.item->cursor().shape()) : -1, cursor);
}

void TestVideoOverlayWidget::selectionMarks()
{
    Editor e;
    auto render = [&] {
        QImage image(640, 360, QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        e.scene.render(&painter, QRectF(0, 0, 640, 360), QRectF(0, 0, 640, 360));
        return image;
    };
    // Box at (100, 50), 320 x 180: centre (260, 140).
    const QImage plain = render();
    QCOMPARE(plain.pixelColor(260, 140), QColor(Qt::black)); // the empty preview
    QCOMPARE(plain.pixelColor(97, 47), QColor(Qt::white));
    e.item->setSelected(true);
    const QImage selected = render();
    QCOMPARE(selected.pixelColor(260, 140), QColor(Qt::red)); // centre dot
    QCOMPARE(selected.pixelColor(97, 47), QColor(Qt::red));   // corner square outside the box
    QCOMPARE(selected.pixelColor(423, 143), QColor(Qt::red)); // right edge midpoint
    QCOMPARE(selected.pixelColor(200, 100), QColor(Qt::black));
}

void TestVideoOverlayWidget::attachWhileStopped()
{
    Editor e;
    auto* attach = e.control<QPushButton>("attachButton");
    auto* play = e.control<QPushButton>("playButton");
    QSignalSpy apply(e.item, &VideoOverlayWidget::overlayApplyRequested);
    QSignalSpy detach(e.item, &VideoOverlayWidget::overlayDetachFromProgramRequested);
    QSignalSpy sync(e.item, &VideoOverlayWidget::overlayDecoderSyncRequested);
    QString playTextAtApply;
    connect(e.item, &VideoOverlayWidget::overlayApplyRequested, this, [&] { playTextAtApply = play->text(); });

    attach->click();
    QCOMPARE(apply.count(), 1);
    const QList<QVariant> args = apply.takeFirst();
    QCOMPARE(args.at(0).value<VideoOverlayWidget*>(), e.item);
    QCOMPARE(args.at(1).toString(), kPath);
    QCOMPARE(args.at(2).toRectF(), QRectF(100, 50, 320, 180));
    QCOMPARE(args.at(3).toLongLong(), 0);
    QCOMPARE(args.at(4).toBool(), true);
    QCOMPARE(playTextAtApply, QStringLiteral("⏸")); // playing before the apply went out
    QVERIFY(e.item->isPlaying());
    QCOMPARE(sync.count(), 0);
    QCOMPARE(detach.count(), 0);
    // The operator's toggle does not confirm the attachment; the main window does.
    QVERIFY(!e.item->isAttachChecked());
    QCOMPARE(attach->toolTip(), QStringLiteral("Add to program output"));

    attach->click();
    QCOMPARE(detach.count(), 1);
    QCOMPARE(apply.count(), 0);
    QCOMPARE(sync.count(), 0);
    QVERIFY(e.item->isPlaying()); // detaching does not stop the item
}

void TestVideoOverlayWidget::setAttachCheckedIsSilent()
{
    Editor e;
    auto* attach = e.control<QPushButton>("attachButton");
    QSignalSpy apply(e.item, &VideoOverlayWidget::overlayApplyRequested);
    QSignalSpy detach(e.item, &VideoOverlayWidget::overlayDetachFromProgramRequested);

    e.item->setAttachChecked(true);
    QVERIFY(e.item->isAttachChecked());
    QVERIFY(attach->isChecked());
    QCOMPARE(attach->toolTip(), QStringLiteral("Detach from program output"));
    e.item->setChineseUi(true);
    QCOMPARE(attach->toolTip(), QStringLiteral("取消叠加"));
    e.item->setAttachChecked(false);
    QVERIFY(!attach->isChecked());
    QCOMPARE(attach->toolTip(), QStringLiteral("叠加到节目输出"));
    QCOMPARE(apply.count(), 0);
    QCOMPARE(detach.count(), 0);
    QVERIFY(!e.item->isPlaying());
}

void TestVideoOverlayWidget::positionSlider_data()
{
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<QList<qlonglong>>("positions"); // of the three requests

    QTest::newRow("known duration") << qint64(10000) << QList<qlonglong>{2500, 2600, 2600};
    QTest::newRow("long duration, 64-bit") << qint64(7'200'000'000) << QList<qlonglong>{1'800'000'000, 1'872'000'000, 1'872'000'000};
    QTest::newRow("unknown duration keeps the position") << qint64(0) << QList<qlonglong>{0, 0, 0};
    QTest::newRow("no duration") << qint64(-1) << QList<qlonglong>{0, 0, 0};
}

void TestVideoOverlayWidget::positionSlider()
{
    QFETCH(qint64, duration);
    QFETCH(QList<qlonglong>, positions);
    Editor e;
    e.item->setDurationMs(duration);
    auto* slider = e.control<QSlider>("positionSlider");
    QSignalSpy sync(e.item, &VideoOverlayWidget::overlayDecoderSyncRequested);

    // Not held (keys, page steps): nothing is asked of the decoder.
    slider->setValue(300);
    QCOMPARE(sync.count(), 0);
    QCOMPARE(e.item->positionMs(), 0);

    slider->setSliderDown(true);
    slider->setValue(250);
    slider->setValue(260);
    slider->setSliderDown(false); // the release asks once more
    QCOMPARE(sync.count(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(sync.at(i).at(0).toLongLong(), positions.at(i));
        QCOMPARE(sync.at(i).at(1).toBool(), false);
    }
    QCOMPARE(e.item->positionMs(), positions.last());
}

void TestVideoOverlayWidget::framesFollowOnlyWhilePlaying()
{
    Editor e;
    e.item->setDurationMs(10000);
    auto* slider = e.control<QSlider>("positionSlider");
    auto* play = e.control<QPushButton>("playButton");
    QSignalSpy sync(e.item, &VideoOverlayWidget::overlayDecoderSyncRequested);

    play->click();
    QCOMPARE(sync.count(), 1);
    QCOMPARE(sync.last(), (QList<QVariant>{qlonglong(0), true}));
    QCOMPARE(play->text(), QStringLiteral("⏸"));

    e.item->setPreviewFrame(solidFrame(Qt::red), 2500);
    QCOMPARE(e.item->positionMs(), 2500);
    QCOMPARE(slider->value(), 250);
    QCOMPARE(previewCentre(e.item), QColor(Qt::red));
    QCOMPARE(sync.count(), 1); // frames never ask the decoder for anything

    play->click(); // pause
    QCOMPARE(sync.last(), (QList<QVariant>{qlonglong(2500), false}));
    e.item->setPreviewFrame(solidFrame(Qt::blue), 5000);
    QCOMPARE(e.item->positionMs(), 2500);
    QCOMPARE(slider->value(), 250);
    QCOMPARE(previewCentre(e.item), QColor(Qt::blue)); // the picture is still shown

    play->click();
    slider->setSliderDown(true); // the operator holds the slider
    e.item->setPreviewFrame(solidFrame(Qt::green), 7000);
    QCOMPARE(e.item->positionMs(), 7000);
    QCOMPARE(slider->value(), 250);
    {
        const QSignalBlocker quiet(slider); // let go without a seek
        slider->setSliderDown(false);
    }

    // A null frame still moves the position but leaves the picture.
    e.item->setPreviewFrame(QImage(), 8000);
    QCOMPARE(e.item->positionMs(), 8000);
    QCOMPARE(previewCentre(e.item), QColor(Qt::green));
    QCOMPARE(sync.count(), 3);
}

void TestVideoOverlayWidget::stopAndReset()
{
    Editor e;
    e.item->setDurationMs(10000);
    auto* slider = e.control<QSlider>("positionSlider");
    auto* play = e.control<QPushButton>("playButton");
    QSignalSpy sync(e.item, &VideoOverlayWidget::overlayDecoderSyncRequested);

    play->click();
    e.item->setPreviewFrame(solidFrame(Qt::red), 4000);
    e.control<QPushButton>("stopButton")->click();
    QCOMPARE(sync.last(), (QList<QVariant>{qlonglong(0), false}));
    QVERIFY(!e.item->isPlaying());
    QCOMPARE(e.item->positionMs(), 0);
    QCOMPARE(slider->value(), 0);
    QCOMPARE(play->text(), QStringLiteral("▶"));
    QCOMPARE(previewCentre(e.item), QColor(Qt::black));

    // The end of the overlay, released by the main window: the same state, silently.
    e.item->setPlaying(true);
    QCOMPARE(play->text(), QStringLiteral("⏸"));
    e.item->setPreviewFrame(solidFrame(Qt::red), 6000);
    const int before = sync.count();
    e.item->resetPreview();
    QCOMPARE(sync.count(), before);
    QVERIFY(!e.item->isPlaying());
    QCOMPARE(e.item->positionMs(), 0);
    QCOMPARE(slider->value(), 0);
    QCOMPARE(play->text(), QStringLiteral("▶"));
    QCOMPARE(previewCentre(e.item), QColor(Qt::black));
}

void TestVideoOverlayWidget::barRelays()
{
    Editor e;
    QSignalSpy loop(e.item, &VideoOverlayWidget::overlayLoopToggled);
    QSignalSpy volume(e.item, &VideoOverlayWidget::overlayLocalVolumeChanged);
    QSignalSpy remove(e.item, &VideoOverlayWidget::removeRequested);

    e.control<QPushButton>("loopButton")->click();
    QCOMPARE(loop.count(), 1);
    QCOMPARE(loop.last().at(0).toBool(), true);
    QVERIFY(e.item->isLoopEnabled());
    e.control<QSlider>("volumeSlider")->setValue(55);
    QCOMPARE(volume.count(), 1);
    QCOMPARE(e.item->localVolume(), 55);
    QCOMPARE(remove.count(), 0);
    e.control<QPushButton>("removeButton")->click();
    QCOMPARE(remove.count(), 1);
}

void TestVideoOverlayWidget::editorWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QSizeF>("expected");
    QTest::addColumn<bool>("refused");

    QTest::newRow("320") << 320 << QSizeF(320, 180) << false;
    QTest::newRow("100, below the drag minimum") << 100 << QSizeF(100, 56) << false;
    QTest::newRow("0 keeps the box") << 0 << QSizeF(240, 135) << true;
    QTest::newRow("-5 keeps the box") << -5 << QSizeF(240, 135) << true;
    QTest::newRow("1 would be 1 x 0") << 1 << QSizeF(240, 135) << true;
}

void TestVideoOverlayWidget::editorWidth()
{
    QFETCH(int, width);
    QFETCH(QSizeF, expected);
    QFETCH(bool, refused);
    Editor e;
    e.item->setEditorWidth(240);
    QSignalSpy geometry(e.item, &VideoOverlayWidget::geometryChanged);
    if (refused)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("VideoOverlayWidget: ignoring editor width"));
    e.item->setEditorWidth(width);
    QCOMPARE(e.item->rectInScene(), QRectF(QPointF(100, 50), expected));
    QCOMPARE(previewOf(e.item)->pixmap().size(), expected.toSize());
    QCOMPARE(toolbarOf(e.item)->width(), int(expected.width()));
    QCOMPARE(geometry.count(), 0);
}

QUORB_TEST_MAIN(TestVideoOverlayWidget)
#include "tst_videooverlaywidget.moc"
