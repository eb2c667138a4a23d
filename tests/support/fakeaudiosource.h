#pragma once

// A scripted stand-in for the frame pipeline's audio side: each channel and
// overlay slot plays a constant, a ramp or a sine, counts what the mixer
// takes, and can be "closed" to catch reads that arrive after a detach.

#include "engine/mixeraudiosource.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace testsupport {

class FakeAudioSource : public MixerAudioSource {
public:
    // Every sample of a read is level + step x (reads before this one), or,
    // with a frequency, level x sin(2 pi f t) continuing across reads.
    struct Signal {
        float level = 0.0f;
        float step = 0.0f;
        double frequency = 0.0;
    };

    void setChannelSignal(int channel, Signal s);
    void setOverlaySignal(int slot, Signal s);
    void setProgramChannel(int channel) { m_programChannel.store(channel); }
    // The mixer that detachPreviewAudioMixer accepts.
    void registerMixer(PreviewAudioMixer* mixer);

    // After close, every call into the source is counted as a fault.
    void close() { m_closed.store(true); }
    int callsAfterClose() const { return m_callsAfterClose.load(); }

    std::int64_t channelFramesRead(int channel) const { return m_channelFrames[channel].load(); }
    std::int64_t overlayFramesRead(int slot) const { return m_overlayFrames[slot].load(); }
    std::int64_t totalFramesRead() const;
    int detachCalls() const { return m_detachCalls.load(); }

    void readChannelAudio(int channel, float* out, int frames) override;
    void readOverlayAudio(int slot, float* out, int frames) override;
    int programChannelIndex() const override;
    void detachPreviewAudioMixer(PreviewAudioMixer* mixer) override;

private:
    struct Track {
        Signal signal;
        std::int64_t reads = 0;
        std::int64_t frames = 0;
    };
    void read(std::array<Track, 4>& tracks, std::array<std::atomic<std::int64_t>, 4>& taken, int index,
              float* out, int frames);
    void render(Track& track, float* out, int frames);
    void noteCall() const;

    mutable std::mutex m_mutex;
    // Guarded by m_mutex.
    std::array<Track, 4> m_channels;
    std::array<Track, 4> m_overlays;
    PreviewAudioMixer* m_mixer = nullptr;

    std::atomic<int> m_programChannel{-1};
    std::array<std::atomic<std::int64_t>, 4> m_channelFrames{};
    std::array<std::atomic<std::int64_t>, 4> m_overlayFrames{};
    std::atomic<bool> m_closed{false};
    mutable std::atomic<int> m_callsAfterClose{0};
    std::atomic<int> m_detachCalls{0};
};

} // namespace testsupport
