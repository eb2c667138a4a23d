#include "support/testsupport.h"
#include "ui/imageitem.h"
#include "ui/imageplaybackpanel.h"
#include "ui/uitheme.h"

#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QToolButton>

#include <sys/stat.h>

#include <atomic>
#include <thread>

class ImagePlaybackPanelTestAccess {
public:
    static void addImages(ImagePlaybackPanel& p, const QString& folder) { p.addImages(folder); }
    static const QList<ImageItem*>& items(const ImagePlaybackPanel& p) { return p.items; }
    static QGraphicsView* view(const ImagePlaybackPanel& p) { return p.view; }
    static QGraphicsScene* scene(const ImagePlaybackPanel& p) { return p.scene; }
    static QSpinBox* interval(const ImagePlaybackPanel& p) { return p.intervalSpin; }
    static QToolButton* loop(const ImagePlaybackPanel& p) { return p.loopButton; }
    static QPushButton* play(const ImagePlaybackPanel& p) { return p.playButton; }
    static QPushButton* browse(const ImagePlaybackPanel& p) { return p.browseButton; }
    static QLineEdit* folder(const ImagePlaybackPanel& p) { return p.folderEdit; }
};
using Access = ImagePlaybackPanelTestAccess;

namespace {

void writeImage(const QString& path, QSize size, QColor colour = Qt::darkCyan)
{
    QImage img(size, QImage::Format_RGB32);
    img.fill(colour);
    QVERIFY2(img.save(path), qPrintable(path));
}

void writeText(const QString& path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not a picture");
}

QStringList fileNames(const QList<ImageItem*>& items)
{
    QStringList names;
    for (const ImageItem* item : items)
        names << QFileInfo(item->path()).fileName();
    return names;
}

// A folder of n small pictures named 0.png, 1.png, ...
QString numberedFolder(QTemporaryDir& dir, int n)
{
    for (int i = 0; i < n; ++i)
        writeImage(dir.filePath(QString("%1.png").arg(i)), QSize(40, 30));
    return dir.path();
}

// Many hard links to one big generated JPEG: each decodes as a full photo.
QString bigJpegFolder(QTemporaryDir& dir, int n)
{
    const QString jpeg = testsupport::ensureFixture(
        "slideshow_big.jpg", {"-f", "lavfi", "-i", "testsrc2=size=4000x3000", "-frames:v", "1", "-q:v", "3"});
    if (jpeg.isEmpty())
        return {};
    for (int i = 0; i < n; ++i) {
        const QString link = dir.filePath(QString("photo%1.jpg").arg(i, 3, 10, QLatin1Char('0')));
        if (::link(QFile::encodeName(jpeg).constData(), QFile::encodeName(link).constData()) != 0
            && !QFile::copy(jpeg, link))
            return {};
    }
    return dir.path();
}

void sendMouse(QGraphicsView* view, QEvent::Type type, QPointF scenePos, Qt::MouseButton button,
               Qt::MouseButtons buttons, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QWidget* vp = view->viewport();
    const QPointF pos = view->mapFromScene(scenePos);
    QMouseEvent e(type, pos, vp->mapToGlobal(pos), button, buttons, mods);
    QCoreApplication::sendEvent(vp, &e);
}

void click(QGraphicsView* view, QPointF scenePos, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    sendMouse(view, QEvent::MouseButtonPress, scenePos, Qt::LeftButton, Qt::LeftButton, mods);
    sendMouse(view, QEvent::MouseButtonRelease, scenePos, Qt::LeftButton, Qt::NoButton, mods);
}

std::unique_ptr<ImagePlaybackPanel> shownPanel()
{
    auto p = std::make_unique<ImagePlaybackPanel>(nullptr);
    p->resize(700, 420);
    p->show();
    if (!QTest::qWaitForWindowExposed(p.get()))
        qWarning("panel not exposed");
    // Keep the scene's top-left at the viewport's, so scene points map the
    // same before and after a drag grows the scene.
    Access::view(*p)->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return p;
}

} // namespace

