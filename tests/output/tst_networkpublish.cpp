// One encode fanned out to a recording and up to four stream destinations on
// real receivers (nginx-rtmp with its TLS front end, ffmpeg listening for
// SRT, RIST, UDP, TCP, HTTP and RTP), every capture checked with ffprobe and
// decoded; and no secret of any destination in the log.

#include "app/logging.h"
#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/nginxrtmp.h"
#include "support/proxypeers.h"
#include "support/socketpeers.h"
#include "support/streamreceivers.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFrames = 150; // 5 s at 30 fps

// Secrets the destinations of this test carry; none may reach the log.
const QStringList kSecrets{"sk-rtmp-7Qx91", "sk-rtmps-3Kd20", "srtpass-Zt8w4v", "srt-sid-Mq55", "httppw-Vn63"};

enum class Dest { RtmpA, RtmpB, Rtmps, Srt, Rist, Udp, Tcp, Http, Rtp };

} // namespace

Q_DECLARE_METATYPE(QList<int>)

class TestNetworkPublish : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void fanOut_data();
    void fanOut();
    void refusedDestinationsLogNoSecret();
    void logHoldsNoSecret();

private:
    QTemporaryDir m_dir;
};

void TestNetworkPublish::initTestCase()
{
    clearProxyConfiguration();
    initLogging();
}

void TestNetworkPublish::fanOut_data()
{
    QTest::addColumn<QList<int>>("destinations");
    QTest::newRow("recording, two RTMP, SRT, UDP")
        << QList<int>{int(Dest::RtmpA), int(Dest::RtmpB), int(Dest::Srt), int(Dest::Udp)};
    QTest::newRow("recording, RTMPS, RIST, TCP, HTTP")
        << QList<int>{int(Dest::Rtmps), int(Dest::Rist), int(Dest::Tcp), int(Dest::Http)};
    QTest::newRow("recording, RTP") << QList<int>{int(Dest::Rtp)};
}

