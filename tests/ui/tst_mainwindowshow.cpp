// A whole show through the real main window: a clip loaded into channel 1
// through its strip and sent to the program, a text overlay from the text
// panel, recording plus one RTMP destination started and stopped from the
// output panel; both files are probed.

#include "mainwindowtestaccess.h"

#include "app/settingsstore.h"
#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "support/nginxrtmp.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"
#include "ui/outputsettingswidget.h"
#include "ui/textpanel.h"
#include "ui/videoinputpanel.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr int kShowMs = 10000;
const QColor kClipColour(0, 0, 255);

QJsonObject streamOfType(const QJsonObject& probe, const QString& type)
{
    for (const auto& value : probe.value("streams").toArray()) {
        if (value.toObject().value("codec_type").toString() == type)
            return value.toObject();
    }
    return {};
}

double shareNotColour(const QImage& image, const QRect& area, const QColor& colour, int tolerance = 60)
{
    int off = 0, total = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            ++total;
            if (std::abs(c.red() - colour.red()) > tolerance || std::abs(c.green() - colour.green()) > tolerance
                || std::abs(c.blue() - colour.blue()) > tolerance)
                ++off;
        }
    }
    return total ? double(off) / total : 0.0;
}

} // namespace

class TestMainWindowShow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(m_pulse.start(), qPrintable(m_pulse.errorString())); }
    void cleanupTestCase() { m_pulse.stop(); }
    void recordsAndStreamsAShow();

private:
    void checkFile(const QString& path, double seconds);
    testsupport::PulseServer m_pulse;
};

void TestMainWindowShow::checkFile(const QString& path, double seconds)
{
    const QJsonObject probe = testsupport::ffprobe(path);
    const QJsonObject video = streamOfType(probe, "video");
    QVERIFY2(!video.isEmpty(), qPrintable(path + ": no video"));
    QVERIFY2(!streamOfType(probe, "audio").isEmpty(), qPrintable(path + ": no audio"));
    QCOMPARE(video.value("width").toInt(), kWidth);
    QCOMPARE(video.value("height").toInt(), kHeight);
    const QStringList rate = video.value("avg_frame_rate").toString().split('/');
    const double fps = rate.size() == 2 && rate[1].toDouble() > 0 ? rate[0].toDouble() / rate[1].toDouble() : 0;
    QVERIFY2(fps > 0.9 * kFps && fps < 1.02 * kFps, qPrintable(QString("%1: rate %2").arg(path).arg(fps)));
    const double duration = probe.value("format").toObject().value("duration").toString().toDouble();
    qInfo() << path << "duration" << duration << "for" << seconds;
    QVERIFY2(std::abs(duration - seconds) <= 1.0 / kFps + 0.6,
             qPrintable(QString("%1: %2 s for %3 s").arg(path).arg(duration).arg(seconds)));
}

void TestMainWindowShow::recordsAndStreamsAShow()
{
    const QString clip = testsupport::ensureFixture(
        "clip_blue_tone_30s_1280x720.mp4",
        {"-f", "lavfi", "-i", "color=c=blue:size=1280x720:rate=30:duration=30", "-f", "lavfi", "-i",
         "sine=frequency=1000:sample_rate=48000:duration=30", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
         "yuv420p", "-g", "30", "-c:a", "aac", "-shortest"});
    QVERIFY(!clip.isEmpty());
    QTemporaryDir dir;
    const quint16 port = testsupport::freeTcpPort();
    const QString serverDir = dir.filePath("rtmp");
    testsupport::PeerProcess server;
    QVERIFY2(testsupport::startNginxRtmp(server, serverDir, {port, 0}), qPrintable(server.errorString()));
    {
        QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
        s.setValue("output/fileEnabled", true);
        s.setValue("output/filePath", dir.filePath("show.mp4"));
        s.setValue("output/segmentEnabled", false);
        s.setValue("output/resolution", QSize(kWidth, kHeight));
        s.setValue("output/fps", 30.0);
        s.setValue("output/streams/0/enabled", true);
        s.setValue("output/streams/0/protocol", "RTMP");
        s.setValue("output/streams/0/url", QString("rtmp://127.0.0.1:%1/live/show").arg(port));
        s.sync();
    }

    MainWindow window;
    MainWindowTestAccess access(window);
    OutputSettingsWidget* output = access.outputSettings();
    QCOMPARE(output->outputWidth(), kWidth);

    VideoInputPanel* strip = access.channelPanels()[0];
    strip->setSource(clip);
    QTRY_VERIFY(!strip->sourceUrl().isEmpty());
    emit strip->outputToPreviewToggled(true);
    QCOMPARE(access.programChannelIndex(), 0);

    TextPanel* texts = access.textPanel();
    texts->findChild<QPushButton*>("addButton")->click();
    auto* edit = texts->findChild<QLineEdit*>("textEdit");
    QVERIFY(edit);
    edit->setText("QUORBEL LIVE QUORBEL LIVE");
    texts->findChild<QPushButton*>("applyButton")->click();
    QCOMPARE(access.overlayManager()->textOverlays().size(), 1);
    const TextOverlayData text = access.overlayManager()->textOverlays().first();

    QSignalSpy statuses(access.framePipeline(), &FramePipeline::programStreamStatusChanged);
    QSignalSpy stopped(access.framePipeline(), &FramePipeline::programOutputStopped);
    QTest::qWait(1500); // the channel's audio clock settles
    emit output->startOutputRequested();
    QVERIFY(access.framePipeline()->isOutputRunning());
    const QString recording = access.activeRecordingPath();
    QVERIFY(recording.startsWith(dir.filePath("show_")));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(recording), 20000);
    QElapsedTimer shown;
    shown.start();
    QTest::qWait(kShowMs);
    emit output->stopOutputRequested();
    const double seconds = shown.elapsed() / 1000.0;
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 15000);
    QVERIFY(access.activeRecordingPath().isEmpty());

    QStringList words;
    for (const QList<QVariant>& args : statuses)
        words << args.value(1).toString();
    QVERIFY2(words.contains("connecting") && words.contains("online") && words.contains("stopped"),
             qPrintable(words.join(',')));

    checkFile(recording, seconds);
    const QString still = dir.filePath("still.png");
    QCOMPARE(testsupport::runProgram("ffmpeg", {"-v", "error", "-ss", "5", "-i", recording, "-frames:v", "1", "-y",
                                                still}),
             0);
    const QImage frame(still);
    QCOMPARE(frame.size(), QSize(kWidth, kHeight));
    const QRect textArea(int(text.posX * kWidth), int(text.posY * kHeight), 200, 30);
    const QRect plainArea(kWidth / 2, kHeight / 2, 200, 100);
    QVERIFY2(shareNotColour(frame, textArea, kClipColour) > 0.05, "the text overlay is missing");
    QVERIFY2(shareNotColour(frame, plainArea, kClipColour) < 0.01, "the channel's picture is missing");

    QTest::qWait(500);
    server.stop();
    const QStringList streamed = testsupport::nginxRecordings(serverDir);
    QVERIFY(!streamed.isEmpty());
    checkFile(streamed.last(), seconds);
}

QUORB_TEST_MAIN(TestMainWindowShow)
#include "tst_mainwindowshow.moc"
