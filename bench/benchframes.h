#pragma once

// What the encoder sink benchmarks share: 1080p30 RGBA program frames that
// an encoder has to work on, a tone for the audio pull, and CPU time.

#include "engine/frametoken.h"
#include "output/ffmpegencodersink.h"

#include <QByteArray>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <cstdint>
#include <memory>
#include <vector>

namespace bench {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFps = 30;
constexpr int kDistinctFrames = 16;

inline double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Moving gradients with a little texture: something an encoder has to work on.
inline std::vector<FrameTokenPtr> makeFrames()
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

// Drives a configured sink the way the router does: one frame per frame
// interval on an encode thread, then close there; afterFrame(i) runs on the
// encode thread after frame i. Returns the CPU seconds of this process.
inline double driveSinkCpuSeconds(FfmpegEncoderSink& sink, int frameCount, const std::vector<FrameTokenPtr>& frames,
                                  const std::function<void(int)>& afterFrame = {})
{
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
            if (afterFrame)
                afterFrame(i);
        }
        static_cast<IEncoderSink&>(sink).close();
    });
    encodeThread.join();
    return cpuSeconds(RUSAGE_SELF) - before;
}

// Runs a shell command with the raw RGBA frames on its standard input;
// returns the CPU seconds it used.
inline double pipeFramesCpuSeconds(const QByteArray& command, int frameCount, const std::vector<FrameTokenPtr>& frames)
{
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

} // namespace bench
