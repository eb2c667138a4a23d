// The whole show through the real main window (offscreen), beside the ffmpeg
// CLI doing the same work in the same run: the same inputs, the full overlay
// scene (ten texts with background, shadow and outline, two of them
// scrolling; four image and four video overlays; fifty strokes), one libx264
// encode with the same settings, teed to a file and the same destinations.
//   1080p30 (default): four 1080p30 channels, balanced preset, a recording
//     plus four loopback UDP destinations.
//   4K30 (--4k): one 4K60 channel shown, performance preset, a recording
//     plus two loopback UDP destinations.
// Figures: dropped, repeated and passed-over frames of the output router (in
// all and per 10 s), recorded frames against duration x 30, CPU seconds per
// media second; the CLI's speed and CPU.
// Run pinned as the goal states:
//   taskset -c 0,1 bench_show [--4k] [seconds, default 300, or 60 with --4k]

#include "bench/benchframes.h"
#include "bench/benchscene.h"
#include "bench/benchshow.h"
#include "engine/canvasgeometry.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using namespace bench;

struct ShowVariant {
    const char* name;
    QSize size;
    int channels;
    int channelFps;
    int destinations;
    int bitrateKbps;
    int qualityPreset;
    const char* x264Preset; // what the sink picks for that preset
    int defaultSeconds;
};

const ShowVariant kShow1080{"1080p30", {1920, 1080}, 4, 30, 4, 7500, 1, "veryfast", 300};
const ShowVariant kShow4k{"4K30", {3840, 2160}, 1, 60, 2, 20000, 0, "ultrafast", 60};

QRectF onReferenceCanvas(const QRectF& box)
{
    return QRectF(box.x() * kReferenceCanvasWidth, box.y() * kReferenceCanvasHeight,
                  box.width() * kReferenceCanvasWidth, box.height() * kReferenceCanvasHeight);
}

QRect pixelBox(const QRectF& box, QSize size)
{
    return QRectF(box.x() * size.width(), box.y() * size.height(), box.width() * size.width(),
                  box.height() * size.height())
        .toRect();
}

QString scaledInto(const QRectF& box, QSize size)
{
    const QRect px = pixelBox(box, size);
    return QString("scale=%1:%2:force_original_aspect_ratio=decrease").arg(px.width()).arg(px.height());
}

// Centred in the box, as the compositor fits a picture.
QString centredIn(const QRectF& box, QSize size)
{
    const QRect px = pixelBox(box, size);
    return QString("x=%1+(%2-overlay_w)/2:y=%3+(%4-overlay_h)/2").arg(px.x()).arg(px.width()).arg(px.y()).arg(
        px.height());
}

// A still picture decoded and scaled once, then repeated at the output rate
// (an image input looped by the demuxer would be decoded again every frame).
constexpr const char* kHeldPicture = "format=rgba,loop=loop=-1:size=1,setpts=N/30/TB";

