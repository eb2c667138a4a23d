#include "engine/framepool.h"
#include "engine/framequeue.h"
#include "support/testsupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

class TestFramePool : public QObject {
    Q_OBJECT
private slots:
    void liveTokenCap_data();
    void liveTokenCap();
    void acquireBeyondCapacityThenRefuses();
    void returnKeepsCapacityAndDeletesExtras();
    void tryAcquireStopsAtCapacity();
    void lowerCapKeepsHandedOutTokens();
    void reusedTokenIsReset();
    void surplusLargeIdleBufferIsFreedOnceItStaysIdle();
    void prefaultedBuffersAreResident();
    void tokensOutliveTheirPool();
    void negativeCapacityCountsAsNone();
    void frameQueueKeepsNewest();
    void validTokenRules_data();
    void validTokenRules();
    void concurrentAcquireWhileResizing();
};

void TestFramePool::liveTokenCap_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("maxLive");
    const struct { int w, h, cap18, cap6; } rows[] = {
        {1920, 1080, 20, 8}, {1920, 1081, 12, 6}, {3840, 2159, 12, 6}, {3840, 2160, 10, 4},
        {7680, 4319, 10, 4}, {7680, 4320, 6, 3},  {640, 360, 20, 8},   {0, 0, 20, 8},
    };
    for (const auto& r : rows) {
        QTest::addRow("cap18 %dx%d", r.w, r.h) << 18 << r.w << r.h << r.cap18;
        QTest::addRow("cap6 %dx%d", r.w, r.h) << 6 << r.w << r.h << r.cap6;
    }
}

void TestFramePool::liveTokenCap()
{
    QFETCH(int, capacity);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, maxLive);
    FramePool pool(capacity, 1920, 1080);
    QCOMPARE(pool.maxLive(), capacity + 2);
    pool.setFrameSize(width, height);
    QCOMPARE(pool.maxLive(), maxLive);
    QCOMPARE(pool.width(), qMax(1, width));
    QCOMPARE(pool.height(), qMax(1, height));
}

void TestFramePool::acquireBeyondCapacityThenRefuses()
{
    FramePool pool(18, 1920, 1080);
    pool.setFrameSize(1920, 1080);
    std::vector<FrameTokenPtr> held;
    for (int i = 0; i < 20; ++i) {
        held.push_back(pool.acquire());
        QVERIFY2(held.back(), qPrintable(QString("token %1").arg(i + 1)));
    }
    QVERIFY(!pool.acquire());
    QCOMPARE(pool.allocated(), 18);
    held.pop_back();
    QVERIFY(pool.acquire());
}

void TestFramePool::returnKeepsCapacityAndDeletesExtras()
{
    FramePool pool(18, 1920, 1080);
    {
        std::vector<FrameTokenPtr> held;
        for (int i = 0; i < 20; ++i)
            held.push_back(pool.acquire());
        QCOMPARE(pool.inUse(), 20);
    }
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(pool.idleCount(), 18);
}

void TestFramePool::tryAcquireStopsAtCapacity()
{
    FramePool pool(6, 1920, 1080);
    QCOMPARE(pool.maxLive(), 8);
    std::vector<FrameTokenPtr> held;
    for (int i = 0; i < 6; ++i) {
        held.push_back(pool.tryAcquire());
        QVERIFY(held.back());
    }
    QVERIFY(!pool.tryAcquire());
    held.pop_back();
    QVERIFY(pool.tryAcquire()); // the returned token is idle again
}

void TestFramePool::lowerCapKeepsHandedOutTokens()
{
    FramePool pool(18, 1920, 1080);
    std::vector<FrameTokenPtr> held;
    for (int i = 0; i < 12; ++i)
        held.push_back(pool.acquire());
    pool.setFrameSize(7680, 4320); // cap 6
    for (const auto& t : held)
        QVERIFY(t);
    QVERIFY(!pool.acquire());
    held.resize(6);
    QVERIFY(!pool.acquire());
    held.resize(5);
    QVERIFY(pool.acquire());
}

void TestFramePool::reusedTokenIsReset()
{
    FramePool pool(2, 4, 4);
    FrameToken* raw = nullptr;
    {
        FrameTokenPtr t = pool.acquire();
        QCOMPARE(t->pixelFormat, FrameToken::kRgba8888);
        QCOMPARE(t->width, 0);
        QVERIFY(t->data.isEmpty());
        t->width = 4;
        t->height = 4;
        t->bytesPerLine = 16;
        t->ptsUs = 1234;
        t->generation = 7;
        t->reserved = 9;
        t->data.resize(64);
        raw = t.get();
    }
    FrameTokenPtr again = pool.acquire();
    QCOMPARE(again.get(), raw);
    QCOMPARE(again->ptsUs, 0);
    QCOMPARE(again->width, 0);
    QCOMPARE(again->height, 0);
    QCOMPARE(again->reserved, 0u);
    QCOMPARE(again->generation, 7u);
    QCOMPARE(again->bytesPerLine, 16);
    QCOMPARE(again->data.size(), 64);
}

