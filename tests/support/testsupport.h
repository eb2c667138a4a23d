#pragma once

// Shared helpers for every test: an isolated home, generated media fixtures,
// free ports and peer processes started on 127.0.0.1.

#include <QApplication>
#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>
#include <vector>

namespace testsupport {

// Points HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and
// XDG_RUNTIME_DIR at a fresh temporary folder for the object's life, so that
// settings, logs and sockets never leak between tests or into the real home.
class ScopedTestHome {
public:
    ScopedTestHome();
    ~ScopedTestHome();
    ScopedTestHome(const ScopedTestHome&) = delete;
    ScopedTestHome& operator=(const ScopedTestHome&) = delete;

    QString path() const { return m_dir.path(); }
    QString configHome() const { return m_dir.path() + "/config"; }
    QString dataHome() const { return m_dir.path() + "/data"; }
    QString runtimeDir() const { return m_dir.path() + "/runtime"; }

private:
    QTemporaryDir m_dir;
    std::vector<std::pair<QByteArray, std::optional<QByteArray>>> m_saved;
};

// Writes the stored interface language ("ui_language") into the isolated
// settings store; an invalid value removes it.
void storeUiLanguage(const QVariant& value);

// Folder of generated media fixtures in the build tree.
QString fixtureDir();

// Returns the path of fixture `name`, generating it once per build with
// `ffmpeg -y <args> <path>` (serialised between test processes by a lock
// file). Returns an empty string and fails the current test when ffmpeg fails.
QString ensureFixture(const QString& name, const QStringList& ffmpegArgs);

// Standard clips: testsrc2 picture with a 1 kHz sine, H.264/AAC in MP4.
QString clipWithAudio(int seconds = 5, int width = 640, int height = 360, int fps = 30);
QString clipVideoOnly(int seconds = 5, int width = 640, int height = 360, int fps = 30);
QString toneWav(int seconds = 2, int frequency = 1000);

// A port that was free on 127.0.0.1 a moment ago (asked from the OS).
quint16 freeTcpPort();
quint16 freeUdpPort();

// Whether something listens on 127.0.0.1:port (TCP connect / UDP socket table).
bool tcpListening(quint16 port);
bool udpBound(quint16 port);
// Whether a socket listens on 127.0.0.1:port, read from the kernel's table
// without connecting (a one-shot listener would take a probe connection as
// its only client).
bool tcpListenerPresent(quint16 port);

// Path of a program, or empty.
QString findProgram(const QString& name);

// A peer program (receiver, proxy, server) started for one test and stopped
// when the object goes away.
class PeerProcess {
public:
    enum class Wait { None, TcpListen, UdpBound };

    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program and waits until it listens on the port (or for
    // timeoutMs). On failure returns false with the reason in errorString().
    bool start(const QString& program, const QStringList& args, quint16 port = 0,
               Wait wait = Wait::TcpListen, int timeoutMs = 10000,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    // Terminates the peer (SIGTERM, then SIGKILL after graceMs).
    void stop(int graceMs = 3000);
    // Waits for the peer to exit by itself; false on timeout.
    bool waitFinished(int timeoutMs);

    qint64 pid() const;
    bool running() const;
    QString errorString() const { return m_error; }
    QByteArray output(); // stdout and stderr gathered so far
    QProcess* process() { return m_process.get(); }

private:
    std::unique_ptr<QProcess> m_process;
    QString m_error;
    QByteArray m_output;
};

// Runs a program to completion; returns its exit code, or -1 when it could
// not start or ran past timeoutMs. Output goes to *output when given.
int runProgram(const QString& program, const QStringList& args, QByteArray* output = nullptr,
               int timeoutMs = 60000,
               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// ffprobe -show_streams -show_format as JSON; an empty object on failure.
QJsonObject ffprobe(const QString& pathOrUrl);

// Fixed-port and name-lookup tests run in a private network namespace that
// has only the loopback interface (up), with /etc/resolv.conf naming
// 127.0.0.1 so no lookup leaves the machine, and /etc/hosts naming 127.0.0.1
// also kPrivateWebHost (a name Qt does not take for a loopback address). inPrivateNetwork() is true in
// such a child. runInPrivateNetwork() starts this test executable again for
// one test function inside a fresh namespace (needs root, as in CI) and
// returns its exit code, -1 when it could not run; output gathers its log.
#define kPrivateWebHost "web.quorbel.test"
bool inPrivateNetwork();
int runInPrivateNetwork(const QString& testFunction, QByteArray* output);

} // namespace testsupport

// First line of a test function whose body must run in a private network
// namespace: outside one it runs the function (for the current data row
// only) in a child and checks it.
#define QUORB_RUN_IN_PRIVATE_NETWORK()                                              \
    do {                                                                            \
        if (!testsupport::inPrivateNetwork()) {                                     \
            QByteArray childOutput_;                                                \
            QString function_ = QString::fromLatin1(__func__);                      \
            if (QTest::currentDataTag())                                            \
                function_ += QLatin1Char(':') + QString::fromUtf8(QTest::currentDataTag()); \
            const int rc_ = testsupport::runInPrivateNetwork(function_, &childOutput_); \
            if (rc_ != 0)                                                           \
                QFAIL(qPrintable(QStringLiteral("in a private network namespace (exit %1):\n%2") \
                                     .arg(rc_).arg(QString::fromUtf8(childOutput_)))); \
            return;                                                                 \
        }                                                                           \
    } while (0)

// Main for a test executable: isolated home for the whole run, offscreen
// widgets unless a platform is already chosen.
#define QUORB_TEST_MAIN(TestClass)                                          \
    int main(int argc, char** argv)                                         \
    {                                                                       \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                 \
            qputenv("QT_QPA_PLATFORM", "offscreen");                        \
        testsupport::ScopedTestHome home;                                   \
        QApplication app(argc, argv);                                       \
        app.setAttribute(Qt::AA_Use96Dpi, true);                            \
        TestClass tc;                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                          \
        return QTest::qExec(&tc, argc, argv);                               \
    }
