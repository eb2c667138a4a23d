#include "platform/desktopduplicator.h"

#include "platform/xcbmonitors.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

std::int64_t steadyMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool DesktopDuplicator::open(int outputIndex, QString* error)
{
    release();
    int screenNumber = 0;
    connection = xcb_connect(nullptr, &screenNumber);
    if (!connection || xcb_connection_has_error(connection)) {
        release();
        return setError(error, QStringLiteral("无法连接 X 显示（未设置 DISPLAY 或 X 服务器不可达；仅 Wayland 时无法采集桌面）"));
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    auto screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.rem > 0 ? screens.data : nullptr;
    if (!screen) {
        release();
        return setError(error, QStringLiteral("无法连接 X 显示（未设置 DISPLAY 或 X 服务器不可达；仅 Wayland 时无法采集桌面）"));
    }
    root = screen->root;

    const std::vector<XcbMonitor> monitors = xcbMonitors(connection, screen);
    if (outputIndex < 0 || outputIndex >= int(monitors.size())) {
        release();
        return setError(error, QStringLiteral("无效的显示器索引"));
    }
    if (!xcbScreenIsBgrx(connection, screen)) {
        release();
        return setError(error, QStringLiteral("X 显示的像素格式不是 32 位 BGRX，无法采集桌面"));
    }
    const XcbMonitor& m = monitors[std::size_t(outputIndex)];
    area = QRect(m.x, m.y, m.width, m.height)
               .intersected(QRect(0, 0, screen->width_in_pixels, screen->height_in_pixels));
    if (area.width() < 1 || area.height() < 1) {
        release();
        return setError(error, QStringLiteral("桌面复制尺寸无效"));
    }

    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection, &xcb_shm_id);
    if (shm && shm->present) {
        const std::size_t bytes = std::size_t(area.width()) * std::size_t(area.height()) * 4;
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id >= 0) {
            void* address = shmat(id, nullptr, 0);
            if (address != reinterpret_cast<void*>(-1)) {
                const std::uint32_t segment = xcb_generate_id(connection);
                xcb_generic_error_t* failure =
                    xcb_request_check(connection, xcb_shm_attach_checked(connection, segment, std::uint32_t(id), 0));
                if (failure) {
                    std::free(failure);
                    shmdt(address);
                } else {
                    shmSegment = segment;
                    shmAddress = static_cast<std::uint8_t*>(address);
                    shmBytes = bytes;
                }
            }
            // Both sides are attached (or gave up): the segment goes away
            // with its last user, even if this process dies.
            shmctl(id, IPC_RMID, nullptr);
        }
    }

    const xcb_query_extension_reply_t* damageExtension = xcb_get_extension_data(connection, &xcb_damage_id);
    if (damageExtension && damageExtension->present) {
        const Reply<xcb_damage_query_version_reply_t> version(
            xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
        if (version) {
            damage = xcb_generate_id(connection);
            xcb_damage_create(connection, damage, root, XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
            damageEventBase = damageExtension->first_event;
        }
    }

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    if (randr && randr->present) {
        hasRandr = true;
        randrEventBase = randr->first_event;
        xcb_randr_select_input(connection, root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
        const Reply<xcb_randr_get_screen_info_reply_t> info(
            xcb_randr_get_screen_info_reply(connection, xcb_randr_get_screen_info(connection, root), nullptr));
        if (info && info->rate > 0)
            refreshIntervalUs = 1000000 / info->rate;
    }
    xcb_flush(connection);

    damaged = true;
    accessLost = false;
    lastGrabUs = 0;
    const QSize size = area.size();
    skipNextFrame = lastOpenedSize.isValid() && lastOpenedSize != size;
    lastOpenedSize = size;
    return true;
}

void DesktopDuplicator::handleEvent(xcb_generic_event_t* event)
{
    const std::uint8_t type = event->response_type & 0x7f;
    if (damage && type == damageEventBase + XCB_DAMAGE_NOTIFY) {
        const auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(event);
        const QRect changed(notify->area.x, notify->area.y, notify->area.width, notify->area.height);
        if (changed.intersects(area))
            damaged = true;
    } else if (hasRandr && type == randrEventBase + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
        accessLost = true;
    }
}

void DesktopDuplicator::readPendingEvents()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        handleEvent(event);
        std::free(event);
    }
    if (xcb_connection_has_error(connection))
        accessLost = true;
}

