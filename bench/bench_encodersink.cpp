// Encoding 1080p30 RGBA program frames with the encoder sink at each quality
// preset, beside the ffmpeg CLI encoding the same raw RGBA frames with the
// same encoder settings, in the same run. Figures: CPU seconds per media
// second and their ratio; then the sink's RGBA-to-YUV conversion per frame
// (goal: at most 1.5x) and the one-thread conversions, beside a memcpy of
// the same frame.
//
//   bench_encodersink [seconds]      (default 5 media seconds per preset)

#include "bench/benchframes.h"
#include "output/ffmpegencodersink.h"
#include "output/rgbatoyuv.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace bench;

struct EncoderSinkTestAccess {
    static bool convert(FfmpegEncoderSink& sink, const FrameToken& token) { return sink.convertFrame(token); }
};

namespace {

// The sink as the router drives it: one frame per frame interval on an
// encode thread, audio pulled through the callback.
double sinkCpuSeconds(const QString& path, int preset, int frameCount, const std::vector<FrameTokenPtr>& frames)
{
    FfmpegEncoderSink sink;
    Tone tone;
    sink.configure(path, {}, kFps);
    sink.setEncodingParams(0, 2, FfmpegEncoderSink::kEncoderSoftwareOnly, preset);
    sink.setSegmentation(SegmentOptions{false, 0, 0});
    sink.setAudioPullCallback([&tone](std::int16_t* dst, int n, std::int64_t) { tone(dst, n); });
    return driveSinkCpuSeconds(sink, frameCount, frames);
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
    return pipeFramesCpuSeconds(command, frameCount, frames);
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

    // The sink's own conversion, on distinct frames so none is skipped as a
    // repeat, then the same picture on one thread with each matrix (the
    // BT.601 one is libyuv's). Medians of single frames, each timed beside a
    // memcpy of the same frame, so a moment of a busy machine does not decide.
    std::printf("\nRGBA-to-YUV conversion per frame (median wall ms), beside memcpy of the RGBA frame\n");
    std::printf("%-6s %-22s %10s %10s %8s\n", "size", "conversion", "convert", "memcpy", "ratio");
    struct Size {
        const char* name;
        int width, height;
    };
    for (const Size size : {Size{"1080p", kWidth, kHeight}, Size{"2160p", 2 * kWidth, 2 * kHeight}}) {
        std::vector<FrameTokenPtr> sized;
        for (int f = 0; f < 4; ++f) {
            auto token = std::make_shared<FrameToken>();
            token->width = size.width;
            token->height = size.height;
            token->bytesPerLine = size.width * 4;
            token->pixelFormat = FrameToken::kRgba8888;
            token->data = QByteArray(qsizetype(size.width) * size.height * 4, Qt::Uninitialized);
            for (qsizetype b = 0; b < token->data.size(); ++b)
                token->data[b] = char((b * 7 + f * 31 + (b >> 12)) & 0xff);
            sized.push_back(token);
        }
        QByteArray copy(sized[0]->data.size(), 0);
        const int rounds = size.height > kHeight ? 100 : 300;
        const auto median = [](std::vector<double> v) {
            std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
            return v[v.size() / 2];
        };
        // Times convert(token) and a memcpy of the same frame, round after round.
        const auto measure = [&](const char* name, const std::function<void(FrameToken&)>& convert) {
            std::vector<double> convertMs, copyMs;
            for (int i = 0; i < rounds; ++i) {
                FrameToken& token = *sized[std::size_t(i) % sized.size()];
                token.ptsUs = 1000000 + i;
                auto t0 = std::chrono::steady_clock::now();
                convert(token);
                auto t1 = std::chrono::steady_clock::now();
                std::memcpy(copy.data(), token.data.constData(), std::size_t(token.data.size()));
                auto t2 = std::chrono::steady_clock::now();
                convertMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
                copyMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
            }
            const double c = median(convertMs);
            const double m = median(copyMs);
            std::printf("%-6s %-22s %10.3f %10.3f %7.2fx\n", size.name, name, c, m, c / m);
            std::fflush(stdout);
        };
        for (int preset = 0; preset < 3; ++preset) {
            FfmpegEncoderSink sink;
            sink.configure(dir.filePath("convert.mkv"), {}, kFps);
            sink.setEncodingParams(0, 2, FfmpegEncoderSink::kEncoderSoftwareOnly, preset);
            FrameTokenPtr first = sized[0];
            sink.encodeFrame(first, nullptr, 0, 1); // opens the encoder and the picture
            measure(names[preset], [&](FrameToken& token) { EncoderSinkTestAccess::convert(sink, token); });
            static_cast<IEncoderSink&>(sink).close();
        }
        for (const AVColorSpace matrix : {AVCOL_SPC_BT709, AVCOL_SPC_SMPTE170M}) {
            av::FramePtr yuv(av_frame_alloc());
            yuv->width = size.width;
            yuv->height = size.height;
            yuv->format = AV_PIX_FMT_YUV420P;
            yuv->colorspace = matrix;
            if (av_frame_get_buffer(yuv.get(), 32) < 0)
                return 1;
            measure(matrix == AVCOL_SPC_BT709 ? "one thread, BT.709" : "one thread, BT.601", [&](FrameToken& token) {
                rgbatoyuv::convert(reinterpret_cast<const std::uint8_t*>(token.data.constData()), token.bytesPerLine,
                                   token.width, token.height, yuv.get());
            });
        }
    }
    return 0;
}
