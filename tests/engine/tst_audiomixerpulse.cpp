// The mixer with a real sound sink: a private PulseAudio server whose null
// sink plays in real time, so the audio clock must advance at the sample rate
// and the sink's monitor must carry the mix.

#include "engine/previewaudiomixer.h"
#include "support/fakeaudiosource.h"
#include "support/mixerthread.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"

#include <QAudioSink>
#include <QElapsedTimer>
#include <QMediaDevices>

#include <cmath>
#include <cstring>
#include <vector>

using testsupport::FakeAudioSource;
using testsupport::MixerThread;

class TestAudioMixerPulse : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void realSinkTakesAudioAtTheSampleRate();
    void soundOutputCarriesTheMonitorMix();

private:
    testsupport::PulseServer m_pulse;
};

void TestAudioMixerPulse::initTestCase()
{
    QVERIFY2(m_pulse.start(), qPrintable(m_pulse.errorString()));
    QVERIFY2(!QMediaDevices::defaultAudioOutput().isNull(),
             "Qt sees no sound output although the private PulseAudio server runs");
}

void TestAudioMixerPulse::cleanupTestCase()
{
    m_pulse.stop();
}

void TestAudioMixerPulse::realSinkTakesAudioAtTheSampleRate()
{
    FakeAudioSource source;
    source.setChannelSignal(0, {0.5f, 0.0f, 1000.0});
    MixerThread run(&source);
    PreviewAudioMixer* mixer = run.mixer();
    source.registerMixer(mixer);

    QElapsedTimer clock;
    clock.start();
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(mixer->playedFrames() > 0, 5000);
    qInfo("audio clock moved %lld ms after the start", clock.elapsed());
    QVERIFY(mixer->findChild<QAudioSink*>());

    // The null sink takes audio in half-second blocks and the stream first
    // fills its buffer, so the clock moves in steps: fit a line through
    // samples taken over four seconds once the stream plays.
    QTest::qWait(1500);
    std::vector<std::pair<double, double>> samples; // (seconds, frames)
    QElapsedTimer window;
    window.start();
    while (window.elapsed() < 4000) {
        samples.emplace_back(double(clock.nsecsElapsed()) / 1e9, double(mixer->playedFrames()));
        QTest::qWait(50);
    }
    double mt = 0, mf = 0;
    for (const auto& [t, f] : samples) {
        mt += t;
        mf += f;
    }
    mt /= double(samples.size());
    mf /= double(samples.size());
    double num = 0, den = 0;
    for (const auto& [t, f] : samples) {
        num += (t - mt) * (f - mf);
        den += (t - mt) * (t - mt);
    }
    const double rate = num / den;
    qInfo("audio clock rate %.0f frames/s", rate);
    QVERIFY2(rate > 40000 && rate < 56000, qPrintable(QString("%1 frames a second").arg(rate)));

    QVERIFY(run.stop());
    QCOMPARE(mixer->playedFrames(), 0); // no device once stopped
}

void TestAudioMixerPulse::soundOutputCarriesTheMonitorMix()
{
    // A 1 kHz sine at 0.5 on a channel at monitor gain 0.5 plays at
    // tanh(0.25) of full scale.
    FakeAudioSource source;
    source.setChannelSignal(0, {0.5f, 0.0f, 1000.0});
    MixerThread run(&source);
    source.registerMixer(run.mixer());

    QProcess recorder;
    recorder.start(testsupport::findProgram("parec"),
                   {"-d", QString(testsupport::PulseServer::kSink) + ".monitor", "--raw", "--rate=48000",
                    "--channels=2", "--format=s16le", "--latency-msec=20"});
    QVERIFY2(recorder.waitForStarted(5000), "parec did not start (Debian package pulseaudio-utils)");
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.mixer()->playedFrames() > 0, 5000);
    // The sink buffers about a second before it plays.
    QTest::qWait(2500);
    recorder.terminate();
    QVERIFY(recorder.waitForFinished(5000));
    QVERIFY(run.stop());

    const QByteArray raw = recorder.readAllStandardOutput();
    const int window = 24000; // the last half second
    QVERIFY2(raw.size() >= window * 4, qPrintable(QString("only %1 bytes recorded").arg(raw.size())));
    std::vector<std::int16_t> pcm(size_t(window) * 2);
    std::memcpy(pcm.data(), raw.constData() + raw.size() / 4 * 4 - window * 4, pcm.size() * 2);

    int peak = 0;
    int crossings = 0;
    for (int n = 0; n < window; ++n) {
        peak = std::max(peak, std::abs(int(pcm[2 * n])));
        if (n > 0 && (pcm[2 * n - 2] < 0) != (pcm[2 * n] < 0))
            ++crossings;
    }
    const int expectedPeak = int(std::lround(std::tanh(0.25f) * 32767.0f));
    qInfo("monitor peak %d (expected %d), %d zero crossings in 0.5 s", peak, expectedPeak, crossings);
    QVERIFY2(std::abs(peak - expectedPeak) < expectedPeak / 20, qPrintable(QString::number(peak)));
    QVERIFY2(crossings > 850 && crossings < 1100, qPrintable(QString::number(crossings)));
}

QUORB_TEST_MAIN(TestAudioMixerPulse)
#include "tst_audiomixerpulse.moc"
