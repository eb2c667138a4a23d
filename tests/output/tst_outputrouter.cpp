#include "output/outputrouter.h"
#include "output/programaudiotap.h"
#include "output/steadyclock.h"

#include "support/fakeroutersink.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <thread>

using testsupport::FakeRouterSink;

namespace {

FrameTokenPtr frameAt(std::int64_t ptsUs)
{
    auto frame = std::make_shared<FrameToken>();
    frame->ptsUs = ptsUs;
    frame->width = 2;
    frame->height = 2;
    frame->bytesPerLine = 8;
    frame->data = QByteArray(16, '\0');
    return frame;
}

std::vector<std::int64_t> ptsOf(const std::vector<FakeRouterSink::Encoded>& encoded)
{
    std::vector<std::int64_t> out;
    for (const auto& e : encoded)
        out.push_back(e.ptsUs);
    return out;
}

QString listText(const std::vector<std::int64_t>& values)
{
    QStringList parts;
    for (auto v : values)
        parts << QString::number(v);
    return parts.join(',');
}

// A router whose runs all use one fake sink.
struct RouterFixture {
    std::shared_ptr<FakeRouterSink> sink = std::make_shared<FakeRouterSink>();
    int sinksMade = 0;
    OutputRouter router{[this] {
        ++sinksMade;
        return std::shared_ptr<RouterSink>(sink);
    }};
    QTemporaryDir dir;

    void recordOnly(int width = 1920, int height = 1080)
    {
        router.setOutputPath(dir.filePath("out.mp4"));
        router.setStreamTargets({});
        router.setFrameSize(width, height);
    }
    void streamOnly(double fps = 30.0)
    {
        router.setOutputPath(QString());
        router.setStreamTargets({StreamTarget{"rtmp://127.0.0.1/live/x", "flv", 0}});
        router.setFps(fps);
    }
};

} // namespace

class TestOutputRouter : public QObject {
    Q_OBJECT

private slots:
    void queueDepth_data();
    void queueDepth();
    void frameInterval_data();
    void frameInterval();
    void dropPolicy_data();
    void dropPolicy();
    void sameTimestampReplacesQueuedFrame();
    void pacedRepeatsLastFrameUntilTimelineReset();
    void pacedFollowsTheProgramsPhase();
    void pacedKeepsAFrameApartThroughASwitch();
    void sourceSwitchCarriesOverOnlyWhileRecording_data();
    void sourceSwitchCarriesOverOnlyWhileRecording();
    void startFailures_data();
    void startFailures();
    void unwritableFolderWithStreamsGoesStreamOnly();
    void startHandsSettingsAndCallbacksToSink();
    void requestStopRefusesFurtherFrames();
    void stopWhileSinkBlocksReturnsPromptly();
    void recordsThroughTheFfmpegSink();
};

void TestOutputRouter::queueDepth_data()
{
    QTest::addColumn<bool>("live");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<qint64>("depth");
    QTest::newRow("streams, any size") << true << 7680 << 4320 << qint64(4);
    QTest::newRow("record 1080p") << false << 1920 << 1080 << qint64(32);
    QTest::newRow("record 1440p") << false << 2560 << 1440 << qint64(32);
    QTest::newRow("record 4K") << false << 3840 << 2160 << qint64(8);
    QTest::newRow("record 8K") << false << 7680 << 4320 << qint64(3);
    QTest::newRow("record, size follows program") << false << 0 << 0 << qint64(32);
}

void TestOutputRouter::queueDepth()
{
    QFETCH(bool, live);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(qint64, depth);
    QCOMPARE(OutputRouter::queueDepthFor(live, width, height), depth);

    // The bound a real run uses is the same.
    RouterFixture f;
    if (live) {
        f.streamOnly();
        f.router.setFrameSize(width, height);
    } else {
        f.recordOnly(width, height);
    }
    QVERIFY(f.router.start());
    QCOMPARE(f.router.maxQueueDepth(), depth);
    f.router.stop();
}

void TestOutputRouter::frameInterval_data()
{
    QTest::addColumn<double>("fps");
    QTest::addColumn<qint64>("intervalUs");
    QTest::newRow("0.5 fps clamps to 1") << 0.5 << qint64(1000000);
    QTest::newRow("30 fps") << 30.0 << qint64(33333);
    QTest::newRow("60 fps") << 60.0 << qint64(16666);
}

void TestOutputRouter::frameInterval()
{
    QFETCH(double, fps);
    QFETCH(qint64, intervalUs);
    QCOMPARE(OutputRouter::frameIntervalUsFor(fps), intervalUs);
}

