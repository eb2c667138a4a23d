#include "app/singleinstance.h"

#include "platform/filelock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>

#include <unistd.h>

namespace singleinstance {

namespace {

// A start that lost the lock race waits this long between probes, and gives
// up when the lock holder has not answered within the limit.
constexpr int kRetryPauseMs = 25;
constexpr int kLockHolderLimitMs = 10000;

bool probe(const QString& name)
{
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeWaitMs))
        return false;
    socket.close();
    return true;
}

} // namespace

QString serverName()
{
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty())
        return QDir(runtimeDir).filePath(QLatin1String(kLockName));
    return QDir(QDir::tempPath()).filePath(QStringLiteral("%1_%2").arg(QLatin1String(kLockName)).arg(::getuid()));
}

Outcome acquire(QLocalServer& server, QString* error)
{
    const QString name = serverName();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (probe(name))
            return Outcome::AnotherInstanceRuns;

        // The lock file is a child of the server: the lock lasts exactly as
        // long as the server, and a crashed holder's lock goes with it.
        auto* lockFile = new QFile(name + QStringLiteral(".lock"), &server);
        const bool opened = lockFile->open(QIODevice::ReadWrite);
        if (opened && !platform::tryLockFileExclusive(lockFile->handle())) {
            // Another start is between its probe and its listen, or holds
            // the lock while listening: ask it again.
            delete lockFile;
            if (waited.elapsed() > kLockHolderLimitMs) {
                if (error)
                    *error = QStringLiteral("another start holds %1 but does not answer").arg(name + ".lock");
                return Outcome::ListenFailed;
            }
            QThread::msleep(kRetryPauseMs);
            continue;
        }
        // Without a usable lock file there is nothing to serialise with;
        // listening below reports why the folder cannot be used.
        if (!opened)
            delete lockFile;

        QLocalServer::removeServer(name);
        if (server.listen(name))
            return Outcome::Listening;
        if (error)
            *error = server.errorString();
        return Outcome::ListenFailed;
    }
}

void onSecondInstanceConnected(QLocalServer& server, QWidget& window)
{
    QLocalSocket* socket = server.nextPendingConnection();
    if (!socket)
        return;
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->deleteLater();
    else
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    window.raise();
    window.activateWindow();
}

} // namespace singleinstance
