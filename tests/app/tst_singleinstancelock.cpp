// The single-instance lock in process: where its socket lives and what
// racing starts get.

#include "app/singleinstance.h"
#include "support/testsupport.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <atomic>
#include <barrier>
#include <latch>
#include <memory>
#include <vector>

#include <unistd.h>

class TestSingleInstanceLock : public QObject {
    Q_OBJECT
private slots:
    void socketLivesPerUser();
    void racingStartsLeaveOneListener();
    void staleSocketIsReplaced();
    void closedConnectionStillRaises();
};

void TestSingleInstanceLock::socketLivesPerUser()
{
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", "/run/user/4242");
    QCOMPARE(singleinstance::serverName(), QString("/run/user/4242/quorbel_single_instance"));
    qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(singleinstance::serverName(),
             QDir(QDir::tempPath()).filePath(QString("quorbel_single_instance_%1").arg(::getuid())));
    qputenv("XDG_RUNTIME_DIR", saved);
}

void TestSingleInstanceLock::racingStartsLeaveOneListener()
{
    // Starts released at the same instant all miss the probe; only the lock
    // keeps a later one from unlinking the first one's socket.
    constexpr int kStarts = 8;
    for (int round = 0; round < 5; ++round) {
        std::vector<singleinstance::Outcome> outcomes(kStarts);
        std::barrier gate(kStarts);
        std::latch decided(kStarts);
        std::latch checked(1);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int i = 0; i < kStarts; ++i) {
            // Each start's server lives and dies on its own thread, kept
            // alive until the main thread has probed the winner.
            threads.emplace_back(QThread::create([&, i] {
                QLocalServer server;
                gate.arrive_and_wait();
                QString error;
                outcomes[i] = singleinstance::acquire(server, &error);
                decided.count_down();
                checked.wait();
            }));
            threads.back()->start();
        }
        decided.wait();
        int listening = 0;
        for (int i = 0; i < kStarts; ++i) {
            if (outcomes[i] == singleinstance::Outcome::Listening)
                ++listening;
        }
        bool reached = false;
        {
            QLocalSocket probe;
            probe.connectToServer(singleinstance::serverName());
            reached = probe.waitForConnected(1000);
        }
        checked.count_down();
        for (auto& t : threads)
            t->wait();
        for (int i = 0; i < kStarts; ++i)
            QVERIFY(outcomes[i] != singleinstance::Outcome::ListenFailed);
        QCOMPARE(listening, 1);
        QVERIFY(reached);
    }
}

void TestSingleInstanceLock::staleSocketIsReplaced()
{
    // A file in the socket's place that nobody listens on, as a killed
    // holder leaves it.
    QFile stale(singleinstance::serverName());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();

    QLocalServer server;
    QString error;
    QCOMPARE(singleinstance::acquire(server, &error), singleinstance::Outcome::Listening);
    QVERIFY(server.isListening());

    QLocalServer second;
    QCOMPARE(singleinstance::acquire(second, &error), singleinstance::Outcome::AnotherInstanceRuns);
    QVERIFY(!second.isListening());
}

void TestSingleInstanceLock::closedConnectionStillRaises()
{
    QLocalServer server;
    QString error;
    QCOMPARE(singleinstance::acquire(server, &error), singleinstance::Outcome::Listening);
    QWidget window;
    window.show();
    {
        QLocalSocket knock;
        knock.connectToServer(singleinstance::serverName());
        QVERIFY(knock.waitForConnected(1000));
        knock.close();
    }
    QVERIFY(server.waitForNewConnection(1000));
    singleinstance::onSecondInstanceConnected(server, window);
    // The handed-over socket goes away by itself once the other side is gone.
    QTRY_COMPARE(server.findChildren<QLocalSocket*>().size(), 0);
    QVERIFY(!server.hasPendingConnections());
}

QUORB_TEST_MAIN(TestSingleInstanceLock)
#include "tst_singleinstancelock.moc"
