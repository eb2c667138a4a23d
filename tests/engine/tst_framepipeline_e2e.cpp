// Everything real: a generated clip decoded by a channel decoder, a text and
// an image overlay composed, the program recorded and streamed to a local
// RTMP receiver at 1280x720 30 fps, both results probed.

#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "support/mixerthread.h"
#include "support/nginxrtmp.h"
#include "support/programfeed.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"

#include <QImage>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
const QColor kImageColour(255, 128, 0); // in no bar of the test picture
const QColor kTextBoxColour(0, 96, 255);
// How far the test's clock may be off the sink's: the file's appearance is
// polled, and the stop reaches the sink a moment after the test asks for it.
constexpr double kTimingSlackSeconds = 0.1;
constexpr double kStreamConnectSlackSeconds = 0.5;
constexpr int kClockSettleMs = 1500;

QJsonObject streamOfType(const QJsonObject& probe, const QString& type)
{
    for (const auto& value : probe.value("streams").toArray()) {
        if (value.toObject().value("codec_type").toString() == type)
            return value.toObject();
    }
    return {};
}

double rateOf(const QString& fraction)
{
    const QStringList parts = fraction.split('/');
    if (parts.size() != 2 || parts[1].toDouble() == 0)
        return 0;
    return parts[0].toDouble() / parts[1].toDouble();
}

// Share of pixels in the rectangle within `tolerance` of the colour.
double shareOfColour(const QImage& image, const QRect& area, const QColor& colour, int tolerance = 48)
{
    int hits = 0, total = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            ++total;
            if (std::abs(c.red() - colour.red()) <= tolerance && std::abs(c.green() - colour.green()) <= tolerance
                && std::abs(c.blue() - colour.blue()) <= tolerance)
                ++hits;
        }
    }
    return total ? double(hits) / total : 0.0;
}

// Median step between the presentation times of the video packets, in seconds.
double medianVideoStepSeconds(const QString& path)
{
    QByteArray out;
    testsupport::runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                        "-of", "csv=p=0", path},
                            &out);
    std::vector<double> times;
    for (const QByteArray& line : out.split('\n')) {
        bool ok = false;
        const double t = line.trimmed().toDouble(&ok);
        if (ok)
            times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    std::vector<double> steps;
    for (std::size_t i = 1; i < times.size(); ++i)
        steps.push_back(times[i] - times[i - 1]);
    if (steps.empty())
        return 0;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return steps[steps.size() / 2];
}

// Mean volume in dB of the file's audio, or 0 when it cannot be measured.
double meanVolumeDb(const QString& path)
{
    QByteArray out;
    testsupport::runProgram("ffmpeg", {"-v", "info", "-nostats", "-i", path, "-map", "0:a", "-af", "volumedetect",
                                       "-f", "null", "-"},
                            &out, 60000);
    const QRegularExpression re("mean_volume: (-?[0-9.]+) dB");
    const auto match = re.match(QString::fromUtf8(out));
    return match.hasMatch() ? match.captured(1).toDouble() : 0.0;
}

} // namespace

class TestFramePipelineEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void recordsAndStreamsTheComposedProgram();

private:
    void checkOutputFile(const QString& path, double recordedSeconds, double lateStartSeconds = 0);

    testsupport::PulseServer m_pulse;
};

void TestFramePipelineEndToEnd::initTestCase()
{
    // The mixer's audio clock needs a sound device that takes audio.
    QVERIFY2(m_pulse.start(), qPrintable(m_pulse.errorString()));
    QVERIFY2(!testsupport::findProgram("ffmpeg").isEmpty(), "ffmpeg is missing (Debian package ffmpeg)");
}

void TestFramePipelineEndToEnd::cleanupTestCase() { m_pulse.stop(); }

