#pragma once

#include <QString>

// One stream destination of an output run, in the row order of the output
// settings panel.
struct StreamTarget {
    QString url;   // trimmed publish URL
    QString muxer; // FFmpeg short muxer name: "flv" or "mpegts"
    int row = 0;   // destination row 0..3, reported back with every status word
};
