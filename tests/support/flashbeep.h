#pragma once

// Sound-to-picture timing read back from a recording whose source carries a
// white flash and a 1 kHz beep at the same media time: the onset of each
// flash and each beep, and the offset of each flash's nearest beep.

#include <QString>
#include <QStringList>

#include <vector>

namespace flashbeep {

struct Onsets {
    std::vector<double> flashes; // seconds in the file's timeline
    std::vector<double> beeps;
};

struct Pair {
    double flashSeconds = 0;
    double offsetMs = 0; // the beep's onset minus the flash's: positive when the sound is late
};

// A picture is a flash when its mean luma reaches this (the base picture of
// the clips is darkened to about 40, the flash is white, 235).
constexpr double kFlashLuma = 140.0;
// A 1 ms window is loud when its RMS reaches this (the beep's amplitude is
// 0.3, RMS 0.21, before any gain; quiet is silence plus the codec's noise).
constexpr double kBeepRms = 0.05;
// An onset is the first bright frame or loud window after this long without.
constexpr double kOnsetGapSeconds = 0.3;
// A beep further than this from a flash belongs to no flash.
constexpr double kPairWindowSeconds = 0.5;

// Decodes the whole file (8-bit video, float AAC audio); false when it
// cannot.
bool findOnsets(const QString& path, Onsets* out);

// Each flash with the nearest beep within the pair window, in time order.
std::vector<Pair> pairOnsets(const Onsets& onsets);

// The ffmpeg CLI arguments (after "-y -v error") of a clip of `seconds` at
// `fps` with a flash and a beep at each whole second, each 0.1 s long;
// `hue` tells clips apart.
QStringList clipArguments(int width, int height, int fps, int seconds, int hue, const QString& path);

} // namespace flashbeep