void TestOutputRouter::dropPolicy_data()
{
    QTest::addColumn<bool>("live");
    QTest::addColumn<int>("submitted"); // frames 1..n behind a blocked frame 0
    QTest::addColumn<int>("dropped");
    QTest::addColumn<QString>("kept");     // frames still queued
    QTest::addColumn<QString>("encodedPrefix");
    QTest::addColumn<int>("passedOver"); // queued, then skipped for a newer one

    // Streams keep the newest four and, paced, send only the newest.
    QTest::newRow("live evicts oldest") << true << 6 << 2 << "3,4,5,6" << "0,6" << 3;
    // A recording keeps its older frames and the newest arrival.
    QTest::newRow("recording evicts newest queued") << false << 5 << 2 << "1,2,5" << "0,1,2,5" << 0;
    QTest::newRow("recording within bound") << false << 3 << 0 << "1,2,3" << "0,1,2,3" << 0;
}

void TestOutputRouter::dropPolicy()
{
    QFETCH(bool, live);
    QFETCH(int, submitted);
    QFETCH(int, dropped);
    QFETCH(QString, kept);
    QFETCH(QString, encodedPrefix);
    QFETCH(int, passedOver);

    RouterFixture f;
    if (live)
        f.streamOnly(1000.0); // short interval: the test waits on the gate, not the pacing
    else
        f.recordOnly(7680, 4320); // bound 3
    f.sink->closeGate();
    QVERIFY(f.router.start());

    f.router.submitFrame(frameAt(0));
    QVERIFY(f.sink->waitEncodeEntered(5000));

    std::vector<std::weak_ptr<FrameToken>> watched;
    if (dropped > 0)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("encode queue overloaded"));
    for (int i = 1; i <= submitted; ++i) {
        FrameTokenPtr frame = frameAt(i);
        watched.push_back(frame);
        f.router.submitFrame(std::move(frame));
    }
    QCOMPARE(f.router.droppedFrames(), std::uint64_t(dropped));
    std::vector<std::int64_t> alive;
    for (int i = 0; i < submitted; ++i) {
        if (!watched[i].expired())
            alive.push_back(i + 1);
    }
    QCOMPARE(listText(alive), kept);

    f.sink->openGate();
    const int prefixCount = int(encodedPrefix.split(',').size());
    QVERIFY(f.sink->waitEncodedCount(prefixCount, 5000));
    const auto encoded = ptsOf(f.sink->encoded());
    QCOMPARE(listText({encoded.begin(), encoded.begin() + prefixCount}), encodedPrefix);
    QCOMPARE(f.router.passedOverFrames(), std::uint64_t(passedOver));
    f.router.stop();
}

void TestOutputRouter::sameTimestampReplacesQueuedFrame()
{
    RouterFixture f;
    f.recordOnly();
    f.sink->closeGate();
    QVERIFY(f.router.start());
    f.router.submitFrame(frameAt(0));
    QVERIFY(f.sink->waitEncodeEntered(5000));

    FrameTokenPtr first = frameAt(40000);
    FrameTokenPtr second = frameAt(40000);
    second->data[0] = 'b';
    std::weak_ptr<FrameToken> firstWatch = first, secondWatch = second;
    f.router.submitFrame(std::move(first));
    f.router.submitFrame(std::move(second));
    QVERIFY(firstWatch.expired());
    QVERIFY(!secondWatch.expired());
    QCOMPARE(f.router.droppedFrames(), std::uint64_t(0));

    f.sink->openGate();
    QVERIFY(f.sink->waitEncodedCount(2, 5000));
    QCOMPARE(listText(ptsOf(f.sink->encoded())), QString("0,40000"));
    f.router.stop();
}

void TestOutputRouter::pacedRepeatsLastFrameUntilTimelineReset()
{
    RouterFixture f;
    f.streamOnly(50.0);
    QVERIFY(f.router.start());
    f.router.submitFrame(frameAt(7));
    // At 20 ms per frame the one frame goes out again and again.
    QVERIFY(f.sink->waitEncodedCount(5, 5000));
    for (const auto& e : f.sink->encoded()) {
        QCOMPARE(e.ptsUs, qint64(7));
        QCOMPARE(e.generation, qint64(1));
    }
    // Every send after the first one repeated the picture, and says so.
    QVERIFY(f.router.repeatedFrames() >= 4);
    QCOMPARE(f.router.droppedFrames(), std::uint64_t(0));

    f.router.resetTimeline();
    QCOMPARE(f.sink->sessions(), 1);
    const auto countAfterReset = f.sink->encoded().size();
    QTest::qWait(150);
    // At most the one encode that was under way at the reset.
    QVERIFY(f.sink->encoded().size() <= countAfterReset + 1);

    const auto before = f.sink->encoded().size();
    f.router.submitFrame(frameAt(9));
    QVERIFY(f.sink->waitEncodedCount(int(before) + 1, 5000));
    const auto after = f.sink->encoded();
    QCOMPARE(after[before].ptsUs, qint64(9));
    QCOMPARE(after[before].generation, qint64(2));
    f.router.stop();
}

