#pragma once

// Captures one monitor of the X display: one connection per open, the
// monitor's rectangle of the root window read through a MIT-SHM segment
// (plain GetImage without MIT-SHM), new pictures paced by DAMAGE on that
// rectangle and by the monitor's refresh. A screen-size change is reported
// as lost access: the owner releases and opens again.
//
// Threads: one decode thread owns a duplicator; several duplicators run
// independently.

#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

#include <xcb/xcb.h>

class DesktopDuplicator {
public:
    DesktopDuplicator() = default;
    ~DesktopDuplicator() { release(); }
    DesktopDuplicator(const DesktopDuplicator&) = delete;
    DesktopDuplicator& operator=(const DesktopDuplicator&) = delete;

    // Fails with the text shown to the operator in *error.
    bool open(int outputIndex, QString* error);
    // One new picture as tightly packed BGRA rows (stride width x 4, alpha
    // 0xFF) stamped with steady-clock microseconds. Waits up to 25 ms for
    // the monitor's area to change; false on a time-out, on lost access and
    // for the first picture after the monitor's size changed.
    bool grabFrame(std::vector<std::uint8_t>* pixels, int* width, int* height, std::uint64_t* timestampUs);
    // While paused: takes pending change reports without copying.
    void drainFrames();
    bool takeAccessLost();
    void release();

    static constexpr int kGrabTimeoutMs = 25;
    static constexpr int kFallbackRefreshHz = 60;

private:
    // DAMAGE on the monitor's rectangle marks a new picture; a RandR screen
    // change is lost access.
    void handleEvent(xcb_generic_event_t* event);
    void readPendingEvents();
    bool copyImage(std::vector<std::uint8_t>* pixels);

    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    QRect area;
    std::uint32_t shmSegment = 0; // 0 without MIT-SHM
    std::uint8_t* shmAddress = nullptr;
    std::size_t shmBytes = 0;
    std::uint32_t damage = 0; // 0 without DAMAGE: every grab copies
    std::uint8_t damageEventBase = 0;
    std::uint8_t randrEventBase = 0;
    bool hasRandr = false;
    bool damaged = true;
    std::int64_t refreshIntervalUs = 1000000 / kFallbackRefreshHz;
    std::int64_t lastGrabUs = 0;
    bool accessLost = false;
    bool skipNextFrame = false;
    QSize lastOpenedSize; // survives release so that a reopen sees a size change
};
