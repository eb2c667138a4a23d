// libwgccapture.so: captures one X window (through Composite, so covered
// parts are captured too) or one monitor into packed BGRA for the program,
// which loads it at run time. Each handle owns its own connection.

#include "platform/xcbmonitors.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kNoNewPicture = -1;
constexpr int kFailed = -2;
constexpr int kTooLarge = -4;
constexpr int kWindowGone = -5;

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

struct Capture {
    xcb_connection_t* c = nullptr;
    const xcb_screen_t* screen = nullptr;
    xcb_drawable_t source = XCB_NONE; // the named window pixmap, or the root for a monitor
    xcb_window_t window = XCB_NONE;   // the captured frame; none for a monitor
    int x = 0, y = 0, width = 0, height = 0;
    std::uint32_t damage = 0;
    std::uint8_t damageEventBase = 0;
    bool dirty = true;
    bool gone = false;
    bool stale = false; // the window's size changed: name its pixmap again
    std::uint32_t shmSegment = 0;
    std::uint8_t* shmAddress = nullptr;
    std::size_t shmBytes = 0;
};

void releaseShm(Capture* cap)
{
    if (cap->shmSegment)
        xcb_shm_detach(cap->c, cap->shmSegment);
    if (cap->shmAddress)
        shmdt(cap->shmAddress);
    cap->shmSegment = 0;
    cap->shmAddress = nullptr;
    cap->shmBytes = 0;
}

// A segment of at least bytes; false without MIT-SHM (plain GetImage then).
bool ensureShm(Capture* cap, std::size_t bytes)
{
    if (cap->shmSegment && cap->shmBytes >= bytes)
        return true;
    releaseShm(cap);
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(cap->c, &xcb_shm_id);
    if (!shm || !shm->present)
        return false;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    void* address = shmat(id, nullptr, 0);
    bool ok = false;
    if (address != reinterpret_cast<void*>(-1)) {
        const std::uint32_t segment = xcb_generate_id(cap->c);
        xcb_generic_error_t* e = xcb_request_check(cap->c, xcb_shm_attach_checked(cap->c, segment, std::uint32_t(id), 0));
        if (e) {
            std::free(e);
            shmdt(address);
        } else {
            cap->shmSegment = segment;
            cap->shmAddress = static_cast<std::uint8_t*>(address);
            cap->shmBytes = bytes;
            ok = true;
        }
    }
    shmctl(id, IPC_RMID, nullptr);
    return ok;
}

void destroyCapture(Capture* cap)
{
    if (!cap)
        return;
    if (cap->c) {
        releaseShm(cap);
        if (cap->damage)
            xcb_damage_destroy(cap->c, cap->damage);
        if (cap->window && cap->source != cap->window && cap->source != XCB_NONE)
            xcb_free_pixmap(cap->c, cap->source);
        if (cap->window && !cap->gone)
            xcb_composite_unredirect_window(cap->c, cap->window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        xcb_disconnect(cap->c);
    }
    delete cap;
}

Capture* connect()
{
    auto* cap = new Capture;
    int screenNumber = 0;
    cap->c = xcb_connect(nullptr, &screenNumber);
    if (!cap->c || xcb_connection_has_error(cap->c)) {
        destroyCapture(cap);
        return nullptr;
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(cap->c));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i)
        xcb_screen_next(&it);
    cap->screen = it.rem > 0 ? it.data : nullptr;
    if (!cap->screen || !xcbScreenIsBgrx(cap->c, cap->screen)) {
        destroyCapture(cap);
        return nullptr;
    }
    return cap;
}

bool startDamage(Capture* cap, xcb_drawable_t drawable)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(cap->c, &xcb_damage_id);
    if (!ext || !ext->present)
        return true; // every copy then reads a new picture
    const Reply<xcb_damage_query_version_reply_t> version(
        xcb_damage_query_version_reply(cap->c, xcb_damage_query_version(cap->c, 1, 1), nullptr));
    if (!version)
        return true;
    cap->damage = xcb_generate_id(cap->c);
    cap->damageEventBase = ext->first_event;
    xcb_damage_create(cap->c, cap->damage, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    return true;
}

// Names the frame's backing pixmap again (after a resize) and reads its size.
bool nameWindowPixmap(Capture* cap)
{
    if (cap->source != XCB_NONE)
        xcb_free_pixmap(cap->c, cap->source);
    cap->source = XCB_NONE;
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(cap->c, xcb_get_geometry(cap->c, cap->window), nullptr));
    if (!geometry) {
        cap->gone = true;
        return false;
    }
    const xcb_pixmap_t pixmap = xcb_generate_id(cap->c);
    xcb_generic_error_t* e =
        xcb_request_check(cap->c, xcb_composite_name_window_pixmap_checked(cap->c, cap->window, pixmap));
    if (e) {
        // An unmapped window has no pixmap yet; a destroyed one is gone.
        std::free(e);
        return false;
    }
    cap->source = pixmap;
    cap->width = geometry->width + 2 * geometry->border_width;
    cap->height = geometry->height + 2 * geometry->border_width;
    cap->stale = false;
    return true;
}

void readEvents(Capture* cap)
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(cap->c)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (cap->damage && type == cap->damageEventBase + XCB_DAMAGE_NOTIFY) {
            cap->dirty = true;
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            const auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
            if (configure->window == cap->window) {
                cap->stale = true;
                cap->dirty = true;
            }
        } else if (type == XCB_DESTROY_NOTIFY) {
            if (reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == cap->window)
                cap->gone = true;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(cap->c))
        cap->gone = true;
}

