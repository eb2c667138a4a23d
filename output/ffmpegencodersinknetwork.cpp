#include "output/ffmpegencodersink.h"

// The per-destination network workers of FfmpegEncoderSink: each stream
// destination gets a worker thread that opens it (openMux), paces and
// writes its queued packets (writePacket) and reconnects it.
//
// NOT YET BUILT: until the workers land, a stream destination is created
// and torn down with the run but never opened, and its packets are not
// queued. The encode thread reaches the network side only through the
// three functions below.

void FfmpegEncoderSink::startNetworkWorker(MuxTarget& target)
{
    if (!target.isNetwork)
        return;
    std::lock_guard<std::mutex> lock(target.mutex);
    target.stop = true;
}

void FfmpegEncoderSink::enqueueNetworkPacket(MuxTarget&, const AVPacket*, const AVCodecContext*, bool) {}

void FfmpegEncoderSink::stopNetworkWorkers()
{
    for (const auto& target : muxTargets) {
        if (!target->isNetwork)
            continue;
        {
            std::lock_guard<std::mutex> lock(target->mutex);
            target->stop = true;
            dropQueuedPackets(target->queue);
        }
        target->wake.notify_all();
        if (target->worker.joinable())
            target->worker.join();
        if (statusCallback)
            statusCallback(target->id, QStringLiteral("stopped"));
    }
}
