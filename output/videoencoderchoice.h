#pragma once

#include "avglue/avptr.h"
#include "output/encoderoptions.h"

#include <cstdint>

// Which video encoder a sink opens, and with which settings.
//
// Threads: any; the memory of the last hardware encoder that worked (and of
// a size no hardware encoder took) is shared by every sink of the process
// under its own lock.
namespace videoencoderchoice {

struct Request {
    int width = 0;  // even, at least 2
    int height = 0;
    double fps = 30.0;
    // The stream runs at a constant bit rate with millisecond stamps (an
    // FLV destination is part of the run).
    bool live = false;
    bool globalHeader = false;
    EncoderOptions options;
};

// HEVC above 4096 pixels in either direction, else H.264; hardware first
// (NVENC, QSV, AMF, the last one that worked first) unless software only,
// then the software encoder. Null when none opens.
av::CodecContextPtr open(const Request& request);

// Automatic video bit rate in kb/s for a picture of width x height at fps.
std::int64_t automaticBitrateKbps(double fps, int width, int height);

// A whole positive frame rate for fps (a time base of 1/0 is no rate).
int roundedFps(double fps);

} // namespace videoencoderchoice
