#pragma once

#include <algorithm>
#include <cstdint>

// How the program is encoded, as the output settings give it.
struct EncoderOptions {
    enum Mode { Automatic = 0, HardwareOnly = 1, SoftwareOnly = 2 };
    enum Preset { Performance = 0, Balanced = 1, Quality = 2 };

    static constexpr int kMaxBitrateKbps = 200000;
    static constexpr int kMinKeyframeIntervalSeconds = 1;
    static constexpr int kMaxKeyframeIntervalSeconds = 4;

    int videoBitrateKbps = 0; // 0 = automatic for the picture size and rate
    int keyframeIntervalSeconds = 2;
    int encoderMode = Automatic;
    int qualityPreset = Balanced;

    // The same options brought into their ranges.
    EncoderOptions clamped() const
    {
        return {std::clamp(videoBitrateKbps, 0, kMaxBitrateKbps),
                std::clamp(keyframeIntervalSeconds, kMinKeyframeIntervalSeconds, kMaxKeyframeIntervalSeconds),
                std::clamp(encoderMode, int(Automatic), int(SoftwareOnly)),
                std::clamp(qualityPreset, int(Performance), int(Quality))};
    }
    bool operator==(const EncoderOptions&) const = default;
};

// Picture sizes the output treats differently.
namespace picturesize {
// Above this width or height only hardware HEVC encodes in real time.
inline constexpr int kMaxH264Dimension = 4096;
inline constexpr std::int64_t kFullHdPixels = 2073600; // 1920 x 1080
inline constexpr std::int64_t kUhdPixels = 8294400;    // 3840 x 2160
inline constexpr std::int64_t kBelow8kPixels = 33177599; // one pixel short of 7680 x 4320
} // namespace picturesize
