// Colours through the whole path: colour bars decoded to RGBA, recorded,
// and decoded again, against the ffmpeg CLI's own conversion of the same
// clip. A wrong matrix or range shifts whole bars by tens of levels.

#include "decodertestkit.h"
#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <thread>

using namespace testsupport;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kBars = 7;
constexpr int kMaxLevelError = 3;
// The encoder's chroma quantisation of a flat bar costs up to two levels of
// U, about four of blue, on top of the conversions; a wrong matrix or range
// shifts bars by ten levels and more.
constexpr int kMaxRecordedLevelError = 5;
constexpr double kMinPsnr = 40.0;

// The first picture of a file as RGBA, converted by the ffmpeg CLI.
QByteArray cliRgba(const QString& path)
{
    QByteArray out;
    if (runProgram("ffmpeg", {"-v", "error", "-i", path, "-frames:v", "1", "-vf", "format=rgba", "-f", "rawvideo",
                              "-"},
                   &out)
        != 0)
        return {};
    return out;
}

// Each top bar's colour (the mean over a block inside it, so that no
// single pixel of the codec's noise decides) against the expected one; an
// empty text when all channels are within the limit, else the first
// offending bar.
QString barErrors(const QByteArray& actual, const QByteArray& expected, int limit = kMaxLevelError,
                  QSize size = QSize(kWidth, kHeight))
{
    const int width = size.width();
    const int height = size.height();
    if (actual.size() != expected.size() || actual.size() != width * height * 4)
        return QString("size %1, expected %2").arg(actual.size()).arg(expected.size());
    const int barWidth = width / kBars;
    for (int bar = 0; bar < kBars; ++bar) {
        for (int c = 0; c < 3; ++c) {
            double a = 0;
            double e = 0;
            int n = 0;
            for (int y = height / 6; y < height / 2; ++y) {
                for (int x = bar * barWidth + barWidth / 4; x < (bar + 1) * barWidth - barWidth / 4; ++x) {
                    const qsizetype at = (qsizetype(y) * width + x) * 4 + c;
                    a += quint8(actual[at]);
                    e += quint8(expected[at]);
                    ++n;
                }
            }
            a /= n;
            e /= n;
            if (std::abs(a - e) > limit)
                return QString("bar %1 channel %2: %3, expected %4").arg(bar).arg(c).arg(a).arg(e);
        }
    }
    return {};
}

