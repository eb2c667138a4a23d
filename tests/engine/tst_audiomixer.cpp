// The mix driven tick by tick with a scripted source and no sound server, and
// the mixer on its own thread as the application runs it.

#include "engine/audioqueueiodevice.h"
#include "engine/previewaudiomixer.h"
#include "output/steadyclock.h"
#include "support/fakeaudiosource.h"
#include "support/mixerthread.h"
#include "support/testsupport.h"

#include <QAudioSink>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

using testsupport::FakeAudioSource;
using testsupport::MixerThread;

namespace {

constexpr int kTick = PreviewAudioMixer::kTickFrames;

std::int16_t clip(double x)
{
    return std::int16_t(std::lround(std::tanh(float(x)) * 32767.0f));
}

// A mixer started on the test thread with its timer stopped, so that each
// mixTick call is exactly one tick.
struct ManualMixer {
    explicit ManualMixer(FakeAudioSource* source)
        : mixer(source)
    {
        mixer.startPreview();
        if (auto* timer = mixer.findChild<QTimer*>())
            timer->stop();
        device = mixer.findChild<QIODevice*>();
    }
    void ticks(int n)
    {
        for (int i = 0; i < n; ++i)
            mixer.mixTick();
    }
    // Everything queued for the sound device so far, as samples.
    std::vector<std::int16_t> drainSpeaker()
    {
        const QByteArray bytes = device->readAll();
        std::vector<std::int16_t> out(size_t(bytes.size()) / 2);
        std::memcpy(out.data(), bytes.constData(), size_t(bytes.size()));
        return out;
    }
    std::vector<std::int16_t> readTap(int frames)
    {
        std::vector<std::int16_t> out(size_t(frames) * 2, std::int16_t(0x5555));
        mixer.readProgramAudio(out.data(), frames);
        return out;
    }

    PreviewAudioMixer mixer;
    QIODevice* device = nullptr;
};

bool allEqual(const std::vector<std::int16_t>& v, std::int16_t value, size_t from = 0, size_t to = SIZE_MAX)
{
    to = std::min(to, v.size());
    for (size_t k = from; k < to; ++k)
        if (v[k] != value)
            return false;
    return true;
}

// What each source plays and how the operator set the gains.
struct MixCase {
    int programChannel = -1;
    std::array<float, 4> channelLevel{};
    std::array<float, 4> overlayLevel{};
    std::array<float, 4> channelLocal{};
    float programGain = 1.0f;
    std::array<float, 4> overlayLocal{};
    std::array<float, 4> overlayProgram{};
    std::array<bool, 4> overlayInProgram{};
    float recordGain = 2.0f;
};

constexpr unsigned ch(int i) { return 1u << i; }
constexpr unsigned ov(int j) { return 1u << (4 + j); }

// The mixer on its own thread with its timer running, channel 1 on program
// playing a steady level.
struct MixingOnItsThread {
    MixingOnItsThread()
        : run(&source)
    {
        source.setProgramChannel(1);
        source.setChannelSignal(1, {0.3f});
        source.registerMixer(run.mixer());
        run.start();
    }
    FakeAudioSource source;
    MixerThread run;
};

} // namespace

Q_DECLARE_METATYPE(MixCase)

class TestAudioMixer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void mixLevels_data();
    void mixLevels();
    void fullScaleSineAtRecordGain4StaysIn16Bits();
    void tapKeepsTheNewestTwoSeconds();
    void readProgramAudioAlwaysFillsTheRequest();
    void tapFollowsItsSwitch();
    void speakerQueueKeepsTheNewestTwoSeconds();
    void deviceCountsWholeFramesTaken();
    void deviceCapHoldsForUnalignedReads();
    void detachedSourceIsNeverCalledAgain();
    void destructorDetachesFromItsSource();
    void runsOnItsThreadWithoutSoundServer();
    void mixesBySteadyClockThroughAStall();
    void timedReadKeepsSoundAtItsTime();
};

