#include "decodertestkit.h"
#include "input/playbackrules.h"
#include "net/networkproxysettings.h"
#include "platform/capturedevices.h"
#include "support/proxypeers.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

using decodertest::audioArrives;
using testsupport::PeerProcess;

// One row of the playback-request table: the state before a request, or
// the state it leaves (durationMs and looping then unused).
struct State {
    qint64 durationMs = -1;
    qint64 positionMs = 0;
    bool playing = false;
    qint64 lastRequestedMs = -1;
    qint64 shownMs = -1;
    bool endedOnce = false;
    bool looping = false;
    bool seekRequested = false;
    bool flushAudioRequested = false;
};
Q_DECLARE_METATYPE(State)

namespace {

constexpr int kPoolCapacity = 8;
constexpr int kOpenTimeoutMs = 20000;

const QString kFakeCamera = QStringLiteral("Fake Cam:1 \\ 摄像头");
const QString kFakeMicrophone = QStringLiteral("Fake Mic & Co");

QString percent(const QString& s) { return QString::fromUtf8(QUrl::toPercentEncoding(s)); }

QString fakeCameraSource(bool withOwnMicrophone, bool withSeparateMicrophone)
{
    QString s = "dshow://capture?video=" + percent(kFakeCamera);
    if (withOwnMicrophone)
        s += "&audio=" + percent(kFakeMicrophone);
    if (withSeparateMicrophone)
        s += "&audioSource=" + percent("dshow://capture?audio=" + percent(kFakeMicrophone));
    return s;
}

// A live sender for one network protocol; the decoder's URL for it.
struct LiveSender {
    QString url;
    QStringList args;
    bool waitTcp = false;
    bool waitUdp = false;
    bool startAfterDecoder = false;
};

LiveSender liveSender(const QString& protocol)
{
    const QStringList source{"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                             "testsrc2=size=320x240:rate=25"};
    const QStringList mpegts{"-c:v", "mpeg2video", "-q:v", "5", "-g", "12", "-f", "mpegts"};
    LiveSender s;
    if (protocol == "udp") {
        const quint16 port = testsupport::freeUdpPort();
        s.url = QString("udp://127.0.0.1:%1").arg(port);
        s.args = source + mpegts + QStringList{s.url + "?pkt_size=1316"};
        s.startAfterDecoder = true;
    } else if (protocol == "srt") {
        const quint16 port = testsupport::freeUdpPort();
        s.url = QString("srt://127.0.0.1:%1").arg(port);
        s.args = source + mpegts + QStringList{s.url + "?mode=listener"};
        s.waitUdp = true;
    } else if (protocol == "rtmp") {
        const quint16 port = testsupport::freeTcpPort();
        s.url = QString("rtmp://127.0.0.1:%1/live/stream").arg(port);
        s.args = source
            + QStringList{"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-f", "flv",
                          "-listen", "1", s.url};
        s.waitTcp = true;
    }
    return s;
}

} // namespace

class TestFFmpegVideoDecoder : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void mailboxAppliesFirstAndLast();
    void sameSourceWhileRunningDoesNothing();
    void playbackRequests_data();
    void playbackRequests();
    void playbackRequestsReachTheDecoder();
    void outputSizeIsClampedToThePool();
    void openFailuresReportFixedTexts_data();
    void openFailuresReportFixedTexts();
    void stopDuringStalledOpenIsPrompt_data();
    void stopDuringStalledOpenIsPrompt();
    void av1FallsBackToSoftwareOnce();
    void sourcesDeliverStampedPictures_data();
    void sourcesDeliverStampedPictures();
    void separateMicrophoneRunsBesideCapture();
    void decodingThreadsFollowPictureSize_data();
    void decodingThreadsFollowPictureSize();
    void threadRuleCapsByMachine_data();
    void threadRuleCapsByMachine();
};

void TestFFmpegVideoDecoder::initTestCase()
{
    registerFrameTokenMetaType();
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, kFakeCamera, "testsrc2=size=320x240:rate=30,realtime");
    registerFakeCaptureDevice(CaptureDeviceKind::Microphone, kFakeMicrophone,
                              "sine=f=1000:sample_rate=48000:samples_per_frame=480,arealtime");
}

void TestFFmpegVideoDecoder::cleanupTestCase()
{
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, kFakeCamera);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Microphone, kFakeMicrophone);
}