bool DesktopDuplicator::grabFrame(std::vector<std::uint8_t>* pixels, int* width, int* height,
                                  std::uint64_t* timestampUs)
{
    if (!connection || !pixels || !width || !height || !timestampUs)
        return false;
    const std::int64_t deadline = steadyMicros() + std::int64_t(kGrabTimeoutMs) * 1000;
    for (;;) {
        readPendingEvents();
        if (accessLost)
            return false;
        const std::int64_t now = steadyMicros();
        // At most one picture per refresh, as a real scan-out would give.
        const std::int64_t due = lastGrabUs + refreshIntervalUs;
        if ((damaged || !damage) && now >= due)
            break;
        if (now >= deadline)
            return false;
        const std::int64_t until = damaged || !damage ? std::min(due, deadline) : deadline;
        pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
        poll(&fd, 1, int(std::max<std::int64_t>(1, (until - now + 999) / 1000)));
    }

    if (damage) {
        // Subtract before reading so that a change during the copy is seen
        // by the next grab.
        xcb_damage_subtract(connection, damage, XCB_NONE, XCB_NONE);
        damaged = false;
    }
    lastGrabUs = steadyMicros();
    if (!copyImage(pixels)) {
        // The rectangle no longer fits the screen: its size changed.
        accessLost = true;
        return false;
    }
    if (skipNextFrame) {
        skipNextFrame = false;
        return false;
    }
    *width = area.width();
    *height = area.height();
    *timestampUs = std::uint64_t(steadyMicros());
    return true;
}

bool DesktopDuplicator::copyImage(std::vector<std::uint8_t>* pixels)
{
    const int w = area.width();
    const int h = area.height();
    const std::size_t bytes = std::size_t(w) * std::size_t(h) * 4;
    if (shmSegment) {
        const Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, root, std::int16_t(area.x()), std::int16_t(area.y()), std::uint16_t(w),
                              std::uint16_t(h), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment, 0),
            nullptr));
        if (!reply || std::size_t(reply->size) < bytes || bytes > shmBytes)
            return false;
        pixels->resize(bytes);
        copyOpaqueBgra(shmAddress, w * 4, pixels->data(), w, h);
        return true;
    }
    const Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, root, std::int16_t(area.x()), std::int16_t(area.y()),
                      std::uint16_t(w), std::uint16_t(h), ~0u),
        nullptr));
    if (!reply || xcb_get_image_data_length(reply.get()) < 0 ||
        std::size_t(xcb_get_image_data_length(reply.get())) < bytes)
        return false;
    pixels->resize(bytes);
    copyOpaqueBgra(xcb_get_image_data(reply.get()), w * 4, pixels->data(), w, h);
    return true;
}

void DesktopDuplicator::drainFrames()
{
    if (connection)
        readPendingEvents();
}

bool DesktopDuplicator::takeAccessLost()
{
    const bool lost = accessLost;
    accessLost = false;
    return lost;
}

void DesktopDuplicator::release()
{
    if (connection) {
        if (damage)
            xcb_damage_destroy(connection, damage);
        if (shmSegment)
            xcb_shm_detach(connection, shmSegment);
        xcb_disconnect(connection);
    }
    if (shmAddress)
        shmdt(shmAddress);
    connection = nullptr;
    root = XCB_WINDOW_NONE;
    area = QRect();
    shmSegment = 0;
    shmAddress = nullptr;
    shmBytes = 0;
    damage = 0;
    hasRandr = false;
    damaged = true;
    refreshIntervalUs = 1000000 / kFallbackRefreshHz;
    accessLost = false;
    skipNextFrame = false;
}