double psnr(const QByteArray& a, const QByteArray& b)
{
    double sum = 0;
    qsizetype n = 0;
    for (qsizetype i = 0; i < a.size() && i < b.size(); ++i) {
        if (i % 4 == 3)
            continue; // alpha
        const double d = double(quint8(a[i])) - double(quint8(b[i]));
        sum += d * d;
        ++n;
    }
    if (n == 0)
        return 0;
    if (sum == 0)
        return 99;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// Records ten frames of one RGBA picture with the encoder sink into dir;
// returns the file, or an empty path.
QString recordPicture(const QString& dir, const QByteArray& rgba, QSize size)
{
    FfmpegEncoderSink sink;
    TonePuller tone;
    if (!sink.configure(QDir(dir).filePath("bars.mp4"), {}, 30.0))
        return {};
    // A generous bit rate keeps the codec's own loss out of the colour figures.
    sink.setEncodingParams(std::max(8000, size.width() * size.height() / 100), 2,
                           FfmpegEncoderSink::kEncoderSoftwareOnly, 2);
    sink.setAudioPullCallback([&tone](std::int16_t* dst, int frames, std::int64_t) { tone(dst, frames); });
    std::thread encodeThread([&] {
        for (int i = 0; i < 10; ++i) {
            FrameTokenPtr frame = makeRgbaFrame(size.width(), size.height(), i);
            frame->data = rgba;
            sink.encodeFrame(frame, nullptr, 0, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        static_cast<IEncoderSink&>(sink).close();
    });
    encodeThread.join();
    // The sink names the file after its start time.
    const QStringList files = QDir(dir).entryList({"*.mp4"}, QDir::Files);
    return files.size() == 1 ? QDir(dir).filePath(files.first()) : QString();
}

QJsonObject videoStream(const QString& file)
{
    for (const auto& s : ffprobe(file).value("streams").toArray())
        if (s.toObject().value("codec_type").toString() == "video")
            return s.toObject();
    return {};
}

} // namespace

class TestColourFidelity : public QObject {
    Q_OBJECT

private slots:
    void barsSurviveDecodeAndRecording_data();
    void barsSurviveDecodeAndRecording();
    void recordingMatrixFollowsProgramSize_data();
    void recordingMatrixFollowsProgramSize();
};

void TestColourFidelity::barsSurviveDecodeAndRecording_data()
{
    QTest::addColumn<QString>("matrix");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("record"); // the recording path is the same for every source format
    QTest::newRow("BT.709 limited 4:2:0") << "bt709" << "tv" << "bt709" << "yuv420p" << true;
    QTest::newRow("BT.601 full 4:2:0") << "bt601" << "pc" << "smpte170m" << "yuv420p" << true;
    QTest::newRow("BT.709 limited 4:2:2") << "bt709" << "tv" << "bt709" << "yuv422p" << false;
    QTest::newRow("BT.601 full 4:4:4") << "bt601" << "pc" << "smpte170m" << "yuv444p" << true;
    QTest::newRow("BT.709 limited 10-bit (general scaler)") << "bt709" << "tv" << "bt709" << "yuv420p10le" << false;
}

void TestColourFidelity::barsSurviveDecodeAndRecording()
{
    QFETCH(QString, matrix);
    QFETCH(QString, range);
    QFETCH(QString, tag);
    QFETCH(QString, format);
    QFETCH(bool, record);
    const QString clip = ensureFixture(
        QString("bars_%1_%2_%3.mkv").arg(matrix, range, format),
        {"-f", "lavfi", "-i", QString("smptebars=size=%1x%2:rate=30").arg(kWidth).arg(kHeight), "-t", "1", "-vf",
         QString("format=rgb24,scale=out_color_matrix=%1:out_range=%2,format=%3").arg(matrix, range, format),
         "-colorspace", tag, "-color_range", range, "-c:v", "libx264", "-qp", "0"});
    QVERIFY(!clip.isEmpty());
    const QByteArray reference = cliRgba(clip);
    QCOMPARE(reference.size(), kWidth * kHeight * 4);

    DecoderRig rig(QSize(kWidth, kHeight));
    rig.open(clip);
    QTRY_VERIFY_WITH_TIMEOUT(rig.pictures.count() > 0, 10000);
    const FrameTokenPtr picture = rig.pictures.last();
    QVERIFY(picture);
    QCOMPARE(QSize(picture->width, picture->height), QSize(kWidth, kHeight));
    const QByteArray decoded(picture->data.constData(), kWidth * kHeight * 4);
    QCOMPARE(barErrors(decoded, reference), QString());
    if (!record)
        return;

    QTemporaryDir dir;
    const QString file = recordPicture(dir.path(), decoded, QSize(kWidth, kHeight));
    QVERIFY(!file.isEmpty());
    const QJsonObject video = videoStream(file);
    QCOMPARE(video.value("color_space").toString(), QString("smpte170m"));
    QCOMPARE(video.value("color_range").toString(), QString("tv"));
    const QByteArray recorded = cliRgba(file);
    QCOMPARE(barErrors(recorded, reference, kMaxRecordedLevelError), QString());
    const double quality = psnr(recorded, reference);
    QVERIFY2(quality >= kMinPsnr, qPrintable(QString("PSNR %1 dB").arg(quality)));
}

void TestColourFidelity::recordingMatrixFollowsProgramSize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("tag");
    QTest::newRow("SD keeps BT.601") << QSize(640, 360) << "smpte170m";
    QTest::newRow("720p takes BT.709") << QSize(1280, 720) << "bt709";
    QTest::newRow("1080p takes BT.709") << QSize(1920, 1080) << "bt709";
}

void TestColourFidelity::recordingMatrixFollowsProgramSize()
{
    QFETCH(QSize, size);
    QFETCH(QString, tag);
    QByteArray bars;
    QCOMPARE(runProgram("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                                   QString("smptebars=size=%1x%2").arg(size.width()).arg(size.height()), "-frames:v",
                                   "1", "-pix_fmt", "rgba", "-f", "rawvideo", "-"},
                        &bars),
             0);
    QCOMPARE(bars.size(), qsizetype(size.width()) * size.height() * 4);

    QTemporaryDir dir;
    const QString file = recordPicture(dir.path(), bars, size);
    QVERIFY(!file.isEmpty());
    const QJsonObject video = videoStream(file);
    QCOMPARE(video.value("color_space").toString(), tag);
    QCOMPARE(video.value("color_range").toString(), QString("tv"));
    // The CLI decodes by the tags: a matrix other than the tagged one
    // shifts the saturated bars.
    const QByteArray recorded = cliRgba(file);
    QCOMPARE(barErrors(recorded, bars, kMaxRecordedLevelError, size), QString());
    const double quality = psnr(recorded, bars);
    QVERIFY2(quality >= kMinPsnr, qPrintable(QString("PSNR %1 dB").arg(quality)));
}

QUORB_TEST_MAIN(TestColourFidelity)
#include "tst_colourfidelity.moc"