// A 4K source's pictures come back in twos and threes: the buffers they
// need again at once stay, and only a third idle one that the pool then
// leaves alone for the hold time is given back.
void TestFramePool::surplusLargeIdleBufferIsFreedOnceItStaysIdle()
{
    FramePool pool(18, 3840, 2160);
    std::vector<FrameTokenPtr> held;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 4; ++i) {
            held.push_back(pool.acquire());
            if (round > 0)
                QVERIFY2(held.back()->data.capacity() >= FramePool::kLargeBufferBytes,
                         qPrintable(QString("round %1: picture %2 needed a new buffer").arg(round).arg(i)));
            held.back()->data.resize(FramePool::kLargeBufferBytes);
        }
        held.clear(); // returned in order: the first at the bottom of the idle stack
    }
    QCOMPARE(pool.idleCount(), 4);

    std::this_thread::sleep_for(std::chrono::nanoseconds(FramePool::kSurplusHoldNs + 100000000));
    // Two of the four are more than the pool keeps: a take and a return
    // each give back the buffer idle longest.
    pool.acquire().reset();
    std::vector<FrameTokenPtr> again;
    for (int i = 0; i < 4; ++i)
        again.push_back(pool.acquire());
    const auto withBuffer = std::count_if(again.begin(), again.end(), [](const FrameTokenPtr& t) {
        return t->data.capacity() >= FramePool::kLargeBufferBytes;
    });
    QCOMPARE(withBuffer, 2);
}

// After the frame size grows, prefaulted buffers are handed out at the new
// size with their memory already there: the first frames at that size fault
// in nothing. The pool's bookkeeping is as if they had been used once.
void TestFramePool::prefaultedBuffersAreResident()
{
    // The share of the pages from the first whole one to the last that are
    // in memory.
    const auto residentShare = [](const char* data, qsizetype size) {
        const auto page = std::uintptr_t(sysconf(_SC_PAGESIZE));
        const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) / page * page;
        const auto end = (reinterpret_cast<std::uintptr_t>(data) + std::uintptr_t(size)) / page * page;
        std::vector<unsigned char> pages((end - begin) / page);
        if (pages.empty() || mincore(reinterpret_cast<void*>(begin), end - begin, pages.data()) != 0)
            return -1.0;
        return double(std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; }))
            / double(pages.size());
    };
    constexpr qsizetype kBytes = 3840 * 2160 * 4;
    // Memory nobody wrote is not there yet: the check sees the difference.
    void* untouched = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(untouched != MAP_FAILED);
    const double untouchedShare = residentShare(static_cast<const char*>(untouched), kBytes);
    munmap(untouched, kBytes);
    QVERIFY2(untouchedShare >= 0 && untouchedShare < 0.5, qPrintable(QString::number(untouchedShare)));

    FramePool pool(18, 1920, 1080);
    pool.setFrameSize(3840, 2160);
    pool.prefault(3);
    QCOMPARE(pool.inUse(), 0);
    QCOMPARE(pool.idleCount(), 3);
    std::vector<FrameTokenPtr> taken;
    for (int i = 0; i < 3; ++i) {
        taken.push_back(pool.acquire());
        QVERIFY(taken.back()->data.size() >= kBytes);
        QCOMPARE(residentShare(taken.back()->data.constData(), taken.back()->data.size()), 1.0);
    }

    // Never beyond the capacity.
    FramePool small(2, 640, 360);
    small.prefault(5);
    QCOMPARE(small.allocated(), 2);
    QCOMPARE(small.idleCount(), 2);
}

void TestFramePool::tokensOutliveTheirPool()
{
    std::vector<FrameTokenPtr> held;
    {
        FramePool pool(4, 64, 64);
        for (int i = 0; i < 6; ++i) {
            held.push_back(pool.acquire());
            held.back()->data.resize(64 * 64 * 4);
        }
    }
    held.clear(); // recycled into the orphaned state, then freed with it (ASan checks)
    QVERIFY(held.empty());
}

void TestFramePool::negativeCapacityCountsAsNone()
{
    FramePool pool(-3, 16, 16);
    QCOMPARE(pool.capacity(), 0);
    QCOMPARE(pool.maxLive(), 2);
    QVERIFY(!pool.tryAcquire());
    FrameTokenPtr extra = pool.acquire();
    QVERIFY(extra);
    extra.reset();
    QCOMPARE(pool.idleCount(), 0);
}

