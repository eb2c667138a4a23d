#pragma once

#include <cstdint>

// How a recording is split into files. A limit of 0 or less is off.
struct SegmentOptions {
    bool enabled = true;
    std::int64_t durationMs = 1800000;       // 30 minutes
    std::int64_t sizeBytes = 4294967296LL;   // 4 GiB
};
