// Cost of composing a full overlay scene (10 texts with background, shadow
// and outline, 2 of them scrolling; 4 images; 4 videos; 50 strokes) onto a
// program frame, on the CPU path and the OpenGL read-back path, beside
//   (a) a memcpy of the same frame, and
//   (b) the same scene as an ffmpeg filter graph (overlay + drawtext with
//       border, shadow and box, the strokes as one PNG) over a base of the
//       same size, timed per frame by the difference of a long and a short run.
// Also the cost of a pass-through (nothing visible).
//
// The OpenGL path needs a display: run under
//   xvfb-run -a -s "-screen 0 1920x1080x24" env QT_QPA_PLATFORM=xcb build/bench/bench_compositor
// Without one it is reported as unavailable. Optional argument: largest
// height to run (1080, 2160 or 4320; default 4320).

#include "bench/benchscene.h"
#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/vulkancompositor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

using namespace bench;

struct Scene {
    QStringList imagePaths;
    QStringList videoPaths; // one frame each, at the box size, for ffmpeg
    QString doodlePath;
};

void buildModel(OverlayManager& om, QSize size, const Scene& scene)
{
    om.setCanvasSize(size);
    for (int i = 0; i < kImages; ++i) {
        MediaOverlayData m;
        m.id = i;
        m.kind = MediaOverlayData::kImage;
        m.path = scene.imagePaths.at(i);
        m.rect = imageBox(i);
        m.zIndex = i;
        om.setMediaOverlay(m);
    }
    for (int i = 0; i < kVideos; ++i) {
        MediaOverlayData m;
        m.id = 100 + i;
        m.kind = MediaOverlayData::kVideo;
        m.path = "video.mp4";
        m.rect = videoBox(i);
        om.setMediaOverlay(m);
        om.setVideoOverlayFrame(m.id, QImage(scene.videoPaths.at(i)).convertToFormat(QImage::Format_RGBA8888));
    }
    for (int i = 0; i < kTexts; ++i)
        om.setTextOverlay(sceneText(i));
    om.setDoodleStrokes(makeStrokes());
    QElapsedTimer wait;
    wait.start();
    auto loaded = [&om] {
        for (int i = 0; i < kImages; ++i)
            if (om.imageOverlayImage(i).isNull())
                return false;
        return true;
    };
    while (!loaded() && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

FrameTokenPtr makeBase(FramePool& pool, QSize size)
{
    FrameTokenPtr t = pool.acquire();
    t->width = size.width();
    t->height = size.height();
    t->bytesPerLine = size.width() * 4;
    t->data.resize(qsizetype(t->bytesPerLine) * size.height());
    QImage view(reinterpret_cast<uchar*>(t->data.data()), size.width(), size.height(), t->bytesPerLine,
                QImage::Format_RGBA8888);
    view.fill(QColor(0x33, 0x66, 0x99));
    return t;
}

double composeMs(VulkanCompositor& compositor, OverlayManager& om, const FrameTokenPtr& base, int frames,
                 bool* usedGpu = nullptr)
{
    for (int i = 0; i < 3; ++i) // warm caches, glyphs, textures
        compositor.compose(base, &om);
    const auto t0 = Clock::now();
    bool gpu = true;
    for (int i = 0; i < frames; ++i) {
        FrameTokenPtr out = compositor.compose(base, &om);
        gpu = gpu && compositor.lastFrameUsedGpu();
    }
    if (usedGpu)
        *usedGpu = gpu;
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / frames;
}

double memcpyMs(QSize size, int frames)
{
    const size_t bytes = size_t(size.width()) * size.height() * 4;
    std::vector<char> a(bytes, 1), b(bytes, 2);
    std::memcpy(b.data(), a.data(), bytes);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
        a[size_t(i) % bytes] = char(i);
        std::memcpy(b.data(), a.data(), bytes);
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / frames;
    volatile char sink = b[bytes / 2]; // keeps the copies from being optimised away
    (void)sink;
    return ms;
}

QString ffmpegGraph(QSize size, const Scene& scene, int* inputs)
{
    const int W = size.width(), H = size.height();
    QStringList chains;
    chains << QString("color=c=0x336699:s=%1x%2:r=30,format=rgba[b0]").arg(W).arg(H);
    int n = 0;
    QString last = "b0";
    auto overlayPicture = [&](const QString& path, QRectF box) {
        const QRect px = QRectF(box.x() * W, box.y() * H, box.width() * W, box.height() * H).toRect();
        const QString in = QString("i%1").arg(n), out = QString("b%1").arg(n + 1);
        chains << QString("movie='%1',scale=%2:%3:force_original_aspect_ratio=decrease,format=rgba,"
                          "loop=loop=-1:size=1,setpts=N/30/TB[%4]")
                      .arg(path).arg(px.width()).arg(px.height()).arg(in);
        chains << QString("[%1][%2]overlay=x=%3+(%4-overlay_w)/2:y=%5+(%6-overlay_h)/2:format=rgb[%7]")
                      .arg(last, in).arg(px.x()).arg(px.width()).arg(px.y()).arg(px.height()).arg(out);
        last = out;
        ++n;
    };
    for (int i = 0; i < kImages; ++i)
        overlayPicture(scene.imagePaths.at(i), imageBox(i));
    for (int i = 0; i < kVideos; ++i)
        overlayPicture(scene.videoPaths.at(i), videoBox(i));
    chains << QString("[%1]%2[t]").arg(last, drawtextChain(size));
    chains << QString("movie='%1',format=rgba,loop=loop=-1:size=1,setpts=N/30/TB[d]").arg(scene.doodlePath);
    chains << QString("[t][d]overlay=format=rgb[out]");
    *inputs = n;
    return chains.join(';');
}

// Wall time of ffmpeg running the graph for `frames` frames, in ms; -1 on failure.
double ffmpegRunMs(const QString& graph, int frames, bool singleThread)
{
    QStringList args{"-hide_banner", "-loglevel", "error", "-nostdin"};
    if (singleThread)
        args << "-filter_complex_threads" << "1" << "-filter_threads" << "1";
    args << "-filter_complex" << graph << "-map" << "[out]" << "-frames:v" << QString::number(frames) << "-f"
         << "null" << "-";
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    p.start("ffmpeg", args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", p.readAll().constData());
        return -1;
    }
    return double(t.nsecsElapsed()) / 1e6;
}

double ffmpegPerFrameMs(const QString& graph, int frames, bool singleThread)
{
    const int shortRun = 5;
    const double a = ffmpegRunMs(graph, shortRun, singleThread);
    const double b = ffmpegRunMs(graph, shortRun + frames, singleThread);
    if (a < 0 || b < 0)
        return -1;
    return (b - a) / frames;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const int maxHeight = argc > 1 ? QString(argv[1]).toInt() : 4320;
    QTemporaryDir dir;
    std::printf("font for Arial: %s\n", qPrintable(QFontInfo(QFont("Arial")).family()));

    const QList<QSize> sizes{{1920, 1080}, {3840, 2160}, {7680, 4320}};
    for (const QSize size : sizes) {
        if (size.height() > maxHeight)
            break;
        const bool big = size.height() > 2160;
        const int frames = size.height() <= 1080 ? 120 : big ? 12 : 40;

        // Pictures at the size this canvas loads them; the same files feed ffmpeg.
        Scene scene;
        for (int i = 0; i < kImages; ++i) {
            const QString path = dir.filePath(QString("image%1_%2.png").arg(i).arg(size.height()));
            patternImage(QSize(size.width() / 2, size.height() / 2), i).save(path);
            scene.imagePaths << path;
        }
        for (int i = 0; i < kVideos; ++i) {
            const QRectF b = videoBox(i);
            const QString path = dir.filePath(QString("video%1_%2.png").arg(i).arg(size.height()));
            patternImage(QSize(qRound(b.width() * size.width()), qRound(b.height() * size.height())), 10 + i)
                .save(path);
            scene.videoPaths << path;
        }

        FramePool pool(18, size.width(), size.height());
        pool.setFrameSize(size.width(), size.height());
        VulkanCompositor compositor(&pool);
        OverlayManager om;
        buildModel(om, size, scene);
        scene.doodlePath = dir.filePath(QString("doodle_%1.png").arg(size.height()));
        om.renderDoodle(size).save(scene.doodlePath);

        const FrameTokenPtr base = makeBase(pool, size);
        OverlayManager empty;
        const auto p0 = Clock::now();
        const int passes = 100000;
        for (int i = 0; i < passes; ++i)
            compositor.compose(base, &empty);
        const double passNs = std::chrono::duration<double, std::nano>(Clock::now() - p0).count() / passes;

        qunsetenv(VulkanCompositor::kGlEnvironmentVariable);
        const double cpuMs = composeMs(compositor, om, base, frames);
        double glMs = -1;
        bool glUsed = false;
        if (compositor.gpuReady()) {
            qputenv(VulkanCompositor::kGlEnvironmentVariable, "1");
            glMs = composeMs(compositor, om, base, frames, &glUsed);
            qunsetenv(VulkanCompositor::kGlEnvironmentVariable);
        }
        const double copyMs = memcpyMs(size, frames * 4);
        int inputs = 0;
        const QString graph = ffmpegGraph(size, scene, &inputs);
        const double ffOneMs = ffmpegPerFrameMs(graph, frames, true);
        const double ffMs = ffmpegPerFrameMs(graph, frames, false);

        std::printf("\n%dx%d, %d frames\n", size.width(), size.height(), frames);
        std::printf("  memcpy of one frame          %8.3f ms\n", copyMs);
        std::printf("  ffmpeg graph, 1 thread       %8.3f ms/frame\n", ffOneMs);
        std::printf("  ffmpeg graph, default threads%8.3f ms/frame\n", ffMs);
        std::printf("  compose, CPU path            %8.3f ms/frame  = %5.2fx memcpy, %5.2fx ffmpeg(1 thread), "
                    "%5.2fx ffmpeg(default)\n",
                    cpuMs, cpuMs / copyMs, cpuMs / ffOneMs, cpuMs / ffMs);
        if (glMs >= 0 && glUsed)
            std::printf("  compose, OpenGL read-back    %8.3f ms/frame  = %5.2fx memcpy, %5.2fx ffmpeg(1 thread), "
                        "%5.2fx ffmpeg(default)\n",
                        glMs, glMs / copyMs, glMs / ffOneMs, glMs / ffMs);
        else
            std::printf("  compose, OpenGL read-back    unavailable (no display or context)\n");
        std::printf("  pass-through (nothing shown) %8.1f ns/frame  = %7.5fx memcpy\n", passNs,
                    passNs / 1e6 / copyMs);
    }
    return 0;
}