void TestFFmpegVideoDecoder::mailboxAppliesFirstAndLast()
{
    const QString busy = testsupport::clipVideoOnly(5, 256, 144);
    const QString first = testsupport::clipVideoOnly(5, 320, 180);
    const QString middle = testsupport::clipVideoOnly(5, 352, 288);
    const QString last = testsupport::clipVideoOnly(5, 640, 360);
    DecoderRig rig;
    rig.decoder.setPlayback(0, true);

    const std::uint64_t base = rig.decoder.generation;
    rig.pictures.holdNext();
    rig.decoder.setSource(busy);
    // The decode thread now sits in the callback, so the change to `first`
    // keeps the control thread busy joining it.
    QVERIFY(rig.pictures.waitHeld(kOpenTimeoutMs));
    rig.decoder.setSource(first);
    QTest::qWait(200);
    rig.decoder.setSource(middle);
    rig.decoder.setSource(last);
    rig.pictures.release();
    rig.decoder.waitIdle();

    QCOMPARE(rig.decoder.generation.load(), base + 3);
    QTRY_VERIFY_WITH_TIMEOUT(rig.pictures.countOfGeneration(base + 3) > 0, kOpenTimeoutMs);
    QTRY_VERIFY(!rig.recorder.infos.empty() && rig.recorder.infos.back().generation == base + 3);
    for (const auto& info : rig.recorder.infos)
        QVERIFY2(info.codedW != 352, "the replaced middle source was opened");
    QCOMPARE(rig.recorder.infos.back().codedW, 640);
    QCOMPARE(rig.recorder.infos.front().codedW, 256);
}

void TestFFmpegVideoDecoder::sameSourceWhileRunningDoesNothing()
{
    const QString clip = testsupport::clipVideoOnly(5, 320, 180);
    DecoderRig rig;
    rig.open(clip);
    rig.decoder.waitIdle();
    const std::uint64_t running = rig.decoder.generation;
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.infos.size(), std::size_t(1), kOpenTimeoutMs);

    rig.decoder.setSource(clip);
    rig.decoder.waitIdle();
    QTest::qWait(200);
    QCOMPARE(rig.decoder.generation.load(), running);
    QCOMPARE(rig.recorder.infos.size(), std::size_t(1));

    // After a stop the same string starts again, as a new generation.
    rig.decoder.requestStop();
    rig.decoder.setSource(clip);
    rig.decoder.waitIdle();
    QCOMPARE(rig.decoder.generation.load(), running + 1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.infos.size(), std::size_t(2), kOpenTimeoutMs);
    QCOMPARE(rig.recorder.infos.back().generation, running + 1);
    QTRY_VERIFY_WITH_TIMEOUT(rig.pictures.countOfGeneration(running + 1) > 0, kOpenTimeoutMs);
}

