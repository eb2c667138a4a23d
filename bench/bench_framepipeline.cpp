// The frame pipeline under four channels delivering at 60 fps while output
// runs into a sink that only counts:
//  1. GUI-thread time per program frame (compose with a text overlay and
//     submit) and hand-off latency from a decoder thread to the composed
//     program frame, beside a memcpy of one frame;
//  2. resident memory with the channel pool at 1080p, 4K and 8K: peak, and
//     growth between the first and the last quarter of the run, beside the
//     pool's own cap of live frames.
// Usage: bench_framepipeline [seconds per size, default 5; 600 for the long run]

#include "bench/benchmemory.h"
#include "engine/framepipeline.h"
#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/textoverlaydata.h"
#include "output/routersink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QGuiApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

struct FramePipelineTestAccess {
    static FramePool& channelPool(FramePipeline& p) { return *p.channelPool; }
};

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

class CountingSink : public RouterSink {
public:
    std::atomic<long long> frames{0};
    bool configure(const QString&, const std::vector<StreamTarget>&, double) override { return true; }
    void setOutputSize(int, int) override {}
    void setEncoderOptions(const EncoderOptions&) override {}
    void setSegmentation(const SegmentOptions&) override {}
    bool probeEncoder(int, int) override { return true; }
    void setAudioPullCallback(AudioPull) override {}
    void setFatalErrorCallback(std::function<void()>) override {}
    void setStatusCallback(StatusCallback) override {}
    void encodeFrame(FrameTokenPtr&, const std::int16_t*, int, std::int64_t) override { ++frames; }
    void abort() override {}
    void startNewSession() override {}
    void close() override {}
};

long residentKb() { return bench::procKiB("/proc/self/status", "VmRSS:"); }
long peakResidentKb() { return bench::procKiB("/proc/self/status", "VmHWM:"); }

// Four decoder-like threads, each delivering one frame of the pool's size
// every 1/60 s, stamped with the time of delivery.
class Feeders {
public:
    Feeders(FramePipeline& pipeline, FramePool& pool)
    {
        for (int j = 0; j < 4; ++j) {
            threads.emplace_back([this, &pipeline, &pool, j] {
                auto next = Clock::now();
                while (!stop.load()) {
                    next += std::chrono::microseconds(16667);
                    if (FrameTokenPtr frame = pool.acquire()) {
                        const auto [w, h] = pool.frameSize();
                        frame->width = w;
                        frame->height = h;
                        frame->bytesPerLine = w * 4;
                        if (frame->data.size() < qsizetype(w) * h * 4)
                            frame->data.resize(qsizetype(w) * h * 4);
                        // Touch every page, as a decoder writing the picture would.
                        char* bytes = frame->data.data();
                        for (qsizetype at = 0; at < frame->data.size(); at += 4096)
                            bytes[at] = char(0x40 + j);
                        frame->ptsUs = nowUs();
                        pipeline.onChannelFrame(j, std::move(frame));
                    }
                    std::this_thread::sleep_until(next);
                }
            });
        }
    }
    ~Feeders()
    {
        stop.store(true);
        for (auto& t : threads)
            t.join();
    }

private:
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
};

// Asleep while nothing is due, as the application's own loop is.
void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    auto sink = std::make_shared<CountingSink>();
    OverlayManager overlays;
    TextOverlayData text;
    text.id = 1;
    text.text = QStringLiteral("QUOrbel benchmark overlay");
    overlays.setTextOverlay(text);

    FramePipeline pipeline([sink] { return std::shared_ptr<RouterSink>(sink); }, nullptr);
    ProgramState state;
    state.programSource = 1;
    pipeline.applyProgramState(state, &overlays);
    pipeline.setOutputFps(60);
    pipeline.setStreamTargets({StreamTarget{"rtmp://127.0.0.1/live/bench", "flv", 0}});
    FramePool& pool = FramePipelineTestAccess::channelPool(pipeline);

    // 1. GUI time and hand-off latency at 1080p.
    pipeline.setOutputResolutionSelection(1920, 1080);
    if (!pipeline.startOutputs()) {
        std::fprintf(stderr, "output did not start\n");
        return 1;
    }
    std::vector<double> guiUs, latencyUs;
    Clock::time_point baseAt;
    QObject::connect(&pipeline, &FramePipeline::baseFrameReady, [&](FrameTokenPtr) { baseAt = Clock::now(); });
    QObject::connect(&pipeline, &FramePipeline::programFrameReady, [&](FrameTokenPtr f) {
        guiUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - baseAt).count());
        latencyUs.push_back(double(nowUs() - f->ptsUs));
    });
    {
        Feeders feeders(pipeline, pool);
        runEventLoopFor(seconds * 1000);
    }
    runEventLoopFor(50);

    std::vector<char> a(1920 * 1080 * 4, 1), b(a.size());
    const int copies = 200;
    const auto c0 = Clock::now();
    for (int i = 0; i < copies; ++i) {
        a[std::size_t(i)] = char(i);
        std::memcpy(b.data(), a.data(), a.size());
    }
    const double memcpyUs = std::chrono::duration<double, std::micro>(Clock::now() - c0).count() / copies;
    const double guiMedian = percentile(guiUs, 0.5);
    std::printf("program frames: %zu in %d s (encoded %lld)\n", guiUs.size(), seconds, sink->frames.load());
    std::printf("GUI time per program frame: median %.1f us, p99 %.1f us; memcpy of one 1080p frame %.1f us "
                "(ratio %.2f)\n",
                guiMedian, percentile(guiUs, 0.99), memcpyUs, memcpyUs > 0 ? guiMedian / memcpyUs : 0.0);
    std::printf("hand-off latency decoder -> program frame: median %.0f us, p99 %.0f us; frame interval 16667 us "
                "(ratio %.3f)\n",
                percentile(latencyUs, 0.5), percentile(latencyUs, 0.99), percentile(latencyUs, 0.5) / 16667.0);
    pipeline.stopOutputsAndWait();

    // 2. Memory with the pool at each output size.
    const QSize sizes[] = {{1920, 1080}, {3840, 2160}, {7680, 4320}};
    for (const QSize& size : sizes) {
        pipeline.setOutputResolutionSelection(size.width(), size.height());
        if (!pipeline.startOutputs()) {
            std::fprintf(stderr, "output did not start at %dx%d\n", size.width(), size.height());
            return 1;
        }
        long firstQuarter = 0, lastQuarter = 0;
        {
            Feeders feeders(pipeline, pool);
            const int quarterMs = seconds * 250;
            runEventLoopFor(quarterMs);
            firstQuarter = residentKb();
            runEventLoopFor(quarterMs * 3);
            lastQuarter = residentKb();
        }
        runEventLoopFor(50);
        pipeline.stopOutputsAndWait();
        const double frameMb = double(size.width()) * size.height() * 4 / (1024.0 * 1024.0);
        const double capMb = frameMb * pool.maxLive();
        std::printf("%dx%d: peak RSS %.0f MB, growth first->last quarter %+.1f MB; pool cap %d frames = %.0f MB "
                    "(peak/cap %.2f)\n",
                    size.width(), size.height(), peakResidentKb() / 1024.0, (lastQuarter - firstQuarter) / 1024.0,
                    pool.maxLive(), capMb, capMb > 0 ? (peakResidentKb() / 1024.0) / capMb : 0.0);
    }
    return 0;
}
