// The overlay editor panel: adding up to the limits from the buttons (file
// dialog and message boxes answered by the test) and from the schedule,
// placement, Apply All, Clear All, removal, language, and the docked and
// floating view inside a dock widget.

#include "overlayitemtestkit.h"
#include "support/filechoice.h"
#include "support/testsupport.h"
#include "ui/imageoverlaywidget.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/uitheme.h"
#include "ui/videooverlaywidget.h"

#include <QDockWidget>
#include <QFileDialog>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

using namespace overlaytest;

QGraphicsScene* sceneOf(MediaOverlayWidget& panel)
{
    return panel.findChild<QGraphicsView*>()->scene();
}

QPushButton* button(MediaOverlayWidget& panel, const char* name)
{
    return panel.findChild<QPushButton*>(QLatin1String(name));
}

template <class Item>
QList<Item*> itemsOf(MediaOverlayWidget& panel)
{
    QList<Item*> found;
    for (QGraphicsItem* item : sceneOf(panel)->items(Qt::AscendingOrder))
        if (auto* typed = qgraphicsitem_cast<Item*>(item))
            found << typed;
    return found;
}

template <class T>
T* controlOf(QGraphicsItem* item, const char* name)
{
    for (QGraphicsItem* child : item->childItems())
        if (auto* proxy = qgraphicsitem_cast<QGraphicsProxyWidget*>(child))
            return proxy->widget()->findChild<T*>(QLatin1String(name));
    return nullptr;
}

// Answers the next modal dialog of type T once it is shown. The returned
// watcher may be deleted to stop waiting.
template <class T>
QPointer<QTimer> whenModal(std::function<void(T*)> answer)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            answer(dialog);
        }
    });
    timer->start();
    return timer;
}

struct BoxSeen {
    QString title;
    QString text;
    bool seen = false;
};

// Reads the next message box and presses its OK button.
std::shared_ptr<BoxSeen> acknowledgeNextBox()
{
    auto seen = std::make_shared<BoxSeen>();
    whenModal<QMessageBox>([seen](QMessageBox* box) {
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->seen = true;
        box->button(QMessageBox::Ok)->click();
    });
    return seen;
}

void chooseInNextFileDialog(const QString& path, std::function<void()> whileOpen = {})
{
    whenModal<QFileDialog>([path, whileOpen](QFileDialog* dialog) {
        if (whileOpen)
            whileOpen();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        testsupport::chooseInFileDialog(dialog, path);
    });
}

const char* const kVideoLimitWarning = "MediaOverlayWidget: video overlay limit reached (max 4 )";
const char* const kImageLimitWarning = "MediaOverlayWidget: image overlay limit reached (max 4 )";

} // namespace

class TestMediaOverlayWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void addUpToTheLimits();
    void addButtonAtTheLimit_data();
    void addButtonAtTheLimit();
    void placementFromTheButtons_data();
    void placementFromTheButtons();
    void limitReachedWhileTheDialogIsOpen();
    void relaysItemRequests();
    void applyAll();
    void clearAll_data();
    void clearAll();
    void secondRemovalOfTheSameItem();
    void languageReachesItems();
    void floatingAndDocked();
    void panelDestroyedWhileImagesLoad();

private:
    QTemporaryDir m_dir;
    QString m_video;
    QString m_image;
};

void TestMediaOverlayWidget::initTestCase()
{
    initQuorbelResources();
    QVERIFY(m_dir.isValid());
    // The editor never decodes a video file; the dialog only needs it to exist.
    m_video = m_dir.filePath(QStringLiteral("clip.mp4"));
    QFile video(m_video);
    QVERIFY(video.open(QIODevice::WriteOnly));
    video.close();
    m_image = m_dir.filePath(QStringLiteral("still.png"));
    QImage picture(800, 600, QImage::Format_RGB32);
    picture.fill(Qt::darkMagenta);
    QVERIFY(picture.save(m_image));
}