void TestOutputRouter::pacedFollowsTheProgramsPhase()
{
    // The program composes at the output rate by its own clock, its frames
    // landing a few milliseconds either side of the worker's slots. Each
    // frame goes out once, none is repeated, and each is stamped with the
    // time it came in, not the time the worker took it.
    constexpr int kFrames = 45;
    constexpr auto kInterval = std::chrono::microseconds(33333);
    RouterFixture f;
    f.streamOnly(30.0);
    QVERIFY(f.router.start());
    std::vector<std::int64_t> submittedNs;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kFrames; ++i) {
        const auto jitter = std::chrono::milliseconds(i == 0 ? 0 : (i % 2 ? 4 : -4));
        std::this_thread::sleep_until(start + i * kInterval + jitter);
        submittedNs.push_back(steadyNowNs());
        f.router.submitFrame(frameAt(i));
    }
    QVERIFY(f.sink->waitEncodedCount(kFrames, 5000));
    const std::uint64_t repeated = f.router.repeatedFrames();
    f.router.stop();

    const auto encoded = f.sink->encoded();
    std::vector<std::int64_t> sent;
    for (const auto& e : encoded) {
        if (sent.empty() || sent.back() != e.ptsUs)
            sent.push_back(e.ptsUs);
    }
    // A loaded machine may miss a slot now and then, never half of them.
    QVERIFY2(repeated <= 2, qPrintable(QString("%1 repeated").arg(repeated)));
    QVERIFY2(int(sent.size()) >= kFrames - 2, qPrintable(listText(sent)));
    std::int64_t previous = -1;
    for (const auto& e : encoded) {
        if (e.ptsUs == previous)
            continue; // a repeat carries a time of its own
        previous = e.ptsUs;
        QVERIFY(e.ptsUs >= 0 && e.ptsUs < kFrames);
        const std::int64_t in = submittedNs[std::size_t(e.ptsUs)];
        QVERIFY2(e.pictureNs >= in && e.pictureNs - in < 2000000,
                 qPrintable(QString("frame %1 came in at %2 ns, stamped %3").arg(e.ptsUs).arg(in).arg(e.pictureNs)));
    }
}

void TestOutputRouter::pacedKeepsAFrameApartThroughASwitch()
{
    // Program switches while streaming and recording: the frame still
    // queued is carried over, or the worker waits idle, and the new
    // timeline's first frame follows at once. The sink stamps each picture on the frame grid by the time it
    // takes it, so no two may be taken within one frame interval.
    constexpr auto kInterval = std::chrono::microseconds(33333);
    RouterFixture f;
    f.streamOnly(30.0);
    f.router.setOutputPath(f.dir.filePath("out.mp4"));
    QVERIFY(f.router.start());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_until(start + i * kInterval + std::chrono::milliseconds(10));
        f.router.submitFrame(frameAt(i));
        if (i == 5 || i == 8) {
            f.router.resetTimeline();
            // The second switch leaves the worker idle for a moment.
            if (i == 8)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            f.router.submitFrame(frameAt(100 + i));
        }
    }
    QVERIFY(f.sink->waitEncodedCount(14, 5000));
    f.router.stop();

    const auto encoded = f.sink->encoded();
    for (std::size_t k = 1; k < encoded.size(); ++k) {
        const std::int64_t apartNs = encoded[k].takenNs - encoded[k - 1].takenNs;
        QVERIFY2(apartNs >= 30000000, qPrintable(QString("frames %1 and %2 taken %3 ms apart")
                                                      .arg(encoded[k - 1].ptsUs)
                                                      .arg(encoded[k].ptsUs)
                                                      .arg(double(apartNs) / 1e6)));
    }
}

void TestOutputRouter::sourceSwitchCarriesOverOnlyWhileRecording_data()
{
    QTest::addColumn<bool>("recording");
    QTest::addColumn<QString>("expected");
    QTest::newRow("recording and streaming") << true << "0,1,2,3";
    QTest::newRow("streaming only") << false << "0,3";
}

