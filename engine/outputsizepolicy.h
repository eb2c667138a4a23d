#pragma once

#include <QSize>

// Pure output-size and bitrate policy: no state, any thread.

struct OutputSizeLimit {
    QSize maxSize{7680, 4320};
    bool anyAspect = false;
};

struct OutputResolutionSelection {
    static constexpr int kAutomatic = 0;
    static constexpr int kCustom = 1;
    int mode = kAutomatic; // 1 = custom size, anything else follows the source
    int width = -1;
    int height = -1;
};

struct OutputResolution {
    QSize basis{-1, -1};
    QSize effective{-1, -1};
    bool usedFallback = false;
    bool changed = false;
    bool valid = false;
};

struct EncodingRecommendation {
    QSize size{-1, -1};
    double fps = 30.0;
    int kbps = 7500;
    bool over4096 = false; // needs HEVC, on hardware
};

struct EffectiveOutput {
    OutputResolution resolution;
    EncodingRecommendation recommendation;
};

// Offered 16:9 output sizes, largest first.
inline constexpr QSize kOutputPresets[] = {
    {7680, 4320}, {3840, 2160}, {2560, 1440}, {1920, 1080}, {1280, 720}, {960, 540}, {640, 360},
};

constexpr int kMinFrameRate = 1;
constexpr int kMaxFrameRate = 60;

OutputSizeLimit defaultOutputSizeLimit();

// Even size rule: a positive dimension loses its lowest bit and is at least 2.
int evenDimension(int d);
QSize evenSize(QSize s);

// Largest even size of the source's shape inside the bounds; -1x-1 when any
// dimension is 0 or less.
QSize fitEvenSize(QSize source, QSize bounds, bool allowUpscale);

bool isSixteenByNine(QSize evenSize);

EncodingRecommendation recommendEncodingSettings(QSize size, double fps);

OutputResolution resolveOutputResolution(QSize sourceSize, OutputResolutionSelection selection,
                                         OutputSizeLimit limit, QSize fallback);

EffectiveOutput resolveEffectiveOutput(QSize sourceSize, OutputResolutionSelection selection,
                                       OutputSizeLimit limit, double fps, QSize fallback);
