#include "output/ffmpegencodersink.h"

#include "output/reconnectbackoff.h"
#include "output/steadyclock.h"

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

// The per-destination network workers of FfmpegEncoderSink. The encode
// thread only clones packets into a destination's bounded queue; the
// destination's worker opens it (openMux), waits for a key frame, paces the
// packets in real time from their timestamps, writes them (writePacket) and
// reopens the destination with back-off whenever it fails.
//
// Blocking FFmpeg calls on a destination are released by the sink's
// `aborted` flag through the output's interrupt callback; FFmpeg checks it
// at least every 100 ms while it waits on a socket.

namespace {

// A queue holding more than this many packets is dropped when one more comes.
constexpr std::size_t kQueueDropAbove = 95;
// Congestion is over once no more than this many remain after taking one.
constexpr std::size_t kCongestionClearedAt = 24;
constexpr auto kWorkerIdleWait = std::chrono::milliseconds(100);

constexpr std::int64_t kLateReanchorNs = 250000000;
constexpr std::int64_t kPacingSleepStepNs = 10000000;

constexpr auto kJoinStep = std::chrono::milliseconds(100);
constexpr int kJoinStepMs = 100;
constexpr int kStillStoppingWarnMs = 5000;

// The heap record a worker thread is started with; the thread deletes it.
struct NetworkWorkerArgument {
    FfmpegEncoderSink* sink; // outlives the thread: close joins it
    MuxTarget* target;       // owned by the sink, destroyed after the join
};

std::int64_t packetTimeUs(const AVPacket* packet, AVRational timeBase)
{
    const std::int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    return av_rescale_q(t, timeBase, AVRational{1, 1000000});
}

} // namespace

void FfmpegEncoderSink::reportStatus(const MuxTarget& target, const char* status)
{
    if (statusCallback)
        statusCallback(target.id, QString::fromLatin1(status));
}

void FfmpegEncoderSink::startNetworkWorker(MuxTarget& target)
{
    if (!target.isNetwork || target.worker.joinable())
        return;
    auto stopTarget = [&target] {
        std::lock_guard<std::mutex> lock(target.mutex);
        target.stop = true;
    };
    if (aborted.load() || closing.load()) {
        stopTarget();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        target.stop = false;
        target.workerDone = false;
    }
    reportStatus(target, target.formatContext ? "online" : "connecting");
    auto* argument = new (std::nothrow) NetworkWorkerArgument{this, &target};
    if (argument) {
        try {
            target.worker = std::thread(&FfmpegEncoderSink::networkWorkerThreadProc, argument);
            return;
        } catch (const std::system_error& error) {
            qWarning() << "FfmpegEncoderSink: network worker could not start for row" << target.id << error.what();
            delete argument;
        }
    }
    // Nothing will ever open this destination: its row must not keep
    // saying "connecting".
    stopTarget();
    reportStatus(target, "stopped");
}

void FfmpegEncoderSink::networkWorkerThreadProc(void* argument)
{
    std::unique_ptr<NetworkWorkerArgument> owned(static_cast<NetworkWorkerArgument*>(argument));
    MuxTarget& target = *owned->target;
    FfmpegEncoderSink& sink = *owned->sink;
    sink.networkWorkerLoop(target);
    // A stop (not an abort) ends the stream properly: the muxer's tail,
    // held back until now, completes the last frame at the receiver. A
    // stalled receiver cannot hold this up: `aborted` interrupts it.
    if (target.formatContext && !sink.aborted.load())
        sink.closeSegment(target, true);
    std::lock_guard<std::mutex> lock(target.mutex);
    target.workerDone = true;
    target.wake.notify_all();
}

