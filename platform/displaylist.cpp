#include "platform/displaylist.h"

#include "platform/xcbsupport.h"

#include <xcb/randr.h>
#include <xcb/xinerama.h>

namespace {

struct Monitor {
    QString name;
    QRect geometry;
};

QString displayLabel(const QString& name, const QRect& geometry)
{
    return QStringLiteral("%1 — %2×%3")
        .arg(name.isEmpty() ? QStringLiteral("Display") : name)
        .arg(geometry.width())
        .arg(geometry.height());
}

// RandR 1.5 monitors: what the desktop itself calls its monitors, by name.
QList<Monitor> randrMonitors(const XcbConnection& x)
{
    xcb_connection_t* c = x.get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_randr_id);
    if (!extension || !extension->present)
        return {};
    const XcbReply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || version->major_version < 1 || (version->major_version == 1 && version->minor_version < 5))
        return {};
    const XcbReply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x.root(), 1), nullptr));
    if (!reply)
        return {};
    QList<Monitor> monitors;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* m = it.data;
        monitors.append({x.atomName(m->name), QRect(m->x, m->y, m->width, m->height)});
    }
    return monitors;
}

QList<Monitor> xineramaScreens(const XcbConnection& x)
{
    xcb_connection_t* c = x.get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_xinerama_id);
    if (!extension || !extension->present)
        return {};
    const XcbReply<xcb_xinerama_is_active_reply_t> active(
        xcb_xinerama_is_active_reply(c, xcb_xinerama_is_active(c), nullptr));
    if (!active || !active->state)
        return {};
    const XcbReply<xcb_xinerama_query_screens_reply_t> reply(
        xcb_xinerama_query_screens_reply(c, xcb_xinerama_query_screens(c), nullptr));
    if (!reply)
        return {};
    QList<Monitor> monitors;
    for (auto it = xcb_xinerama_query_screens_screen_info_iterator(reply.get()); it.rem > 0;
         xcb_xinerama_screen_info_next(&it)) {
        monitors.append({QString(), QRect(it.data->x_org, it.data->y_org, it.data->width, it.data->height)});
    }
    return monitors;
}

} // namespace

QList<DisplayInfo> listDisplays()
{
    const XcbConnection x;
    if (!x.isOpen())
        return {};
    QList<Monitor> monitors = randrMonitors(x);
    // A Xinerama display joins several X screens into one, and RandR sees
    // only the first of them: there the Xinerama heads are the monitors.
    const QList<Monitor> heads = xineramaScreens(x);
    if (heads.size() > monitors.size())
        monitors = heads;
    if (monitors.isEmpty())
        monitors.append({QString(), QRect(0, 0, x.screen()->width_in_pixels, x.screen()->height_in_pixels)});

    QList<DisplayInfo> displays;
    for (int i = 0; i < monitors.size(); ++i)
        displays.append({i, displayLabel(monitors[i].name, monitors[i].geometry), monitors[i].geometry});
    return displays;
}
