#pragma once

#include "output/muxtarget.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One stream destination of an output run: its connection (a MuxTarget),
// a bounded queue of packets, and a worker thread that opens the
// connection, waits for a key frame, paces the packets out in real time
// from their stamps, and reopens with back-off whenever the connection
// fails. The row's status words ("connecting", "online", "congested",
// "reconnecting", "stopped") go to the status callback.
//
// Fed by the encoder sink; calls nothing of it. Blocking FFmpeg calls on
// the connection are released by `aborted` through the interrupt callback,
// which FFmpeg checks at least every 100 ms while it waits on a socket.
//
// Threads:
// - Encode thread: construction, start, enqueue, replaceVideo, requestStop,
//   finish and destruction.
// - GUI or stop-task thread (under the sink's target lock): abort and
//   startSession.
// - The worker: the connection and the reconnect state below, once it
//   runs; the encode thread has them before start and after finish.
// Lock order: the sink's target lock before `mutex`.
class StreamPublisher {
public:
    using StatusCallback = std::function<void(int row, const QString& status)>;

    StreamPublisher(int row, const QByteArray& url, const QByteArray& muxer, MuxStreams streams,
                    std::int64_t sessionSeq, StatusCallback status);
    ~StreamPublisher();
    StreamPublisher(const StreamPublisher&) = delete;
    StreamPublisher& operator=(const StreamPublisher&) = delete;

    // Starts the worker ("connecting"); a worker that cannot start leaves
    // the row "stopped".
    void start();
    // Queues a clone of a packet of the timeline descriptor.sessionSeq.
    // Past the queue's bound everything queued is dropped ("congested") and
    // the queue starts again at the next video key frame.
    void enqueue(const AVPacket* packet, const QueuedPacket& descriptor);
    // The video encoder was replaced (a new picture size): the connection
    // reopens with its streams, from the next key frame.
    void replaceVideo(MuxStreams streams);
    // A new timeline: what is queued is dropped; the next key frame starts it.
    void startSession(std::int64_t sessionSeq);
    // Ends the run at once: blocking I/O is released, the queue dropped.
    void abort();
    // Asks the worker to end the stream properly (with the muxer's tail).
    void requestStop();
    // Waits for the worker and says "stopped". A worker that does not end
    // within one wait step is aborted; returns whether it had to be.
    bool finish();

    int row() const { return m_row; }

private:
    friend struct StreamPublisherTestAccess;

    void run();
    bool paceAndWrite(QueuedPacket& entry);
    bool waitUntilDue(const QueuedPacket& entry);
    bool tryReconnect();
    bool write(QueuedPacket& entry);
    void closeConnection();
    bool stopping() const { return m_stopping.load() || m_aborted.load(); }
    void report(const char* status);

    const int m_row;
    const QByteArray m_url;
    const QByteArray m_muxer; // empty = guess from the URL
    const StatusCallback m_status;

    // Any thread.
    std::atomic<bool> m_aborted{false};  // the connection's interrupt flag
    std::atomic<bool> m_stopping{false};
    std::atomic<std::int64_t> m_session{1};

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::deque<QueuedPacket> m_queue;
    MuxStreams m_streams;
    bool m_stop = false;
    bool m_workerDone = false;
    bool m_resetRequested = false;
    bool m_waitKeyframe = false;
    bool m_congested = false;
    std::uint64_t m_queueResets = 0;

    std::thread m_worker; // joined in finish, at the latest on destruction

    // The worker's (see above).
    MuxTarget m_connection;
    bool m_reconnectPending = true;
    std::int64_t m_nextAttemptNs = 0;
    int m_reopenAttempts = 0;
    std::uint64_t m_writeFailures = 0;
    std::uint64_t m_opens = 0;
    bool m_anchored = false;       // pacing: a packet time matched to a steady time
    std::int64_t m_anchorNs = 0;
    std::int64_t m_anchorMediaUs = 0;
    std::int64_t m_anchorSeq = 0;
};