void TestMediaOverlayWidget::addUpToTheLimits()
{
    MediaOverlayWidget panel;
    QSignalSpy videosAdded(&panel, &MediaOverlayWidget::videoOverlayAdded);
    QSignalSpy imagesAdded(&panel, &MediaOverlayWidget::imageOverlayAdded);
    QVERIFY(!button(panel, "applyAllButton")->isEnabled());
    QVERIFY(!button(panel, "clearAllButton")->isEnabled());

    for (int i = 0; i < 4; ++i) {
        VideoOverlayWidget* video = panel.addVideoOverlay(m_video, QPointF(5 * i, 7 * i));
        QVERIFY(video);
        QCOMPARE(video->pos(), QPointF(5 * i, 7 * i));
        QCOMPARE(videosAdded.last().at(0).value<VideoOverlayWidget*>(), video);
        QVERIFY(button(panel, "applyAllButton")->isEnabled());
        // Images are counted apart from videos.
        QVERIFY(panel.addImageOverlay(m_image, QPointF(300, 100)));
    }
    QTest::ignoreMessage(QtWarningMsg, kVideoLimitWarning);
    QVERIFY(!panel.addVideoOverlay(m_video, QPointF()));
    QTest::ignoreMessage(QtWarningMsg, kImageLimitWarning);
    QVERIFY(!panel.addImageOverlay(m_image, QPointF()));
    QTest::failOnWarning(QRegularExpression("limit reached"));
    QVERIFY(!panel.addVideoOverlay(QString(), QPointF())); // silently
    QCOMPARE(videosAdded.count(), 4);
    QCOMPARE(imagesAdded.count(), 4);
    QCOMPARE(itemsOf<VideoOverlayWidget>(panel).count(), 4);
    QCOMPARE(itemsOf<ImageOverlayWidget>(panel).count(), 4);
    settleLoads();
}

void TestMediaOverlayWidget::addButtonAtTheLimit_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("video, English") << true << false << "Overlay Limit" << "Video overlay limit reached max 4.";
    QTest::newRow("image, English") << false << false << "Overlay Limit" << "Image overlay limit reached max 4.";
    QTest::newRow("video, Chinese") << true << true << "叠加上限" << "最多叠加 4 路视频。";
    QTest::newRow("image, Chinese") << false << true << "叠加上限" << "最多叠加 4 路图片。";
}

void TestMediaOverlayWidget::addButtonAtTheLimit()
{
    QFETCH(bool, video);
    QFETCH(bool, chinese);
    QFETCH(QString, title);
    QFETCH(QString, text);
    MediaOverlayWidget panel;
    panel.setChineseUi(chinese);
    panel.show();
    for (int i = 0; i < 4; ++i) {
        if (video)
            QVERIFY(panel.addVideoOverlay(m_video, QPointF()));
        else
            QVERIFY(panel.addImageOverlay(m_image, QPointF()));
    }

    bool dialogSeen = false;
    QPointer<QTimer> dialogWatch = whenModal<QFileDialog>([&dialogSeen](QFileDialog* d) {
        dialogSeen = true;
        d->reject();
    });
    const auto box = acknowledgeNextBox();
    QPushButton* add = button(panel, video ? "addVideoButton" : "addImageButton");
    QVERIFY(add->isEnabled()); // enabled at the limit: the box explains
    add->click();
    QVERIFY(box->seen);
    QCOMPARE(box->title, title);
    QCOMPARE(box->text, text);
    QTest::qWait(50);
    delete dialogWatch.data();
    QVERIFY(!dialogSeen); // no file dialog was opened
    QCOMPARE(itemsOf<VideoOverlayWidget>(panel).count() + itemsOf<ImageOverlayWidget>(panel).count(), 4);
    settleLoads();
}

void TestMediaOverlayWidget::placementFromTheButtons_data()
{
    QTest::addColumn<bool>("video");
    QTest::addColumn<int>("start");
    QTest::newRow("video") << true << 10;
    QTest::newRow("image") << false << 20;
}

