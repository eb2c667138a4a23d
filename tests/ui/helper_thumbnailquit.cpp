// Builds slideshow thumbnails of every file in a folder and ends the
// application while they load. Mode "quit" leaves through the event loop
// (aboutToQuit), mode "return" returns from main without running it, so the
// application object goes away with loads still queued.

#include "ui/imageitem.h"
#include "ui/uitheme.h"

#include <QApplication>
#include <QDir>
#include <QGraphicsScene>
#include <QTimer>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString mode = QString::fromLocal8Bit(argv[2]);
    initQuorbelResources();
    // Deliberately outlives the application object in "return" mode: the
    // items are left for the process to drop, only the pool must be quiet.
    auto* scene = new QGraphicsScene;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QFileInfo& fi : dir.entryInfoList(QDir::Files, QDir::Name))
        scene->addItem(new ImageItem(fi.absoluteFilePath()));
    if (mode == QLatin1String("quit")) {
        QTimer::singleShot(100, &app, &QCoreApplication::quit);
        const int rc = app.exec();
        delete scene;
        return rc;
    }
    return 0;
}
