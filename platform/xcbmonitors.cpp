#include "platform/xcbmonitors.h"

#include <xcb/randr.h>
#include <xcb/xinerama.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, Free>;

// RandR 1.5 monitors: what the desktop itself calls its monitors, by name.
std::vector<XcbMonitor> randrMonitors(xcb_connection_t* c, xcb_window_t root)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_randr_id);
    if (!extension || !extension->present)
        return {};
    const Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5))
        return {};
    const Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr));
    if (!reply)
        return {};
    std::vector<XcbMonitor> monitors;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        monitors.push_back({m->name, m->x, m->y, m->width, m->height});
    }
    return monitors;
}

std::vector<XcbMonitor> xineramaScreens(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_xinerama_id);
    if (!extension || !extension->present)
        return {};
    const Reply<xcb_xinerama_is_active_reply_t> active(
        xcb_xinerama_is_active_reply(c, xcb_xinerama_is_active(c), nullptr));
    if (!active || !active->state)
        return {};
    const Reply<xcb_xinerama_query_screens_reply_t> reply(
        xcb_xinerama_query_screens_reply(c, xcb_xinerama_query_screens(c), nullptr));
    if (!reply)
        return {};
    std::vector<XcbMonitor> monitors;
    for (auto it = xcb_xinerama_query_screens_screen_info_iterator(reply.get()); it.rem > 0;
         xcb_xinerama_screen_info_next(&it)) {
        monitors.push_back({XCB_ATOM_NONE, it.data->x_org, it.data->y_org, it.data->width, it.data->height});
    }
    return monitors;
}

} // namespace

std::vector<XcbMonitor> xcbMonitors(xcb_connection_t* connection, const xcb_screen_t* screen)
{
    if (!connection || !screen)
        return {};
    std::vector<XcbMonitor> monitors = randrMonitors(connection, screen->root);
    // A Xinerama display joins several X screens into one, and RandR sees
    // only the first of them: there the Xinerama heads are the monitors.
    std::vector<XcbMonitor> heads = xineramaScreens(connection);
    if (heads.size() > monitors.size())
        monitors = std::move(heads);
    if (monitors.empty())
        monitors.push_back({XCB_ATOM_NONE, 0, 0, screen->width_in_pixels, screen->height_in_pixels});
    return monitors;
}

bool xcbScreenIsBgrx(xcb_connection_t* connection, const xcb_screen_t* screen)
{
    if (!connection || !screen)
        return false;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        return false;
    bool depthIs32Bit = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen->root_depth)
            depthIs32Bit = it.data->bits_per_pixel == 32;
    }
    if (!depthIs32Bit)
        return false;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual)
                return v.data->red_mask == 0xff0000u && v.data->green_mask == 0xff00u && v.data->blue_mask == 0xffu;
        }
    }
    return false;
}

void copyOpaqueBgra(const std::uint8_t* source, int sourceStride, std::uint8_t* destination, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = source + std::size_t(y) * std::size_t(sourceStride);
        auto* out = reinterpret_cast<std::uint32_t*>(destination + std::size_t(y) * std::size_t(width) * 4);
        for (int x = 0; x < width; ++x) {
            std::uint32_t word;
            std::memcpy(&word, in + std::size_t(x) * 4, 4);
            out[x] = word | 0xff000000u;
        }
    }
}
