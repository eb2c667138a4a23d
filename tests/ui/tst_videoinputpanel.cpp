#include "ui/videoinputpanel.h"

#include "engine/framepool.h"
#include "support/testsupport.h"
#include "ui/uitheme.h"

#include "uitestkit.h"

#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

class VideoInputPanelTestAccess {
public:
    explicit VideoInputPanelTestAccess(VideoInputPanel& p) : p(p) {}
    QString title() const { return p.titleLabel_->text(); }
    QLabel* video() const { return p.videoLabel_; }
    QPushButton* source() const { return p.sourceButton_; }
    QPushButton* play() const { return p.playButton_; }
    QPushButton* stop() const { return p.stopButton_; }
    QPushButton* loop() const { return p.loopToggle_; }
    QPushButton* output() const { return p.outputToggle_; }
    QSlider* seek() const { return p.seekSlider_; }
    QSlider* volume() const { return p.volumeSlider_; }
    QImage lastFrame() const { return p.lastFrame_; }

private:
    VideoInputPanel& p;
};

namespace {

// Every signal of a strip, in the order emitted.
class SignalLog {
public:
    explicit SignalLog(VideoInputPanel& p)
    {
        QObject::connect(&p, &VideoInputPanel::outputToPreviewToggled, &p,
                         [this](bool on) { add(QString("output(%1)").arg(on)); });
        QObject::connect(&p, &VideoInputPanel::programSeekRequested, &p,
                         [this](qint64 ms) { add(QString("seek(%1)").arg(ms)); });
        QObject::connect(&p, &VideoInputPanel::mediaSourceUnloaded, &p,
                         [this](int ch) { add(QString("unloaded(%1)").arg(ch)); });
        QObject::connect(&p, &VideoInputPanel::channelMediaChanged, &p,
                         [this](int ch) { add(QString("media(%1)").arg(ch)); });
        QObject::connect(&p, &VideoInputPanel::playbackStateChanged, &p,
                         [this](bool on) { add(QString("playing(%1)").arg(on)); });
        QObject::connect(&p, &VideoInputPanel::localChannelVolumeChanged, &p, [this] { add("volume"); });
    }
    // What was emitted since the last call.
    QStringList take() { return std::exchange(entries_, {}); }

private:
    void add(const QString& entry) { entries_ << entry; }
    QStringList entries_;
};

// A 1280x720 picture with red, green, blue and white quadrants.
FrameTokenPtr quadrantFrame(FramePool& pool)
{
    FrameTokenPtr token = pool.acquire();
    token->width = pool.width();
    token->height = pool.height();
    token->bytesPerLine = token->width * 4;
    token->data.resize(qsizetype(token->bytesPerLine) * token->height);
    QImage image(reinterpret_cast<uchar*>(token->data.data()), token->width, token->height, token->bytesPerLine,
                 QImage::Format_RGBA8888);
    QPainter painter(&image);
    const int w = token->width / 2;
    const int h = token->height / 2;
    painter.fillRect(0, 0, w, h, Qt::red);
    painter.fillRect(w, 0, w, h, Qt::green);
    painter.fillRect(0, h, w, h, Qt::blue);
    painter.fillRect(w, h, w, h, Qt::white);
    return token;
}

bool near(QColor a, QColor b)
{
    return qAbs(a.red() - b.red()) < 8 && qAbs(a.green() - b.green()) < 8 && qAbs(a.blue() - b.blue()) < 8;
}

} // namespace

class TestVideoInputPanel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void titleAndSeekSlider_data();
    void titleAndSeekSlider();
    void seekRequests_data();
    void seekRequests();
    void signalsThroughTheStates();
    void settersEmitNothing();
    void setSourceStoresEvenInvalidUrl();
    void refusalShowsBoxWithValidatorText();
    void refusalWithoutTextIsSilent();
    void chooserResultIsLoaded();
    void frameIsLetterboxedAndReturned();
    void malformedTokensChangeNothing_data();
    void malformedTokensChangeNothing();
};

