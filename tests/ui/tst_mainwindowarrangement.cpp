// The arrangement runner inside the real main window: its signal, the
// window's overlay model, overlay editor and channel strips.

#include "mainwindowtestaccess.h"

#include "engine/overlaymanager.h"
#include "support/testsupport.h"
#include "ui/imageoverlaywidget.h"
#include "ui/mainwindow.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/videoinputpanel.h"

#include <QElapsedTimer>
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
    void realRunSwitchesChannelAndTimesCaption_data();
    void realRunSwitchesChannelAndTimesCaption();

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

namespace {

// A two-second single-colour clip, so each channel's picture is told apart.
QString colourClip(const QString& colour)
{
    return testsupport::ensureFixture(QString("arrangement_%1_2s.mp4").arg(colour),
                                      {"-f", "lavfi", "-i", QString("color=c=%1:size=320x180:rate=25:duration=2").arg(colour),
                                       "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25"});
}

bool hasCaption(MainWindowTestAccess& access)
{
    return !access.overlayManager()->textOverlays().isEmpty();
}

} // namespace

void TestMainWindowArrangement::realRunSwitchesChannelAndTimesCaption_data()
{
    QTest::addColumn<bool>("firstLoops");
    QTest::newRow("first clip loops") << true;
    // The first clip ends at 2 s and leaves the channel idle for 3 s: the
    // switch must still come from the run's own time.
    QTest::newRow("first clip plays once") << false;
}

void TestMainWindowArrangement::realRunSwitchesChannelAndTimesCaption()
{
    QFETCH(bool, firstLoops);
    const QString red = colourClip("red");
    const QString blue = colourClip("blue");
    QVERIFY(!red.isEmpty() && !blue.isEmpty());

    MainWindow w;
    MainWindowTestAccess access(w);

    ProgramArrangement a;
    SceneClip first;
    first.id = "first";
    first.channel = 0;
    first.startMs = 0;
    first.endMs = 5000;
    first.sceneVideoPath = red;
    first.sceneVideoLoop = firstLoops;
    SceneClip second;
    second.id = "second";
    second.channel = 1;
    second.startMs = 5000;
    second.sceneVideoPath = blue;
    OverlayClip caption;
    caption.id = "caption";
    caption.overlayKind = OverlayClipKind::Text;
    caption.startMs = 1000;
    caption.endMs = 3000;
    caption.textData.text = "LIVE";
    a.sceneClips = {first, second};
    a.overlayClips = {caption};

    QElapsedTimer run;
    run.start();
    w.startProgramArrangement(a);
    QVERIFY(w.arrangementRunning());

    QTRY_COMPARE_WITH_TIMEOUT(access.programChannelIndex(), 0, 1000);
    QVERIFY(!hasCaption(access));

    // Nothing steps the run here but the window's own clock and frames.
    QTest::qWait(int(qMax<qint64>(0, 500 - run.elapsed())));
    QVERIFY2(!hasCaption(access), "caption shown before its start");
    QTest::qWait(int(qMax<qint64>(0, 2000 - run.elapsed())));
    QVERIFY2(hasCaption(access), "caption missing inside its interval");
    QCOMPARE(access.overlayManager()->textOverlays().first().text, QString("LIVE"));
    QTest::qWait(int(qMax<qint64>(0, 3500 - run.elapsed())));
    QVERIFY2(!hasCaption(access), "caption still shown after its end");

    // Watch the program source closely around 5 s. The composition clock
    // alone would give ~40 ms; 250 ms of slack keeps a loaded build machine
    // from failing the test while a switch tied to the clip's own (looped
    // or ended) time would still be seconds off.
    while (run.elapsed() < 4900) {
        QCOMPARE(access.programChannelIndex(), 0);
        QTest::qWait(5);
    }
    qint64 switchedAt = -1;
    while (run.elapsed() < 6000) {
        if (access.programChannelIndex() == 1) {
            switchedAt = run.elapsed();
            break;
        }
        QTest::qWait(5);
    }
    QVERIFY2(switchedAt >= 0, "program never reached the second channel");
    QVERIFY2(switchedAt <= 5250, qPrintable(QString("switched at %1 ms").arg(switchedAt)));
    QCOMPARE(access.channelPanels()[1]->sourceUrl().toLocalFile(), blue);
    QVERIFY(!hasCaption(access));

    w.stopProgramArrangement();
    flushDeferredDeletes();
}

QUORB_TEST_MAIN(TestMainWindowArrangement)
#include "tst_mainwindowarrangement.moc"
