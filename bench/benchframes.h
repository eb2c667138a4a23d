#pragma once

// What the encoder sink benchmarks share: 1080p30 RGBA program frames that
// an encoder has to work on, a tone for the audio pull, and CPU time.

#include "engine/frametoken.h"

#include <QByteArray>

#include <sys/resource.h>

#include <cmath>
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

} // namespace bench