void TestVideoInputPanel::initTestCase()
{
    initQuorbelResources();
}

void TestVideoInputPanel::titleAndSeekSlider_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("slider");

    QTest::newRow("start of a known duration") << 0 << 0ll << 90000ll << "CH1 | 00:00 / 01:30" << 0;
    QTest::newRow("hours dropped") << 1 << 3725000ll << 4000000ll << "CH2 | 02:05 / 06:40" << 931;
    QTest::newRow("half way") << 2 << 110000ll << 220000ll << "CH3 | 01:50 / 03:40" << 500;
    QTest::newRow("beyond the duration") << 3 << 9000ll << 4000ll << "CH4 | 00:09 / 00:04" << 1000;
    QTest::newRow("unknown duration") << 0 << 12999ll << -1ll << "CH1 | 00:12 / --:--" << 0;
    QTest::newRow("zero duration is unknown") << 0 << 5000ll << 0ll << "CH1 | 00:05 / --:--" << 0;
}

void TestVideoInputPanel::titleAndSeekSlider()
{
    QFETCH(int, channel);
    QFETCH(qint64, position);
    QFETCH(qint64, duration);
    QFETCH(QString, title);
    QFETCH(int, slider);

    VideoInputPanel panel(channel);
    VideoInputPanelTestAccess a(panel);
    QCOMPARE(a.title(), QString("CH%1 | 00:00 / 00:00").arg(channel + 1));
    SignalLog log(panel);
    panel.setDurationMs(duration);
    panel.onChannelFrame(nullptr, position);
    QCOMPARE(panel.positionMs(), position);
    // A frame without pixels leaves the title to the strip's timer.
    QTRY_COMPARE_WITH_TIMEOUT(a.title(), title, 1000);
    QCOMPARE(a.seek()->value(), slider);
    QCOMPARE(log.take(), QStringList{});
}

void TestVideoInputPanel::seekRequests_data()
{
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<int>("value");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<qint64>("position");

    QTest::newRow("cut to a thousandth") << 3001ll << 500 << QStringList{"seek(1500)"} << 1500ll;
    QTest::newRow("end") << 90000ll << 1000 << QStringList{"seek(90000)"} << 90000ll;
    QTest::newRow("start") << 90000ll << 0 << QStringList{"seek(0)"} << 0ll;
    QTest::newRow("unknown duration") << -1ll << 500 << QStringList{} << 7000ll;
}

void TestVideoInputPanel::seekRequests()
{
    QFETCH(qint64, duration);
    QFETCH(int, value);
    QFETCH(QStringList, expected);
    QFETCH(qint64, position);

    VideoInputPanel panel(0);
    VideoInputPanelTestAccess a(panel);
    panel.setDurationMs(duration);
    // Start away from the requested value so the move changes it.
    panel.onChannelFrame(nullptr, 7000);
    a.seek()->setValue(value == 500 ? 400 : 500);
    if (duration > 0)
        panel.onChannelFrame(nullptr, 7000);
    SignalLog log(panel);
    a.seek()->setValue(value);
    QCOMPARE(log.take(), expected);
    QCOMPARE(panel.positionMs(), position);
    // Releasing the handle asks again for the same place.
    emit a.seek()->sliderReleased();
    QCOMPARE(log.take(), expected);
}

