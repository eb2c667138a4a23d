#include "output/streampublisher.h"

#include "output/reconnectbackoff.h"
#include "output/steadyclock.h"

#include <QDebug>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// A queue holding more than this many packets is dropped when one more comes.
constexpr std::size_t kQueueDropAbove = 95;
// Congestion is over once no more than this many remain after taking one.
constexpr std::size_t kCongestionClearedAt = 24;
constexpr auto kWorkerIdleWait = std::chrono::milliseconds(100);

constexpr std::int64_t kLateReanchorNs = 250000000;
constexpr std::int64_t kPacingSleepStepNs = 10000000;

// A destination that does not answer within this long is reopened.
constexpr std::int64_t kIoTimeoutUs = 3000000;

constexpr auto kJoinStep = std::chrono::milliseconds(100);
constexpr int kJoinStepMs = 100;
constexpr int kStillStoppingWarnMs = 5000;

std::int64_t packetTimeUs(const AVPacket* packet, AVRational timeBase)
{
    const std::int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    return av_rescale_q(t, timeBase, AVRational{1, 1000000});
}

bool isVideoKeyFrame(const QueuedPacket& entry)
{
    return entry.isVideo && entry.packet && (entry.packet->flags & AV_PKT_FLAG_KEY);
}

} // namespace

StreamPublisher::StreamPublisher(int row, const QByteArray& url, const QByteArray& muxer, MuxStreams streams,
                                 std::int64_t sessionSeq, StatusCallback status)
    : m_row(row), m_url(url), m_muxer(muxer), m_status(std::move(status)), m_session(sessionSeq),
      m_streams(std::move(streams)), m_nextAttemptNs(steadyNowNs())
{
}

StreamPublisher::~StreamPublisher()
{
    if (m_worker.joinable()) {
        abort();
        finish();
    }
}

void StreamPublisher::report(const char* status)
{
    if (m_status)
        m_status(m_row, QString::fromLatin1(status));
}

void StreamPublisher::start()
{
    if (m_worker.joinable())
        return;
    if (stopping()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = false;
        m_workerDone = false;
    }
    report("connecting");
    try {
        m_worker = std::thread([this] {
            run();
            // A stop (not an abort) ends the stream properly: the muxer's
            // tail, held back until now, completes the last frame at the
            // receiver. A stalled receiver cannot hold this up: `m_aborted`
            // interrupts it.
            if (m_connection.isOpen() && !m_aborted.load())
                m_connection.close(true);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_workerDone = true;
            m_wake.notify_all();
        });
        return;
    } catch (const std::system_error& error) {
        qWarning() << "FfmpegEncoderSink: network worker could not start for row" << m_row << error.what();
    }
    // Nothing will ever open this destination: its row must not keep
    // saying "connecting".
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    report("stopped");
}

void StreamPublisher::enqueue(const AVPacket* packet, const QueuedPacket& descriptor)
{
    if (stopping() || !packet)
        return;
    av::PacketPtr clone(av_packet_clone(packet));
    if (!clone)
        return;
    const bool keyFrame = descriptor.isVideo && (packet->flags & AV_PKT_FLAG_KEY);
    std::uint64_t resets = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (descriptor.sessionSeq != m_session.load())
            return;
        if (keyFrame)
            m_waitKeyframe = false;
        else if (m_waitKeyframe)
            return;
        if (m_queue.size() > kQueueDropAbove) {
            m_queue.clear();
            m_congested = true;
            m_waitKeyframe = !keyFrame;
            resets = ++m_queueResets;
        }
        if (!m_waitKeyframe) {
            m_queue.push_back(QueuedPacket{std::move(clone), descriptor.isVideo, descriptor.timeBase,
                                           descriptor.codecId, descriptor.frameRate, descriptor.sampleRate,
                                           descriptor.frameSize, descriptor.sessionSeq});
            m_wake.notify_one();
        }
    }
    if (resets > 0) {
        if (resets <= 5 || resets % 50 == 0)
            qWarning() << "FfmpegEncoderSink: network mux queue reset; count" << resets;
        report("congested");
    }
}

