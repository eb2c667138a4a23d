#include "engine/outputsizepolicy.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace {

constexpr double kSixteenByNineTolerance = 0.01;
constexpr double kMinGivenFps = 0.1;
constexpr double kDefaultFps = 30.0;
constexpr double kHighFrameRate = 59.0;
constexpr int kHevcOnlyDimension = 4096;

struct BitrateRow {
    std::int64_t minPixels;
    int kbpsHighFps;
    int kbpsNormalFps;
};

// Checked top to bottom; every preset falls in the row that names it.
constexpr BitrateRow kBitrateTable[] = {
    {33177600, 180000, 120000}, // 7680x4320
    {8294400, 51000, 30000},    // 3840x2160
    {3686400, 24000, 16000},    // 2560x1440
    {2073600, 12000, 7500},     // 1920x1080
    {921600, 6000, 4500},       // 1280x720
    {518400, 4500, 3000},       // 960x540
    {0, 2500, 1800},
};

bool validSize(QSize s) { return s.width() > 0 && s.height() > 0; }

// A landscape limit is turned portrait for a portrait size.
QSize orientLimit(QSize limit, QSize size)
{
    if (limit.height() < limit.width() && size.height() > size.width())
        return QSize(limit.height(), limit.width());
    return limit;
}

} // namespace

OutputSizeLimit defaultOutputSizeLimit() { return OutputSizeLimit{}; }

int evenDimension(int d) { return std::max(2, d & ~1); }

QSize evenSize(QSize s) { return QSize(evenDimension(s.width()), evenDimension(s.height())); }

QSize fitEvenSize(QSize source, QSize bounds, bool allowUpscale)
{
    if (!validSize(source) || !validSize(bounds))
        return QSize(-1, -1);
    double s = std::min(double(bounds.height()) / source.height(), double(bounds.width()) / source.width());
    if (!allowUpscale)
        s = std::min(s, 1.0);
    const int w = int(std::floor(source.width() * s));
    const int h = int(std::floor(source.height() * s));
    return QSize(evenDimension(w), evenDimension(h));
}

bool isSixteenByNine(QSize s)
{
    if (!validSize(s))
        return false;
    return std::abs(double(s.width()) / double(s.height()) - 16.0 / 9.0) <= kSixteenByNineTolerance;
}

EncodingRecommendation recommendEncodingSettings(QSize size, double fps)
{
    EncodingRecommendation r;
    r.fps = fps > kMinGivenFps ? fps : kDefaultFps;
    const bool highFps = r.fps >= kHighFrameRate;
    if (!validSize(size)) {
        r.size = QSize(-1, -1);
        r.over4096 = false;
        r.kbps = highFps ? 12000 : 7500;
        return r;
    }
    r.size = evenSize(size);
    const std::int64_t pixels = std::int64_t(r.size.width()) * r.size.height();
    for (const BitrateRow& row : kBitrateTable) {
        if (pixels >= row.minPixels) {
            r.kbps = highFps ? row.kbpsHighFps : row.kbpsNormalFps;
            break;
        }
    }
    r.over4096 = r.size.width() > kHevcOnlyDimension || r.size.height() > kHevcOnlyDimension;
    return r;
}

OutputResolution resolveOutputResolution(QSize sourceSize, OutputResolutionSelection selection,
                                         OutputSizeLimit limit, QSize fallback)
{
    OutputResolution result;
    if (!validSize(limit.maxSize))
        return result;
    const QSize evenLimit = evenSize(limit.maxSize);
    const bool haveSource = sourceSize.width() >= 1 && sourceSize.height() >= 1;

    if (selection.mode == OutputResolutionSelection::kCustom) {
        if (selection.width <= 0 || selection.height <= 0)
            return result;
        const QSize custom = evenSize(QSize(selection.width, selection.height));
        if (!limit.anyAspect && !isSixteenByNine(custom))
            return result;
        const QSize oriented = orientLimit(evenLimit, custom);
        if (custom.height() > oriented.height() || custom.width() > oriented.width())
            return result;
        result.effective = custom;
        result.basis = haveSource ? evenSize(sourceSize) : QSize(-1, -1);
        result.valid = true;
        return result;
    }

    QSize basis;
    if (haveSource) {
        basis = evenSize(sourceSize);
    } else {
        result.usedFallback = true;
        if (!validSize(fallback))
            return result;
        basis = evenSize(fallback);
    }
    result.basis = basis;

    if (limit.anyAspect || isSixteenByNine(basis)) {
        result.effective = fitEvenSize(basis, orientLimit(evenLimit, basis), false);
    } else {
        const std::int64_t basisPixels = std::int64_t(basis.width()) * basis.height();
        bool found = false;
        for (const QSize& preset : kOutputPresets) {
            if (preset.width() <= evenLimit.width() && preset.height() <= evenLimit.height()
                && std::int64_t(preset.width()) * preset.height() <= basisPixels) {
                result.effective = preset;
                found = true;
                break;
            }
        }
        if (!found)
            result.effective = fitEvenSize(QSize(640, 360), evenLimit, false);
    }
    result.changed = result.effective != basis;
    result.valid = validSize(result.effective);
    return result;
}

EffectiveOutput resolveEffectiveOutput(QSize sourceSize, OutputResolutionSelection selection,
                                       OutputSizeLimit limit, double fps, QSize fallback)
{
    EffectiveOutput out;
    out.resolution = resolveOutputResolution(sourceSize, selection, limit, fallback);
    if (out.resolution.valid)
        out.recommendation = recommendEncodingSettings(out.resolution.effective, fps);
    return out;
}
