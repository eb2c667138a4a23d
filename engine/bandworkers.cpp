#include "engine/bandworkers.h"

BandWorkers::BandWorkers(int threads)
{
    for (int i = 1; i < threads; ++i)
        helperThreads.emplace_back([this] { helperLoop(); });
}

BandWorkers::~BandWorkers()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    started.notify_all();
    for (std::thread& helper : helperThreads)
        helper.join();
}

void BandWorkers::takeBands(const std::function<void(int)>& work, int bands)
{
    for (int band = nextBand.fetch_add(1); band < bands; band = nextBand.fetch_add(1))
        work(band);
}

void BandWorkers::run(int bands, const std::function<void(int band)>& work)
{
    if (helperThreads.empty() || bands < 2) {
        for (int band = 0; band < bands; ++band)
            work(band);
        return;
    }
    {
        std::lock_guard lock(mutex);
        job = &work;
        bandCount = bands;
        nextBand = 0;
        ++generation;
    }
    started.notify_all();
    takeBands(work, bands);
    // Every band is taken; wait for the helpers still inside one. A helper
    // that wakes after this finds no job and goes back to sleep.
    std::unique_lock lock(mutex);
    finished.wait(lock, [this] { return busyHelpers == 0; });
    job = nullptr;
}

void BandWorkers::helperLoop()
{
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex);
    for (;;) {
        started.wait(lock, [&] { return stopping || generation != seen; });
        if (stopping)
            return;
        seen = generation;
        if (!job)
            continue;
        const std::function<void(int)>* work = job;
        const int bands = bandCount;
        ++busyHelpers;
        lock.unlock();
        takeBands(*work, bands);
        lock.lock();
        if (--busyHelpers == 0)
            finished.notify_one();
    }
}
