// Preview audio mixer figures:
//  1. cost of one 10 ms mix tick with all eight sources heard and the tap on,
//     against the 10 ms budget and against a bare tanh pass over the samples;
//  2. jitter of the 10 ms tick over 10 s with two busy threads loading the
//     machine, beside a sleep_for(10 ms) loop measured at the same time;
//  3. on a private PulseAudio null sink: the delay from a channel's first
//     audio sample to the audio clock moving, and how far the clock trails
//     the mix once running, with the mixer's sink buffer and, as the
//     reference, a QAudioSink with a 100 ms buffer fed the same way.

#include "engine/audioqueueiodevice.h"
#include "engine/mixeraudiosource.h"
#include "engine/previewaudiomixer.h"

#include <QAudioSink>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0, Clock::time_point t1)
{
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// Every source plays a quiet sine; the first channel read and each tick's
// start are time-stamped.
class BenchSource : public MixerAudioSource {
public:
    void readChannelAudio(int channel, float* out, int frames) override
    {
        if (channel == 0) {
            Clock::time_point unset{};
            firstChannelRead.compare_exchange_strong(unset, Clock::now());
            channelFrames.fetch_add(frames, std::memory_order_relaxed);
        }
        fill(out, frames);
    }
    void readOverlayAudio(int, float* out, int frames) override { fill(out, frames); }
    int programChannelIndex() const override
    {
        if (recordTicks.load(std::memory_order_relaxed)) {
            std::lock_guard lock(tickMutex);
            tickTimes.push_back(Clock::now());
        }
        return 0;
    }
    void detachPreviewAudioMixer(PreviewAudioMixer* mixer) override { mixer->detachSource(); }

    std::atomic<Clock::time_point> firstChannelRead{};
    std::atomic<std::int64_t> channelFrames{0};
    std::atomic<bool> recordTicks{false};
    mutable std::mutex tickMutex;
    mutable std::vector<Clock::time_point> tickTimes; // guarded by tickMutex

private:
    void fill(float* out, int frames)
    {
        for (int n = 0; n < frames; ++n) {
            const float v = 0.1f * std::sin(phase);
            phase += 0.1309f; // 1 kHz at 48 kHz
            out[2 * n] = v;
            out[2 * n + 1] = v;
        }
        if (phase > 1000.0f)
            phase = std::fmod(phase, 6.2831853f);
    }
    float phase = 0.0f; // mixer thread only
};

// As the main window does it: the thread quits from inside the queued stop.
void stopAndDelete(PreviewAudioMixer* mixer, QThread& thread)
{
    QMetaObject::invokeMethod(
        mixer,
        [mixer, &thread] {
            mixer->stopAndReturnToMainThread();
            thread.quit();
        },
        Qt::QueuedConnection);
    thread.wait();
    delete mixer;
}

struct Jitter {
    double meanAbs = 0, p99 = 0, max = 0;
};

Jitter jitterOf(const std::vector<Clock::time_point>& times, double periodMs)
{
    std::vector<double> dev;
    for (size_t i = 1; i < times.size(); ++i)
        dev.push_back(std::abs(msSince(times[i - 1], times[i]) - periodMs));
    Jitter j;
    if (dev.empty())
        return j;
    for (double d : dev)
        j.meanAbs += d;
    j.meanAbs /= double(dev.size());
    std::sort(dev.begin(), dev.end());
    j.p99 = dev[size_t(double(dev.size() - 1) * 0.99)];
    j.max = dev.back();
    return j;
}

void benchTickCost()
{
    BenchSource source;
    PreviewAudioMixer mixer(&source);
    mixer.startPreview();
    if (auto* timer = mixer.findChild<QTimer*>())
        timer->stop();
    for (int i = 0; i < 4; ++i) {
        mixer.setChannelLocalGain(i, 0.5f);
        mixer.setOverlayLocalGain(i, 0.5f);
        mixer.setOverlayProgramGain(i, 0.5f);
        mixer.setOverlayInProgram(i, true);
    }
    mixer.setProgramTapEnabled(true);
    std::vector<std::int16_t> drain(size_t(PreviewAudioMixer::kTickFrames) * 2);
    auto* device = mixer.findChild<QIODevice*>();

    const int ticks = 20000;
    std::vector<double> us;
    us.reserve(ticks);
    char sink[PreviewAudioMixer::kTickBytes];
    for (int i = 0; i < ticks; ++i) {
        const auto t0 = Clock::now();
        mixer.mixTick();
        us.push_back(msSince(t0, Clock::now()) * 1000.0);
        // The sound device and the encoder take what each tick made.
        device->read(sink, sizeof sink);
        mixer.readProgramAudio(drain.data(), PreviewAudioMixer::kTickFrames);
    }
    std::sort(us.begin(), us.end());
    double mean = 0;
    for (double u : us)
        mean += u;
    mean /= double(us.size());

    // Reference: the soft clip alone, two passes of tanh over one tick.
    std::vector<float> x(size_t(PreviewAudioMixer::kTickFrames) * 2, 0.3f);
    std::vector<std::int16_t> y(x.size());
    const auto r0 = Clock::now();
    for (int i = 0; i < ticks; ++i) {
        for (int pass = 0; pass < 2; ++pass)
            for (size_t k = 0; k < x.size(); ++k)
                y[k] = std::int16_t(std::lround(std::tanh(x[k] + float(pass) * 1e-3f + float(i & 7) * 1e-4f) * 32767.0f));
    }
    const double refUs = msSince(r0, Clock::now()) * 1000.0 / ticks;
    std::printf("mix tick, 8 sources heard, tap on: mean %.1f us, p99 %.1f us, max %.1f us\n", mean,
                us[size_t(ticks * 0.99)], us.back());
    std::printf("  budget 10000 us: mean uses %.2f%% of it\n", mean / 100.0);
    std::printf("  reference, tanh soft clip of both buses alone: %.1f us (tick/reference %.2f)\n", refUs,
                mean / refUs);
    mixer.stopPreview();
}

void benchJitter()
{
    BenchSource source;
    PreviewAudioMixer* mixer = new PreviewAudioMixer(&source);
    mixer->setChannelLocalGain(0, 0.5f);
    QThread thread;
    mixer->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, mixer, &PreviewAudioMixer::startPreview);

    std::atomic<bool> stop{false};
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i)
        load.emplace_back([&stop] {
            volatile double sink = 0;
            while (!stop.load(std::memory_order_relaxed))
                sink = sink + std::sqrt(double(sink) + 1.0);
        });

    std::vector<Clock::time_point> sleeps;
    source.recordTicks.store(true);
    thread.start();
    std::thread reference([&] {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            sleeps.push_back(Clock::now());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    reference.join();
    source.recordTicks.store(false);
    stop.store(true);
    for (auto& t : load)
        t.join();
    stopAndDelete(mixer, thread);

    std::vector<Clock::time_point> ticks;
    {
        std::lock_guard lock(source.tickMutex);
        ticks = source.tickTimes;
    }
    const Jitter t = jitterOf(ticks, 10.0);
    const Jitter s = jitterOf(sleeps, 10.0);
    std::printf("tick jitter over 10 s, 2 busy threads: %zu ticks, mean |dev| %.3f ms, p99 %.3f ms, max %.3f ms\n",
                ticks.size(), t.meanAbs, t.p99, t.max);
    std::printf("  reference sleep_for(10 ms) loop: mean |dev| %.3f ms, p99 %.3f ms, max %.3f ms (tick/reference mean %.2f)\n",
                s.meanAbs, s.p99, s.max, s.meanAbs > 0 ? t.meanAbs / s.meanAbs : 0.0);
}

struct SinkRun {
    double firstMoveMs = -1;
    double lagMs = -1;
};

// The mixer as the application runs it, on its own thread.
SinkRun runMixerOnSink()
{
    BenchSource source;
    PreviewAudioMixer* mixer = new PreviewAudioMixer(&source);
    QThread thread;
    mixer->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, mixer, &PreviewAudioMixer::startPreview);
    thread.start();
    SinkRun run;
    const auto t0 = Clock::now();
    while (mixer->playedFrames() == 0 && Clock::now() - t0 < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto moved = Clock::now();
    const Clock::time_point first = source.firstChannelRead.load();
    if (mixer->playedFrames() > 0 && first != Clock::time_point{})
        run.firstMoveMs = msSince(first, moved);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    run.lagMs = double(source.channelFrames.load() - mixer->playedFrames()) / 48.0;
    stopAndDelete(mixer, thread);
    return run;
}

// Reference: a bare pull-mode QAudioSink with a 100 ms buffer on the same
// device type, fed 10 ms of audio by a 10 ms timer.
SinkRun runReferenceSink()
{
    SinkRun run;
    QThread thread;
    std::atomic<std::int64_t> played{0};
    std::atomic<std::int64_t> queued{0};
    std::atomic<bool> done{false};
    Clock::time_point first{};
    QObject* context = new QObject;
    context->moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, context, [&, context] {
        auto* device = new AudioQueueIODevice(context);
        device->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        QAudioFormat format;
        format.setSampleRate(48000);
        format.setChannelCount(2);
        format.setSampleFormat(QAudioFormat::Int16);
        auto* sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, context);
        sink->setBufferSize(19200);
        sink->start(device);
        auto* timer = new QTimer(context);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(10);
        std::vector<std::int16_t> pcm(960, 3000);
        QObject::connect(timer, &QTimer::timeout, context, [&, context, device, sink, pcm] {
            if (first == Clock::time_point{})
                first = Clock::now();
            device->enqueue(reinterpret_cast<const char*>(pcm.data()), 1920);
            queued.fetch_add(480);
            played.store(device->playedFrames());
            if (done.load()) {
                sink->stop();
                context->deleteLater(); // goes with its children as the thread finishes
                thread.quit();
            }
        });
        timer->start();
    });
    thread.start();
    const auto t0 = Clock::now();
    while (played.load() == 0 && Clock::now() - t0 < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto moved = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    done.store(true);
    thread.wait();
    // first is written by the sink thread; the wait above orders it.
    if (played.load() > 0) {
        run.firstMoveMs = msSince(first, moved) - 5.0; // played is refreshed once per tick: half a tick late on average
        run.lagMs = double(queued.load() - played.load()) / 48.0;
    }
    return run;
}

