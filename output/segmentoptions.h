#pragma once

#include <QtGlobal>

// How a recording is split into files. A limit of 0 or less is off.
struct SegmentOptions {
    bool enabled = true;
    qint64 durationMs = 1800000;       // 30 minutes
    qint64 sizeBytes = 4294967296LL;   // 4 GiB
};
