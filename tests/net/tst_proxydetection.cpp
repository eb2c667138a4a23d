// Detection of the system and local proxies. Every test runs in a private
// network namespace, so the fixed local proxy ports are ours alone.

#include "net/networkproxysettings.h"
#include "support/proxypeers.h"
#include "support/socketpeers.h"
#include "support/testsupport.h"

#include <QSettings>

namespace nps = NetworkProxySettings;
using namespace testsupport;

namespace {

void resetAll()
{
    clearProxyConfiguration();
    nps::tcpProbeCache().clear();
    nps::socksProbeCache().clear();
}

} // namespace

class TestProxyDetection : public QObject {
    Q_OBJECT
private slots:
    void init() { resetAll(); }
    void cleanup() { resetAll(); }

    void scanFindsMicrosocksOn7891();
    void nothingListeningGivesNoProxy();
    void environmentMatrix_data();
    void environmentMatrix();
    void offModeOpensNoConnection();
    void manualSocksFallsBackToAuto();
    void loopbackDefaultProbePorts();
};

void TestProxyDetection::scanFindsMicrosocksOn7891()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    PeerProcess microsocks;
    QVERIFY2(startMicrosocks(microsocks, 7891), qPrintable(microsocks.errorString()));
    // Something that is not SOCKS on an earlier port of the scan is passed over.
    EchoServer notSocks;
    QVERIFY(notSocks.listen(10808));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(nps::scanLocalSocksPorts(), QString("127.0.0.1:7891"));
    QVERIFY2(timer.elapsed() < 1500, "each scanned port is bounded by its short timeouts");
    QCOMPARE(nps::effectiveSocksEndpoint(), QString("127.0.0.1:7891"));
    QCOMPARE(nps::effectiveSocksUrl(), QString("socks5://127.0.0.1:7891"));
    QCOMPARE(nps::effectiveHttpProxyUrl(), QString());
}

void TestProxyDetection::nothingListeningGivesNoProxy()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    QCOMPARE(nps::scanLocalSocksPorts(), QString());
    QCOMPARE(nps::effectiveSocksEndpoint(), QString());
    QCOMPARE(nps::effectiveHttpProxyUrl(), QString());
}

void TestProxyDetection::environmentMatrix_data()
{
    // %S = a live microsocks port, %H = a live tinyproxy port, %D = a port
    // where nothing listens. microsocks on 7891 runs when scan7891 is set.
    QTest::addColumn<QString>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("scan7891");
    QTest::addColumn<QString>("http");
    QTest::addColumn<QString>("socks");
    QTest::newRow("ALL_PROXY socks5") << "ALL_PROXY" << "socks5://127.0.0.1:%S" << false << "" << "127.0.0.1:%S";
    QTest::newRow("all_proxy socks5h") << "all_proxy" << "socks5h://localhost:%S" << false << "" << "localhost:%S";
    QTest::newRow("socks_proxy without scheme") << "socks_proxy" << "127.0.0.1:%S" << false << "" << "127.0.0.1:%S";
    QTest::newRow("socks_proxy dead, scan finds 7891")
        << "socks_proxy" << "127.0.0.1:%D" << true << "" << "127.0.0.1:7891";
    QTest::newRow("https_proxy") << "https_proxy" << "http://127.0.0.1:%H" << false << "http://127.0.0.1:%H" << "";
    QTest::newRow("HTTP_PROXY without scheme")
        << "HTTP_PROXY" << "127.0.0.1:%H" << false << "http://127.0.0.1:%H" << "";
    QTest::newRow("http proxy is no socks proxy, scan finds 7891")
        << "http_proxy" << "http://127.0.0.1:%H" << true << "http://127.0.0.1:%H" << "127.0.0.1:7891";
    QTest::newRow("dead local http proxy") << "https_proxy" << "http://127.0.0.1:%D" << false << "" << "";
    QTest::newRow("nothing set, scan finds 7891") << "" << "" << true << "" << "127.0.0.1:7891";
}