void StreamPublisher::replaceVideo(MuxStreams streams)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (streams.video)
        m_streams = std::move(streams);
    else
        qWarning() << "FfmpegEncoderSink: failed to refresh cached video codec parameters";
    m_queue.clear();
    m_resetRequested = true;
    m_waitKeyframe = true;
    m_wake.notify_all();
}

void StreamPublisher::startSession(std::int64_t sessionSeq)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_session = sessionSeq;
    m_queue.clear();
    m_waitKeyframe = true;
    m_wake.notify_all();
}

void StreamPublisher::abort()
{
    m_aborted = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_queue.clear();
    m_wake.notify_all();
}

void StreamPublisher::requestStop()
{
    m_stopping = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
    m_wake.notify_all();
}

bool StreamPublisher::finish()
{
    bool hadToAbort = false;
    if (m_worker.joinable()) {
        int waitedMs = 0;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_wake.wait_for(lock, kJoinStep, [this] { return m_workerDone; })) {
            waitedMs += kJoinStepMs;
            // A worker still inside FFmpeg is released by the interrupt
            // callback, which watches `m_aborted`.
            m_aborted = true;
            hadToAbort = true;
            m_wake.notify_all();
            if (waitedMs == kStillStoppingWarnMs)
                qWarning() << "FfmpegEncoderSink: network worker still stopping after 5 seconds";
        }
        lock.unlock();
        m_worker.join();
    }
    m_connection.close(false);
    report("stopped");
    return hadToAbort;
}

void StreamPublisher::run()
{
    for (;;) {
        QueuedPacket entry;
        bool reset = false;
        bool canClear = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto turnStart = std::chrono::steady_clock::now();
            if (m_queue.empty() && !m_stop)
                m_wake.wait_until(lock, turnStart + kWorkerIdleWait, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) {
                m_queue.clear();
                return;
            }
            reset = m_resetRequested;
            m_resetRequested = false;
            if (!m_queue.empty()) {
                entry = std::move(m_queue.front());
                m_queue.pop_front();
                canClear = m_congested && m_queue.size() <= kCongestionClearedAt;
            }
        }
        if (stopping()) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.clear();
            return;
        }
        if (entry.packet && entry.sessionSeq != m_session.load())
            continue;
        if (reset) {
            // The encoder changed: the connection starts again with its streams.
            closeConnection();
            m_reconnectPending = true;
            m_nextAttemptNs = steadyNowNs();
            continue;
        }
        if (!m_connection.isOpen() && tryReconnect())
            m_anchored = false;
        if (!entry.packet || !m_connection.isOpen())
            continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_waitKeyframe) {
                if (!isVideoKeyFrame(entry))
                    continue;
                m_waitKeyframe = false;
            }
        }
        if (paceAndWrite(entry) && canClear) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_congested = false;
            }
            report("online");
        }
    }
}

bool StreamPublisher::paceAndWrite(QueuedPacket& entry)
{
    if (!waitUntilDue(entry) || m_aborted.load() || entry.sessionSeq != m_session.load())
        return false;
    return write(entry);
}

