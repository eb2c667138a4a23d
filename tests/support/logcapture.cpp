#include "support/logcapture.h"

#include <QMutex>

namespace testsupport {

namespace {

QMutex captureMutex;
QStringList* capturedMessages = nullptr; // guarded by captureMutex
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler previous = nullptr;
    {
        QMutexLocker lock(&captureMutex);
        if (capturedMessages)
            capturedMessages->append(message);
        previous = previousHandler;
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&captureMutex);
    capturedMessages = new QStringList;
    previousHandler = qInstallMessageHandler(captureHandler);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&captureMutex);
    qInstallMessageHandler(previousHandler);
    delete capturedMessages;
    capturedMessages = nullptr;
}

QStringList LogCapture::messages() const
{
    QMutexLocker lock(&captureMutex);
    return capturedMessages ? *capturedMessages : QStringList();
}

int LogCapture::count(const QString& text) const
{
    int n = 0;
    for (const QString& m : messages())
        n += m.contains(text) ? 1 : 0;
    return n;
}

} // namespace testsupport