void TestAudioMixer::initTestCase()
{
    // No sound server for this executable: the tick-by-tick tests must own
    // the device queue, and the last test checks the mixer without a sink.
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + QDir::tempPath() + "/no-such-pulse-server"));
    QVERIFY2(QMediaDevices::audioOutputs().isEmpty(), "a sound output is visible although no server may be reached");
}

void TestAudioMixer::mixLevels_data()
{
    QTest::addColumn<MixCase>("mix");
    QTest::addColumn<double>("speakerSum"); // monitor + program bus, before the clip
    QTest::addColumn<double>("tapSum");     // program bus x record gain, before the clip
    QTest::addColumn<unsigned>("readMask"); // sources the mixer must take audio from

    MixCase c;
    c.programChannel = 0;
    c.channelLevel = {0.3f, 0.3f, 0.3f, 0.3f};
    c.overlayLevel = {0.3f, 0.3f, 0.3f, 0.3f};
    c.programGain = 0.0f;
    QTest::newRow("all gains 0: nothing read, silence queued") << c << 0.0 << 0.0 << 0u;

    c = {};
    c.programChannel = 0;
    c.channelLevel = {0.3f, 0, 0, 0};
    c.channelLocal = {0.5f, 0, 0, 0};
    QTest::newRow("program channel heard at monitor 0.5 plus program 1.0") << c << 0.45 << 0.6 << ch(0);

    c = {};
    c.programChannel = 1;
    c.channelLevel = {0, 0.4f, 0, 0};
    c.programGain = 0.5f;
    QTest::newRow("program channel muted on monitor still feeds program") << c << 0.2 << 0.4 << ch(1);

    c = {};
    c.programChannel = 0;
    c.channelLevel = {0.0f, 0.3f, 0, 0};
    c.channelLocal = {0, 0.5f, 0, 0};
    QTest::newRow("other channel only on monitor") << c << 0.15 << 0.0 << (ch(0) | ch(1));

    c = {};
    c.programChannel = 0;
    c.channelLevel = {0.3f, 0, 0, 0};
    c.channelLocal = {0.5f, 0, 0, 0};
    c.programGain = 0.0f;
    QTest::newRow("program gain 0 keeps program bus empty") << c << 0.15 << 0.0 << ch(0);

    c = {};
    c.programChannel = -1;
    c.channelLevel = {0.3f, 0, 0, 0};
    c.channelLocal = {0.5f, 0, 0, 0};
    QTest::newRow("no program channel") << c << 0.15 << 0.0 << ch(0);

    c = {};
    c.overlayLevel = {0, 0, 0.5f, 0};
    c.overlayLocal = {0, 0, 0.2f, 0};
    c.overlayProgram = {0, 0, 0.2f, 0};
    c.overlayInProgram = {false, false, true, false};
    QTest::newRow("overlay in program on both buses") << c << 0.2 << 0.2 << ov(2);

    c.overlayInProgram = {};
    QTest::newRow("overlay not in program only on monitor") << c << 0.1 << 0.0 << ov(2);

    c = {};
    c.overlayLevel = {0.5f, 0, 0, 0};
    c.overlayProgram = {0.5f, 0, 0, 0};
    c.overlayInProgram = {true, false, false, false};
    QTest::newRow("overlay muted on monitor still feeds program") << c << 0.25 << 0.5 << ov(0);

    c.overlayProgram = {};
    QTest::newRow("overlay in program at gain 0 is not read") << c << 0.0 << 0.0 << 0u;

    c = {};
    c.channelLevel = {0.3f, 0, 0, 0};
    c.channelLocal = {5.0f, 0, 0, 0};
    QTest::newRow("gain above 1 clamps to 1") << c << 0.3 << 0.0 << ch(0);

    c.channelLocal = {-1.0f, 0, 0, 0};
    QTest::newRow("negative gain counts as 0") << c << 0.0 << 0.0 << 0u;

    c.channelLocal = {NAN, 0, 0, 0};
    QTest::newRow("NaN gain counts as 0") << c << 0.0 << 0.0 << 0u;

    c = {};
    c.programChannel = 3;
    c.channelLevel = {0, 0, 0, 0.1f};
    c.recordGain = 10.0f;
    QTest::newRow("record gain clamps to 4") << c << 0.1 << 0.4 << ch(3);

    c.recordGain = 0.01f;
    QTest::newRow("record gain clamps to 0.25") << c << 0.1 << 0.025 << ch(3);

    c = {};
    c.programChannel = 2;
    c.channelLevel = {1, 1, 1, 1};
    c.channelLocal = {1, 1, 1, 1};
    c.overlayLevel = {1, 1, 1, 1};
    c.overlayLocal = {1, 1, 1, 1};
    c.overlayProgram = {1, 1, 1, 1};
    c.overlayInProgram = {true, true, true, true};
    c.recordGain = 4.0f;
    QTest::newRow("everything at full scale is soft-clipped")
        << c << 13.0 << 20.0 << (ch(0) | ch(1) | ch(2) | ch(3) | ov(0) | ov(1) | ov(2) | ov(3));
}