void TestMediaOverlayWidget::placementFromTheButtons()
{
    QFETCH(bool, video);
    QFETCH(int, start);
    MediaOverlayWidget panel;
    panel.show();
    QPushButton* add = button(panel, video ? "addVideoButton" : "addImageButton");
    const QString path = video ? m_video : m_image;
    auto positions = [&] {
        QList<QPointF> found;
        if (video)
            for (auto* item : itemsOf<VideoOverlayWidget>(panel))
                found << item->pos();
        else
            for (auto* item : itemsOf<ImageOverlayWidget>(panel))
                found << item->pos();
        return found;
    };

    // A cancelled dialog adds nothing and moves no offset.
    chooseInNextFileDialog(QString());
    add->click();
    QTest::qWait(100);
    QCOMPARE(positions().count(), 0);

    for (int n = 1; n <= 3; ++n) {
        chooseInNextFileDialog(path);
        add->click();
        QTRY_COMPARE(positions().count(), n);
    }
    QCOMPARE(positions(), (QList<QPointF>{QPointF(start, start), QPointF(start + 30, start + 30),
                                          QPointF(start + 60, start + 60)}));

    // Removing everything does not reset the offset.
    for (QGraphicsItem* item : sceneOf(panel)->items()) {
        if (auto* v = qgraphicsitem_cast<VideoOverlayWidget*>(item))
            emit v->removeRequested();
        else if (auto* i = qgraphicsitem_cast<ImageOverlayWidget*>(item))
            emit i->removeRequested();
    }
    QCOMPARE(positions().count(), 0);
    QVERIFY(!button(panel, "clearAllButton")->isEnabled());
    chooseInNextFileDialog(path);
    add->click();
    QTRY_COMPARE(positions().count(), 1);
    QCOMPARE(positions().first(), QPointF(start + 90, start + 90));
    settleLoads();
}

void TestMediaOverlayWidget::limitReachedWhileTheDialogIsOpen()
{
    MediaOverlayWidget panel;
    panel.show();
    for (int i = 0; i < 3; ++i)
        QVERIFY(panel.addVideoOverlay(m_video, QPointF()));

    // A schedule run takes the last place while the operator picks a file.
    std::shared_ptr<BoxSeen> box;
    chooseInNextFileDialog(m_video, [&] {
        QVERIFY(panel.addVideoOverlay(m_video, QPointF(200, 200)));
        box = acknowledgeNextBox();
    });
    QTest::ignoreMessage(QtWarningMsg, kVideoLimitWarning);
    button(panel, "addVideoButton")->click();
    QTRY_VERIFY(box && box->seen);
    QCOMPARE(box->text, QStringLiteral("Video overlay limit reached max 4."));
    QCOMPARE(itemsOf<VideoOverlayWidget>(panel).count(), 4);
    settleLoads();
}

void TestMediaOverlayWidget::relaysItemRequests()
{
    MediaOverlayWidget panel;
    VideoOverlayWidget* video = panel.addVideoOverlay(m_video, QPointF(30, 40));
    ImageOverlayWidget* image = panel.addImageOverlay(m_image, QPointF(300, 20));
    QTRY_COMPARE(image->rectInScene().size(), QSizeF(320, 240));
    QSignalSpy videoApply(&panel, &MediaOverlayWidget::videoOverlayApplyRequested);
    QSignalSpy imageApply(&panel, &MediaOverlayWidget::imageOverlayApplyRequested);
    QSignalSpy loop(&panel, &MediaOverlayWidget::videoOverlayLoopChanged);
    QSignalSpy detach(&panel, &MediaOverlayWidget::videoOverlayDetachRequested);

    controlOf<QPushButton>(video, "attachButton")->click();
    QCOMPARE(videoApply.count(), 1);
    QCOMPARE(videoApply.last(), (QList<QVariant>{QVariant::fromValue(video), m_video, QRectF(30, 40, 320, 180),
                                                 qlonglong(0), true}));
    controlOf<QPushButton>(video, "attachButton")->click();
    QCOMPARE(detach.count(), 1);
    QCOMPARE(detach.last().at(0).value<VideoOverlayWidget*>(), video);
    controlOf<QPushButton>(video, "loopButton")->click();
    QCOMPARE(loop.count(), 1);
    QCOMPARE(loop.last().at(0).value<VideoOverlayWidget*>(), video);
    QCOMPARE(loop.last().at(1).toBool(), true);
    controlOf<QPushButton>(image, "applyButton")->click();
    QCOMPARE(imageApply.count(), 1);
    QCOMPARE(imageApply.last(), (QList<QVariant>{QVariant::fromValue(image), m_image, QRectF(300, 20, 320, 240), 1.0}));
    settleLoads();
}

