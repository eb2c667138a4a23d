#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <utility>

// N slots that each keep only the newest value a producer thread put there,
// for a consumer that is woken with at most one queued call at a time: put
// says when the caller has to post that call, takeAll empties the slots for
// it, and needsRepost asks afterwards whether more arrived meanwhile.
//
// Threads: any thread may call any member. The mutex may be held while a
// value is destroyed (and so while a frame pool's state mutex is taken),
// never the reverse.
template <typename T, std::size_t N = 1>
class NewestMailbox {
public:
    // Producer: keeps value in slot, dropping the one it replaces. True when
    // the caller must post the consumer's call because none is queued yet.
    bool put(std::size_t slot, T value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Declared after the lock, so the replaced value goes while it is held.
        T replaced = std::exchange(m_values[slot], std::move(value));
        m_filled = true;
        return !std::exchange(m_flushPosted, true);
    }

    // Consumer: everything waiting; a put from now on posts a new call.
    std::array<T, N> takeAll()
    {
        std::array<T, N> taken;
        std::lock_guard<std::mutex> lock(m_mutex);
        taken.swap(m_values);
        m_filled = false;
        m_flushPosted = false;
        return taken;
    }

    // Consumer, after handling what takeAll gave: true when values arrived
    // meanwhile and no call is queued for them yet; the caller posts it.
    bool needsRepost()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_filled && !std::exchange(m_flushPosted, true);
    }

    // Empties the slots and hands back what they held. A call already queued
    // then finds nothing and stays the only one.
    std::array<T, N> drop()
    {
        std::array<T, N> dropped;
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_values);
        m_filled = false;
        return dropped;
    }

private:
    std::mutex m_mutex;
    std::array<T, N> m_values{}; // guarded by m_mutex
    bool m_filled = false;      // guarded by m_mutex: some slot holds a value
    bool m_flushPosted = false; // guarded by m_mutex: a consumer call is queued
};
