// Starting and stopping stream destinations against real receivers: a stop
// while a receiver is frozen, a destination that is not there yet, a
// receiver that hangs up, and a new timeline while streaming.

#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/logcapture.h"
#include "support/nginxrtmp.h"
#include "support/proxypeers.h"
#include "support/streamreceivers.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <csignal>
#include <thread>

using namespace testsupport;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

} // namespace

class TestNetworkPublishStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { clearProxyConfiguration(); }
    void stopWhileReceiverFrozen();
    void receiverAppearsLater();
    void everyReconnectStartsOnAKeyFrame();
    void newTimelineKeepsTimestampsContinuous();
};

void TestNetworkPublishStop::stopWhileReceiverFrozen()
{
    QTemporaryDir dir;
    PeerProcess nginx, udp;
    const NginxRtmpPorts ports{freeTcpPort(), 0};
    if (!startNginxRtmp(nginx, dir.path() + "/nginx", ports))
        QFAIL(qPrintable("nginx-rtmp did not start: " + nginx.errorString()));
    auto resume = qScopeGuard([&nginx] { signalTree(nginx.pid(), SIGCONT); });
    QString udpUrl;
    if (!startReceiver(udp, ReceiverKind::Udp, dir.path() + "/udp.ts", &udpUrl))
        QFAIL(qPrintable("UDP receiver did not start: " + udp.errorString()));

    PublishingSink p;
    const QString recording = dir.path() + "/program.mp4";
    // A high rate of hard-to-compress pictures fills the socket buffers of
    // the frozen receiver within seconds, so the worker blocks in a write.
    QVERIFY(p.configure(recording,
                        {{QString("rtmp://127.0.0.1:%1/live/frozen").arg(ports.rtmp), "flv", 0}, {udpUrl, "mpegts", 1}},
                        8000));
    std::atomic<bool> finish{false};
    std::atomic<qint64> lastFrameAt{0};
    QElapsedTimer clock;
    clock.start();
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = 30 * 60;
    run.noise = true;
    run.beforeFrame = [&](int) {
        if (finish.load())
            return false;
        lastFrameAt = clock.elapsed();
        return true;
    };
    std::atomic<int> encoded{0};
    std::atomic<qint64> returnedAt{0};
    std::thread encodeThread([&] {
        encoded = runSinkOnEncodeThread(p.sink, run);
        returnedAt = clock.elapsed();
    });
    auto join = qScopeGuard([&] {
        finish = true;
        encodeThread.join();
    });
    QVERIFY2(p.statuses.waitFor(0, "online", 10000) >= 0, qPrintable(p.statuses.words(0).join(", ")));
    QTest::qWait(1000);
    signalTree(nginx.pid(), SIGSTOP);
    QTest::qWait(6000);
    finish = true;
    join.dismiss();
    encodeThread.join();

    const qint64 stopMs = returnedAt.load() - lastFrameAt.load() - 33;
    qInfo() << "stop took" << stopMs << "ms";
    QVERIFY2(stopMs < 1500, qPrintable(QString("stop took %1 ms").arg(stopMs)));
    QCOMPARE(p.statuses.words(0).last(), QString("stopped"));
    QCOMPARE(p.statuses.words(1).last(), QString("stopped"));
    const QString problem = checkCapture(recording, kWidth, kHeight, 30.0, encoded.load());
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    finishReceiver(udp, 6000);
    const QString udpProblem = checkCapture(dir.path() + "/udp.ts", kWidth, kHeight, 30.0, encoded.load() - 45);
    QVERIFY2(udpProblem.isEmpty(), qPrintable(udpProblem));
}