void FfmpegEncoderSink::enqueueNetworkPacket(MuxTarget& target, const AVPacket* packet, const AVCodecContext* codec,
                                             bool isVideo)
{
    if (closing.load() || aborted.load() || !packet || !codec)
        return;
    av::PacketPtr clone(av_packet_clone(packet));
    if (!clone)
        return;
    const bool keyFrame = isVideo && (packet->flags & AV_PKT_FLAG_KEY);
    std::uint64_t resets = 0;
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        if (currentFrameSeq != target.sessionSeq)
            return;
        if (keyFrame)
            target.waitKeyframe = false;
        else if (target.waitKeyframe)
            return;
        if (target.queue.size() > kQueueDropAbove) {
            dropQueuedPackets(target.queue);
            target.congested = true;
            target.waitKeyframe = !keyFrame;
            resets = ++target.queueResets;
        }
        if (!target.waitKeyframe) {
            target.queue.push_back(QueuedPacket{clone.release(), isVideo, codec->time_base, codec->codec_id,
                                                codec->framerate, codec->sample_rate, codec->frame_size,
                                                currentFrameSeq});
            target.wake.notify_one();
        }
    }
    if (resets > 0) {
        if (resets <= 5 || resets % 50 == 0)
            qWarning() << "FfmpegEncoderSink: network mux queue reset; count" << resets;
        reportStatus(target, "congested");
    }
}

void FfmpegEncoderSink::networkWorkerLoop(MuxTarget& target)
{
    bool anchored = false;
    std::int64_t anchorNs = 0;
    std::int64_t anchorMediaUs = 0;
    std::int64_t anchorSeq = 0;

    auto closeAndReopenNow = [&] {
        closeTargetMux(target);
        anchored = false;
        target.reconnectPending = true;
        target.nextAttemptNs = steadyNowNs();
    };

    for (;;) {
        QueuedPacket entry;
        bool reset = false;
        bool canClear = false;
        {
            std::unique_lock<std::mutex> lock(target.mutex);
            const auto turnStart = std::chrono::steady_clock::now();
            if (target.queue.empty() && !target.stop)
                target.wake.wait_until(lock, turnStart + kWorkerIdleWait,
                                       [&target] { return target.stop || !target.queue.empty(); });
            if (target.stop) {
                dropQueuedPackets(target.queue);
                return;
            }
            reset = target.resetRequested;
            target.resetRequested = false;
            if (!target.queue.empty()) {
                entry = target.queue.front();
                target.queue.pop_front();
                canClear = target.congested && target.queue.size() <= kCongestionClearedAt;
            }
        }
        av::PacketPtr packet(entry.packet);

        if (aborted.load() || closing.load()) {
            packet.reset();
            std::lock_guard<std::mutex> lock(target.mutex);
            dropQueuedPackets(target.queue);
            return;
        }
        if (!packet) {
            if (reset)
                closeAndReopenNow();
            else if (!target.formatContext && tryReconnect(target))
                anchored = false;
            continue;
        }
        if (entry.sessionSeq != sessionSeq.load())
            continue;
        if (reset) {
            closeAndReopenNow();
            continue;
        }
        if (!target.formatContext) {
            if (tryReconnect(target))
                anchored = false;
            if (!target.formatContext)
                continue;
        }
        {
            std::lock_guard<std::mutex> lock(target.mutex);
            if (target.waitKeyframe) {
                if (!(entry.isVideo && (packet->flags & AV_PKT_FLAG_KEY)))
                    continue;
                target.waitKeyframe = false;
            }
        }

        if (entry.timeBase.num > 0 && entry.timeBase.den > 0
            && (packet->dts != AV_NOPTS_VALUE || packet->pts != AV_NOPTS_VALUE)) {
            const std::int64_t t = packetTimeUs(packet.get(), entry.timeBase);
            const std::int64_t now = steadyNowNs();
            std::int64_t due = now;
            const bool firstOfTimeline = !anchored || anchorSeq != entry.sessionSeq;
            if (!firstOfTimeline) {
                const std::int64_t aheadNs = std::max<std::int64_t>(0, t - anchorMediaUs) * 1000;
                due = anchorNs + aheadNs;
                // Far behind (a stall upstream): start again from now rather
                // than bursting the backlog into the destination.
                if (due + kLateReanchorNs < now) {
                    anchorNs = now - aheadNs;
                    due = now;
                }
            } else {
                anchorNs = now;
                anchorSeq = entry.sessionSeq;
            }
            while (!aborted.load() && !closing.load() && sessionSeq.load() == entry.sessionSeq) {
                const std::int64_t remaining = due - steadyNowNs();
                if (remaining < 1000)
                    break;
                if (remaining > kPacingSleepStepNs)
                    std::this_thread::sleep_for(std::chrono::nanoseconds(kPacingSleepStepNs));
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(remaining / 1000));
            }
            if (firstOfTimeline)
                anchorMediaUs = t;
            anchored = true;
            if (sessionSeq.load() != entry.sessionSeq)
                continue;
        }

        if (aborted.load() || entry.sessionSeq != sessionSeq.load())
            continue;
        const bool written = writePacket(target, packet.get(), entry);
        if (canClear && written) {
            {
                std::lock_guard<std::mutex> lock(target.mutex);
                target.congested = false;
            }
            reportStatus(target, "online");
        }
    }
}