void TestMediaOverlayWidget::applyAll()
{
    MediaOverlayWidget panel;
    VideoOverlayWidget* first = panel.addVideoOverlay(m_video, QPointF(10, 10));
    ImageOverlayWidget* image = panel.addImageOverlay(m_image, QPointF(300, 20));
    VideoOverlayWidget* second = panel.addVideoOverlay(m_video, QPointF(100, 150));
    QTRY_COMPARE(image->rectInScene().size(), QSizeF(320, 240));
    controlOf<QSlider>(image, "opacitySlider")->setValue(40);

    // The second video played to 3 s and was paused there.
    second->setDurationMs(10000);
    controlOf<QPushButton>(second, "playButton")->click();
    second->setPreviewFrame(QImage(64, 36, QImage::Format_RGBA8888), 3000);
    controlOf<QPushButton>(second, "playButton")->click();
    QVERIFY(!second->isPlaying());

    QStringList order;
    QList<QList<QVariant>> calls;
    connect(&panel, &MediaOverlayWidget::videoOverlayApplyRequested, this,
            [&](VideoOverlayWidget* w, QString path, QRectF rect, qlonglong pos, bool playing) {
                order << (w == first ? "first video" : w == second ? "second video" : "?");
                calls << QList<QVariant>{path, rect, pos, playing};
            });
    connect(&panel, &MediaOverlayWidget::imageOverlayApplyRequested, this,
            [&](ImageOverlayWidget* w, QString path, QRectF rect, double opacity) {
                order << (w == image ? "image" : "?");
                calls << QList<QVariant>{path, rect, opacity};
            });
    QSignalSpy sync(second, &VideoOverlayWidget::overlayDecoderSyncRequested);

    button(panel, "applyAllButton")->click();
    QCOMPARE(order, (QStringList{"first video", "image", "second video"}));
    QCOMPARE(calls.at(0), (QList<QVariant>{m_video, QRectF(10, 10, 320, 180), qlonglong(0), true}));
    QCOMPARE(calls.at(1), (QList<QVariant>{m_image, QRectF(300, 20, 320, 240), 0.4}));
    QCOMPARE(calls.at(2), (QList<QVariant>{m_video, QRectF(100, 150, 320, 180), qlonglong(3000), true}));
    QVERIFY(second->isPlaying());
    QCOMPARE(controlOf<QPushButton>(second, "playButton")->text(), QStringLiteral("⏸"));
    QCOMPARE(sync.count(), 0);
    settleLoads();
}

void TestMediaOverlayWidget::clearAll_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("removed");
    QTest::newRow("yes") << "yes" << true;
    QTest::newRow("no") << "no" << false;
    QTest::newRow("closed") << "close" << false;
}

void TestMediaOverlayWidget::clearAll()
{
    QFETCH(QString, answer);
    QFETCH(bool, removed);
    MediaOverlayWidget panel;
    panel.show();
    QPointer<VideoOverlayWidget> first = panel.addVideoOverlay(m_video, QPointF(10, 10));
    QPointer<ImageOverlayWidget> image = panel.addImageOverlay(m_image, QPointF(20, 20));
    QPointer<VideoOverlayWidget> second = panel.addVideoOverlay(m_video, QPointF(40, 40));
    QGraphicsScene* scene = sceneOf(panel);

    QList<VideoOverlayWidget*> announced;
    connect(&panel, &MediaOverlayWidget::videoOverlayRemoveRequested, this, [&](VideoOverlayWidget* w) {
        QCOMPARE(w->scene(), scene); // still in the scene when announced
        announced << w;
    });
    BoxSeen seen;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    whenModal<QMessageBox>([&](QMessageBox* box) {
        seen = {box->windowTitle(), box->text(), true};
        defaultButton = box->standardButton(box->defaultButton());
        if (answer == "yes")
            box->button(QMessageBox::Yes)->click();
        else if (answer == "no")
            box->button(QMessageBox::No)->click();
        else
            box->close();
    });
    button(panel, "clearAllButton")->click();
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, QStringLiteral("Clear all overlays"));
    QCOMPARE(seen.text, QStringLiteral("Remove all overlay videos and images?"));
    QCOMPARE(defaultButton, QMessageBox::No);

    if (!removed) {
        QVERIFY(announced.isEmpty());
        QCOMPARE(itemsOf<VideoOverlayWidget>(panel).count(), 2);
        QCOMPARE(itemsOf<ImageOverlayWidget>(panel).count(), 1);
        QVERIFY(button(panel, "clearAllButton")->isEnabled());
        settleLoads();
        return;
    }
    // Top-most first; image items go without a panel signal.
    QCOMPARE(announced, (QList<VideoOverlayWidget*>{second.data(), first.data()}));
    QVERIFY(scene->items().isEmpty());
    QVERIFY(!button(panel, "applyAllButton")->isEnabled());
    QVERIFY(!button(panel, "clearAllButton")->isEnabled());
    settleLoads();
    QVERIFY(!first && !second && !image); // deleted by the event loop
    for (int i = 0; i < 4; ++i)
        QVERIFY(panel.addVideoOverlay(m_video, QPointF()));
    settleLoads();
}

