#include "platform/toplevelwindows.h"

#include "platform/xcbsupport.h"

#include <cstring>

namespace {

// ICCCM WM_STATE values.
constexpr quint32 kIconicState = 3;
// _NET_WM_DESKTOP of a window shown on every desktop.
constexpr quint32 kAllDesktops = 0xFFFFFFFF;

struct Atoms {
    xcb_atom_t clientList;
    xcb_atom_t wmName;
    xcb_atom_t utf8String;
    xcb_atom_t wmState;
    xcb_atom_t netWmState;
    xcb_atom_t netWmStateHidden;
    xcb_atom_t netWmDesktop;
    xcb_atom_t netCurrentDesktop;
};

QList<quint32> cardinals(const XcbConnection::Property& p)
{
    QList<quint32> values;
    if (p.format != 32)
        return values;
    const int count = int(p.value.size() / 4);
    values.resize(count);
    if (count > 0)
        std::memcpy(values.data(), p.value.constData(), size_t(count) * 4);
    return values;
}

QString titleOf(const XcbConnection& x, const Atoms& atoms, xcb_window_t window)
{
    const XcbConnection::Property netName = x.property(window, atoms.wmName);
    if (netName.type == atoms.utf8String && !netName.value.isEmpty())
        return QString::fromUtf8(netName.value);
    const XcbConnection::Property name = x.property(window, XCB_ATOM_WM_NAME);
    if (name.type == atoms.utf8String)
        return QString::fromUtf8(name.value);
    // STRING is Latin-1 by ICCCM; COMPOUND_TEXT titles of plain text read
    // the same way.
    return QString::fromLatin1(name.value);
}

TopLevelWindowInfo readWindow(const XcbConnection& x, const Atoms& atoms, xcb_window_t window,
                              qint64 currentDesktop)
{
    TopLevelWindowInfo info;
    info.handle = window;
    xcb_connection_t* c = x.get();
    const XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
    if (!attributes)
        return info;
    info.exists = true;
    info.visible = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    info.title = titleOf(x, atoms, window);

    const QList<quint32> desktop = cardinals(x.property(window, atoms.netWmDesktop, 4));
    info.cloaked = currentDesktop >= 0 && !desktop.isEmpty() && desktop.first() != kAllDesktops
        && qint64(desktop.first()) != currentDesktop;

    // A window manager also puts the windows of other desktops into the
    // iconic state; only the hidden flag tells a minimised one from those.
    const QList<quint32> wmState = cardinals(x.property(window, atoms.wmState, 8));
    const QList<quint32> netState = cardinals(x.property(window, atoms.netWmState));
    info.minimized = netState.contains(quint32(atoms.netWmStateHidden))
        || (!info.cloaked && !wmState.isEmpty() && wmState.first() == kIconicState);

    const QList<quint32> transientFor = cardinals(x.property(window, XCB_ATOM_WM_TRANSIENT_FOR, 4));
    info.owned = !transientFor.isEmpty() && transientFor.first() != XCB_WINDOW_NONE;
    return info;
}

} // namespace

QList<TopLevelWindowInfo> enumerateTopLevelWindows()
{
    const XcbConnection x;
    if (!x.isOpen())
        return {};
    const Atoms atoms{x.atom("_NET_CLIENT_LIST"),   x.atom("_NET_WM_NAME"),
                      x.atom("UTF8_STRING"),        x.atom("WM_STATE"),
                      x.atom("_NET_WM_STATE"),      x.atom("_NET_WM_STATE_HIDDEN"),
                      x.atom("_NET_WM_DESKTOP"),    x.atom("_NET_CURRENT_DESKTOP")};

    const QList<quint32> currentDesktopValue = cardinals(x.property(x.root(), atoms.netCurrentDesktop, 4));
    const qint64 currentDesktop = currentDesktopValue.isEmpty() ? -1 : qint64(currentDesktopValue.first());

    QList<TopLevelWindowInfo> windows;
    // A window manager lists its client windows; their frames, which are
    // the root's real children, carry no titles of their own.
    const XcbConnection::Property clientList = x.property(x.root(), atoms.clientList, 1 << 20);
    if (clientList.type == XCB_ATOM_WINDOW) {
        for (quint32 window : cardinals(clientList))
            windows.append(readWindow(x, atoms, window, currentDesktop));
        return windows;
    }

    xcb_connection_t* c = x.get();
    const XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, x.root()), nullptr));
    if (!tree)
        return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        const TopLevelWindowInfo info = readWindow(x, atoms, children[i], currentDesktop);
        if (info.visible)
            windows.append(info);
    }
    return windows;
}

quint64 topLevelAncestor(quint64 window)
{
    if (window == 0 || window > 0xffffffffu)
        return 0;
    const XcbConnection x;
    if (!x.isOpen())
        return 0;
    xcb_window_t current = xcb_window_t(window);
    // A deeper tree than this is not a real window hierarchy.
    for (int depth = 0; depth < 64; ++depth) {
        const XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), current), nullptr));
        if (!tree)
            return 0;
        if (current == x.root())
            return 0;
        if (tree->parent == x.root() || tree->parent == XCB_WINDOW_NONE)
            return current;
        current = tree->parent;
    }
    return 0;
}
