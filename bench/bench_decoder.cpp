// Decoder figures, each beside the ffmpeg CLI doing the same work in the
// same run:
//  1. unpaced decode + RGBA conversion of a 1080p60 H.264 clip to 1920x1080
//     and to 640x360 (goal: at least 1.0x the CLI's throughput, one thread
//     each, as the decoder opens its codecs without options);
//  2. CPU of one paced 1080p60 file with audio in real time (goal: well
//     under one core);
//  3. four 1080p60 channels with audio and four 640x360 overlay decoders
//     for 30 s: delivered/expected pictures (goal 98 % or more), skipped
//     pictures and resident memory early and late.
//
// Usage: bench_decoder [seconds for figure 3, default 30]

#include "engine/framepool.h"
#include "input/ffmpegvideodecoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

namespace {

QString benchDir()
{
    const QString dir = QDir::tempPath() + "/quorbel-bench";
    QDir().mkpath(dir);
    return dir;
}

QString fixture(const QString& name, const QStringList& args)
{
    const QString path = benchDir() + "/" + name;
    if (QFileInfo(path).size() > 0)
        return path;
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start("ffmpeg", QStringList{"-hide_banner", "-loglevel", "error", "-y"} + args + QStringList{path});
    if (!p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "could not make %s\n", qPrintable(name));
        std::exit(1);
    }
    return path;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long residentKb()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    }
    return -1;
}

struct CliRun {
    double wallSeconds = 0;
    double cpuSeconds = 0;
};

