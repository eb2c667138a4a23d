#include "engine/framequeue.h"

#include <QMutexLocker>

FrameQueue::FrameQueue()
    : m_ring(kDefaultCapacity)
{
}

void FrameQueue::init(std::size_t capacity)
{
    std::vector<FrameTokenPtr> dropped(capacity == 0 ? kDefaultCapacity : capacity);
    QMutexLocker lock(&m_mutex);
    m_ring.swap(dropped);
    m_head = 0;
    m_count = 0;
    // The old frames return to their pools here, still under the queue mutex.
    dropped.clear();
}

void FrameQueue::push(FrameTokenPtr&& frame)
{
    if (!frame)
        return;
    QMutexLocker lock(&m_mutex);
    const std::size_t capacity = m_ring.size();
    if (m_count == capacity) {
        m_ring[m_head] = std::move(frame); // the oldest goes back to its pool
        m_head = (m_head + 1) % capacity;
    } else {
        m_ring[(m_head + m_count) % capacity] = std::move(frame);
        ++m_count;
    }
}

FrameTokenPtr FrameQueue::latest() const
{
    QMutexLocker lock(&m_mutex);
    if (m_count == 0)
        return {};
    return m_ring[(m_head + m_count - 1) % m_ring.size()];
}

void FrameQueue::clear()
{
    QMutexLocker lock(&m_mutex);
    for (FrameTokenPtr& f : m_ring)
        f.reset();
    m_head = 0;
    m_count = 0;
}

std::size_t FrameQueue::size() const
{
    QMutexLocker lock(&m_mutex);
    return m_count;
}
