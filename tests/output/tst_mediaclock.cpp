// The encoder sink's media clock (how pictures are stamped on the frame
// grid as frames arrive) and its audio FIFO, driven with made-up times and
// samples.

#include "output/audiofifo.h"
#include "output/mediaclock.h"

#include "support/testsupport.h"

#include <QtTest>

namespace {

// One picture handed to the clock and the stamp it must get.
struct Arrival {
    qint64 atUs = 0;
    bool draining = false;
    qint64 pts = 0;
    qint64 advancedMs = 0;
};
using Arrivals = QList<Arrival>;

// Frame i of the generated audio: left i, right -i.
std::vector<std::int16_t> framesFrom(int first, int count)
{
    std::vector<std::int16_t> samples;
    for (int i = first; i < first + count; ++i) {
        samples.push_back(std::int16_t(i % 30000));
        samples.push_back(std::int16_t(-(i % 30000)));
    }
    return samples;
}

} // namespace

Q_DECLARE_METATYPE(Arrivals)

class TestMediaClock : public QObject {
    Q_OBJECT

private slots:
    void stamps_data();
    void stamps();
    void fifo_data();
    void fifo();
};

void TestMediaClock::stamps_data()
{
    QTest::addColumn<int>("timeBaseDen");
    QTest::addColumn<Arrivals>("arrivals");

    // The 1/3 ms left over each frame is carried, not lost.
    QTest::newRow("steady 30 fps") << 30 << Arrivals{{0, false, 0, 1}, {33333, false, 1, 33},
                                                     {66667, false, 2, 33}, {100000, false, 3, 34}};
    // Frames that come in a bunch take the next free slots; the clock then
    // waits for the wall clock instead of keeping the lead.
    QTest::newRow("bunched frames") << 30 << Arrivals{{0, false, 0, 1},    {1000, false, 1, 32},
                                                      {2000, false, 2, 34}, {3000, false, 3, 33},
                                                      {200000, false, 6, 101}};
    QTest::newRow("stall counts ten seconds at most") << 30 << Arrivals{{0, false, 0, 1}, {60000000, false, 300, 10000}};
    QTest::newRow("millisecond time base") << 1000 << Arrivals{{0, false, 0, 1}, {33333, false, 33, 33},
                                                               {40000, false, 67, 33}};
    // Frames still queued at a stop last one interval each, however fast
    // they are encoded.
    QTest::newRow("draining after a stop") << 30 << Arrivals{{0, false, 0, 1}, {500, true, 1, 33}, {600, true, 2, 33}};
}

void TestMediaClock::stamps()
{
    QFETCH(int, timeBaseDen);
    QFETCH(Arrivals, arrivals);

    MediaClock clock;
    QVERIFY(!clock.started());
    const qint64 startNs = 5000000000LL;
    for (int i = 0; i < arrivals.size(); ++i) {
        const Arrival& a = arrivals[i];
        const MediaClock::Picture p =
            clock.stampPicture(startNs + a.atUs * 1000, a.draining, AVRational{1, timeBaseDen}, 30);
        QVERIFY2(p.pts == a.pts && p.advancedMs == a.advancedMs,
                 qPrintable(QString("picture %1: pts %2 advanced %3 ms, expected %4 and %5")
                                .arg(i).arg(p.pts).arg(p.advancedMs).arg(a.pts).arg(a.advancedMs)));
        QCOMPARE(clock.lastPts(), a.pts);
    }
    QVERIFY(clock.started());

    // A new encoder stamps from its own start; the media time goes on.
    const qint64 mediaMs = clock.mediaMs();
    clock.forgetPictures();
    QVERIFY(!clock.hasPicture());
    QCOMPARE(clock.mediaMs(), mediaMs);
}

void TestMediaClock::fifo_data()
{
    // Steps: "a N" appends N frames, "p N" pads a short frame to N,
    // "t N" takes N frames. `taken` holds the first frame number of each
    // take, -1 when it must find too few.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QList<int>>("taken");
    QTest::addColumn<qint64>("unreadAfter");

    QTest::newRow("whole frames in order") << "a 5, t 2, t 2, t 2" << QList<int>{0, 2, -1} << qint64(1);
    QTest::newRow("short last frame padded") << "a 3, p 4, t 4" << QList<int>{0} << qint64(0);
    QTest::newRow("a whole frame is not padded") << "a 5, p 4, t 4, t 4" << QList<int>{0, -1} << qint64(1);
    QTest::newRow("nothing to pad") << "p 4, t 1" << QList<int>{-1} << qint64(0);
    // Reads across the point where taken samples are dropped keep order.
    QTest::newRow("across compaction") << "a 5000, t 1024, t 1024, t 1024, t 1024, a 100, t 1000"
                                       << QList<int>{0, 1024, 2048, 3072, 4096} << qint64(4);
    // Past 15 seconds the oldest audio gives way.
    QTest::newRow("over fifteen seconds") << "a 720000, a 10, t 1" << QList<int>{10} << qint64(719999);
}

void TestMediaClock::fifo()
{
    QFETCH(QString, steps);
    QFETCH(QList<int>, taken);
    QFETCH(qint64, unreadAfter);

    AudioFifo fifo;
    int appended = 0;
    QList<int> seen;
    for (const QString& step : steps.split(", ")) {
        const int n = step.mid(2).toInt();
        if (step.startsWith('a')) {
            const std::vector<std::int16_t> samples = framesFrom(appended, n);
            fifo.append(samples.data(), n);
            appended += n;
        } else if (step.startsWith('p')) {
            fifo.padShortFrame(n);
        } else {
            const std::int16_t* frames = fifo.take(n);
            seen << (frames ? int(frames[0]) : -1);
            // The frames taken follow each other; silence follows the
            // last one appended.
            for (int i = 1; frames && i < n; ++i) {
                const int number = frames[0] + i;
                const int expected = number < appended ? number % 30000 : 0;
                QVERIFY2(frames[2 * i] == expected && frames[2 * i + 1] == -expected,
                         qPrintable(QString("frame %1 of a take: %2, expected %3").arg(i).arg(frames[2 * i]).arg(expected)));
            }
        }
    }
    QCOMPARE(seen, taken);
    QCOMPARE(fifo.unreadFrames(), unreadAfter);
}

QUORB_TEST_MAIN(TestMediaClock)
#include "tst_mediaclock.moc"