class TestImagePlaybackPanel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initQuorbelResources(); }
    void folderFilterAndOrder();
    void gridPositions();
    void dropIndex_data();
    void dropIndex();
    void dragReordersThroughView_data();
    void dragReordersThroughView();
    void highlightWithAndWithoutShift();
    void playStopAndEnabledState();
    void intervalLimits_data();
    void intervalLimits();
    void textsInBothLanguages();
    void thumbnailsFitAndBrokenFilesKeepPlaceholder();
    void thumbnailLoadsOffGuiThread();
    void removeAllWhileLoading();
    void destroyPanelWhileLoading();
    void processQuitsWhileLoading_data();
    void processQuitsWhileLoading();
};

void TestImagePlaybackPanel::folderFilterAndOrder()
{
    QTemporaryDir dir;
    writeImage(dir.filePath("b.PNG"), QSize(20, 20));
    writeImage(dir.filePath("A.jpg"), QSize(20, 20));
    writeImage(dir.filePath("e.JpEg"), QSize(20, 20));
    writeImage(dir.filePath("c.bmp"), QSize(20, 20));
    writeText(dir.filePath("D.gif.txt"));
    writeText(dir.filePath("notes.txt"));
    writeText(dir.filePath("broken.gif")); // named like a picture: listed all the same
    writeImage(dir.filePath(".hidden.png"), QSize(20, 20));
    QVERIFY(QDir(dir.path()).mkdir("d.png"));

    const QStringList expected{"A.jpg", "b.PNG", "broken.gif", "c.bmp", "e.JpEg"};
    QStringList names;
    for (const QString& p : slideshowImagesInFolder(dir.path())) {
        QVERIFY(QFileInfo(p).isAbsolute());
        names << QFileInfo(p).fileName();
    }
    QCOMPARE(names, expected);

    // The same folder twice lists its pictures twice, after those already there.
    ImagePlaybackPanel panel(nullptr);
    Access::addImages(panel, dir.path());
    Access::addImages(panel, dir.path());
    QCOMPARE(fileNames(Access::items(panel)), expected + expected);
    QCOMPARE(Access::folder(panel)->text(), dir.path());
    QCOMPARE(Access::scene(panel)->items().size(), 10);
}

void TestImagePlaybackPanel::gridPositions()
{
    QTemporaryDir dir;
    ImagePlaybackPanel panel(nullptr);
    Access::addImages(panel, numberedFolder(dir, 7));
    const QList<QPointF> expected{{0, 0}, {120, 0}, {240, 0}, {360, 0}, {480, 0}, {0, 120}, {120, 120}};
    QList<QPointF> positions;
    for (const ImageItem* item : Access::items(panel))
        positions << item->pos();
    QCOMPARE(positions, expected);
}

void TestImagePlaybackPanel::dropIndex_data()
{
    QTest::addColumn<QPointF>("centre");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("index");
    QTest::newRow("second row beyond the end: last") << QPointF(250, 130) << 7 << 6;
    QTest::newRow("top-left cell") << QPointF(10, 10) << 7 << 0;
    QTest::newRow("third cell") << QPointF(250, 60) << 7 << 2;
    QTest::newRow("right of the fifth column: next row") << QPointF(610, 10) << 12 << 5;
    QTest::newRow("above and left of the grid") << QPointF(-300, -300) << 7 << 0;
    QTest::newRow("slightly left of the grid truncates to column 0") << QPointF(-10, 130) << 7 << 5;
    QTest::newRow("one item") << QPointF(400, 400) << 1 << 0;
}

void TestImagePlaybackPanel::dropIndex()
{
    QFETCH(QPointF, centre);
    QFETCH(int, count);
    QFETCH(int, index);
    QCOMPARE(slideshowDropIndex(centre, count), index);
}

void TestImagePlaybackPanel::dragReordersThroughView_data()
{
    QTest::addColumn<int>("dragged");
    QTest::addColumn<QPointF>("dropCentre");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("first onto (250,130): last")
        << 0 << QPointF(250, 130) << QStringList{"1", "2", "3", "4", "5", "6", "0"};
    QTest::newRow("last onto (10,10): first")
        << 6 << QPointF(10, 10) << QStringList{"6", "0", "1", "2", "3", "4", "5"};
    QTest::newRow("second onto the fourth cell")
        << 1 << QPointF(400, 40) << QStringList{"0", "2", "3", "1", "4", "5", "6"};
    QTest::newRow("released without a move") << 3 << QPointF() << QStringList{"0", "1", "2", "3", "4", "5", "6"};
}

