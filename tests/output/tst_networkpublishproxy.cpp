// Publishing through proxies: RTMP through the local SOCKS relay and
// microsocks to nginx-rtmp (the stream key's query must arrive), and an
// HTTP POST through tinyproxy.

#include "net/networkproxysettings.h"
#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/logcapture.h"
#include "support/nginxrtmp.h"
#include "support/proxypeers.h"
#include "support/socketpeers.h"
#include "support/streamreceivers.h"
#include "support/testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;
namespace nps = NetworkProxySettings;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFrames = 120;

QStringList publish(const QString& url, const QString& muxer)
{
    PublishingSink p;
    if (!p.configure(QString(), {{url, muxer, 0}}))
        return {};
    SinkRun run;
    run.width = kWidth;
    run.height = kHeight;
    run.frames = kFrames;
    runSinkOnEncodeThread(p.sink, run);
    return p.statuses.words(0);
}

} // namespace

class TestNetworkPublishProxy : public QObject {
    Q_OBJECT

private slots:
    void init() { clearProxyConfiguration(); }
    void cleanup() { clearProxyConfiguration(); }
    void rtmpThroughSocksRelay();
    void httpThroughProxy();
};

void TestNetworkPublishProxy::rtmpThroughSocksRelay()
{
    QTemporaryDir dir;
    PeerProcess microsocks, nginx;
    const quint16 proxyPort = freeTcpPort();
    QVERIFY2(startMicrosocks(microsocks, proxyPort), qPrintable(microsocks.errorString()));
    HttpFileServer onPublish; // nginx asks it before letting the publisher in
    onPublish.body = "ok";
    QVERIFY(onPublish.listen());
    const NginxRtmpPorts ports{freeTcpPort(), 0};
    if (!startNginxRtmp(nginx, dir.path() + "/nginx", ports,
                        QString("http://127.0.0.1:%1/on_publish").arg(onPublish.port())))
        QFAIL(qPrintable("nginx-rtmp did not start: " + nginx.errorString()));
    nps::setMode(nps::Manual);
    nps::setManualSocksProxyUrl(QString("socks5://127.0.0.1:%1").arg(proxyPort));

    LogCapture log;
    const QStringList words =
        publish(QString("rtmp://127.0.0.1:%1/live/relaykey?token=t0k3n42").arg(ports.rtmp), "flv");
    nginx.stop();
    QVERIFY2(words.contains("online"), qPrintable(words.join(", ")));
    QCOMPARE(log.count("FfmpegEncoderSink: RTMP publish using local SOCKS relay"), 1);
    QCOMPARE(log.count("(local SOCKS relay)"), 1);
    for (const QString& line : log.messages())
        QVERIFY2(!line.contains("t0k3n42") && !line.contains("relaykey"), qPrintable(line));

    bool keyArrived = false;
    for (const QByteArray& request : onPublish.requests())
        keyArrived = keyArrived || (request.contains("name=relaykey") && request.contains("token=t0k3n42"));
    QVERIFY2(keyArrived, onPublish.requests().join("\n---\n").constData());
    const QStringList files = nginxRecordings(dir.path() + "/nginx");
    QCOMPARE(files.size(), 1);
    const QString problem = checkCapture(files.first(), kWidth, kHeight, 30.0, kFrames - 40);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void TestNetworkPublishProxy::httpThroughProxy()
{
    QTemporaryDir dir;
    PeerProcess tinyproxy, receiver;
    const quint16 proxyPort = freeTcpPort();
    QVERIFY2(startTinyproxy(tinyproxy, dir.path(), proxyPort), qPrintable(tinyproxy.errorString()));
    QString url;
    if (!startReceiver(receiver, ReceiverKind::Http, dir.path() + "/http.ts", &url))
        QFAIL(qPrintable("HTTP receiver did not start: " + receiver.errorString()));
    nps::setMode(nps::Manual);
    nps::setManualHttpProxyUrl(QString("http://127.0.0.1:%1").arg(proxyPort));

    LogCapture log;
    const QStringList words = publish(url, "mpegts");
    finishReceiver(receiver, 5000);
    QVERIFY2(words.contains("online"), qPrintable(words.join(", ")));
    QCOMPARE(log.count("FfmpegEncoderSink: http_proxy for HTTP(S) publish"), 1);
    QFile proxyLog(dir.path() + "/tinyproxy.log");
    QVERIFY(proxyLog.open(QIODevice::ReadOnly));
    const QByteArray proxied = proxyLog.readAll();
    QVERIFY2(proxied.contains("feed.ts"), proxied.right(1500).constData());
    const QString problem = checkCapture(dir.path() + "/http.ts", kWidth, kHeight, 30.0, kFrames - 40);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

QUORB_TEST_MAIN(TestNetworkPublishProxy)
#include "tst_networkpublishproxy.moc"
