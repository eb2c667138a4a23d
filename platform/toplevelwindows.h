#pragma once

// The top-level windows of the X display: the window manager's client list
// in its order, or without a window manager the root's mapped children from
// bottom to top, with what a window picker needs to decide whether a window
// is worth offering.
//
// Threads: any; every call opens its own connection and keeps no state.

#include <QList>
#include <QString>

struct TopLevelWindowInfo {
    quint64 handle = 0;     // the X window id
    QString title;          // _NET_WM_NAME, else WM_NAME; empty when none
    bool exists = false;    // the window still existed while it was read
    bool visible = false;   // mapped (viewable)
    bool minimized = false; // _NET_WM_STATE_HIDDEN, or WM_STATE Iconic while not cloaked
    bool cloaked = false;   // _NET_WM_DESKTOP names another desktop than the current one
    bool owned = false;     // WM_TRANSIENT_FOR names another window
};

QList<TopLevelWindowInfo> enumerateTopLevelWindows();

// The ancestor of an X window that is a child of the root (the window
// manager's frame around a client), the window itself when it is one, or 0
// when there is no display or no such window.
quint64 topLevelAncestor(quint64 window);