void TestImagePlaybackPanel::dragReordersThroughView()
{
    QFETCH(int, dragged);
    QFETCH(QPointF, dropCentre);
    QFETCH(QStringList, order);
    QTemporaryDir dir;
    auto panel = shownPanel();
    Access::addImages(*panel, numberedFolder(dir, 7));
    QGraphicsView* view = Access::view(*panel);
    ImageItem* item = Access::items(*panel).at(dragged);
    // Grab the placeholder at a point off its centre; the item keeps that
    // point under the pointer, so its centre lands at dropCentre.
    const QPointF grabOffset(30, 20);
    const QPointF start = item->pos() + grabOffset;
    sendMouse(view, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    QPointF end = start;
    if (!dropCentre.isNull()) {
        end = dropCentre - QPointF(50, 50) + grabOffset;
        sendMouse(view, QEvent::MouseMove, (start + end) / 2, Qt::NoButton, Qt::LeftButton);
        sendMouse(view, QEvent::MouseMove, end, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(item->pos(), dropCentre - QPointF(50, 50));
    }
    sendMouse(view, QEvent::MouseButtonRelease, end, Qt::LeftButton, Qt::NoButton);

    QStringList names = fileNames(Access::items(*panel));
    for (QString& n : names)
        n.chop(4);
    QCOMPARE(names, order);
    for (int i = 0; i < Access::items(*panel).size(); ++i)
        QCOMPARE(Access::items(*panel).at(i)->pos(), slideshowCellPosition(i));

    QSignalSpy requested(panel.get(), &ImagePlaybackPanel::imagePlayRequested);
    QTest::mouseClick(Access::play(*panel), Qt::LeftButton);
    QCOMPARE(requested.count(), 1);
    QStringList played;
    for (const QString& p : requested.at(0).at(0).toStringList())
        played << QFileInfo(p).completeBaseName();
    QCOMPARE(played, order);
}

void TestImagePlaybackPanel::highlightWithAndWithoutShift()
{
    QTemporaryDir dir;
    auto panel = shownPanel();
    Access::addImages(*panel, numberedFolder(dir, 3));
    QGraphicsView* view = Access::view(*panel);
    const QList<ImageItem*> items = Access::items(*panel);
    auto highlighted = [&] {
        QList<int> on;
        for (int i = 0; i < items.size(); ++i) {
            if (items[i]->isHighlighted())
                on << i;
        }
        return on;
    };
    const QPointF a(50, 50), b(170, 50);
    click(view, a);
    QCOMPARE(highlighted(), QList<int>{0});
    click(view, b);
    QCOMPARE(highlighted(), QList<int>{1});
    click(view, a, Qt::ShiftModifier);
    QCOMPARE(highlighted(), (QList<int>{0, 1}));
    click(view, b);
    QCOMPARE(highlighted(), QList<int>{});

    // The frame is drawn: a blue edge on a highlighted thumbnail.
    click(view, a);
    const QImage shot = view->viewport()->grab().toImage();
    const QPoint edge = view->mapFromScene(QPointF(50, 0));
    const QColor c = shot.pixelColor(edge);
    QVERIFY2(c.blue() > 150 && c.red() < 80 && c.green() < 80, qPrintable(c.name()));
}

void TestImagePlaybackPanel::playStopAndEnabledState()
{
    ImagePlaybackPanel panel(nullptr);
    QSignalSpy requested(&panel, &ImagePlaybackPanel::imagePlayRequested);
    QSignalSpy stopRequested(&panel, &ImagePlaybackPanel::imagePlayStopRequested);
    QPushButton* play = Access::play(panel);

    QTest::mouseClick(play, Qt::LeftButton);
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).toStringList(), QStringList());
    QCOMPARE(requested.at(0).at(1).toInt(), 2000);
    QCOMPARE(requested.at(0).at(2).toBool(), true);

    Access::interval(panel)->setValue(5000);
    Access::loop(panel)->click();
    QTest::mouseClick(play, Qt::LeftButton);
    QCOMPARE(requested.count(), 2);
    QCOMPARE(requested.at(1).at(1).toInt(), 5000);
    QCOMPARE(requested.at(1).at(2).toBool(), false);
    // The panel waits for the main window before it shows the playing state.
    QCOMPARE(play->text(), QString("Play"));
    QVERIFY(Access::interval(panel)->isEnabled());

    panel.setPlaying(true);
    QCOMPARE(play->text(), QString("Stop"));
    QVERIFY(!Access::interval(panel)->isEnabled());
    QVERIFY(!Access::loop(panel)->isEnabled());
    QVERIFY(Access::folder(panel)->isEnabled());
    QVERIFY(Access::browse(panel)->isEnabled());
    QVERIFY(Access::view(panel)->isEnabled());
    QVERIFY(play->isEnabled());
    QCOMPARE(requested.count(), 2);
    QCOMPARE(stopRequested.count(), 0);

    QTest::mouseClick(play, Qt::LeftButton);
    QCOMPARE(stopRequested.count(), 1);
    QCOMPARE(requested.count(), 2);
    QCOMPARE(play->text(), QString("Stop"));

    panel.setPlaying(false);
    QCOMPARE(play->text(), QString("Play"));
    QVERIFY(Access::interval(panel)->isEnabled());
    QVERIFY(Access::loop(panel)->isEnabled());
    QCOMPARE(stopRequested.count(), 1);
    QCOMPARE(requested.count(), 2);
}