void TestFFmpegVideoDecoder::playbackRequests_data()
{
    QTest::addColumn<State>("before");
    QTest::addColumn<qint64>("requestMs");
    QTest::addColumn<bool>("requestPlaying");
    QTest::addColumn<State>("after"); // durationMs and looping are not compared

    auto st = [](qint64 position, bool playing, qint64 lastRequested, bool ended = false, bool looping = false) {
        State s;
        s.durationMs = 10000;
        s.positionMs = position;
        s.playing = playing;
        s.lastRequestedMs = lastRequested;
        s.endedOnce = ended;
        s.looping = looping;
        return s;
    };
    auto result = [](qint64 position, bool playing, bool seek, bool flush, bool ended, qint64 lastRequested) {
        State s;
        s.positionMs = position;
        s.playing = playing;
        s.seekRequested = seek;
        s.flushAudioRequested = flush;
        s.endedOnce = ended;
        s.lastRequestedMs = lastRequested;
        return s;
    };
    QTest::newRow("start within 80 ms of the end restarts") << st(9000, false, 9000) << qint64(9950) << true
                                                            << result(0, true, true, false, false, 0);
    QTest::newRow("start 100 ms before the end plays there") << st(5000, false, 5000) << qint64(9900) << true
                                                             << result(9900, true, true, false, false, 9900);
    QTest::newRow("start 2 ms away does not seek") << st(5000, false, 5000) << qint64(5002) << true
                                                   << result(5002, true, false, false, false, 5002);
    QTest::newRow("start 3 ms away seeks") << st(5000, false, 5000) << qint64(5003) << true
                                           << result(5003, true, true, false, false, 5003);
    QTest::newRow("first start after a source change seeks") << st(5000, false, -1) << qint64(5000) << true
                                                              << result(5000, true, true, false, false, 5000);
    QTest::newRow("playing 200 ms off the last request does not seek")
        << st(1000, true, 1000) << qint64(1200) << true << result(1200, true, false, false, false, 1200);
    QTest::newRow("playing 201 ms off the last request seeks")
        << st(1000, true, 1000) << qint64(1201) << true << result(1201, true, true, false, false, 1201);
    // The channel has played on to 4 s since it was last asked for 1 s.
    State playedOn = st(1000, true, 1000);
    playedOn.shownMs = 4000;
    QTest::newRow("playing: a request where the pictures are does not seek")
        << playedOn << qint64(4150) << true << result(4150, true, false, false, false, 4150);
    QTest::newRow("playing: a request away from the pictures seeks")
        << playedOn << qint64(6000) << true << result(6000, true, true, false, false, 6000);
    QTest::newRow("pause flushes the audio") << st(3000, true, 3000) << qint64(3000) << false
                                             << result(3000, false, false, true, false, 3000);
    QTest::newRow("pause while paused does not flush") << st(3000, false, 3000) << qint64(4000) << false
                                                       << result(4000, false, false, false, false, 4000);
    QTest::newRow("negative position counts as 0") << st(3000, false, 3000) << qint64(-50) << false
                                                   << result(0, false, false, false, false, 0);
    QTest::newRow("an ended source is held at its end") << st(9990, true, 9990, true) << qint64(9990) << true
                                                        << result(9990, false, false, true, true, 9990);
    QTest::newRow("an ended looping source plays on") << st(9990, true, 9990, true, true) << qint64(9990) << true
                                                      << result(9990, true, false, false, true, 9990);
    QTest::newRow("a moved request leaves the ended state") << st(9990, true, 9990, true) << qint64(5000) << true
                                                            << result(5000, true, true, false, false, 5000);
}

void TestFFmpegVideoDecoder::playbackRequests()
{
    QFETCH(State, before);
    QFETCH(qint64, requestMs);
    QFETCH(bool, requestPlaying);
    QFETCH(State, after);
    playbackrules::PlaybackState state;
    state.durationMs = before.durationMs;
    state.positionMs = before.positionMs;
    state.playing = before.playing;
    state.lastRequestedMs = before.lastRequestedMs;
    state.shownMs = before.shownMs;
    state.endedOnce = before.endedOnce;
    state.looping = before.looping;
    const playbackrules::PlaybackOutcome s = playbackrules::applyRequest(state, requestMs, requestPlaying);
    QCOMPARE(s.positionMs, after.positionMs);
    QCOMPARE(s.playing, after.playing);
    QCOMPARE(s.requestSeek, after.seekRequested);
    QCOMPARE(s.flushAudio, after.flushAudioRequested);
    QCOMPARE(before.endedOnce && !s.leaveEnded, after.endedOnce);
    QCOMPARE(s.positionMs, after.lastRequestedMs); // the request is remembered as given, after clamping
}

void TestFFmpegVideoDecoder::playbackRequestsReachTheDecoder()
{
    FramePool pool(kPoolCapacity, 640, 360);
    FFmpegVideoDecoder decoder(&pool);
    decoder.setPlayback(3000, true);
    QVERIFY(decoder.isPlaying());
    decoder.setPlayback(3000, false);
    QVERIFY(!decoder.isPlaying());
}

void TestFFmpegVideoDecoder::outputSizeIsClampedToThePool()
{
    FramePool pool(kPoolCapacity, 1920, 1080);
    FFmpegVideoDecoder decoder(&pool);
    QCOMPARE(decoder.effectiveOutputSize(), QSize(1920, 1080));
    decoder.setOutputSize(4000, 0);
    QCOMPARE(decoder.effectiveOutputSize(), QSize(1920, 1));
    decoder.setOutputSize(640, 360);
    QCOMPARE(decoder.effectiveOutputSize(), QSize(640, 360));
    FFmpegVideoDecoder noPool(nullptr);
    noPool.setOutputSize(640, 360);
    QCOMPARE(noPool.effectiveOutputSize(), QSize());
}

