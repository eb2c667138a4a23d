#pragma once

#include "engine/frametoken.h"

#include <QBasicMutex>

#include <cstddef>
#include <vector>

// A small locked queue that keeps the newest frames of one source.
// Any thread may push or read; a frame dropped by push returns to its pool
// while the queue mutex is held (queue mutex before pool mutex).
// Stored in a fixed ring so that the steady state allocates nothing.
class FrameQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 8;

    FrameQueue();

    // 0 means the default capacity. Drops every frame held.
    void init(std::size_t capacity);
    // Appends the frame and drops the oldest ones beyond the capacity.
    // An empty pointer is ignored.
    void push(FrameTokenPtr&& frame);
    // A new reference to the newest frame, or empty.
    FrameTokenPtr latest() const;
    void clear();
    std::size_t size() const;

private:
    mutable QBasicMutex m_mutex;
    // Guarded by m_mutex. Oldest frame at m_head; m_count frames in order.
    std::vector<FrameTokenPtr> m_ring;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};