bool StreamPublisher::waitUntilDue(const QueuedPacket& entry)
{
    const AVPacket* packet = entry.packet.get();
    if (entry.timeBase.num <= 0 || entry.timeBase.den <= 0
        || (packet->dts == AV_NOPTS_VALUE && packet->pts == AV_NOPTS_VALUE))
        return true;
    const std::int64_t t = packetTimeUs(packet, entry.timeBase);
    const std::int64_t now = steadyNowNs();
    std::int64_t due = now;
    const bool firstOfTimeline = !m_anchored || m_anchorSeq != entry.sessionSeq;
    if (!firstOfTimeline) {
        const std::int64_t aheadNs = std::max<std::int64_t>(0, t - m_anchorMediaUs) * 1000;
        due = m_anchorNs + aheadNs;
        // Far behind (a stall upstream): start again from now rather than
        // bursting the backlog into the destination.
        if (due + kLateReanchorNs < now) {
            m_anchorNs = now - aheadNs;
            due = now;
        }
    } else {
        m_anchorNs = now;
        m_anchorSeq = entry.sessionSeq;
    }
    while (!stopping() && m_session.load() == entry.sessionSeq) {
        const std::int64_t remaining = due - steadyNowNs();
        if (remaining < 1000)
            break;
        if (remaining > kPacingSleepStepNs)
            std::this_thread::sleep_for(std::chrono::nanoseconds(kPacingSleepStepNs));
        else
            std::this_thread::sleep_for(std::chrono::microseconds(remaining / 1000));
    }
    if (firstOfTimeline)
        m_anchorMediaUs = t;
    m_anchored = true;
    return m_session.load() == entry.sessionSeq;
}

bool StreamPublisher::write(QueuedPacket& entry)
{
    if (stopping() || entry.sessionSeq != m_session.load())
        return false;
    const int r = m_connection.write(entry.packet.get(), entry);
    if (stopping())
        return false;
    if (r >= 0)
        return true;
    m_writeFailures += 1;
    if (m_writeFailures <= 8 || m_writeFailures % 25 == 0)
        qWarning() << "FfmpegEncoderSink: stream mux write failed, will reconnect:" << av::errorText(r) << "(seq"
                   << m_writeFailures << ")";
    closeConnection();
    // A stalled destination's queue and muxer buffers come and go with each
    // cycle; without handing the freed pages back the heap's holes kept the
    // process growing by megabytes per reconnect.
    malloc_trim(0);
    m_reconnectPending = true;
    m_nextAttemptNs = steadyNowNs() + kAfterWriteFailure.delayMs(m_reopenAttempts) * 1000000LL;
    return false;
}

void StreamPublisher::closeConnection()
{
    m_connection.close(false);
    m_anchored = false;
}

bool StreamPublisher::tryReconnect()
{
    if (stopping())
        return false;
    if (!m_reconnectPending)
        return m_connection.isOpen();
    if (m_connection.isOpen())
        return true;
    const std::int64_t now = steadyNowNs();
    if (now < m_nextAttemptNs)
        return false;

    MuxStreams streams;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        streams = m_streams.copy();
    }
    MuxOpenOptions options;
    options.interrupt = &m_aborted;
    options.cancelled = [this] { return stopping(); };
    options.ioTimeoutUs = kIoTimeoutUs;
    if (!m_connection.open(m_url, m_muxer, streams, options)) {
        // An open cut short by a stop is no failed attempt: the row is
        // about to say "stopped".
        if (stopping())
            return false;
        const int attempt = ++m_reopenAttempts;
        const std::int64_t delayMs = kAfterOpenFailure.delayMs(attempt);
        m_nextAttemptNs = now + delayMs * 1000000;
        if (attempt == 1 || attempt % 64 == 0)
            qWarning() << "FfmpegEncoderSink: RTMP mux reopen failed, attempt" << attempt << "next in" << delayMs
                       << "ms";
        report("reconnecting");
        return false;
    }
    m_reconnectPending = false;
    m_reopenAttempts = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waitKeyframe = true;
        m_congested = false;
    }
    // Only the opens after the first are reconnections.
    const std::uint64_t opens = ++m_opens;
    const std::uint64_t n = opens - 1;
    if (opens == 1)
        qInfo() << "FfmpegEncoderSink: stream mux connected, row" << m_row;
    else if (n <= 5 || n % 20 == 0)
        qInfo() << "FfmpegEncoderSink: stream mux reconnected (n=" << n << ")";
    report("online");
    return true;
}