void TestAudioMixer::mixLevels()
{
    QFETCH(MixCase, mix);
    QFETCH(double, speakerSum);
    QFETCH(double, tapSum);
    QFETCH(unsigned, readMask);

    FakeAudioSource source;
    source.setProgramChannel(mix.programChannel);
    for (int i = 0; i < 4; ++i) {
        source.setChannelSignal(i, {mix.channelLevel[i]});
        source.setOverlaySignal(i, {mix.overlayLevel[i]});
    }
    ManualMixer m(&source);
    QVERIFY(m.device);
    QVERIFY2(!m.mixer.findChild<QAudioSink*>(), "no sound sink may drain the queue in this test");

    for (int i = 0; i < 4; ++i) {
        m.mixer.setChannelLocalGain(i, mix.channelLocal[i]);
        m.mixer.setOverlayLocalGain(i, mix.overlayLocal[i]);
        m.mixer.setOverlayProgramGain(i, mix.overlayProgram[i]);
        m.mixer.setOverlayInProgram(i, mix.overlayInProgram[i]);
    }
    m.mixer.setProgramChannelGain(mix.programGain);
    m.mixer.setProgramRecordLinearGain(mix.recordGain);
    // Indices out of range must leave every gain above untouched.
    for (int bad : {-1, 4}) {
        m.mixer.setChannelLocalGain(bad, 1.0f);
        m.mixer.setOverlayLocalGain(bad, 1.0f);
        m.mixer.setOverlayProgramGain(bad, 1.0f);
        m.mixer.setOverlayInProgram(bad, true);
    }
    m.mixer.setProgramTapEnabled(true);

    m.ticks(3);

    const std::vector<std::int16_t> speaker = m.drainSpeaker();
    QCOMPARE(speaker.size(), size_t(3 * kTick * 2));
    // Float sums may differ from the table's decimals in the last bit.
    QVERIFY2(std::abs(speaker.front() - clip(speakerSum)) <= 1, qPrintable(QString::number(speaker.front())));
    QVERIFY(allEqual(speaker, speaker.front()));

    const std::vector<std::int16_t> tap = m.readTap(3 * kTick);
    QVERIFY2(std::abs(tap.front() - clip(tapSum)) <= 1, qPrintable(QString::number(tap.front())));
    QVERIFY(allEqual(tap, tap.front()));

    for (int i = 0; i < 4; ++i) {
        QCOMPARE(source.channelFramesRead(i), (readMask & ch(i)) ? 3 * kTick : 0);
        QCOMPARE(source.overlayFramesRead(i), (readMask & ov(i)) ? 3 * kTick : 0);
    }
}

