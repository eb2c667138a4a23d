#pragma once

#include <QString>

// One stream destination of an output run, as the output settings give it.
struct StreamTarget {
    QString url;   // trimmed publish URL
    QString muxer; // FFmpeg short muxer name ("flv" for RTMP rows, "mpegts" otherwise)
    int row = 0;   // destination row 0..3, reported back with every status word
};