// Runs the ffmpeg CLI and measures its wall and CPU time.
CliRun runCli(const QStringList& args)
{
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<QByteArray> storage;
        storage.push_back("ffmpeg");
        for (const QString& a : args)
            storage.push_back(a.toUtf8());
        std::vector<char*> argv;
        for (QByteArray& s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        execvp("ffmpeg", argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    CliRun r;
    r.wallSeconds = double(timer.nsecsElapsed()) / 1e9;
    r.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return r;
}

// Counts delivered pictures; the callback drops each at once.
struct Counter {
    std::atomic<long> pictures{0};
    std::function<void(FrameTokenPtr)> callback()
    {
        return [this](FrameTokenPtr) { pictures.fetch_add(1, std::memory_order_relaxed); };
    }
};

// Pictures per second of one unpaced run of the decoder.
double decoderThroughput(const QString& rawClip, int frames, int w, int h, long* delivered)
{
    // A file URL without a container duration counts as live: the decoder
    // then delivers pictures as fast as it decodes them.
    FramePool pool(8, w, h);
    Counter counter;
    double seconds = 0;
    {
        FFmpegVideoDecoder decoder(&pool);
        decoder.setFrameCallback(counter.callback());
        decoder.setPlayback(0, true);
        QElapsedTimer timer;
        timer.start();
        decoder.setSource("file://" + rawClip);
        while (counter.pictures < frames - 4 && timer.elapsed() < 120000)
            QThread::msleep(1);
        seconds = double(timer.nsecsElapsed()) / 1e9;
    }
    *delivered = counter.pictures;
    return double(counter.pictures) / seconds;
}

void unpacedThroughput(const QString& rawClip, int frames, int w, int h)
{
    // Best of three alternating runs each, so that a busy moment of the
    // machine does not decide the ratio.
    double ours = 0;
    double theirs = 0;
    long delivered = 0;
    for (int run = 0; run < 3; ++run) {
        ours = std::max(ours, decoderThroughput(rawClip, frames, w, h, &delivered));
        const CliRun cli = runCli({"-hide_banner", "-loglevel", "error", "-threads", "1", "-i", rawClip, "-vf",
                                   QString("scale=%1:%2:flags=bilinear,format=rgba").arg(w).arg(h), "-f", "null", "-"});
        theirs = std::max(theirs, double(frames) / cli.wallSeconds);
    }
    std::printf("unpaced decode+RGBA to %4dx%-4d: %7.1f fps (%ld pictures)   ffmpeg -threads 1: %7.1f fps   ratio %.2fx "
                "(best of 3)\n",
                w, h, ours, delivered, theirs, ours / theirs);
}

void pacedCpu(const QString& clip, int seconds)
{
    FramePool pool(8, 1920, 1080);
    Counter counter;
    const double cpu0 = processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    {
        FFmpegVideoDecoder decoder(&pool);
        decoder.setFrameCallback(counter.callback());
        decoder.setPlayback(0, true);
        decoder.setSource(clip);
        std::vector<float> audio(960);
        while (timer.elapsed() < seconds * 1000) { // pull audio as the mixer would
            decoder.readAudio(audio.data(), 480);
            QThread::msleep(10);
        }
    }
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const double ours = (processCpuSeconds() - cpu0) / wall;
    const CliRun cli = runCli({"-hide_banner", "-loglevel", "error", "-re", "-threads", "1", "-t",
                               QString::number(seconds), "-i", clip, "-vf", "format=rgba", "-f", "null", "-"});
    std::printf("paced 1080p60 with audio, %d s: %.2f cores (%ld pictures)   ffmpeg -re: %.2f cores   ratio %.2fx\n",
                seconds, ours, counter.pictures.load(), cli.cpuSeconds / cli.wallSeconds,
                ours / (cli.cpuSeconds / cli.wallSeconds));
}

void eightDecoders(const QString& channelClip, const QString& overlayClip, int seconds)
{
    struct Slot {
        std::unique_ptr<FramePool> pool;
        std::unique_ptr<FFmpegVideoDecoder> decoder;
        Counter counter;
        double fps;
    };
    std::vector<std::unique_ptr<Slot>> runs;
    for (int i = 0; i < 8; ++i) {
        auto s = std::make_unique<Slot>();
        const bool channel = i < 4;
        s->pool = std::make_unique<FramePool>(18, 1920, 1080);
        s->decoder = std::make_unique<FFmpegVideoDecoder>(s->pool.get());
        s->decoder->setOutputSize(channel ? 1920 : 640, channel ? 1080 : 360);
        s->decoder->audioEnabled = channel;
        s->decoder->setLooping(true);
        s->decoder->setFrameCallback(s->counter.callback());
        s->decoder->setPlayback(0, true);
        s->fps = channel ? 60 : 30;
        runs.push_back(std::move(s));
    }
    for (int i = 0; i < 8; ++i)
        runs[std::size_t(i)]->decoder->setSource(i < 4 ? channelClip : overlayClip);
    QThread::msleep(1000); // opened and anchored
    std::vector<long> start;
    for (auto& s : runs)
        start.push_back(s->counter.pictures);
    const long rssEarly = residentKb();
    QElapsedTimer timer;
    timer.start();
    std::vector<float> audio(960);
    while (timer.elapsed() < seconds * 1000) {
        for (int i = 0; i < 4; ++i)
            runs[std::size_t(i)]->decoder->readAudio(audio.data(), 480);
        QThread::msleep(10);
    }
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const long rssLate = residentKb();
    double expected = 0;
    double delivered = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        expected += runs[i]->fps * wall;
        delivered += double(runs[i]->counter.pictures - start[i]);
    }
    runs.clear();
    std::printf("4x 1080p60 + 4x 640x360 for %.0f s: delivered/expected %.1f %% (%.0f of %.0f, %.0f skipped)   "
                "RSS %ld MiB after 1 s, %ld MiB at the end\n",
                wall, 100.0 * delivered / expected, delivered, expected, std::max(0.0, expected - delivered),
                rssEarly / 1024, rssLate / 1024);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int longSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    registerFrameTokenMetaType();
    const QString source = "testsrc2=size=1920x1080:rate=60:duration=%1";
    const QString raw = fixture("bench_1080p60_10s.h264", {"-f", "lavfi", "-i", source.arg(10), "-c:v", "libx264",
                                                           "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "60"});
    const QString withAudio = fixture(
        "bench_1080p60_av_20s.mp4", {"-f", "lavfi", "-i", source.arg(20), "-f", "lavfi", "-i",
                                     "sine=f=440:sample_rate=48000:duration=20", "-c:v", "libx264", "-preset",
                                     "veryfast", "-pix_fmt", "yuv420p", "-g", "60", "-c:a", "aac"});
    const QString overlay = fixture("bench_360p30_20s.mp4", {"-f", "lavfi", "-i",
                                                            "testsrc2=size=640x360:rate=30:duration=20", "-c:v",
                                                            "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"});
    unpacedThroughput(raw, 600, 1920, 1080);
    unpacedThroughput(raw, 600, 640, 360);
    pacedCpu(withAudio, 10);
    eightDecoders(withAudio, overlay, longSeconds);
    return 0;
}