void TestVideoInputPanel::signalsThroughTheStates()
{
    VideoInputPanel panel(2);
    VideoInputPanelTestAccess a(panel);
    SignalLog log(panel);

    // Play with nothing loaded flips the flag anyway.
    a.play()->click();
    QCOMPARE(log.take(), QStringList{"playing(1)"});
    QCOMPARE(a.play()->text(), QString("⏸"));
    a.play()->click();
    QCOMPARE(log.take(), QStringList{"playing(0)"});

    panel.setSource("  /tmp/clip one.mp4 ");
    QCOMPARE(log.take(), (QStringList{"media(2)", "playing(1)"}));
    QCOMPARE(panel.sourceUrl(), QUrl::fromLocalFile("/tmp/clip one.mp4"));
    QVERIFY(panel.isPlaying());
    QCOMPARE(a.title(), QString("CH3 | 00:00 / --:--"));

    a.play()->click(); // pause
    QCOMPARE(log.take(), QStringList{"playing(0)"});
    panel.onPlaybackEnded(); // not playing: nothing
    QCOMPARE(log.take(), QStringList{});
    a.play()->click();
    QCOMPARE(log.take(), QStringList{"playing(1)"});

    panel.setDurationMs(10000);
    panel.onChannelFrame(nullptr, 12000);
    panel.onPlaybackEnded();
    QCOMPARE(log.take(), QStringList{"playing(0)"});
    QCOMPARE(panel.positionMs(), 10000);
    QCOMPARE(a.title(), QString("CH3 | 00:10 / 00:10"));
    QCOMPARE(a.play()->text(), QString("▶"));
    // Frames after the end do not move the position until a seek.
    panel.onChannelFrame(nullptr, 3000);
    QCOMPARE(panel.positionMs(), 10000);
    a.seek()->setValue(200);
    QCOMPARE(log.take(), QStringList{"seek(2000)"});
    panel.onChannelFrame(nullptr, 2500);
    QCOMPARE(panel.positionMs(), 2500);

    // Loop and volume are the operator's own moves.
    a.loop()->click();
    a.volume()->setValue(40);
    QCOMPARE(log.take(), (QStringList{"media(2)", "volume"}));
    QVERIFY(panel.isLoopEnabled());
    QCOMPARE(panel.monitorVolume(), 40);

    // Unload while sent to the program.
    a.output()->click();
    QCOMPARE(log.take(), QStringList{"output(1)"});
    a.stop()->click();
    QCOMPARE(log.take(), (QStringList{"playing(0)", "output(0)", "unloaded(2)", "media(2)"}));
    QVERIFY(!a.output()->isChecked());
    QVERIFY(panel.sourceUrl().isEmpty());
    QCOMPARE(panel.positionMs(), 0);
    QCOMPARE(a.title(), QString("CH3 | 00:00 / 00:00"));
    QCOMPARE(a.seek()->value(), 0);
    // Loop and volume survive an unload.
    QVERIFY(panel.isLoopEnabled());
    QCOMPARE(panel.monitorVolume(), 40);

    // Unload with the toggle clear: no output signal.
    panel.setSource("rtmp://example.test/live");
    log.take();
    a.stop()->click();
    QCOMPARE(log.take(), (QStringList{"playing(0)", "unloaded(2)", "media(2)"}));
}

void TestVideoInputPanel::settersEmitNothing()
{
    VideoInputPanel panel(0);
    VideoInputPanelTestAccess a(panel);
    SignalLog log(panel);
    QCOMPARE(panel.monitorVolume(), 10);
    QVERIFY(!panel.isLoopEnabled());

    panel.setLoopEnabled(true);
    panel.setOutputToPreviewChecked(true);
    panel.setDurationMs(60000);
    panel.setProgramActive(true);
    panel.setChineseUi(true);
    QVERIFY(panel.isLoopEnabled());
    QVERIFY(a.output()->isChecked());
    panel.setLoopEnabled(false);
    panel.setOutputToPreviewChecked(false);
    QVERIFY(!panel.isLoopEnabled());
    QVERIFY(!a.output()->isChecked());
    QCOMPARE(log.take(), QStringList{});
    // Setters keep a caller's own blocking of the toggle.
    a.output()->blockSignals(true);
    panel.setOutputToPreviewChecked(true);
    QVERIFY(a.output()->signalsBlocked());
    a.output()->blockSignals(false);

    QCOMPARE(a.source()->toolTip(), QString("选择文件或 URL"));
    QCOMPARE(a.output()->toolTip(), QString("输出到主预览"));
    panel.setChineseUi(false);
    QCOMPARE(a.source()->toolTip(), QString("Select file or URL"));
    QCOMPARE(a.output()->toolTip(), QString("Send to output preview"));
}

