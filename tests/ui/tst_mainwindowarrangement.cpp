// The arrangement runner inside the real main window: its signal, the
// window's overlay model, overlay editor and channel strips.

#include "mainwindowtestaccess.h"

#include "engine/overlaymanager.h"
#include "support/testsupport.h"
#include "ui/imageoverlaywidget.h"
#include "ui/mainwindow.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/videoinputpanel.h"

#include <QGraphicsScene>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

namespace {

// Image items of the overlay editor, found in its scene by their item type.
int imageItems(MediaOverlayWidget* panel)
{
    auto* scene = panel->findChild<QGraphicsScene*>();
    if (!scene)
        return -1;
    int n = 0;
    for (QGraphicsItem* item : scene->items())
        n += item->type() == ImageOverlayWidget::Type ? 1 : 0;
    return n;
}

void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

class TestMainWindowArrangement : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void runShowsAndRemovesOverlays();
    void restartLeavesOneItemPerClip();
    void baseClipLoadsItsChannel();
    void windowDestroyedDuringRun();

private:
    ProgramArrangement overlayArrangement() const;
    QTemporaryDir dir;
    QString imagePath;
};

void TestMainWindowArrangement::initTestCase()
{
    QVERIFY(dir.isValid());
    imagePath = dir.filePath("logo.png");
    QImage image(64, 36, QImage::Format_ARGB32);
    image.fill(Qt::yellow);
    QVERIFY(image.save(imagePath));
}

ProgramArrangement TestMainWindowArrangement::overlayArrangement() const
{
    ProgramArrangement a;
    OverlayClip text;
    text.id = "caption";
    text.overlayKind = OverlayClipKind::Text;
    text.startMs = 0;
    text.endMs = 3000;
    text.textData.text = "ON AIR";
    OverlayClip image;
    image.id = "logo";
    image.overlayKind = OverlayClipKind::Image;
    image.path = imagePath;
    image.x = 0.5;
    image.y = 0.1;
    image.w = 0.25;
    image.h = 0.25;
    a.overlayClips = {text, image};
    return a;
}

void TestMainWindowArrangement::runShowsAndRemovesOverlays()
{
    MainWindow w;
    MainWindowTestAccess access(w);
    QSignalSpy running(&w, &MainWindow::programArrangementRunningChanged);

    w.startProgramArrangement(overlayArrangement());
    QVERIFY(w.arrangementRunning());
    // A start stops first, then reports the run.
    QCOMPARE(running.count(), 2);
    QCOMPARE(running.at(0).at(0).toBool(), false);
    QCOMPARE(running.at(1).at(0).toBool(), true);

    QCOMPARE(access.overlayManager()->textOverlays().size(), 1);
    QCOMPARE(access.overlayManager()->textOverlays().first().id, 50000);
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 1);

    // The caption's interval ends; the logo has no end.
    w.tickProgramArrangementAt(3000);
    QVERIFY(access.overlayManager()->textOverlays().isEmpty());
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 1);

    w.stopProgramArrangement();
    flushDeferredDeletes();
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 0);
    QVERIFY(!w.arrangementRunning());
    QCOMPARE(running.last().at(0).toBool(), false);

    // Not running: the steps of the window's clock do nothing.
    w.tickProgramArrangementAt(0);
    w.tickProgramArrangementNow();
    QVERIFY(access.overlayManager()->textOverlays().isEmpty());
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 0);
}

void TestMainWindowArrangement::restartLeavesOneItemPerClip()
{
    MainWindow w;
    MainWindowTestAccess access(w);
    w.startProgramArrangement(overlayArrangement());
    // The old item is deleted only after the new run made its own.
    w.startProgramArrangement(overlayArrangement());
    flushDeferredDeletes();
    w.tickProgramArrangementAt(100);
    w.tickProgramArrangementAt(200);
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 1);
    QCOMPARE(access.overlayManager()->textOverlays().size(), 1);
    QCOMPARE(access.overlayManager()->textOverlays().first().id, 50001);
}

void TestMainWindowArrangement::baseClipLoadsItsChannel()
{
    const QString clip = testsupport::clipVideoOnly(1);
    QVERIFY(!clip.isEmpty());
    MainWindow w;
    MainWindowTestAccess access(w);
    VideoInputPanel* strip = access.channelPanels()[2];
    QVERIFY(strip);

    ProgramArrangement a;
    SceneClip first;
    first.id = "first";
    first.channel = 0;
    SceneClip second;
    second.id = "second";
    second.startMs = 5000;
    second.channel = 2;
    second.sceneVideoPath = " " + clip + " ";
    second.sceneVideoLoop = true;
    a.sceneClips = {second, first};

    w.startProgramArrangement(a);
    QVERIFY(strip->sourceUrl().isEmpty());
    w.tickProgramArrangementAt(5000);
    QCOMPARE(strip->sourceUrl().toLocalFile(), clip);
    QVERIFY(strip->isLoopEnabled());
}

void TestMainWindowArrangement::windowDestroyedDuringRun()
{
    auto w = std::make_unique<MainWindow>();
    MainWindowTestAccess access(*w);
    w->startProgramArrangement(overlayArrangement());
    QCOMPARE(imageItems(access.mediaOverlayPanel()), 1);
    // Released without stopping: the editor's items die after the runner.
    w.reset();
    flushDeferredDeletes();
}

QUORB_TEST_MAIN(TestMainWindowArrangement)
#include "tst_mainwindowarrangement.moc"