void TestFFmpegVideoDecoder::openFailuresReportFixedTexts_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("message");

    const QString garbage = testsupport::fixtureDir() + "/garbage.mp4";
    QFile g(garbage);
    QVERIFY(g.open(QIODevice::WriteOnly));
    QByteArray bytes(256 * 1024, '\0');
    quint32 x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    g.write(bytes);
    g.close();

    const QString openFailed = QStringLiteral("avformat_open_input failed");
    QTest::newRow("missing file") << testsupport::fixtureDir() + "/does-not-exist.mp4" << openFailed;
    QTest::newRow("audio-only file") << testsupport::toneWav() << "no video stream";
    QTest::newRow("garbage file") << garbage << openFailed;
    QTest::newRow("refused rtmp") << QString("rtmp://127.0.0.1:%1/live/x").arg(testsupport::freeTcpPort())
                                  << openFailed;
    QTest::newRow("refused tcp") << QString("tcp://127.0.0.1:%1").arg(testsupport::freeTcpPort()) << openFailed;
    QTest::newRow("unknown camera") << "dshow://capture?video=No%20Such%20Camera"
                                    << QString::fromUtf8("无法打开摄像头或麦克风（设备名是否与系统一致？是否被其他程序占用？）");
    QTest::newRow("microphone-only string is not a camera") << "dshow://capture?audio=" + percent(kFakeMicrophone)
                                                            << openFailed;
    QTest::newRow("window capture without a window") << "wgc://capture?hwnd=0"
                                                     << QString::fromUtf8("wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）");
}

void TestFFmpegVideoDecoder::openFailuresReportFixedTexts()
{
    QFETCH(QString, source);
    QFETCH(QString, message);
    DecoderRig rig;
    rig.open(source);
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.errors.size(), 1, kOpenTimeoutMs);
    QCOMPARE(rig.recorder.errors.front(), message);
    QTest::qWait(100);
    QCOMPARE(rig.recorder.errors.size(), 1);
    QCOMPARE(rig.pictures.count(), 0);
}

void TestFFmpegVideoDecoder::stopDuringStalledOpenIsPrompt_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("sendTransportStreamStart"); // stall in the stream probe instead of the open
    QTest::addColumn<bool>("destroy");                  // else: change the source
    for (const char* scheme : {"rtsp", "http", "rtmp", "tcp"}) {
        QTest::addRow("%s destroy", scheme) << QString(scheme) << false << true;
        QTest::addRow("%s change source", scheme) << QString(scheme) << false << false;
    }
    QTest::newRow("tcp stream probe destroy") << "tcp" << true << true;
}

void TestFFmpegVideoDecoder::stopDuringStalledOpenIsPrompt()
{
    QFETCH(QString, scheme);
    QFETCH(bool, sendTransportStreamStart);
    QFETCH(bool, destroy);

    // A listener on loopback that accepts and never answers (or sends the
    // start of a transport stream and then nothing).
    QByteArray tsStart;
    if (sendTransportStreamStart) {
        QFile clip(testsupport::ensureFixture(
            "stall_start.ts", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-c:v", "mpeg2video",
                               "-f", "mpegts"}));
        QVERIFY(clip.open(QIODevice::ReadOnly));
        tsStart = clip.read(188 * 40);
    }
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::vector<QTcpSocket*> clients;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* c = server.nextPendingConnection()) {
            clients.push_back(c);
            if (!tsStart.isEmpty())
                c->write(tsStart);
        }
    });
    const QString url = scheme == "tcp" ? QString("tcp://127.0.0.1:%1").arg(server.serverPort())
                                        : QString("%1://127.0.0.1:%2/live/stream").arg(scheme).arg(server.serverPort());

    FramePool pool(kPoolCapacity, 640, 360);
    auto decoder = std::make_unique<FFmpegVideoDecoder>(&pool);
    decoder->setPlayback(0, true);
    decoder->setSource(url);
    QTRY_VERIFY_WITH_TIMEOUT(!clients.empty(), 5000);
    QTest::qWait(500); // well inside the open (or the probe) by now

    QElapsedTimer timer;
    timer.start();
    if (destroy) {
        decoder.reset();
    } else {
        decoder->requestStop();
        decoder->setSource(testsupport::clipVideoOnly(5, 320, 180));
        decoder->waitIdle();
    }
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed < 1000, qPrintable(QString("stop took %1 ms").arg(elapsed)));
    decoder.reset();
    qDeleteAll(clients);
}

