#include "fakeroutersink.h"

#include "output/steadyclock.h"

#include <chrono>

namespace testsupport {

void FakeRouterSink::closeGate()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gateClosed = true;
}

void FakeRouterSink::openGate()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gateClosed = false;
    }
    m_changed.notify_all();
}

bool FakeRouterSink::waitEncodedCount(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return int(m_encoded.size()) >= count; });
}

bool FakeRouterSink::waitEncodeEntered(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_entered > 0; });
}

std::vector<FakeRouterSink::Encoded> FakeRouterSink::encoded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_encoded;
}

bool FakeRouterSink::configure(const QString& path, const std::vector<StreamTarget>& t, double rate)
{
    recordPath = path;
    targets = t;
    fps = rate;
    return configureResult;
}

void FakeRouterSink::setOutputSize(int w, int h)
{
    width = w;
    height = h;
}

void FakeRouterSink::setEncoderOptions(const EncoderOptions& options)
{
    bitrateKbps = options.videoBitrateKbps;
    keyframeSeconds = options.keyframeIntervalSeconds;
    encoderMode = options.encoderMode;
    qualityPreset = options.qualityPreset;
}

void FakeRouterSink::setSegmentation(const SegmentOptions& options) { segments = options; }

bool FakeRouterSink::probeEncoder(int, int) { return probeResult; }

void FakeRouterSink::encodeFrame(FrameTokenPtr& frame, const std::int16_t*, int, std::int64_t generation)
{
    const std::int64_t takenNs = steadyNowNs();
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_entered;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_gateClosed || m_aborted; });
    if (m_aborted)
        return;
    m_encoded.push_back(Encoded{frame ? frame->ptsUs : -1, generation, m_pictureNs, takenNs});
    m_changed.notify_all();
}

void FakeRouterSink::abort()
{
    ++m_aborts;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aborted = true;
    }
    m_changed.notify_all();
}

} // namespace testsupport
