#include "support/pulseserver.h"

#include "support/testsupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <csignal>

namespace testsupport {

namespace {

QString runtimeDir()
{
    return qEnvironmentVariable("XDG_RUNTIME_DIR");
}

bool alive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

} // namespace

PulseServer::~PulseServer()
{
    stop();
}

qint64 PulseServer::daemonPid() const
{
    QFile f(runtimeDir() + "/pulse/pid");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const qint64 pid = f.readAll().trimmed().toLongLong(&ok);
    return ok ? pid : -1;
}

bool PulseServer::start(int timeoutMs)
{
    if (findProgram("pulseaudio").isEmpty() || findProgram("pactl").isEmpty()) {
        m_error = "pulseaudio or pactl is missing (Debian packages pulseaudio, pulseaudio-utils)";
        return false;
    }
    const QString dir = runtimeDir();
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        m_error = "XDG_RUNTIME_DIR does not name a folder: " + dir;
        return false;
    }
    // Only the server in the test's runtime folder may be found.
    qunsetenv("PULSE_SERVER");

    // A short idle exit: should the test process die, its connections close
    // and the server goes by itself instead of outliving the test.
    QByteArray out;
    const int rc = runProgram("pulseaudio",
                              {"-D", "--exit-idle-time=10", "--system=false", "-n",
                               QString("--load=module-null-sink sink_name=%1 rate=48000").arg(kSink),
                               "--load=module-native-protocol-unix", "--load=module-always-sink"},
                              &out, timeoutMs);
    if (rc != 0) {
        m_error = "pulseaudio did not start: " + QString::fromLocal8Bit(out);
        return false;
    }
    m_started = true;
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (runProgram("pactl", {"info"}, nullptr, 5000) == 0)
            return true;
        QThread::msleep(50);
    }
    m_error = "pulseaudio started but does not answer on " + dir + "/pulse/native";
    stop();
    return false;
}

void PulseServer::stop()
{
    if (!m_started)
        return;
    m_started = false;
    const qint64 pid = daemonPid();
    runProgram("pulseaudio", {"--kill"}, nullptr, 5000);
    const QDeadlineTimer deadline(3000);
    while (alive(pid) && !deadline.hasExpired())
        QThread::msleep(20);
    if (alive(pid))
        ::kill(pid_t(pid), SIGKILL);
}

} // namespace testsupport
