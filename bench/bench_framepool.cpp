// Steady-state cost of taking and returning pooled frames, and heap
// allocations per frame (goal: none), beside a memcpy of one frame.

#include "engine/framepool.h"
#include "engine/framequeue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {
std::atomic<long long> g_allocations{0};
}

void* operator new(std::size_t n)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

double nsSince(Clock::time_point t0, long long n)
{
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / double(n);
}

void fill(FrameToken& t, int w, int h)
{
    t.width = w;
    t.height = h;
    t.bytesPerLine = w * 4;
    t.data.resize(qsizetype(w) * h * 4); // reuses the buffer once it is large enough
}

} // namespace

int main()
{
    const int w = 1920, h = 1080;
    const long long iterations = 2'000'000;

    // One thread: acquire, size, release.
    FramePool pool(18, w, h);
    for (int i = 0; i < 100; ++i) {
        FrameTokenPtr t = pool.acquire();
        fill(*t, w, h);
    }
    long long allocBefore = g_allocations.load();
    auto t0 = Clock::now();
    for (long long i = 0; i < iterations; ++i) {
        FrameTokenPtr t = pool.acquire();
        fill(*t, w, h);
    }
    const double singleNs = nsSince(t0, iterations);
    const long long singleAllocs = g_allocations.load() - allocBefore;

    // Reference: one memcpy of a 1080p RGBA frame.
    std::vector<char> src(size_t(w) * h * 4, 1), dst(size_t(w) * h * 4);
    const int copies = 500;
    t0 = Clock::now();
    for (int i = 0; i < copies; ++i) {
        src[size_t(i)] = char(i);
        std::memcpy(dst.data(), src.data(), src.size());
    }
    const double memcpyNs = nsSince(t0, copies);

    // Four producers, one consumer through a newest-wins queue of depth 3.
    FramePool shared(18, w, h);
    FrameQueue queue;
    queue.init(3);
    std::atomic<bool> stop{false};
    std::atomic<long long> produced{0}, skipped{0}, consumed{0};
    std::vector<std::thread> producers;
    // Warm the pool so that every token has its buffer.
    {
        std::vector<FrameTokenPtr> warm;
        for (int i = 0; i < 20; ++i) {
            warm.push_back(shared.acquire());
            fill(*warm.back(), w, h);
        }
    }
    const auto runFor = std::chrono::milliseconds(1500);
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                FrameTokenPtr t = shared.tryAcquire();
                if (!t) {
                    skipped.fetch_add(1, std::memory_order_relaxed);
                    std::this_thread::yield();
                    continue;
                }
                fill(*t, w, h);
                queue.push(std::move(t));
                produced.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    std::thread consumer([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (FrameTokenPtr t = queue.latest())
                consumed.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // deque chunks settle
    allocBefore = g_allocations.load();
    const long long producedBefore = produced.load();
    t0 = Clock::now();
    std::this_thread::sleep_for(runFor);
    const long long steadyProduced = produced.load() - producedBefore;
    const long long multiAllocs = g_allocations.load() - allocBefore;
    const double multiNs = std::chrono::duration<double, std::nano>(Clock::now() - t0).count()
                           / double(steadyProduced ? steadyProduced : 1);
    stop = true;
    for (auto& t : producers)
        t.join();
    consumer.join();

    std::printf("frame pool, 1920x1080 RGBA tokens\n");
    std::printf("  reference memcpy of one frame:        %10.1f ns\n", memcpyNs);
    std::printf("  1 thread acquire+release:             %10.1f ns  (ratio to memcpy %.5f)\n", singleNs,
                singleNs / memcpyNs);
    std::printf("  1 thread heap allocations per frame:  %10.4f  (%lld in %lld frames)\n",
                double(singleAllocs) / double(iterations), singleAllocs, iterations);
    std::printf("  4 producers + 1 consumer per frame:   %10.1f ns  (ratio to memcpy %.5f), %lld frames, %lld skipped at cap\n",
                multiNs, multiNs / memcpyNs, steadyProduced, skipped.load());
    std::printf("  4+1 heap allocations per frame:       %10.4f  (%lld in %lld frames)\n",
                double(multiAllocs) / double(steadyProduced ? steadyProduced : 1), multiAllocs, steadyProduced);
    return 0;
}
