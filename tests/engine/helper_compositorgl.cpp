// Composes one busy scene twice, on the CPU and with the OpenGL read-back
// path requested, and writes both pictures for the test to compare.
//   helper_compositorgl OUTDIR IMAGE
// Prints "gpu-ready=0|1", "gl-used=0|1" and "gl-used-for-two=0|1" (the
// OpenGL path asked for with only two overlays visible); exit code 0 when
// both frames were composed and written.

#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/vulkancompositor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#include <link.h>
#endif

namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

FrameTokenPtr makeBase(FramePool& pool)
{
    FrameTokenPtr t = pool.acquire();
    if (!t)
        return t;
    t->width = kW;
    t->height = kH;
    t->bytesPerLine = kW * 4;
    t->data.resize(kW * kH * 4);
    QImage image(reinterpret_cast<uchar*>(t->data.data()), kW, kH, kW * 4, QImage::Format_RGBA8888);
    QLinearGradient gradient(0, 0, kW, kH);
    gradient.setColorAt(0, QColor(20, 40, 90));
    gradient.setColorAt(1, QColor(200, 120, 30));
    QPainter(&image).fillRect(image.rect(), gradient);
    t->ptsUs = 5'000'000;
    return t;
}

// Both frames are composed at the same scroll time.
qint64 g_nowNs = 0;

void buildScene(OverlayManager& om, const QString& imagePath)
{
    om.setCanvasSize(QSize(kW, kH));
    om.setMonotonicClock([] { return g_nowNs; });

    MediaOverlayData image;
    image.id = 1;
    image.kind = MediaOverlayData::kImage;
    image.path = imagePath;
    image.rect = QRectF(0.05, 0.55, 0.3, 0.4);
    om.setMediaOverlay(image);

    for (int i = 0; i < 2; ++i) {
        MediaOverlayData video;
        video.id = 10 + i;
        video.kind = MediaOverlayData::kVideo;
        video.path = "video.mp4";
        video.rect = QRectF(0.6, 0.1 + 0.45 * i, 0.35, 0.35);
        video.opacity = i == 0 ? 1.0 : 0.6;
        om.setMediaOverlay(video);
        QImage frame(448, 252, QImage::Format_RGBA8888);
        frame.fill(i == 0 ? QColor(30, 200, 60) : QColor(220, 30, 160));
        QPainter(&frame).fillRect(QRect(100, 60, 200, 100), Qt::white);
        om.setVideoOverlayFrame(video.id, frame);
    }

    TextOverlayData title;
    title.id = 20;
    title.text = "Live from the studio";
    title.posX = 0.05;
    title.posY = 0.05;
    title.backgroundEnabled = true;
    title.backgroundColor = QColor(0, 0, 0);
    title.shadow = true;
    title.outline = true;
    title.outlineColor = Qt::yellow;
    om.setTextOverlay(title);

    TextOverlayData ticker = title;
    ticker.id = 21;
    ticker.text = "Breaking: scrolling ticker text";
    ticker.posY = 0.3;
    ticker.scrollable = true;
    ticker.scrollDirection = TextOverlayData::kScrollRightToLeft;
    ticker.backgroundColor = QColor(0, 0, 120);
    ticker.outline = false;
    om.setTextOverlay(ticker);

    om.setDoodleStrokes({
        DoodleStroke{DoodleStroke::kLine, {{0.1, 0.45}, {0.5, 0.5}}, 6.0 / 360, Qt::red},
        DoodleStroke{DoodleStroke::kEllipse, {{0.4, 0.6}, {0.55, 0.9}}, 3.0 / 360, Qt::cyan},
        DoodleStroke{DoodleStroke::kFreehand, {{0.7, 0.5}, {0.75, 0.55}, {0.8, 0.5}}, 4.0 / 360, Qt::white},
    });
}

bool writeFrame(const FrameTokenPtr& t, const QString& path)
{
    if (!isValidFrameToken(t))
        return false;
    const QImage view(reinterpret_cast<const uchar*>(t->data.constData()), t->width, t->height, t->bytesPerLine,
                      QImage::Format_RGBA8888);
    return view.save(path, "PNG");
}

} // namespace

namespace {

int run(const QString& outDir, const QString& imagePath)
{
    FramePool pool(8, kW, kH);
    VulkanCompositor compositor(&pool);
    OverlayManager om;
    buildScene(om, imagePath);
    QElapsedTimer wait;
    wait.start();
    while (om.imageOverlayImage(1).isNull() && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (om.imageOverlayImage(1).isNull()) {
        std::fprintf(stderr, "image overlay did not load\n");
        return 3;
    }

    g_nowNs = 1'500'000'000;
    qunsetenv(VulkanCompositor::kGlEnvironmentVariable);
    const FrameTokenPtr cpu = compositor.compose(makeBase(pool), &om);
    qputenv(VulkanCompositor::kGlEnvironmentVariable, "1");
    const FrameTokenPtr gl = compositor.compose(makeBase(pool), &om);
    const bool glUsed = compositor.lastFrameUsedGpu();

    // Two visible overlays are not worth a read-back: the CPU path runs.
    om.clearTextOverlays();
    om.setDoodleStrokes({});
    om.removeMediaOverlay(1);
    const FrameTokenPtr two = compositor.compose(makeBase(pool), &om);
    const bool glUsedForTwo = two && compositor.lastFrameUsedGpu();

    std::printf("gpu-ready=%d\ngl-used=%d\ngl-used-for-two=%d\n", compositor.gpuReady() ? 1 : 0, glUsed ? 1 : 0,
                glUsedForTwo ? 1 : 0);
    std::fflush(stdout);
    if (!cpu || !gl || cpu->ptsUs != 5'000'000 || gl->ptsUs != 5'000'000) {
        std::fprintf(stderr, "a frame was not composed\n");
        return 4;
    }
    if (!writeFrame(cpu, outDir + "/cpu.png") || !writeFrame(gl, outDir + "/gl.png")) {
        std::fprintf(stderr, "could not write the pictures\n");
        return 5;
    }
    return 0;
}

#if defined(__SANITIZE_ADDRESS__)
// Mesa's DRI driver keeps some state of its own until it is unloaded, which
// happens when the display closes, before LeakSanitizer looks: the state then
// shows as a leak of an unnamed module that no suppression can match. A
// driver that stays mapped keeps that state reachable.
void keepGlDriverMapped()
{
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void*) {
            if (std::strstr(info->dlpi_name, "_dri.so"))
                dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
            return 0;
        },
        nullptr);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: helper_compositorgl OUTDIR IMAGE\n");
        return 2;
    }
    const int rc = run(args.at(1), args.at(2));
#if defined(__SANITIZE_ADDRESS__)
    keepGlDriverMapped();
#endif
#if defined(__SANITIZE_THREAD__)
    // TSan aborts when the OpenGL driver it was told to ignore is unloaded
    // at application teardown; everything of ours is destroyed by now.
    std::fflush(nullptr);
    std::_Exit(rc);
#endif
    return rc;
}
