// The local SOCKS5 relay against real proxies (microsocks, dante) and a
// scripted SOCKS5 server that records the exact bytes and misbehaves on
// purpose.

#include "net/sockstcprelay.h"
#include "support/proxypeers.h"
#include "support/socketpeers.h"
#include "support/testsupport.h"

#include <QFile>
#include <QRandomGenerator>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

using namespace testsupport;

namespace {

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(gen.bounded(256));
    return data;
}

// Sends data through a fresh tunnel and reads back the echo.
QByteArray echoThrough(quint16 relayPort, const QByteArray& data, int timeoutMs = 10000)
{
    const int fd = connectLoopback(relayPort);
    if (fd < 0)
        return "connect failed";
    QByteArray back;
    std::thread writer([&] { sendAllBytes(fd, data); });
    back = receiveBytes(fd, int(data.size()), timeoutMs);
    writer.join();
    closeFd(fd);
    return back;
}

QByteArray request(const QByteArray& name, quint16 port)
{
    return QByteArray("\x05\x01\x00\x03", 4) + char(name.size()) + name + char(port >> 8) + char(port & 0xff);
}

} // namespace

class TestSocksTcpRelay : public QObject {
    Q_OBJECT
private slots:
    void requestBytes_data();
    void requestBytes();
    void replyKinds_data();
    void replyKinds();
    void overlongNameIsRefusedBeforeSending();
    void realProxies_data();
    void realProxies();
    void halfCloseKeepsTheOtherDirection_data();
    void halfCloseKeepsTheOtherDirection();
    void fiftyTunnelsAtOnce();
    void unreachableProxyClosesClientAndKeepsListening();
    void stopWhileConnectingToProxy();
    void stopDuringHandshake();
    void stopWithLiveTunnelResets();
    void stopDuringResolution();
    void listensOnLoopbackOnlyAndRestartsOnNewPort();
    void leavesNoDescriptorOpen();
};

void TestSocksTcpRelay::requestBytes_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("11-byte name, 1935") << "live.host.x" << 1935
                                        << QByteArray("\x05\x01\x00\x03\x0b" "live.host.x" "\x07\x8f", 18);
    QTest::newRow("numeric target sent as a name") << "127.0.0.1" << 80 << request("127.0.0.1", 80);
    QTest::newRow("utf-8 name") << QString::fromUtf8("直播.test") << 65535 << request("直播.test", 65535);
    QTest::newRow("255-byte name") << QString(255, 'a') << 1 << request(QByteArray(255, 'a'), 1);
}

void TestSocksTcpRelay::requestBytes()
{
    QFETCH(QString, target);
    QFETCH(int, port);
    QFETCH(QByteArray, expected);
    ScriptedSocksServer proxy;
    QVERIFY(proxy.listen());
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", proxy.port(), target, quint16(port));
    QVERIFY(local != 0);
    QCOMPARE(echoThrough(local, "ping"), QByteArray("ping"));
    QCOMPARE(proxy.greeting(), QByteArray("\x05\x01\x00", 3));
    QCOMPARE(proxy.request(), expected);
}

