#pragma once

#include "avglue/avptr.h"
#include "net/sockstcprelay.h"

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

// One encoded packet on its way to a target, with what is needed to stamp
// it there. For a direct file write `packet` is null and `sessionSeq` is 0.
struct QueuedPacket {
    AVPacket* packet = nullptr; // owned clone while queued for a network target
    bool isVideo = false;
    AVRational timeBase{0, 1};  // the encoder's
    int codecId = AV_CODEC_ID_NONE;
    AVRational frameRate{0, 1};
    int sampleRate = 0;
    int frameSize = 0;          // samples per audio frame
    std::int64_t sessionSeq = 0;
};

// One output of an encoder sink run: the recording file or a stream
// destination. Owned by the sink.
//
// Threads: a file target is touched only by the encode thread. A network
// target's output fields are touched by its worker thread once the worker
// runs (and by the encode thread before it starts and after it is joined);
// the fields marked "guarded by mutex" are shared with the encode thread and
// with abort/startNewSession on the GUI or stop-task thread.
struct MuxTarget {
    MuxTarget() = default;
    MuxTarget(const MuxTarget&) = delete;
    MuxTarget& operator=(const MuxTarget&) = delete;

    av::OutputFormatContextPtr formatContext;        // null = not open
    AVStream* videoStream = nullptr;             // owned by formatContext
    AVStream* audioStream = nullptr;             // null when there is no AAC
    av::CodecParametersPtr cachedVideoParameters;    // network targets: kept for reconnects
    av::CodecParametersPtr cachedAudioParameters;
    bool fixTimestamps = false;                  // FLV timestamp fix-ups
    bool rebaseActive = false;                   // recording file: stamps start at the file's start
    std::int64_t rebaseUs = -1;                  // file start in encoder time; < 0 = not yet known
    QByteArray url;
    QByteArray muxer;                            // empty = guess from the URL
    bool isNetwork = false;
    bool reconnectPending = false;
    std::int64_t nextAttemptNs = 0;
    int reopenAttempts = 0;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<QueuedPacket> queue;              // guarded by mutex
    std::thread worker;                          // the network worker; joined before destruction
    bool stop = false;                           // guarded by mutex
    bool workerDone = false;                     // guarded by mutex; the worker's last act
    bool resetRequested = false;                 // guarded by mutex
    bool waitKeyframe = false;                   // guarded by mutex
    std::uint64_t queueResets = 0;
    bool congested = false;                      // guarded by mutex
    bool hasLastVideoPts = false;                // last stamps written, per kind (FLV fix-ups)
    std::int64_t lastVideoPts = 0;
    bool hasLastAudioPts = false;
    std::int64_t lastAudioPts = 0;
    bool hasLastVideoDts = false;                // last video dts written, in the stream's time base
    std::int64_t lastVideoDts = 0;
    std::uint64_t writeFailures = 0;
    std::uint64_t reconnects = 0;
    int id = -1;                                 // destination row
    std::int64_t sessionSeq = 1;                 // guarded by mutex
    std::unique_ptr<SocksTcpRelay> relay;        // local SOCKS tunnel of an RTMP destination

    // Recording file only: when the current failed-write streak began.
    std::int64_t fileFailureSinceNs = 0;
};

// Frees every packet of a network queue (caller holds the target's mutex).
inline void dropQueuedPackets(std::deque<QueuedPacket>& queue)
{
    for (QueuedPacket& entry : queue)
        av_packet_free(&entry.packet);
    queue.clear();
}