// The CLI's inputs and graph for the same show: the shown channel at the
// output rate, the other channels overlaid on it (they are decoded in the
// window too), then the scene.
QStringList cliArguments(const ShowVariant& v, const QStringList& clips, const QStringList& pictures,
                         const QString& overlayVideo, const QString& doodle, int seconds, const QString& dir,
                         const QList<quint16>& ports)
{
    QStringList args{"-y", "-v", "error", "-nostdin"};
    for (const QString& clip : clips)
        args << "-stream_loop" << "-1" << "-i" << clip;
    for (const QString& picture : pictures)
        args << "-i" << picture;
    args << "-i" << overlayVideo << "-i" << doodle;
    const int n = int(clips.size());
    QStringList chains;
    chains << "[0:v]fps=30[b0]";
    QString last = "b0";
    int step = 0;
    auto overlay = [&](const QString& input, const QString& position) {
        const QString out = QString("b%1").arg(++step);
        chains << QString("[%1][%2]overlay=%3[%4]").arg(last, input, position, out);
        last = out;
    };
    const char* corners[] = {"x=W-w-10:y=10", "x=10:y=H-h-10", "x=W-w-10:y=H-h-10"};
    for (int i = 1; i < n; ++i)
        overlay(QString("%1:v").arg(i), QString(corners[i - 1]) + ":shortest=1");
    for (int i = 0; i < kImages; ++i) {
        chains << QString("[%1:v]%2,%3[im%4]").arg(n + i).arg(scaledInto(imageBox(i), v.size), kHeldPicture).arg(i);
        overlay(QString("im%1").arg(i), centredIn(imageBox(i), v.size));
    }
    chains << QString("[%1:v]split=%2[vs0][vs1][vs2][vs3]").arg(n + kImages).arg(kVideos);
    for (int i = 0; i < kVideos; ++i) {
        chains << QString("[vs%1]%2[vo%1]").arg(i).arg(scaledInto(videoBox(i), v.size));
        overlay(QString("vo%1").arg(i), centredIn(videoBox(i), v.size));
    }
    chains << QString("[%1]%2[t]").arg(last, drawtextChain(v.size));
    chains << QString("[%1:v]%2[d]").arg(n + kImages + 1).arg(kHeldPicture);
    chains << "[t][d]overlay[v]";

    QStringList tee{dir + "/cli.mp4"};
    for (quint16 port : ports)
        tee << QString("[f=mpegts]udp://127.0.0.1:%1").arg(port + 100);
    args << "-filter_complex" << chains.join(';') << "-map" << "[v]" << "-map" << "0:a" << "-t"
         << QString::number(seconds) << "-c:v" << "libx264" << "-preset" << v.x264Preset << "-tune" << "zerolatency"
         << "-b:v" << QString("%1k").arg(v.bitrateKbps) << "-maxrate" << QString("%1k").arg(v.bitrateKbps)
         << "-bufsize" << QString("%1k").arg(v.bitrateKbps) << "-g" << "60" << "-bf" << "0" << "-pix_fmt"
         << "yuv420p" << "-c:a" << "aac" << "-b:a" << "128k" << "-f" << "tee" << "-flags" << "+global_header"
         << tee.join('|');
    return args;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    bench::usePrivateHome(home);
    QApplication app(argc, argv);
    ShowVariant v = kShow1080;
    int seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--4k") == 0)
            v = kShow4k;
        else
            seconds = qMax(5, atoi(argv[i]));
    }
    if (seconds == 0)
        seconds = v.defaultSeconds;
    const QString dir = home.path();

    // Fixtures: channel clips that loop, pictures, one small video that
    // lasts the whole show.
    QStringList clips;
    for (int i = 0; i < v.channels; ++i) {
        const QString clip = QString("%1/ch%2.mp4").arg(dir).arg(i);
        if (!bench::runFfmpeg({"-y", "-v", "error", "-f", "lavfi", "-i",
                               QString("testsrc2=size=%1x%2:rate=%3:duration=20,hue=s=%4")
                                   .arg(v.size.width())
                                   .arg(v.size.height())
                                   .arg(v.channelFps)
                                   .arg(i == 3 ? 0 : 1),
                               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=20", "-c:v",
                               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g",
                               QString::number(v.channelFps), "-c:a", "aac", "-shortest", clip})) {
            std::fprintf(stderr, "fixture failed\n");
            return 1;
        }
        clips << clip;
    }
    const QString smallVideo = dir + "/ov.mp4";
    bench::runFfmpeg({"-y", "-v", "error", "-f", "lavfi", "-i",
                      QString("testsrc=size=320x180:rate=30:duration=%1").arg(seconds + 30), "-c:v", "libx264",
                      "-preset", "ultrafast", "-pix_fmt", "yuv420p", smallVideo});
    QStringList pictures;
    for (int i = 0; i < kImages; ++i) {
        pictures << QString("%1/pic%2.png").arg(dir).arg(i);
        patternImage(v.size / 2, i).save(pictures.last());
    }

    QList<quint16> ports;
    for (int i = 0; i < v.destinations; ++i)
        ports << quint16(29101 + i);
    bench::ShowOutput output;
    output.recordPath = dir + "/show.mp4";
    output.resolution = v.size;
    output.bitrateKbps = v.bitrateKbps;
    output.qualityPreset = v.qualityPreset;
    output.udpPorts = ports;
    bench::seedOutputSettings(output);

    auto* window = new MainWindow;
    MainWindowTestAccess access(*window);
    for (int i = 0; i < v.channels; ++i) {
        access.strips()[i]->setLoopEnabled(true);
        access.strips()[i]->setSource(clips[i]);
    }
    access.switchTo(0);
    for (int i = 0; i < kTexts; ++i)
        access.overlays()->setTextOverlay(sceneText(i));
    for (int i = 0; i < kImages; ++i) {
        ImageOverlayWidget* image = access.editor()->addImageOverlay(pictures[i], QPointF(0, 0));
        access.bindImage(image, pictures[i], onReferenceCanvas(imageBox(i)));
    }
    for (int i = 0; i < kVideos; ++i) {
        VideoOverlayWidget* video = access.editor()->addVideoOverlay(smallVideo, QPointF(0, 0));
        access.bindVideo(video, smallVideo, onReferenceCanvas(videoBox(i)));
    }
    access.overlays()->setDoodleStrokes(makeStrokes());
    const QString doodle = dir + "/doodle.png";
    access.overlays()->renderDoodle(v.size).save(doodle);
    bench::processEventsFor(2000);

    const double cpuBefore = bench::cpuSeconds(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    if (!bench::startShow(access)) {
        std::fprintf(stderr, "output did not start\n");
        return 1;
    }
    const QString recording = access.recording();
    // Where in the run the misses fall, per 10 s.
    QString missesBySpan;
    bench::Misses missed;
    for (int done = 0; done < seconds;) {
        const int span = std::min(10, seconds - done);
        bench::processEventsFor(span * 1000LL);
        const bench::Misses now = bench::misses(access);
        missesBySpan += QString("\n  %1-%2 s: %3").arg(done).arg(done + span).arg((now - missed).text());
        missed = now;
        done += span;
    }
    const double showSeconds = wall.elapsed() / 1000.0;
    bench::stopShow(access, 30000);
    const double cpuShow = bench::cpuSeconds(RUSAGE_SELF) - cpuBefore;
    delete window;

    const qint64 recorded = bench::frameCount(recording);
    const double recordedDuration = bench::durationOf(recording);

    const QStringList args = cliArguments(v, clips, pictures, smallVideo, doodle, seconds, dir, ports);
    const double childBefore = bench::cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer cliWall;
    cliWall.start();
    QByteArray err;
    const bool cliOk = bench::runFfmpeg(args, (seconds * 20 + 120) * 1000, &err);
    const double cliSeconds = cliWall.elapsed() / 1000.0;
    const double cliCpu = bench::cpuSeconds(RUSAGE_CHILDREN) - childBefore;
    if (!cliOk)
        std::fprintf(stderr, "ffmpeg CLI failed: %s\n", err.constData());

    const double showCpuPerSecond = cpuShow / showSeconds;
    const double cliCpuPerSecond = cliCpu / seconds;
    std::printf("%s show through the window: %.1f s, recorded %lld frames of %.0f expected (%.1f s in file), "
                "%s, CPU %.2f s per media second%s\n",
                v.name, showSeconds, static_cast<long long>(recorded), showSeconds * 30, recordedDuration,
                qPrintable(missed.text()), showCpuPerSecond, qPrintable(missesBySpan));
    std::printf("ffmpeg CLI reference:    %d s of media in %.1f s (speed %.2fx), CPU %.2f s per media second\n",
                seconds, cliSeconds, seconds / cliSeconds, cliCpuPerSecond);
    std::printf("ratio window/CLI CPU per media second: %.2f\n", showCpuPerSecond / cliCpuPerSecond);
    return 0;
}
