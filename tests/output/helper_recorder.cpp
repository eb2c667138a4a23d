// Records synthetic frames and a tone into the file given as the first
// argument for the number of seconds given as the second, the way the
// output router drives the sink. Tests kill it midway.

#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: helper_recorder FILE SECONDS\n");
        return 2;
    }
    FfmpegEncoderSink sink;
    testsupport::TonePuller tone;
    if (!sink.configure(QString::fromLocal8Bit(argv[1]), {}, 30.0))
        return 1;
    sink.setEncodingParams(0, 1, FfmpegEncoderSink::kEncoderSoftwareOnly, 0);
    sink.setSegmentation(SegmentOptions{false, 0, 0});
    sink.setAudioPullCallback([&tone](std::int16_t* dst, int frames, std::int64_t) { tone(dst, frames); });
    testsupport::SinkRun run;
    run.frames = int(30 * QByteArray(argv[2]).toInt());
    testsupport::runSinkOnEncodeThread(sink, run);
    return 0;
}