void TestMediaOverlayWidget::secondRemovalOfTheSameItem()
{
    MediaOverlayWidget panel;
    QSignalSpy announced(&panel, &MediaOverlayWidget::videoOverlayRemoveRequested);
    VideoOverlayWidget* gone = panel.addVideoOverlay(m_video, QPointF());
    VideoOverlayWidget* kept = panel.addVideoOverlay(m_video, QPointF(50, 50));
    ImageOverlayWidget* goneImage = panel.addImageOverlay(m_image, QPointF());
    ImageOverlayWidget* keptImage = panel.addImageOverlay(m_image, QPointF(50, 50));

    // Twice before the deferred deletion runs (a schedule step and the operator).
    emit gone->removeRequested();
    emit gone->removeRequested();
    emit goneImage->removeRequested();
    emit goneImage->removeRequested();
    QCOMPARE(announced.count(), 1);
    QVERIFY(button(panel, "applyAllButton")->isEnabled()); // two items remain
    QCOMPARE(itemsOf<VideoOverlayWidget>(panel), QList<VideoOverlayWidget*>{kept});
    QCOMPARE(itemsOf<ImageOverlayWidget>(panel), QList<ImageOverlayWidget*>{keptImage});

    // Still four of each at most.
    for (int i = 0; i < 3; ++i) {
        QVERIFY(panel.addVideoOverlay(m_video, QPointF()));
        QVERIFY(panel.addImageOverlay(m_image, QPointF()));
    }
    QTest::ignoreMessage(QtWarningMsg, kVideoLimitWarning);
    QVERIFY(!panel.addVideoOverlay(m_video, QPointF()));
    QTest::ignoreMessage(QtWarningMsg, kImageLimitWarning);
    QVERIFY(!panel.addImageOverlay(m_image, QPointF()));
    settleLoads();
}

void TestMediaOverlayWidget::languageReachesItems()
{
    MediaOverlayWidget panel;
    VideoOverlayWidget* video = panel.addVideoOverlay(m_video, QPointF());
    ImageOverlayWidget* image = panel.addImageOverlay(m_image, QPointF(300, 0));
    QCOMPARE(button(panel, "addVideoButton")->text(), QStringLiteral("Add Video"));

    panel.setChineseUi(true);
    QCOMPARE(button(panel, "addVideoButton")->text(), QStringLiteral("添加视频"));
    QCOMPARE(button(panel, "addImageButton")->text(), QStringLiteral("添加图片"));
    QCOMPARE(button(panel, "applyAllButton")->text(), QStringLiteral("全部叠加"));
    QCOMPARE(button(panel, "clearAllButton")->text(), QStringLiteral("清除全部"));
    QCOMPARE(controlOf<QPushButton>(video, "playButton")->toolTip(), QStringLiteral("播放 / 暂停"));
    QCOMPARE(controlOf<QPushButton>(video, "attachButton")->toolTip(), QStringLiteral("叠加到节目输出"));
    QCOMPARE(controlOf<QPushButton>(image, "applyButton")->text(), QStringLiteral("叠加"));
    QCOMPARE(controlOf<QSlider>(image, "opacitySlider")->toolTip(), QStringLiteral("图片叠加透明度"));
    // Items added later start in the panel's language.
    VideoOverlayWidget* later = panel.addVideoOverlay(m_video, QPointF(0, 200));
    QCOMPARE(controlOf<QPushButton>(later, "stopButton")->toolTip(), QStringLiteral("停止"));

    panel.setChineseUi(false);
    QCOMPARE(controlOf<QPushButton>(image, "applyButton")->text(), QStringLiteral("Overlay"));
    QCOMPARE(controlOf<QPushButton>(later, "stopButton")->toolTip(), QStringLiteral("Stop"));
    settleLoads();
}

