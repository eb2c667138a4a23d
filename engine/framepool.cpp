#include "engine/framepool.h"
#include "output/steadyclock.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr std::int64_t kPixels1080p = 1920LL * 1080;
constexpr std::int64_t kPixels2160p = 3840LL * 2160;
constexpr std::int64_t kPixels4320p = 7680LL * 4320;

// Hands the shared_ptr control block of a token out of, and back into, the
// pool's state, so that wrapping a reused token allocates nothing. It keeps
// the state alive until the block itself is given back, which happens after
// the deleter (and its own reference to the state) is gone.
template <typename T>
struct ControlBlockAllocator {
    using value_type = T;

    explicit ControlBlockAllocator(std::shared_ptr<FramePool::State> s) : state(std::move(s)) {}
    template <typename U>
    ControlBlockAllocator(const ControlBlockAllocator<U>& other) : state(other.state) {}

    T* allocate(std::size_t n)
    {
        const std::size_t bytes = n * sizeof(T);
        {
            std::lock_guard lock(state->mutex);
            if (state->controlBlockSize == bytes && !state->spareControlBlocks.empty()) {
                void* block = state->spareControlBlocks.back();
                state->spareControlBlocks.pop_back();
                return static_cast<T*>(block);
            }
        }
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* p, std::size_t n)
    {
        const std::size_t bytes = n * sizeof(T);
        {
            std::lock_guard lock(state->mutex);
            if (state->controlBlockSize == 0)
                state->controlBlockSize = bytes;
            if (state->controlBlockSize == bytes
                && state->spareControlBlocks.size() < state->spareControlBlocks.capacity()) {
                state->spareControlBlocks.push_back(p);
                return;
            }
        }
        ::operator delete(p);
    }

    template <typename U>
    bool operator==(const ControlBlockAllocator<U>& other) const { return state == other.state; }

    std::shared_ptr<FramePool::State> state;
};

struct TokenDeleter {
    std::shared_ptr<FramePool::State> state;
    void operator()(FrameToken* token) const { state->recycle(token); }
};

} // namespace

FramePool::State::State(int cap)
    : capacity(std::max(0, cap))
{
    idle.reserve(std::size_t(capacity));
    // Every live token may hold one control block; extras beyond the cap are
    // allocated and freed normally.
    spareControlBlocks.reserve(std::size_t(capacity) + 2);
    maxLive = capacity + 2;
}

FramePool::State::~State()
{
    for (const IdleToken& entry : idle)
        delete entry.token;
    for (void* block : spareControlBlocks)
        ::operator delete(block);
}

QByteArray FramePool::State::takeSurplusBuffer(std::int64_t nowNs)
{
    int large = 0;
    IdleToken* longest = nullptr;
    for (IdleToken& entry : idle) {
        if (entry.token->data.capacity() < kLargeBufferBytes)
            continue;
        ++large;
        if (!longest || entry.sinceNs < longest->sinceNs)
            longest = &entry;
    }
    if (large <= kMaxIdleLargeBuffers || nowNs - longest->sinceNs < kSurplusHoldNs)
        return {};
    return std::exchange(longest->token->data, QByteArray()); // the token stays
}

void FramePool::State::recycle(FrameToken* token)
{
    const std::int64_t now = steadyNowNs();
    std::unique_lock lock(mutex);
    inUse = std::max(0, inUse - 1);
    if (int(idle.size()) >= capacity) {
        lock.unlock();
        delete token;
        return;
    }
    token->ptsUs = 0;
    token->width = 0;
    token->height = 0;
    token->reserved = 0;
    idle.push_back({token, now});
    const QByteArray surplus = takeSurplusBuffer(now);
    lock.unlock(); // the surplus buffer is freed outside the lock
}

FramePool::FramePool(int capacity, int width, int height)
    : m_capacity(std::max(0, capacity)) // a negative capacity counts as none
    , m_size(packSize(width, height))
    , m_state(std::make_shared<State>(capacity))
{
}

int FramePool::maxLiveFor(int capacity, std::int64_t width, std::int64_t height)
{
    const std::int64_t pixels = width * height;
    if (pixels <= kPixels1080p)
        return capacity + 2;
    if (pixels < kPixels2160p)
        return std::min(capacity, 12);
    if (pixels < kPixels4320p)
        return capacity >= 12 ? 10 : 4;
    return capacity >= 12 ? 6 : 3;
}

void FramePool::setFrameSize(int width, int height)
{
    m_size.store(packSize(std::max(1, width), std::max(1, height)), std::memory_order_release);
    const int cap = maxLiveFor(m_capacity, width, height);
    std::lock_guard lock(m_state->mutex);
    m_state->maxLive = cap;
}

FrameTokenPtr FramePool::acquire() { return take(true); }

FrameTokenPtr FramePool::tryAcquire() { return take(false); }

FrameTokenPtr FramePool::take(bool mayExceedCapacity)
{
    FrameToken* token = nullptr;
    QByteArray surplus; // freed after the lock
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->inUse >= m_state->maxLive)
            return {};
        surplus = m_state->takeSurplusBuffer(steadyNowNs());
        if (!m_state->idle.empty()) {
            token = m_state->idle.back().token;
            m_state->idle.pop_back();
        } else if (m_state->allocated < m_state->capacity) {
            ++m_state->allocated;
            token = new FrameToken;
        } else if (mayExceedCapacity) {
            token = new FrameToken; // an extra, freed when it meets a full idle list
        } else {
            return {};
        }
        ++m_state->inUse;
    }
    // If the control block cannot be made, shared_ptr calls the deleter, which
    // recycles the token.
    return FrameTokenPtr(token, TokenDeleter{m_state}, ControlBlockAllocator<FrameToken>(m_state));
}

void FramePool::prefault(int count)
{
    constexpr qsizetype kPageBytes = 4096;
    const auto [width, height] = frameSize();
    const qsizetype bytes = qsizetype(width) * height * 4;
    std::vector<FrameTokenPtr> tokens;
    for (int i = 0; i < count; ++i) {
        FrameTokenPtr token = tryAcquire();
        if (!token)
            break;
        if (token->data.size() < bytes)
            token->data.resize(bytes);
        tokens.push_back(std::move(token));
    }
    const auto touch = [bytes](char* data) {
        for (qsizetype offset = 0; offset < bytes; offset += kPageBytes)
            data[offset] = 0;
    };
    std::vector<std::thread> touching;
    for (const FrameTokenPtr& token : tokens) {
        char* const data = token->data.data();
        try {
            touching.emplace_back(touch, data);
        } catch (const std::system_error&) {
            touch(data); // no thread to be had: here, then
        }
    }
    for (std::thread& thread : touching)
        thread.join();
}

int FramePool::maxLive() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->maxLive;
}

int FramePool::inUse() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->inUse;
}

int FramePool::idleCount() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->idle.size());
}

int FramePool::allocated() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->allocated;
}
