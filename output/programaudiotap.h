#pragma once

#include <cstdint>
#include <climits>

// The program audio an output reads while it encodes. The router sees only
// this, so output does not depend on how or where the program bus is mixed.
//
// Threads: the tap switch is called from the GUI thread or the output stop
// task; readProgramAudio runs on the encode worker. Implementations guard
// their state for that.
class ProgramAudioTap {
public:
    static constexpr int kBytesPerFrame = 4; // stereo signed 16-bit

    // Switching the tap on must drop older audio, so the encoder never
    // receives sound from before its start.
    virtual void setProgramTapEnabled(bool on) = 0;
    virtual void clearProgramTap() = 0;
    // Exactly frames x 2 samples into dst, silence where no audio is queued.
    virtual void readProgramAudio(std::int16_t* dst, int frames) = 0;
    // As readProgramAudio, for the sound mixed from steady time fromNs
    // (nanoseconds of std::chrono::steady_clock) on: a tap that knows when
    // its sound was mixed drops what is older and gives silence for what it
    // no longer holds, so the sound keeps its place beside the pictures of
    // the same moment. kNoTime reads like readProgramAudio.
    static constexpr std::int64_t kNoTime = INT64_MIN;
    virtual void readProgramAudioFrom(std::int16_t* dst, int frames, std::int64_t fromNs) = 0;

protected:
    ~ProgramAudioTap() = default;
};