void TestOutputRouter::sourceSwitchCarriesOverOnlyWhileRecording()
{
    QFETCH(bool, recording);
    QFETCH(QString, expected);

    RouterFixture f;
    f.streamOnly(1000.0);
    if (recording)
        f.router.setOutputPath(f.dir.filePath("rec.mp4"));
    f.sink->closeGate();
    QVERIFY(f.router.start());
    f.router.submitFrame(frameAt(0));
    QVERIFY(f.sink->waitEncodeEntered(5000));
    f.router.submitFrame(frameAt(1));
    f.router.submitFrame(frameAt(2));

    // The switch waits for the sink, which is busy with frame 0.
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        f.sink->openGate();
    });
    f.router.resetTimeline();
    opener.join();
    f.router.submitFrame(frameAt(3));

    const int count = int(expected.split(',').size());
    QVERIFY(f.sink->waitEncodedCount(count, 5000));
    const auto encoded = f.sink->encoded();
    const auto pts = ptsOf(encoded);
    QCOMPARE(listText({pts.begin(), pts.begin() + count}), expected);
    QCOMPARE(encoded[count - 1].generation, qint64(2));
    if (recording) {
        QCOMPARE(encoded[1].generation, qint64(1));
        QCOMPARE(encoded[2].generation, qint64(1));
    }
    f.router.stop();
}

void TestOutputRouter::startFailures_data()
{
    QTest::addColumn<bool>("withPath");
    QTest::addColumn<bool>("configureOk");
    QTest::addColumn<bool>("probeOk");
    QTest::addColumn<bool>("unwritable");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("sinksMade");
    QTest::newRow("nothing to write") << false << true << true << false << QString() << 0;
    QTest::newRow("sink refuses configuration") << true << false << true << false << QString() << 1;
    QTest::newRow("no encoder for the size") << true << true << false << false
                                             << "OutputRouter: selected encoder does not support 3840 x 2160 @ 30"
                                             << 1;
    QTest::newRow("recording folder unwritable")
        << true << true << true << true << "OutputRouter: output directory not writable or cannot be created:" << 0;
}