bool FfmpegEncoderSink::tryReconnect(MuxTarget& target)
{
    if (aborted.load() || closing.load())
        return false;
    if (!target.reconnectPending)
        return target.formatContext != nullptr;
    if (target.formatContext)
        return true;
    const std::int64_t now = steadyNowNs();
    if (now < target.nextAttemptNs)
        return false;

    const QByteArray url = target.url;
    const QByteArray muxer = target.muxer;
    if (!openMux(target, url.constData(), muxer.isEmpty() ? nullptr : muxer.constData())) {
        // An open cut short by a stop is no failed attempt: the row is
        // about to say "stopped".
        if (aborted.load() || closing.load())
            return false;
        const int attempt = ++target.reopenAttempts;
        const std::int64_t delayMs = kAfterOpenFailure.delayMs(attempt);
        target.nextAttemptNs = now + delayMs * 1000000;
        if (attempt == 1 || attempt % 64 == 0)
            qWarning() << "FfmpegEncoderSink: RTMP mux reopen failed, attempt" << attempt << "next in" << delayMs
                       << "ms";
        reportStatus(target, "reconnecting");
        return false;
    }
    target.reconnectPending = false;
    target.reopenAttempts = 0;
    {
        std::lock_guard<std::mutex> lock(target.mutex);
        target.waitKeyframe = true;
        target.congested = false;
    }
    // `reconnects` counts every open of the run; only those after the
    // first are reconnections.
    const std::uint64_t opens = ++target.reconnects;
    const std::uint64_t n = opens - 1;
    if (opens == 1)
        qInfo() << "FfmpegEncoderSink: stream mux connected, row" << target.id;
    else if (n <= 5 || n % 20 == 0)
        qInfo() << "FfmpegEncoderSink: stream mux reconnected (n=" << n << ")";
    reportStatus(target, "online");
    return true;
}

void FfmpegEncoderSink::stopNetworkWorkers()
{
    for (const auto& target : muxTargets) {
        if (!target->isNetwork)
            continue;
        std::lock_guard<std::mutex> lock(target->mutex);
        target->stop = true;
        target->wake.notify_all();
    }
    for (const auto& target : muxTargets) {
        if (target->worker.joinable()) {
            int waitedMs = 0;
            std::unique_lock<std::mutex> lock(target->mutex);
            while (!target->wake.wait_for(lock, kJoinStep, [&target] { return target->workerDone; })) {
                waitedMs += kJoinStepMs;
                // A worker still inside FFmpeg is released by the interrupt
                // callback, which watches `aborted`.
                aborted = true;
                target->wake.notify_all();
                if (waitedMs == kStillStoppingWarnMs)
                    qWarning() << "FfmpegEncoderSink: network worker still stopping after 5 seconds";
            }
            lock.unlock();
            target->worker.join();
        }
        if (target->isNetwork)
            reportStatus(*target, "stopped");
    }
}