void TestSocksTcpRelay::replyKinds_data()
{
    QTest::addColumn<QByteArray>("methodReply");
    QTest::addColumn<QByteArray>("connectReply");
    QTest::addColumn<int>("dribbleMs");
    QTest::addColumn<bool>("accepted");
    const QByteArray ok("\x05\x00", 2);
    QTest::newRow("bound IPv4 (01)") << ok << QByteArray("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10) << 0 << true;
    QTest::newRow("bound name (03)") << ok << QByteArray("\x05\x00\x00\x03\x04host\x00\x50", 11) << 0 << true;
    QTest::newRow("bound IPv6 (04)") << ok << (QByteArray("\x05\x00\x00\x04", 4) + QByteArray(16, '\1') + QByteArray("\x00\x50", 2))
                                     << 0 << true;
    QTest::newRow("reply dribbled byte by byte")
        << ok << QByteArray("\x05\x00\x00\x03\x04host\x00\x50", 11) << 20 << true;
    QTest::newRow("address type 02") << ok << QByteArray("\x05\x00\x00\x02\x7f\x00\x00\x01\x00\x50", 10) << 0 << false;
    QTest::newRow("address type 05") << ok << QByteArray("\x05\x00\x00\x05\x7f\x00\x00\x01\x00\x50", 10) << 0 << false;
    QTest::newRow("connection refused (05)")
        << ok << QByteArray("\x05\x05\x00\x01\x7f\x00\x00\x01\x00\x50", 10) << 0 << false;
    QTest::newRow("method 05 FF") << QByteArray("\x05\xff", 2) << QByteArray() << 0 << false;
    QTest::newRow("method reply of one byte") << QByteArray("\x05", 1) << QByteArray() << 0 << false;
}

void TestSocksTcpRelay::replyKinds()
{
    QFETCH(QByteArray, methodReply);
    QFETCH(QByteArray, connectReply);
    QFETCH(int, dribbleMs);
    QFETCH(bool, accepted);
    ScriptedSocksServer proxy;
    proxy.methodReply = methodReply;
    proxy.connectReply = connectReply;
    proxy.dribbleMs = dribbleMs;
    QVERIFY(proxy.listen());
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", proxy.port(), "media.test", 1935);
    QVERIFY(local != 0);
    if (accepted) {
        QCOMPARE(echoThrough(local, "hello"), QByteArray("hello"));
        return;
    }
    QTest::ignoreMessage(QtWarningMsg, "SocksTcpRelay: SOCKS5 CONNECT failed \"media.test\" 1935");
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    bool closed = false;
    QElapsedTimer timer;
    timer.start();
    const QByteArray got = receiveUntilClosed(fd, 8000, &closed);
    closeFd(fd);
    QVERIFY(closed);
    QVERIFY(got.isEmpty());
    QVERIFY2(timer.elapsed() < 6000, "a short reply fails within the 5 s handshake limit");
    // The relay keeps listening: the next client is served again.
    proxy.stop();
}

void TestSocksTcpRelay::overlongNameIsRefusedBeforeSending()
{
    ScriptedSocksServer proxy;
    QVERIFY(proxy.listen());
    SocksTcpRelay relay;
    const QString name(256, 'n');
    const quint16 local = relay.start("127.0.0.1", proxy.port(), name, 1935);
    QVERIFY(local != 0);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^SocksTcpRelay: SOCKS5 CONNECT failed "));
    const int fd = connectLoopback(local);
    bool closed = false;
    receiveUntilClosed(fd, 3000, &closed);
    closeFd(fd);
    QVERIFY(closed);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.acceptedCount(), 1, 2000);
    relay.stop();
    proxy.stop();
    QVERIFY2(proxy.greeting().isEmpty(), "nothing may reach the proxy");
}

void TestSocksTcpRelay::realProxies_data()
{
    QTest::addColumn<QString>("proxy");
    QTest::newRow("microsocks") << "microsocks";
    QTest::newRow("dante") << "dante";
}

void TestSocksTcpRelay::realProxies()
{
    QFETCH(QString, proxy);
    QTemporaryDir dir;
    PeerProcess peer;
    const quint16 proxyPort = freeTcpPort();
    const bool started = proxy == "dante" ? startDante(peer, dir.path(), proxyPort) : startMicrosocks(peer, proxyPort);
    QVERIFY2(started, qPrintable(peer.errorString()));
    EchoServer echo;
    QVERIFY(echo.listen());
    SocksTcpRelay relay;
    // The proxy is named, not numbered: the relay resolves it.
    const quint16 local = relay.start("localhost", proxyPort, "127.0.0.1", echo.port());
    QVERIFY(local != 0);
    const QByteArray data = randomBytes(4 << 20, 7);
    QVERIFY(echoThrough(local, data, 30000) == data);
}

void TestSocksTcpRelay::halfCloseKeepsTheOtherDirection_data()
{
    // microsocks ends both directions at the first end of one, so it cannot
    // show this; dante passes half-closes on.
    QTest::addColumn<QString>("proxy");
    QTest::newRow("scripted proxy") << "scripted";
    QTest::newRow("dante") << "dante";
}