void TestNetworkPublish::fanOut()
{
    QFETCH(QList<int>, destinations);
    const QString dir = m_dir.path() + "/" + QString::fromUtf8(QTest::currentDataTag()).replace(QRegularExpression("\\W+"), "_");
    QVERIFY(QDir().mkpath(dir));

    PeerProcess nginx;
    NginxRtmpPorts ports{freeTcpPort(), freeTcpPort()};
    const bool wantsNginx = std::any_of(destinations.begin(), destinations.end(), [](int d) {
        return d == int(Dest::RtmpA) || d == int(Dest::RtmpB) || d == int(Dest::Rtmps);
    });
    if (wantsNginx && !startNginxRtmp(nginx, dir + "/nginx", ports))
        QFAIL(qPrintable("nginx-rtmp did not start: " + nginx.errorString()));

    std::vector<std::unique_ptr<PeerProcess>> receivers;
    std::vector<StreamTarget> targets;
    RtpTsCapture rtpCapture;
    QStringList captures; // per row: the receiver's file, or the nginx stream name
    for (int i = 0; i < destinations.size(); ++i) {
        const Dest d = Dest(destinations[i]);
        QString url;
        if (d == Dest::RtmpA || d == Dest::RtmpB) {
            const QString key = QString("%1-%2").arg(kSecrets[0]).arg(i);
            url = QString("rtmp://127.0.0.1:%1/live/%2").arg(ports.rtmp).arg(key);
            captures << "nginx:" + key;
            targets.push_back({url, "flv", i});
            continue;
        }
        if (d == Dest::Rtmps) {
            url = QString("rtmps://127.0.0.1:%1/live/%2").arg(ports.rtmps).arg(kSecrets[1]);
            captures << "nginx:" + kSecrets[1];
            targets.push_back({url, "flv", i});
            continue;
        }
        if (d == Dest::Rtp) {
            const QString out = QString("%1/row%2.ts").arg(dir).arg(i);
            if (!rtpCapture.start(out))
                QFAIL("no UDP port for the RTP capture");
            captures << out;
            targets.push_back({QString("rtp://127.0.0.1:%1").arg(rtpCapture.port()), "mpegts", i});
            continue;
        }
        static const std::map<Dest, ReceiverKind> kinds{{Dest::Srt, ReceiverKind::Srt},
                                                        {Dest::Rist, ReceiverKind::Rist},
                                                        {Dest::Udp, ReceiverKind::Udp},
                                                        {Dest::Tcp, ReceiverKind::Tcp},
                                                        {Dest::Http, ReceiverKind::Http}};
        ReceiverOptions options;
        options.srtPassphrase = kSecrets[2];
        options.srtStreamId = kSecrets[3];
        options.httpUser = "publisher";
        options.httpPassword = kSecrets[4];
        const QString out = QString("%1/row%2.ts").arg(dir).arg(i);
        receivers.push_back(std::make_unique<PeerProcess>());
        PeerProcess* capture = receivers.back().get();
        receivers.push_back(std::make_unique<PeerProcess>()); // the RIST relay
        if (!startReceiver(*capture, kinds.at(d), out, &url, options, receivers.back().get()))
            QFAIL(qPrintable(QString("receiver for row %1 did not start: %2 %3")
                                 .arg(i)
                                 .arg(capture->errorString() + receivers.back()->errorString(),
                                      QString::fromUtf8(capture->output()))));
        captures << out;
        targets.push_back({url, "mpegts", i});
    }

    PublishingSink p;
    const QString recording = dir + "/program.mp4";
    QVERIFY(p.configure(recording, targets, 1500));
    p.sink.setOutputSize(kWidth, kHeight);
    const StatusRecorder& statuses = p.statuses;
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = kFrames;
    QCOMPARE(runSinkOnEncodeThread(p.sink, run), kFrames);

    for (auto& receiver : receivers)
        finishReceiver(*receiver, 7000);
    QTest::qWait(300);
    rtpCapture.stop();
    if (destinations.contains(int(Dest::Rtp)))
        QVERIFY2(rtpCapture.rtpPackets() > 100 && rtpCapture.foreignPackets() == 0 && rtpCapture.sequenceGaps() == 0,
                 qPrintable(QString("RTP packets %1, others %2, sequence gaps %3")
                                .arg(rtpCapture.rtpPackets())
                                .arg(rtpCapture.foreignPackets())
                                .arg(rtpCapture.sequenceGaps())));
    if (wantsNginx)
        nginx.stop(); // finalises the recordings

    for (int i = 0; i < destinations.size(); ++i) {
        const QStringList words = statuses.words(i);
        QVERIFY2(words.size() >= 3 && words.first() == "connecting" && words.contains("online")
                     && words.last() == "stopped",
                 qPrintable(QString("row %1: %2").arg(i).arg(words.join(", "))));
        QString path = captures[i];
        if (path.startsWith("nginx:")) {
            const QStringList files = nginxRecordings(dir + "/nginx").filter(path.mid(6));
            QVERIFY2(files.size() == 1, qPrintable(path + ": " + nginxRecordings(dir + "/nginx").join(", ")));
            path = files.first();
            // What the server kept reads clean in the plain CLI too, which
            // refuses a video decoding time that does not rise.
            QCOMPARE(decodeErrors(path), QString());
        }
        // Each stream starts at the first frame, which waits in the queue
        // while the worker connects, and misses only the encoder's tail,
        // which goes to the recording alone. RIST loses its first packets
        // while the link comes up. SRT must keep what it sent before the
        // stop: without lingering it drops its last ~130 ms.
        const Dest d = Dest(destinations[i]);
        const int minFrames = d == Dest::Rist ? 4 * 30 : d == Dest::Srt ? kFrames - 5 : kFrames - 15;
        const QString problem = checkCapture(path, kWidth, kHeight, 30.0, minFrames, d == Dest::Rtp);
        QVERIFY2(problem.isEmpty(), qPrintable(QString("row %1: %2").arg(i).arg(problem)));
    }
    const QString recordingProblem = checkCapture(recording, kWidth, kHeight, 30.0, kFrames);
    QVERIFY2(recordingProblem.isEmpty(), qPrintable(recordingProblem));
}

// Failed connections are where FFmpeg itself names the URL in the log.
void TestNetworkPublish::refusedDestinationsLogNoSecret()
{
    const quint16 srtPort = freeUdpPort();
    RefusingPort rtmpPort;
    PublishingSink p;
    QVERIFY(p.configure(QString(),
                        {{QString("srt://127.0.0.1:%1?mode=caller&passphrase=%2&streamid=%3")
                              .arg(srtPort)
                              .arg(kSecrets[2], kSecrets[3]),
                          "mpegts", 0},
                         {QString("rtmp://127.0.0.1:%1/live/%2").arg(rtmpPort.port()).arg(kSecrets[0]), "flv", 1}}));
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = 30 * 5; // an SRT caller gives up after about 3 s
    runSinkOnEncodeThread(p.sink, run);
    QVERIFY2(p.statuses.words(0).contains("reconnecting"), qPrintable(p.statuses.words(0).join(", ")));
    QVERIFY2(p.statuses.words(1).contains("reconnecting"), qPrintable(p.statuses.words(1).join(", ")));
}

void TestNetworkPublish::logHoldsNoSecret()
{
    shutdownLogging();
    QByteArray all;
    for (const QFileInfo& fi : QDir(logDirectory()).entryInfoList(QDir::Files)) {
        QFile f(fi.absoluteFilePath());
        if (f.open(QIODevice::ReadOnly))
            all += f.readAll();
    }
    QVERIFY2(all.contains("FfmpegEncoderSink: opening publish URL"), all.right(2000).constData());
    for (const QString& secret : kSecrets)
        QVERIFY2(!all.contains(secret.toUtf8()), qPrintable(secret + " is in the log"));
}

QUORB_TEST_MAIN(TestNetworkPublish)
#include "tst_networkpublish.moc"
