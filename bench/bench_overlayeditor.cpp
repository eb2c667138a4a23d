// GUI-thread cost of the overlay editor showing four playing video
// overlays: each 60 fps tick hands every item a fresh 640x360 frame and
// repaints the editor's view. Printed beside a memcpy of one frame measured
// in the same run.

#include "ui/mediaoverlaywidget.h"
#include "ui/uitheme.h"

#include <QApplication>
#include <QGraphicsView>
#include <QImage>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point t0, long long n)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / double(n);
}

QImage frame(int shade)
{
    QImage image(640, 360, QImage::Format_RGBA8888);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = 0xff000000u | quint32((x + shade) & 0xff) << 16 | quint32((y + shade) & 0xff) << 8 | quint32(shade & 0xff);
    }
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initQuorbelResources();

    MediaOverlayWidget panel;
    panel.resize(660, 420);
    std::vector<VideoOverlayWidget*> items;
    for (int i = 0; i < 4; ++i) {
        VideoOverlayWidget* item = panel.addVideoOverlay(QStringLiteral("/bench/overlay%1.mp4").arg(i),
                                                         QPointF(10 + 150 * i, 10 + 40 * i));
        item->setDurationMs(60'000);
        item->setPlaying(true);
        items.push_back(item);
    }
    panel.show();
    QApplication::processEvents();
    QWidget* viewport = panel.findChild<QGraphicsView*>()->viewport();

    // Decoded frames arrive as fresh RGBA pictures, as the engine's frames are.
    std::vector<QImage> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(frame(i * 31));

    const int warmup = 60;
    const long long ticks = 1200; // 20 s of 60 fps
    auto feed = [&](long long n) {
        const QImage& f = frames[size_t(n) % frames.size()];
        for (VideoOverlayWidget* item : items)
            item->setPreviewFrame(f, n * 1000 / 60);
    };
    // Three measures: the frames alone; the frames with the repaint the
    // event loop makes of the changed areas (docked editor); the frames with
    // the whole view repainted (floating editor, full viewport updates).
    auto measure = [&](auto&& tick) {
        for (int n = 0; n < warmup; ++n)
            tick(n);
        const auto t0 = Clock::now();
        for (long long n = 0; n < ticks; ++n)
            tick(n);
        return nsSince(t0, ticks);
    };
    const double feedNs = measure(feed);
    const double dirtyNs = measure([&](long long n) {
        feed(n);
        QApplication::processEvents();
    });
    const double fullNs = measure([&](long long n) {
        feed(n);
        viewport->repaint();
    });
    // The same frames already in the raster engine's opaque format, for the
    // main window's choice of what it converts decoded frames to.
    for (QImage& f : frames)
        f = f.convertToFormat(QImage::Format_RGB32);
    const double feedRgb32Ns = measure(feed);
    const double dirtyRgb32Ns = measure([&](long long n) {
        feed(n);
        QApplication::processEvents();
    });

    // Reference: copying one 640x360 RGBA frame.
    const size_t bytes = size_t(640) * 360 * 4;
    std::vector<unsigned char> src(bytes, 7), dst(bytes);
    const long long copies = 20000;
    const auto c0 = Clock::now();
    for (long long i = 0; i < copies; ++i) {
        src[size_t(i) % bytes] = static_cast<unsigned char>(i);
        std::memcpy(dst.data(), src.data(), bytes);
    }
    const double memcpyNs = nsSince(c0, copies);
    volatile unsigned char sink = dst[bytes / 2];
    (void)sink;

    std::printf("overlay editor, 4 video items, one 640x360 frame each per 60 fps tick (GUI thread):\n");
    std::printf("  memcpy of one 640x360 RGBA frame (reference): %8.1f us\n", memcpyNs / 1000.0);
    auto row = [&](const char* what, double ns) {
        std::printf("  %-44s %8.1f us  ratio %6.1f  (%.1f %% of 16.67 ms)\n", what, ns / 1000.0, ns / memcpyNs,
                    ns / 166'666.67);
    };
    row("4 x setPreviewFrame", feedNs);
    row("4 x setPreviewFrame + changed-area repaint", dirtyNs);
    row("4 x setPreviewFrame + whole-view repaint", fullNs);
    row("RGB32 frames: 4 x setPreviewFrame", feedRgb32Ns);
    row("RGB32 frames: + changed-area repaint", dirtyRgb32Ns);
    return 0;
}
