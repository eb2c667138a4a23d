#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Interleaved stereo 16-bit audio waiting for the AAC encoder. Taking
// samples moves a read position; the taken part is dropped now and then,
// not on every take. At most 15 seconds wait: older samples give way to
// new ones. One thread (the encode thread) owns it.
class AudioFifo {
public:
    static constexpr int kChannels = 2;
    static constexpr std::size_t kMaxUnreadSamples = 1440000; // 15 s of stereo at 48 kHz

    void append(const std::int16_t* samples, int frames);
    std::int64_t unreadFrames() const { return std::int64_t(unreadSamples()) / kChannels; }
    // Less than `frames` unread: silence makes up the rest (the last, short
    // frame before the encoder is flushed).
    void padShortFrame(int frames);
    // The next `frames` frames, taken; null when fewer are unread. Valid
    // until the next call.
    const std::int16_t* take(int frames);
    void clear();

private:
    std::size_t unreadSamples() const { return m_samples.size() - std::min(m_readPos, m_samples.size()); }
    void compact();

    std::vector<std::int16_t> m_samples;
    std::size_t m_readPos = 0;
};
