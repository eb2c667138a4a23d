// Screen capture figures on a private 1920x1080 X server whose picture
// changes at a fixed rate (a painter child process), each beside the ffmpeg
// CLI in the same run:
//  1. monitor capture into 1080p tokens at 30 and 60 changes a second: CPU
//     per second of capture and grab-to-token latency, beside
//     `ffmpeg -f x11grab` at the same rate and size converting to RGBA into
//     a null output;
//  2. one 1280x720 window through the capture library at 60 changes a
//     second.
//
// Usage: bench_screencapture [seconds per figure, default 10]

#include "engine/framepool.h"
#include "input/ffmpegvideodecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

std::int64_t steadyMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double childrenCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The painter: fills the root (or, with a window size, a new window whose id
// it prints) with a new colour rate times a second until killed.
int paint(int rate, int windowW, int windowH)
{
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_drawable_t target = screen->root;
    int w = screen->width_in_pixels;
    int h = screen->height_in_pixels;
    if (windowW > 0) {
        target = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, target, screen->root, 100, 100, windowW, windowH, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_map_window(c, target);
        w = windowW;
        h = windowH;
        std::printf("%u\n", target);
        std::fflush(stdout);
    }
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, target, 0, nullptr);
    const auto period = std::chrono::microseconds(1000000 / rate);
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t n = 0;; ++n) {
        const std::uint32_t colour = (n * 0x10305u) & 0xffffffu;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t all{0, 0, std::uint16_t(w), std::uint16_t(h)};
        xcb_poly_fill_rectangle(c, target, gc, 1, &all);
        xcb_flush(c);
        next += period;
        std::this_thread::sleep_until(next);
    }
}

struct Figures {
    int pictures = 0;
    double cpuPerSecond = 0;
    double meanLatencyMs = 0;
    double p95LatencyMs = 0;
};

Figures captureRun(const QString& source, int seconds)
{
    FramePool pool(8, 1920, 1080);
    FFmpegVideoDecoder decoder(&pool);
    std::mutex mutex;
    std::vector<std::int64_t> latencies;
    decoder.setFrameCallback([&](FrameTokenPtr token) {
        const std::int64_t latency = steadyMicros() - token->ptsUs;
        std::lock_guard lock(mutex);
        latencies.push_back(latency);
    });
    QObject::connect(&decoder, &FFmpegVideoDecoder::decodeError, [](const QString& m) {
        std::fprintf(stderr, "capture error: %s\n", qPrintable(m));
    });
    decoder.setPlayback(0, true);
    decoder.setSource(source);
    QThread::msleep(500); // past the open
    {
        std::lock_guard lock(mutex);
        latencies.clear();
    }
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < seconds * 1000) {
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    const double cpu = processCpuSeconds() - cpu0;
    const double elapsed = wall.elapsed() / 1000.0;
    decoder.stopWorkers();
    Figures f;
    std::lock_guard lock(mutex);
    f.pictures = int(latencies.size());
    f.cpuPerSecond = cpu / elapsed;
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        double sum = 0;
        for (std::int64_t l : latencies)
            sum += double(l);
        f.meanLatencyMs = sum / double(latencies.size()) / 1000.0;
        f.p95LatencyMs = double(latencies[latencies.size() * 95 / 100]) / 1000.0;
    }
    return f;
}

// ffmpeg grabbing the same screen: CPU seconds per second of its run.
double ffmpegRun(const QString& display, int rate, int seconds)
{
    const double cpu0 = childrenCpuSeconds();
    QProcess p;
    p.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-f", "x11grab", "-framerate", QString::number(rate),
                       "-video_size", "1920x1080", "-i", display, "-t", QString::number(seconds), "-vf",
                       "format=rgba", "-f", "null", "-"});
    QElapsedTimer wall;
    wall.start();
    if (!p.waitForFinished(seconds * 1000 + 30000) || p.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg x11grab failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return (childrenCpuSeconds() - cpu0) / (wall.elapsed() / 1000.0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && QByteArray(argv[1]) == "--paint")
        return paint(std::atoi(argv[2]), argc >= 5 ? std::atoi(argv[3]) : 0, argc >= 5 ? std::atoi(argv[4]) : 0);
    QCoreApplication app(argc, argv);
    const int seconds = argc >= 2 ? std::max(2, std::atoi(argv[1])) : 10;

    int number = 90;
    while (QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(number)) ||
           QFileInfo::exists(QString("/tmp/.X%1-lock").arg(number)))
        ++number;
    const QString display = QString(":%1").arg(number);
    QProcess xvfb;
    xvfb.start("Xvfb", {display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "+extension", "Composite"});
    QElapsedTimer wait;
    wait.start();
    while (!QFileInfo::exists(QString("/tmp/.X11-unix/X%1").arg(number)) && wait.elapsed() < 10000)
        QThread::msleep(50);
    QThread::msleep(300);
    qputenv("DISPLAY", display.toUtf8());

    std::printf("screen capture, 1920x1080 into 1920x1080 tokens, %d s each\n", seconds);
    for (int rate : {30, 60}) {
        QProcess painter;
        painter.start(QCoreApplication::applicationFilePath(), {"--paint", QString::number(rate)});
        painter.waitForStarted();
        const Figures ours = captureRun("desktop://capture?monitor=0", seconds);
        const double theirs = ffmpegRun(display, rate, seconds);
        painter.kill();
        painter.waitForFinished();
        std::printf("%d changes/s: ours %.1f pictures/s, CPU %.3f s/s, latency mean %.2f ms p95 %.2f ms; "
                    "ffmpeg x11grab -> rgba CPU %.3f s/s; CPU ratio ours/ffmpeg %.2f\n",
                    rate, ours.pictures / double(seconds), ours.cpuPerSecond, ours.meanLatencyMs, ours.p95LatencyMs,
                    theirs, theirs > 0 ? ours.cpuPerSecond / theirs : 0.0);
    }
    {
        QProcess painter;
        painter.start(QCoreApplication::applicationFilePath(), {"--paint", "60", "1280", "720"});
        painter.waitForReadyRead(10000);
        const QByteArray id = painter.readLine().trimmed();
        QThread::msleep(300);
        const Figures ours = captureRun("wgc://capture?hwnd=" + QString::fromLatin1(id), seconds);
        const double theirs = ffmpegRun(display, 60, seconds);
        painter.kill();
        painter.waitForFinished();
        std::printf("window 1280x720 at 60 changes/s through libwgccapture.so: %.1f pictures/s, CPU %.3f s/s, "
                    "latency mean %.2f ms p95 %.2f ms; beside ffmpeg x11grab 1080p60 CPU %.3f s/s (ratio %.2f)\n",
                    ours.pictures / double(seconds), ours.cpuPerSecond, ours.meanLatencyMs, ours.p95LatencyMs,
                    theirs, theirs > 0 ? ours.cpuPerSecond / theirs : 0.0);
    }
    xvfb.terminate();
    xvfb.waitForFinished();
    return 0;
}