void TestSocksTcpRelay::halfCloseKeepsTheOtherDirection()
{
    QFETCH(QString, proxy);
    const QByteArray trailer = "-- end of reply --";
    QTemporaryDir dir;
    PeerProcess dante;
    ScriptedSocksServer scripted;
    EchoServer echo;
    echo.trailer = trailer;
    scripted.trailer = trailer;
    QVERIFY(echo.listen());
    quint16 proxyPort = 0;
    if (proxy == "dante") {
        proxyPort = freeTcpPort();
        QVERIFY2(startDante(dante, dir.path(), proxyPort), qPrintable(dante.errorString()));
    } else {
        QVERIFY(scripted.listen());
        proxyPort = scripted.port();
    }
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", proxyPort, "127.0.0.1", echo.port());
    QVERIFY(local != 0);
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    const QByteArray data = randomBytes(300000, 3);
    std::thread writer([&] {
        sendAllBytes(fd, data);
        ::shutdown(fd, SHUT_WR); // the client is done sending, still reading
    });
    bool closed = false;
    const QByteArray back = receiveUntilClosed(fd, 10000, &closed);
    writer.join();
    closeFd(fd);
    QVERIFY(closed);
    QCOMPARE(back.size(), data.size() + trailer.size());
    QVERIFY(back == data + trailer);
}

void TestSocksTcpRelay::fiftyTunnelsAtOnce()
{
    PeerProcess peer;
    const quint16 proxyPort = freeTcpPort();
    QVERIFY2(startMicrosocks(peer, proxyPort), qPrintable(peer.errorString()));
    EchoServer echo;
    QVERIFY(echo.listen());
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", proxyPort, "127.0.0.1", echo.port());
    QVERIFY(local != 0);
    constexpr int kTunnels = 50;
    std::atomic<int> exact{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kTunnels; ++i) {
        clients.emplace_back([&, i] {
            const QByteArray data = randomBytes(200000 + i * 997, quint32(100 + i));
            if (echoThrough(local, data, 40000) == data)
                exact.fetch_add(1);
        });
    }
    for (auto& t : clients)
        t.join();
    QCOMPARE(exact.load(), kTunnels);
}

void TestSocksTcpRelay::unreachableProxyClosesClientAndKeepsListening()
{
    RefusingPort gone;
    const quint16 deadPort = gone.port();
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", deadPort, "media.test", 1935);
    QVERIFY(local != 0);
    for (int round = 0; round < 2; ++round) {
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QString("SocksTcpRelay: cannot reach proxy \"127.0.0.1\" %1").arg(deadPort)));
        const int fd = connectLoopback(local);
        QVERIFY(fd >= 0);
        bool closed = false;
        receiveUntilClosed(fd, 6000, &closed);
        closeFd(fd);
        QVERIFY(closed);
    }
}

void TestSocksTcpRelay::stopWhileConnectingToProxy()
{
    // A listener whose queue is full and that never accepts: the kernel
    // drops further connection attempts, so the relay's connect hangs.
    const int stuck = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    QVERIFY(::bind(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(stuck, 0) == 0
            && ::getsockname(stuck, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    const quint16 stuckPort = ntohs(a.sin_port);
    const int filler = connectLoopback(stuckPort); // the only one that fits
    QVERIFY(filler >= 0);

    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", stuckPort, "media.test", 1935);
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    QTest::qWait(500); // the accept thread now waits for the proxy's answer
    QElapsedTimer timer;
    timer.start();
    relay.stop();
    QVERIFY2(timer.elapsed() < 500, qPrintable(QString("stop took %1 ms").arg(timer.elapsed())));
    bool closed = false;
    receiveUntilClosed(fd, 2000, &closed);
    closeFd(fd);
    QVERIFY(closed);
    closeFd(filler);
    closeFd(stuck);
}

void TestSocksTcpRelay::stopDuringHandshake()
{
    ScriptedSocksServer proxy;
    proxy.methodReply = QByteArray(); // takes the greeting, never answers
    QVERIFY(proxy.listen());
    SocksTcpRelay relay;
    const quint16 local = relay.start("127.0.0.1", proxy.port(), "media.test", 1935);
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.greeting().size(), 3, 3000);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^SocksTcpRelay: SOCKS5 CONNECT failed"));
    QElapsedTimer timer;
    timer.start();
    relay.stop();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString("stop took %1 ms").arg(timer.elapsed())));
    bool closed = false;
    receiveUntilClosed(fd, 2000, &closed);
    closeFd(fd);
    QVERIFY(closed);
}