int runQuietly(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(10000))
        return -1;
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

bool startPulse(QTemporaryDir& home)
{
    const QString runtime = home.path() + "/runtime";
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qunsetenv("PULSE_SERVER");
    const int rc = runQuietly("pulseaudio",
                                     {"-D", "--exit-idle-time=10", "--system=false", "-n",
                                      "--load=module-null-sink sink_name=out rate=48000",
                                      "--load=module-native-protocol-unix", "--load=module-always-sink"});
    if (rc != 0)
        return false;
    for (int i = 0; i < 100; ++i) {
        if (runQuietly("pactl", {"info"}) == 0)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // The sound server must run before Qt Multimedia first looks for devices.
    QTemporaryDir home;
    const bool pulse = startPulse(home);
    QCoreApplication app(argc, argv);

    benchTickCost();
    benchJitter();

    if (!pulse || QMediaDevices::defaultAudioOutput().isNull()) {
        std::printf("sink latency: no private PulseAudio server (packages pulseaudio, pulseaudio-utils)\n");
        return 1;
    }
    std::vector<double> moves, lags, refMoves, refLags;
    for (int i = 0; i < 3; ++i) {
        const SinkRun m = runMixerOnSink();
        const SinkRun r = runReferenceSink();
        moves.push_back(m.firstMoveMs);
        lags.push_back(m.lagMs);
        refMoves.push_back(r.firstMoveMs);
        refLags.push_back(r.lagMs);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("PulseAudio null sink, median of 3 runs:\n");
    std::printf("  mixer (sink buffer %d bytes): first sample -> clock moves %.1f ms; clock trails the mix by %.0f ms after 3 s\n",
                PreviewAudioMixer::kSinkBufferBytes, median(moves), median(lags));
    std::printf("  reference (100 ms buffer):     first sample -> clock moves %.1f ms; clock trails the mix by %.0f ms after 3 s\n",
                median(refMoves), median(refLags));
    std::printf("  ratio mixer/reference: first move %.2f, trail %.2f\n", median(moves) / median(refMoves),
                median(lags) / median(refLags));
    runQuietly("pulseaudio", {"--kill"});
    return 0;
}
