#include "support/fakeaudiosource.h"

#include "engine/previewaudiomixer.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace testsupport {

void FakeAudioSource::setChannelSignal(int channel, Signal s)
{
    std::lock_guard lock(m_mutex);
    m_channels.at(channel).signal = s;
}

void FakeAudioSource::setOverlaySignal(int slot, Signal s)
{
    std::lock_guard lock(m_mutex);
    m_overlays.at(slot).signal = s;
}

void FakeAudioSource::registerMixer(PreviewAudioMixer* mixer)
{
    std::lock_guard lock(m_mutex);
    m_mixer = mixer;
}

std::int64_t FakeAudioSource::totalFramesRead() const
{
    std::int64_t total = 0;
    for (int i = 0; i < 4; ++i)
        total += m_channelFrames[i].load() + m_overlayFrames[i].load();
    return total;
}

void FakeAudioSource::noteCall() const
{
    if (m_closed.load())
        m_callsAfterClose.fetch_add(1);
}

void FakeAudioSource::render(Track& track, float* out, int frames)
{
    const Signal& s = track.signal;
    for (int n = 0; n < frames; ++n) {
        float v;
        if (s.frequency > 0.0) {
            const double t = double(track.frames + n) / PreviewAudioMixer::kSampleRate;
            v = float(s.level * std::sin(2.0 * std::numbers::pi * s.frequency * t));
        } else {
            v = s.level + s.step * float(track.reads);
        }
        out[2 * n] = v;
        out[2 * n + 1] = v;
    }
    ++track.reads;
    track.frames += frames;
}

void FakeAudioSource::read(std::array<Track, 4>& tracks, std::array<std::atomic<std::int64_t>, 4>& taken,
                           int index, float* out, int frames)
{
    noteCall();
    if (!out || frames <= 0)
        return;
    std::lock_guard lock(m_mutex);
    if (index < 0 || index > 3) {
        std::fill(out, out + 2 * frames, 0.0f);
        return;
    }
    render(tracks[index], out, frames);
    taken[index].fetch_add(frames);
}

void FakeAudioSource::readChannelAudio(int channel, float* out, int frames)
{
    read(m_channels, m_channelFrames, channel, out, frames);
}

void FakeAudioSource::readOverlayAudio(int slot, float* out, int frames)
{
    read(m_overlays, m_overlayFrames, slot, out, frames);
}

int FakeAudioSource::programChannelIndex() const
{
    noteCall();
    return m_programChannel.load();
}

void FakeAudioSource::detachPreviewAudioMixer(PreviewAudioMixer* mixer)
{
    PreviewAudioMixer* registered = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (!mixer || mixer != m_mixer)
            return;
        registered = m_mixer;
        m_mixer = nullptr;
    }
    m_detachCalls.fetch_add(1);
    registered->detachSource();
}

} // namespace testsupport
