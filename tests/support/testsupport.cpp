#include "support/testsupport.h"

#include "app/settingsstore.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

// Under ThreadSanitizer (one definition for every test): tests start peer programs with QProcess while
// threads run, and the sanitizer would stop the forked child before it
// reaches exec. The child only execs, so let it.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }

namespace testsupport {

namespace {

const char* const kHomeVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                      "XDG_RUNTIME_DIR"};

} // namespace

ScopedTestHome::ScopedTestHome()
{
    const QString root = m_dir.path();
    const QString folders[] = {root, root + "/config", root + "/data", root + "/cache", root + "/runtime"};
    for (const QString& f : folders)
        QDir().mkpath(f);
    ::chmod(QFile::encodeName(root + "/runtime").constData(), 0700);
    for (int i = 0; i < 5; ++i) {
        const QByteArray name = kHomeVariables[i];
        m_saved.emplace_back(name, qEnvironmentVariableIsSet(name.constData())
                                       ? std::optional<QByteArray>(qgetenv(name.constData()))
                                       : std::nullopt);
        qputenv(name.constData(), QFile::encodeName(folders[i]));
    }
}

ScopedTestHome::~ScopedTestHome()
{
    for (const auto& [name, value] : m_saved) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString fixtureDir()
{
    const QString dir = QStringLiteral(QUORB_TEST_FIXTURE_DIR);
    QDir().mkpath(dir);
    return dir;
}

QString ensureFixture(const QString& name, const QStringList& ffmpegArgs)
{
    const QString path = fixtureDir() + "/" + name;
    QLockFile lock(path + ".lock");
    lock.setStaleLockTime(0);
    if (!lock.tryLock(120000)) {
        QTest::qFail(qPrintable("fixture lock timed out: " + name), __FILE__, __LINE__);
        return {};
    }
    if (QFileInfo(path).size() > 0)
        return path;
    const QString partial = path + ".part" + QFileInfo(path).suffix().prepend('.');
    QStringList args{"-hide_banner", "-loglevel", "error", "-y"};
    args << ffmpegArgs << partial;
    QByteArray out;
    if (runProgram("ffmpeg", args, &out, 120000) != 0 || !QFile::rename(partial, path)) {
        QFile::remove(partial);
        QTest::qFail(qPrintable("ffmpeg could not make fixture " + name + ": " + QString::fromUtf8(out)),
                     __FILE__, __LINE__);
        return {};
    }
    return path;
}

QString clipWithAudio(int seconds, int width, int height, int fps)
{
    const QString name = QString("clip_av_%1s_%2x%3_%4.mp4").arg(seconds).arg(width).arg(height).arg(fps);
    return ensureFixture(name, {"-f", "lavfi", "-i",
                                QString("testsrc2=size=%1x%2:rate=%3:duration=%4").arg(width).arg(height).arg(fps).arg(seconds),
                                "-f", "lavfi", "-i",
                                QString("sine=frequency=1000:sample_rate=48000:duration=%1").arg(seconds),
                                "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g",
                                QString::number(fps), "-c:a", "aac", "-b:a", "128k", "-shortest"});
}

QString clipVideoOnly(int seconds, int width, int height, int fps)
{
    const QString name = QString("clip_v_%1s_%2x%3_%4.mp4").arg(seconds).arg(width).arg(height).arg(fps);
    return ensureFixture(name, {"-f", "lavfi", "-i",
                                QString("testsrc2=size=%1x%2:rate=%3:duration=%4").arg(width).arg(height).arg(fps).arg(seconds),
                                "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g",
                                QString::number(fps)});
}

QString toneWav(int seconds, int frequency)
{
    const QString name = QString("tone_%1hz_%2s.wav").arg(frequency).arg(seconds);
    return ensureFixture(name, {"-f", "lavfi", "-i",
                                QString("sine=frequency=%1:sample_rate=48000:duration=%2").arg(frequency).arg(seconds),
                                "-ac", "2"});
}

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return 0;
    return socket.localPort();
}

bool tcpListening(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(300);
    socket.abort();
    return ok;
}

bool udpBound(quint16 port)
{
    // A bound UDP socket shows in the kernel table with its local port in hex.
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray needle = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + " ";
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() > 2 && (cols[1] + " ").endsWith(needle))
                return true;
        }
    }
    return false;
}

bool tcpListenerPresent(quint16 port)
{
    const QByteArray needle = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray& line : lines) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            // Column 3 is the state; 0A is LISTEN.
            if (cols.size() > 3 && cols[1].endsWith(needle) && cols[3] == "0A")
                return true;
        }
    }
    return false;
}

