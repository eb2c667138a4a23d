#include "decodertestkit.h"
#include "platform/capturedevices.h"

#include <atomic>
#include <chrono>

namespace {

constexpr int kPoolCapacity = 8;
constexpr int kTimeoutMs = 20000;

// Plays a file to its end and returns the most audio frames queued at any
// picture (nobody pulls, so that is everything decoded), or -1 when it does
// not end cleanly. leftEqualsRight tells whether the last pictures' audio is
// the same on both channels.
std::int64_t queuedAudioOverPlay(const QString& path, bool& leftEqualsRight)
{
    FramePool pool(kPoolCapacity, 320, 180);
    FFmpegVideoDecoder decoder(&pool);
    std::atomic<std::int64_t> most{0};
    std::atomic<bool> sameChannels{true};
    decoder.setFrameCallback([&](FrameTokenPtr) {
        const std::int64_t n = FFmpegVideoDecoderProbe::queuedAudioFrames(decoder);
        if (n > most) {
            most = n;
            // Peek at the newest decoded sound without disturbing the count.
            float pair[2];
            sameChannels = sameChannels && FFmpegVideoDecoderProbe::newestAudioFrame(decoder, pair)
                && pair[0] == pair[1];
        }
    });
    SignalRecorder recorder(&decoder);
    decoder.setPlayback(0, true);
    decoder.setSource(path);
    const bool ended = QTest::qWaitFor([&] { return recorder.ended > 0 || !recorder.errors.isEmpty(); }, kTimeoutMs);
    if (!recorder.errors.isEmpty())
        qWarning() << "decode errors:" << recorder.errors;
    leftEqualsRight = sameChannels;
    return ended && recorder.errors.isEmpty() ? most.load() : -1;
}

} // namespace

class TestDecoderAudio : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void pullFromShortQueue();
    void fadeInRamp();
    void fileSoundFollowsThePicturesClock_data();
    void fileSoundFollowsThePicturesClock();
    void queueKeepsTheNewestEightSeconds();
    void resamplesToStereo48k_data();
    void resamplesToStereo48k();
    void pausedMicrophoneQueuesNothing();
};

void TestDecoderAudio::initTestCase() { registerFrameTokenMetaType(); }

void TestDecoderAudio::pullFromShortQueue()
{
    FramePool pool(kPoolCapacity, 320, 180);
    FFmpegVideoDecoder decoder(&pool);
    std::vector<float> out(960, 7.0f);
    QCOMPARE(decoder.readAudio(out.data(), 480), 480);
    QVERIFY(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));

    const float one[] = {0.25f, -0.5f};
    FFmpegVideoDecoderProbe::pushAudio(decoder, one, 1);
    std::fill(out.begin(), out.end(), 7.0f);
    QCOMPARE(decoder.readAudio(out.data(), 480), 480);
    QCOMPARE(out[0], 0.25f);
    QCOMPARE(out[1], -0.5f);
    QVERIFY(std::all_of(out.begin() + 2, out.end(), [](float v) { return v == 0.0f; }));
}

void TestDecoderAudio::fadeInRamp()
{
    FramePool pool(kPoolCapacity, 320, 180);
    FFmpegVideoDecoder decoder(&pool);
    const int frames = 7000;
    std::vector<float> ones(std::size_t(frames) * 2, 1.0f);
    FFmpegVideoDecoderProbe::clearAudio(decoder, true);
    FFmpegVideoDecoderProbe::pushAudio(decoder, ones.data(), frames);
    std::vector<float> out(ones.size());
    QCOMPARE(decoder.readAudio(out.data(), frames), frames);
    QCOMPARE(out[0], 0.0f);
    QCOMPARE(out[1], 0.0f);
    for (int i : {1, 1000, 3072, 6000, 6143}) {
        const float expected = 1.0f - float(FFmpegVideoDecoder::kFadeInStart - 2 * i) / FFmpegVideoDecoder::kFadeInStart;
        QVERIFY2(std::abs(out[std::size_t(2 * i)] - expected) < 1e-6f, qPrintable(QString("frame %1").arg(i)));
    }
    QCOMPARE(out[2 * 3072], 0.5f);
    QCOMPARE(out[2 * 6144], 1.0f);
    QCOMPARE(out[2 * 6999 + 1], 1.0f);

    // Without fade-in the first frame is at full level.
    FFmpegVideoDecoderProbe::clearAudio(decoder, false);
    FFmpegVideoDecoderProbe::pushAudio(decoder, ones.data(), 1);
    QCOMPARE(decoder.readAudio(out.data(), 1), 1);
    QCOMPARE(out[0], 1.0f);
}