std::int64_t steadyMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void* wgc_capture_create(std::uintptr_t window)
{
    if (window == 0 || window > 0xffffffffu)
        return nullptr;
    Capture* cap = connect();
    if (!cap)
        return nullptr;
    const xcb_query_extension_reply_t* composite = xcb_get_extension_data(cap->c, &xcb_composite_id);
    if (!composite || !composite->present) {
        destroyCapture(cap);
        return nullptr;
    }
    const Reply<xcb_composite_query_version_reply_t> version(
        xcb_composite_query_version_reply(cap->c, xcb_composite_query_version(cap->c, 0, 2), nullptr));
    // Climb to the child of the root: a window manager's frame holds the
    // client's picture together with its decoration.
    xcb_window_t current = xcb_window_t(window);
    for (int depth = 0; depth < 64; ++depth) {
        const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(cap->c, xcb_query_tree(cap->c, current), nullptr));
        if (!tree || current == cap->screen->root) {
            destroyCapture(cap);
            return nullptr;
        }
        if (tree->parent == cap->screen->root)
            break;
        current = tree->parent;
    }
    cap->window = current;
    const std::uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(cap->c, cap->window, XCB_CW_EVENT_MASK, &events);
    xcb_composite_redirect_window(cap->c, cap->window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (!version || !nameWindowPixmap(cap)) {
        destroyCapture(cap);
        return nullptr;
    }
    startDamage(cap, cap->window);
    xcb_flush(cap->c);
    return cap;
}

__attribute__((visibility("default"))) void* wgc_capture_create_monitor(std::uintptr_t monitor)
{
    if (monitor == 0)
        return nullptr;
    Capture* cap = connect();
    if (!cap)
        return nullptr;
    const std::vector<XcbMonitor> monitors = xcbMonitors(cap->c, cap->screen);
    if (monitor > monitors.size()) {
        destroyCapture(cap);
        return nullptr;
    }
    const XcbMonitor& m = monitors[monitor - 1];
    cap->source = cap->screen->root;
    cap->x = std::max(0, m.x);
    cap->y = std::max(0, m.y);
    cap->width = std::min(m.x + m.width, int(cap->screen->width_in_pixels)) - cap->x;
    cap->height = std::min(m.y + m.height, int(cap->screen->height_in_pixels)) - cap->y;
    if (cap->width < 1 || cap->height < 1) {
        destroyCapture(cap);
        return nullptr;
    }
    startDamage(cap, cap->screen->root);
    xcb_flush(cap->c);
    return cap;
}

__attribute__((visibility("default"))) void wgc_capture_destroy(void* handle)
{
    destroyCapture(static_cast<Capture*>(handle));
}

__attribute__((visibility("default"))) int wgc_capture_copy_bgra(void* handle, std::uint8_t* destination,
                                                                 int capacityBytes, int* width, int* height,
                                                                 std::int64_t* timestampUs)
{
    auto* cap = static_cast<Capture*>(handle);
    if (!cap || !destination || !width || !height || !timestampUs)
        return kFailed;
    readEvents(cap);
    if (cap->gone)
        return kWindowGone;
    if (cap->window && (cap->stale || cap->source == XCB_NONE) && !nameWindowPixmap(cap))
        return cap->gone ? kWindowGone : kFailed;
    if (cap->damage && !cap->dirty)
        return kNoNewPicture;
    const int w = cap->width;
    const int h = cap->height;
    const std::size_t bytes = std::size_t(w) * std::size_t(h) * 4;
    if (w < 1 || h < 1)
        return kFailed;
    if (capacityBytes < 0 || std::int64_t(bytes) > std::int64_t(capacityBytes))
        return kTooLarge;
    if (cap->damage) {
        xcb_damage_subtract(cap->c, cap->damage, XCB_NONE, XCB_NONE);
        cap->dirty = false;
    }
    if (ensureShm(cap, bytes)) {
        const Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            cap->c,
            xcb_shm_get_image(cap->c, cap->source, std::int16_t(cap->x), std::int16_t(cap->y), std::uint16_t(w),
                              std::uint16_t(h), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, cap->shmSegment, 0),
            nullptr));
        if (!reply || reply->depth < 24 || std::size_t(reply->size) < bytes) {
            cap->dirty = true;
            cap->stale = cap->window != XCB_NONE;
            return kFailed;
        }
        copyOpaqueBgra(cap->shmAddress, w * 4, destination, w, h);
    } else {
        const Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
            cap->c,
            xcb_get_image(cap->c, XCB_IMAGE_FORMAT_Z_PIXMAP, cap->source, std::int16_t(cap->x), std::int16_t(cap->y),
                          std::uint16_t(w), std::uint16_t(h), ~0u),
            nullptr));
        if (!reply || reply->depth < 24 || xcb_get_image_data_length(reply.get()) < 0 ||
            std::size_t(xcb_get_image_data_length(reply.get())) < bytes) {
            cap->dirty = true;
            cap->stale = cap->window != XCB_NONE;
            return kFailed;
        }
        copyOpaqueBgra(xcb_get_image_data(reply.get()), w * 4, destination, w, h);
    }
    *width = w;
    *height = h;
    *timestampUs = steadyMicros();
    return kOk;
}

} // extern "C"
