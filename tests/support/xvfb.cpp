#include "support/xvfb.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

namespace testsupport {

namespace {
constexpr int kFirstDisplay = 100;
constexpr int kDisplaySpan = 400;
constexpr int kStartAttempts = 4;
constexpr int kReadyTimeoutMs = 10000;

bool displayInUse(int n)
{
    return QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n))
        || QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(n));
}
} // namespace

int freeX11Display()
{
    // Start at a random point so parallel test processes rarely race for one.
    const int offset = int(QRandomGenerator::global()->bounded(kDisplaySpan));
    for (int i = 0; i < kDisplaySpan; ++i) {
        const int n = kFirstDisplay + (offset + i) % kDisplaySpan;
        if (!displayInUse(n))
            return n;
    }
    return -1;
}

QString startXvfb(PeerProcess& peer, QString* error, const QString& screen, const QStringList& extraArgs)
{
    QString reason = "no free display number";
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        const int n = freeX11Display();
        if (n < 0)
            break;
        const QString display = QString(":%1").arg(n);
        const QStringList args = QStringList{display, "-screen", "0", screen, "-nolisten", "tcp", "+extension", "Composite"}
            + extraArgs;
        if (!peer.start("Xvfb", args, 0, PeerProcess::Wait::None)) {
            reason = peer.errorString();
            break; // not installed: another number will not help
        }
        const QString socket = QString("/tmp/.X11-unix/X%1").arg(n);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < kReadyTimeoutMs && peer.running() && !QFileInfo::exists(socket))
            QThread::msleep(20);
        if (peer.running() && QFileInfo::exists(socket))
            return display;
        peer.stop();
        reason = "Xvfb did not start on " + display + ": " + QString::fromUtf8(peer.output());
    }
    if (error)
        *error = reason;
    return {};
}

} // namespace testsupport