void TestImagePlaybackPanel::intervalLimits_data()
{
    QTest::addColumn<int>("typed");
    QTest::addColumn<int>("sent");
    QTest::newRow("below the range") << 50 << 200;
    QTest::newRow("lowest") << 200 << 200;
    QTest::newRow("highest") << 10000 << 10000;
    QTest::newRow("above the range") << 60000 << 10000;
}

void TestImagePlaybackPanel::intervalLimits()
{
    QFETCH(int, typed);
    QFETCH(int, sent);
    ImagePlaybackPanel panel(nullptr);
    QSpinBox* spin = Access::interval(panel);
    spin->setValue(typed);
    QSignalSpy requested(&panel, &ImagePlaybackPanel::imagePlayRequested);
    QTest::mouseClick(Access::play(panel), Qt::LeftButton);
    QCOMPARE(requested.at(0).at(1).toInt(), sent);
}

void TestImagePlaybackPanel::textsInBothLanguages()
{
    ImagePlaybackPanel panel(nullptr);
    QToolButton* loop = Access::loop(panel);
    QCOMPARE(loop->text(), QString("↻"));
    QCOMPARE(loop->accessibleName(), QString("imageSequenceLoop"));
    QVERIFY(loop->isChecked());
    QCOMPARE(loop->toolTip(), QString("Loop on: continue from the first image after the last"));
    loop->click();
    QCOMPARE(loop->toolTip(), QString("Loop off: stop after the last image"));

    panel.setChineseUi(true);
    QCOMPARE(loop->toolTip(), QString("循环已关闭：最后一张结束后停止"));
    QCOMPARE(Access::play(panel)->text(), QString("播放图片"));
    QCOMPARE(Access::play(panel)->toolTip(), QString("按设定间隔轮播图片"));
    QCOMPARE(Access::browse(panel)->text(), QString("浏览"));
    QCOMPARE(Access::folder(panel)->placeholderText(), QString("图片目录"));
    QCOMPARE(Access::interval(panel)->toolTip(), QString("每张图片显示时长：200-10000 ms"));
    panel.setPlaying(true);
    QCOMPARE(Access::play(panel)->text(), QString("停止播放"));
    QCOMPARE(Access::play(panel)->toolTip(), QString("停止图片轮播"));
    panel.setChineseUi(false);
    QCOMPARE(Access::play(panel)->text(), QString("Stop"));
    QCOMPARE(Access::play(panel)->toolTip(), QString("Stop image playback"));
    QCOMPARE(Access::browse(panel)->toolTip(), QString("Select image folder"));
}

void TestImagePlaybackPanel::thumbnailsFitAndBrokenFilesKeepPlaceholder()
{
    QTemporaryDir dir;
    writeImage(dir.filePath("a_wide.png"), QSize(400, 300), Qt::red);
    writeImage(dir.filePath("b_tall.jpg"), QSize(300, 900), Qt::green);
    writeImage(dir.filePath("c_small.bmp"), QSize(40, 20), Qt::blue);
    writeText(dir.filePath("d_broken.png"));
    ImagePlaybackPanel panel(nullptr);
    Access::addImages(panel, dir.path());
    const QList<ImageItem*> items = Access::items(panel);
    QCOMPARE(items.size(), 4);
    QTRY_COMPARE(items[0]->pixmap().size(), QSize(100, 75));
    QTRY_COMPARE(items[1]->pixmap().size(), QSize(33, 100));
    QTRY_COMPARE(items[2]->pixmap().size(), QSize(100, 50));
    QCOMPARE(items[0]->pixmap().toImage().pixelColor(50, 30), QColor(Qt::red));
    QTest::qWait(200);
    QCOMPARE(items[3]->pixmap().size(), QSize(100, 100));
    QCOMPARE(items[3]->pixmap().toImage().pixelColor(50, 50), QColor(32, 32, 32));
    QCOMPARE(items[3]->toolTip(), QString("d_broken.png"));
}

