#pragma once

#include "engine/frametoken.h"
#include "engine/packedsize.h"

#include <QByteArray>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// Reusable FrameToken buffers for one frame size, with a cap on the number of
// tokens alive at once that shrinks as the frame size grows.
//
// Threads: acquire/tryAcquire run on decoder, capture and GUI threads; a
// token returns to its pool on whatever thread drops its last reference.
// setFrameSize runs on the GUI thread. The frame size is one 64-bit atomic
// (width in the high half) so decoder threads read a consistent pair.
// Lock order: a queue or pending-frame mutex may be held while State::mutex
// is taken, never the reverse.
class FramePool {
public:
    struct State {
        explicit State(int capacity);
        ~State();
        State(const State&) = delete;
        State& operator=(const State&) = delete;

        // Body of the token deleter: puts the token back on the idle list or
        // frees it.
        void recycle(FrameToken* token);
        // With mutex held: the buffer of the large idle token idle longest,
        // once more than kMaxIdleLargeBuffers are idle and it has been for
        // kSurplusHoldNs; empty otherwise. The caller drops it after
        // unlocking.
        QByteArray takeSurplusBuffer(std::int64_t nowNs);

        struct IdleToken {
            FrameToken* token = nullptr;
            std::int64_t sinceNs = 0; // when it came back
        };

        const int capacity;

        // Guarded by mutex.
        std::mutex mutex;
        std::vector<IdleToken> idle;       // used as a stack
        int allocated = 0;                 // tokens created inside the capacity
        int inUse = 0;                     // handed out, not yet returned
        int maxLive = 0;                   // cap on inUse
        std::vector<void*> spareControlBlocks; // recycled shared_ptr control blocks
        std::size_t controlBlockSize = 0;
    };

    FramePool(int capacity, int width, int height);
    ~FramePool() = default;
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // Stores max(1, w) x max(1, h) and sets the live-token cap for that size.
    void setFrameSize(int width, int height);

    // Never loses a frame for lack of idle tokens: may create one beyond the
    // capacity. Empty only when the live-token cap is reached.
    FrameTokenPtr acquire();
    // Never creates a token beyond the capacity.
    FrameTokenPtr tryAcquire();

    int capacity() const { return m_capacity; }
    int width() const { return unpackSize(m_size.load(std::memory_order_acquire)).width(); }
    int height() const { return unpackSize(m_size.load(std::memory_order_acquire)).height(); }
    // Width and height read together, as one consistent pair.
    std::pair<int, int> frameSize() const
    {
        const QSize size = unpackSize(m_size.load(std::memory_order_acquire));
        return {size.width(), size.height()};
    }

    // Gives up to `count` tokens (within the capacity) a buffer of the
    // current frame size with every page written once, and puts them back
    // idle. After the frame size grows, the first frames otherwise each
    // fault in a fresh buffer on the thread that writes them: 80-100 ms for
    // a 4K picture on a virtual machine, as long as a picture may wait at
    // 60 fps. The buffers are touched side by side, a short-lived thread
    // each; returns when all are done.
    void prefault(int count);
    // Bookkeeping snapshots, for diagnostics and tests.
    int maxLive() const;
    int inUse() const;
    int idleCount() const;
    int allocated() const;

    // The live-token cap for a pool of the given capacity at width x height.
    static int maxLiveFor(int capacity, std::int64_t width, std::int64_t height);

    // Buffers of this many bytes or more (a 3840x2160 RGBA picture) count as
    // large. The pool keeps kMaxIdleLargeBuffers of them idle; one more is
    // given back once it has stayed idle for kSurplusHoldNs. Freed at once,
    // a 4K source whose pictures come back in twos and threes would allocate
    // (and fault in) a fresh 32 MB buffer many times a second. Freed after a
    // second, a 4K60 channel still did so at every burst of the encoder's
    // queue, every few seconds, and faulting in a 32 MB buffer can take the
    // writing thread 80-100 ms: as long as a picture may wait at 60 fps.
    static constexpr std::int64_t kLargeBufferBytes = 33177600;
    static constexpr int kMaxIdleLargeBuffers = 2;
    static constexpr std::int64_t kSurplusHoldNs = 10000000000;

private:
    FrameTokenPtr take(bool mayExceedCapacity);

    const int m_capacity;
    std::atomic<std::uint64_t> m_size;
    std::shared_ptr<State> m_state;
};
