#pragma once

#include "engine/frametoken.h"

#include <QString>

#include <cstdint>

// An encoder that takes composed program frames and writes them out.
// Only close() is called through this interface (by the encode worker when
// it ends); everything else is called on the concrete sink.
class IEncoderSink {
public:
    virtual ~IEncoderSink() = default;
    virtual bool open(const QString& recordPath, double fps) = 0;
    virtual void pushFrame(FrameTokenPtr&& frame, const std::int16_t* audio, int audioFrames) = 0;
    virtual void close() = 0;
};
