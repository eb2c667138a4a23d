// Stream destinations against failing receivers, in one run of about 45 s:
// one nginx-rtmp is killed and restarted 10 s later, another is frozen with
// SIGSTOP for 30 s, a third stays healthy, and a recording runs beside them.

#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/nginxrtmp.h"
#include "support/proxypeers.h"
#include "support/streamreceivers.h"
#include "support/testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <thread>

using namespace testsupport;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kMaxFrames = 30 * 70;
// Pictures the resumed receiver must have recorded of its new stream before
// the run ends: enough that one late picture moves the measured rate by
// little more than 1 %.
constexpr int kResumedFrames = 150;

// The largest step between consecutive video timestamps and their count.
struct Continuity {
    int frames = 0;
    double maxStep = 0;
    double span = 0;
    bool startsOnKey = false;
};

Continuity continuityOf(const QString& path)
{
    Continuity c;
    const std::vector<ProbedStream> streams = probePackets(path);
    const ProbedStream* video = findStream(streams, "video");
    if (!video || video->packets.empty())
        return c;
    c.frames = int(video->packets.size());
    c.startsOnKey = video->packets.front().key;
    for (std::size_t i = 1; i < video->packets.size(); ++i)
        c.maxStep = std::max(c.maxStep, video->packets[i].dts - video->packets[i - 1].dts);
    c.span = video->packets.back().dts - video->packets.front().dts;
    return c;
}

// Waits until the receiver recording into dir has a capture that is not
// one of `before` and holds at least `frames` video packets from a key
// frame. The packets are only probed: decoding beside a live encoder would
// take the machine from it, and its stamps follow the wall clock.
bool waitForNewCapture(const QString& dir, const QStringList& before, int frames, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        for (const QString& file : nginxRecordings(dir)) {
            if (before.contains(file))
                continue;
            const Continuity c = continuityOf(file);
            if (c.startsOnKey && c.frames >= frames)
                return true;
        }
        if (waited.elapsed() > timeoutMs)
            return false;
        QTest::qWait(500);
    }
}

} // namespace

class TestNetworkPublishFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { clearProxyConfiguration(); }
    void killedAndStalledReceivers();
};