void TestImagePlaybackPanel::thumbnailLoadsOffGuiThread()
{
    // The picture is a named pipe: opening it for reading blocks until the
    // writer below opens it, which happens only once the item's constructor
    // has returned. A load on the GUI thread would block the constructor.
    QTemporaryDir dir;
    const QString fifo = dir.filePath("pipe.png");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    QByteArray png;
    {
        QBuffer buf(&png);
        buf.open(QIODevice::WriteOnly);
        QImage img(200, 100, QImage::Format_RGB32);
        img.fill(Qt::yellow);
        QVERIFY(img.save(&buf, "PNG"));
    }
    std::atomic<bool> constructed{false};
    std::atomic<bool> openedBeforeConstructed{false};
    std::thread writer([&] {
        for (int i = 0; i < 300 && !constructed.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        openedBeforeConstructed = !constructed.load();
        QFile out(fifo);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(png);
            out.close();
        }
    });
    QGraphicsScene scene;
    auto* item = new ImageItem(fifo);
    constructed = true;
    scene.addItem(item);
    QTRY_COMPARE_WITH_TIMEOUT(item->pixmap().size(), QSize(100, 50), 10000);
    writer.join();
    QVERIFY(!openedBeforeConstructed.load());
    QCOMPARE(item->pixmap().toImage().pixelColor(50, 25), QColor(Qt::yellow));
}

void TestImagePlaybackPanel::removeAllWhileLoading()
{
    QTemporaryDir dir;
    const QString folder = bigJpegFolder(dir, 200);
    QVERIFY(!folder.isEmpty());
    ImagePlaybackPanel panel(nullptr);
    Access::addImages(panel, folder);
    QCOMPARE(Access::items(panel).size(), 200);
    QTest::qWait(30); // some loads running, most queued
    for (ImageItem* item : Access::items(panel))
        item->setSelected(true);
    QVERIFY(QMetaObject::invokeMethod(&panel, "removeSelectedImages"));
    QVERIFY(Access::items(panel).isEmpty());
    QVERIFY(Access::scene(panel)->items().isEmpty());
    // Loads still running finish and deliver nothing.
    QTest::qWait(1500);
    QVERIFY(Access::scene(panel)->items().isEmpty());

    // The panel keeps working after the storm.
    QTemporaryDir small;
    Access::addImages(panel, numberedFolder(small, 2));
    QTRY_COMPARE(Access::items(panel).at(1)->pixmap().size(), QSize(100, 75));
}

void TestImagePlaybackPanel::destroyPanelWhileLoading()
{
    QTemporaryDir dir;
    const QString folder = bigJpegFolder(dir, 200);
    QVERIFY(!folder.isEmpty());
    {
        auto panel = shownPanel();
        Access::addImages(*panel, folder);
        QTest::qWait(30);
    }
    QTest::qWait(1500);
}

void TestImagePlaybackPanel::processQuitsWhileLoading_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("through the event loop") << "quit";
    QTest::newRow("returning from main") << "return";
}

void TestImagePlaybackPanel::processQuitsWhileLoading()
{
    QFETCH(QString, mode);
    QTemporaryDir dir;
    const QString folder = bigJpegFolder(dir, 60);
    QVERIFY(!folder.isEmpty());
    QProcess helper;
    helper.setProcessChannelMode(QProcess::MergedChannels);
    helper.start(QStringLiteral(QUORB_TEST_BIN_DIR "/helper_thumbnailquit"), {folder, mode});
    QVERIFY(helper.waitForFinished(60000));
    const QByteArray out = helper.readAll();
    QVERIFY2(helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0, out.constData());
    QVERIFY2(!out.contains("Sanitizer"), out.constData());
}

QUORB_TEST_MAIN(TestImagePlaybackPanel)
#include "tst_imageplaybackpanel.moc"