void TestDecoderAudio::fileSoundFollowsThePicturesClock_data()
{
    QTest::addColumn<bool>("pictureShown");
    // The queue's head against the sound due in the read (the 10 ms up to
    // now) when the clock is anchored.
    QTest::addColumn<int>("headAheadMs");
    QTest::addColumn<bool>("waits");   // silence goes first
    QTest::addColumn<bool>("catchesUp"); // the head of the queue is dropped
    QTest::newRow("in step") << true << 0 << false << false;
    // A read comes a little early or late: that alone is not moved for.
    QTest::newRow("10 ms ahead") << true << 10 << false << false;
    QTest::newRow("10 ms behind") << true << -10 << false << false;
    // Sound decoded before its time waits for it.
    QTest::newRow("100 ms ahead waits") << true << 100 << true << false;
    // Sound behind its pictures (the queue ran deep, or dry) catches up.
    QTest::newRow("200 ms behind is dropped") << true << -200 << false << true;
    // Before the first picture of a stretch nothing is due.
    QTest::newRow("no picture yet") << false << 0 << true << false;
}

// A file's sound is heard by the clock its pictures are paced by, however
// deep its queue: what a read hands out is the sound due then, to within the
// tolerance. The time the test itself takes between anchoring the clock and
// reading (a loaded machine, a sanitizer) is measured and allowed for.
void TestDecoderAudio::fileSoundFollowsThePicturesClock()
{
    QFETCH(bool, pictureShown);
    QFETCH(int, headAheadMs);
    QFETCH(bool, waits);
    QFETCH(bool, catchesUp);
    constexpr int kRate = FFmpegVideoDecoder::kOutputSampleRate;
    constexpr int kRead = kRate / 100; // one 10 ms tick
    constexpr double kToleranceMs = FilePacer::kSoundToleranceUs / 1000.0 + 0.1;
    const auto nowUs = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    FramePool pool(kPoolCapacity, 320, 180);
    FFmpegVideoDecoder decoder(&pool);
    // One second of sound whose left channel counts its frames.
    const int frames = kRate;
    std::vector<float> counted(std::size_t(frames) * 2);
    for (int i = 0; i < frames; ++i)
        counted[std::size_t(2 * i)] = float(i + 1);

    const std::int64_t pictureUs = 5000000; // the picture shown at the anchor
    const std::int64_t anchorUs = nowUs();
    FilePacer clock;
    if (pictureShown)
        clock.delayUs(pictureUs, anchorUs);
    FFmpegVideoDecoderProbe::followPictureClock(decoder, clock);
    FFmpegVideoDecoderProbe::pushAudioAt(decoder, counted.data(), frames, pictureUs - 10000 + headAheadMs * 1000);
    std::vector<float> out(std::size_t(kRead) * 2, 7.0f);
    const std::int64_t beforeUs = nowUs();
    QCOMPARE(decoder.readAudio(out.data(), kRead), kRead);
    const std::int64_t afterUs = nowUs();

    int silent = 0;
    while (silent < kRead && out[std::size_t(2 * silent)] == 0.0f)
        ++silent;
    QCOMPARE(silent > 0, waits);
    if (silent == kRead) {
        // Nothing was taken: the sound waits whole.
        QCOMPARE(FFmpegVideoDecoderProbe::queuedAudioFrames(decoder), std::int64_t(frames));
        return;
    }
    const int first = int(out[std::size_t(2 * silent)]) - 1;
    if (catchesUp)
        QVERIFY2(first > 0, "nothing of the late sound was dropped");
    if (waits)
        QCOMPARE(first, 0);
    // The rest of the read follows on without a gap.
    for (int i = silent; i < kRead; ++i)
        QCOMPARE(int(out[std::size_t(2 * i)]) - 1, first + i - silent);
    // The first sample handed out against the sound due at its place in the
    // read, for a read anywhere between the two clock readings around it.
    const double sampleMs = headAheadMs + 1000.0 * (first - silent) / kRate;
    const double offLateMs = sampleMs - (afterUs - anchorUs) / 1000.0;
    const double offEarlyMs = sampleMs - (beforeUs - anchorUs) / 1000.0;
    QVERIFY2(offLateMs <= kToleranceMs && offEarlyMs >= -kToleranceMs,
             qPrintable(QString("the sound handed out is %1 .. %2 ms off its time (%3 frames of silence first, "
                                "%4 dropped)")
                            .arg(offLateMs)
                            .arg(offEarlyMs)
                            .arg(silent)
                            .arg(first)));
}