void TestProxyDetection::environmentMatrix()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    QFETCH(QString, variable);
    QFETCH(QString, value);
    QFETCH(bool, scan7891);
    QTemporaryDir dir;
    PeerProcess microsocks;
    const quint16 socksPort = freeTcpPort();
    QVERIFY2(startMicrosocks(microsocks, socksPort), qPrintable(microsocks.errorString()));
    PeerProcess tinyproxy;
    const quint16 httpPort = freeTcpPort();
    QVERIFY2(startTinyproxy(tinyproxy, dir.path(), httpPort), qPrintable(tinyproxy.errorString()));
    PeerProcess scanned;
    if (scan7891)
        QVERIFY2(startMicrosocks(scanned, 7891), qPrintable(scanned.errorString()));
    RefusingPort refusing;
    const quint16 deadPort = refusing.port();
    const auto fill = [&](QString s) {
        return s.replace("%S", QString::number(socksPort))
            .replace("%H", QString::number(httpPort))
            .replace("%D", QString::number(deadPort));
    };
    if (!variable.isEmpty())
        qputenv(variable.toUtf8().constData(), fill(value).toUtf8());
    if (value.contains("%D"))
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("local proxy not running"));
    QTest::failOnWarning(QRegularExpression("NetworkProxySettings")); // Auto warns about nothing
    QFETCH(QString, http);
    QFETCH(QString, socks);
    QCOMPARE(nps::effectiveHttpProxyUrl(), fill(http));
    QCOMPARE(nps::effectiveSocksEndpoint(), fill(socks));
}

void TestProxyDetection::offModeOpensNoConnection()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    std::vector<std::unique_ptr<ScriptedSocksServer>> ports;
    for (const quint16 port : {10808, 7890, 7891, 10809, 1080, 8080}) {
        ports.push_back(std::make_unique<ScriptedSocksServer>());
        QVERIFY(ports.back()->listen(port));
    }
    qputenv("http_proxy", "http://127.0.0.1:8080");
    qputenv("socks_proxy", "127.0.0.1:1080");
    nps::setMode(nps::Off);
    QCOMPARE(nps::effectiveHttpProxyUrl(), QString());
    QCOMPARE(nps::effectiveSocksEndpoint(), QString());
    QCOMPARE(nps::effectiveSocksUrl(), QString());
    nps::applyApplicationProxy();
    QTest::qWait(100);
    for (const auto& server : ports)
        QCOMPARE(server->acceptedCount(), 0);

    // The same setup in Auto mode does reach them.
    nps::setMode(nps::Auto);
    QCOMPARE(nps::effectiveSocksEndpoint(), QString("127.0.0.1:1080"));
    QTRY_VERIFY(ports[4]->acceptedCount() > 0);
}

void TestProxyDetection::manualSocksFallsBackToAuto()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    PeerProcess scanned;
    QVERIFY2(startMicrosocks(scanned, 7891), qPrintable(scanned.errorString()));
    nps::setMode(nps::Manual);
    // Without a scheme a manual value counts as http: the bare host is
    // TCP-probed at 8080, where nothing listens.
    nps::setManualSocksProxyUrl("127.0.0.1");
    QTest::ignoreMessage(QtInfoMsg, "NetworkProxySettings: local proxy not running, use direct \"127.0.0.1\" 8080");
    QTest::ignoreMessage(QtWarningMsg, "NetworkProxySettings: manual SOCKS down, falling back to Auto");
    QCOMPARE(nps::effectiveSocksEndpoint(), QString("127.0.0.1:7891"));

    // A live manual proxy wins over the scan.
    PeerProcess manual;
    const quint16 port = freeTcpPort();
    QVERIFY2(startMicrosocks(manual, port), qPrintable(manual.errorString()));
    nps::setManualSocksProxyUrl(QString("127.0.0.1:%1").arg(port));
    QCOMPARE(nps::effectiveSocksEndpoint(), QString("127.0.0.1:%1").arg(port));
}

void TestProxyDetection::loopbackDefaultProbePorts()
{
    QUORB_RUN_IN_PRIVATE_NETWORK();
    EchoServer http8080;
    QVERIFY(http8080.listen(8080));
    EchoServer socks1080;
    QVERIFY(socks1080.listen(1080));
    QCOMPARE(nps::keepIfLocalProxyAlive("http://127.0.0.1"), QString("http://127.0.0.1"));
    QTRY_COMPARE(http8080.acceptedCount(), 1);
    QCOMPARE(nps::keepIfLocalProxyAlive("socks5://localhost"), QString("socks5://localhost"));
    QTRY_COMPARE(socks1080.acceptedCount(), 1);
}

QUORB_TEST_MAIN(TestProxyDetection)
#include "tst_proxydetection.moc"