void TestAudioMixer::fullScaleSineAtRecordGain4StaysIn16Bits()
{
    FakeAudioSource source;
    source.setProgramChannel(0);
    source.setChannelSignal(0, {1.0f, 0.0f, 1000.0});
    ManualMixer m(&source);
    m.mixer.setChannelLocalGain(0, 1.0f);
    m.mixer.setProgramRecordLinearGain(4.0f);
    m.mixer.setProgramTapEnabled(true);
    m.ticks(10);

    const std::vector<std::int16_t> tap = m.readTap(10 * kTick);
    const std::vector<std::int16_t> speaker = m.drainSpeaker();
    QCOMPARE(speaker.size(), tap.size());
    int tapMax = 0, tapMin = 0;
    for (size_t k = 0; k < tap.size(); ++k) {
        const double s = std::sin(2.0 * M_PI * 1000.0 * double(k / 2) / 48000.0);
        // A wrapped sum would flip the sign of the loud half-waves.
        if ((s > 0.01 && (tap[k] <= 0 || speaker[k] <= 0)) || (s < -0.01 && (tap[k] >= 0 || speaker[k] >= 0)))
            QFAIL(qPrintable(QString("sample %1 has the wrong sign: tap %2 speaker %3 for sin %4")
                                 .arg(k).arg(tap[k]).arg(speaker[k]).arg(s)));
        tapMax = std::max<int>(tapMax, tap[k]);
        tapMin = std::min<int>(tapMin, tap[k]);
    }
    QVERIFY2(tapMax >= 32700 && tapMax <= 32767, qPrintable(QString::number(tapMax)));
    QVERIFY2(tapMin <= -32700 && tapMin >= -32767, qPrintable(QString::number(tapMin)));
}

void TestAudioMixer::tapKeepsTheNewestTwoSeconds()
{
    // Each tick plays a louder constant, so a sample tells its tick.
    FakeAudioSource source;
    source.setProgramChannel(0);
    source.setChannelSignal(0, {0.0f, 0.001f});
    ManualMixer m(&source);
    m.mixer.setProgramTapEnabled(true);
    const int ticks = 250; // 2.5 s, nobody reading
    m.ticks(ticks);

    const int capFrames = PreviewAudioMixer::kTapCapBytes / PreviewAudioMixer::kBytesPerFrame;
    QCOMPARE(capFrames, 96000);
    const std::vector<std::int16_t> tap = m.readTap(capFrames + kTick);
    const int firstKept = ticks - capFrames / kTick;
    QCOMPARE(tap.front(), clip(0.001 * firstKept * 2.0));
    QCOMPARE(tap[size_t(capFrames) * 2 - 1], clip(0.001 * (ticks - 1) * 2.0));
    QVERIFY(allEqual(tap, 0, size_t(capFrames) * 2));
}

void TestAudioMixer::readProgramAudioAlwaysFillsTheRequest()
{
    FakeAudioSource source;
    source.setProgramChannel(0);
    source.setChannelSignal(0, {0.3f});
    ManualMixer m(&source);
    m.mixer.setProgramTapEnabled(true);
    m.ticks(3); // 1440 frames
    const std::int16_t v = clip(0.6);

    QVERIFY(allEqual(m.readTap(440), v));
    // 1000 frames are left: 1000 real ones, then 24 silent ones.
    const std::vector<std::int16_t> tap = m.readTap(1024);
    QCOMPARE(tap.size(), size_t(2048));
    QVERIFY(allEqual(tap, v, 0, 2000));
    QVERIFY(allEqual(tap, 0, 2000));
    QVERIFY(allEqual(m.readTap(100), 0));

    // Degenerate requests touch nothing and consume nothing.
    m.ticks(1);
    m.mixer.readProgramAudio(nullptr, 100);
    std::int16_t guard[2] = {7, 7};
    m.mixer.readProgramAudio(guard, 0);
    m.mixer.readProgramAudio(guard, -5);
    QCOMPARE(guard[0], std::int16_t(7));
    QVERIFY(allEqual(m.readTap(kTick), v));

    // Once stopped, the encoder still gets silence of the length it asked for,
    // even with program audio left in the tap.
    m.ticks(2);
    m.mixer.stopPreview();
    QVERIFY(allEqual(m.readTap(2 * kTick), 0));
    QCOMPARE(m.mixer.playedFrames(), 0);
    const std::int64_t readBefore = source.totalFramesRead();
    m.mixer.mixTick();
    QCOMPARE(source.totalFramesRead(), readBefore);
}

