#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QMutex>

#include <atomic>
#include <cstdint>

// The read-only sequential device a pull-mode QAudioSink drains: a byte queue
// of interleaved stereo signed 16-bit PCM at 48 kHz (4 bytes a frame) that the
// mixer appends to every tick.
//
// Threads: enqueue runs on the mixer thread; readData and bytesAvailable on
// whatever thread the audio back end reads from; playedFrames on any thread.
class AudioQueueIODevice : public QIODevice {
public:
    static constexpr int kBytesPerFrame = 4;
    // Two seconds at 48 kHz: the most audio the queue ever holds.
    static constexpr int kQueueCapBytes = 384000;
    // A consumed prefix is worth removing only once it is this large and at
    // least half the queue.
    static constexpr int kCompactThresholdBytes = 16384;

    explicit AudioQueueIODevice(QObject* parent = nullptr);

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    // Appends PCM; when the queue would go beyond its cap the oldest audio is
    // skipped so that no more than kQueueCapBytes remain unread afterwards.
    // bytes must not exceed kQueueCapBytes. Emits readyRead.
    void enqueue(const char* data, int bytes);

    // Frames the sound device has taken since the device was created.
    std::int64_t playedFrames() const { return m_playedFrames.load(std::memory_order_relaxed); }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

private:
    // Caller holds m_mutex.
    void appendLocked(const char* data, int bytes);
    void compactLocked();

    mutable QMutex m_mutex;
    // Guarded by m_mutex.
    QByteArray m_queue;
    int m_readPos = 0; // bytes of m_queue already consumed

    // Written under m_mutex by the reader, read by any thread.
    std::atomic<std::int64_t> m_playedFrames{0};
};