QString findProgram(const QString& name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/local/sbin"});
    return path;
}

PeerProcess::~PeerProcess() { stop(); }

bool PeerProcess::start(const QString& program, const QStringList& args, quint16 port, Wait wait,
                        int timeoutMs, const QProcessEnvironment& env)
{
    stop();
    const QString path = program.contains('/') ? program : findProgram(program);
    if (path.isEmpty()) {
        m_error = "program not installed: " + program;
        return false;
    }
    m_output.clear();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setProcessEnvironment(env);
    m_process->start(path, args);
    if (!m_process->waitForStarted(5000)) {
        m_error = "could not start " + program + ": " + m_process->errorString();
        return false;
    }
    if (wait == Wait::None || port == 0)
        return true;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (m_process->state() != QProcess::Running) {
            m_error = program + " exited before listening: " + QString::fromUtf8(output());
            return false;
        }
        if (wait == Wait::TcpListen ? tcpListening(port) : udpBound(port))
            return true;
        QThread::msleep(50);
    }
    m_error = program + " did not listen on port " + QString::number(port) + ": " + QString::fromUtf8(output());
    return false;
}

void PeerProcess::stop(int graceMs)
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(graceMs)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    output();
}

bool PeerProcess::waitFinished(int timeoutMs)
{
    if (!m_process)
        return true;
    return m_process->state() == QProcess::NotRunning || m_process->waitForFinished(timeoutMs);
}

qint64 PeerProcess::pid() const { return m_process ? m_process->processId() : 0; }

bool PeerProcess::running() const { return m_process && m_process->state() == QProcess::Running; }

QByteArray PeerProcess::output()
{
    if (m_process)
        m_output += m_process->readAll();
    return m_output;
}

int runProgram(const QString& program, const QStringList& args, QByteArray* output, int timeoutMs,
               const QProcessEnvironment& env)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setProcessEnvironment(env);
    p.start(program.contains('/') ? program : findProgram(program), args);
    if (!p.waitForStarted(5000))
        return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(3000);
        if (output)
            *output = p.readAll();
        return -1;
    }
    if (output)
        *output = p.readAll();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QJsonObject ffprobe(const QString& pathOrUrl)
{
    QByteArray out;
    QProcess p;
    p.start(findProgram("ffprobe"), {"-v", "error", "-show_streams", "-show_format", "-of", "json", pathOrUrl});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

bool inPrivateNetwork() { return qEnvironmentVariable("QUORB_PRIVATE_NETNS") == QLatin1String("1"); }

int runInPrivateNetwork(const QString& testFunction, QByteArray* output)
{
    if (::geteuid() != 0) {
        if (output)
            *output = "private network namespaces need root (CI runs as root)";
        return -1;
    }
    const QString unshare = findProgram("unshare");
    const QString ip = findProgram("ip");
    if (unshare.isEmpty() || ip.isEmpty()) {
        if (output)
            *output = "unshare (util-linux) or ip (iproute2) is not installed";
        return -1;
    }
    QTemporaryDir dir;
    QFile resolv(dir.path() + "/resolv.conf");
    if (!resolv.open(QIODevice::WriteOnly) || resolv.write("nameserver 127.0.0.1\noptions timeout:5 attempts:1\n") < 0)
        return -1;
    resolv.close();
    QFile hosts(dir.path() + "/hosts");
    if (!hosts.open(QIODevice::WriteOnly)
        || hosts.write("127.0.0.1 localhost\n::1 localhost ip6-localhost\n127.0.0.1 " kPrivateWebHost "\n") < 0)
        return -1;
    hosts.close();
    // Mount propagation of unshare -m is private, so the bind mounts stay
    // inside the child's namespace.
    const QString script = QStringLiteral("%1 link set lo up && mount --bind %2 /etc/resolv.conf && "
                                          "mount --bind %3 /etc/hosts && exec \"$0\" \"$@\"")
                               .arg(ip, resolv.fileName(), hosts.fileName());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUORB_PRIVATE_NETNS", "1");
    return runProgram(unshare, {"-n", "-m", "sh", "-c", script, QCoreApplication::applicationFilePath(), testFunction},
                      output, 300000, env);
}

void storeUiLanguage(const QVariant& value)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    if (value.isValid())
        s.setValue("ui_language", value);
    else
        s.remove("ui_language");
    s.sync();
}

} // namespace testsupport
