#pragma once

#include "avglue/avptr.h"
#include "engine/frametoken.h"
#include "engine/bandworkers.h"

#include <cstdint>
#include <memory>

// The encoder's picture: a program frame (RGBA) converted to the video
// encoder's YUV format and size, by the fast path of rgbatoyuv when it
// applies, else by a cached swscale context. The same frame handed over
// twice is converted once. One thread (the encode thread) owns it; the
// fast path splits a picture over a few band workers kept from one
// allocate() to the next.
class PictureConverter {
public:
    // A picture of w x h in `format`; the last conversion is forgotten.
    bool allocate(int w, int h, AVPixelFormat format);
    // Converts token into the picture; qualityPreset picks the scaler.
    bool convert(const FrameToken& token, int qualityPreset);
    AVFrame* frame() const { return yuvFrame.get(); }
    void reset();

private:
    bool scale(const FrameToken& token, int qualityPreset);

    av::FramePtr yuvFrame;
    std::unique_ptr<BandWorkers> bandWorkers;
    av::SwsPtr scaler;
    struct ScalerKey {
        int srcWidth = 0, srcHeight = 0, dstWidth = 0, dstHeight = 0;
        int dstFormat = AV_PIX_FMT_NONE;
        int flags = 0;
        bool operator==(const ScalerKey&) const = default;
    } scalerKey;
    bool scalerThreadsWarned = false;
    const FrameToken* lastConvertedToken = nullptr; // identity only, never dereferenced
    std::int64_t lastConvertedPtsUs = 0;
    std::uint64_t lastConvertedGeneration = 0;
};
