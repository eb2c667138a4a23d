// Decoder figures, each beside the ffmpeg CLI doing the same work in the
// same run:
//  1. unpaced decode + RGBA conversion of a 1080p60 H.264 clip to 1920x1080
//     and to 640x360 (goal: at least 1.0x the CLI's throughput, one thread
//     each, as the decoder opens its codecs without options);
//  2. CPU of one paced 1080p60 file with audio in real time (goal: well
//     under one core);
//  3. four 1080p60 channels with audio and four 640x360 overlay decoders
//     for 30 s: delivered/expected pictures (goal 98 % or more), skipped
//     pictures and resident memory early and late;
//  4. a 4K60 HEVC Main10 clip standing on its side (a quarter-turn display
//     matrix, as phones record) and a 4K60 H.264 clip, each played paced in
//     a channel at 1080p output while three other channels play 1080p30
//     files: pictures delivered against expected (goal 100 %, none skipped),
//     the share of the sound that played, and the CPU of the four channels
//     beside `ffmpeg -re` decoding the same four files to 1080p RGBA.
// Figure 1 compares one file-URL decoder with the CLI on as many threads as
// the decoder gives that picture, and prints the CLI's decode with no
// conversion beside it: the most any conversion could gain.
//
// Usage: bench_decoder [seconds for figures 3 and 4, default 30]
//                      [4k: figure 4 only | unpaced: figure 1 only]

#include "avglue/avptr.h"
#include "bench/benchmemory.h"
#include "engine/framepool.h"
#include "input/ffmpegvideodecoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
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

long residentKb() { return bench::resident().total; }

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