void TestOutputRouter::startFailures()
{
    QFETCH(bool, withPath);
    QFETCH(bool, configureOk);
    QFETCH(bool, probeOk);
    QFETCH(bool, unwritable);
    QFETCH(QString, warning);
    QFETCH(int, sinksMade);

    RouterFixture f;
    f.sink->configureResult = configureOk;
    f.sink->probeResult = probeOk;
    f.router.setFrameSize(3840, 2160);
    if (withPath) {
        QString path = f.dir.filePath("out.mp4");
        if (unwritable) {
            // A plain file where the folder should be: mkpath fails even as root.
            QFile blocker(f.dir.filePath("blocker"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            path = f.dir.filePath("blocker/sub/out.mp4");
        }
        f.router.setOutputPath(path);
    }
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^" + QRegularExpression::escape(warning)));
    QVERIFY(!f.router.start());
    QVERIFY(!f.router.isRunning());
    QCOMPARE(f.sinksMade, sinksMade);
    f.router.submitFrame(frameAt(1));
    QCOMPARE(f.router.droppedFrames(), std::uint64_t(0));
}

void TestOutputRouter::unwritableFolderWithStreamsGoesStreamOnly()
{
    RouterFixture f;
    f.streamOnly();
    QFile blocker(f.dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    f.router.setOutputPath(f.dir.filePath("blocker/out.mp4"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("output directory not writable"));
    QVERIFY(f.router.start());
    QVERIFY(f.router.lastStartSkippedRecording());
    QVERIFY(f.sink->recordPath.isEmpty());
    QCOMPARE(int(f.sink->targets.size()), 1);
    f.router.stop();

    // A later start that can record clears the flag.
    f.router.setOutputPath(f.dir.filePath("ok/out.mp4"));
    QVERIFY(f.router.start());
    QVERIFY(!f.router.lastStartSkippedRecording());
    QCOMPARE(f.sink->recordPath, f.dir.filePath("ok/out.mp4"));
    f.router.stop();
}

void TestOutputRouter::startHandsSettingsAndCallbacksToSink()
{
    RouterFixture f;
    f.recordOnly(1280, 720);
    f.router.setFps(0.05); // ignored: too small
    f.router.setFps(25.0);
    f.router.setFrameSize(-5, 720);
    f.router.setEncoderOptions(6000, 3, 2, 0);
    f.router.setSegmentOptions(SegmentOptions{false, 1000, 2000});
    int failures = 0;
    QList<QPair<int, QString>> statuses;
    f.router.setTransportFailedCallback([&] { ++failures; });
    f.router.setStreamStatusCallback([&](int row, const QString& s) { statuses.append({row, s}); });
    QVERIFY(f.router.start());

    QCOMPARE(f.sink->fps, 25.0);
    QCOMPARE(f.sink->width, 0);
    QCOMPARE(f.sink->height, 720);
    QCOMPARE(f.sink->bitrateKbps, 6000);
    QCOMPARE(f.sink->keyframeSeconds, 3);
    QCOMPARE(f.sink->encoderMode, 2);
    QCOMPARE(f.sink->qualityPreset, 0);
    QCOMPARE(f.sink->segments.enabled, false);
    QCOMPARE(f.sink->segments.durationMs, qint64(1000));
    QCOMPARE(f.sink->segments.sizeBytes, qint64(2000));

    QVERIFY(f.sink->fatalError);
    f.sink->fatalError();
    QCOMPARE(failures, 1);
    f.sink->status(2, "online");
    QCOMPARE(statuses.size(), 1);
    QCOMPARE(statuses[0].first, 2);
    QCOMPARE(statuses[0].second, QString("online"));

    // Without a mixer the program audio is silence of exactly frames x 2 samples.
    std::vector<std::int16_t> audio(2 * 256 + 2, 0x5555);
    f.sink->audioPull(audio.data(), 256, ProgramAudioTap::kNoTime);
    for (int i = 0; i < 512; ++i)
        QCOMPARE(audio[i], std::int16_t(0));
    QCOMPARE(audio[512], std::int16_t(0x5555));
    f.router.stop();

    // No fatal callback is installed when none was given.
    f.router.setTransportFailedCallback(nullptr);
    f.sink = std::make_shared<FakeRouterSink>();
    QVERIFY(f.router.start());
    QVERIFY(!f.sink->fatalError);
    f.router.stop();
}

void TestOutputRouter::requestStopRefusesFurtherFrames()
{
    RouterFixture f;
    f.streamOnly();
    QVERIFY(f.router.start());
    QVERIFY(f.router.isRunning());
    f.router.requestStop();
    QVERIFY(!f.router.isRunning());
    QCOMPARE(f.sink->aborts(), 1);

    FrameTokenPtr late = frameAt(5);
    std::weak_ptr<FrameToken> watch = late;
    f.router.submitFrame(std::move(late));
    QVERIFY(watch.expired());

    f.router.stop();
    QCOMPARE(f.sink->closes(), 1);
    QVERIFY(f.sink->encoded().empty());
}

void TestOutputRouter::stopWhileSinkBlocksReturnsPromptly()
{
    RouterFixture f;
    f.recordOnly();
    f.sink->closeGate(); // like a sink stuck in a network write until aborted
    QVERIFY(f.router.start());
    f.router.submitFrame(frameAt(0));
    f.router.submitFrame(frameAt(1));
    QVERIFY(f.sink->waitEncodeEntered(5000));

    QElapsedTimer timer;
    timer.start();
    f.router.stop();
    QVERIFY2(timer.elapsed() < 2000, qPrintable(QString("stop took %1 ms").arg(timer.elapsed())));
    QCOMPARE(f.sink->closes(), 1);
    QVERIFY(!f.router.isRunning());
    QVERIFY(f.sink->encoded().empty());
}

void TestOutputRouter::recordsThroughTheFfmpegSink()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("rec/out.mp4");
    OutputRouter router;
    router.setOutputPath(path);
    router.setSegmentOptions(SegmentOptions{false, 0, 0});
    router.setFrameSize(320, 180);
    router.setFps(30.0);
    QVERIFY(router.start());
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 30; ++i) {
        auto frame = std::make_shared<FrameToken>();
        frame->width = 320;
        frame->height = 180;
        frame->bytesPerLine = 320 * 4;
        frame->data = QByteArray(320 * 4 * 180, char(i * 8));
        frame->ptsUs = clock.nsecsElapsed() / 1000;
        router.submitFrame(std::move(frame));
        QTest::qWait(33);
    }
    router.stop();

    const QJsonObject probe = testsupport::ffprobe(path);
    bool video = false, audio = false;
    for (const auto& value : probe.value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        if (stream.value("codec_type").toString() == "video") {
            video = true;
            QCOMPARE(stream.value("width").toInt(), 320);
            QCOMPARE(stream.value("height").toInt(), 180);
        }
        audio = audio || stream.value("codec_type").toString() == "audio";
    }
    QVERIFY2(video && audio, qPrintable(path + " lacks a stream"));
}

QUORB_TEST_MAIN(TestOutputRouter)
#include "tst_outputrouter.moc"
