// GUI-thread time per program frame in the preview (hand-over, conversion to
// the display size and the label's pixmap) for 1080p, 4K and 8K frames on a
// 960x540 preview, beside a memcpy of the same frame in the same run.

#include "engine/framepool.h"
#include "ui/previewwidget.h"

#include <QApplication>
#include <QLabel>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

FrameTokenPtr patterned(FramePool& pool, int w, int h, int seed)
{
    FrameTokenPtr t = pool.acquire();
    t->width = w;
    t->height = h;
    t->bytesPerLine = w * 4;
    t->data.resize(qsizetype(w) * h * 4);
    auto* p = reinterpret_cast<quint32*>(t->data.data());
    for (qsizetype i = 0, n = qsizetype(w) * h; i < n; ++i)
        p[i] = quint32(i * 2654435761u + seed) | 0xff000000u;
    return t;
}

double memcpyUs(const QByteArray& src, int rounds)
{
    std::vector<char> dst(size_t(src.size()));
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        std::memcpy(dst.data(), src.constData(), size_t(src.size()));
        asm volatile("" : : "r"(dst.data()) : "memory");
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / rounds;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    PreviewWidget preview;
    preview.resize(960, 540);
    preview.show();
    app.processEvents();

    struct Size {
        const char* name;
        int w, h, rounds;
    };
    const Size sizes[] = {{"1920x1080", 1920, 1080, 200}, {"3840x2160", 3840, 2160, 80}, {"7680x4320", 7680, 4320, 30}};
    std::printf("%-10s %14s %14s %8s\n", "frame", "preview us", "memcpy us", "ratio");
    for (const Size& s : sizes) {
        FramePool pool(4, s.w, s.h);
        FrameTokenPtr frames[2] = {patterned(pool, s.w, s.h, 1), patterned(pool, s.w, s.h, 2)};
        for (int i = 0; i < 5; ++i) { // warm-up
            preview.setProgramFrame(frames[i % 2]);
            app.processEvents();
        }
        const auto t0 = Clock::now();
        for (int i = 0; i < s.rounds; ++i) {
            preview.setProgramFrame(frames[i % 2]);
            app.processEvents(); // runs the queued conversion
        }
        const double previewUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / s.rounds;
        const double copyUs = memcpyUs(frames[0]->data, s.rounds);
        std::printf("%-10s %14.0f %14.0f %8.2f\n", s.name, previewUs, copyUs, previewUs / copyUs);
    }
    return 0;
}