void TestSocksTcpRelay::stopWithLiveTunnelResets()
{
    PeerProcess peer;
    const quint16 proxyPort = freeTcpPort();
    QVERIFY2(startMicrosocks(peer, proxyPort), qPrintable(peer.errorString()));
    EchoServer echo;
    QVERIFY(echo.listen());
    auto relay = std::make_unique<SocksTcpRelay>();
    const quint16 local = relay->start("127.0.0.1", proxyPort, "127.0.0.1", echo.port());
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    QVERIFY(sendAllBytes(fd, "live"));
    QCOMPARE(receiveBytes(fd, 4, 5000), QByteArray("live"));
    QElapsedTimer timer;
    timer.start();
    relay.reset(); // destroying the relay stops it
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString("stop took %1 ms").arg(timer.elapsed())));
    bool closed = false;
    bool reset = false;
    receiveUntilClosed(fd, 2000, &closed, &reset);
    closeFd(fd);
    QVERIFY(closed);
    QVERIFY2(reset, "the client sees a reset, not an orderly end");
}

void TestSocksTcpRelay::stopDuringResolution()
{
    // The proxy's name is unknown to the hosts file, so the lookup asks the
    // namespace's name server on 127.0.0.1, which never answers.
    QUORB_RUN_IN_PRIVATE_NETWORK();
    QUdpSocket silentNameServer;
    QVERIFY(silentNameServer.bind(QHostAddress::LocalHost, 53));
    SocksTcpRelay relay;
    const quint16 local = relay.start("socks.quorbel.test", 1080, "media.test", 1935);
    QVERIFY(local != 0);
    const int fd = connectLoopback(local);
    QVERIFY(fd >= 0);
    QTest::qWait(300); // the accept thread is now waiting for the resolver
    QElapsedTimer timer;
    timer.start();
    relay.stop();
    QVERIFY2(timer.elapsed() < 300, qPrintable(QString("stop took %1 ms").arg(timer.elapsed())));
    bool closed = false;
    receiveUntilClosed(fd, 2000, &closed);
    closeFd(fd);
    QVERIFY(closed);
}

void TestSocksTcpRelay::listensOnLoopbackOnlyAndRestartsOnNewPort()
{
    SocksTcpRelay relay;
    const quint16 first = relay.start("127.0.0.1", 1, "media.test", 1935);
    QVERIFY(first != 0);
    // /proc/net/tcp lists a listener (state 0A) with its address in hex.
    QFile table("/proc/net/tcp");
    QVERIFY(table.open(QIODevice::ReadOnly));
    const QByteArray entry = " 0100007F:" + QByteArray::number(first, 16).toUpper().rightJustified(4, '0') + " ";
    bool found = false;
    for (const QByteArray& line : table.readAll().split('\n'))
        found = found || (line.contains(entry) && line.simplified().split(' ').value(3) == "0A");
    QVERIFY2(found, "the listener is bound to 127.0.0.1");
    const int other = connectLoopback(first, "127.0.0.2");
    QCOMPARE(other, -1);

    const quint16 second = relay.start("127.0.0.1", 1, "media.test", 1935);
    QVERIFY(second != 0);
    QVERIFY(second != first);
    QVERIFY(!tcpListening(first));
    QCOMPARE(relay.localPort(), second);
    relay.stop();
    relay.stop(); // repeated stop is harmless
    QCOMPARE(relay.localPort(), quint16(0));
    QVERIFY(!tcpListening(second));
}

void TestSocksTcpRelay::leavesNoDescriptorOpen()
{
    PeerProcess peer;
    const quint16 proxyPort = freeTcpPort();
    QVERIFY2(startMicrosocks(peer, proxyPort), qPrintable(peer.errorString()));
    const int before = openDescriptorCount();
    {
        EchoServer echo;
        QVERIFY(echo.listen());
        SocksTcpRelay relay;
        const quint16 local = relay.start("127.0.0.1", proxyPort, "127.0.0.1", echo.port());
        QCOMPARE(echoThrough(local, "one"), QByteArray("one")); // finished tunnel
        const int live = connectLoopback(local);                // tunnel still up at stop
        QVERIFY(sendAllBytes(live, "two"));
        QCOMPARE(receiveBytes(live, 3, 5000), QByteArray("two"));
        QCOMPARE(echoThrough(local, "three"), QByteArray("three")); // reaps the first
        relay.stop();
        closeFd(live);
    } // the echo server closes its side of every tunnel
    QCOMPARE(openDescriptorCount(), before);
}

QUORB_TEST_MAIN(TestSocksTcpRelay)
#include "tst_sockstcprelay.moc"
