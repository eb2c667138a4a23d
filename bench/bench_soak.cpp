// A long show through the real main window (offscreen): four channels loop
// 1080p30 clips that carry a white flash and a 1 kHz beep at each whole
// second, the program switches to the next channel every 30 s, and the
// output records in segments and sends to two loopback UDP destinations.
// Figures: resident memory after 5 minutes (half the run when it is
// shorter) and at the end, the router's dropped and repeated frames,
// recorded frames against duration x 30, and in the first and the last
// segment the offset of each beep's onset from its flash's onset, read back
// from the files.
//   bench_soak [seconds, default 3600] [segment minutes, default 10]

#include "avglue/avptr.h"
#include "bench/benchshow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kChannels = 4;
constexpr int kClipSeconds = 10;
constexpr int kOutputFps = 30;
constexpr qint64 kSwitchMs = 30000;
constexpr qint64 kMemoryReferenceMs = 300000;
constexpr qint64 kProgressMs = 60000;
// The clips' base picture is darkened to a mean luma near 40; the flash is
// white (235).
constexpr double kFlashLuma = 140.0;
// The beep's amplitude is 0.3 (RMS 0.21); quiet is digital silence plus
// the codec's noise.
constexpr double kBeepRms = 0.05;
constexpr int kRmsWindow = 48; // 1 ms at 48 kHz
// An onset is the first bright frame or loud window after this long without.
constexpr double kOnsetGapSeconds = 0.3;
// A beep further than this from a flash belongs to no flash.
constexpr double kPairWindowSeconds = 0.5;

struct Onsets {
    std::vector<double> flashes; // seconds in the file's timeline
    std::vector<double> beeps;
};

// Mean luma of a decoded 8-bit picture, from every fourth pixel of every
// fourth row.
double meanLuma(const AVFrame& f)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < f.height; y += 4) {
        const std::uint8_t* row = f.data[0] + std::ptrdiff_t(y) * f.linesize[0];
        for (int x = 0; x < f.width; x += 4, ++n)
            sum += row[x];
    }
    return n ? sum / n : 0;
}

class OnsetFinder {
public:
    Onsets onsets;

    void picture(const AVFrame& f, double t)
    {
        if (meanLuma(f) < kFlashLuma)
            return;
        if (t - lastBright > kOnsetGapSeconds)
            onsets.flashes.push_back(t);
        lastBright = t;
    }

    // Planar or packed float samples starting at t; the first channel is heard.
    void sound(const AVFrame& f, double t)
    {
        const bool planar = f.format == AV_SAMPLE_FMT_FLTP;
        const auto* samples = reinterpret_cast<const float*>(f.data[0]);
        const int stride = planar ? 1 : f.ch_layout.nb_channels;
        for (int i = 0; i < f.nb_samples; ++i) {
            if (windowFill == 0)
                windowStart = t + double(i) / f.sample_rate;
            const double s = samples[std::ptrdiff_t(i) * stride];
            windowSum += s * s;
            if (++windowFill < kRmsWindow)
                continue;
            const double rms = std::sqrt(windowSum / kRmsWindow);
            windowFill = 0;
            windowSum = 0;
            if (rms < kBeepRms)
                continue;
            if (windowStart - lastLoud > kOnsetGapSeconds)
                onsets.beeps.push_back(windowStart);
            lastLoud = windowStart;
        }
    }

private:
    double lastBright = -1e9;
    double lastLoud = -1e9;
    double windowStart = 0;
    double windowSum = 0;
    int windowFill = 0;
};

av::CodecContextPtr openDecoder(const AVStream& stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec)
        return nullptr;
    av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), stream.codecpar) < 0)
        return nullptr;
    ctx->pkt_timebase = stream.time_base;
    ctx->thread_count = 0;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