// Follows one channel's pictures along their own timeline: when the first
// one came (the open time), pictures missing between two delivered ones
// (a gap of their timestamps within one pass of the file), the longest
// wait between two arrivals (a loop seam shows there), and the pictures
// that came after the decoder's first second (a 4K decoder starting its
// threads and touching its buffers for the first time is slow for a
// moment, and the timeline starts again once from a late picture).
struct TimelineCounter {
    explicit TimelineCounter(double fps)
        : frameUs(std::int64_t(1e6 / fps))
    {
        clock.start();
    }
    std::function<void(FrameTokenPtr)> callback()
    {
        return [this](FrameTokenPtr picture) {
            const std::int64_t now = clock.nsecsElapsed() / 1000;
            std::lock_guard lock(mutex);
            if (pictures > 0 && now - firstUs >= kWarmUpUs)
                ++warmedPictures;
            if (pictures == 0)
                firstUs = now;
            else
                longestWaitUs = std::max(longestWaitUs, now - lastArrivalUs);
            const std::int64_t pts = picture ? picture->ptsUs : lastPtsUs + frameUs;
            if (pictures > 0 && pts > lastPtsUs)
                missing += std::max<std::int64_t>(0, (pts - lastPtsUs + frameUs / 2) / frameUs - 1);
            lastPtsUs = pts;
            lastArrivalUs = now;
            ++pictures;
        };
    }
    const std::int64_t frameUs;
    QElapsedTimer clock; // started with the counter, before the source is set
    std::mutex mutex;
    static constexpr std::int64_t kWarmUpUs = 1000000;
    long pictures = 0;
    long warmedPictures = 0;
    long missing = 0;
    std::int64_t firstUs = 0;
    std::int64_t lastArrivalUs = 0;
    std::int64_t lastPtsUs = 0;
    std::int64_t longestWaitUs = 0;
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
    double decodeOnly = 0;
    long delivered = 0;
    // A raw stream without a duration is opened as a live source.
    const int threads = FFmpegVideoDecoder::videoDecoderThreads(1920, 1080, true, QThread::idealThreadCount());
    for (int run = 0; run < 3; ++run) {
        ours = std::max(ours, decoderThroughput(rawClip, frames, w, h, &delivered));
        const CliRun cli = runCli({"-hide_banner", "-loglevel", "error", "-threads", QString::number(threads), "-i",
                                   rawClip, "-vf", QString("scale=%1:%2:flags=bilinear,format=rgba").arg(w).arg(h),
                                   "-f", "null", "-"});
        theirs = std::max(theirs, double(frames) / cli.wallSeconds);
        // The same decode with no conversion at all: no converter, however
        // fast, takes the ratio past this one.
        const CliRun bare = runCli({"-hide_banner", "-loglevel", "error", "-threads", QString::number(threads), "-i",
                                    rawClip, "-f", "null", "-"});
        decodeOnly = std::max(decodeOnly, double(frames) / bare.wallSeconds);
    }
    std::printf("unpaced decode+RGBA to %4dx%-4d: %7.1f fps (%ld pictures)   ffmpeg -threads %d: %7.1f fps   ratio "
                "%.2fx (best of 3)   decode alone in the CLI: %7.1f fps, %.2fx the CLI's conversion run\n",
                w, h, ours, delivered, threads, theirs, ours / theirs, decodeOnly, decodeOnly / theirs);
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

// Copies an MP4 and gives its video stream a display matrix turning the
// picture a quarter clockwise for display (the 5.1 CLI cannot write one).
bool writeRotatedCopy(const QString& from, const QString& to)
{
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, from.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    av::InputPtr input(in);
    if (avformat_find_stream_info(in, nullptr) < 0)
        return false;
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, "mp4", to.toUtf8().constData()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> output(out, [](AVFormatContext* c) {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    });
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* s = avformat_new_stream(out, nullptr);
        if (!s || avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar) < 0)
            return false;
        s->codecpar->codec_tag = in->streams[i]->codecpar->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
        s->time_base = in->streams[i]->time_base;
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto* matrix = reinterpret_cast<int32_t*>(
                av_stream_new_side_data(s, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9));
            if (!matrix)
                return false;
            av_display_rotation_set(matrix, 90); // a clockwise angle: -90 degrees counter-clockwise
        }
    }
    if (avio_open(&out->pb, to.toUtf8().constData(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0)
        return false;
    av::PacketPtr packet(av_packet_alloc());
    while (av_read_frame(in, packet.get()) >= 0) {
        av_packet_rescale_ts(packet.get(), in->streams[packet->stream_index]->time_base,
                             out->streams[packet->stream_index]->time_base);
        if (av_interleaved_write_frame(out, packet.get()) < 0)
            return false;
    }
    return av_write_trailer(out) >= 0;
}

// One 4K60 clip paced in a channel at 1080p beside three 1080p30 channels.
void fourKChannel(const QString& label, const QString& bigClip, const QString& channelClip, int seconds)
{
    struct Slot {
        std::unique_ptr<FramePool> pool;
        std::unique_ptr<FFmpegVideoDecoder> decoder;
        Counter counter;
        std::unique_ptr<TimelineCounter> timeline;
        double fps = 0;
        std::int64_t pulled = 0;
        std::int64_t sounded = 0;
    };
    std::vector<std::unique_ptr<Slot>> runs;
    for (int i = 0; i < 4; ++i) {
        auto s = std::make_unique<Slot>();
        s->pool = std::make_unique<FramePool>(18, 1920, 1080);
        s->decoder = std::make_unique<FFmpegVideoDecoder>(s->pool.get());
        s->decoder->setOutputSize(1920, 1080);
        s->decoder->setLooping(true);
        s->fps = i == 0 ? 60 : 30;
        if (i == 0) {
            s->timeline = std::make_unique<TimelineCounter>(s->fps);
            s->decoder->setFrameCallback(s->timeline->callback());
        } else {
            s->decoder->setFrameCallback(s->counter.callback());
        }
        s->decoder->setPlayback(0, true);
        runs.push_back(std::move(s));
    }
    const double cpu0 = processCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 4; ++i)
        runs[std::size_t(i)]->decoder->setSource(i == 0 ? bigClip : channelClip);
    std::vector<float> audio(2 * 4800);
    // The mixer pulls in real time; a frame counts as sounded when the
    // channel had its sample (a tone is silent only at its zero crossings).
    while (timer.elapsed() < seconds * 1000) {
        const std::int64_t due = timer.nsecsElapsed() * 48 / 1000000;
        for (auto& s : runs) {
            const int frames = int(std::min<std::int64_t>(due - s->pulled, 4800));
            if (frames <= 0)
                continue;
            s->decoder->readAudio(audio.data(), frames);
            for (int f = 0; f < frames; ++f)
                s->sounded += audio[std::size_t(2 * f)] != 0.0f ? 1 : 0;
            s->pulled += frames;
        }
        QThread::msleep(10);
    }
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const double ours = (processCpuSeconds() - cpu0) / wall;
    TimelineCounter& big = *runs[0]->timeline;
    std::unique_lock bigLock(big.mutex);
    const double openSeconds = double(big.firstUs) / 1e6;
    const double expected = runs[0]->fps * wall;
    const double delivered = double(big.pictures);
    // From the first picture on, the pictures the clip's timeline held.
    const double expectedPlaying = runs[0]->fps * (wall - openSeconds);
    const double warmedSeconds = wall - openSeconds - double(TimelineCounter::kWarmUpUs) / 1e6;
    const double warmed = 100.0 * double(big.warmedPictures) / (runs[0]->fps * warmedSeconds);
    const long missing = big.missing;
    const double longestWaitMs = double(big.longestWaitUs) / 1000.0;
    bigLock.unlock();
    const double sound = 100.0 * double(runs[0]->sounded) / double(std::max<std::int64_t>(1, runs[0]->pulled));
    double others = 0;
    for (int i = 1; i < 4; ++i)
        others += double(runs[std::size_t(i)]->counter.pictures) / (runs[std::size_t(i)]->fps * wall);
    runs.clear();

    // The CLI decodes the same four files paced, with its automatic threads.
    const pid_t bigPid = fork();
    if (bigPid == 0) {
        execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-t",
               qPrintable(QString::number(seconds)), "-i", qPrintable(bigClip), "-vf",
               "scale=1920:1080:force_original_aspect_ratio=decrease,format=rgba", "-f", "null", "-", nullptr);
        _exit(127);
    }
    std::vector<pid_t> pids{bigPid};
    for (int i = 1; i < 4; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-t",
                   qPrintable(QString::number(seconds)), "-i", qPrintable(channelClip), "-vf", "format=rgba", "-f",
                   "null", "-", nullptr);
            _exit(127);
        }
        pids.push_back(pid);
    }
    QElapsedTimer cliTimer;
    cliTimer.start();
    double cliCpu = 0;
    for (pid_t pid : pids) {
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        cliCpu += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                  + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    const double cliCores = cliCpu / (double(cliTimer.nsecsElapsed()) / 1e9);
    std::printf("%s at 1080p + 3x 1080p30, %.0f s on %d cores: pictures %.1f %% (%.0f of %.0f); from the first "
                "picture (after %.2f s) %.1f %%, after its first second %.1f %%, %ld missing from the timeline, "
                "longest wait %.0f ms; sound %.1f %%, other channels %.1f %%   CPU %.2f cores   ffmpeg -re: %.2f "
                "cores   ratio %.2fx\n",
                qPrintable(label), wall, QThread::idealThreadCount(), 100.0 * delivered / expected, delivered,
                expected, openSeconds, 100.0 * delivered / expectedPlaying, warmed, missing, longestWaitMs, sound,
                100.0 * others / 3, ours, cliCores, ours / cliCores);
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
    const QString tone = "sine=f=440:sample_rate=48000:duration=10";
    const QString hevc4k = fixture("bench_2160p60_hevc10_av_10s.mp4",
                                   {"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=60:duration=10", "-f", "lavfi",
                                    "-i", tone, "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                    "log-level=error:keyint=60", "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1", "-c:a",
                                    "aac"});
    const QString hevc4kRotated = benchDir() + "/bench_2160p60_hevc10_av_10s_rotated.mp4";
    if (QFileInfo(hevc4kRotated).size() == 0 && !writeRotatedCopy(hevc4k, hevc4kRotated)) {
        std::fprintf(stderr, "could not make the rotated 4K clip\n");
        return 1;
    }
    const QString h2644k = fixture("bench_2160p60_h264_av_10s.mp4",
                                   {"-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=60:duration=10", "-f", "lavfi",
                                    "-i", tone, "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g",
                                    "60", "-c:a", "aac"});
    const QString channel30 = fixture("bench_1080p30_av_10s.mp4",
                                      {"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=10", "-f",
                                       "lavfi", "-i", tone, "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt",
                                       "yuv420p", "-g", "30", "-c:a", "aac"});
    if (argc > 2 && std::strcmp(argv[2], "unpaced") == 0) {
        unpacedThroughput(raw, 600, 1920, 1080);
        unpacedThroughput(raw, 600, 640, 360);
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[2], "4k") == 0) {
        fourKChannel("4K60 HEVC Main10, turned", hevc4kRotated, channel30, longSeconds);
        fourKChannel("4K60 H.264", h2644k, channel30, longSeconds);
        return 0;
    }
    unpacedThroughput(raw, 600, 1920, 1080);
    unpacedThroughput(raw, 600, 640, 360);
    pacedCpu(withAudio, 10);
    eightDecoders(withAudio, overlay, longSeconds);
    fourKChannel("4K60 HEVC Main10, turned", hevc4kRotated, channel30, longSeconds);
    fourKChannel("4K60 H.264", h2644k, channel30, longSeconds);
    return 0;
}