void TestVideoInputPanel::setSourceStoresEvenInvalidUrl()
{
    VideoInputPanel panel(1);
    SignalLog log(panel);
    int validatorCalls = 0;
    panel.setSourceValidator([&](const QString&, QString*) {
        ++validatorCalls;
        return true;
    });

    panel.setSource("   ");
    QCOMPARE(validatorCalls, 0);
    QCOMPARE(log.take(), QStringList{});

    panel.setSource("dshow://capture?video=%zz");
    QVERIFY(!panel.sourceUrl().isValid());
    QVERIFY(!panel.sourceUrl().isEmpty());
    QVERIFY(panel.isPlaying());
    QCOMPARE(log.take(), (QStringList{"media(1)", "playing(1)"}));

    // Capture forms are parsed strictly in any letter case; others as user input.
    panel.setSource("DESKTOP://capture?monitor=1");
    QCOMPARE(panel.sourceUrl().scheme(), QString("desktop"));
    QCOMPARE(panel.sourceUrl().query(), QString("monitor=1"));
    panel.setSource("example.test/live.m3u8");
    QCOMPARE(panel.sourceUrl(), QUrl("http://example.test/live.m3u8"));
}

void TestVideoInputPanel::refusalShowsBoxWithValidatorText()
{
    VideoInputPanel panel(0);
    VideoInputPanelTestAccess a(panel);
    panel.setSource("/tmp/first.mp4");
    SignalLog log(panel);
    QString seen;
    panel.setSourceValidator([&](const QString& source, QString* error) {
        seen = source;
        *error = "输入源不能与当前录制的输出文件相同。";
        return false;
    });

    QString title, text;
    int buttons = 0;
    QWidget* parent = nullptr;
    whenModal<QMessageBox>([&](QMessageBox* box) {
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons().size();
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    panel.setSource("  /tmp/out.mp4  ");
    QCOMPARE(seen, QString("/tmp/out.mp4"));
    QCOMPARE(title, QString("无法使用该源"));
    QCOMPARE(text, QString("输入源不能与当前录制的输出文件相同。"));
    QCOMPARE(buttons, 1);
    QCOMPARE(parent, &panel);
    QCOMPARE(panel.sourceUrl(), QUrl::fromLocalFile("/tmp/first.mp4"));
    QCOMPARE(log.take(), QStringList{});
}

void TestVideoInputPanel::refusalWithoutTextIsSilent()
{
    VideoInputPanel panel(0);
    SignalLog log(panel);
    panel.setSourceValidator([](const QString&, QString*) { return false; });
    bool boxShown = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (auto* w = QApplication::activeModalWidget()) {
            boxShown = true;
            w->close();
        }
    });
    probe.start(10);
    panel.setSource("/tmp/any.mp4");
    QTest::qWait(100);
    QVERIFY(!boxShown);
    QVERIFY(panel.sourceUrl().isEmpty());
    QCOMPARE(log.take(), QStringList{});
}

void TestVideoInputPanel::chooserResultIsLoaded()
{
    VideoInputPanel panel(3);
    VideoInputPanelTestAccess a(panel);
    SignalLog log(panel);
    QStringList validated;
    panel.setSourceValidator([&](const QString& source, QString*) {
        validated << source;
        return true;
    });

    whenModal<SourceDialog>([](SourceDialog* dialog) {
        SourceDialogTestAccess d(*dialog);
        d.sourceType()->setCurrentIndex(SourceDialog::NetworkUrl);
        d.url()->setText("  http://example.test/a.m3u8 ");
        dialog->accept();
    });
    a.source()->click();
    QCOMPARE(validated, QStringList{"http://example.test/a.m3u8"});
    QCOMPARE(panel.sourceUrl(), QUrl("http://example.test/a.m3u8"));
    QCOMPARE(log.take(), (QStringList{"media(3)", "playing(1)"}));

    // From the chooser an invalid URL is dropped without a word.
    whenModal<SourceDialog>([](SourceDialog* dialog) {
        SourceDialogTestAccess d(*dialog);
        d.filePath()->setText("wgc://capture?hwnd=%zz");
        dialog->accept();
    });
    a.source()->click();
    QCOMPARE(panel.sourceUrl(), QUrl("http://example.test/a.m3u8"));
    QCOMPARE(log.take(), QStringList{});

    // Cancelled, or nothing chosen: nothing happens, nothing is validated.
    validated.clear();
    whenModal<SourceDialog>([](SourceDialog* dialog) {
        SourceDialogTestAccess(*dialog).filePath()->setText("/tmp/x.mp4");
        dialog->reject();
    });
    a.source()->click();
    whenModal<SourceDialog>([](SourceDialog* dialog) { dialog->accept(); });
    a.source()->click();
    QCOMPARE(validated, QStringList{});
    QCOMPARE(log.take(), QStringList{});
}

