// The program audio from a channel's clip to the recorded file: a generated
// clip with a 1 kHz tone plays on channel 1, the real mixer runs on its own
// thread (without a sound server, so nothing but the tap takes its audio),
// and the pipeline's router records the program; ffmpeg measures the file.

#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "support/mixerthread.h"
#include "support/programfeed.h"
#include "support/testsupport.h"

#include <QAudioDevice>
#include <QDir>
#include <QMediaDevices>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFps = 30;
// The tone of the generated clip: ffmpeg's sine source at its default
// amplitude of one eighth of full scale, in mono. The decoder's resampler
// spreads a mono (centre) channel over left and right at -3 dB each.
constexpr double kToneAmplitude = 0.125 * M_SQRT1_2;
constexpr float kRecordGain = 2.0f;
// AAC twice (clip and recording) moves the peak a few tenths of a dB; a
// missing or doubled gain anywhere on the way is 6 dB.
constexpr double kLevelToleranceDb = 1.0;
// Below this the recording counts as silent (16-bit silence measures -inf;
// the encoder's dither never reaches this high).
constexpr double kSilenceDb = -80.0;

struct AudioLevels {
    bool ok = false;
    double rmsDb = 0;
    double peakDb = 0;
};

double parseDb(const QString& text)
{
    if (text.contains("inf"))
        return -std::numeric_limits<double>::infinity();
    return text.toDouble();
}

// astats over a window of the file's audio, leaving out the start, where
// the tap may still be filling. The overall figures come last in the log.
AudioLevels measureLevels(const QString& path, double fromSeconds, double seconds)
{
    QByteArray out;
    testsupport::runProgram("ffmpeg",
                            {"-v", "info", "-nostats", "-ss", QString::number(fromSeconds), "-t",
                             QString::number(seconds), "-i", path, "-map", "0:a", "-af", "astats", "-f", "null", "-"},
                            &out, 60000);
    const QString log = QString::fromUtf8(out);
    AudioLevels levels;
    QRegularExpressionMatch rms, peak;
    auto rmsIt = QRegularExpression("RMS level dB: (\\S+)").globalMatch(log);
    while (rmsIt.hasNext())
        rms = rmsIt.next();
    auto peakIt = QRegularExpression("Peak level dB: (\\S+)").globalMatch(log);
    while (peakIt.hasNext())
        peak = peakIt.next();
    if (!rms.hasMatch() || !peak.hasMatch())
        return levels;
    levels.ok = true;
    levels.rmsDb = parseDb(rms.captured(1));
    levels.peakDb = parseDb(peak.captured(1));
    return levels;
}

// What the tap should carry for a sine of the given amplitude: the program
// bus times the record gain through the tanh soft clip, computed here on
// its own so that a wrong gain or a missing clip in the mixer shows.
void expectedToneLevels(double amplitude, double gain, double* rmsDb, double* peakDb)
{
    constexpr int kSteps = 4800;
    double sumSquares = 0;
    for (int i = 0; i < kSteps; ++i) {
        const double y = std::tanh(gain * amplitude * std::sin(2 * M_PI * i / kSteps));
        sumSquares += y * y;
    }
    *rmsDb = 20 * std::log10(std::sqrt(sumSquares / kSteps));
    *peakDb = 20 * std::log10(std::tanh(gain * amplitude));
}

} // namespace

class TestAudioMixerEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void recordsTheProgramChannelsTone_data();
    void recordsTheProgramChannelsTone();
};

void TestAudioMixerEndToEnd::initTestCase()
{
    // No sound server: the recording must not depend on a sound device.
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + QDir::tempPath() + "/no-such-pulse-server"));
    QVERIFY2(QMediaDevices::audioOutputs().isEmpty(), "a sound output is visible although no server may be reached");
    QVERIFY2(!testsupport::findProgram("ffmpeg").isEmpty(), "ffmpeg is missing (Debian package ffmpeg)");
}

void TestAudioMixerEndToEnd::recordsTheProgramChannelsTone_data()
{
    QTest::addColumn<float>("programGain");
    QTest::newRow("program gain 1") << 1.0f;
    QTest::newRow("program gain 0") << 0.0f;
}

