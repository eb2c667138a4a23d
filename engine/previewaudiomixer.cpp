#include "engine/previewaudiomixer.h"

#include "engine/audioqueueiodevice.h"
#include "engine/mixeraudiosource.h"
#include "output/steadyclock.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float kMinRecordGain = 0.25f;
constexpr float kMaxRecordGain = 4.0f;

float clampUnit(float gain)
{
    // NaN counts as silence rather than poisoning every later sample.
    if (!(gain > 0.0f))
        return 0.0f;
    return std::min(gain, 1.0f);
}

bool validIndex(int i)
{
    return i >= 0 && i < PreviewAudioMixer::kSources;
}

// Soft clip to signed 16-bit: sums above full scale bend instead of wrapping.
std::int16_t softClip(float x)
{
    return std::int16_t(std::lround(std::tanh(x) * 32767.0f));
}

void addScaled(float* bus, const float* x, float gain, int samples)
{
    for (int k = 0; k < samples; ++k)
        bus[k] += x[k] * gain;
}

} // namespace

PreviewAudioMixer::PreviewAudioMixer(MixerAudioSource* source, QObject* parent)
    : QObject(parent)
    , m_source(source)
{
    for (int i = 0; i < kSources; ++i) {
        m_channelLocalGain[i].store(0.5f);
        m_overlayLocalGain[i].store(0.2f);
        m_overlayProgramGain[i].store(0.2f);
        m_overlayInProgram[i].store(false);
    }
}

PreviewAudioMixer::~PreviewAudioMixer()
{
    m_stopping.store(true);
    MixerAudioSource* source = nullptr;
    {
        QMutexLocker lock(&m_sourceMutex);
        source = m_source;
        m_source = nullptr;
    }
    // Outside the lock: the source answers by calling detachSource.
    if (source)
        source->detachPreviewAudioMixer(this);
    stopPreview();
}

void PreviewAudioMixer::startPreview()
{
    if (m_device || m_timer)
        return;
    m_stopping.store(false);

    auto* device = new AudioQueueIODevice(this);
    device->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    {
        QMutexLocker lock(&m_deviceMutex);
        m_device = device;
    }

    if (!m_audioSink) {
        const QAudioDevice output = QMediaDevices::defaultAudioOutput();
        // Without an output device the mixer still runs: the tap keeps
        // working and the device queue just fills up to its cap.
        if (!output.isNull()) {
            QAudioFormat format;
            format.setSampleRate(kSampleRate);
            format.setChannelCount(kChannels);
            format.setSampleFormat(QAudioFormat::Int16);
            m_audioSink = new QAudioSink(output, format, this);
            m_audioSink->setBufferSize(kSinkBufferBytes);
            m_audioSink->setVolume(1.0);
            m_audioSink->start(m_device);
        }
    }

    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &PreviewAudioMixer::mixDueFrames);
    m_framesMixed = 0;
    m_clockStartNs = steadyNowNs();
    {
        QMutexLocker lock(&m_tapMutex);
        m_tapClockStartNs = m_clockStartNs;
        m_programTap.resize(0);
        m_programTapReadPos = 0;
        m_tapEndFrame = 0;
    }
    m_timer->start();
}

void PreviewAudioMixer::stopPreview()
{
    m_stopping.store(true);
    {
        QMutexLocker lock(&m_tapMutex);
        m_tapClockStartNs = 0;
    }
    if (m_timer) {
        m_timer->stop();
        delete m_timer;
        m_timer = nullptr;
    }
    if (m_audioSink) {
        m_audioSink->stop();
        delete m_audioSink;
        m_audioSink = nullptr;
    }
    AudioQueueIODevice* device = nullptr;
    {
        QMutexLocker lock(&m_deviceMutex);
        device = m_device;
        m_device = nullptr;
    }
    delete device;
}

void PreviewAudioMixer::stopAndReturnToMainThread()
{
    stopPreview();
    QCoreApplication* app = QCoreApplication::instance();
    if (app && thread() != app->thread())
        moveToThread(app->thread());
}

void PreviewAudioMixer::detachSource()
{
    QMutexLocker lock(&m_sourceMutex);
    m_source = nullptr;
}

void PreviewAudioMixer::setChannelLocalGain(int channel, float gain)
{
    if (validIndex(channel))
        m_channelLocalGain[channel].store(clampUnit(gain), std::memory_order_relaxed);
}

void PreviewAudioMixer::setProgramChannelGain(float gain)
{
    m_programChannelGain.store(clampUnit(gain), std::memory_order_relaxed);
}

void PreviewAudioMixer::setOverlayLocalGain(int slot, float gain)
{
    if (validIndex(slot))
        m_overlayLocalGain[slot].store(clampUnit(gain), std::memory_order_relaxed);
}