// Decodes the whole file and finds each flash's and each beep's onset.
bool findOnsets(const QString& path, Onsets* out)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    av::InputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return false;
    const int vi = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0 || ai < 0)
        return false;
    av::CodecContextPtr video = openDecoder(*input->streams[vi]);
    av::CodecContextPtr audio = openDecoder(*input->streams[ai]);
    if (!video || !audio)
        return false;
    if (audio->sample_fmt != AV_SAMPLE_FMT_FLTP && audio->sample_fmt != AV_SAMPLE_FMT_FLT)
        return false;
    const double videoBase = av_q2d(input->streams[vi]->time_base);
    const double audioBase = av_q2d(input->streams[ai]->time_base);

    OnsetFinder finder;
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    auto drain = [&](AVCodecContext* ctx, bool isVideo) {
        while (avcodec_receive_frame(ctx, frame.get()) >= 0) {
            const std::int64_t pts = frame->best_effort_timestamp;
            if (pts != AV_NOPTS_VALUE) {
                if (isVideo)
                    finder.picture(*frame, double(pts) * videoBase);
                else
                    finder.sound(*frame, double(pts) * audioBase);
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == vi) {
            avcodec_send_packet(video.get(), packet.get());
            drain(video.get(), true);
        } else if (packet->stream_index == ai) {
            avcodec_send_packet(audio.get(), packet.get());
            drain(audio.get(), false);
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(video.get(), nullptr);
    drain(video.get(), true);
    avcodec_send_packet(audio.get(), nullptr);
    drain(audio.get(), false);
    *out = std::move(finder.onsets);
    return true;
}

// Prints the beep-minus-flash offsets of one file; returns their median in
// ms, NAN when none paired.
double reportSync(const char* label, const QString& path)
{
    Onsets onsets;
    if (!findOnsets(path, &onsets)) {
        std::printf("%s %s: cannot decode\n", label, qPrintable(QFileInfo(path).fileName()));
        return NAN;
    }
    std::vector<double> offsetsMs;
    for (double flash : onsets.flashes) {
        double best = kPairWindowSeconds;
        for (double beep : onsets.beeps) {
            if (std::abs(beep - flash) < std::abs(best))
                best = beep - flash;
        }
        if (std::abs(best) < kPairWindowSeconds)
            offsetsMs.push_back(best * 1000.0);
    }
    std::sort(offsetsMs.begin(), offsetsMs.end());
    const double median = offsetsMs.empty() ? NAN : offsetsMs[offsetsMs.size() / 2];
    const double frameMs = 1000.0 / kOutputFps;
    const auto withinFrame = std::count_if(offsetsMs.begin(), offsetsMs.end(),
                                           [frameMs](double ms) { return std::abs(ms) <= frameMs; });
    std::printf("%s %s (%.1f s): %zu flashes, %zu beeps, %zu paired, %lld of them within one frame; audio minus "
                "video median %+.1f ms, range %+.1f .. %+.1f ms\n",
                label, qPrintable(QFileInfo(path).fileName()), bench::durationOf(path), onsets.flashes.size(),
                onsets.beeps.size(), offsetsMs.size(), static_cast<long long>(withinFrame), median,
                offsetsMs.empty() ? NAN : offsetsMs.front(), offsetsMs.empty() ? NAN : offsetsMs.back());
    return median;
}

QString makeClip(const QString& dir, int channel)
{
    const QString clip = QString("%1/flash%2.mp4").arg(dir).arg(channel);
    const QString picture = QString("testsrc2=size=1920x1080:rate=%1:duration=%2,lutyuv=y=val*0.35,hue=h=%3,"
                                    "drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='lt(mod(t,1),0.1)'")
                                .arg(kOutputFps)
                                .arg(kClipSeconds)
                                .arg(channel * 90);
    const QString sound = QString("aevalsrc=exprs='if(lt(mod(t,1),0.1),0.3*sin(2*PI*1000*t),0)':sample_rate=48000:"
                                  "duration=%1:channel_layout=stereo")
                              .arg(kClipSeconds);
    const bool ok = bench::runFfmpeg({"-y", "-v", "error", "-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", sound,
                                      "-c:v", "libx264", "-preset", "ultrafast", "-g", QString::number(kOutputFps),
                                      "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", clip});
    return ok ? clip : QString();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(60, atoi(argv[1])) : 3600;
    const int segmentMinutes = argc > 2 ? qMax(1, atoi(argv[2])) : 10;
    const QString dir = home.path();
    const QString recordDir = dir + "/rec";
    QDir().mkpath(recordDir);

    QStringList clips;
    for (int i = 0; i < kChannels; ++i) {
        clips << makeClip(dir, i);
        if (clips.last().isEmpty()) {
            std::fprintf(stderr, "fixture failed\n");
            return 1;
        }
    }

    bench::ShowOutput output;
    output.recordPath = recordDir + "/soak.mp4";
    output.segments = true;
    output.udpPorts = {29301, 29302};
    bench::seedOutputSettings(output);

    auto* window = new MainWindow;
    MainWindowTestAccess access(*window);
    OutputSettingsWidgetTestAccess::setSegmentMinutes(*access.output(), segmentMinutes);
    for (int i = 0; i < kChannels; ++i) {
        access.strips()[i]->setLoopEnabled(true);
        access.strips()[i]->setSource(clips[i]);
    }
    access.switchTo(0);
    bench::processEventsFor(2000);

    if (!bench::startShow(access)) {
        std::fprintf(stderr, "output did not start\n");
        return 1;
    }
    const qint64 memoryReferenceMs = std::min<qint64>(kMemoryReferenceMs, seconds * 1000LL / 2);
    qint64 memoryReferenceKb = -1;
    QElapsedTimer wall;
    wall.start();
    int channel = 0;
    qint64 nextSwitchMs = kSwitchMs;
    qint64 nextProgressMs = kProgressMs;
    while (wall.elapsed() < seconds * 1000LL) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        const qint64 now = wall.elapsed();
        if (now >= nextSwitchMs) {
            channel = (channel + 1) % kChannels;
            access.switchTo(channel);
            nextSwitchMs += kSwitchMs;
        }
        if (memoryReferenceKb < 0 && now >= memoryReferenceMs)
            memoryReferenceKb = bench::residentKb();
        if (now >= nextProgressMs) {
            std::fprintf(stderr, "%lld s: resident %lld KiB, dropped %llu, repeated %llu\n", now / 1000,
                         bench::residentKb(), static_cast<unsigned long long>(bench::droppedFrames(access)),
                         static_cast<unsigned long long>(bench::repeatedFrames(access)));
            nextProgressMs += kProgressMs;
        }
    }
    const qint64 endKb = bench::residentKb();
    const double showSeconds = wall.elapsed() / 1000.0;
    const std::uint64_t dropped = bench::droppedFrames(access);
    const std::uint64_t repeated = bench::repeatedFrames(access);
    if (!bench::stopShow(access, 60000))
        std::fprintf(stderr, "output did not stop within 60 s\n");
    delete window;

    QStringList segments;
    for (const QFileInfo& info : QDir(recordDir).entryInfoList({"*.mp4"}, QDir::Files, QDir::Name))
        segments << info.absoluteFilePath();
    qint64 recorded = 0;
    for (const QString& segment : segments)
        recorded += bench::frameCount(segment);

    std::printf("soak through the window: %.1f s, %d-minute segments: %lld files, recorded %lld frames of %.0f "
                "expected, dropped %llu, repeated %llu\n",
                showSeconds, segmentMinutes, static_cast<long long>(segments.size()),
                static_cast<long long>(recorded), showSeconds * kOutputFps,
                static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(repeated));
    std::printf("resident memory: %lld KiB after %lld s, %lld KiB at the end (%+.2f %%)\n", memoryReferenceKb,
                memoryReferenceMs / 1000, endKb, 100.0 * double(endKb - memoryReferenceKb) / double(memoryReferenceKb));
    reportSync("source clip", clips.first());
    if (segments.isEmpty()) {
        std::printf("no recording\n");
        return 1;
    }
    const double firstMs = reportSync("first segment", segments.first());
    const double lastMs = reportSync("last segment", segments.last());
    std::printf("drift of the median from the first to the last segment: %+.1f ms (frame interval %.1f ms)\n",
                lastMs - firstMs, 1000.0 / kOutputFps);
    return 0;
}