void TestFramePool::frameQueueKeepsNewest()
{
    FramePool pool(8, 4, 4);
    FrameQueue queue;
    queue.init(1);
    QVERIFY(!queue.latest());
    queue.push(FrameTokenPtr());
    QCOMPARE(queue.size(), size_t(0));
    FrameTokenPtr first = pool.acquire();
    first->ptsUs = 1;
    FrameTokenPtr second = pool.acquire();
    second->ptsUs = 2;
    queue.push(std::move(first));
    queue.push(std::move(second));
    QCOMPARE(queue.size(), size_t(1));
    QCOMPARE(queue.latest()->ptsUs, 2);
    QCOMPARE(pool.inUse(), 1); // the replaced frame went back to its pool
    queue.clear();
    QCOMPARE(pool.inUse(), 0);

    FrameQueue defaults;
    defaults.init(0);
    for (int i = 0; i < 10; ++i)
        defaults.push(pool.acquire());
    QCOMPARE(defaults.size(), FrameQueue::kDefaultCapacity);
}

void TestFramePool::validTokenRules_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("stride");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("valid");
    QTest::newRow("exact") << 4 << 2 << 16 << 32 << 1 << true;
    QTest::newRow("padded stride and buffer") << 4 << 2 << 20 << 64 << 1 << true;
    QTest::newRow("short buffer") << 4 << 2 << 16 << 31 << 1 << false;
    QTest::newRow("short stride") << 4 << 2 << 15 << 32 << 1 << false;
    QTest::newRow("zero width") << 0 << 2 << 16 << 32 << 1 << false;
    QTest::newRow("negative height") << 4 << -2 << 16 << 32 << 1 << false;
    QTest::newRow("other format") << 4 << 2 << 16 << 32 << 2 << false;
}

void TestFramePool::validTokenRules()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, stride);
    QFETCH(int, bytes);
    QFETCH(int, format);
    QFETCH(bool, valid);
    FrameToken t;
    t.width = width;
    t.height = height;
    t.bytesPerLine = stride;
    t.data.resize(bytes);
    t.pixelFormat = std::uint8_t(format);
    QCOMPARE(isValidFrameToken(t), valid);
}

void TestFramePool::concurrentAcquireWhileResizing()
{
    auto pool = std::make_unique<FramePool>(18, 1920, 1080);
    FrameQueue queue;
    queue.init(3);
    std::atomic<bool> stop{false};
    std::atomic<int> produced{0};
    std::atomic<int> tornReads{0};
    const QSize sizes[] = {{1920, 1080}, {3840, 2160}, {7680, 4320}, {2560, 1440}, {640, 360}};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<FrameTokenPtr> keep;
            while (!stop.load()) {
                FrameTokenPtr token = (t % 2) ? pool->tryAcquire() : pool->acquire();
                if (!token) {
                    keep.clear();
                    std::this_thread::yield();
                    continue;
                }
                const auto [fw, fh] = pool->frameSize();
                if (!std::any_of(std::begin(sizes), std::end(sizes), [&](QSize x) { return x == QSize(fw, fh); }))
                    ++tornReads;
                const int w = qMin(fw, 64);
                const int h = qMin(fh, 64);
                token->width = w;
                token->height = h;
                token->bytesPerLine = w * 4;
                token->data.resize(w * h * 4);
                token->data.fill(char(t));
                ++produced;
                if (t == 0)
                    queue.push(std::move(token));
                else if (keep.size() < 3)
                    keep.push_back(std::move(token));
                else
                    keep.clear();
            }
        });
    }
    std::thread reader([&] {
        while (!stop.load()) {
            FrameTokenPtr latest = queue.latest();
            if (latest && !isValidFrameToken(latest))
                ++tornReads;
        }
    });
    // Keep resizing until the producers have done real work (they may start
    // late on a loaded machine), bounded in time.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; (i < 20000 || produced.load() < 20000) && timer.elapsed() < 10000; ++i) {
        const QSize s = sizes[i % 5];
        pool->setFrameSize(s.width(), s.height());
    }
    stop = true;
    for (auto& th : threads)
        th.join();
    reader.join();
    QVERIFY(produced.load() > 0);
    QCOMPARE(tornReads.load(), 0); // never the width of one size with the height of another
    queue.clear();
    QCOMPARE(pool->inUse(), 0);
    QVERIFY(pool->idleCount() <= 18);
}

QUORB_TEST_MAIN(TestFramePool)
#include "tst_framepool.moc"
