#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// Program time in milliseconds, held by value by the main window and read by
// the scheduler. GUI thread only; no locks.
//
// tick() adds the time since the previous tick. Sub-millisecond remainders are
// carried to the next tick so that a clock driven by 33.3 ms ticks keeps time;
// an interval of 5 s or more (a stall) is dropped whole.
struct ProgramClock {
    static constexpr qint64 kMaxTickMs = 4999;

    qint64 positionMs = 0;
    bool running = false;
    QElapsedTimer timer;

    void setPositionMs(qint64 ms) { positionMs = qMax<qint64>(0, ms); }

    void setRunning(bool on)
    {
        if (on == running)
            return;
        running = on;
        if (on)
            restartTimer();
    }

    void reset(qint64 ms, bool run)
    {
        running = run;
        positionMs = qMax<qint64>(0, ms);
        restartTimer();
    }

    void tick()
    {
        if (!running)
            return;
        if (!timer.isValid()) {
            restartTimer();
            return;
        }
        const qint64 elapsedNs = timer.nsecsElapsed();
        timer.restart();
        addElapsedNs(elapsedNs);
    }

    void advance(qint64 ms)
    {
        if (ms > 0)
            positionMs += ms;
    }

    void restartTimer()
    {
        timer.restart();
        remainderNs = 0;
    }

    // The arithmetic of one tick, given the measured interval.
    void addElapsedNs(qint64 elapsedNs)
    {
        const qint64 totalNs = remainderNs + qMax<qint64>(0, elapsedNs);
        const qint64 dtMs = totalNs / 1000000;
        if (dtMs > kMaxTickMs) {
            remainderNs = 0;
            return;
        }
        remainderNs = totalNs - dtMs * 1000000;
        if (dtMs >= 1)
            positionMs += dtMs;
    }

    // Part of a millisecond measured but not yet added.
    qint64 remainderNs = 0;
};
