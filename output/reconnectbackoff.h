#pragma once

#include <algorithm>
#include <cstdint>

// How long a stream destination waits before it opens again: the base delay
// doubled per attempt already made, up to a limit.
struct ReconnectBackoff {
    std::int64_t baseMs = 0;
    int maxDoublings = 0;
    std::int64_t capMs = 0;

    constexpr std::int64_t delayMs(int attempts) const
    {
        return std::min(baseMs << std::clamp(attempts, 0, maxDoublings), capMs);
    }
};

// A destination whose write failed: it was up, so the first try comes soon.
inline constexpr ReconnectBackoff kAfterWriteFailure{400, 8, 90000};
// A destination whose open failed again.
inline constexpr ReconnectBackoff kAfterOpenFailure{500, 10, 90000};