void TestNetworkPublishFaults::killedAndStalledReceivers()
{
    QTemporaryDir dir;
    PeerProcess killed, restarted, stalled, healthy;
    const NginxRtmpPorts killedPorts{freeTcpPort(), 0};
    const NginxRtmpPorts stalledPorts{freeTcpPort(), 0};
    const NginxRtmpPorts healthyPorts{freeTcpPort(), 0};
    if (!startNginxRtmp(killed, dir.path() + "/killed", killedPorts)
        || !startNginxRtmp(stalled, dir.path() + "/stalled", stalledPorts)
        || !startNginxRtmp(healthy, dir.path() + "/healthy", healthyPorts))
        QFAIL(qPrintable("nginx-rtmp did not start: " + killed.errorString() + stalled.errorString()
                         + healthy.errorString()));
    const qint64 stalledPid = stalled.pid();
    auto resume = qScopeGuard([stalledPid] { signalTree(stalledPid, SIGCONT); });

    const std::vector<StreamTarget> targets{
        {QString("rtmp://127.0.0.1:%1/live/killed").arg(killedPorts.rtmp), "flv", 0},
        {QString("rtmp://127.0.0.1:%1/live/stalled").arg(stalledPorts.rtmp), "flv", 1},
        {QString("rtmp://127.0.0.1:%1/live/healthy").arg(healthyPorts.rtmp), "flv", 2}};
    PublishingSink p;
    const QString recording = dir.path() + "/program.mkv";
    QVERIFY(p.configure(recording, targets, 1200));
    StatusRecorder& statuses = p.statuses;

    std::atomic<bool> finish{false};
    std::atomic<int> encoded{0};
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = kMaxFrames;
    run.beforeFrame = [&finish](int) { return !finish.load(); };
    std::thread encodeThread([&] { encoded = runSinkOnEncodeThread(p.sink, run); });
    auto join = qScopeGuard([&] {
        finish = true;
        encodeThread.join();
    });

    for (int row = 0; row < 3; ++row)
        QVERIFY2(statuses.waitFor(row, "online", 10000) >= 0, qPrintable(statuses.words(row).join(", ")));
    QTest::qWait(3000);

    // The killed receiver goes away at once; the stalled one keeps its
    // sockets open but reads nothing.
    signalTree(killed.pid(), SIGKILL);
    killed.waitFinished(3000);
    signalTree(stalledPid, SIGSTOP);
    QElapsedTimer stall;
    stall.start();
    const int killedOnline = statuses.words(0).lastIndexOf("online");

    QTest::qWait(8000);
    const qint64 rssEarly = residentKiB();
    QTest::qWait(2000);
    if (!startNginxRtmp(restarted, dir.path() + "/killed", killedPorts))
        QFAIL(qPrintable("nginx-rtmp did not restart: " + restarted.errorString()));
    const int reconnecting = statuses.words(0).indexOf("reconnecting", killedOnline);
    QVERIFY2(reconnecting > killedOnline, qPrintable(statuses.words(0).join(", ")));
    // Back-off from the failure: 0.4, 1, 2, 4, 8 s, so at most about 16 s.
    QVERIFY2(statuses.waitFor(0, "online", 20000, reconnecting) > reconnecting,
             qPrintable(statuses.words(0).join(", ")));

    QTest::qWait(std::max<int>(0, 28000 - int(stall.elapsed())));
    const qint64 rssLate = residentKiB();
    QVERIFY2(statuses.words(1).contains("congested"), qPrintable(statuses.words(1).join(", ")));
    QTest::qWait(std::max<int>(0, 30000 - int(stall.elapsed())));
    const QStringList frozenCaptures = nginxRecordings(dir.path() + "/stalled");
    signalTree(stalledPid, SIGCONT);
    const int congested = statuses.words(1).lastIndexOf("congested");
    QVERIFY2(statuses.waitFor(1, "online", 25000, congested) > congested, qPrintable(statuses.words(1).join(", ")));
    // "online" only says the receiver took the publish; a receiver just
    // woken first works off the frozen connection's backlog. The run goes on
    // until its own recording of the new stream is long enough to judge.
    waitForNewCapture(dir.path() + "/stalled", frozenCaptures, kResumedFrames, 60000);
    finish = true;
    join.dismiss();
    encodeThread.join();
    restarted.stop();
    stalled.stop();
    healthy.stop();

#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer keeps freed memory in quarantine: RSS grows with any churn
    QVERIFY2(rssLate - rssEarly < 20 * 1024,
             qPrintable(QString("resident memory grew from %1 to %2 KiB during the stall").arg(rssEarly).arg(rssLate)));
#endif

    // The recording and the healthy destination lost nothing.
    const Continuity file = continuityOf(recording);
    QVERIFY2(file.frames == encoded.load() && file.maxStep < 0.1,
             qPrintable(QString("recording: %1 of %2 frames, largest step %3 s")
                            .arg(file.frames)
                            .arg(encoded.load())
                            .arg(file.maxStep)));
    const QStringList healthyFiles = nginxRecordings(dir.path() + "/healthy");
    QCOMPARE(healthyFiles.size(), 1);
    const Continuity other = continuityOf(healthyFiles.first());
    QVERIFY2(other.frames >= encoded.load() - 45 && other.maxStep < 0.1,
             qPrintable(QString("healthy destination: %1 of %2 frames, largest step %3 s")
                            .arg(other.frames)
                            .arg(encoded.load())
                            .arg(other.maxStep)));

    // The restarted and the resumed receivers got a new stream that starts
    // on a key frame and decodes.
    for (const QString& which : {QString("killed"), QString("stalled")}) {
        const QStringList files = nginxRecordings(dir.path() + "/" + which);
        QVERIFY2(files.size() >= 2, qPrintable(which + ": " + files.join(", ")));
        const QString problem = checkCapture(files.last(), kWidth, kHeight, 30.0, 60);
        QVERIFY2(problem.isEmpty(), qPrintable(which + ": " + problem));
    }
    for (int row = 0; row < 3; ++row)
        QCOMPARE(statuses.words(row).last(), QString("stopped"));
}

QUORB_TEST_MAIN(TestNetworkPublishFaults)
#include "tst_networkpublishfaults.moc"