void TestAudioMixerEndToEnd::recordsTheProgramChannelsTone()
{
    QFETCH(float, programGain);
    const QString clip = testsupport::clipWithAudio(10, kWidth, kHeight, kFps);
    QVERIFY(!clip.isEmpty());
    QTemporaryDir dir;

    OverlayManager overlays;
    FramePipeline pipeline;
    testsupport::MixerThread mixerThread(&pipeline);
    PreviewAudioMixer* mixer = mixerThread.mixer();
    mixer->setProgramChannelGain(programGain);
    mixer->setProgramRecordLinearGain(kRecordGain);
    // The operator still monitors the channel: its audio is read either way.
    mixer->setChannelLocalGain(0, 0.5f);
    pipeline.setPreviewAudioMixerForOutput(mixer);
    mixerThread.start();

    QVERIFY2(testsupport::playClipAsProgram(pipeline, &overlays, clip), "the program channel delivered no frames");

    pipeline.setOutputResolutionSelection(kWidth, kHeight);
    pipeline.setOutputFps(kFps);
    const QString recording = dir.filePath("recording.mp4");
    pipeline.setOutputPath(recording);
    pipeline.setSegmentOptions(false, 0, 0);
    QSignalSpy failures(&pipeline, &FramePipeline::programOutputTransportFailed);
    const testsupport::ProgramRecording run = testsupport::recordProgramFor(pipeline, recording, 4000);
    QVERIFY(run.started);
    QVERIFY2(run.fileOpened, "the recording file was never opened");
    QCOMPARE(run.stops, 1);
    QCOMPARE(failures.size(), 0);
    // Without a sound device nothing is played, yet the tap was filled.
    QCOMPARE(mixer->playedFrames(), std::int64_t(0));
    QVERIFY(mixerThread.stop());

    const AudioLevels levels = measureLevels(recording, 1.0, 2.5);
    QVERIFY2(levels.ok, "ffmpeg measured no audio in the recording");
    qInfo() << "program gain" << programGain << "RMS" << levels.rmsDb << "dB, peak" << levels.peakDb << "dB";
    if (programGain == 0.0f) {
        QVERIFY2(levels.peakDb < kSilenceDb, qPrintable(QString("peak %1 dB where silence was due").arg(levels.peakDb)));
        return;
    }
    double expectedRms = 0, expectedPeak = 0;
    expectedToneLevels(kToneAmplitude * programGain, kRecordGain, &expectedRms, &expectedPeak);
    qInfo() << "expected RMS" << expectedRms << "dB, peak" << expectedPeak << "dB";
    QVERIFY2(std::abs(levels.rmsDb - expectedRms) <= kLevelToleranceDb,
             qPrintable(QString("RMS %1 dB, expected %2 dB").arg(levels.rmsDb).arg(expectedRms)));
    QVERIFY2(std::abs(levels.peakDb - expectedPeak) <= kLevelToleranceDb,
             qPrintable(QString("peak %1 dB, expected %2 dB").arg(levels.peakDb).arg(expectedPeak)));

    // And it is the clip's 1 kHz tone: a band-stop around 1 kHz removes
    // nearly all of it.
    QByteArray out;
    testsupport::runProgram("ffmpeg",
                            {"-v", "info", "-nostats", "-ss", "1", "-t", "2.5", "-i", recording, "-map", "0:a", "-af",
                             "bandreject=f=1000:width_type=h:w=200,bandreject=f=1000:width_type=h:w=200,volumedetect",
                             "-f", "null", "-"},
                            &out, 60000);
    const auto match = QRegularExpression("mean_volume: (-?[0-9.]+) dB").match(QString::fromUtf8(out));
    QVERIFY2(match.hasMatch(), "ffmpeg measured no audio after the band-stop");
    const double rest = match.captured(1).toDouble();
    QVERIFY2(rest < levels.rmsDb - 20,
             qPrintable(QString("%1 dB left without 1 kHz, %2 dB with it").arg(rest).arg(levels.rmsDb)));
}

QUORB_TEST_MAIN(TestAudioMixerEndToEnd)
#include "tst_audiomixer_e2e.moc"