void PreviewAudioMixer::setOverlayProgramGain(int slot, float gain)
{
    if (validIndex(slot))
        m_overlayProgramGain[slot].store(clampUnit(gain), std::memory_order_relaxed);
}

void PreviewAudioMixer::setOverlayInProgram(int slot, bool on)
{
    if (validIndex(slot))
        m_overlayInProgram[slot].store(on, std::memory_order_relaxed);
}

void PreviewAudioMixer::setProgramRecordLinearGain(float gain)
{
    const float g = std::isnan(gain) ? kMinRecordGain : std::clamp(gain, kMinRecordGain, kMaxRecordGain);
    m_programRecordLinearGain.store(g, std::memory_order_relaxed);
}

void PreviewAudioMixer::setProgramTapEnabled(bool on)
{
    const bool was = m_programTapEnabled.exchange(on);
    if (on && !was)
        clearProgramTap();
}

void PreviewAudioMixer::clearProgramTap()
{
    QMutexLocker lock(&m_tapMutex);
    m_programTap.resize(0);
    m_programTapReadPos = 0;
}

void PreviewAudioMixer::mixBuses(MixerAudioSource* source, int frames, float* monitor, float* program)
{
    const int samples = frames * kChannels;
    std::fill(monitor, monitor + samples, 0.0f);
    std::fill(program, program + samples, 0.0f);
    float* x = m_readBuffer.data();

    const int programChannel = source->programChannelIndex();
    const float programGain = m_programChannelGain.load(std::memory_order_relaxed);
    for (int i = 0; i < kSources; ++i) {
        const float g = m_channelLocalGain[i].load(std::memory_order_relaxed);
        if (i == programChannel && programGain > 0.0f) {
            source->readChannelAudio(i, x, frames);
            if (g > 0.0f)
                addScaled(monitor, x, g, samples);
            addScaled(program, x, programGain, samples);
        } else if (g > 0.0f) {
            source->readChannelAudio(i, x, frames);
            addScaled(monitor, x, g, samples);
        }
    }

    for (int j = 0; j < kSources; ++j) {
        const float l = m_overlayLocalGain[j].load(std::memory_order_relaxed);
        const float p = m_overlayProgramGain[j].load(std::memory_order_relaxed);
        const bool toProgram = m_overlayInProgram[j].load(std::memory_order_relaxed) && p > 0.0f;
        // A source heard nowhere is not read, so its queued audio waits.
        if (!(l > 0.0f) && !toProgram)
            continue;
        source->readOverlayAudio(j, x, frames);
        if (l > 0.0f)
            addScaled(monitor, x, l, samples);
        if (toProgram)
            addScaled(program, x, p, samples);
    }
}

void PreviewAudioMixer::mixDueFrames()
{
    // Timer events come late now and then on a busy machine, and a late one
    // does not make up for those it missed. The decoders hand out a file's
    // sound by the steady clock its pictures keep, and the encoder takes
    // the tap by that clock too: each event mixes the sound due since the
    // last one, so none is left out of the program (the recording's sound
    // would otherwise run ahead of its pictures by it).
    const std::int64_t due = (steadyNowNs() - m_clockStartNs) * kSampleRate / 1000000000;
    // After a stall of more than a second the rest is given up.
    m_framesMixed = std::max(m_framesMixed, due - kMaxCatchUpFrames);
    const int frames = int(due - m_framesMixed);
    if (frames <= 0)
        return;
    mixFrames(frames, m_framesMixed);
    m_framesMixed += frames;
}

void PreviewAudioMixer::mixTick() { mixFrames(kTickFrames, kUntimedFrame); }

void PreviewAudioMixer::mixFrames(int frames, std::int64_t firstFrame)
{
    if (!m_device || frames <= 0)
        return;
    const size_t samples = size_t(frames) * kChannels;
    if (m_monitorBus.size() < samples) {
        m_monitorBus.resize(samples);
        m_programBus.resize(samples);
        m_readBuffer.resize(samples);
        m_speakerPcm.resize(samples);
        m_tapPcm.resize(samples);
    }
    {
        QMutexLocker lock(&m_sourceMutex);
        if (!m_source)
            return;
        mixBuses(m_source, frames, m_monitorBus.data(), m_programBus.data());
    }

    const float* monitor = m_monitorBus.data();
    const float* program = m_programBus.data();
    std::int16_t* speaker = m_speakerPcm.data();
    // The operator hears both buses: the program channel at its monitor
    // gain plus its program gain.
    for (size_t k = 0; k < samples; ++k)
        speaker[k] = softClip(monitor[k] + program[k]);
    m_device->enqueue(reinterpret_cast<const char*>(speaker), int(samples * sizeof(std::int16_t)));

    if (!m_programTapEnabled.load())
        return;
    const float recordGain = m_programRecordLinearGain.load(std::memory_order_relaxed);
    std::int16_t* tap = m_tapPcm.data();
    for (size_t k = 0; k < samples; ++k)
        tap[k] = softClip(program[k] * recordGain);
    appendToTap(tap, frames, firstFrame);
}