void TestDecoderAudio::queueKeepsTheNewestEightSeconds()
{
    FramePool pool(kPoolCapacity, 320, 180);
    FFmpegVideoDecoder decoder(&pool);
    const int tenSeconds = 480000;
    std::vector<float> ramp(std::size_t(tenSeconds) * 2);
    for (int i = 0; i < tenSeconds; ++i)
        ramp[std::size_t(2 * i)] = ramp[std::size_t(2 * i + 1)] = float(i);
    for (int at = 0; at < tenSeconds; at += 4800)
        FFmpegVideoDecoderProbe::pushAudio(decoder, ramp.data() + 2 * at, 4800);
    QCOMPARE(FFmpegVideoDecoderProbe::queuedAudioFrames(decoder), std::int64_t(384000));
    std::vector<float> out(2);
    decoder.readAudio(out.data(), 1);
    QCOMPARE(out[0], float(tenSeconds - 384000));
}

void TestDecoderAudio::resamplesToStereo48k_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("expectedFrames");
    QTest::addColumn<bool>("monoSource"); // both output channels carry it
    const QString video = "testsrc2=size=160x90:rate=25:duration=%1";
    QTest::newRow("44.1 kHz mono") << testsupport::ensureFixture(
        "mono_44k_2s.mkv", {"-f", "lavfi", "-i", video.arg(2), "-f", "lavfi", "-i",
                            "sine=f=440:sample_rate=44100:duration=2", "-c:v", "libx264", "-preset", "ultrafast",
                            "-c:a", "pcm_s16le", "-ac", "1"})
                                   << qint64(96000) << true;
    // Broadcast streams change their audio format mid-stream: 48 kHz stereo,
    // then 44.1 kHz mono, in one transport stream.
    const QString first = testsupport::ensureFixture(
        "change_part1.ts", {"-f", "lavfi", "-i", video.arg(2), "-f", "lavfi", "-i",
                            "sine=f=440:sample_rate=48000:duration=2", "-c:v", "mpeg2video", "-c:a", "aac", "-ac", "2"});
    const QString second = testsupport::ensureFixture(
        "change_part2.ts", {"-f", "lavfi", "-i", video.arg(2), "-f", "lavfi", "-i",
                            "sine=f=880:sample_rate=44100:duration=2", "-c:v", "mpeg2video", "-c:a", "aac", "-ac", "1",
                            "-output_ts_offset", "2"});
    // 4 s of sound plus each part's AAC priming and padding (97280 frames at
    // 48 kHz, 90112 at 44.1 kHz); read with the first part's resampler the
    // second part would give 187392.
    QTest::newRow("format change mid-stream")
        << testsupport::ensureFixture("format_change.ts", {"-i", "concat:" + first + "|" + second, "-c", "copy"})
        << qint64(97280 + 98081) << false;
}

void TestDecoderAudio::resamplesToStereo48k()
{
    QFETCH(QString, path);
    QFETCH(qint64, expectedFrames);
    QFETCH(bool, monoSource);
    bool leftEqualsRight = false;
    const std::int64_t frames = queuedAudioOverPlay(path, leftEqualsRight);
    QVERIFY2(frames >= 0, "the file did not play to its end");
    QVERIFY2(std::llabs(frames - expectedFrames) < 1500,
             qPrintable(QString("%1 frames of 48 kHz audio, expected about %2").arg(frames).arg(expectedFrames)));
    if (monoSource)
        QVERIFY(leftEqualsRight);
}

void TestDecoderAudio::pausedMicrophoneQueuesNothing()
{
    const QString camera = QStringLiteral("Audio Test Camera");
    const QString microphone = QStringLiteral("Audio Test Microphone");
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, camera, "testsrc2=size=160x90:rate=30,realtime");
    registerFakeCaptureDevice(CaptureDeviceKind::Microphone, microphone,
                              "sine=f=440:sample_rate=44100:samples_per_frame=441,arealtime");
    {
        DecoderRig rig(QSize(320, 180));
        rig.open("dshow://capture?video=Audio%20Test%20Camera&audioSource="
                 + QUrl::toPercentEncoding("dshow://capture?audio=Audio%20Test%20Microphone"));
        QVERIFY(QTest::qWaitFor([&] { return FFmpegVideoDecoderProbe::queuedAudioFrames(rig.decoder) > 4800; }, kTimeoutMs));

        // Pausing empties the queue (a packet read just before the pause may
        // still land), and the microphone adds nothing while paused.
        rig.decoder.setPlayback(0, false);
        QTest::qWait(300);
        const std::int64_t paused = FFmpegVideoDecoderProbe::queuedAudioFrames(rig.decoder);
        QVERIFY2(paused <= 960, qPrintable(QString("%1 frames queued after the pause").arg(paused)));
        QTest::qWait(500);
        QCOMPARE(FFmpegVideoDecoderProbe::queuedAudioFrames(rig.decoder), paused);

        rig.decoder.setPlayback(0, true);
        QVERIFY(decodertest::audioArrives(rig.decoder, 5000));
        QVERIFY(rig.recorder.errors.isEmpty());
    }
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, camera);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Microphone, microphone);
}

QUORB_TEST_MAIN(TestDecoderAudio)
#include "tst_decoderaudio.moc"
