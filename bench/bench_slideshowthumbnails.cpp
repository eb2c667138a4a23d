// Peak resident memory while slideshow thumbnails of 100 generated 6000x4000
// JPEGs load, beside one such picture decoded at full size, and their ratio.

#include "ui/imageitem.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsScene>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <cstdio>

namespace {

// Kilobytes from /proc/self/status ("VmHWM" peak, "VmRSS" current).
long statusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Starts a fresh peak measurement at the current resident size.
void resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString first = dir.filePath("photo000.jpg");
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc2=size=6000x4000", "-frames:v", "1", "-q:v", "3", first});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg could not make the picture\n");
        return 1;
    }
    QStringList paths{first};
    for (int i = 1; i < 100; ++i) {
        const QString p = dir.filePath(QString("photo%1.jpg").arg(i, 3, 10, QLatin1Char('0')));
        if (::link(QFile::encodeName(first).constData(), QFile::encodeName(p).constData()) != 0)
            QFile::copy(first, p);
        paths << p;
    }

    QGraphicsScene scene;
    app.processEvents();
    const long baseKb = statusKb("VmRSS:");
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    QList<ImageItem*> items;
    for (const QString& p : paths) {
        auto* item = new ImageItem(p);
        scene.addItem(item);
        items << item;
    }
    auto loaded = [&] {
        for (const ImageItem* item : items) {
            if (item->pixmap().height() == ImageItem::kPlaceholderSide)
                return false;
        }
        return true;
    };
    while (!loaded() && timer.elapsed() < 300000) {
        app.processEvents(QEventLoop::AllEvents, 20);
        usleep(2000);
    }
    const long thumbPeakKb = statusKb("VmHWM:") - baseKb;
    const double seconds = timer.elapsed() / 1000.0;
    const bool complete = loaded();
    qDeleteAll(items);
    items.clear();
    app.processEvents();

    const long beforeFullKb = statusKb("VmRSS:");
    resetPeak();
    QImage full(first);
    const long fullPeakKb = statusKb("VmHWM:") - beforeFullKb;
    if (full.isNull()) {
        std::fprintf(stderr, "the picture did not decode\n");
        return 1;
    }

    std::printf("100 thumbnails of 6000x4000 JPEGs: peak +%ld KiB in %.1f s%s\n", thumbPeakKb, seconds,
                complete ? "" : " (incomplete)");
    std::printf("one 6000x4000 JPEG at full size:   peak +%ld KiB\n", fullPeakKb);
    std::printf("ratio thumbnails / one full picture: %.2f\n", double(thumbPeakKb) / double(fullPeakKb));
    return complete ? 0 : 1;
}
