#include "app/logging.h"
#include "app/singleinstance.h"
#include "engine/frametoken.h"
#include "ui/mainwindow.h"
#include "ui/uitheme.h"

#include <QApplication>
#include <QDebug>
#include <QIcon>
#include <QImage>
#include <QLocalServer>
#include <QPixmap>

namespace {
constexpr qint64 kLogPurgeLimitBytes = 10485760;
}

int main(int argc, char** argv)
{
    registerFrameTokenMetaType();
    qRegisterMetaType<QImage>("QImage");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QUOrbel"));
    initQuorbelResources();
    const QPixmap logo(QStringLiteral(":/resources/images/logo.png"));
    if (!logo.isNull())
        QGuiApplication::setWindowIcon(QIcon(logo));

    purgeOversizedLogs(kLogPurgeLimitBytes);
    initLogging();

    QLocalServer server;
    QString error;
    switch (singleinstance::acquire(server, &error)) {
    case singleinstance::Outcome::AnotherInstanceRuns:
        return 0;
    case singleinstance::Outcome::ListenFailed:
        qCritical() << "Single-instance lock listen failed:" << error;
        return 1;
    case singleinstance::Outcome::Listening:
        break;
    }

    MainWindow window;
    QObject::connect(&server, &QLocalServer::newConnection, &window,
                     [&server, &window] { singleinstance::onSecondInstanceConnected(server, window); });
    window.show();
    installFfmpegLogCallback();
    return app.exec();
}