void TestFFmpegVideoDecoder::av1FallsBackToSoftwareOnce()
{
    const QString clip = testsupport::ensureFixture(
        "clip_av1_2s_320x180.mkv",
        {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=2", "-c:v", "libaom-av1", "-cpu-used", "8",
         "-row-mt", "1", "-b:v", "200k", "-pix_fmt", "yuv420p"});
    testsupport::LogCapture log;
    DecoderRig rig;
    rig.open(clip);
    QTRY_VERIFY_WITH_TIMEOUT(rig.pictures.count() >= 10, kOpenTimeoutMs);
    QCOMPARE(log.count("FFmpegVideoDecoder: AV1 hardware decode unavailable; using software decoder"), 1);
    QCOMPARE(log.count("FFmpegVideoDecoder: hardware decoder selected"), 0);
}

void TestFFmpegVideoDecoder::sourcesDeliverStampedPictures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expectAudio");
    QTest::newRow("file") << "file" << true;
    QTest::newRow("udp") << "udp" << false;
    QTest::newRow("srt") << "srt" << false;
    QTest::newRow("rtmp") << "rtmp" << false;
    QTest::newRow("rtmp through the SOCKS relay") << "rtmp+socks" << false;
    QTest::newRow("fake camera") << "camera" << false;
    QTest::newRow("fake camera with its microphone") << "camera+audio" << true;
    QTest::newRow("fake camera with a separate microphone") << "camera+audioSource" << true;
}

void TestFFmpegVideoDecoder::sourcesDeliverStampedPictures()
{
    QFETCH(QString, kind);
    QFETCH(bool, expectAudio);

    testsupport::ScopedTestHome home; // own proxy settings
    PeerProcess sender;
    PeerProcess proxy;
    testsupport::LogCapture log;
    LiveSender live;
    QString source;
    if (kind == "file") {
        source = testsupport::clipWithAudio(5, 320, 240);
    } else if (kind.startsWith("camera")) {
        source = fakeCameraSource(kind == "camera+audio", kind == "camera+audioSource");
    } else {
        if (testsupport::findProgram("ffmpeg").isEmpty())
            QFAIL("ffmpeg is not installed: it is the live sender of this test");
        live = liveSender(kind.section('+', 0, 0));
        source = live.url;
    }
    auto startSender = [&] {
        const quint16 port = quint16(QUrl(live.url).port());
        QVERIFY2(sender.start("ffmpeg", live.args, live.waitUdp ? port : 0,
                              live.waitUdp ? PeerProcess::Wait::UdpBound : PeerProcess::Wait::None),
                 qPrintable(sender.errorString()));
        if (live.waitTcp)
            QTRY_VERIFY_WITH_TIMEOUT(testsupport::tcpListenerPresent(port), 10000);
    };
    if (kind.endsWith("+socks")) {
        const quint16 proxyPort = testsupport::freeTcpPort();
        QVERIFY2(testsupport::startMicrosocks(proxy, proxyPort), qPrintable(proxy.errorString()));
        NetworkProxySettings::setMode(NetworkProxySettings::Manual);
        NetworkProxySettings::setManualSocksProxyUrl(QString("socks5://127.0.0.1:%1").arg(proxyPort));
    }
    if (!live.url.isEmpty() && !live.startAfterDecoder) {
        startSender();
        if (QTest::currentTestFailed())
            return;
    }

    DecoderRig rig;
    rig.decoder.setPlayback(0, true);
    const std::uint64_t expected = rig.decoder.generation + 1;
    rig.decoder.setSource(source);
    rig.decoder.waitIdle();
    if (live.startAfterDecoder) {
        startSender();
        if (QTest::currentTestFailed())
            return;
    }

    QTRY_VERIFY2_WITH_TIMEOUT(rig.pictures.count() >= 10, qPrintable(rig.recorder.errors.join("; ")), kOpenTimeoutMs);
    QVERIFY2(rig.recorder.errors.isEmpty(), qPrintable(rig.recorder.errors.join("; ")));
    const auto all = rig.pictures.pictures();
    for (const auto& p : all) {
        QCOMPARE(p.generation, expected);
        QCOMPARE(p.width, 640);
        QCOMPARE(p.height, 360);
    }
    // Time stamps of one source run forward.
    for (std::size_t i = 1; i < all.size(); ++i)
        QVERIFY2(all[i].ptsUs > all[i - 1].ptsUs, qPrintable(QString("picture %1 goes back in time").arg(i)));
    QTRY_VERIFY(!rig.recorder.infos.empty());
    QCOMPARE(rig.recorder.infos.front().codedW, 320);
    QCOMPARE(rig.recorder.infos.front().codedH, 240);
    QCOMPARE(rig.recorder.infos.front().generation, qulonglong(expected));
    if (expectAudio)
        QVERIFY(audioArrives(rig.decoder, 5000));
    QCOMPARE(log.count("SocksMediaBridge: RTMP local relay"), kind.endsWith("+socks") ? 1 : 0);
}

