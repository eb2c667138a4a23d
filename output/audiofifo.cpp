#include "output/audiofifo.h"

#include <algorithm>

namespace {

// The taken samples are dropped once more than this many have piled up.
constexpr std::size_t kCompactAfterSamples = 8191;

} // namespace

void AudioFifo::append(const std::int16_t* samples, int frames)
{
    if (samples && frames > 0)
        m_samples.insert(m_samples.end(), samples, samples + std::size_t(frames) * kChannels);
    const std::size_t unread = unreadSamples();
    if (unread > kMaxUnreadSamples)
        m_readPos += unread - kMaxUnreadSamples;
    compact();
}

void AudioFifo::padShortFrame(int frames)
{
    const std::size_t need = std::size_t(std::max(frames, 0)) * kChannels;
    const std::size_t unread = unreadSamples();
    if (unread > 0 && unread < need)
        m_samples.resize(m_samples.size() + (need - unread), 0);
}

const std::int16_t* AudioFifo::take(int frames)
{
    compact();
    const std::size_t need = std::size_t(std::max(frames, 0)) * kChannels;
    if (need == 0 || unreadSamples() < need)
        return nullptr;
    const std::int16_t* out = m_samples.data() + m_readPos;
    m_readPos += need;
    return out;
}

void AudioFifo::clear()
{
    m_samples.clear();
    m_readPos = 0;
}

void AudioFifo::compact()
{
    if (m_readPos != 0 && (m_readPos > kCompactAfterSamples || m_readPos >= m_samples.size())) {
        m_samples.erase(m_samples.begin(), m_samples.begin() + std::ptrdiff_t(std::min(m_readPos, m_samples.size())));
        m_readPos = 0;
    }
}