void TestVideoInputPanel::frameIsLetterboxedAndReturned()
{
    VideoInputPanel panel(0);
    VideoInputPanelTestAccess a(panel);
    panel.resize(480, 420);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    const QSize area = a.video()->size();
    QVERIFY2(area.width() >= 320 && area.height() > area.width() * 9 / 16 + 20,
             qPrintable(QString("label %1x%2").arg(area.width()).arg(area.height())));

    FramePool pool(2, 1280, 720);
    {
        FrameTokenPtr frame = quadrantFrame(pool);
        panel.onChannelFrame(frame, 4321);
    }
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(panel.positionMs(), 4321);
    QVERIFY(a.lastFrame().width() <= 640 && a.lastFrame().height() <= 360);

    const QImage shot = a.video()->grab().toImage();
    QCOMPARE(shot.size(), area);
    const int picH = area.width() * 9 / 16;
    const int top = (area.height() - picH) / 2;
    const int x1 = area.width() / 4, x2 = area.width() * 3 / 4;
    const int y1 = top + picH / 4, y2 = top + picH * 3 / 4;
    QVERIFY(near(shot.pixelColor(x1, y1), Qt::red));
    QVERIFY(near(shot.pixelColor(x2, y1), Qt::green));
    QVERIFY(near(shot.pixelColor(x1, y2), Qt::blue));
    QVERIFY(near(shot.pixelColor(x2, y2), Qt::white));
    // Black bars above and below.
    QVERIFY(near(shot.pixelColor(x1, top / 2), Qt::black));
    QVERIFY(near(shot.pixelColor(x2, area.height() - 1 - top / 2), Qt::black));

    // Unloading clears the picture at once.
    a.stop()->click();
    QVERIFY(a.video()->pixmap().isNull());
}

void TestVideoInputPanel::malformedTokensChangeNothing_data()
{
    QTest::addColumn<int>("bytesPerLine");
    QTest::addColumn<int>("bytes");
    QTest::newRow("short stride") << 1280 * 4 - 4 << 1280 * 4 * 720;
    QTest::newRow("short buffer") << 1280 * 4 << 1280 * 4 * 719;
    QTest::newRow("no pixels") << 1280 * 4 << 0;
}

void TestVideoInputPanel::malformedTokensChangeNothing()
{
    QFETCH(int, bytesPerLine);
    QFETCH(int, bytes);

    VideoInputPanel panel(0);
    VideoInputPanelTestAccess a(panel);
    FramePool pool(2, 1280, 720);
    panel.onChannelFrame(quadrantFrame(pool), 1000);
    const qint64 before = a.video()->pixmap().cacheKey();

    auto bad = std::make_shared<FrameToken>();
    bad->width = 1280;
    bad->height = 720;
    bad->bytesPerLine = bytesPerLine;
    bad->data = QByteArray(bytes, '\x7f');
    panel.onChannelFrame(bad, 2000);
    QCOMPARE(panel.positionMs(), 2000);
    QCOMPARE(a.video()->pixmap().cacheKey(), before);
    QCOMPARE(a.lastFrame().pixelColor(10, 10), QColor(Qt::red));
}

QUORB_TEST_MAIN(TestVideoInputPanel)
#include "tst_videoinputpanel.moc"