void TestAudioMixer::tapFollowsItsSwitch()
{
    FakeAudioSource source;
    source.setProgramChannel(0);
    source.setChannelSignal(0, {0.3f});
    ManualMixer m(&source);
    const std::int16_t v = clip(0.6);

    m.ticks(2);
    QVERIFY2(allEqual(m.readTap(kTick), 0), "the tap fills only while it is switched on");

    m.mixer.setProgramTapEnabled(true);
    m.ticks(2);
    m.mixer.setProgramTapEnabled(true); // already on: keeps what is queued
    QVERIFY(allEqual(m.readTap(kTick), v));

    m.mixer.setProgramTapEnabled(false);
    m.ticks(2);
    m.mixer.setProgramTapEnabled(true); // off to on: audio from before the start goes
    QVERIFY(allEqual(m.readTap(3 * kTick), 0));

    m.ticks(2);
    m.mixer.clearProgramTap();
    QVERIFY(allEqual(m.readTap(kTick), 0));
    m.ticks(1);
    QVERIFY(allEqual(m.readTap(kTick), v));
}

void TestAudioMixer::speakerQueueKeepsTheNewestTwoSeconds()
{
    FakeAudioSource source;
    source.setChannelSignal(0, {0.0f, 0.001f});
    ManualMixer m(&source);
    m.mixer.setChannelLocalGain(0, 1.0f);
    m.ticks(250);

    QCOMPARE(m.device->bytesAvailable(), qint64(AudioQueueIODevice::kQueueCapBytes));
    const std::vector<std::int16_t> speaker = m.drainSpeaker();
    QCOMPARE(speaker.size(), size_t(AudioQueueIODevice::kQueueCapBytes / 2));
    QCOMPARE(speaker.front(), clip(0.001 * 50));
    QCOMPARE(speaker.back(), clip(0.001 * 249));
    QCOMPARE(m.device->bytesAvailable(), 0);
}

void TestAudioMixer::deviceCountsWholeFramesTaken()
{
    AudioQueueIODevice device;
    QVERIFY(device.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    QVERIFY(device.isSequential());
    char buf[4096];
    QCOMPARE(device.read(buf, sizeof buf), 0); // empty: the sink plays silence
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QIODevice): ReadOnly device");
    QCOMPARE(device.write("abcd", 4), -1);

    std::vector<char> pcm(1920);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = char(i);
    device.enqueue(pcm.data(), int(pcm.size()));
    QCOMPARE(device.bytesAvailable(), 1920);

    QCOMPARE(device.read(buf, 2), 2);
    QCOMPARE(device.playedFrames(), 0); // under one frame counts nothing
    QCOMPARE(device.read(buf, 1000), 1000);
    QCOMPARE(device.playedFrames(), 250);
    QCOMPARE(buf[0], char(2));
    QCOMPARE(device.read(buf, sizeof buf), 918);
    QCOMPARE(device.playedFrames(), 250 + 229);
    QCOMPARE(buf[917], char(1919 & 0xff));
    QCOMPARE(device.bytesAvailable(), 0);
}

