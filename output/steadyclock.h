#pragma once

#include <chrono>
#include <cstdint>

// Nanoseconds of the steady clock; the time base of every deadline the
// encoder sink and its network workers keep as a plain integer.
inline std::int64_t steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
