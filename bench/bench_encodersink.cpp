// Encoding 1080p30 RGBA program frames with the encoder sink at each quality
// preset, beside the ffmpeg CLI encoding the same raw RGBA frames with the
// same encoder settings, in the same run. Figures: CPU seconds per media
// second and their ratio; then the sink's RGBA-to-YUV conversion per frame
// beside a memcpy of the same frame.
//
//   bench_encodersink [seconds]      (default 5 media seconds per preset)

#include "output/ffmpegencodersink.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

struct EncoderSinkTestAccess {
    static bool convert(FfmpegEncoderSink& sink, const FrameToken& token) { return sink.convertFrame(token); }
};

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kDistinctFrames = 16;

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Moving gradients with a little texture: something an encoder has to work on.
std::vector<FrameTokenPtr> makeFrames()
{
    std::vector<FrameTokenPtr> frames;
    for (int f = 0; f < kDistinctFrames; ++f) {
        auto token = std::make_shared<FrameToken>();
        token->width = kWidth;
        token->height = kHeight;
        token->bytesPerLine = kWidth * 4;
        token->generation = 1;
        token->data = QByteArray(kWidth * 4 * kHeight, Qt::Uninitialized);
        auto* px = reinterpret_cast<std::uint8_t*>(token->data.data());
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                std::uint8_t* p = px + (std::size_t(y) * kWidth + x) * 4;
                p[0] = std::uint8_t((x + f * 12) & 0xff);
                p[1] = std::uint8_t((y + f * 7) & 0xff);
                p[2] = std::uint8_t(((x ^ y) + f * 3) & 0xff);
                p[3] = 0xff;
            }
        }
        frames.push_back(token);
    }
    return frames;
}

struct Tone {
    std::int64_t phase = 0;
    void operator()(std::int16_t* dst, int frames)
    {
        for (int i = 0; i < frames; ++i) {
            const auto s = std::int16_t(8000.0 * std::sin(6.283185307179586 * 1000.0 * double(phase++) / 48000.0));
            dst[2 * i] = dst[2 * i + 1] = s;
        }
    }
};

// The sink as the router drives it: one frame per frame interval on an
// encode thread, audio pulled through the callback.
double sinkCpuSeconds(const QString& path, int preset, int frameCount, const std::vector<FrameTokenPtr>& frames)
{
    FfmpegEncoderSink sink;
    Tone tone;
    sink.configure(path, {}, kFps);
    sink.setEncodingParams(0, 2, FfmpegEncoderSink::kEncoderSoftwareOnly, preset);
    sink.setSegmentation(SegmentOptions{false, 0, 0});
    sink.setAudioPullCallback([&tone](std::int16_t* dst, int n) { tone(dst, n); });
    sink.probeEncoder(kWidth, kHeight);
    const double before = cpuSeconds(RUSAGE_SELF);
    std::thread encodeThread([&] {
        auto due = std::chrono::steady_clock::now();
        for (int i = 0; i < frameCount; ++i) {
            std::this_thread::sleep_until(due);
            due += std::chrono::microseconds(1000000 / kFps);
            FrameTokenPtr frame = frames[std::size_t(i) % frames.size()];
            frame->ptsUs = std::int64_t(i) * 1000000 / kFps;
            sink.encodeFrame(frame, nullptr, 0, 1);
        }
        static_cast<IEncoderSink&>(sink).close();
    });
    encodeThread.join();
    return cpuSeconds(RUSAGE_SELF) - before;
}