void TestMediaOverlayWidget::floatingAndDocked()
{
    QMainWindow window;
    auto* dock = new QDockWidget(QStringLiteral("Video Overlay"), &window);
    auto* panel = new MediaOverlayWidget;
    dock->setWidget(panel); // the dock becomes the panel's parent
    window.addDockWidget(Qt::RightDockWidgetArea, dock);
    window.resize(1200, 800);
    window.show();
    panel->addVideoOverlay(m_video, QPointF(10, 10));
    auto* view = panel->findChild<QGraphicsView*>();
    auto* scroll = panel->findChild<QScrollArea*>();

    // Docked: a window-state change does not refit the view.
    panel->fitViewToWindow();
    QVERIFY(view->transform().isIdentity());

    dock->setFloating(true);
    dock->resize(1000, 700);
    panel->onDockFloatingChanged(true);
    QTRY_VERIFY(!view->transform().isIdentity());
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(scroll->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(scroll->widgetResizable());
    // The whole canvas, letter-boxed and centred, as large as the viewport allows.
    const QSize viewport = view->viewport()->size();
    const double expected = qMin(viewport.width() / 640.0, viewport.height() / 360.0);
    QCOMPARE(view->transform().m11(), view->transform().m22());
    QVERIFY2(qAbs(view->transform().m11() - expected) < 0.02,
             qPrintable(QStringLiteral("scale %1, viewport %2 x %3").arg(view->transform().m11())
                            .arg(viewport.width()).arg(viewport.height())));
    const QRect canvas = view->mapFromScene(QRectF(0, 0, 640, 360)).boundingRect();
    QVERIFY(view->viewport()->rect().adjusted(-1, -1, 1, 1).contains(canvas));
    QVERIFY(qAbs(canvas.left() - (viewport.width() - canvas.right())) <= 3);
    QVERIFY(qAbs(canvas.top() - (viewport.height() - canvas.bottom())) <= 3);

    // A window-state change refits to the new size.
    dock->resize(700, 600);
    QTest::qWait(20);
    panel->fitViewToWindow();
    const QSize smaller = view->viewport()->size();
    QVERIFY(qAbs(view->transform().m11() - qMin(smaller.width() / 640.0, smaller.height() / 360.0)) < 0.02);

    dock->setFloating(false);
    panel->onDockFloatingChanged(false);
    QVERIFY(view->transform().isIdentity());
    QCOMPARE(view->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QCOMPARE(dock->size(), QSize(680, 420));
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QCOMPARE(scroll->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QVERIFY(!scroll->widgetResizable());
    // Called again (window closed, layout reset): still fine.
    panel->onDockFloatingChanged(false);
    QVERIFY(view->transform().isIdentity());
    settleLoads();
}

void TestMediaOverlayWidget::panelDestroyedWhileImagesLoad()
{
    const QString big = testsupport::ensureFixture(
        QStringLiteral("overlay_editor_big.jpg"),
        {"-f", "lavfi", "-i", "testsrc2=size=7680x4320", "-frames:v", "1", "-q:v", "2"});
    QVERIFY(!big.isEmpty());
    {
        // Loads still queued when the panel goes.
        PoolGate gate;
        auto panel = std::make_unique<MediaOverlayWidget>();
        for (int i = 0; i < 4; ++i)
            QVERIFY(panel->addImageOverlay(big, QPointF(10 * i, 10 * i)));
        panel.reset();
        gate.open();
        settleLoads();
    }
    {
        // Loads running when the panel goes.
        auto panel = std::make_unique<MediaOverlayWidget>();
        for (int i = 0; i < 4; ++i)
            QVERIFY(panel->addImageOverlay(big, QPointF(10 * i, 10 * i)));
        QTest::qWait(30);
        panel.reset();
        settleLoads();
    }
}

QUORB_TEST_MAIN(TestMediaOverlayWidget)
#include "tst_mediaoverlaywidget.moc"
