// Runs one capture source through a decoder until it reports an error, has
// delivered three pictures or runs out of time, and prints what came out:
// "pictures N" and one "error TEXT" line per report. Tests copy
// it next to a fake capture library, since the program looks for the
// library beside itself.
//
// Usage: helper_capturechannel SOURCE MILLISECONDS

#include "engine/framepool.h"
#include "input/ffmpegvideodecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    FramePool pool(4, 320, 240);
    FFmpegVideoDecoder decoder(&pool);
    std::atomic<int> pictures{0};
    decoder.setFrameCallback([&](FrameTokenPtr) { ++pictures; });
    bool failed = false;
    QObject::connect(&decoder, &FFmpegVideoDecoder::decodeError, [&](const QString& m) {
        std::printf("error %s\n", m.toUtf8().constData());
        failed = true;
    });
    decoder.setPlayback(0, true);
    decoder.setSource(QString::fromLocal8Bit(argv[1]));
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < QByteArray(argv[2]).toInt() && !failed && pictures.load() < 3) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    decoder.stopWorkers();
    QCoreApplication::processEvents();
    std::printf("pictures %d\n", pictures.load());
    return 0;
}
