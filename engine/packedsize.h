#pragma once

#include <QSize>

#include <cstdint>

// A width and height in one word (width high, height low), so that a size
// shared across threads is read and written as one atomic value and never
// seen half-updated.
inline std::uint64_t packSize(int width, int height)
{
    return (std::uint64_t(std::uint32_t(width)) << 32) | std::uint32_t(height);
}

inline QSize unpackSize(std::uint64_t packed)
{
    return QSize(int(std::uint32_t(packed >> 32)), int(std::uint32_t(packed)));
}