void TestAudioMixer::deviceCapHoldsForUnalignedReads()
{
    // A reader that took a partial frame leaves an unread count that is no
    // multiple of 4; the next append must still respect the cap.
    AudioQueueIODevice device;
    QVERIFY(device.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    std::vector<char> pcm(1920, 1);
    for (int i = 0; i < 200; ++i)
        device.enqueue(pcm.data(), int(pcm.size()));
    QCOMPARE(device.bytesAvailable(), qint64(AudioQueueIODevice::kQueueCapBytes));

    for (int partial : {2, 1, 3}) {
        char buf[4];
        QCOMPARE(device.read(buf, partial), qint64(partial));
        device.enqueue(pcm.data(), int(pcm.size()));
        const qint64 left = device.bytesAvailable();
        QVERIFY2(left <= AudioQueueIODevice::kQueueCapBytes && left >= AudioQueueIODevice::kQueueCapBytes - 3,
                 qPrintable(QString("%1 bytes queued after a %2-byte read").arg(left).arg(partial)));
    }
}

void TestAudioMixer::detachedSourceIsNeverCalledAgain()
{
    // The mixer's thread may outlive the window's wait for it; once the
    // source has detached the mixer, no tick may reach the source again.
    FakeAudioSource source;
    source.setProgramChannel(0);
    source.setChannelSignal(0, {0.3f});
    {
        MixerThread run(&source);
        source.registerMixer(run.mixer());
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(source.channelFramesRead(0) >= 5 * kTick, 5000);

        source.detachPreviewAudioMixer(run.mixer());
        source.close();
        QTest::qWait(100);
        QCOMPARE(source.callsAfterClose(), 0);
        QVERIFY(run.stop());
        QCOMPARE(run.mixer()->thread(), QCoreApplication::instance()->thread());
    }
    QCOMPARE(source.detachCalls(), 1); // the destructor had nothing left to detach
    QCOMPARE(source.callsAfterClose(), 0);
}

void TestAudioMixer::destructorDetachesFromItsSource()
{
    FakeAudioSource source;
    FakeAudioSource stranger;
    auto mixer = std::make_unique<PreviewAudioMixer>(&source);
    source.registerMixer(mixer.get());
    stranger.detachPreviewAudioMixer(mixer.get()); // not registered there: ignored
    mixer.reset();
    QCOMPARE(source.detachCalls(), 1);
    QCOMPARE(stranger.detachCalls(), 0);
}

void TestAudioMixer::runsOnItsThreadWithoutSoundServer()
{
    FakeAudioSource source;
    source.setProgramChannel(1);
    source.setChannelSignal(1, {0.3f});
    MixerThread run(&source);
    PreviewAudioMixer* mixer = run.mixer();
    source.registerMixer(mixer);

    // Decoder threads ask for the audio clock all the time, also while the
    // mixer starts and stops its device.
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> clockMax{0};
    std::thread decoder([&] {
        while (!done.load()) {
            clockMax.store(std::max(clockMax.load(), mixer->playedFrames()));
            std::this_thread::yield();
        }
    });

    run.start();
    mixer->setProgramTapEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(source.channelFramesRead(1) >= 20 * kTick, 5000);
    // The GUI moves gains and switches while ticks run.
    mixer->setProgramChannelGain(0.5f);
    mixer->setChannelLocalGain(1, 0.25f);
    mixer->setOverlayLocalGain(2, 0.0f);
    mixer->setOverlayProgramGain(2, 0.5f);
    mixer->setOverlayInProgram(2, true);
    mixer->setProgramRecordLinearGain(2.0f);
    QTRY_VERIFY_WITH_TIMEOUT(source.channelFramesRead(1) >= 30 * kTick, 5000);

    std::vector<std::int16_t> tap(size_t(kTick) * 2);
    mixer->readProgramAudio(tap.data(), kTick);
    QVERIFY2(tap.front() == clip(0.6) || tap.front() == clip(0.3), qPrintable(QString::number(tap.front())));
    QCOMPARE(mixer->playedFrames(), 0);

    const bool stopped = run.stop();
    done.store(true);
    decoder.join();
    QVERIFY(stopped);
    QCOMPARE(mixer->thread(), QCoreApplication::instance()->thread());
    QCOMPARE(clockMax.load(), 0);
}

// The mixer's thread is held up for 300 ms (a busy machine): the sound due
// meanwhile is mixed once it runs again, so over the whole time the program
// takes as much sound as the steady clock says, neither less (the recording's
// sound would run ahead of its pictures by what was missed) nor more.
void TestAudioMixer::mixesBySteadyClockThroughAStall()
{
    constexpr int kStallMs = 300;
    constexpr int kRunMs = 1000;
    // Each end of the span is known to a timer event (10 ms) or so.
    constexpr std::int64_t kToleranceFrames = PreviewAudioMixer::kSampleRate * 40 / 1000;
    MixingOnItsThread mixing;
    FakeAudioSource& source = mixing.source;
    MixerThread& run = mixing.run;
    PreviewAudioMixer* mixer = run.mixer();
    QTRY_VERIFY_WITH_TIMEOUT(source.channelFramesRead(1) > 0, 5000);

    QElapsedTimer span;
    span.start();
    const std::int64_t before = source.channelFramesRead(1);
    QTest::qWait(100);
    QMetaObject::invokeMethod(mixer, [] { QThread::msleep(kStallMs); }, Qt::QueuedConnection);
    QTest::qWait(kRunMs - 100);
    const std::int64_t mixed = source.channelFramesRead(1) - before;
    const std::int64_t due = span.elapsed() * PreviewAudioMixer::kSampleRate / 1000;
    QVERIFY(run.stop());
    QVERIFY2(std::abs(mixed - due) <= kToleranceFrames,
             qPrintable(QString("%1 frames mixed in a span that called for %2").arg(mixed).arg(due)));
}

void TestAudioMixer::timedReadKeepsSoundAtItsTime()
{
    // The encoder asks for the sound of a moment. Sound from before the tap
    // began comes as silence, and a backlog in the tap is passed over, so
    // neither moves the recording's sound against its pictures.
    constexpr std::int64_t kMs = 1000000;
    constexpr int kFramesPerMs = PreviewAudioMixer::kSampleRate / 1000;
    MixingOnItsThread mixing;
    FakeAudioSource& source = mixing.source;
    MixerThread& run = mixing.run;
    PreviewAudioMixer* mixer = run.mixer();
    QTRY_VERIFY_WITH_TIMEOUT(source.channelFramesRead(1) > 0, 5000);
    const std::int64_t enabledNs = steadyNowNs();
    mixer->setProgramTapEnabled(true);
    QTest::qWait(600);

    // From 100 ms before the tap began: silence for that long (less the
    // timer event the first sound was mixed in), then sound.
    std::vector<std::int16_t> early(size_t(200 * kFramesPerMs) * 2, std::int16_t(0x5555));
    mixer->readProgramAudioFrom(early.data(), 200 * kFramesPerMs, enabledNs - 100 * kMs);
    const auto firstSound = std::find_if(early.begin(), early.end(), [](std::int16_t v) { return v != 0; });
    const int silentMs = int(firstSound - early.begin()) / 2 / kFramesPerMs;
    QVERIFY2(silentMs >= 75 && silentMs <= 105, qPrintable(QString("%1 ms of silence").arg(silentMs)));
    QVERIFY(std::none_of(firstSound, early.end(), [](std::int16_t v) { return v == 0 || v == 0x5555; }));

    // The sound of 60 ms ago: the 400 ms or so still queued before it are
    // passed over, so little is left after it.
    std::vector<std::int16_t> recent(size_t(10 * kFramesPerMs) * 2, 0);
    mixer->readProgramAudioFrom(recent.data(), 10 * kFramesPerMs, steadyNowNs() - 60 * kMs);
    QVERIFY(std::none_of(recent.begin(), recent.end(), [](std::int16_t v) { return v == 0; }));
    std::vector<std::int16_t> rest(size_t(1000 * kFramesPerMs) * 2, 0);
    mixer->readProgramAudio(rest.data(), 1000 * kFramesPerMs);
    const int leftMs = int(std::count_if(rest.begin(), rest.end(), [](std::int16_t v) { return v != 0; })) / 2
                       / kFramesPerMs;
    QVERIFY(run.stop());
    QVERIFY2(leftMs <= 150, qPrintable(QString("%1 ms of sound left behind the asked time").arg(leftMs)));
}

QUORB_TEST_MAIN(TestAudioMixer)
#include "tst_audiomixer.moc"