void PreviewAudioMixer::appendToTap(const std::int16_t* tap, int frames, std::int64_t firstFrame)
{
    QMutexLocker lock(&m_tapMutex);
    compactTapLocked();
    const qsizetype unread = m_programTap.size() - m_programTapReadPos;
    if (firstFrame == kUntimedFrame) {
        firstFrame = m_tapEndFrame;
        m_tapClockStartNs = 0; // no longer known when the tap's sound was mixed
    } else if (unread > 0 && firstFrame > m_tapEndFrame) {
        // The timer gave up sound after a long stall: silence keeps each
        // frame of the tap at the time it was mixed for.
        const std::int64_t gap = std::min<std::int64_t>(firstFrame - m_tapEndFrame, kTapCapBytes / kBytesPerFrame);
        m_programTap.append(QByteArray(qsizetype(gap * kBytesPerFrame), '\0'));
    }
    m_programTap.append(reinterpret_cast<const char*>(tap), qsizetype(frames) * kBytesPerFrame);
    m_tapEndFrame = firstFrame + frames;
    while (m_programTap.size() - m_programTapReadPos > kTapCapBytes) {
        m_programTapReadPos = int(m_programTap.size()) - kTapCapBytes;
        compactTapLocked();
    }
}

void PreviewAudioMixer::readProgramAudio(std::int16_t* dst, int frames)
{
    readProgramAudioFrom(dst, frames, kNoTime);
}

void PreviewAudioMixer::readProgramAudioFrom(std::int16_t* dst, int frames, std::int64_t fromNs)
{
    if (!dst || frames <= 0)
        return;
    const qsizetype wanted = qsizetype(frames) * kBytesPerFrame;
    char* out = reinterpret_cast<char*>(dst);
    if (m_stopping.load()) {
        std::memset(out, 0, size_t(wanted));
        return;
    }
    QMutexLocker lock(&m_tapMutex);
    qsizetype silence = 0;
    if (fromNs != kNoTime && m_tapClockStartNs != 0) {
        const std::int64_t unreadFrames = (m_programTap.size() - m_programTapReadPos) / kBytesPerFrame;
        const std::int64_t headFrame = m_tapEndFrame - unreadFrames;
        const std::int64_t wantFrame = (fromNs - m_tapClockStartNs) * kSampleRate / 1000000000;
        const std::int64_t lead = wantFrame - headFrame;
        // Within a few milliseconds the sound is taken as it comes: moving
        // it for less would only add clicks.
        if (lead > kAlignToleranceFrames) {
            m_programTapReadPos += int(std::min(lead, unreadFrames) * kBytesPerFrame);
            compactTapLocked();
        } else if (lead < -kAlignToleranceFrames) {
            silence = std::min<qsizetype>(-lead * kBytesPerFrame, wanted);
            std::memset(out, 0, size_t(silence));
        }
    }
    copyFromTapLocked(out + silence, wanted - silence);
}

void PreviewAudioMixer::copyFromTapLocked(char* out, qsizetype wanted)
{
    const qsizetype unread = std::max<qsizetype>(0, m_programTap.size() - m_programTapReadPos);
    const qsizetype copied = std::min(unread, wanted);
    if (copied > 0) {
        std::memcpy(out, m_programTap.constData() + m_programTapReadPos, size_t(copied));
        m_programTapReadPos += int(copied);
        compactTapLocked();
    }
    std::memset(out + copied, 0, size_t(wanted - copied));
}

std::int64_t PreviewAudioMixer::playedFrames() const
{
    QMutexLocker lock(&m_deviceMutex);
    return m_device ? m_device->playedFrames() : 0;
}

void PreviewAudioMixer::compactTapLocked()
{
    if (m_programTapReadPos <= 0)
        return;
    if (m_programTapReadPos >= m_programTap.size()) {
        m_programTap.resize(0); // keeps the capacity
        m_programTapReadPos = 0;
    } else if (m_programTapReadPos >= kTapCompactBytes || m_programTapReadPos * 2 >= m_programTap.size()) {
        m_programTap.remove(0, m_programTapReadPos);
        m_programTapReadPos = 0;
    }
}