void TestFramePipelineEndToEnd::recordsAndStreamsTheComposedProgram()
{
    const QString clip = testsupport::clipWithAudio(10, kWidth, kHeight, kFps);
    QVERIFY(!clip.isEmpty());
    QTemporaryDir dir;
    const QString imagePath = dir.filePath("overlay.png");
    {
        // The box's own shape, so the picture fills it.
        QImage image(256, 180, QImage::Format_RGBA8888);
        image.fill(kImageColour);
        QVERIFY(image.save(imagePath));
    }

    const quint16 port = testsupport::freeTcpPort();
    const QString streamUrl = QString("rtmp://127.0.0.1:%1/live/e2e").arg(port);
    const QString serverDir = dir.filePath("rtmp");
    testsupport::PeerProcess server;
    QVERIFY2(testsupport::startNginxRtmp(server, serverDir, {port, 0}), qPrintable(server.errorString()));

    OverlayManager overlays;
    TextOverlayData text;
    text.id = 1;
    text.text = QStringLiteral("QUOrbel live");
    text.posX = 0.05;
    text.posY = 0.05;
    text.fontColor = Qt::white;
    text.backgroundEnabled = true;
    text.backgroundColor = kTextBoxColour;
    text.backgroundPadding = 10;
    overlays.setTextOverlay(text);
    MediaOverlayData image;
    image.id = 2;
    image.kind = MediaOverlayData::kImage;
    image.path = imagePath;
    image.rect = QRectF(0.70, 0.60, 0.20, 0.25);
    QVERIFY(overlays.setMediaOverlay(image));
    QTRY_VERIFY_WITH_TIMEOUT(!overlays.imageOverlayImage(2).isNull(), 10000);

    FramePipeline pipeline;
    testsupport::MixerThread mixerThread(&pipeline);
    pipeline.setPreviewAudioMixerForOutput(mixerThread.mixer());
    mixerThread.start();

    QVERIFY2(testsupport::playClipAsProgram(pipeline, &overlays, clip), "the program channel delivered no frames");
    // The channel plays by the sound device's clock. The test server's null
    // sink takes audio in blocks and first fills its buffer, so the clock
    // moves by fits at first: let it settle as it has long done when an
    // operator starts output.
    QTRY_VERIFY_WITH_TIMEOUT(mixerThread.mixer()->playedFrames() > 0, 10000);
    QTest::qWait(kClockSettleMs);

    pipeline.setOutputResolutionSelection(kWidth, kHeight);
    pipeline.setOutputFps(kFps);
    const QString recording = dir.filePath("recording.mp4");
    pipeline.setOutputPath(recording);
    pipeline.setSegmentOptions(false, 0, 0); // one file under the given name
    pipeline.setStreamTargets({StreamTarget{streamUrl, "flv", 0}});
    QSignalSpy statuses(&pipeline, &FramePipeline::programStreamStatusChanged);
    QSignalSpy failures(&pipeline, &FramePipeline::programOutputTransportFailed);
    const testsupport::ProgramRecording run = testsupport::recordProgramFor(pipeline, recording, 4000);
    QVERIFY(run.started);
    QVERIFY2(run.fileOpened, "the recording file was never opened");
    QCOMPARE(run.stops, 1);
    const double recordedSeconds = run.recordedSeconds;
    QCOMPARE(failures.size(), 0);
    QVERIFY(mixerThread.stop());

    checkOutputFile(recording, recordedSeconds);
    if (QTest::currentTestFailed())
        return;

    // A decoded frame carries both overlays.
    const QString still = dir.filePath("still.png");
    QCOMPARE(testsupport::runProgram("ffmpeg", {"-v", "error", "-ss", "2", "-i", recording, "-frames:v", "1", "-y",
                                                still}),
             0);
    const QImage frame(still);
    QCOMPARE(frame.size(), QSize(kWidth, kHeight));
    const QRect imageBox(int(0.70 * kWidth) + 8, int(0.60 * kHeight) + 8, int(0.20 * kWidth) - 16,
                         int(0.25 * kHeight) - 16);
    QVERIFY2(shareOfColour(frame, imageBox, kImageColour) > 0.9, "the image overlay is missing");
    // Just left of and above the text lies the padding of its box.
    const QRect padding(int(0.05 * kWidth) - 12, int(0.05 * kHeight) - 12, 8, 8);
    QVERIFY2(shareOfColour(frame, padding, kTextBoxColour) > 0.9, "the text overlay's box is missing");

    // The stream: the server's own recording of what it received.
    QTest::qWait(500); // the server closes its file once the publisher has left
    server.stop();
    const QStringList streamed = testsupport::nginxRecordings(serverDir);
    QVERIFY2(statuses.contains(QVariantList{0, QString("online")}) && !streamed.isEmpty(),
             "the stream destination never went online");
    // A stream starts once its connection is up, at a key frame: it may
    // begin a little after the recording, never end later.
    checkOutputFile(streamed.last(), recordedSeconds, kStreamConnectSlackSeconds);
    // The plain CLI refuses a video decoding time that does not rise.
    QByteArray errors;
    testsupport::runProgram("ffmpeg", {"-v", "error", "-nostdin", "-i", streamed.last(), "-f", "null", "-"}, &errors,
                            120000);
    QVERIFY2(errors.trimmed().isEmpty(), errors.constData());
}

void TestFramePipelineEndToEnd::checkOutputFile(const QString& path, double recordedSeconds, double lateStartSeconds)
{
    const QJsonObject probe = testsupport::ffprobe(path);
    const QJsonObject video = streamOfType(probe, "video");
    const QJsonObject audio = streamOfType(probe, "audio");
    QVERIFY2(!video.isEmpty(), qPrintable(path + ": no video stream"));
    QVERIFY2(!audio.isEmpty(), qPrintable(path + ": no audio stream"));
    QCOMPARE(video.value("width").toInt(), kWidth);
    QCOMPARE(video.value("height").toInt(), kHeight);
    // MP4 stores no rate and the time stamps come from a millisecond clock:
    // the typical step between pictures tells the rate.
    const double step = medianVideoStepSeconds(path);
    QVERIFY2(std::abs(step - 1.0 / kFps) < 0.002,
             qPrintable(QString("%1: pictures %2 s apart").arg(path).arg(step)));
    // Time stamps follow the media clock: on a busy machine a slow encode
    // costs frames (the paced worker does not catch up), but the rate never
    // exceeds the output's.
    const double averageRate = rateOf(video.value("avg_frame_rate").toString());
    QVERIFY2(averageRate > 0.5 * kFps && averageRate < 1.02 * kFps,
             qPrintable(QString("%1: average rate %2").arg(path).arg(averageRate)));
    const double duration = probe.value("format").toObject().value("duration").toString().toDouble();
    qInfo() << path << "duration" << duration << "recorded for" << recordedSeconds;
    QVERIFY2(duration - recordedSeconds <= 1.0 / kFps + kTimingSlackSeconds
                 && recordedSeconds - duration <= 1.0 / kFps + kTimingSlackSeconds + lateStartSeconds,
             qPrintable(QString("%1: duration %2 s for %3 s of recording").arg(path).arg(duration).arg(recordedSeconds)));
    // The program audio is the clip's tone, not silence.
    const double volume = meanVolumeDb(path);
    QVERIFY2(volume < 0 && volume > -50, qPrintable(QString("%1: mean volume %2 dB").arg(path).arg(volume)));
}

QUORB_TEST_MAIN(TestFramePipelineEndToEnd)
#include "tst_framepipeline_e2e.moc"
