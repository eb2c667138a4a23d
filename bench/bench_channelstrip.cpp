// GUI-thread cost of one channel picture in a channel strip (scaled copy,
// letterboxed thumbnail, time label) for 640x360 and 1920x1080 frames into a
// 480x270 thumbnail, beside a memcpy of the same frame, and the share of a
// 60 fps frame interval (16.7 ms) that four strips take.

#include "engine/framepool.h"
#include "ui/uitheme.h"
#include "ui/videoinputpanel.h"

#include <QApplication>
#include <QLabel>
#include <QStackedWidget>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double usSince(Clock::time_point t0, int n)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

FrameTokenPtr gradientFrame(FramePool& pool, int w, int h)
{
    FrameTokenPtr t = pool.acquire();
    t->width = w;
    t->height = h;
    t->bytesPerLine = w * 4;
    t->data.resize(qsizetype(w) * h * 4);
    uchar* p = reinterpret_cast<uchar*>(t->data.data());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uchar* px = p + qsizetype(y) * t->bytesPerLine + x * 4;
            px[0] = uchar(x);
            px[1] = uchar(y);
            px[2] = uchar(x + y);
            px[3] = 255;
        }
    }
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initQuorbelResources();

    VideoInputPanel panel(0);
    auto* frame = panel.findChild<QStackedWidget*>(QStringLiteral("channelVideoFrame"));
    frame->currentWidget()->resize(480, 270);

    constexpr double kFrameIntervalUs = 1e6 / 60.0;
    constexpr int kIterations = 300;
    std::printf("%-10s %14s %14s %8s %22s\n", "frame", "strip us/frame", "memcpy us", "ratio", "4 strips of 16.7 ms");
    for (const auto& [w, h] : {std::pair{640, 360}, std::pair{1920, 1080}}) {
        FramePool pool(2, w, h);
        const FrameTokenPtr token = gradientFrame(pool, w, h);
        for (int i = 0; i < 20; ++i)
            panel.onChannelFrame(token, i);
        auto t0 = Clock::now();
        for (int i = 0; i < kIterations; ++i)
            panel.onChannelFrame(token, i * 16);
        const double stripUs = usSince(t0, kIterations);

        std::vector<char> copy(size_t(token->data.size()));
        t0 = Clock::now();
        for (int i = 0; i < kIterations; ++i) {
            std::memcpy(copy.data(), token->data.constData(), copy.size());
            asm volatile("" : : "r"(copy.data()) : "memory");
        }
        const double memcpyUs = usSince(t0, kIterations);

        std::printf("%4dx%-5d %14.1f %14.1f %8.2f %21.1f%%\n", w, h, stripUs, memcpyUs, stripUs / memcpyUs,
                    100.0 * 4 * stripUs / kFrameIntervalUs);
    }
    return 0;
}
