#include "engine/audioqueueiodevice.h"

#include <QMutexLocker>

#include <algorithm>
#include <cstring>

AudioQueueIODevice::AudioQueueIODevice(QObject* parent)
    : QIODevice(parent)
{
}

qint64 AudioQueueIODevice::bytesAvailable() const
{
    QMutexLocker lock(&m_mutex);
    return std::max<qint64>(0, m_queue.size() - m_readPos);
}

void AudioQueueIODevice::enqueue(const char* data, int bytes)
{
    if (!data || bytes <= 0)
        return;
    {
        QMutexLocker lock(&m_mutex);
        appendLocked(data, bytes);
    }
    // A pull-mode sink that found the queue empty stops polling until it
    // hears readyRead. Emitted outside the lock: the sink may read at once.
    emit readyRead();
}

void AudioQueueIODevice::appendLocked(const char* data, int bytes)
{
    compactLocked();
    const int keep = kQueueCapBytes - bytes;
    const int unread = int(m_queue.size()) - m_readPos;
    if (unread > keep) {
        // Skip whole frames, rounding up: rounding down would leave up to
        // three bytes beyond the cap once the new block is appended.
        const int skip = (unread - keep + kBytesPerFrame - 1) / kBytesPerFrame * kBytesPerFrame;
        m_readPos += std::min(skip, unread);
        compactLocked();
    }
    m_queue.append(data, bytes);
}

qint64 AudioQueueIODevice::readData(char* data, qint64 maxSize)
{
    if (!data || maxSize < 1)
        return 0;
    QMutexLocker lock(&m_mutex);
    const qint64 unread = std::max<qint64>(0, m_queue.size() - m_readPos);
    const qint64 n = std::min(maxSize, unread);
    if (n <= 0)
        return 0;
    std::memcpy(data, m_queue.constData() + m_readPos, size_t(n));
    m_readPos += int(n);
    compactLocked();
    if (n >= kBytesPerFrame)
        m_playedFrames.fetch_add(n / kBytesPerFrame, std::memory_order_relaxed);
    return n;
}

qint64 AudioQueueIODevice::writeData(const char*, qint64)
{
    return -1;
}

void AudioQueueIODevice::compactLocked()
{
    if (m_readPos <= 0)
        return;
    if (m_readPos >= m_queue.size()) {
        m_queue.resize(0); // keeps the capacity: the steady state allocates nothing
        m_readPos = 0;
    } else if (m_readPos >= kCompactThresholdBytes && m_readPos * 2 >= m_queue.size()) {
        m_queue.remove(0, m_readPos);
        m_readPos = 0;
    }
}