// The ffmpeg CLI with the sink's settings, reading the same raw frames.
double cliCpuSeconds(const QString& path, int preset, int frameCount, const std::vector<FrameTokenPtr>& frames)
{
    static const char* const presets[] = {"ultrafast", "veryfast", "medium"};
    static const char* const scalers[] = {"fast_bilinear", "bilinear", "bicubic"};
    const long long kbps = FfmpegEncoderSink::automaticBitrateKbps(kFps, kWidth, kHeight);
    const QByteArray command =
        QString("ffmpeg -v error -y -f rawvideo -pix_fmt rgba -s %1x%2 -r %3 -i - "
                "-f lavfi -i sine=frequency=1000:sample_rate=48000 "
                "-sws_flags %4 -c:v libx264 -preset %5 -tune zerolatency -pix_fmt yuv420p -bf 0 -g %6 "
                "-b:v %7k -maxrate %7k -bufsize %8k -c:a aac -b:a 160k -ac 2 -ar 48000 -shortest "
                "-movflags +frag_keyframe+empty_moov+default_base_moof '%9'")
            .arg(kWidth)
            .arg(kHeight)
            .arg(kFps)
            .arg(scalers[preset], presets[preset])
            .arg(2 * kFps)
            .arg(kbps)
            .arg(2 * kbps)
            .arg(path)
            .toLocal8Bit();
    const double before = cpuSeconds(RUSAGE_CHILDREN);
    FILE* pipe = popen(command.constData(), "w");
    if (!pipe) {
        std::fprintf(stderr, "cannot start ffmpeg\n");
        return -1;
    }
    for (int i = 0; i < frameCount; ++i) {
        const QByteArray& data = frames[std::size_t(i) % frames.size()]->data;
        std::fwrite(data.constData(), 1, std::size_t(data.size()), pipe);
    }
    if (pclose(pipe) != 0)
        std::fprintf(stderr, "ffmpeg reported an error\n");
    return cpuSeconds(RUSAGE_CHILDREN) - before;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.info=false");
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int frameCount = seconds * kFps;
    QTemporaryDir dir;
    const std::vector<FrameTokenPtr> frames = makeFrames();

    std::printf("1080p30 RGBA, %d media seconds per preset; CPU seconds per media second\n", seconds);
    std::printf("%-12s %10s %10s %8s\n", "preset", "sink", "ffmpeg", "ratio");
    static const char* const names[] = {"performance", "balanced", "quality"};
    for (int preset = 0; preset < 3; ++preset) {
        const double sink = sinkCpuSeconds(dir.filePath(QString("sink%1.mp4").arg(preset)), preset, frameCount, frames);
        const double cli = cliCpuSeconds(dir.filePath(QString("cli%1.mp4").arg(preset)), preset, frameCount, frames);
        std::printf("%-12s %10.3f %10.3f %7.2fx\n", names[preset], sink / seconds, cli / seconds,
                    cli > 0 ? sink / cli : 0.0);
        std::fflush(stdout);
    }

    // The sink's own conversion, on distinct frames so none is skipped as a repeat.
    std::printf("\nRGBA-to-YUV conversion per 1080p frame (wall ms), beside memcpy of the RGBA frame\n");
    std::printf("%-12s %10s %10s %8s\n", "preset", "convert", "memcpy", "ratio");
    QByteArray copy(kWidth * kHeight * 4, 0);
    for (int preset = 0; preset < 3; ++preset) {
        FfmpegEncoderSink sink;
        sink.configure(dir.filePath("convert.mkv"), {}, kFps);
        sink.setEncodingParams(0, 2, FfmpegEncoderSink::kEncoderSoftwareOnly, preset);
        FrameTokenPtr first = frames[0];
        sink.encodeFrame(first, nullptr, 0, 1); // opens the encoder and the picture
        constexpr int kRounds = 200;
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRounds; ++i) {
            FrameToken& token = *frames[std::size_t(i) % frames.size()];
            token.ptsUs = 1000000 + i;
            EncoderSinkTestAccess::convert(sink, token);
        }
        const double convertMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kRounds;
        t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRounds; ++i) {
            const QByteArray& src = frames[std::size_t(i) % frames.size()]->data;
            std::memcpy(copy.data(), src.constData(), std::size_t(src.size()));
        }
        const double copyMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kRounds;
        std::printf("%-12s %10.3f %10.3f %7.2fx\n", names[preset], convertMs, copyMs, convertMs / copyMs);
        static_cast<IEncoderSink&>(sink).close();
    }
    return 0;
}
