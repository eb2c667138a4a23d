#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A few threads kept for the life of their owner (the encoder's picture
// conversion, the compositor), so a frame's work splits into bands of rows
// without starting a thread per frame. The calling thread takes bands too,
// in the same queue: a helper the system is slow to wake leaves its bands to
// the others instead of holding the frame back.
//
// run() is called by one thread at a time (the owner's: the encode thread,
// the GUI thread).
class BandWorkers {
public:
    // Works on the caller's thread and threads - 1 helpers.
    explicit BandWorkers(int threads);
    ~BandWorkers();
    BandWorkers(const BandWorkers&) = delete;
    BandWorkers& operator=(const BandWorkers&) = delete;

    int threads() const { return int(helperThreads.size()) + 1; }
    // Calls job(band) once for every band in [0, bands) and returns when
    // all have run.
    void run(int bands, const std::function<void(int band)>& job);

private:
    void helperLoop();
    void takeBands(const std::function<void(int)>& work, int bands);

    std::vector<std::thread> helperThreads;

    // Guarded by mutex.
    std::mutex mutex;
    std::condition_variable started;
    std::condition_variable finished;
    const std::function<void(int)>* job = nullptr; // not owned; set only while run() is running
    int bandCount = 0;
    std::uint64_t generation = 0;
    int busyHelpers = 0;
    bool stopping = false;

    // The next band to take; reset under mutex before the helpers wake.
    std::atomic<int> nextBand{0};
};