void TestFFmpegVideoDecoder::separateMicrophoneRunsBesideCapture()
{
    // The monitor form has no capture here yet, but its microphone runs.
    FramePool pool(kPoolCapacity, 640, 360);
    FFmpegVideoDecoder decoder(&pool);
    SignalRecorder signals_(&decoder);
    decoder.setPlayback(0, true);
    decoder.setSource("desktop://capture?monitor=0&audioSource=" + percent("dshow://capture?audio=" + percent(kFakeMicrophone)));
    QTRY_COMPARE_WITH_TIMEOUT(signals_.errors.size(), 1, kOpenTimeoutMs);
    QVERIFY(audioArrives(decoder, 5000));

    // A microphone string without an "audio" item is refused with its own text.
    decoder.setSource("desktop://capture?monitor=0&audioSource=" + percent("dshow://capture?video=Cam"));
    QTRY_COMPARE_WITH_TIMEOUT(signals_.errors.size(), 3, kOpenTimeoutMs);
    QVERIFY(signals_.errors.contains(QString::fromUtf8("dshow 分离麦克风 URL 无效（需 dshow://…&audio=设备名）")));
}

void TestFFmpegVideoDecoder::decodingThreadsFollowPictureSize_data()
{
    QTest::addColumn<QString>("clip");
    QTest::addColumn<QSize>("size");
    QTest::newRow("640x360 H.264") << testsupport::clipVideoOnly(2) << QSize(640, 360);
    QTest::newRow("4K HEVC Main10") << testsupport::ensureFixture(
        "testsrc_3840x2160_hevc10.mp4", {"-f", "lavfi", "-i", "testsrc2=s=3840x2160:r=30:d=1", "-frames:v", "10",
                                         "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error",
                                         "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1"})
                                    << QSize(3840, 2160);
}

void TestFFmpegVideoDecoder::decodingThreadsFollowPictureSize()
{
    QFETCH(QString, clip);
    QFETCH(QSize, size);
    DecoderRig rig;
    rig.open(clip);
    QTRY_VERIFY2_WITH_TIMEOUT(rig.pictures.count() > 0, qPrintable(rig.recorder.errors.join("; ")), kOpenTimeoutMs);
    const int threads = FFmpegVideoDecoderProbe::videoDecoderThreads(rig.decoder);
    const int cores = QThread::idealThreadCount();
    QCOMPARE(threads, FFmpegVideoDecoder::videoDecoderThreads(size.width(), size.height(), false, cores));
    if (size.width() * size.height() > 1920 * 1080)
        QVERIFY2(threads > 1, qPrintable(QString("%1 decoding threads for 4K").arg(threads)));
    else
        QCOMPARE(threads, 1);
}

void TestFFmpegVideoDecoder::threadRuleCapsByMachine_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("live");
    QTest::addColumn<int>("cores");
    QTest::addColumn<int>("threads");
    QTest::newRow("720p file") << QSize(1280, 720) << false << 8 << 1;
    QTest::newRow("1080p file") << QSize(1920, 1080) << false << 8 << 2;
    QTest::newRow("4K file, 8 cores") << QSize(3840, 2160) << false << 8 << 4;
    QTest::newRow("4K file, 2 cores") << QSize(3840, 2160) << false << 2 << 2;
    QTest::newRow("8K file, 8 cores: half the machine") << QSize(7680, 4320) << false << 8 << 4;
    QTest::newRow("8K file, 32 cores") << QSize(7680, 4320) << false << 32 << 8;
    QTest::newRow("4K live stream: little delay") << QSize(3840, 2160) << true << 8 << 2;
    QTest::newRow("360p live stream") << QSize(640, 360) << true << 8 << 1;
}

void TestFFmpegVideoDecoder::threadRuleCapsByMachine()
{
    QFETCH(QSize, size);
    QFETCH(bool, live);
    QFETCH(int, cores);
    QFETCH(int, threads);
    QCOMPARE(FFmpegVideoDecoder::videoDecoderThreads(size.width(), size.height(), live, cores), threads);
}

QUORB_TEST_MAIN(TestFFmpegVideoDecoder)
#include "tst_ffmpegvideodecoder.moc"