// Nothing listens at first: "connecting", then "reconnecting" after each
// attempt, 1 s and 2 s apart; once the receiver is up the row goes online.
void TestNetworkPublishStop::receiverAppearsLater()
{
    QTemporaryDir dir;
    PeerProcess nginx;
    const NginxRtmpPorts ports{freeTcpPort(), 0};
    PublishingSink p;
    LogCapture log;
    QVERIFY(p.configure(QString(), {{QString("rtmp://127.0.0.1:%1/live/later").arg(ports.rtmp), "flv", 3}}));
    std::atomic<bool> finish{false};
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = 30 * 40;
    run.beforeFrame = [&finish](int) { return !finish.load(); };
    std::thread encodeThread([&] { runSinkOnEncodeThread(p.sink, run); });
    auto join = qScopeGuard([&] {
        finish = true;
        encodeThread.join();
    });

    QVERIFY(p.statuses.waitFor(3, "reconnecting", 5000) >= 0);
    QTest::qWait(4000);
    if (!startNginxRtmp(nginx, dir.path() + "/nginx", ports))
        QFAIL(qPrintable("nginx-rtmp did not start: " + nginx.errorString()));
    QVERIFY2(p.statuses.waitFor(3, "online", 12000) >= 0, qPrintable(p.statuses.words(3).join(", ")));
    QTest::qWait(2500);
    finish = true;
    join.dismiss();
    encodeThread.join();
    nginx.stop();

    std::vector<qint64> attempts;
    QStringList words;
    for (const StatusRecorder::Entry& e : p.statuses.entries()) {
        words << e.word;
        if (e.word == "reconnecting")
            attempts.push_back(e.ms);
    }
    QVERIFY2(words.size() >= 5 && words[0] == "connecting" && words[1] == "reconnecting"
                 && words.indexOf("online") > 2 && words.last() == "stopped",
             qPrintable(words.join(", ")));
    QVERIFY2(attempts.size() >= 3, qPrintable(words.join(", ")));
    const qint64 first = attempts[1] - attempts[0];
    const qint64 second = attempts[2] - attempts[1];
    QVERIFY2(first >= 900 && first <= 1500 && second >= 1900 && second <= 2500,
             qPrintable(QString("attempts %1 ms and %2 ms apart").arg(first).arg(second)));
    QCOMPARE(log.count("RTMP mux reopen failed, attempt 1 next in 1000 ms"), 1);
    QCOMPARE(log.count("RTMP mux reopen failed, attempt 2"), 0);
    const QStringList files = nginxRecordings(dir.path() + "/nginx");
    QCOMPARE(files.size(), 1);
    const QString problem = checkCapture(files.first(), kWidth, kHeight, 30.0, 45);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

// A receiver that hangs up three times: every new connection's stream
// starts on a key frame, whatever picture the encoder is at when the
// sender reconnects.
void TestNetworkPublishStop::everyReconnectStartsOnAKeyFrame()
{
    constexpr int kHangUps = 3;
    QTemporaryDir dir;
    TcpTsCaptures receiver(dir.path(), kHangUps, 2000);
    QVERIFY(receiver.listen());
    PublishingSink p;
    QVERIFY(p.configure(QString(), {{QString("tcp://127.0.0.1:%1").arg(receiver.port()), "mpegts", 0}}));
    std::atomic<bool> finish{false};
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = 30 * 60;
    run.beforeFrame = [&finish](int) { return !finish.load(); };
    std::thread encodeThread([&] { runSinkOnEncodeThread(p.sink, run); });
    auto join = qScopeGuard([&] {
        finish = true;
        encodeThread.join();
    });

    QVERIFY2(QTest::qWaitFor([&] { return receiver.acceptedCount() > kHangUps; }, 60000),
             qPrintable(p.statuses.words(0).join(", ")));
    QTest::qWait(2000); // the last connection gets its first pictures too
    finish = true;
    join.dismiss();
    encodeThread.join();
    receiver.stop();

    const QStringList captures = receiver.files();
    QCOMPARE(captures.size(), kHangUps + 1);
    for (const QString& capture : captures) {
        const std::vector<ProbedStream> streams = probePackets(capture);
        const ProbedStream* video = findStream(streams, "video");
        QVERIFY2(video && !video->packets.empty(), qPrintable(capture + ": no video"));
        QVERIFY2(video->packets.front().key, qPrintable(capture + " does not start on a key frame"));
    }
}

// A source switch while streaming: the queue is dropped and the stream
// goes on at the forced key frame; the receiver's clock never jumps.
void TestNetworkPublishStop::newTimelineKeepsTimestampsContinuous()
{
    QTemporaryDir dir;
    PeerProcess nginx;
    const NginxRtmpPorts ports{freeTcpPort(), 0};
    if (!startNginxRtmp(nginx, dir.path() + "/nginx", ports))
        QFAIL(qPrintable("nginx-rtmp did not start: " + nginx.errorString()));
    PublishingSink p;
    // A long key-frame interval: only the forced key frame can resume it.
    QVERIFY(p.configure(QString(), {{QString("rtmp://127.0.0.1:%1/live/switch").arg(ports.rtmp), "flv", 0}}));
    p.sink.setEncodingParams(1000, 4, FfmpegEncoderSink::kEncoderSoftwareOnly, 0);
    constexpr int kSwitchAt = 100;
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = 200;
    run.beforeFrame = [&p](int index) {
        if (index == kSwitchAt)
            p.sink.startNewSession();
        return true;
    };
    run.sequence = [](int index) { return std::int64_t(index < kSwitchAt ? 1 : 2); };
    QCOMPARE(runSinkOnEncodeThread(p.sink, run), 200);
    nginx.stop();

    const QStringList files = nginxRecordings(dir.path() + "/nginx");
    QCOMPARE(files.size(), 1);
    const std::vector<ProbedStream> streams = probePackets(files.first());
    const ProbedStream* video = findStream(streams, "video");
    QVERIFY(video && video->packets.size() > 150);
    double maxStep = 0;
    int keyFramesAfterStart = 0;
    for (std::size_t i = 1; i < video->packets.size(); ++i) {
        const double step = video->packets[i].dts - video->packets[i - 1].dts;
        QVERIFY2(step > 0, qPrintable(QString("timestamps go back at packet %1").arg(i)));
        maxStep = std::max(maxStep, step);
        keyFramesAfterStart += video->packets[i].key ? 1 : 0;
    }
    // Only the frames between the switch and the forced key frame are missing.
    QVERIFY2(maxStep < 0.25, qPrintable(QString("largest step %1 s").arg(maxStep)));
    QVERIFY(keyFramesAfterStart >= 1);
    // The rate away from that one gap: how many frames it swallows depends
    // on how far the encoder was behind at the switch, not on the rate.
    const double span = video->packets.back().dts - video->packets.front().dts - (maxStep - 1.0 / 30.0);
    const double rate = double(video->packets.size() - 1) / span;
    QVERIFY2(std::abs(rate - 30.0) <= 30.0 * 0.03, qPrintable(QString("%1 frames per second outside the gap").arg(rate)));
    const QString problem = checkCapture(files.first(), kWidth, kHeight, 0, 150);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QUORB_TEST_MAIN(TestNetworkPublishStop)
#include "tst_networkpublishstop.moc"
