#pragma once

#include <QByteArray>
#include <QMetaType>

#include <cstdint>
#include <memory>

// One video picture in RGBA8888. Created only by a FramePool; handed around
// as a FrameTokenPtr whose deleter returns it to the pool it came from.
//
// Invariants a consumer may check: pixelFormat is kRgba8888, bytesPerLine is
// at least width x 4, and data holds at least bytesPerLine x height bytes.
struct FrameToken {
    static constexpr std::uint8_t kRgba8888 = 1;

    std::int64_t ptsUs = 0;
    std::uint64_t generation = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint8_t pixelFormat = kRgba8888;
    QByteArray data;
    std::int32_t bytesPerLine = 0;
    std::uint64_t reserved = 0;
};

using FrameTokenPtr = std::shared_ptr<FrameToken>;

// True when the token holds a picture that may be read as RGBA8888:
// positive size, format tag 1, a row stride of at least width x 4 and a
// buffer large enough for every row.
bool isValidFrameToken(const FrameToken& token);
inline bool isValidFrameToken(const FrameTokenPtr& token) { return token && isValidFrameToken(*token); }

// Registers FrameTokenPtr under the name "FrameTokenPtr" for queued signals.
void registerFrameTokenMetaType();

Q_DECLARE_METATYPE(FrameTokenPtr)
